// SPDX-License-Identifier: MIT
#pragma once

#include "screenpacket.h"
#include "voicesdk.h"

#include <QByteArray>
#include <QCborMap>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QTimer>
#include <QVector>

#include <functional>
#include <memory>

namespace voiceserver {

class ScreenConnection;
class Session;

struct ScreenStats
{
    quint64 frames = 0;    // pictures taken from sharers
    quint64 forwarded = 0; // copies queued for watchers
    quint64 dropped = 0;   // copies a watcher was too far behind for, or waited for a key frame
    quint64 inputs = 0;    // input events passed to sharers
    quint64 refused = 0;   // input from members without control, or too fast
};

// How shares cross between the instances of a cluster (the embedded server has none).
struct ScreenCrossing
{
    QString self; // this instance
    // Hands a payload to one other instance, which passes it to its relay's crossed().
    std::function<void(const QString& instance, const QByteArray& payload)> send;
    // Every other instance now.
    std::function<QStringList()> others;
    // The channel of a client anywhere in the cluster; 0 when there is none such.
    std::function<quint64(anyID)> channelOf;
};

// Live screens: who shares in which channel, who watches, who controls, and the relay of the
// pictures and the input between the members' screen connections. The pictures are forwarded as
// they came, never decoded; each watcher gets what it can take in time, and one that falls
// behind skips to the next key frame instead of queueing. A watcher whose link cannot take the
// share is moved to its scaled-down stream, which the sharer runs only while one is
// (docs/protocol.md, "Screens"). In a cluster, a share's pictures cross once to each instance
// with watchers, and control and input cross to the sharer's instance (ScreenCrossing).
class ScreenRelay : public QObject
{
    Q_OBJECT
public:
    // clients: the sessions past the hello here; members: who of them is in which channel.
    ScreenRelay(const QMap<anyID, Session*>& clients,
                const QHash<quint64, QVector<Session*>>& members, QObject* parent = nullptr);
    ~ScreenRelay() override;

    static bool handles(const QString& type);
    // A screen request on the control connection; false when malformed (a protocol error).
    bool handleControl(Session* session, const QString& type, const QCborMap& message);
    // A connection that opened with a "screen" frame: it becomes the screen connection of the
    // client whose key it shows, or is closed. done() runs once the session let go of it.
    void attach(Session* session, const QCborMap& message, std::function<void()> done);
    // The client left, or moved to another channel: its share and its watching end.
    void clientGone(Session* session);
    void clientMoved(Session* session, quint64 from);
    // The client is in a channel now (after its welcome): it hears of the shares running there.
    void clientEntered(Session* session);

    // The cluster: set once, before the first client.
    void setCrossing(ScreenCrossing crossing);
    // What another instance's relay sent.
    void crossed(const QByteArray& payload);
    // A client of another instance left or moved.
    void remoteClientLeft(anyID id);
    void remoteClientMoved(anyID id, quint64 channel);

    const ScreenStats& stats() const { return m_stats; }
    int shareCount() const { return m_shares.size(); }

private:
    struct Share;
    struct Peer;
    struct WatchState;
    struct Remote;

    Peer& peerOf(Session* session);
    Peer* peerOf(anyID client) const;
    void openStream(Session* session, Peer& peer);
    void startShare(Session* session, int width, int height);
    void endShare(anyID sharer, const QString& why);
    void watch(Session* session, anyID sharer, bool on);
    void setController(Session* session, anyID controller, bool open);
    // A member (here or not) takes or lets go of control; false when refused.
    bool take(anyID member, Share& share, bool on, QString* why);
    void streamPacket(Session* session, const voicesdk::protocol::screen::PacketReader::Body& body);
    // A whole packet of the share (a picture or the pointer) for its watchers here, and from its
    // sharer's instance for the instances with watchers.
    void relayPacket(Share& share, voicesdk::protocol::screen::Kind kind, const QByteArray& packet);
    void forwardVideo(Share& share, const voicesdk::protocol::screen::Video& video,
                      const QByteArray& packet);
    void forwardPointer(Share& share, voicesdk::protocol::screen::Kind kind,
                        const QByteArray& packet);
    void forwardInput(Session* from, voicesdk::protocol::screen::Input input);
    // Input of member for a share here, checked and passed to the sharer.
    void inject(Share& share, anyID member, voicesdk::protocol::screen::Input input);
    void requestKeyFrame(Share& share, quint8 stream);
    void watchKeys();
    void boundLowStream(Share& share, qint64 at);
    void tellWatcherCount(Share& share);
    static qint64 budgetOf(const Peer& peer);
    // What every member of the share's channel hears, here and on the other instances.
    void announceShare(const Share& share, bool on);
    void announceControl(const Share& share);
    void toChannel(quint64 channel, const QCborMap& message);
    void refuse(Session* session, anyID sharer, unsigned int code, const QString& why);
    bool admitInput(Peer& peer);
    void streamEnded(Session* session, ScreenConnection* stream, const QString& reason);
    // The cluster.
    bool crossing() const { return bool(m_crossing.send); }
    void cross(const QString& instance, const QByteArray& payload);
    void crossToAll(const QByteArray& payload);
    void tellWatching(const Share& share);
    void refresh();

    const QMap<anyID, Session*>& m_clients;
    const QHash<quint64, QVector<Session*>>& m_members;
    QHash<anyID, std::shared_ptr<Share>> m_shares;
    QHash<Session*, std::shared_ptr<Peer>> m_peers;
    struct Ticket
    {
        QPointer<Session> owner;
        qint64 expiresAt = 0;
    };
    QHash<QByteArray, Ticket> m_tickets;
    ScreenStats m_stats;
    QTimer m_keyTimer;
    ScreenCrossing m_crossing;
    QTimer m_refresh;
};

} // namespace voiceserver

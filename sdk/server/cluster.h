// SPDX-License-Identifier: MIT
#pragma once

#include "channelstore.h"
#include "voicesdk.h"

#include <QByteArray>
#include <QCborMap>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>

namespace voiceserver {

constexpr quint64 DefaultChannelId = 1;

// A client of the service, wherever its connection is.
struct ClientRecord
{
    anyID id = 0;
    QString nickname;
    QString uniqueId;
    quint64 channel = 0;
    bool inputMuted = false;
    bool outputMuted = false;
    bool inputDeactivated = false;
    QString instance;        // the instance holding its connection; empty: this one
    QByteArray announcement; // its encoded "client" frame, kept for newcomers
};

// Who asked for a change; id 0 is the service itself (a resynchronisation).
struct Invoker
{
    anyID id = 0;
    QString nickname;
    QString uniqueId;
};

struct JoinRequest
{
    QString nickname; // normalised
    QString uniqueId;
    quint64 channel = DefaultChannelId;
    bool inputMuted = false;
    bool outputMuted = false;
    bool inputDeactivated = false;
};

struct JoinResult
{
    unsigned int code = ERROR_ok;
    anyID id = 0;
    QString nickname; // as given, possibly numbered
};

// A text for another instance's clients, in the fields it is encoded from there.
struct TextParts
{
    int mode = 0;
    anyID fromId = 0;
    QString fromName;
    QString fromUniqueId;
    QString message;
    qint64 target = 0; // shown target: the client or the channel
};

QCborMap channelMessage(const Channel& channel, QLatin1String type);
QCborMap clientMessage(const ClientRecord& client, QLatin1String type);
void addInvoker(QCborMap* message, const Invoker& invoker);

// The service's channels and clients as one instance sees them, with the indexes the logic
// needs and the encodings a newcomer is sent. The embedded server's state itself; in a cluster,
// the replica of what Redis holds.
class ClusterState
{
public:
    const QMap<quint64, Channel>& channels() const { return m_channels; }
    const QMap<anyID, ClientRecord>& clients() const { return m_clients; }
    const ClientRecord* client(anyID id) const;
    bool hasNickname(const QString& nickname) const { return m_nicknames.contains(nickname); }

    // The wanted name, or with 1, 2, ... appended until it is free.
    QString uniqueNickname(const QString& wanted) const;
    // The next free ID from *next on (which moves on), wrapping; 0 when none is left.
    anyID freeClientId(anyID* next) const;
    quint64 resolveChannelPath(const QStringList& path) const;
    quint64 siblingNamed(quint64 parent, const QString& name) const;
    QList<quint64> subtree(quint64 channelId) const; // descendants first, the channel last
    int depthOf(quint64 channelId) const;
    // Clients in the channels of a subtree.
    QList<anyID> occupants(const QList<quint64>& channels) const;
    // Other instances holding members of a channel; of any channel.
    QStringList instancesIn(quint64 channel) const;
    QStringList instances() const;

    // The "channel" frames of a newcomer, parents first, and every client's frame.
    QByteArray channelTree() const;
    QByteArray everybody() const;

    void insertChannel(const Channel& channel);
    void removeChannel(quint64 id);
    void insertClient(ClientRecord client);
    void removeClient(anyID id);
    void setClientChannel(anyID id, quint64 channel);
    void setClientFlags(anyID id, bool inputMuted, bool outputMuted, bool inputDeactivated);
    // Parents lost from stored state make their children top-level; a chain of parents that
    // leads back to its start is cut where it is found.
    void repairTree();
    void clear();

private:
    void countInstance(const ClientRecord& client, int delta);

    QMap<quint64, Channel> m_channels;
    QMap<anyID, ClientRecord> m_clients;
    QHash<QString, anyID> m_nicknames;
    QHash<quint64, QHash<QString, int>> m_instances; // channel: instance to its members there
    mutable QByteArray m_channelTree;                // empty: stale
};

// What the server is told as the service changes: it tells its own clients.
class ClusterEvents
{
public:
    virtual ~ClusterEvents() = default;
    virtual void clientJoined(const ClientRecord& client) = 0;
    virtual void clientMoved(const ClientRecord& client, quint64 from, const Invoker& invoker) = 0;
    virtual void clientUpdated(const ClientRecord& client, const Invoker& invoker) = 0;
    virtual void clientLeft(const ClientRecord& client, int reason, const QString& message) = 0;
    virtual void channelCreated(const Channel& channel, const Invoker& invoker) = 0;
    virtual void channelDeleted(quint64 channel, const Invoker& invoker) = 0;
    // Traffic from clients of other instances, for the clients here. privateText() is false
    // when the target is not here.
    virtual void channelText(quint64 channel, const QByteArray& frame) = 0;
    virtual bool privateText(anyID target, const QByteArray& frame) = 0;
    virtual void voice(quint64 channel, const QByteArray& frame) = 0;
    // A message of another instance's screen relay (ScreenRelay::crossed).
    virtual void screen(const QByteArray& payload) = 0;
    // A client here that the service does not know any more (it lost a conflict when the
    // instance joined the cluster again): its connection must end.
    virtual void clientRevoked(anyID id, const QString& reason) = 0;
};

// The one place where the server's logic meets the rest of the service. The logic asks it who
// is online, which channels exist and who is where, and hands it every change; the change comes
// back as events (ClusterEvents) in the order the service settled on, and then the request's
// outcome. Two implementations: the embedded one (LocalCluster), and one that shares the state
// with other instances through Redis (RedisCluster).
class Cluster : public QObject
{
    Q_OBJECT
public:
    using Done = std::function<void(unsigned int code)>;

    explicit Cluster(QObject* parent = nullptr) : QObject(parent) {}
    void setEvents(ClusterEvents* events) { m_events = events; }

    const ClusterState& state() const { return m_state; }
    virtual QString serverUniqueId() const = 0;
    // Empty for the embedded server.
    virtual QString instanceId() const { return QString(); }
    // Starts whatever it needs (a connection); false with the reason when it cannot.
    virtual bool start(QString* error) = 0;
    // The state is there to serve from (ready() tells when it comes later).
    virtual bool isReady() const { return true; }
    // 1 while the shared state is reached, 0 while this instance serves alone; -1 embedded.
    virtual int connectedToCluster() const { return -1; }
    // Texts for other instances waiting to be confirmed, and their bytes.
    virtual void heldTexts(qint64* texts, qint64* bytes) const
    {
        *texts = 0;
        *bytes = 0;
    }

    // Requests. The outcome comes after the events it caused; it may come at once.
    virtual void join(const JoinRequest& request, std::function<void(const JoinResult&)> done) = 0;
    virtual void leave(anyID id, int reason, const QString& message) = 0;
    virtual void move(anyID id, quint64 channel, const Invoker& invoker, Done done) = 0;
    virtual void update(anyID id, bool inputMuted, bool outputMuted, bool inputDeactivated,
                        const Invoker& invoker, Done done) = 0;
    // The channel's ID is chosen here; the checks that two requests could race for (a sibling
    // of the same name, the number of channels, the parent) are made here too.
    virtual void createChannel(const Channel& channel, int maxChannels, const Invoker& invoker,
                               Done done) = 0;
    virtual void deleteChannel(quint64 id, bool force, const Invoker& invoker, Done done) = 0;

    // Texts for clients of other instances. True when the text went to another instance:
    // done() follows once it got there, or with the error that it could not. False when
    // nothing crossed (always for the embedded server); done() is not called then.
    virtual bool sendChannelText(quint64 channel, const TextParts& text, Done done)
    {
        Q_UNUSED(channel)
        Q_UNUSED(text)
        Q_UNUSED(done)
        return false;
    }
    virtual bool sendPrivateText(const ClientRecord& target, const TextParts& text, Done done)
    {
        Q_UNUSED(target)
        Q_UNUSED(text)
        Q_UNUSED(done)
        return false;
    }
    // Voice frames for listeners on other instances: live, sent once, never held.
    // A message for the screen relay of another instance; live like voice, never kept.
    virtual void sendScreen(const QString& instance, const QByteArray& payload)
    {
        Q_UNUSED(instance)
        Q_UNUSED(payload)
    }
    virtual void sendVoice(quint64 channel, const QByteArray& frame)
    {
        Q_UNUSED(channel)
        Q_UNUSED(frame)
    }

signals:
    void ready();

protected:
    ClusterEvents* m_events = nullptr;
    ClusterState m_state;
};

} // namespace voiceserver

// SPDX-License-Identifier: MIT
#pragma once

#include "voicecrypto.h"
#include "voicepacket.h"
#include "voicesdk.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QTimer>
#include <QVector>

#include <functional>
#include <memory>

class QCborMap;
class QUdpSocket;

namespace voicesdk {

namespace sound {
class VoiceEngine;
struct EncodedVoice;
} // namespace sound

// The voice side of one established control connection, on the network thread: the UDP socket
// with its pings, the fallback to the control connection when datagrams do not get through, the
// handing of frames to and from the handler's voice engine, who is heard, and what each
// speaker's link loses (reported to the server, which tells the speaker).
//
//   start -> tunnel (until a pong) -> udp -> (no pong for PongTimeoutMs) -> tunnel -> ...
class VoiceLink : public QObject
{
    Q_OBJECT
public:
    static constexpr int PingIntervalMs = 1000;
    static constexpr int PongTimeoutMs = 3000;
    static constexpr int SilenceEndsTalkMs = 600; // no frame for this long: not heard any more
    static constexpr int ReportIntervalMs = 1000; // loss reports on the speakers heard

    struct Hooks
    {
        // Sends an encoded control frame. A droppable one (voice) is dropped when the connection
        // is behind; false then.
        std::function<bool(const QByteArray& frame, bool droppable)> sendControl;
        std::function<void(int status, anyID client)> talkStatus;
    };

    // What the welcome said about datagrams.
    struct Datagrams
    {
        QByteArray token; // without one the server offers no voice
        bool offered = false;
        QByteArray upKey; // with both keys datagrams are sealed; without, they are clear
        QByteArray downKey;
        bool lossAware = false;  // the server takes loss reports and passes copies on
        bool burstAware = false; // it takes bursts in reports and passes older copies on
    };

    VoiceLink(uint64 handler, Hooks hooks, QObject* parent);
    ~VoiceLink() override;

    // The connection is established.
    void start(const Datagrams& datagrams, const QHostAddress& server, quint16 port, anyID ownId);
    void stop();
    // A "voice" message from the server; false when malformed.
    bool tunnelled(const QCborMap& message);
    // A "voiceLoss" message: what this client's listeners lose; false when malformed.
    bool lossReported(const QCborMap& message);
    // Someone joined, moved or left: who is heard and the join and leave sounds follow.
    void membersChanged();
    // From the voice thread, queued; stale when the session is over.
    void send(quint64 session, const sound::EncodedVoice& voice);
    void ownTalking(quint64 session, bool talking);

    bool usesUdp() const { return m_udp; }

private:
    void readDatagrams();
    void sendDatagram(protocol::voice::Kind kind, const QByteArray& body);
    void dropped(const QString& what, const QHostAddress& from, quint16 port);
    void deliver(const protocol::voice::Frame& frame);
    void tick();
    void report();
    void setUdp(bool udp);
    void stopTalking(anyID client);
    // The members of the own channel but the own client; false when not connected.
    bool ownChannel(quint64* channel, QSet<anyID>* members) const;

    uint64 m_handler;
    Hooks m_hooks;
    bool m_running = false;
    quint64 m_session = 0;
    QByteArray m_token;
    bool m_udpOffered = false;
    bool m_udp = false;
    QHostAddress m_server;
    quint16 m_port = 0;
    anyID m_ownId = 0;
    QUdpSocket* m_socket = nullptr;
    std::unique_ptr<protocol::voice::Sealer> m_sealer; // sealed: what this client sends
    std::unique_ptr<protocol::voice::Opener> m_opener; // sealed: what the server sends
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_lastPing = -1;
    qint64 m_lastPong = -1;
    quint32 m_nonce = 0;
    quint16 m_sequence = 0;
    bool m_lossAware = false;
    bool m_burstAware = false;
    // The last frames sent, newest first, for the copies the next one may carry.
    struct Sent
    {
        quint32 timestamp = 0;
        QByteArray payload;
        QByteArray lowRate; // the same 20 ms coded at a lower rate, for older copies
    };
    QVector<Sent> m_sent;
    QMap<anyID, protocol::voice::LossMeter> m_meters; // the speakers heard lately
    qint64 m_lastReport = -1;
    std::shared_ptr<sound::VoiceEngine> m_engine;
    QMap<anyID, qint64> m_talking; // heard now, with when they were last heard
    quint64 m_channel = 0;
    QSet<anyID> m_members;
    protocol::voice::LogThrottle m_badLog;
};

} // namespace voicesdk

// SPDX-License-Identifier: MIT
#pragma once

#include "frame.h"
#include "iopool.h"
#include "protocol.h"

#include <QHostAddress>
#include <QObject>

#include <functional>
#include <memory>

namespace voiceserver {

// One connection to the server as the server's thread sees it: the frames it delivered, the
// bounded output and the way it closes. The socket itself lives in a thread of the IoPool; what
// the frames mean is the Server's business.
class Session : public QObject
{
    Q_OBJECT
public:
    enum class State { AwaitingHello, Active, Closed };

    // Takes over an accepted descriptor; tls: the connection starts with a TLS handshake.
    Session(IoPool* io, qintptr descriptor, bool tls, qint64 maxOutputBytes, QObject* parent);
    ~Session() override;

    State state() const { return m_state; }
    // A TLS connection whose handshake has not finished.
    bool isHandshaking() const;
    // Past the hello: the connection reads on.
    void setActive();
    QString peer() const { return m_peer; }
    QHostAddress address() const { return m_address; }
    // When the last complete frame arrived (msecs since the epoch); a peer that trickles bytes
    // without finishing a frame is as silent as one that sends nothing.
    // The last frame from the peer: as its connection's thread read it, or (handed over from
    // elsewhere) as this thread took it.
    qint64 lastFrameAt() const;
    // Frames the connection's thread has read that this thread has not taken yet.
    bool hasFramesWaiting() const;
    // Flood protection, a leaky bucket: true when one more request may pass now; burst requests
    // at once, then rate per second.
    bool takeRequestToken(int burst, int rate);

    // Offered every frame body of an active session before the generic decoding; returns true
    // when it handled the frame. The body is valid only during the call.
    void setFastPath(std::function<bool(const char* body, int size)> handler)
    {
        m_fastPath = std::move(handler);
    }

    // Queues an encoded frame. A peer whose unsent output would exceed the bound is dropped.
    void send(const QByteArray& frame);
    // Queues news about others (who came, left, moved): it may wait a moment for the next frame
    // the peer is sent, so that a crowd's comings and goings do not cost a write each.
    void notify(const QByteArray& frame);
    // Queues a voice frame unless the peer is behind by more than a little: voice that cannot go
    // out now is worthless later, and must never cost the peer its connection. False: dropped.
    bool sendVoice(const QByteArray& frame);
    // Encodes and queues one message; one that cannot be encoded is logged and dropped.
    void sendMessage(const QCborMap& message);
    // The outcome of a request: an error frame carrying its return code, or nothing for a
    // success nobody asked to hear about.
    void reply(const QString& returnCode, unsigned int code, const QString& extra = QString());
    // Tells the peer what was wrong with its frame and closes.
    void protocolError(const QString& reason);
    // Closes once. Graceful closes flush what is queued first (bounded by a timer).
    void close(const QString& reason, bool graceful);
    // Hands the connection and the bytes read past the last frame to a new owner and ends the
    // session quietly (finished() follows): a transfer connection leaves the framed protocol.
    std::unique_ptr<voicesdk::protocol::TlsStream> detachStream(QByteArray* pending);

    // What the connection's thread has to say.
    void handle(const WireEvent& event);

    // Connection state the server keeps per client.
    anyID clientId = 0;
    QString nickname;
    QString uniqueId;
    quint64 channel = 0;
    bool inputMuted = false;
    bool outputMuted = false;
    bool inputDeactivated = false;
    bool voiceLoss = false;   // the client reports loss and takes frames that carry a copy
    bool voiceBursts = false; // it also reports bursts and takes copies of older frames
    QString leaveMessage;
    voicesdk::protocol::LeaveReason leaveReason = voicesdk::protocol::LeaveReason::Dropped;

signals:
    void frameReceived(const QCborMap& message);
    // Emitted once, when the session stops taking part; the server then forgets it.
    void closed(const QString& reason);
    // Emitted when the socket is gone; the session may be deleted.
    void finished();

private:
    void frame(const QByteArray& body);
    void post(WireCommand::Kind kind, QByteArray bytes = {}, bool graceful = false);
    void queue(const QByteArray& frame, WireCommand::Kind kind);
    void finish();

    IoPool* m_io;
    std::shared_ptr<WireState> m_wire;
    quint64 m_id = 0;
    bool m_tls;
    voicesdk::protocol::FrameDecoder m_decoder; // decodes the bodies the thread delivers
    qint64 m_maxOutputBytes;
    State m_state = State::AwaitingHello;
    bool m_finished = false;
    QString m_peer;
    QHostAddress m_address;
    qint64 m_lastFrameAt;
    qint64 m_framesTaken = 0;
    double m_tokens = -1; // the bucket starts full at the first request
    qint64 m_tokensAt = 0;
    std::function<bool(const char*, int)> m_fastPath;
};

} // namespace voiceserver

// SPDX-License-Identifier: MIT
#pragma once

#include "frame.h"
#include "protocol.h"

#include <QHostAddress>
#include <QObject>
#include <QTimer>

#include <functional>

class QTcpSocket;

namespace voiceserver {

// One TCP connection to the server: framing, the bounded output buffer and the way it closes.
// What the frames mean is the Server's business.
class Session : public QObject
{
    Q_OBJECT
public:
    enum class State { AwaitingHello, Active, Closed };

    Session(QTcpSocket* socket, qint64 maxOutputBytes, QObject* parent);

    State state() const { return m_state; }
    // A TLS connection whose handshake has not finished.
    bool isHandshaking() const;
    void setActive() { m_state = State::Active; }
    QString peer() const { return m_peer; }
    QHostAddress address() const { return m_address; }
    // When the last complete frame arrived (msecs since the epoch); a peer that trickles bytes
    // without finishing a frame is as silent as one that sends nothing.
    qint64 lastFrameAt() const { return m_lastFrameAt; }
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
    // Hands the socket and the bytes read past the last frame to a new owner and ends the
    // session quietly (finished() follows): a transfer connection leaves the framed protocol.
    QTcpSocket* detachSocket(QByteArray* pending);

    // Connection state the server keeps per client.
    anyID clientId = 0;
    QString nickname;
    QString uniqueId;
    quint64 channel = 0;
    bool inputMuted = false;
    bool outputMuted = false;
    bool inputDeactivated = false;
    QString leaveMessage;
    QByteArray announcement; // the encoded "client" message newcomers get for this client
    voicesdk::protocol::LeaveReason leaveReason = voicesdk::protocol::LeaveReason::Dropped;

signals:
    void frameReceived(const QCborMap& message);
    // Emitted once, when the session stops taking part; the server then forgets it.
    void closed(const QString& reason);
    // Emitted when the socket is gone; the session may be deleted.
    void finished();

private:
    void readFrames();

    QTcpSocket* m_socket;
    voicesdk::protocol::FrameDecoder m_decoder;
    qint64 m_maxOutputBytes;
    State m_state = State::AwaitingHello;
    QString m_peer;
    QHostAddress m_address;
    qint64 m_lastFrameAt;
    double m_tokens = -1; // the bucket starts full at the first request
    qint64 m_tokensAt = 0;
    QTimer m_closeTimer;
    std::function<bool(const char*, int)> m_fastPath;
    bool m_reading = false; // inside readFrames
};

} // namespace voiceserver

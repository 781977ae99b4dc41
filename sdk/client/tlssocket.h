// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QString>

#include <memory>

class QHostInfo;
class QSocketNotifier;
typedef struct ssl_session_st SSL_SESSION;
typedef struct ssl_st SSL;

namespace voicesdk {
namespace protocol {
class TlsStream;
}

// A TLS session a connection may resume instead of a full handshake.
using TlsSession = std::shared_ptr<SSL_SESSION>;

// A connection to the server on the network thread: a non-blocking descriptor with OpenSSL's
// TLS straight on it (or in clear), so plain bytes go between the caller's buffers and the
// kernel through one record layer, without Qt's socket buffers in between. Readers read until
// read() gives 0; writers either queue (write(), sent when the thread comes back to its loop,
// so what is queued in one go leaves in few records) or send straight from their own buffer
// (send(), then sendable() when the descriptor takes more).
class TlsSocket : public QObject
{
    Q_OBJECT
public:
    explicit TlsSocket(QObject* parent = nullptr);
    ~TlsSocket() override;

    // For a connection that carries a file down: many records are read at once. Before
    // connecting.
    void setBulk() { m_bulk = true; }
    // Resolves the host, connects and, unless plain, runs the TLS handshake (SNI for a name),
    // resuming session when given. connected() or ended() follows.
    void connectToHost(const QString& host, quint16 port, bool plain, TlsSession session = {});
    // The TLS handshake is done (or the connection is in clear) and it has not ended.
    bool isConnected() const;
    bool isEnded() const { return m_ended; }
    QString errorString() const { return m_error; }
    QHostAddress peerAddress() const { return m_peer; }

    // The server's certificate and its chain as it showed them, the cipher, and whether the
    // session was resumed. Empty in clear.
    QList<QSslCertificate> peerCertificateChain() const;
    QString cipherName() const;
    bool isResumed() const;
    // The newest session the server offered for resuming (with TLS 1.3, after the handshake).
    TlsSession session() const { return m_session; }
    // Why the server's chain does not verify against the system's authorities (and those added
    // to Qt's default configuration) for the host connected to; empty when it does.
    QString verificationError() const;

    // Up to size plain bytes: the number read, 0 when none now, -1 once ended (ended() follows).
    qint64 read(char* data, qint64 size);
    // Queues bytes; they leave when the network thread comes back to its loop.
    void write(const QByteArray& bytes);
    // Sends the queue now, as far as the kernel takes it.
    void flush();
    // Plain bytes taken straight from the caller's buffer: 0 when the descriptor takes none now
    // (sendable() follows), -1 once ended. For bulk data; not mixed with a queue that waits.
    qint64 send(const char* data, qint64 size);
    // Queued bytes not yet taken.
    qint64 bytesToWrite() const { return m_out.size() - m_outTaken; }
    // Everything not yet on the wire: queued, sealed and waiting, and in the kernel's send
    // queue. How far behind a live stream is.
    qint64 unsentBytes() const;
    // Plain bytes OpenSSL holds that no readiness of the descriptor announces: a reader that
    // stopped early reads on without waiting.
    bool hasBuffered() const;

    // Sends what is queued, says goodbye and closes once the peer has closed too, or after
    // timeoutMs; then deletes itself. Nothing is signalled any more.
    void closeGracefully(int timeoutMs);
    // Closes now; nothing is signalled any more.
    void abort();

    // OpenSSL's: a session to keep for resuming.
    static int onNewSession(SSL* ssl, SSL_SESSION* session);

signals:
    void connected();
    void readyRead();
    void sendable();
    // The connection ended: the peer closed, or it failed (errorString()).
    void ended();

private:
    void lookedUp(const QHostInfo& info);
    void tryNextAddress();
    void onConnectable();
    void onReadable();
    void onWritable();
    void handshake();
    void scheduleFlush();
    void watch();
    void endWith(const QString& reason);
    void endLater();
    void closeDescriptor();

    std::unique_ptr<protocol::TlsStream> m_stream;
    QSocketNotifier* m_readable = nullptr;
    QSocketNotifier* m_writable = nullptr;
    QList<QHostAddress> m_addresses;
    QString m_host;
    quint16 m_port = 0;
    bool m_plain = false;
    bool m_bulk = false;
    int m_connecting = -1; // a descriptor whose TCP connect runs
    TlsSession m_resume;   // to resume
    TlsSession m_session;  // offered by the server
    QHostAddress m_peer;
    QByteArray m_out; // queued, from m_outTaken on
    int m_outTaken = 0;
    bool m_flushScheduled = false;
    bool m_sendBlocked = false; // send() found the descriptor full
    bool m_connected = false;
    bool m_ended = false;
    bool m_closing = false;
    bool m_lingering = false;
    int m_lookupId = -1;
    QString m_error;
};

} // namespace voicesdk

// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QString>

class QSslCertificate;
typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct x509_st X509;
typedef struct bio_st BIO;

// What the client library and the server share about TLS.
namespace voicesdk::protocol {

// A certificate's SHA-256 digest as "SHA256:" and 64 hex digits: how logs and the client's
// list of known servers name it. der: the certificate in DER.
QString certificateFingerprint(const QByteArray& der);
QString certificateFingerprint(const QSslCertificate& certificate);
QString certificateFingerprint(X509* certificate);
// The SHA-256 digest of a certificate's public key (its SubjectPublicKeyInfo in DER) as
// "SPKI-SHA256:" and 64 hex digits: what clients pin, so that a certificate renewed for the same
// key is the same server. Empty for a certificate that does not parse.
QString publicKeyFingerprint(X509* certificate);
QString publicKeyFingerprint(const QSslCertificate& certificate);

// The reason of the first error on this thread's OpenSSL error queue, or fallback; the queue is
// emptied, so that nothing of one connection is left for the next one on the thread.
QString takeTlsError(const QString& fallback);

// One TCP connection's non-blocking descriptor, with TLS on it through OpenSSL straight on the
// descriptor, or in clear. Its owner watches the descriptor and calls these when it is ready.
// The records one call seals leave in one send(), from a buffer of the thread's; only what the
// kernel does not take stays with the stream (pendingBytes()) until flush(). Owns the
// descriptor and the SSL object; may move between threads while nobody uses it.
class TlsStream
{
public:
    enum class State {
        Open,
        Closed, // the peer closed (without close_notify, errorString() says so)
        Failed, // errorString() says why
    };

    // ssl: null for a connection in clear; else set up for its side (accept or connect state).
    TlsStream(int descriptor, SSL* ssl);
    ~TlsStream();
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    int descriptor() const { return m_fd; }
    SSL* ssl() const { return m_ssl; }
    // The TLS handshake is done (at once in clear).
    bool isEncrypted() const { return m_encrypted; }
    State state() const { return m_state; }
    QString errorString() const { return m_error; }
    // Waits for the descriptor to take bytes: sealed records it has not taken, or a call that
    // could not go on for want of room.
    bool wantsWrite() const;
    // Sealed bytes the kernel has not taken yet.
    qint64 pendingBytes() const;
    // Sends what waits; true when nothing does.
    bool flush();
    // For a stream that carries a file: reads many records at once.
    void setBulk();
    // Bytes OpenSSL read from the descriptor and has not handed out: no readiness tells of them.
    bool hasBuffered() const;

    // Carries the handshake on; true once it is done.
    bool handshake();
    // Up to size plain bytes: the number read, 0 when none can be read now, -1 at the end
    // (state() says which).
    qint64 read(char* data, qint64 size);
    // Plain bytes taken (sealed, in records of up to 16 KiB, and sent or pending), 0 when the
    // descriptor takes nothing now, -1 at the end.
    qint64 write(const char* data, qint64 size);
    // Writes a queue from *sent on, as far as the descriptor takes it: records left over from
    // before go first. What left is cut from the queue once it passes compactAbove, so a slow
    // peer's backlog does not hold it.
    void writeQueue(QByteArray* queue, int* sent, int compactAbove);
    // Says goodbye (TLS close_notify) and ends the sending direction once what is pending is
    // out; the peer's bytes may still be read.
    void shutdownOutput();
    // Marks the stream failed with reason, e.g. a peer that asks for what is not allowed.
    void fail(const QString& reason);

    // Makes the streams of a context end, each with a log-worthy reason, when their peer starts
    // a handshake again after the first (TLS 1.2 renegotiation), instead of going on.
    static void refuseRenegotiation(SSL_CTX* context);

    // OpenSSL's BIO for the descriptor.
    static int bioWrite(BIO* bio, const char* data, int size);
    static int bioRead(BIO* bio, char* data, int size);
    static long bioControl(BIO* bio, int command, long number, void* pointer);

private:
    static constexpr qint64 SealedBatch = 256 * 1024;
    static constexpr int BulkReadBuffer = 256 * 1024;

    static void onInfo(const SSL* ssl, int where, int value);
    // Hands the kernel the sealed records; true when none wait.
    bool sendSealed();

    // After an OpenSSL call that returned result: 0 when it waits, -1 when the stream ended.
    qint64 settle(int result);
    qint64 clearResult(ssize_t result);

    int m_fd;
    SSL* m_ssl;
    bool m_encrypted;
    bool m_sslWantsWrite = false; // OpenSSL waits for room (or, in clear, send() did)
    QByteArray m_sealed;          // sealed bytes the kernel has not taken, from m_sealedSent on
    int m_sealedSent = 0;
    bool m_shutdownPending = false; // the sending direction ends once m_sealed is out
    bool m_renegotiating = false;   // the peer started another handshake
    State m_state = State::Open;
    QString m_error;
};

} // namespace voicesdk::protocol

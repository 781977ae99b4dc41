// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QString>

class QSslCertificate;
typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct x509_st X509;

// What the client library and the server share about TLS.
namespace voicesdk::protocol {

// A certificate's SHA-256 digest as "SHA256:" and 64 hex digits: how logs and the client's
// list of known servers name it. der: the certificate in DER.
QString certificateFingerprint(const QByteArray& der);
QString certificateFingerprint(const QSslCertificate& certificate);
QString certificateFingerprint(X509* certificate);

// The reason of the first error on this thread's OpenSSL error queue, or fallback; the queue is
// emptied, so that nothing of one connection is left for the next one on the thread.
QString takeTlsError(const QString& fallback);

// One TCP connection's non-blocking descriptor, with TLS on it through OpenSSL straight on the
// descriptor, or in clear. Its owner watches the descriptor and calls these when it is ready;
// nothing is buffered here beyond what OpenSSL holds for a record (and releases when idle).
// Owns the descriptor and the SSL object; may move between threads while nobody uses it.
class TlsStream
{
public:
    enum class State {
        Open,
        Closed, // the peer closed (cleanly or not: closedCleanly())
        Failed, // errorString() says why
    };

    // ssl: null for a connection in clear; else set up for its side (accept or connect state).
    TlsStream(int descriptor, SSL* ssl);
    ~TlsStream();
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    int descriptor() const { return m_fd; }
    SSL* ssl() const { return m_ssl; }
    bool isSecure() const { return m_ssl != nullptr; }
    // The TLS handshake is done (at once in clear).
    bool isEncrypted() const { return m_encrypted; }
    State state() const { return m_state; }
    bool closedCleanly() const { return m_clean; }
    QString errorString() const { return m_error; }
    // The last call that could not go on waits for the descriptor to take bytes, rather than
    // for bytes to arrive.
    bool wantsWrite() const { return m_wantsWrite; }
    // Bytes OpenSSL read from the descriptor and has not handed out: no readiness tells of them.
    bool hasBuffered() const;

    // Carries the handshake on; true once it is done.
    bool handshake();
    // Up to size plain bytes: the number read, 0 when none can be read now, -1 at the end
    // (state() says which).
    qint64 read(char* data, qint64 size);
    // Plain bytes taken (encrypted and written, or held by OpenSSL in one record it finishes
    // when called again with the same bytes first), 0 when the descriptor takes nothing now,
    // -1 at the end. Up to 16 KiB go out as one record.
    qint64 write(const char* data, qint64 size);
    // Says goodbye (TLS close_notify) and ends the sending direction; the peer's bytes may
    // still be read.
    void shutdownOutput();
    // Marks the stream failed with reason, e.g. a peer that asks for what is not allowed.
    void fail(const QString& reason);

    // Makes the streams of a context end, each with a log-worthy reason, when their peer starts
    // a handshake again after the first (TLS 1.2 renegotiation), instead of going on.
    static void refuseRenegotiation(SSL_CTX* context);

private:
    static void onInfo(const SSL* ssl, int where, int value);

    // After an OpenSSL call that returned result: 0 when it waits, -1 when the stream ended.
    qint64 settle(int result);
    qint64 clearResult(ssize_t result);

    int m_fd;
    SSL* m_ssl;
    bool m_encrypted;
    bool m_wantsWrite = false;
    bool m_clean = false;
    bool m_renegotiating = false; // the peer started another handshake
    State m_state = State::Open;
    QString m_error;
};

} // namespace voicesdk::protocol

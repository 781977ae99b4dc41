// SPDX-License-Identifier: MIT
#include "tls.h"

#include <QCryptographicHash>
#include <QSslCertificate>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace voicesdk::protocol {

namespace {

// The records one call seals, gathered so that they leave in one send(), not one each.
thread_local std::string t_sealed;

BIO_METHOD* streamMethod()
{
    static BIO_METHOD* const method = [] {
        BIO_METHOD* made =
            BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "voicesdk stream");
        if (made) {
            BIO_meth_set_write(made, &TlsStream::bioWrite);
            BIO_meth_set_read(made, &TlsStream::bioRead);
            BIO_meth_set_ctrl(made, &TlsStream::bioControl);
        }
        return made;
    }();
    return method;
}

} // namespace

QString certificateFingerprint(const QByteArray& der)
{
    return QStringLiteral("SHA256:") +
           QString::fromLatin1(QCryptographicHash::hash(der, QCryptographicHash::Sha256).toHex());
}

QString certificateFingerprint(const QSslCertificate& certificate)
{
    return certificateFingerprint(certificate.toDer());
}

QString certificateFingerprint(X509* certificate)
{
    unsigned char* der = nullptr;
    const int length = certificate ? i2d_X509(certificate, &der) : -1;
    if (length <= 0)
        return QString();
    const QString fingerprint =
        certificateFingerprint(QByteArray(reinterpret_cast<const char*>(der), length));
    OPENSSL_free(der);
    return fingerprint;
}

QString publicKeyFingerprint(X509* certificate)
{
    X509_PUBKEY* key = certificate ? X509_get_X509_PUBKEY(certificate) : nullptr;
    unsigned char* der = nullptr;
    const int length = key ? i2d_X509_PUBKEY(key, &der) : -1;
    if (length <= 0)
        return QString();
    const QByteArray digest = QCryptographicHash::hash(
        QByteArray::fromRawData(reinterpret_cast<const char*>(der), length),
        QCryptographicHash::Sha256);
    OPENSSL_free(der);
    return QStringLiteral("SPKI-SHA256:") + QString::fromLatin1(digest.toHex());
}

QString publicKeyFingerprint(const QSslCertificate& certificate)
{
    const QByteArray der = certificate.toDer();
    const auto* bytes = reinterpret_cast<const unsigned char*>(der.constData());
    X509* parsed = der.isEmpty() ? nullptr : d2i_X509(nullptr, &bytes, der.size());
    if (!parsed)
        ERR_clear_error();
    const QString fingerprint = publicKeyFingerprint(parsed);
    X509_free(parsed);
    return fingerprint;
}

QString takeTlsError(const QString& fallback)
{
    const unsigned long code = ERR_peek_error();
    ERR_clear_error();
    const char* reason = code ? ERR_reason_error_string(code) : nullptr;
    if (reason)
        return QStringLiteral("TLS: %1").arg(QString::fromLatin1(reason));
    if (code)
        return QStringLiteral("TLS: error %1").arg(code, 8, 16, QLatin1Char('0'));
    return fallback;
}

TlsStream::TlsStream(int descriptor, SSL* ssl)
    : m_fd(descriptor), m_ssl(ssl), m_encrypted(ssl == nullptr)
{
    if (!m_ssl)
        return;
    BIO_METHOD* method = streamMethod();
    BIO* bio = method ? BIO_new(method) : nullptr;
    if (!bio) {
        fail(takeTlsError(QStringLiteral("TLS: no memory")));
        return;
    }
    BIO_set_data(bio, this);
    BIO_set_init(bio, 1);
    SSL_set_bio(m_ssl, bio, bio); // one reference, for both directions
    SSL_set_app_data(m_ssl, this);
}

TlsStream::~TlsStream()
{
    if (m_ssl)
        SSL_free(m_ssl);
    if (m_fd >= 0)
        ::close(m_fd);
}

int TlsStream::bioWrite(BIO* bio, const char* data, int size)
{
    // OpenSSL's socket BIO would write at once, a send() per record, and with write(), which
    // raises SIGPIPE on a closed connection in a host that does not ignore it. Records are
    // gathered here instead and sent when the call that sealed them returns.
    auto* stream = static_cast<TlsStream*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    if (stream->m_sealedSent < stream->m_sealed.size())
        stream->m_sealed.append(data, size);
    else
        t_sealed.append(data, size);
    return size;
}

int TlsStream::bioRead(BIO* bio, char* data, int size)
{
    auto* stream = static_cast<TlsStream*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    const ssize_t got = ::recv(stream->m_fd, data, size_t(size), MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        BIO_set_retry_read(bio);
    return int(got);
}

long TlsStream::bioControl(BIO* bio, int command, long, void*)
{
    if (command != BIO_CTRL_FLUSH)
        return 0;
    static_cast<TlsStream*>(BIO_get_data(bio))->sendSealed();
    return 1;
}

qint64 TlsStream::pendingBytes() const
{
    return m_sealed.size() - m_sealedSent + qint64(t_sealed.size());
}

bool TlsStream::sendSealed()
{
    // The stream's own leftovers, when there are any, hold everything sealed since.
    const bool own = m_sealedSent < m_sealed.size();
    const char* data = own ? m_sealed.constData() : t_sealed.data();
    const int size = own ? m_sealed.size() : int(t_sealed.size());
    int sent = own ? m_sealedSent : 0;
    while (sent < size && m_state == State::Open) {
        const ssize_t taken =
            ::send(m_fd, data + sent, size_t(size - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (taken > 0) {
            sent += int(taken);
            continue;
        }
        if (taken < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            break;
        // The peer is gone; what OpenSSL believes written never will be.
        m_state = State::Closed;
        m_error = QString::fromLocal8Bit(std::strerror(errno));
        break;
    }
    if (!own) {
        if (sent < size && m_state == State::Open)
            m_sealed = QByteArray(data + sent, size - sent); // the kernel is full
        m_sealedSent = 0;
        t_sealed.clear(); // keeps its room for the thread's next call
    } else if (sent == size || m_state != State::Open) {
        m_sealed.clear();
        m_sealedSent = 0;
    } else {
        m_sealedSent = sent;
    }
    if (m_shutdownPending && m_sealed.isEmpty()) {
        m_shutdownPending = false;
        ::shutdown(m_fd, SHUT_WR);
    }
    return m_sealed.isEmpty();
}

bool TlsStream::flush()
{
    if (!m_ssl || m_state != State::Open)
        return true;
    return sendSealed();
}

bool TlsStream::hasBuffered() const
{
    return m_ssl && SSL_has_pending(m_ssl);
}

void TlsStream::setBulk()
{
    // A transfer's records are read many at once: fewer reads for the same bytes.
    if (m_ssl)
        SSL_set_default_read_buffer_len(m_ssl, BulkReadBuffer);
}

void TlsStream::refuseRenegotiation(SSL_CTX* context)
{
    SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_info_callback(context, &TlsStream::onInfo);
}

void TlsStream::onInfo(const SSL* ssl, int where, int)
{
    // TLS 1.3 has no second handshake: this is 1.2 renegotiation, which OpenSSL refuses with a
    // mere warning that the peer may ignore.
    auto* stream = static_cast<TlsStream*>(SSL_get_app_data(ssl));
    if ((where & SSL_CB_HANDSHAKE_START) && stream && stream->m_encrypted)
        stream->m_renegotiating = true;
}

void TlsStream::fail(const QString& reason)
{
    if (m_state != State::Open)
        return;
    m_state = State::Failed;
    m_error = reason;
}

bool TlsStream::wantsWrite() const
{
    return m_sslWantsWrite || m_sealedSent < m_sealed.size();
}

bool TlsStream::handshake()
{
    if (m_encrypted)
        return true;
    if (m_state != State::Open)
        return false;
    ERR_clear_error();
    const int result = SSL_do_handshake(m_ssl);
    sendSealed();
    if (result == 1 && m_state == State::Open) {
        m_encrypted = true;
        m_sslWantsWrite = false;
        return true;
    }
    if (result != 1)
        settle(result);
    return false;
}

qint64 TlsStream::settle(int result)
{
    // errno first: the calls below may change it.
    const int systemError = errno;
    const int error = SSL_get_error(m_ssl, result);
    switch (error) {
    case SSL_ERROR_WANT_READ:
        m_sslWantsWrite = false;
        ERR_clear_error();
        return m_state == State::Open ? 0 : -1;
    case SSL_ERROR_WANT_WRITE:
        m_sslWantsWrite = true;
        ERR_clear_error();
        return m_state == State::Open ? 0 : -1;
    case SSL_ERROR_ZERO_RETURN:
        ERR_clear_error();
        m_state = State::Closed;
        return -1;
    case SSL_ERROR_SYSCALL:
        if (ERR_peek_error() == 0) {
            ERR_clear_error();
            // A reset or a close without a word: the peer is gone either way.
            m_state = State::Closed;
            m_error = systemError ? QString::fromLocal8Bit(std::strerror(systemError))
                                  : QStringLiteral("closed without TLS close_notify");
            return -1;
        }
        break;
    case SSL_ERROR_SSL:
        if (ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
            ERR_clear_error();
            m_state = State::Closed;
            m_error = m_encrypted ? QStringLiteral("closed without TLS close_notify")
                                  : QStringLiteral("closed during the TLS handshake");
            return -1;
        }
        break;
    default:
        break;
    }
    m_state = State::Failed;
    m_error = takeTlsError(QStringLiteral("TLS: failed (%1)").arg(error));
    return -1;
}

qint64 TlsStream::clearResult(ssize_t result)
{
    if (result > 0) {
        m_sslWantsWrite = false;
        return result;
    }
    if (result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return 0;
    m_state = State::Closed;
    if (result < 0)
        m_error = QString::fromLocal8Bit(std::strerror(errno));
    return -1;
}

qint64 TlsStream::read(char* data, qint64 size)
{
    if (m_state != State::Open || size <= 0)
        return m_state == State::Open ? 0 : -1;
    if (!m_ssl)
        return clearResult(::recv(m_fd, data, size_t(size), MSG_DONTWAIT));
    if (!m_encrypted && !handshake())
        return m_state == State::Open ? 0 : -1;
    ERR_clear_error();
    const int result = SSL_read(m_ssl, data, int(qMin<qint64>(size, 1 << 30)));
    sendSealed(); // what reading made OpenSSL answer
    if (m_renegotiating) {
        ERR_clear_error();
        fail(QStringLiteral("TLS: the peer asked to renegotiate, which is not allowed"));
        return -1;
    }
    if (result > 0) {
        m_sslWantsWrite = false;
        return result;
    }
    return settle(result);
}

qint64 TlsStream::write(const char* data, qint64 size)
{
    if (m_state != State::Open || size <= 0)
        return m_state == State::Open ? 0 : -1;
    if (!m_ssl) {
        const ssize_t sent = ::send(m_fd, data, size_t(size), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            m_sslWantsWrite = true;
            return 0;
        }
        return clearResult(sent);
    }
    if (!m_encrypted && !handshake())
        return m_state == State::Open ? 0 : -1;
    // Records still waiting for the kernel go first.
    if (!sendSealed())
        return m_state == State::Open ? 0 : -1;
    qint64 taken = 0;
    int result = 1;
    // One record per call (partial writes); a batch of them leaves in one send().
    while (taken < size && pendingBytes() < SealedBatch) {
        ERR_clear_error();
        result = SSL_write(m_ssl, data + taken, int(qMin<qint64>(size - taken, 1 << 30)));
        if (result <= 0)
            break;
        taken += result;
    }
    sendSealed();
    if (result <= 0 && settle(result) < 0)
        return -1;
    if (m_state != State::Open)
        return -1;
    if (result > 0)
        m_sslWantsWrite = false;
    return taken;
}

void TlsStream::writeQueue(QByteArray* queue, int* sent, int compactAbove)
{
    flush();
    while (*sent < queue->size()) {
        const qint64 taken = write(queue->constData() + *sent, queue->size() - *sent);
        if (taken <= 0)
            break;
        *sent += int(taken);
    }
    if (*sent == queue->size()) {
        queue->clear();
        *sent = 0;
    } else if (*sent > compactAbove) {
        queue->remove(0, *sent);
        *sent = 0;
    }
}

void TlsStream::shutdownOutput()
{
    if (m_fd < 0 || m_state != State::Open)
        return;
    if (m_ssl && m_encrypted) {
        ERR_clear_error();
        SSL_shutdown(m_ssl); // close_notify; the peer's answer is not waited for
        ERR_clear_error();
        // The end of the stream follows the records still waiting for the kernel.
        m_shutdownPending = true;
        sendSealed();
        return;
    }
    ::shutdown(m_fd, SHUT_WR);
}

} // namespace voicesdk::protocol

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
#include <sys/socket.h>
#include <unistd.h>

namespace voicesdk::protocol {

namespace {

// OpenSSL's socket BIO writes with write(), which raises SIGPIPE on a closed connection and
// would end a host process that does not ignore it; this one sends with MSG_NOSIGNAL.
int descriptorOf(BIO* bio)
{
    return int(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
}

int bioWrite(BIO* bio, const char* data, int size)
{
    BIO_clear_retry_flags(bio);
    const ssize_t sent = ::send(descriptorOf(bio), data, size_t(size), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        BIO_set_retry_write(bio);
    return int(sent);
}

int bioRead(BIO* bio, char* data, int size)
{
    BIO_clear_retry_flags(bio);
    const ssize_t got = ::recv(descriptorOf(bio), data, size_t(size), MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        BIO_set_retry_read(bio);
    return int(got);
}

long bioControl(BIO*, int command, long, void*)
{
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

BIO* descriptorBio(int fd)
{
    static BIO_METHOD* const method = [] {
        BIO_METHOD* made =
            BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "voicesdk descriptor");
        BIO_meth_set_write(made, bioWrite);
        BIO_meth_set_read(made, bioRead);
        BIO_meth_set_ctrl(made, bioControl);
        return made;
    }();
    BIO* bio = method ? BIO_new(method) : nullptr;
    if (bio) {
        BIO_set_data(bio, reinterpret_cast<void*>(intptr_t(fd)));
        BIO_set_init(bio, 1);
    }
    return bio;
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
    if (m_ssl) {
        BIO* bio = descriptorBio(m_fd);
        if (bio)
            SSL_set_bio(m_ssl, bio, bio); // one reference, for both directions
        else
            fail(QStringLiteral("TLS: no memory"));
        SSL_set_app_data(m_ssl, this);
    }
}

TlsStream::~TlsStream()
{
    if (m_ssl)
        SSL_free(m_ssl);
    if (m_fd >= 0)
        ::close(m_fd);
}

bool TlsStream::hasBuffered() const
{
    return m_ssl && SSL_has_pending(m_ssl);
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

bool TlsStream::handshake()
{
    if (m_encrypted)
        return true;
    if (m_state != State::Open)
        return false;
    ERR_clear_error();
    const int result = SSL_do_handshake(m_ssl);
    if (result == 1) {
        m_encrypted = true;
        m_wantsWrite = false;
        return true;
    }
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
        m_wantsWrite = false;
        ERR_clear_error();
        return 0;
    case SSL_ERROR_WANT_WRITE:
        m_wantsWrite = true;
        ERR_clear_error();
        return 0;
    case SSL_ERROR_ZERO_RETURN:
        ERR_clear_error();
        m_state = State::Closed;
        m_clean = true;
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
        m_wantsWrite = false;
        return result;
    }
    if (result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return 0;
    m_state = State::Closed;
    m_clean = result == 0;
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
    if (m_renegotiating) {
        ERR_clear_error();
        fail(QStringLiteral("TLS: the peer asked to renegotiate, which is not allowed"));
        return -1;
    }
    if (result > 0) {
        m_wantsWrite = false;
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
            m_wantsWrite = true;
            return 0;
        }
        return clearResult(sent);
    }
    if (!m_encrypted && !handshake())
        return m_state == State::Open ? 0 : -1;
    ERR_clear_error();
    const int result = SSL_write(m_ssl, data, int(qMin<qint64>(size, 1 << 30)));
    if (result > 0) {
        m_wantsWrite = false;
        return result;
    }
    return settle(result);
}

void TlsStream::shutdownOutput()
{
    if (m_fd < 0)
        return;
    if (m_ssl && m_encrypted && m_state == State::Open) {
        ERR_clear_error();
        SSL_shutdown(m_ssl); // close_notify; the peer's answer is not waited for
        ERR_clear_error();
    }
    ::shutdown(m_fd, SHUT_WR);
}

} // namespace voicesdk::protocol

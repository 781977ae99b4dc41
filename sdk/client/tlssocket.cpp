// SPDX-License-Identifier: MIT
#include "tlssocket.h"

#include "tls.h"

#include <QHostInfo>
#include <QPointer>
#include <QSocketNotifier>
#include <QSslConfiguration>
#include <QTimer>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstring>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace voicesdk {

using protocol::TlsStream;

namespace {

int socketIndex()
{
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// What the library's TLS connections share: TLS 1.2 or later. OpenSSL checks the server's chain
// against the system's authorities (looked up in their folder when needed, not all read, or
// SSL_CERT_DIR's) and those of the bundle SSL_CERT_FILE names, but
// does not stop the handshake for it: the caller judges (verificationError(), then the known
// servers).
SSL_CTX* clientContext()
{
    static SSL_CTX* const context = [] {
        SSL_CTX* made = SSL_CTX_new(TLS_client_method());
        if (!made)
            return made;
        SSL_CTX_set_min_proto_version(made, TLS1_2_VERSION);
        SSL_CTX_set_verify(made, SSL_VERIFY_NONE, nullptr);
        SSL_CTX_set_default_verify_dir(made);
        // A bundle named in SSL_CERT_FILE counts too, as for OpenSSL's own tools; the system's
        // bundle is not read whole, its folder has the same authorities.
        const QByteArray bundle = qgetenv("SSL_CERT_FILE");
        if (!bundle.isEmpty())
            SSL_CTX_load_verify_locations(made, bundle.constData(), nullptr);
        ERR_clear_error(); // a system without the folder verifies nothing, as it should
        SSL_CTX_set_mode(made, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        SSL_CTX_set_read_ahead(made, 1);
        SSL_CTX_set_options(made, SSL_OP_NO_COMPRESSION);
        TlsStream::refuseRenegotiation(made);
        // Sessions are kept by the socket that got them, not in OpenSSL's cache.
        SSL_CTX_set_session_cache_mode(made,
                                       SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
        SSL_CTX_sess_set_new_cb(made, &TlsSocket::onNewSession);
        return made;
    }();
    return context;
}

QSslCertificate fromX509(X509* certificate)
{
    unsigned char* der = nullptr;
    const int length = i2d_X509(certificate, &der);
    if (length <= 0)
        return QSslCertificate();
    QSslCertificate result(QByteArray(reinterpret_cast<const char*>(der), length), QSsl::Der);
    OPENSSL_free(der);
    return result;
}

} // namespace

TlsSocket::TlsSocket(QObject* parent) : QObject(parent) {}

TlsSocket::~TlsSocket()
{
    closeDescriptor();
}

int TlsSocket::onNewSession(SSL* ssl, SSL_SESSION* session)
{
    auto* socket = static_cast<TlsSocket*>(SSL_get_ex_data(ssl, socketIndex()));
    if (!socket || !SSL_SESSION_is_resumable(session))
        return 0;
    socket->m_session = TlsSession(session, SSL_SESSION_free);
    return 1; // the reference is ours
}

void TlsSocket::connectToHost(const QString& host, quint16 port, bool plain, TlsSession session)
{
    m_host = host;
    m_port = port;
    m_plain = plain;
    m_resume = std::move(session);
    QHostAddress literal;
    if (literal.setAddress(host)) {
        m_addresses = {literal};
        // Connected or not, the caller hears of it from the event loop, as with a name.
        QMetaObject::invokeMethod(this, &TlsSocket::tryNextAddress, Qt::QueuedConnection);
        return;
    }
    m_lookupId = QHostInfo::lookupHost(host, this, &TlsSocket::lookedUp);
}

void TlsSocket::lookedUp(const QHostInfo& info)
{
    m_lookupId = -1;
    if (m_ended)
        return;
    if (info.error() != QHostInfo::NoError || info.addresses().isEmpty())
        return endWith(info.errorString());
    m_addresses = info.addresses();
    tryNextAddress();
}

void TlsSocket::tryNextAddress()
{
    if (m_ended)
        return;
    while (!m_addresses.isEmpty()) {
        const QHostAddress address = m_addresses.takeFirst();
        sockaddr_storage storage = {};
        socklen_t length = 0;
        const bool v6 = address.protocol() == QAbstractSocket::IPv6Protocol;
        if (v6) {
            auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
            in6->sin6_family = AF_INET6;
            in6->sin6_port = htons(m_port);
            const Q_IPV6ADDR bytes = address.toIPv6Address();
            std::memcpy(&in6->sin6_addr, &bytes, sizeof bytes);
            in6->sin6_scope_id = address.scopeId().toUInt();
            length = sizeof *in6;
        } else {
            auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
            in4->sin_family = AF_INET;
            in4->sin_port = htons(m_port);
            in4->sin_addr.s_addr = htonl(address.toIPv4Address());
            length = sizeof *in4;
        }
        const int fd =
            ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            m_error = QString::fromLocal8Bit(std::strerror(errno));
            continue;
        }
        if (::connect(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0 &&
            errno != EINPROGRESS) {
            m_error = QString::fromLocal8Bit(std::strerror(errno));
            ::close(fd);
            continue;
        }
        m_peer = address;
        m_connecting = fd;
        m_writable = new QSocketNotifier(fd, QSocketNotifier::Write, this);
        connect(m_writable, &QSocketNotifier::activated, this, &TlsSocket::onConnectable);
        return;
    }
    endWith(m_error.isEmpty() ? QStringLiteral("no address to connect to") : m_error);
}

void TlsSocket::onConnectable()
{
    const int fd = m_connecting;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        error = errno;
    delete m_writable;
    m_writable = nullptr;
    m_connecting = -1;
    if (error != 0) {
        m_error = QString::fromLocal8Bit(std::strerror(error));
        ::close(fd);
        return tryNextAddress();
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    SSL* ssl = nullptr;
    if (!m_plain) {
        SSL_CTX* context = clientContext();
        ssl = context ? SSL_new(context) : nullptr;
        if (!ssl) {
            ::close(fd);
            return endWith(protocol::takeTlsError(QStringLiteral("TLS is not available")));
        }
        SSL_set_connect_state(ssl);
        SSL_set_ex_data(ssl, socketIndex(), this);
        // Authorities added to Qt's default configuration count too (usually there are none).
        X509_STORE* store = SSL_CTX_get_cert_store(SSL_get_SSL_CTX(ssl));
        for (const QSslCertificate& authority :
             QSslConfiguration::defaultConfiguration().caCertificates()) {
            const QByteArray der = authority.toDer();
            const auto* bytes = reinterpret_cast<const unsigned char*>(der.constData());
            if (X509* certificate = d2i_X509(nullptr, &bytes, der.size())) {
                X509_STORE_add_cert(store, certificate); // a second time is harmless
                X509_free(certificate);
            }
        }
        QString host = m_host;
        if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
            host = host.mid(1, host.size() - 2);
        const QByteArray name = host.toUtf8();
        X509_VERIFY_PARAM* check = SSL_get0_param(ssl);
        QHostAddress literal;
        if (literal.setAddress(host)) {
            X509_VERIFY_PARAM_set1_ip_asc(check, name.constData());
        } else {
            X509_VERIFY_PARAM_set1_host(check, name.constData(), size_t(name.size()));
            SSL_set_tlsext_host_name(ssl, name.constData());
        }
        if (m_resume)
            SSL_set_session(ssl, m_resume.get());
        ERR_clear_error();
    }
    m_stream = std::make_unique<TlsStream>(fd, ssl);
    if (m_bulk)
        m_stream->setBulk();
    m_readable = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    m_writable = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    connect(m_readable, &QSocketNotifier::activated, this, &TlsSocket::onReadable);
    connect(m_writable, &QSocketNotifier::activated, this, &TlsSocket::onWritable);
    handshake();
}

void TlsSocket::handshake()
{
    if (!m_stream->handshake()) {
        if (m_stream->state() != TlsStream::State::Open)
            return endWith(m_stream->errorString());
        return watch();
    }
    m_connected = true;
    watch();
    const QPointer<TlsSocket> self(this);
    emit connected();
    if (self && !m_ended && m_connected) {
        flush();
        // Records read together with the handshake's last are no readiness of the socket.
        if (m_stream && m_stream->hasBuffered())
            QMetaObject::invokeMethod(this, &TlsSocket::onReadable, Qt::QueuedConnection);
    }
}

bool TlsSocket::isConnected() const
{
    return m_connected && !m_ended;
}

QList<QSslCertificate> TlsSocket::peerCertificateChain() const
{
    QList<QSslCertificate> chain;
    SSL* ssl = m_stream ? m_stream->ssl() : nullptr;
    if (!ssl)
        return chain;
    // A resumed session shows no chain, only the certificate it was made with.
    if (X509* own = SSL_get1_peer_certificate(ssl)) {
        chain.append(fromX509(own));
        X509_free(own);
    }
    if (STACK_OF(X509)* rest = SSL_get_peer_cert_chain(ssl)) {
        for (int i = 0; i < sk_X509_num(rest); ++i) {
            const QSslCertificate certificate = fromX509(sk_X509_value(rest, i));
            if (!chain.contains(certificate))
                chain.append(certificate);
        }
    }
    return chain;
}

QString TlsSocket::cipherName() const
{
    SSL* ssl = m_stream ? m_stream->ssl() : nullptr;
    return ssl ? QString::fromLatin1(SSL_get_cipher_name(ssl)) : QString();
}

bool TlsSocket::isResumed() const
{
    SSL* ssl = m_stream ? m_stream->ssl() : nullptr;
    return ssl && SSL_session_reused(ssl) == 1;
}

QString TlsSocket::verificationError() const
{
    SSL* ssl = m_stream ? m_stream->ssl() : nullptr;
    if (!ssl)
        return QStringLiteral("no TLS");
    X509* certificate = SSL_get0_peer_certificate(ssl);
    if (!certificate)
        return QStringLiteral("the server showed no certificate");
    // A resumed session keeps the result of the handshake that made it.
    const long result = SSL_get_verify_result(ssl);
    if (result == X509_V_OK)
        return QString();
    return QString::fromLatin1(X509_verify_cert_error_string(result));
}

bool TlsSocket::hasBuffered() const
{
    return m_stream && m_stream->hasBuffered();
}

qint64 TlsSocket::read(char* data, qint64 size)
{
    if (m_ended || !m_connected || !m_stream)
        return m_connected ? -1 : 0;
    const qint64 got = m_stream->read(data, size);
    if (got < 0)
        endLater();
    else if (got == 0 && m_stream->wantsWrite())
        watch();
    return got;
}

void TlsSocket::write(const QByteArray& bytes)
{
    if (m_ended || bytes.isEmpty())
        return;
    if (m_out.isEmpty())
        m_out = bytes;
    else
        m_out += bytes;
    scheduleFlush();
}

void TlsSocket::scheduleFlush()
{
    if (m_flushScheduled)
        return;
    m_flushScheduled = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_flushScheduled = false;
            flush();
        },
        Qt::QueuedConnection);
}

qint64 TlsSocket::unsentBytes() const
{
    qint64 unsent = bytesToWrite();
    if (m_stream) {
        int kernel = 0;
        if (::ioctl(m_stream->descriptor(), SIOCOUTQNSD, &kernel) == 0)
            unsent += kernel;
        unsent += m_stream->pendingBytes();
    }
    return unsent;
}

void TlsSocket::flush()
{
    if (m_ended || !m_connected || !m_stream)
        return;
    m_stream->writeQueue(&m_out, &m_outTaken, 1024 * 1024);
    if (m_stream->state() != TlsStream::State::Open)
        return endLater();
    if (m_closing && m_out.isEmpty() && !m_lingering) {
        m_lingering = true;
        m_stream->shutdownOutput();
    }
    watch();
}

qint64 TlsSocket::send(const char* data, qint64 size)
{
    if (m_ended || !m_connected || !m_stream)
        return m_connected ? -1 : 0;
    if (!m_out.isEmpty()) {
        flush();
        if (!m_out.isEmpty()) {
            m_sendBlocked = true;
            return 0;
        }
    }
    const qint64 taken = m_stream->write(data, size);
    if (taken < 0) {
        endLater();
    } else if (m_stream->wantsWrite()) {
        m_sendBlocked = true;
        watch();
    }
    return taken;
}

void TlsSocket::watch()
{
    if (!m_stream || m_ended)
        return;
    m_readable->setEnabled(true);
    m_writable->setEnabled(m_stream->wantsWrite() || !m_out.isEmpty() || m_sendBlocked ||
                           (!m_connected && !m_plain));
}

void TlsSocket::onReadable()
{
    if (m_ended || !m_stream)
        return;
    if (m_lingering) {
        char buffer[16 * 1024];
        for (;;) {
            const qint64 got = m_stream->read(buffer, sizeof buffer);
            if (got < 0) {
                closeDescriptor();
                deleteLater();
                return;
            }
            if (got == 0)
                return;
        }
    }
    if (!m_connected)
        return handshake();
    if (m_closing)
        return;
    const QPointer<TlsSocket> self(this);
    emit readyRead();
    if (self && !m_ended && m_stream && m_stream->state() != TlsStream::State::Open)
        endWith(m_stream->errorString());
}

void TlsSocket::onWritable()
{
    if (m_ended || !m_stream)
        return;
    if (!m_connected)
        return handshake();
    const bool forReading = m_out.isEmpty() && !m_sendBlocked && m_stream->pendingBytes() == 0;
    flush();
    if (m_ended || m_closing)
        return;
    const QPointer<TlsSocket> self(this);
    if (m_out.isEmpty() && m_sendBlocked) {
        m_sendBlocked = false;
        emit sendable();
    } else if (forReading) {
        emit readyRead(); // OpenSSL had to write before it could read on
    }
    if (self)
        watch();
}

void TlsSocket::closeGracefully(int timeoutMs)
{
    disconnect(this, nullptr, nullptr, nullptr);
    if (m_ended || !m_connected) {
        abort();
        deleteLater();
        return;
    }
    m_closing = true;
    QTimer::singleShot(timeoutMs, this, [this] {
        closeDescriptor();
        deleteLater();
    });
    flush();
}

void TlsSocket::abort()
{
    disconnect(this, nullptr, nullptr, nullptr);
    m_ended = true;
    closeDescriptor();
}

void TlsSocket::endLater()
{
    QMetaObject::invokeMethod(
        this, [this] { endWith(m_stream ? m_stream->errorString() : m_error); },
        Qt::QueuedConnection);
}

void TlsSocket::endWith(const QString& reason)
{
    if (m_ended)
        return;
    m_ended = true;
    if (!reason.isEmpty())
        m_error = reason;
    else if (m_error.isEmpty())
        m_error = QStringLiteral("the server closed the connection");
    closeDescriptor();
    emit ended();
}

void TlsSocket::closeDescriptor()
{
    if (m_lookupId >= 0) {
        QHostInfo::abortHostLookup(m_lookupId);
        m_lookupId = -1;
    }
    // The notifiers go before the descriptor they watch.
    delete m_readable;
    delete m_writable;
    m_readable = m_writable = nullptr;
    if (m_connecting >= 0) {
        ::close(m_connecting);
        m_connecting = -1;
    }
    if (m_stream && m_stream->ssl())
        SSL_set_ex_data(m_stream->ssl(), socketIndex(), nullptr);
    m_stream.reset();
}

} // namespace voicesdk

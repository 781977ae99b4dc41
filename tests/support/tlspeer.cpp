// SPDX-License-Identifier: MIT
#include "tlspeer.h"

#include "protocol.h"
#include "rawpeer.h"
#include "tls.h"

#include <QElapsedTimer>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace voicesdk::protocol;

namespace {
constexpr int StepMs = 5000;

SSL_CTX* context()
{
    static SSL_CTX* const made = [] {
        SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
        SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
        SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT);
        return ctx;
    }();
    return made;
}
} // namespace

TlsPeer::~TlsPeer()
{
    if (m_ssl)
        SSL_free(m_ssl);
    if (m_fd >= 0)
        ::close(m_fd);
}

bool TlsPeer::open(quint16 port, bool tls12, SSL_SESSION* resume)
{
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (m_fd < 0 || ::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return false;
    const int on = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    m_ssl = SSL_new(context());
    m_in = BIO_new(BIO_s_mem());
    m_out = BIO_new(BIO_s_mem());
    SSL_set_bio(m_ssl, m_in, m_out);
    SSL_set_connect_state(m_ssl);
    if (tls12)
        SSL_set_max_proto_version(m_ssl, TLS1_2_VERSION);
    if (resume)
        SSL_set_session(m_ssl, resume);
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < StepMs) {
        const int result = SSL_do_handshake(m_ssl);
        if (!pumpOut())
            return false;
        if (result == 1)
            return true;
        if (SSL_get_error(m_ssl, result) != SSL_ERROR_WANT_READ || !pumpIn(100)) {
            ERR_clear_error();
            return false;
        }
    }
    return false;
}

bool TlsPeer::isResumed() const
{
    return m_ssl && SSL_session_reused(m_ssl) == 1;
}

SSL_SESSION* TlsPeer::session() const
{
    return m_ssl ? SSL_get_session(m_ssl) : nullptr;
}

QString TlsPeer::fingerprint() const
{
    X509* certificate = m_ssl ? SSL_get1_peer_certificate(m_ssl) : nullptr;
    const QString fingerprint = certificateFingerprint(certificate);
    X509_free(certificate);
    return fingerprint;
}

bool TlsPeer::pumpOut()
{
    char buffer[16 * 1024];
    int got;
    while ((got = BIO_read(m_out, buffer, sizeof buffer)) > 0) {
        if (!writeRaw(QByteArray(buffer, got)))
            return false;
    }
    return true;
}

bool TlsPeer::pumpIn(int timeoutMs)
{
    if (m_closed)
        return false;
    pollfd ready = {m_fd, POLLIN, 0};
    if (::poll(&ready, 1, timeoutMs) <= 0)
        return true; // nothing yet
    char buffer[64 * 1024];
    const ssize_t got = ::recv(m_fd, buffer, sizeof buffer, 0);
    if (got <= 0) {
        m_closed = true;
        return false;
    }
    BIO_write(m_in, buffer, int(got));
    return true;
}

bool TlsPeer::writeRaw(const QByteArray& bytes)
{
    for (int done = 0; done < bytes.size();) {
        const ssize_t sent =
            ::send(m_fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        done += int(sent);
    }
    return true;
}

bool TlsPeer::send(const QCborMap& message)
{
    const QByteArray frame = encodeFrame(message);
    return SSL_write(m_ssl, frame.constData(), frame.size()) == frame.size() && pumpOut();
}

bool TlsPeer::hello(const QString& nickname)
{
    return send(helloMessage(nickname)) && !next(type::Synced).isEmpty();
}

QCborMap TlsPeer::next(QLatin1String type, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    char buffer[16 * 1024];
    for (;;) {
        QCborMap message;
        while (m_decoder.next(&message) == FrameDecoder::Message) {
            if (message.value(TypeKey).toString() == type)
                return message;
        }
        int got;
        while ((got = SSL_read(m_ssl, buffer, sizeof buffer)) > 0)
            m_decoder.append(buffer, got);
        ERR_clear_error();
        if (m_decoder.pending() > 0 && m_decoder.next(&message) == FrameDecoder::Message) {
            if (message.value(TypeKey).toString() == type)
                return message;
            continue;
        }
        pumpOut();
        if (timer.elapsed() > timeoutMs || !pumpIn(50))
            return {};
    }
}

bool TlsPeer::renegotiate()
{
    return SSL_renegotiate(m_ssl) == 1 && SSL_do_handshake(m_ssl) <= 0 && pumpOut();
}

bool TlsPeer::sendFatalAlert()
{
    // A record of application data that is no record of this session: OpenSSL refuses it and
    // answers with a sealed bad_record_mac alert, which goes to the server.
    const QByteArray forged = QByteArray::fromHex("1703030040") + QByteArray(64, 'x');
    BIO_write(m_in, forged.constData(), forged.size());
    char buffer[256];
    const int result = SSL_read(m_ssl, buffer, sizeof buffer);
    ERR_clear_error();
    return result <= 0 && BIO_pending(m_out) > 0 && pumpOut();
}

bool TlsPeer::writeHalfRecord(int size)
{
    const QByteArray plain(size, 'h');
    if (SSL_write(m_ssl, plain.constData(), plain.size()) != plain.size())
        return false;
    char buffer[64 * 1024];
    const int got = BIO_read(m_out, buffer, sizeof buffer);
    return got > 1 && writeRaw(QByteArray(buffer, got / 2));
}

void TlsPeer::vanish()
{
    ::close(m_fd);
    m_fd = -1;
    m_closed = true;
}

bool TlsPeer::closedByServer(int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!m_closed && timer.elapsed() < timeoutMs)
        pumpIn(50);
    return m_closed;
}

// SPDX-License-Identifier: MIT
#include "listener.h"

#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace voiceserver {

namespace {
// A crowd connecting at once waits here while the logic thread is busy with those before it;
// a connection the queue has no room for is dropped and comes back only after the client's
// SYN retries (1 s, 3 s, 7 s, ...). The kernel caps it at net.core.somaxconn.
constexpr int Backlog = 4096;
// Accepted per wake-up, so a crowd at the door does not starve the clients already in.
constexpr int AcceptsPerWakeUp = 64;
} // namespace

Listener::Listener(QObject* parent) : QObject(parent) {}

Listener::~Listener()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool Listener::listen(const QHostAddress& address, quint16 port, QString* error)
{
    sockaddr_storage storage;
    std::memset(&storage, 0, sizeof storage);
    socklen_t length = 0;
    const bool v6 = address.protocol() == QAbstractSocket::IPv6Protocol;
    if (v6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, &bytes, sizeof bytes);
        length = sizeof *in6;
    } else if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(port);
        in4->sin_addr.s_addr = htonl(address.toIPv4Address());
        length = sizeof *in4;
    } else {
        *error = QStringLiteral("not an IPv4 or IPv6 address");
        return false;
    }
    m_fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (m_fd < 0 || ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
        ::listen(m_fd, Backlog) != 0 ||
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
        return false;
    }
    m_address = address;
    m_port = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                      : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &Listener::acceptPending);
    return true;
}

void Listener::pause()
{
    if (m_notifier)
        m_notifier->setEnabled(false);
}

void Listener::resume()
{
    if (m_notifier)
        m_notifier->setEnabled(true);
}

void Listener::close()
{
    delete m_notifier;
    m_notifier = nullptr;
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

void Listener::acceptPending()
{
    for (int i = 0; i < AcceptsPerWakeUp; ++i) {
        const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            emit accepted(fd);
            continue;
        }
        switch (errno) {
        case EAGAIN:
#if EAGAIN != EWOULDBLOCK
        case EWOULDBLOCK:
#endif
            return; // nobody else waiting
        case EINTR:
        case ECONNABORTED:
        case EPROTO:
        case ENETDOWN:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETUNREACH:
            continue; // that one connection's trouble
        default:
            pause();
            emit cannotAccept(errno);
            return;
        }
    }
}

} // namespace voiceserver

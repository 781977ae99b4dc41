// SPDX-License-Identifier: MIT
#include "singleapplication.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QDebug>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>

namespace RylSystem {

namespace {

// A message is a 32-bit length followed by UTF-8; bound it so a stray client cannot make the
// instance allocate without limit.
constexpr quint32 MaxMessageBytes = 64 * 1024;

QString lockPath(const QString& key)
{
    return QDir::temp().filePath(SingleApplication::serverName(key) + QStringLiteral(".lock"));
}

} // namespace

QString SingleApplication::serverName(const QString& key)
{
    // The key may hold blanks and arbitrary text; socket names must not. Per-user, so two users
    // on one machine each get their own instance.
    const QByteArray hash =
        QCryptographicHash::hash(key.toUtf8() + '\0' + qgetenv("USER"), QCryptographicHash::Sha1);
    return QStringLiteral("ryl-single-") + QString::fromLatin1(hash.toHex().left(24));
}

SingleApplication::SingleApplication(const QString& key, bool claim, QObject* parent)
    : QObject(parent), m_key(key)
{
    if (!claim)
        return;
    auto lock = std::make_unique<QLockFile>(lockPath(key));
    lock->setStaleLockTime(0); // only a dead owner makes a lock stale, never its age
    if (!lock->tryLock(0))
        return;
    m_lock = std::move(lock);

    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    // The lock proves no live instance owns the name; a leftover socket file is from a crash.
    QLocalServer::removeServer(serverName(key));
    if (!m_server->listen(serverName(key))) {
        qWarning() << "SingleApplication: cannot listen on" << serverName(key)
                   << m_server->errorString();
        return;
    }
    connect(m_server, &QLocalServer::newConnection, this, &SingleApplication::acceptConnection);
}

SingleApplication::~SingleApplication()
{
    if (m_server)
        m_server->close();
}

QString SingleApplication::key() const
{
    return m_key;
}

bool SingleApplication::isPrimary() const
{
    return m_lock != nullptr;
}

bool SingleApplication::isRunning() const
{
    if (isPrimary())
        return false;
    // Asking the instance itself, rather than probing its lock, never disturbs an instance that
    // is just taking the lock.
    QLocalSocket probe;
    probe.connectToServer(serverName(m_key));
    const bool running = probe.waitForConnected(1000);
    probe.abort();
    return running;
}

bool SingleApplication::sendMessage(const QString& message, int timeout)
{
    if (isPrimary())
        return false;
    QLocalSocket socket;
    socket.connectToServer(serverName(m_key));
    if (!socket.waitForConnected(timeout))
        return false;
    const QByteArray payload = message.toUtf8();
    if (quint32(payload.size()) > MaxMessageBytes)
        return false;
    QByteArray frame;
    QDataStream(&frame, QIODevice::WriteOnly) << quint32(payload.size());
    frame += payload;
    socket.write(frame);
    if (!socket.waitForBytesWritten(timeout))
        return false;
    // The instance closes the connection once it has the whole message.
    if (socket.state() == QLocalSocket::ConnectedState)
        socket.waitForDisconnected(timeout);
    return true;
}

void SingleApplication::acceptConnection()
{
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (socket->bytesAvailable() < 4)
                return;
            quint32 length = 0;
            QDataStream(socket->peek(4)) >> length;
            if (length > MaxMessageBytes) {
                qWarning() << "SingleApplication: dropping oversized message of" << length
                           << "bytes";
                socket->abort();
                return;
            }
            if (socket->bytesAvailable() < qint64(4 + length))
                return;
            socket->read(4);
            const QString message = QString::fromUtf8(socket->read(length));
            socket->disconnectFromServer();
            emit messageReceived(message);
        });
    }
}

} // namespace RylSystem

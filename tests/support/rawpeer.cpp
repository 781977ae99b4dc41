// SPDX-License-Identifier: MIT
#include "rawpeer.h"

#include <QElapsedTimer>
#include <QtEndian>

using namespace voicesdk::protocol;

bool RawPeer::open(quint16 port, bool tls)
{
    if (!tls) {
        m_socket.connectToHost(QStringLiteral("127.0.0.1"), port);
        return m_socket.waitForConnected(5000);
    }
    m_socket.setPeerVerifyMode(QSslSocket::VerifyNone);
    m_socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    return m_socket.waitForEncrypted(5000);
}

bool RawPeer::hello(const QString& nickname)
{
    send(helloMessage(nickname));
    return !next(type::Synced).isEmpty();
}

void RawPeer::send(const QCborMap& message)
{
    write(encodeFrame(message));
}

void RawPeer::write(const QByteArray& bytes)
{
    m_socket.write(bytes);
    m_socket.flush();
}

QCborMap RawPeer::next(QLatin1String type, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        // What arrived while the test looked elsewhere is read first: waiting would not see it.
        if (m_socket.bytesAvailable() > 0)
            m_decoder.append(m_socket.readAll());
        QCborMap message;
        while (m_decoder.next(&message) == FrameDecoder::Message) {
            if (message.value(TypeKey).toString() == type)
                return message;
        }
        if (timer.elapsed() > timeoutMs || m_socket.state() != QAbstractSocket::ConnectedState)
            return {};
        if (m_socket.waitForReadyRead(50))
            m_decoder.append(m_socket.readAll());
    }
}

QList<QCborMap> RawPeer::until(QLatin1String type, int timeoutMs)
{
    QList<QCborMap> seen;
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        // What arrived while the test looked elsewhere is read first: waiting would not see it.
        if (m_socket.bytesAvailable() > 0)
            m_decoder.append(m_socket.readAll());
        QCborMap message;
        while (m_decoder.next(&message) == FrameDecoder::Message) {
            seen.append(message);
            if (message.value(TypeKey).toString() == type)
                return seen;
        }
        if (timer.elapsed() > timeoutMs || m_socket.state() != QAbstractSocket::ConnectedState)
            return {};
        if (m_socket.waitForReadyRead(50))
            m_decoder.append(m_socket.readAll());
    }
}

QByteArray RawPeer::rawAfterFrame()
{
    return m_decoder.takePending() + m_socket.readAll();
}

bool RawPeer::closedByServer(int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (m_socket.state() != QAbstractSocket::UnconnectedState && timer.elapsed() < timeoutMs) {
        m_socket.waitForReadyRead(50);
        m_decoder.append(m_socket.readAll());
    }
    return m_socket.state() == QAbstractSocket::UnconnectedState;
}

QCborMap helloMessage(const QString& nickname)
{
    return QCborMap{{TypeKey, type::Hello},
                    {field::Version, Version},
                    {field::Nickname, nickname},
                    {field::ServerPassword, QStringLiteral("mossel")}};
}

QByteArray frameHeader(quint32 length)
{
    QByteArray bytes(4, Qt::Uninitialized);
    qToBigEndian(length, bytes.data());
    return bytes;
}

QByteArray rawFrame(const QByteArray& body)
{
    return frameHeader(quint32(body.size())) + body;
}

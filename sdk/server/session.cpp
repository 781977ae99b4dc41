// SPDX-License-Identifier: MIT
#include "session.h"

#include "message.h"
#include "serverlog.h"
#include "tls.h"

#include <QDateTime>
#include <QHostAddress>
#include <QScopedValueRollback>
#include <QSslSocket>

namespace voiceserver {

using voicesdk::protocol::unsentBytes;

namespace {
constexpr int ReadChunk = 64 * 1024;
constexpr int GracefulCloseMs = 2000;
constexpr qint64 VoiceBacklogBytes = 64 * 1024; // about a second of voice from ten speakers
} // namespace

Session::Session(QTcpSocket* socket, qint64 maxOutputBytes, QObject* parent)
    : QObject(parent)
    , m_socket(socket)
    , m_maxOutputBytes(maxOutputBytes)
    , m_peer(QStringLiteral("%1:%2").arg(socket->peerAddress().toString()).arg(socket->peerPort()))
    , m_address(socket->peerAddress())
    , m_lastFrameAt(QDateTime::currentMSecsSinceEpoch())
{
    m_socket->setParent(this);
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    m_closeTimer.setSingleShot(true);
    connect(&m_closeTimer, &QTimer::timeout, m_socket, &QTcpSocket::abort);
    connect(m_socket, &QTcpSocket::readyRead, this, &Session::readFrames);
    connect(m_socket, &QTcpSocket::disconnected, this, [this] {
        close(QStringLiteral("connection closed by peer"), false);
        m_closeTimer.stop();
        emit finished();
    });
    if (auto* tls = qobject_cast<QSslSocket*>(m_socket)) {
        // A peer that does not speak TLS, a broken handshake or a record that does not
        // decrypt: the reason goes to the log before the socket closes.
        connect(tls, &QAbstractSocket::errorOccurred, this,
                [this, tls](QAbstractSocket::SocketError error) {
                    if (error == QAbstractSocket::SslHandshakeFailedError ||
                        error == QAbstractSocket::SslInternalError ||
                        error == QAbstractSocket::SslInvalidUserDataError)
                        close(QStringLiteral("TLS: %1").arg(tls->errorString()), false);
                });
    }
}

bool Session::isHandshaking() const
{
    const auto* tls = qobject_cast<const QSslSocket*>(m_socket);
    return tls && !tls->isEncrypted();
}

void Session::readFrames()
{
    using voicesdk::protocol::FrameDecoder;
    // QSslSocket::flush, which send() calls when the output is large, reads too and may emit
    // readyRead while a frame of this session is being handled, its bytes still in the
    // decoder. The loop below picks up what arrived; a nested call must not touch the decoder.
    if (m_reading)
        return;
    const QScopedValueRollback<bool> reading(m_reading, true);
    while (m_state != State::Closed && m_socket && m_socket->bytesAvailable() > 0) {
        if (m_decoder.readFrom(m_socket, ReadChunk) <= 0)
            return;
        FrameDecoder::Frame frame;
        QCborMap message;
        for (;;) {
            auto result = m_decoder.nextFrame(&frame);
            if (result == FrameDecoder::NeedMore)
                break;
            if (result == FrameDecoder::Message)
                m_lastFrameAt = QDateTime::currentMSecsSinceEpoch();
            if (result == FrameDecoder::Message && m_state == State::Active && m_fastPath &&
                m_fastPath(frame.data, frame.size)) {
                if (m_state == State::Closed)
                    return;
                continue;
            }
            if (result == FrameDecoder::Message)
                result = m_decoder.decode(frame, &message);
            if (result == FrameDecoder::Error) {
                // The peer learns why, like every other protocol error.
                protocolError(m_decoder.errorString());
                return;
            }
            emit frameReceived(message);
            if (m_state == State::Closed)
                return;
        }
    }
}

void Session::send(const QByteArray& frame)
{
    if (m_state == State::Closed || !m_socket)
        return;
    if (unsentBytes(m_socket) + frame.size() > m_maxOutputBytes) {
        // Qt writes to the kernel only between events; hand it what the kernel takes now, and
        // only then judge the peer.
        m_socket->flush();
        if (unsentBytes(m_socket) + frame.size() > m_maxOutputBytes) {
            close(QStringLiteral("output buffer overflow (peer not reading)"), false);
            return;
        }
    }
    m_socket->write(frame);
}

bool Session::takeRequestToken(int burst, int rate)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (m_tokens < 0)
        m_tokens = burst;
    else
        m_tokens = qMin<double>(burst, m_tokens + double(now - m_tokensAt) * rate / 1000.0);
    m_tokensAt = now;
    if (m_tokens < 1)
        return false;
    m_tokens -= 1;
    return true;
}

bool Session::sendVoice(const QByteArray& frame)
{
    if (m_state == State::Closed || !m_socket ||
        unsentBytes(m_socket) + frame.size() > qMin(VoiceBacklogBytes, m_maxOutputBytes / 2))
        return false;
    m_socket->write(frame);
    return true;
}

void Session::sendMessage(const QCborMap& message)
{
    using namespace voicesdk::protocol;
    const QByteArray frame = encodeFrame(message);
    if (frame.isEmpty()) {
        logLine(QStringLiteral("dropped an unencodable %1 message")
                    .arg(message.value(TypeKey).toString()));
        return;
    }
    send(frame);
}

void Session::reply(const QString& returnCode, unsigned int code, const QString& extra)
{
    using namespace voicesdk::protocol;
    if (code == ERROR_ok && returnCode.isEmpty())
        return;
    QCborMap message{{TypeKey, type::Error}, {field::Code, qint64(code)}};
    if (!returnCode.isEmpty())
        message.insert(field::ReturnCode, returnCode);
    if (!extra.isEmpty())
        message.insert(field::Extra, extra);
    sendMessage(message);
}

void Session::protocolError(const QString& reason)
{
    using namespace voicesdk::protocol;
    sendMessage(QCborMap{{TypeKey, type::Error},
                         {field::Code, qint64(ERROR_connection_protocol)},
                         {field::Extra, reason}});
    close(QStringLiteral("protocol error: %1").arg(reason), true);
}

QTcpSocket* Session::detachSocket(QByteArray* pending)
{
    if (m_state == State::Closed || !m_socket)
        return nullptr;
    m_state = State::Closed;
    m_closeTimer.stop();
    QTcpSocket* socket = m_socket;
    m_socket = nullptr;
    socket->disconnect(this);
    m_closeTimer.disconnect(socket);
    socket->setParent(nullptr);
    *pending = m_decoder.takePending();
    QMetaObject::invokeMethod(
        this, [this] { emit finished(); }, Qt::QueuedConnection);
    return socket;
}

void Session::close(const QString& reason, bool graceful)
{
    if (m_state == State::Closed)
        return;
    m_state = State::Closed;
    emit closed(reason);
    if (m_socket->state() == QAbstractSocket::UnconnectedState) {
        emit finished();
        return;
    }
    if (graceful) {
        m_closeTimer.start(GracefulCloseMs);
        m_socket->disconnectFromHost();
    } else {
        m_socket->abort();
    }
}

} // namespace voiceserver

// SPDX-License-Identifier: MIT
#include "session.h"

#include "message.h"
#include "serverlog.h"
#include "tls.h"

#include <QDateTime>
#include <QHostAddress>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace voiceserver {

namespace {
constexpr qint64 VoiceBacklogBytes = 64 * 1024; // about a second of voice from ten speakers

// The peer of an accepted descriptor, known before its thread takes it over.
QHostAddress peerOf(qintptr descriptor, quint16* port)
{
    sockaddr_storage address = {};
    socklen_t length = sizeof address;
    *port = 0;
    if (::getpeername(int(descriptor), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return {};
    QHostAddress host(reinterpret_cast<const sockaddr*>(&address));
    if (address.ss_family == AF_INET)
        *port = ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
    else if (address.ss_family == AF_INET6)
        *port = ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    return host;
}
} // namespace

Session::Session(IoPool* io, qintptr descriptor, bool tls, qint64 maxOutputBytes, QObject* parent)
    : QObject(parent)
    , m_io(io)
    , m_wire(std::make_shared<WireState>(maxOutputBytes))
    , m_tls(tls)
    , m_maxOutputBytes(maxOutputBytes)
    , m_lastFrameAt(QDateTime::currentMSecsSinceEpoch())
{
    quint16 port = 0;
    m_address = peerOf(descriptor, &port);
    m_peer = QStringLiteral("%1:%2").arg(m_address.toString()).arg(port);
    m_id = m_io->open(this, descriptor, m_wire);
}

Session::~Session()
{
    m_io->forget(m_id);
}

bool Session::isHandshaking() const
{
    return m_tls && !m_wire->encrypted;
}

void Session::post(WireCommand::Kind kind, QByteArray bytes, bool graceful)
{
    WireCommand command;
    command.kind = kind;
    command.bytes = std::move(bytes);
    command.graceful = graceful;
    m_io->post(m_id, std::move(command));
}

void Session::setActive()
{
    m_state = State::Active;
    post(WireCommand::Activate);
}

void Session::handle(const WireEvent& event)
{
    switch (event.kind) {
    case WireEvent::Frame:
        frame(event.bytes);
        break;
    case WireEvent::Malformed:
        // The peer learns why, like every other protocol error.
        if (m_state != State::Closed)
            protocolError(event.reason);
        break;
    case WireEvent::Failed:
        close(event.reason, false);
        break;
    case WireEvent::Gone:
        close(event.reason.isEmpty()
                  ? QStringLiteral("connection closed by peer")
                  : QStringLiteral("connection closed by peer (%1)").arg(event.reason),
              false);
        finish();
        break;
    }
}

void Session::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    emit finished();
}

qint64 Session::lastFrameAt() const
{
    return qMax(m_lastFrameAt, m_wire->lastFrameAt.load(std::memory_order_relaxed));
}

bool Session::hasFramesWaiting() const
{
    return m_wire->framesRead.load(std::memory_order_relaxed) > m_framesTaken;
}

void Session::frame(const QByteArray& body)
{
    using voicesdk::protocol::FrameDecoder;
    ++m_framesTaken;
    if (m_state == State::Closed)
        return;
    m_lastFrameAt = QDateTime::currentMSecsSinceEpoch();
    if (m_state == State::Active && m_fastPath && m_fastPath(body.constData(), body.size()))
        return;
    QCborMap message;
    if (m_decoder.decode(FrameDecoder::Frame{body.constData(), body.size()}, &message) ==
        FrameDecoder::Error)
        return protocolError(m_decoder.errorString());
    emit frameReceived(message);
}

void Session::send(const QByteArray& frame)
{
    queue(frame, WireCommand::Data);
}

void Session::notify(const QByteArray& frame)
{
    queue(frame, WireCommand::Notice);
}

void Session::queue(const QByteArray& frame, WireCommand::Kind kind)
{
    if (m_state == State::Closed)
        return;
    // The thread judges the peer by what the kernel does not take; this bound only keeps what
    // is on its way there from growing without end.
    if (m_wire->backlog() + frame.size() > 4 * m_maxOutputBytes) {
        close(QStringLiteral("output buffer overflow (peer not reading)"), false);
        return;
    }
    m_wire->queued += frame.size();
    post(kind, frame);
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
    if (m_state == State::Closed ||
        m_wire->backlog() + frame.size() > qMin(VoiceBacklogBytes, m_maxOutputBytes / 2))
        return false;
    m_wire->queued += frame.size();
    post(WireCommand::Voice, frame);
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

std::unique_ptr<voicesdk::protocol::TlsStream> Session::detachStream(QByteArray* pending)
{
    if (m_state == State::Closed)
        return nullptr;
    std::unique_ptr<voicesdk::protocol::TlsStream> stream = m_io->detach(m_id, pending);
    if (!stream)
        return nullptr;
    m_state = State::Closed;
    QMetaObject::invokeMethod(
        this, [this] { finish(); }, Qt::QueuedConnection);
    return stream;
}

void Session::close(const QString& reason, bool graceful)
{
    if (m_state == State::Closed)
        return;
    m_state = State::Closed;
    emit closed(reason);
    post(WireCommand::Close, {}, graceful);
}

} // namespace voiceserver

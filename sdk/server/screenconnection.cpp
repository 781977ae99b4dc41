// SPDX-License-Identifier: MIT
#include "screenconnection.h"

#include "tls.h"

#include <QSocketNotifier>

#include <linux/sockios.h>
#include <sys/ioctl.h>

namespace voiceserver {

using namespace voicesdk::protocol;
using voicesdk::protocol::screen::PacketReader;

namespace {
constexpr int ReadChunk = 64 * 1024;
// What one wake-up reads before chat and the other connections have their turn.
constexpr int BytesPerWakeUp = 1024 * 1024;
// Output waiting with nothing taken for this long: a peer that stopped reading.
constexpr int StallMs = 20000;
} // namespace

ScreenConnection::ScreenConnection(std::unique_ptr<TlsStream> stream, const QByteArray& pending,
                                   QObject* parent)
    : QObject(parent), m_stream(std::move(stream))
{
    m_buffer.resize(ReadChunk);
    m_stall.setSingleShot(true);
    m_stall.setInterval(StallMs);
    connect(&m_stall, &QTimer::timeout, this,
            [this] { abort(QStringLiteral("the peer took nothing for %1 ms").arg(StallMs)); });
    m_readable = new QSocketNotifier(m_stream->descriptor(), QSocketNotifier::Read, this);
    m_writable = new QSocketNotifier(m_stream->descriptor(), QSocketNotifier::Write, this);
    m_writable->setEnabled(false);
    connect(m_readable, &QSocketNotifier::activated, this, &ScreenConnection::onReadable);
    connect(m_writable, &QSocketNotifier::activated, this, &ScreenConnection::onWritable);
    if (!pending.isEmpty())
        m_reader.append(pending.constData(), pending.size());
    // The relay sets the handler first; bytes that came with the opening frame, or wait in
    // OpenSSL, are read then.
    QMetaObject::invokeMethod(this, &ScreenConnection::onReadable, Qt::QueuedConnection);
}

ScreenConnection::~ScreenConnection()
{
    // The notifiers go before the descriptor they watch.
    delete m_readable;
    delete m_writable;
}

void ScreenConnection::send(const QByteArray& packet)
{
    if (m_ended || packet.isEmpty())
        return;
    m_queue.push_back(packet);
    m_queued += packet.size();
    pump();
}

qint64 ScreenConnection::backlog() const
{
    if (!m_stream)
        return 0;
    int unsent = 0;
    if (::ioctl(m_stream->descriptor(), SIOCOUTQNSD, &unsent) != 0)
        unsent = 0;
    return m_queued - m_sent + m_stream->pendingBytes() + unsent;
}

void ScreenConnection::onReadable()
{
    if (m_ended)
        return;
    m_reader.setMaxLength(m_maxPacket);
    qint64 read = 0;
    for (;;) {
        PacketReader::Body body;
        PacketReader::Result result;
        while ((result = m_reader.next(&body)) == PacketReader::Packet) {
            if (m_handler)
                m_handler(body);
            if (m_ended)
                return;
        }
        if (result == PacketReader::Error)
            return abort(m_reader.errorString());
        if (read >= BytesPerWakeUp) {
            if (m_stream->hasBuffered())
                QMetaObject::invokeMethod(this, &ScreenConnection::onReadable,
                                          Qt::QueuedConnection);
            break;
        }
        const qint64 got = m_stream->read(m_buffer.data(), m_buffer.size());
        if (got < 0)
            return end(m_stream->state() == TlsStream::State::Failed
                           ? m_stream->errorString()
                           : QStringLiteral("connection closed by peer"));
        if (got == 0)
            break;
        read += got;
        m_reader.append(m_buffer.constData(), int(got));
    }
    watch();
}

void ScreenConnection::onWritable()
{
    if (m_stream && m_stream->wantsWrite() && m_queue.empty() && m_stream->pendingBytes() == 0)
        onReadable(); // OpenSSL waited for room to go on reading
    else
        pump();
}

void ScreenConnection::pump()
{
    if (m_ended || !m_stream)
        return;
    bool progress = m_stream->pendingBytes() > 0 && m_stream->flush();
    while (!m_queue.empty() && m_stream->pendingBytes() == 0) {
        const QByteArray& front = m_queue.front();
        const qint64 taken = m_stream->write(front.constData() + m_sent, front.size() - m_sent);
        if (taken < 0)
            return end(m_stream->errorString().isEmpty() ? QStringLiteral("connection closed")
                                                         : m_stream->errorString());
        if (taken == 0)
            break;
        progress = true;
        m_sent += int(taken);
        if (m_sent == front.size()) {
            m_queued -= front.size();
            m_sent = 0;
            m_queue.pop_front();
        }
    }
    if (m_stream->state() != TlsStream::State::Open)
        return end(QStringLiteral("connection closed"));
    const bool waiting = !m_queue.empty() || m_stream->pendingBytes() > 0;
    if (!waiting)
        m_stall.stop();
    else if (progress || !m_stall.isActive())
        m_stall.start();
    watch();
}

void ScreenConnection::watch()
{
    if (!m_readable)
        return;
    const bool waiting = !m_queue.empty() || m_stream->pendingBytes() > 0;
    m_writable->setEnabled(waiting || m_stream->wantsWrite());
    // While OpenSSL waits for room, a read could not go on either.
    m_readable->setEnabled(!m_stream->wantsWrite());
}

void ScreenConnection::abort(const QString& reason)
{
    end(reason);
}

void ScreenConnection::end(const QString& reason)
{
    if (m_ended)
        return;
    m_ended = true;
    m_stall.stop();
    delete m_readable;
    delete m_writable;
    m_readable = m_writable = nullptr;
    m_stream.reset();
    m_queue.clear();
    m_queued = m_sent = 0;
    emit finished(reason);
    deleteLater();
}

} // namespace voiceserver

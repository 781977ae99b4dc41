// SPDX-License-Identifier: MIT
#include "transfer.h"

#include "frame.h"
#include "protocol.h"
#include "tls.h"

#include <QRandomGenerator>
#include <QSocketNotifier>

namespace voiceserver {

using namespace voicesdk::protocol;

namespace {
constexpr int ChunkSize = 256 * 1024;
// What an upload may read, or a download write, in one wake-up before chat and the other
// connections have their turn.
constexpr qint64 BytesPerWakeUp = 1024 * 1024;
constexpr int GracefulCloseMs = 5000;
} // namespace

TransferConnection::TransferConnection(std::unique_ptr<TlsStream> stream, const QByteArray& pending,
                                       TransferTicket ticket, const QString& incomingDirectory,
                                       int idleTimeoutMs, QObject* parent)
    : QObject(parent), m_stream(std::move(stream)), m_ticket(std::move(ticket))
{
    m_idle.setSingleShot(true);
    m_idle.setInterval(idleTimeoutMs);
    connect(&m_idle, &QTimer::timeout, this,
            [this] { abort(QStringLiteral("no progress for %1 ms").arg(m_idle.interval())); });
    m_closeTimer.setSingleShot(true);
    connect(&m_closeTimer, &QTimer::timeout, this, &TransferConnection::dispose);
    if (m_ticket.upload) {
        m_stream->setBulk();
        const quint64 random = QRandomGenerator::system()->generate64();
        m_file.setFileName(incomingDirectory + QStringLiteral("/upload-") +
                           QString::number(random, 16));
    }
    m_buffer.resize(ChunkSize);
    // Runs once the server has wired the signals up.
    QMetaObject::invokeMethod(
        this, [this, pending] { start(pending); }, Qt::QueuedConnection);
}

TransferConnection::~TransferConnection()
{
    // The notifiers go before the descriptor they watch.
    delete m_readable;
    delete m_writable;
    if (m_file.isOpen())
        m_file.close();
    if (m_ticket.upload && !m_file.fileName().isEmpty())
        QFile::remove(m_file.fileName()); // an upload not handed over
}

QString TransferConnection::takeReceivedFile()
{
    const QString name = m_file.fileName();
    m_file.setFileName(QString());
    m_committing = true;
    return name;
}

void TransferConnection::start(const QByteArray& pending)
{
    if (m_ended)
        return;
    m_started = true;
    m_idle.start();
    m_readable = new QSocketNotifier(m_stream->descriptor(), QSocketNotifier::Read, this);
    m_writable = new QSocketNotifier(m_stream->descriptor(), QSocketNotifier::Write, this);
    m_writable->setEnabled(false);
    connect(m_readable, &QSocketNotifier::activated, this, &TransferConnection::onReadable);
    connect(m_writable, &QSocketNotifier::activated, this, &TransferConnection::onWritable);
    if (m_ticket.upload) {
        if (!m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
            finishUpload(ERROR_file_io_error, QStringLiteral("cannot store the upload"));
            m_file.setFileName(QString());
            return;
        }
        if (!consume(pending.constData(), pending.size()))
            return;
        // Bytes may wait in the socket, or in OpenSSL, since the connection's thread let go.
        readUpload();
    } else {
        if (!pending.isEmpty())
            return abort(QStringLiteral("unexpected bytes on a download"));
        m_frame =
            encodeFrame(QCborMap{{TypeKey, type::TransferData}, {field::Size, m_ticket.size}});
        pump();
    }
}

void TransferConnection::watch()
{
    if (!m_readable || !m_stream)
        return;
    const bool unsent = m_frameSent < m_frame.size() || m_chunkStart < m_chunkEnd ||
                        (!m_ticket.upload && !m_ended && m_done < m_ticket.size) ||
                        m_stream->pendingBytes() > 0;
    m_writable->setEnabled(m_stream->wantsWrite() || (unsent && !m_lingering));
    // Once ended, only the peer's end is awaited, after the goodbye.
    m_readable->setEnabled(m_lingering || (!m_ended && !m_stream->wantsWrite()));
}

void TransferConnection::onReadable()
{
    if (m_lingering) {
        // Said goodbye: whatever comes now is dropped until the peer's end.
        for (;;) {
            const qint64 got = m_stream->read(m_buffer.data(), m_buffer.size());
            if (got < 0)
                return dispose();
            if (got == 0)
                return watch();
        }
    }
    if (m_ticket.upload) {
        readUpload();
        return;
    }
    // A client must not send anything on a download; its end is what is expected.
    char byte;
    const qint64 got = m_stream->read(&byte, 1);
    if (got > 0)
        return abort(QStringLiteral("unexpected bytes on a download"));
    if (got < 0)
        return onPeerGone();
    watch();
}

void TransferConnection::onWritable()
{
    if (m_ticket.upload && !m_closing && m_stream->wantsWrite())
        readUpload(); // OpenSSL waited to answer while reading
    else
        pump();
}

bool TransferConnection::pump()
{
    if (!m_stream)
        return false;
    if (m_lingering) {
        m_stream->flush(); // the goodbye may still wait for room
        watch();
        return true;
    }
    bool progress = m_stream->pendingBytes() > 0 && m_stream->flush();
    while (m_frameSent < m_frame.size()) {
        const qint64 taken =
            m_stream->write(m_frame.constData() + m_frameSent, m_frame.size() - m_frameSent);
        if (taken <= 0)
            break;
        m_frameSent += int(taken);
        progress = true;
    }
    if (m_frameSent == m_frame.size()) {
        m_frame.clear();
        m_frameSent = 0;
        // Downloads: the file, one chunk at a time, straight from the buffer it was read into.
        // A peer that reads as fast as this writes would otherwise keep the loop going.
        qint64 written = 0;
        while (!m_ticket.upload && !m_ended && m_stream->state() == TlsStream::State::Open &&
               written < BytesPerWakeUp) {
            if (m_chunkStart == m_chunkEnd) {
                if (m_done == m_ticket.size)
                    break;
                const qint64 want = qMin<qint64>(ChunkSize, m_ticket.size - m_done);
                const qint64 got = m_ticket.source->read(m_buffer.data(), want);
                if (got <= 0) {
                    abort(QStringLiteral("cannot read the file"));
                    return false;
                }
                m_chunkStart = 0;
                m_chunkEnd = int(got);
                m_done += got;
            }
            const qint64 taken =
                m_stream->write(m_buffer.constData() + m_chunkStart, m_chunkEnd - m_chunkStart);
            if (taken <= 0)
                break;
            m_chunkStart += int(taken);
            written += taken;
            progress = true;
        }
    }
    if (m_stream->state() != TlsStream::State::Open) {
        if (!m_ended)
            onPeerGone();
        else
            dispose();
        return false;
    }
    if (progress && !m_ended)
        m_idle.start();
    const bool sent =
        m_frame.isEmpty() && m_chunkStart == m_chunkEnd && m_stream->pendingBytes() == 0;
    if (sent && !m_ticket.upload && !m_ended && m_done == m_ticket.size)
        end(QStringLiteral("done")); // the client closes once it has every byte
    if (sent && m_closing)
        closeWhenSent();
    watch();
    return true;
}

bool TransferConnection::consume(const char* data, qint64 size)
{
    if (size == 0 && m_done < m_ticket.size)
        return true;
    if (m_done + size > m_ticket.size) {
        finishUpload(ERROR_connection_protocol, QStringLiteral("more bytes than announced"));
        return false;
    }
    if (size > 0 && m_file.write(data, size) != size) {
        finishUpload(ERROR_file_io_error, QStringLiteral("cannot write the upload"));
        return false;
    }
    m_done += size;
    m_idle.start();
    if (m_done == m_ticket.size && !m_received) {
        m_received = true;
        m_idle.stop(); // the server answers now, however long the file system takes
        m_file.close();
        emit uploadReceived();
        return false;
    }
    return true;
}

void TransferConnection::onPeerGone()
{
    if (m_committing)
        end(QStringLiteral("the client closed the connection"));
    else
        end(m_received ||
                    (!m_ticket.upload && m_done == m_ticket.size && m_chunkStart == m_chunkEnd)
                ? QStringLiteral("done")
                : QStringLiteral("connection closed by peer"));
    dispose();
}

void TransferConnection::readUpload()
{
    if (!m_started || m_ended)
        return;
    qint64 read = 0;
    qint64 got = 0;
    while (!m_ended && got >= 0) {
        if (read >= BytesPerWakeUp) {
            // Chat has its turn; what OpenSSL holds is no readiness of the socket.
            if (m_stream->hasBuffered())
                QMetaObject::invokeMethod(
                    this, [this] { readUpload(); }, Qt::QueuedConnection);
            break;
        }
        // A record at a time comes out of TLS: the buffer is filled before the file is
        // written, so the disk sees few large writes.
        int filled = 0;
        while (filled < m_buffer.size() &&
               (got = m_stream->read(m_buffer.data() + filled, m_buffer.size() - filled)) > 0)
            filled += int(got);
        read += filled;
        // Anything after the last announced byte is a fault.
        if (filled > 0 && m_received)
            return abort(QStringLiteral("more bytes than announced"));
        if (filled > 0 && !consume(m_buffer.constData(), filled))
            return watch();
        if (got == 0)
            break;
    }
    if (got < 0 && !m_ended) {
        if (m_stream->state() == TlsStream::State::Failed)
            return abort(m_stream->errorString());
        return onPeerGone();
    }
    watch();
}

void TransferConnection::finishUpload(unsigned int code, const QString& message)
{
    if (m_committing) {
        m_committing = false;
        if (m_ended) {
            emit finished(
                QStringLiteral("%1, not told: %2")
                    .arg(code == ERROR_ok ? QStringLiteral("done") : message, m_endedEarly));
            if (!m_stream)
                deleteLater(); // disposed meanwhile
            return;
        }
    }
    if (m_ended)
        return;
    QCborMap done{
        {TypeKey, type::TransferDone}, {field::Code, qint64(code)}, {field::Size, m_done}};
    if (!message.isEmpty())
        done.insert(field::Message, message);
    m_received = true; // nothing more is read
    m_frame = encodeFrame(done);
    m_frameSent = 0;
    end(code == ERROR_ok ? QStringLiteral("done") : message);
    if (m_readable)
        pump();
}

void TransferConnection::abort(const QString& reason)
{
    end(reason);
    dispose();
}

void TransferConnection::end(const QString& outcome)
{
    if (m_ended)
        return;
    m_ended = true;
    m_idle.stop();
    if (m_file.isOpen())
        m_file.close();
    // A file being put in place: the transfer ends with that, in finishUpload().
    if (m_committing)
        m_endedEarly = outcome;
    else
        emit finished(outcome);
    // The object stays until its last bytes are out and the peer has closed, bounded; the
    // server has forgotten it.
    m_closing = true;
    m_closeTimer.start(GracefulCloseMs);
}

void TransferConnection::closeWhenSent()
{
    if (m_lingering || !m_stream)
        return;
    m_lingering = true;
    m_stream->shutdownOutput();
    watch();
}

void TransferConnection::dispose()
{
    if (!m_stream)
        return;
    end(QStringLiteral("connection closed"));
    m_idle.stop();
    m_closeTimer.stop();
    // The notifiers go before the descriptor they watch.
    delete m_readable;
    delete m_writable;
    m_readable = m_writable = nullptr;
    m_stream.reset();
    if (!m_committing)
        deleteLater(); // else once the answer has come
}

} // namespace voiceserver

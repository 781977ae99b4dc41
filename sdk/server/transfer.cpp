// SPDX-License-Identifier: MIT
#include "transfer.h"

#include "frame.h"
#include "protocol.h"
#include "tls.h"

#include <QRandomGenerator>
#include <QScopedValueRollback>
#include <QSslSocket>

namespace voiceserver {

using namespace voicesdk::protocol;

namespace {
constexpr int ChunkSize = 256 * 1024;
// Unsent bytes queued on a download socket before the next chunk is read from disk.
constexpr qint64 HighWater = 1024 * 1024;
// Bytes Qt may hold for an upload socket; the kernel's window does the rest.
constexpr qint64 ReadBufferSize = 1024 * 1024;
constexpr int GracefulCloseMs = 5000;
} // namespace

TransferConnection::TransferConnection(QTcpSocket* socket, const QByteArray& pending,
                                       TransferTicket ticket, const QString& incomingDirectory,
                                       int idleTimeoutMs, QObject* parent)
    : QObject(parent), m_socket(socket), m_ticket(std::move(ticket))
{
    m_socket->setParent(this);
    m_socket->setReadBufferSize(ReadBufferSize);
    m_idle.setSingleShot(true);
    m_idle.setInterval(idleTimeoutMs);
    connect(&m_idle, &QTimer::timeout, this,
            [this] { abort(QStringLiteral("no progress for %1 ms").arg(m_idle.interval())); });
    connect(m_socket, &QTcpSocket::disconnected, this, &TransferConnection::onPeerGone);
    if (m_ticket.upload) {
        const quint64 random = QRandomGenerator::system()->generate64();
        m_file.setFileName(incomingDirectory + QStringLiteral("/upload-") +
                           QString::number(random, 16));
        connect(m_socket, &QTcpSocket::readyRead, this, &TransferConnection::onReadyRead);
    } else {
        connect(m_socket, &QTcpSocket::bytesWritten, this, &TransferConnection::pumpDownload);
        // Over TLS, bytesWritten tells that Qt encrypted the bytes; this, that they left.
        if (auto* tls = qobject_cast<QSslSocket*>(m_socket))
            connect(tls, &QSslSocket::encryptedBytesWritten, this,
                    &TransferConnection::pumpDownload);
        connect(m_socket, &QTcpSocket::readyRead, this,
                [this] { abort(QStringLiteral("unexpected bytes on a download")); });
    }
    if (qobject_cast<QSslSocket*>(m_socket)) {
        connect(m_socket, &QAbstractSocket::errorOccurred, this,
                [this](QAbstractSocket::SocketError error) {
                    if (error == QAbstractSocket::SslInternalError ||
                        error == QAbstractSocket::SslInvalidUserDataError)
                        abort(QStringLiteral("TLS: %1").arg(m_socket->errorString()));
                });
    }
    m_buffer.resize(ChunkSize);
    // Runs once the server has wired the signals up.
    QMetaObject::invokeMethod(
        this, [this, pending] { start(pending); }, Qt::QueuedConnection);
}

TransferConnection::~TransferConnection()
{
    if (m_file.isOpen())
        m_file.close();
    if (m_ticket.upload && !m_file.fileName().isEmpty())
        QFile::remove(m_file.fileName()); // an upload not handed over
}

QString TransferConnection::takeReceivedFile()
{
    const QString name = m_file.fileName();
    m_file.setFileName(QString());
    return name;
}

void TransferConnection::start(const QByteArray& pending)
{
    if (m_ended)
        return;
    m_started = true;
    m_idle.start();
    if (m_ticket.upload) {
        if (!m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
            finishUpload(ERROR_file_io_error, QStringLiteral("cannot store the upload"));
            m_file.setFileName(QString());
            return;
        }
        if (!consume(pending.constData(), pending.size()))
            return;
        onReadyRead();
        // The peer may have closed before the socket came here: its bytes are read, and the
        // signal that it closed went to the socket's first owner.
        if (!m_ended && m_socket->state() == QAbstractSocket::UnconnectedState)
            onPeerGone();
    } else {
        if (!pending.isEmpty())
            return abort(QStringLiteral("unexpected bytes on a download"));
        m_socket->write(
            encodeFrame(QCborMap{{TypeKey, type::TransferData}, {field::Size, m_ticket.size}}));
        pumpDownload();
    }
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
    // A flush in onReadyRead can see the close while bytes still wait: those are read first.
    if (m_reading) {
        m_goneWhileReading = true;
        return;
    }
    end(m_received || (!m_ticket.upload && m_done == m_ticket.size)
            ? QStringLiteral("done")
            : QStringLiteral("connection closed by peer"));
}

void TransferConnection::onReadyRead()
{
    // Bytes that come before the queued start wait in the socket (bounded), and start()
    // reads them. A flush in the loop below signals what it decrypts; the loop reads it.
    if (!m_started || m_reading)
        return;
    {
        const QScopedValueRollback<bool> reading(m_reading, true);
        readAvailable();
    }
    if (m_goneWhileReading) {
        m_goneWhileReading = false;
        onPeerGone();
    }
}

void TransferConnection::readAvailable()
{
    do {
        while (!m_ended && !m_received && m_socket->bytesAvailable() > 0) {
            const qint64 got = m_socket->read(m_buffer.data(), m_buffer.size());
            if (got <= 0)
                break;
            if (!consume(m_buffer.constData(), got))
                return;
        }
    } while (!m_ended && !m_received && decryptPending(m_socket));
    // Anything after the last announced byte is a fault.
    if (m_received && !m_ended && m_socket->bytesAvailable() > 0)
        abort(QStringLiteral("more bytes than announced"));
}

void TransferConnection::pumpDownload()
{
    if (m_ended || !m_started)
        return;
    m_idle.start();
    while (m_done < m_ticket.size && unsentBytes(m_socket) < HighWater) {
        const qint64 want = qMin<qint64>(ChunkSize, m_ticket.size - m_done);
        const qint64 got = m_ticket.source->read(m_buffer.data(), want);
        if (got <= 0)
            return abort(QStringLiteral("cannot read the file"));
        m_socket->write(m_buffer.constData(), got);
        m_done += got;
    }
    if (m_done == m_ticket.size && unsentBytes(m_socket) == 0)
        end(QStringLiteral("done")); // the client closes once it has every byte
}

void TransferConnection::finishUpload(unsigned int code, const QString& message)
{
    if (m_ended)
        return;
    QCborMap done{
        {TypeKey, type::TransferDone}, {field::Code, qint64(code)}, {field::Size, m_done}};
    if (!message.isEmpty())
        done.insert(field::Message, message);
    m_received = true; // nothing more is read
    m_socket->write(encodeFrame(done));
    end(code == ERROR_ok ? QStringLiteral("done") : message);
    m_socket->disconnectFromHost(); // after what is queued is out
}

void TransferConnection::abort(const QString& reason)
{
    end(reason);
    m_socket->abort();
}

void TransferConnection::end(const QString& outcome)
{
    if (m_ended)
        return;
    m_ended = true;
    m_idle.stop();
    if (m_file.isOpen())
        m_file.close();
    emit finished(outcome);
    // The object stays until its last bytes are out, bounded; the server has forgotten it.
    if (m_socket->state() == QAbstractSocket::UnconnectedState) {
        deleteLater();
        return;
    }
    connect(m_socket, &QTcpSocket::disconnected, this, &QObject::deleteLater);
    QTimer::singleShot(GracefulCloseMs, this, [this] {
        m_socket->abort();
        deleteLater();
    });
}

} // namespace voiceserver

// SPDX-License-Identifier: MIT
#include "transfer.h"

#include "core.h"
#include "message.h"
#include "protocol.h"
#include "tls.h"

#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace voicesdk {

using namespace protocol;

namespace {
constexpr int ChunkSize = 256 * 1024;
// What an upload may send, or a download read, in one wake-up before the control connection
// has its turn.
constexpr qint64 BytesPerWakeUp = 1024 * 1024;
constexpr int IdleTimeoutMs = 60000; // no progress for this long ends a transfer
} // namespace

Transfer::Transfer(const TransferRequest& request, QObject* parent)
    : QObject(parent), m_request(request)
{
    m_idle.setSingleShot(true);
    m_idle.setInterval(IdleTimeoutMs);
    connect(&m_idle, &QTimer::timeout, this, [this] {
        fail(ERROR_file_transfer_aborted, QStringLiteral("the transfer made no progress"));
    });
    // The next turn of a transfer that stopped at its budget. A timer, not a queued call: the
    // event loop looks at the sockets before it runs timers, while queued calls that queue the
    // next one ran back to back and left the control connection unread for 20-35 ms at a time.
    m_nextTurn.setSingleShot(true);
    m_nextTurn.setInterval(0);
    connect(&m_nextTurn, &QTimer::timeout, this, [this] {
        if (m_request.upload)
            pumpUpload();
        else
            onReadyRead();
    });
}

Transfer::~Transfer()
{
    dropTarget();
}

void Transfer::dropTarget()
{
    if (m_committed || m_target.fileName().isEmpty())
        return;
    m_target.close();
    QFile::remove(m_target.fileName());
    m_target.setFileName(QString());
}

unsigned int Transfer::prepare(QString* message)
{
    if (m_request.upload) {
        m_source.setFileName(m_request.localPath);
        if (!m_source.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
            *message = QStringLiteral("cannot read %1: %2")
                           .arg(m_request.localPath, m_source.errorString());
            return ERROR_file_io_error;
        }
        m_size = m_source.size();
        emit progressed(0, m_size);
    } else {
        if (!m_request.overwrite && QFile::exists(m_request.localPath)) {
            *message = QStringLiteral("%1 exists").arg(m_request.localPath);
            return ERROR_file_already_exists;
        }
        // A name of its own, independent of the final one (which may be 255 bytes long).
        const QString directory = QFileInfo(m_request.localPath).absolutePath();
        m_target.setFileName(directory + QStringLiteral("/.download-") +
                             QString::number(QRandomGenerator::system()->generate64(), 16) +
                             QStringLiteral(".part"));
        if (!m_target.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
            *message =
                QStringLiteral("cannot write in %1: %2").arg(directory, m_target.errorString());
            m_target.setFileName(QString());
            return ERROR_file_io_error;
        }
    }
    m_idle.start();
    return ERROR_ok;
}

QCborMap Transfer::requestMessage() const
{
    QCborMap message{{TypeKey, m_request.upload ? type::FtUpload : type::FtDownload},
                     {field::TransferId, m_request.id},
                     {field::ChannelId, qint64(m_request.channel)},
                     {field::Path, m_request.remotePath}};
    if (!m_request.password.isEmpty())
        message.insert(field::ChannelPassword, m_request.password);
    if (m_request.upload) {
        message.insert(field::Size, m_size);
        message.insert(field::Overwrite, m_request.overwrite);
        message.insert(field::Resume, false);
    }
    if (!m_request.returnCode.isEmpty())
        message.insert(field::ReturnCode, m_request.returnCode);
    return message;
}

void Transfer::setServer(bool plain, const QSslCertificate& certificate, TlsSession session)
{
    m_plain = plain;
    m_certificate = certificate;
    m_session = std::move(session);
}

void Transfer::begin(const QString& host, quint16 port, const QByteArray& key, qint64 size)
{
    if (m_ended || m_socket)
        return;
    if (m_request.upload ? size != m_size : size < 0)
        return fail(ERROR_connection_protocol, QStringLiteral("the server announced another size"));
    m_key = key;
    m_size = size;
    if (!m_request.upload)
        emit progressed(0, m_size);
    m_buffer.resize(ChunkSize);
    m_socket = new TlsSocket(this);
    if (!m_request.upload)
        m_socket->setBulk();
    connect(m_socket, &TlsSocket::connected, this, &Transfer::onConnected);
    connect(m_socket, &TlsSocket::readyRead, this, &Transfer::onReadyRead);
    connect(m_socket, &TlsSocket::ended, this, &Transfer::onSocketGone);
    m_idle.start();
    m_socket->connectToHost(host, port, m_plain, m_session);
}

void Transfer::onConnected()
{
    if (!m_plain) {
        // The control connection has settled whom to trust: the same server, the same key
        // (a resumed session shows the certificate it was made with; a renewed certificate
        // keeps the key).
        const QList<QSslCertificate> chain = m_socket->peerCertificateChain();
        const QSslCertificate offered = chain.value(0);
        const QString key = protocol::publicKeyFingerprint(offered);
        if (offered.isNull() || key.isEmpty() ||
            key != protocol::publicKeyFingerprint(m_certificate)) {
            const QString unverified = m_socket->verificationError();
            if (!unverified.isEmpty())
                return fail(
                    ERROR_connection_certificate_changed,
                    QStringLiteral("the transfer connection shows another key (%1) than "
                                   "the control connection (%2): %3")
                        .arg(key, protocol::publicKeyFingerprint(m_certificate), unverified));
        }
    }
    m_socket->write(encodeFrame(QCborMap{{TypeKey, type::Transfer}, {field::Key, m_key}}));
    if (m_request.upload) {
        // The file follows the key, straight from the buffer it is read into.
        connect(m_socket, &TlsSocket::sendable, this, &Transfer::pumpUpload);
        m_socket->flush();
        pumpUpload();
    }
}

void Transfer::pumpUpload()
{
    if (m_ended)
        return;
    qint64 sent = 0;
    for (;;) {
        if (sent >= BytesPerWakeUp) {
            // A peer that reads as fast as this sends would keep the loop going, and the
            // texts of the control connection behind the file, until the file is out.
            m_nextTurn.start();
            break;
        }
        if (m_chunkStart == m_chunkEnd) {
            if (m_done == m_size)
                break;
            const qint64 want = qMin<qint64>(ChunkSize, m_size - m_done);
            const qint64 got = m_source.read(m_buffer.data(), want);
            if (got <= 0)
                return fail(
                    ERROR_file_io_error,
                    QStringLiteral("%1 became shorter while it was sent").arg(m_request.localPath));
            m_chunkStart = 0;
            m_chunkEnd = int(got);
            m_done += got;
        }
        const qint64 taken =
            m_socket->send(m_buffer.constData() + m_chunkStart, m_chunkEnd - m_chunkStart);
        if (taken <= 0)
            break; // sendable() comes when the socket takes more, ended() when it is gone
        m_chunkStart += int(taken);
        sent += taken;
    }
    if (sent > 0)
        m_idle.start();
    reportProgress();
}

void Transfer::reportProgress()
{
    // An upload has moved what left this side; what still waits here has not.
    const qint64 done = m_request.upload ? m_done - (m_chunkEnd - m_chunkStart) : m_done;
    if (done != m_reported) {
        m_reported = done;
        emit progressed(done, m_size);
    }
}

bool Transfer::writeDownload(const char* data, qint64 size)
{
    if (size <= 0)
        return true;
    if (m_done + size > m_size) {
        fail(ERROR_connection_protocol,
             QStringLiteral("the server sent more bytes than announced"));
        return false;
    }
    if (m_target.write(data, size) != size) {
        fail(
            ERROR_file_io_error,
            QStringLiteral("cannot write %1: %2").arg(m_request.localPath, m_target.errorString()));
        return false;
    }
    m_done += size;
    m_idle.start();
    return true;
}

void Transfer::onReadyRead()
{
    if (m_ended)
        return;
    qint64 read = 0;
    qint64 got = 0;
    while (!m_ended && got >= 0) {
        if (read >= BytesPerWakeUp) {
            // The control connection has its turn; what OpenSSL holds is no readiness.
            if (m_socket->hasBuffered())
                m_nextTurn.start();
            break;
        }
        // A record at a time comes out of TLS: the buffer is filled before the file is
        // written, so the disk sees few large writes.
        int filled = 0;
        while (filled < m_buffer.size() &&
               (got = m_socket->read(m_buffer.data() + filled, m_buffer.size() - filled)) > 0)
            filled += int(got);
        read += filled;
        if (filled > 0 && !(m_headerSeen ? writeDownload(m_buffer.constData(), filled)
                                         : readHeader(m_buffer.constData(), filled)))
            return;
        if (got == 0)
            break; // ended() follows an end
    }
    if (m_ended)
        return;
    reportProgress();
    if (!m_request.upload && m_headerSeen && m_done == m_size)
        complete();
}

bool Transfer::readHeader(const char* data, qint64 size)
{
    // The one frame the server sends first: transferData (download) or transferDone (upload).
    m_decoder.append(data, int(size));
    QCborMap message;
    const auto result = m_decoder.next(&message);
    if (result == FrameDecoder::NeedMore)
        return true;
    if (result == FrameDecoder::Error) {
        fail(ERROR_connection_protocol, m_decoder.errorString());
        return false;
    }
    const QString type = message.value(TypeKey).toString();
    MessageReader reader(message);
    if (m_request.upload && type == type::TransferDone) {
        const unsigned int code = unsigned(reader.integer(field::Code, 0, 0xFFFF));
        const QString text = reader.optionalString(field::Message, MaxFrameSize);
        if (!reader.ok())
            fail(ERROR_connection_protocol, reader.errorString());
        else if (code != ERROR_ok)
            fail(code, text.isEmpty() ? QLatin1String(errorText(code)) : text);
        else if (m_done != m_size || m_chunkStart != m_chunkEnd)
            fail(ERROR_connection_protocol, QStringLiteral("the server ended too early"));
        else
            complete();
        return false;
    }
    if (!m_request.upload && type == type::TransferData) {
        const qint64 size = reader.integer(field::Size, 0, std::numeric_limits<qint64>::max());
        if (!reader.ok() || size != m_size) {
            fail(ERROR_connection_protocol, QStringLiteral("the server announced another size"));
            return false;
        }
        m_headerSeen = true;
        const QByteArray rest = m_decoder.takePending();
        return writeDownload(rest.constData(), rest.size());
    }
    fail(ERROR_connection_protocol, QStringLiteral("unexpected '%1' on a transfer").arg(type));
    return false;
}

void Transfer::onSocketGone()
{
    if (m_ended)
        return;
    // A download sees the server's end right after its last byte, which completed it.
    fail(ERROR_file_transfer_connection_failed,
         QStringLiteral("the transfer connection ended early: %1").arg(m_socket->errorString()));
}

void Transfer::complete()
{
    if (!m_request.upload) {
        // One rename puts the whole file in place. No fsync: the network thread never waits
        // for the disk, and the rename still makes a part under the final name impossible.
        m_target.close();
        if (!m_request.overwrite && QFile::exists(m_request.localPath))
            return fail(ERROR_file_already_exists,
                        QStringLiteral("%1 appeared meanwhile").arg(m_request.localPath));
        if (std::rename(QFile::encodeName(m_target.fileName()).constData(),
                        QFile::encodeName(m_request.localPath).constData()) != 0)
            return fail(ERROR_file_io_error,
                        QStringLiteral("cannot save %1: %2")
                            .arg(m_request.localPath, QString::fromLocal8Bit(strerror(errno))));
        m_committed = true;
    }
    if (m_reported != m_size) {
        m_reported = m_size;
        emit progressed(m_size, m_size);
    }
    end(ERROR_file_transfer_complete, QStringLiteral("file transfer complete"));
}

void Transfer::fail(unsigned int code, const QString& message)
{
    dropTarget();
    end(code, message);
}

void Transfer::end(unsigned int code, const QString& message)
{
    if (m_ended)
        return;
    m_ended = true;
    m_idle.stop();
    m_nextTurn.stop();
    m_source.close();
    if (m_socket)
        m_socket->abort();
    emit finished(code, message, m_size);
}

} // namespace voicesdk

// SPDX-License-Identifier: MIT
#include "transfer.h"

#include "core.h"
#include "knownservers.h"
#include "message.h"
#include "protocol.h"
#include "tls.h"

#include <QFileInfo>
#include <QRandomGenerator>
#include <QScopedValueRollback>
#include <QSslSocket>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace voicesdk {

using namespace protocol;

namespace {
constexpr int ChunkSize = 256 * 1024;
constexpr qint64 HighWater = 1024 * 1024;      // unsent bytes queued before reading more
constexpr qint64 ReadBufferSize = 1024 * 1024; // what Qt may hold of a download
constexpr int IdleTimeoutMs = 60000;           // no progress for this long ends a transfer
} // namespace

Transfer::Transfer(const TransferRequest& request, QObject* parent)
    : QObject(parent), m_request(request)
{
    m_idle.setSingleShot(true);
    m_idle.setInterval(IdleTimeoutMs);
    connect(&m_idle, &QTimer::timeout, this, [this] {
        fail(ERROR_file_transfer_aborted, QStringLiteral("the transfer made no progress"));
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

void Transfer::setServerCertificate(bool plain, const QSslCertificate& certificate)
{
    m_plain = plain;
    m_certificate = certificate;
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
    m_socket = new QSslSocket(this);
    m_socket->setReadBufferSize(ReadBufferSize);
    connect(m_socket, &QTcpSocket::readyRead, this, &Transfer::onReadyRead);
    connect(m_socket, &QTcpSocket::disconnected, this, &Transfer::onSocketGone);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &Transfer::onSocketGone);
    m_idle.start();
    if (m_plain) {
        connect(m_socket, &QTcpSocket::connected, this, &Transfer::onConnected);
        m_socket->connectToHost(host, port);
        return;
    }
    m_socket->setSslConfiguration(knownservers::tlsConfiguration());
    connect(m_socket, &QSslSocket::encrypted, this, &Transfer::onConnected);
    connect(m_socket, qOverload<const QList<QSslError>&>(&QSslSocket::sslErrors), this,
            &Transfer::onSslErrors);
    m_socket->connectToHostEncrypted(host, port);
}

void Transfer::onSslErrors(const QList<QSslError>& errors)
{
    // The control connection has settled whom to trust: the same server, the same certificate.
    const QSslCertificate offered = m_socket->peerCertificate();
    if (!offered.isNull() && offered == m_certificate) {
        m_socket->ignoreSslErrors();
        return;
    }
    fail(ERROR_connection_certificate_changed,
         QStringLiteral("the transfer connection shows another certificate (%1) than the "
                        "control connection (%2): %3")
             .arg(protocol::certificateFingerprint(offered),
                  protocol::certificateFingerprint(m_certificate), errors.value(0).errorString()));
}

void Transfer::onConnected()
{
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_socket->write(encodeFrame(QCborMap{{TypeKey, type::Transfer}, {field::Key, m_key}}));
    if (m_request.upload) {
        // Only now: the TLS handshake writes too, and the file must follow the key.
        connect(m_socket, &QTcpSocket::bytesWritten, this, &Transfer::pumpUpload);
        // Over TLS, bytesWritten tells that Qt encrypted the bytes; this, that they left.
        connect(m_socket, &QSslSocket::encryptedBytesWritten, this, &Transfer::pumpUpload);
        pumpUpload();
    }
}

void Transfer::pumpUpload()
{
    if (m_ended)
        return;
    m_idle.start();
    while (m_done < m_size && protocol::unsentBytes(m_socket) < HighWater) {
        const qint64 want = qMin<qint64>(ChunkSize, m_size - m_done);
        const qint64 got = m_source.read(m_buffer.data(), want);
        if (got <= 0)
            return fail(
                ERROR_file_io_error,
                QStringLiteral("%1 became shorter while it was sent").arg(m_request.localPath));
        m_socket->write(m_buffer.constData(), got);
        m_done += got;
    }
    reportProgress();
}

void Transfer::reportProgress()
{
    // An upload has moved what left this side; what still waits in the socket has not.
    const qint64 done =
        m_request.upload ? m_done - (m_socket ? m_socket->bytesToWrite() : 0) : m_done;
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
    if (m_reading)
        return; // a flush in the loop below; the loop reads what it brought
    {
        const QScopedValueRollback<bool> reading(m_reading, true);
        do
            readAvailable();
        while (!m_ended && protocol::decryptPending(m_socket));
    }
    // The flush saw the connection close: judged now, with every byte read.
    if (m_goneWhileReading) {
        m_goneWhileReading = false;
        onSocketGone();
    }
}

void Transfer::readAvailable()
{
    if (m_ended)
        return;
    if (!m_request.upload && m_headerSeen) {
        while (!m_ended && m_socket->bytesAvailable() > 0) {
            const qint64 got = m_socket->read(m_buffer.data(), m_buffer.size());
            if (got <= 0 || !writeDownload(m_buffer.constData(), got))
                return;
        }
        reportProgress();
        if (!m_ended && m_done == m_size)
            complete();
        return;
    }
    // The one frame the server sends first: transferData (download) or transferDone (upload).
    m_decoder.append(m_socket->read(MaxFrameSize));
    QCborMap message;
    const auto result = m_decoder.next(&message);
    if (result == FrameDecoder::NeedMore)
        return;
    if (result == FrameDecoder::Error)
        return fail(ERROR_connection_protocol, m_decoder.errorString());
    const QString type = message.value(TypeKey).toString();
    MessageReader reader(message);
    if (m_request.upload && type == type::TransferDone) {
        const unsigned int code = unsigned(reader.integer(field::Code, 0, 0xFFFF));
        const QString text = reader.optionalString(field::Message, MaxFrameSize);
        if (!reader.ok())
            return fail(ERROR_connection_protocol, reader.errorString());
        if (code != ERROR_ok)
            return fail(code, text.isEmpty() ? QLatin1String(errorText(code)) : text);
        if (m_done != m_size)
            return fail(ERROR_connection_protocol, QStringLiteral("the server ended too early"));
        return complete();
    }
    if (!m_request.upload && type == type::TransferData) {
        const qint64 size = reader.integer(field::Size, 0, std::numeric_limits<qint64>::max());
        if (!reader.ok() || size != m_size)
            return fail(ERROR_connection_protocol,
                        QStringLiteral("the server announced another size"));
        m_headerSeen = true;
        const QByteArray rest = m_decoder.takePending();
        if (!writeDownload(rest.constData(), rest.size()))
            return;
        return readAvailable();
    }
    fail(ERROR_connection_protocol, QStringLiteral("unexpected '%1' on a transfer").arg(type));
}

void Transfer::onSocketGone()
{
    if (m_ended)
        return;
    if (m_reading) {
        m_goneWhileReading = true;
        return;
    }
    // A download may see the close right after its last byte: read what is left first (TLS
    // may still hold some that bytesAvailable does not count).
    if (!m_request.upload)
        onReadyRead();
    if (!m_ended)
        fail(
            ERROR_file_transfer_connection_failed,
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
    m_source.close();
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
    emit finished(code, message, m_size);
}

} // namespace voicesdk

// SPDX-License-Identifier: MIT
// The server's side of the channel file store: listings, deletions, directories, and the
// one-time keys that let a transfer connection move a file.
#include "message.h"
#include "server.h"
#include "storepath.h"

#include <QDateTime>
#include <QFileInfo>
#include <QPointer>
#include <QRandomGenerator>
#include <QTcpSocket>

#include <algorithm>

namespace voiceserver {

using namespace voicesdk::protocol;

namespace {

constexpr qint64 MaxId = std::numeric_limits<qint64>::max();

QByteArray newKey()
{
    QByteArray key(limits::TransferKeySize, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(key.data()),
                                          limits::TransferKeySize / 4);
    return key;
}

qint64 now()
{
    return QDateTime::currentMSecsSinceEpoch();
}

// The fields every file request carries. Paths are read with the frame's bound and judged
// afterwards, so an overlong path is a request error, not a protocol error.
struct FileRequest
{
    explicit FileRequest(const QCborMap& message) : reader(message)
    {
        channel = quint64(reader.integer(field::ChannelId, 0, MaxId));
        password = reader.optionalString(field::ChannelPassword, MaxFrameSize);
        returnCode = reader.optionalString(field::ReturnCode, limits::ReturnCodeLength);
    }
    MessageReader reader;
    quint64 channel = 0;
    QString password;
    QString returnCode;
};

} // namespace

unsigned int Server::checkFileAccess(quint64 channel, const QString& password) const
{
    if (!m_files.isEnabled())
        return ERROR_file_io_error;
    auto it = m_channels.find(channel);
    if (it == m_channels.end())
        return ERROR_channel_invalid_id;
    if (!it->checkPassword(password))
        return ERROR_channel_invalid_password;
    return ERROR_ok;
}

void Server::handleFileList(Session* session, const QCborMap& message)
{
    FileRequest request(message);
    const QString path = request.reader.string(field::Path, MaxFrameSize);
    if (!request.reader.ok())
        return protocolError(session, request.reader.errorString());
    if (const unsigned int code = checkFileAccess(request.channel, request.password))
        return reply(session, request.returnCode, code, path);
    QStringList segments;
    if (!splitStorePath(path, &segments))
        return reply(session, request.returnCode, ERROR_file_invalid_path, path);
    QList<FileEntry> entries;
    if (const unsigned int code =
            m_files.list(request.channel, segments, m_options.maxStoreEntries, &entries))
        return reply(session, request.returnCode, code, path);
    // Uploads on their way into this directory show with the bytes still missing.
    for (const TransferConnection* transfer : qAsConst(m_transfers)) {
        const TransferTicket& ticket = transfer->ticket();
        if (!transfer->isUpload() || ticket.channel != request.channel ||
            ticket.path.size() != segments.size() + 1 ||
            ticket.path.mid(0, segments.size()) != segments)
            continue;
        const QString name = ticket.path.last();
        const bool listed = std::any_of(entries.begin(), entries.end(),
                                        [&](const FileEntry& e) { return e.name == name; });
        if (listed)
            continue;
        FileEntry entry;
        entry.name = name;
        entry.size = ticket.size;
        entry.modified = now() / 1000;
        entry.incomplete = ticket.size - transfer->transferred();
        entries.append(entry);
    }
    for (const FileEntry& entry : qAsConst(entries)) {
        QCborMap out{{TypeKey, type::FtEntry},      {field::ChannelId, qint64(request.channel)},
                     {field::Path, path},           {field::Name, entry.name},
                     {field::Size, entry.size},     {field::Datetime, entry.modified},
                     {field::FileType, entry.type}, {field::Incomplete, entry.incomplete}};
        if (!request.returnCode.isEmpty())
            out.insert(field::ReturnCode, request.returnCode);
        sendTo(session, out);
    }
    sendTo(session, QCborMap{{TypeKey, type::FtListEnd},
                             {field::ChannelId, qint64(request.channel)},
                             {field::Path, path}});
    reply(session, request.returnCode, ERROR_ok);
}

void Server::handleFileDelete(Session* session, const QCborMap& message)
{
    FileRequest request(message);
    const QStringList paths =
        request.reader.optionalStringList(field::Paths, limits::FilesPerDelete, MaxFrameSize);
    if (!request.reader.ok())
        return protocolError(session, request.reader.errorString());
    if (const unsigned int code = checkFileAccess(request.channel, request.password))
        return reply(session, request.returnCode, code);
    bool failed = false;
    for (const QString& path : paths) {
        QStringList segments;
        unsigned int code = ERROR_file_invalid_path;
        if (splitStorePath(path, &segments))
            code = m_files.remove(request.channel, segments);
        if (code != ERROR_ok) {
            failed = true;
            reply(session, request.returnCode, code, path);
        } else {
            log(QStringLiteral("client %1 deleted '%2' in channel %3")
                    .arg(session->clientId)
                    .arg(path)
                    .arg(request.channel));
        }
    }
    if (!failed)
        reply(session, request.returnCode, ERROR_ok);
}

void Server::handleMakeDirectory(Session* session, const QCborMap& message)
{
    FileRequest request(message);
    const QString path = request.reader.string(field::Path, MaxFrameSize);
    if (!request.reader.ok())
        return protocolError(session, request.reader.errorString());
    if (const unsigned int code = checkFileAccess(request.channel, request.password))
        return reply(session, request.returnCode, code, path);
    QStringList segments;
    if (!splitStorePath(path, &segments))
        return reply(session, request.returnCode, ERROR_file_invalid_path, path);
    qint64 bytes = 0;
    int entries = 0;
    m_files.usage(request.channel, &bytes, &entries);
    if (entries + segments.size() > m_options.maxStoreEntries)
        return reply(session, request.returnCode, ERROR_file_quota_exceeded,
                     QStringLiteral("the channel holds too many files and directories"));
    reply(session, request.returnCode, m_files.makeDirectory(request.channel, segments), path);
}

int Server::transfersOf(const Session* session) const
{
    int count = 0;
    for (const auto& entry : m_tickets)
        count += entry.second.owner == session;
    for (const TransferConnection* transfer : m_transfers)
        count += transfer->ticket().owner == session;
    return count;
}

qint64 Server::reservedBytes(quint64 channel) const
{
    qint64 bytes = 0;
    for (const auto& entry : m_tickets) {
        if (entry.second.upload && entry.second.channel == channel)
            bytes += entry.second.size;
    }
    for (const TransferConnection* transfer : m_transfers) {
        if (transfer->isUpload() && transfer->ticket().channel == channel)
            bytes += transfer->ticket().size;
    }
    return bytes;
}

void Server::handleTransferRequest(Session* session, const QCborMap& message, bool upload)
{
    FileRequest request(message);
    const quint16 transferId = quint16(request.reader.integer(field::TransferId, 1, 0xFFFF));
    const QString path = request.reader.string(field::Path, MaxFrameSize);
    const qint64 size = upload ? request.reader.integer(field::Size, 0, MaxId) : 0;
    const bool overwrite = upload && request.reader.optionalBoolean(field::Overwrite);
    request.reader.optionalBoolean(field::Resume); // no partial files are kept to resume
    if (!request.reader.ok())
        return protocolError(session, request.reader.errorString());

    auto refuse = [&](unsigned int code, const QString& why) {
        log(QStringLiteral("client %1: %2 of '%3' in channel %4 refused: %5")
                .arg(session->clientId)
                .arg(upload ? QStringLiteral("upload") : QStringLiteral("download"), path)
                .arg(request.channel)
                .arg(why));
        QCborMap failed{{TypeKey, type::FtFailed},
                        {field::TransferId, transferId},
                        {field::Code, qint64(code)},
                        {field::Message, why}};
        if (!request.returnCode.isEmpty())
            failed.insert(field::ReturnCode, request.returnCode);
        sendTo(session, failed);
    };
    if (const unsigned int code = checkFileAccess(request.channel, request.password))
        return refuse(code, code == ERROR_channel_invalid_password
                                ? QStringLiteral("wrong channel password")
                                : QStringLiteral("no such channel or no file store"));
    QStringList segments;
    if (!splitStorePath(path, &segments) || segments.isEmpty())
        return refuse(ERROR_file_invalid_path, QStringLiteral("invalid path"));
    if (transfersOf(session) >= m_options.maxTransfersPerClient)
        return refuse(
            ERROR_file_transfer_limit_reached,
            QStringLiteral("at most %1 transfers at once").arg(m_options.maxTransfersPerClient));
    QString hostPath;
    bool exists = false, isDirectory = false;
    if (const unsigned int code =
            m_files.resolve(request.channel, segments, &hostPath, &exists, &isDirectory))
        return refuse(code, QStringLiteral("invalid path"));

    TransferTicket ticket;
    ticket.owner = session;
    ticket.transferId = transferId;
    ticket.upload = upload;
    ticket.channel = request.channel;
    ticket.path = segments;
    ticket.overwrite = overwrite;
    ticket.expiresAt = now() + m_options.transferKeyTtlMs;
    if (upload) {
        if (exists && isDirectory)
            return refuse(ERROR_file_already_exists, QStringLiteral("a directory has that name"));
        if (exists && !overwrite)
            return refuse(ERROR_file_already_exists, QStringLiteral("the file exists"));
        if (size > m_options.maxFileBytes)
            return refuse(
                ERROR_file_too_large,
                QStringLiteral("files are limited to %1 bytes").arg(m_options.maxFileBytes));
        qint64 used = 0;
        int entries = 0;
        m_files.usage(request.channel, &used, &entries);
        const qint64 replaced = exists ? QFileInfo(hostPath).size() : 0;
        if (used - replaced + reservedBytes(request.channel) + size > m_options.quotaBytes)
            return refuse(ERROR_file_quota_exceeded,
                          QStringLiteral("the channel's store is limited to %1 bytes")
                              .arg(m_options.quotaBytes));
        if (entries + segments.size() > m_options.maxStoreEntries)
            return refuse(ERROR_file_quota_exceeded,
                          QStringLiteral("the channel holds too many files and directories"));
        ticket.size = size;
    } else {
        if (!exists)
            return refuse(ERROR_file_not_found, QStringLiteral("no such file"));
        if (isDirectory)
            return refuse(ERROR_file_not_found, QStringLiteral("a directory, not a file"));
        auto source = std::make_shared<QFile>(hostPath);
        if (!source->open(QIODevice::ReadOnly | QIODevice::Unbuffered))
            return refuse(ERROR_file_io_error, QStringLiteral("cannot read the file"));
        ticket.size = source->size();
        ticket.source = std::move(source);
    }
    const QByteArray key = newKey();
    const qint64 announced = ticket.size;
    m_tickets.emplace(key, std::move(ticket));
    QCborMap ready{{TypeKey, type::FtReady},
                   {field::TransferId, transferId},
                   {field::Key, key},
                   {field::Size, announced}};
    if (!request.returnCode.isEmpty())
        ready.insert(field::ReturnCode, request.returnCode);
    sendTo(session, ready);
}

void Server::handleTransferConnection(Session* session, const QCborMap& message)
{
    MessageReader reader(message);
    const QByteArray key =
        reader.bytes(field::Key, limits::TransferKeySize, limits::TransferKeySize);
    auto it = reader.ok() ? m_tickets.find(key) : m_tickets.end();
    if (it == m_tickets.end() || it->second.expiresAt < now()) {
        if (it != m_tickets.end())
            m_tickets.erase(it);
        session->close(QStringLiteral("transfer connection with an unknown or expired key"), false);
        return;
    }
    TransferTicket ticket = std::move(it->second);
    m_tickets.erase(it); // one use only
    QByteArray pending;
    QTcpSocket* socket = session->detachSocket(&pending);
    if (!socket)
        return;
    m_sessions.remove(session);
    const QString what =
        QStringLiteral("%1 of '%2' in channel %3 (%4 bytes) for client %5")
            .arg(ticket.upload ? QStringLiteral("upload") : QStringLiteral("download"))
            .arg(ticket.path.join(QLatin1Char('/')))
            .arg(ticket.channel)
            .arg(ticket.size)
            .arg(ticket.owner ? ticket.owner->clientId : 0);
    auto* transfer =
        new TransferConnection(socket, pending, std::move(ticket), m_files.incomingDirectory(),
                               m_options.transferIdleMs, this);
    m_transfers.insert(transfer);
    log(QStringLiteral("%1 started").arg(what));
    connect(transfer, &TransferConnection::uploadReceived, this,
            [this, transfer] { uploadReceived(transfer); });
    connect(transfer, &TransferConnection::finished, this,
            [this, transfer, what](const QString& outcome) {
                m_transfers.remove(transfer);
                log(QStringLiteral("%1: %2").arg(what, outcome));
            });
    session->deleteLater();
}

void Server::uploadReceived(TransferConnection* transfer)
{
    const TransferTicket& ticket = transfer->ticket();
    if (!m_channels.contains(ticket.channel))
        return transfer->finishUpload(ERROR_channel_invalid_id,
                                      QStringLiteral("the channel is gone"));
    // The rename runs on a worker; the answer comes back to this thread. A transfer ended
    // meanwhile (its client left) is simply not answered.
    QPointer<TransferConnection> target(transfer);
    const FileStore files = m_files;
    const quint64 channel = ticket.channel;
    const QStringList path = ticket.path;
    const QString received = transfer->takeReceivedFile();
    const bool overwrite = ticket.overwrite;
    FileStore::inBackground([this, target, files, channel, path, received, overwrite] {
        const unsigned int code = files.commit(channel, path, received, overwrite);
        QMetaObject::invokeMethod(
            this,
            [this, target, channel, code] {
                if (code == ERROR_ok && !m_channels.contains(channel))
                    m_files.removeChannel(channel); // deleted while the file was put in place
                if (!target)
                    return;
                QString message;
                if (code == ERROR_file_already_exists)
                    message = QStringLiteral("a directory or a file not to overwrite has the name");
                else if (code != ERROR_ok)
                    message = QStringLiteral("cannot put the file in place");
                target->finishUpload(code, message);
            },
            Qt::QueuedConnection);
    });
}

void Server::dropTransfersOf(const Session* session)
{
    for (auto it = m_tickets.begin(); it != m_tickets.end();) {
        if (it->second.owner == session)
            it = m_tickets.erase(it);
        else
            ++it;
    }
    const auto transfers = m_transfers;
    for (TransferConnection* transfer : transfers) {
        if (transfer->ticket().owner == session)
            transfer->abort(QStringLiteral("its client left"));
    }
}

void Server::dropTransfersIn(const QList<quint64>& channels)
{
    for (auto it = m_tickets.begin(); it != m_tickets.end();) {
        if (channels.contains(it->second.channel))
            it = m_tickets.erase(it);
        else
            ++it;
    }
    const auto transfers = m_transfers;
    for (TransferConnection* transfer : transfers) {
        if (channels.contains(transfer->ticket().channel))
            transfer->abort(QStringLiteral("the channel was deleted"));
    }
}

void Server::expireTickets()
{
    const qint64 time = now();
    for (auto it = m_tickets.begin(); it != m_tickets.end();) {
        if (it->second.expiresAt < time) {
            log(QStringLiteral("a transfer key of client %1 expired unused")
                    .arg(it->second.owner ? it->second.owner->clientId : 0));
            it = m_tickets.erase(it);
        } else {
            ++it;
        }
    }
}

} // namespace voiceserver

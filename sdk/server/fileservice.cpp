// SPDX-License-Identifier: MIT
#include "fileservice.h"

#include "message.h"
#include "serverlog.h"
#include "session.h"
#include "storepath.h"
#include "tls.h"

#include <QDateTime>
#include <QFileInfo>
#include <QPointer>
#include <QRandomGenerator>

#include <algorithm>
#include <memory>

namespace voiceserver {

using namespace voicesdk::protocol;

namespace {

constexpr qint64 MaxId = std::numeric_limits<qint64>::max();
// open() closed the connection for a protocol error; nothing more is sent.
constexpr unsigned int Closed = ~0u;

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

} // namespace

// The fields every file request carries. Paths are read with the frame's bound and judged
// afterwards, so an overlong path is a request error, not a protocol error.
struct FileRequest
{
    enum PathField { NoPath, OnePath };
    FileRequest(const QCborMap& message, PathField pathField) : reader(message), hasPath(pathField)
    {
        channel = quint64(reader.integer(field::ChannelId, 0, MaxId));
        password = reader.optionalString(field::ChannelPassword, MaxFrameSize);
        returnCode = reader.optionalString(field::ReturnCode, limits::ReturnCodeLength);
        if (hasPath)
            path = reader.string(field::Path, MaxFrameSize);
    }
    MessageReader reader;
    bool hasPath;
    quint64 channel = 0;
    QString password;
    QString returnCode;
    QString path;
    QStringList segments; // the path split and checked
};

FileService::FileService(const QString& dataDirectory, const FileServiceLimits& limits,
                         const QMap<quint64, Channel>& channels, QObject* parent)
    : QObject(parent), m_limits(limits), m_channels(channels), m_files(dataDirectory)
{
    m_ticketSweep.setInterval(1000);
    connect(&m_ticketSweep, &QTimer::timeout, this, &FileService::expireTickets);
    m_ticketSweep.start();
}

FileService::~FileService()
{
    m_tickets.clear();
    // Running transfers go with their sockets; unfinished uploads leave nothing behind.
    const auto transfers = m_transfers;
    m_transfers.clear();
    for (TransferConnection* transfer : transfers) {
        disconnect(transfer, nullptr, this, nullptr);
        delete transfer;
    }
    FileStore::waitForReleases();
}

bool FileService::handles(const QString& type)
{
    return type == type::FtList || type == type::FtDelete || type == type::FtMkdir ||
           type == type::FtUpload || type == type::FtDownload;
}

void FileService::handleRequest(Session* session, const QString& type, const QCborMap& message)
{
    if (type == type::FtList)
        list(session, message);
    else if (type == type::FtDelete)
        remove(session, message);
    else if (type == type::FtMkdir)
        makeDirectory(session, message);
    else if (type == type::FtUpload || type == type::FtDownload)
        prepareTransfer(session, message, type == type::FtUpload);
}

void FileService::tidy()
{
    QString report;
    m_usage.clear();
    m_files.tidy(m_channels.keys(), &report, &m_usage, m_shared != nullptr);
    m_totalBytes = 0;
    for (const StoreUsage& usage : qAsConst(m_usage))
        m_totalBytes += usage.bytes;
    if (!report.isEmpty())
        logLine(report);
    if (m_shared)
        m_shared->seed(m_usage);
}

void FileService::changeUsage(quint64 channel, qint64 bytes, int entries, bool share)
{
    if (!m_channels.contains(channel))
        return; // its store went with it
    if (share && m_shared)
        m_shared->change(channel, bytes, entries);
    StoreUsage& usage = m_usage[channel];
    usage.bytes = qMax<qint64>(0, usage.bytes + bytes);
    usage.entries = qMax(0, usage.entries + entries);
    m_totalBytes = qMax<qint64>(0, m_totalBytes + bytes);
}

// Judges what every file request shares, once the handler has read its own fields too: a
// malformed frame closes the connection (Closed), else the store, the channel, its password and
// the path decide (ERROR_ok or the code to answer with).
unsigned int FileService::open(Session* session, FileRequest* request) const
{
    if (!request->reader.ok()) {
        session->protocolError(request->reader.errorString());
        return Closed;
    }
    if (!m_files.isEnabled())
        return ERROR_file_io_error;
    auto it = m_channels.find(request->channel);
    if (it == m_channels.end())
        return ERROR_channel_invalid_id;
    if (!it->checkPassword(request->password))
        return ERROR_channel_invalid_password;
    if (request->hasPath && !splitStorePath(request->path, &request->segments))
        return ERROR_file_invalid_path;
    return ERROR_ok;
}

void FileService::list(Session* session, const QCborMap& message)
{
    FileRequest request(message, FileRequest::OnePath);
    if (const unsigned int code = open(session, &request))
        return code == Closed ? void() : session->reply(request.returnCode, code, request.path);
    // Reading a large directory takes a while; the thread that relays texts does not wait.
    QPointer<Session> target(session);
    const FileStore files = m_files;
    const int maxEntries = m_limits.maxStoreEntries;
    FileStore::inBackground([this, target, files, request, maxEntries] {
        QList<FileEntry> entries;
        const unsigned int code =
            files.list(request.channel, request.segments, maxEntries, &entries);
        QMetaObject::invokeMethod(
            this,
            [this, target, request, code, entries] {
                if (target && target->state() == Session::State::Active)
                    sendListing(target, request, code, entries);
            },
            Qt::QueuedConnection);
    });
}

void FileService::sendListing(Session* session, const FileRequest& request, unsigned int code,
                              QList<FileEntry> entries)
{
    const QString& path = request.path;
    const QStringList& segments = request.segments;
    if (code != ERROR_ok)
        return session->reply(request.returnCode, code, path);
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
        session->sendMessage(out);
    }
    session->sendMessage(QCborMap{{TypeKey, type::FtListEnd},
                                  {field::ChannelId, qint64(request.channel)},
                                  {field::Path, path}});
    session->reply(request.returnCode, ERROR_ok);
}

void FileService::remove(Session* session, const QCborMap& message)
{
    FileRequest request(message, FileRequest::NoPath);
    const QStringList paths =
        request.reader.optionalStringList(field::Paths, limits::FilesPerDelete, MaxFrameSize);
    if (const unsigned int code = open(session, &request))
        return code == Closed ? void() : session->reply(request.returnCode, code);
    // The success is told once the space is free and counted, so a client that goes on to
    // upload finds the room it made.
    struct Outstanding
    {
        int removals = 0;
        bool failed = false;
    };
    auto outstanding = std::make_shared<Outstanding>();
    const QPointer<Session> target(session);
    const QString returnCode = request.returnCode;
    const quint64 channel = request.channel;
    auto done = [target, returnCode, outstanding] {
        if (--outstanding->removals == 0 && !outstanding->failed && target)
            target->reply(returnCode, ERROR_ok);
    };
    ++outstanding->removals; // until every path is taken out
    for (const QString& path : paths) {
        QStringList segments;
        unsigned int code = ERROR_file_invalid_path;
        if (splitStorePath(path, &segments)) {
            ++outstanding->removals;
            code = m_files.remove(channel, segments, [this, channel, done](StoreUsage freed) {
                QMetaObject::invokeMethod(
                    this,
                    [=] {
                        changeUsage(channel, -freed.bytes, -freed.entries);
                        done();
                    },
                    Qt::QueuedConnection);
            });
            if (code != ERROR_ok)
                --outstanding->removals;
        }
        if (code != ERROR_ok) {
            outstanding->failed = true;
            session->reply(request.returnCode, code, path);
        } else {
            logLine(QStringLiteral("client %1 deleted '%2' in channel %3")
                        .arg(session->clientId)
                        .arg(path)
                        .arg(request.channel));
        }
    }
    done();
}

void FileService::makeDirectory(Session* session, const QCborMap& message)
{
    FileRequest request(message, FileRequest::OnePath);
    if (const unsigned int code = open(session, &request))
        return code == Closed ? void() : session->reply(request.returnCode, code, request.path);
    if (usageOf(request.channel).entries + request.segments.size() > m_limits.maxStoreEntries)
        return session->reply(request.returnCode, ERROR_file_quota_exceeded,
                              QStringLiteral("the channel holds too many files and directories"));
    int created = 0;
    const unsigned int code = m_files.makeDirectory(request.channel, request.segments, &created);
    changeUsage(request.channel, 0, created);
    session->reply(request.returnCode, code, request.path);
}

int FileService::transfersOf(const Session* session) const
{
    int count = 0;
    for (const auto& entry : m_tickets)
        count += entry.second.owner == session;
    for (const TransferConnection* transfer : m_transfers)
        count += transfer->ticket().owner == session;
    return count;
}

qint64 FileService::reservedBytes(quint64 channel) const
{
    qint64 bytes = 0;
    for (const auto& entry : m_tickets) {
        if (entry.second.upload && (channel == 0 || entry.second.channel == channel))
            bytes += entry.second.size;
    }
    for (const TransferConnection* transfer : m_transfers) {
        if (transfer->isUpload() && (channel == 0 || transfer->ticket().channel == channel))
            bytes += transfer->ticket().size;
    }
    return bytes;
}

void FileService::prepareTransfer(Session* session, const QCborMap& message, bool upload)
{
    FileRequest request(message, FileRequest::OnePath);
    const quint16 transferId = quint16(request.reader.integer(field::TransferId, 1, 0xFFFF));
    const qint64 size = upload ? request.reader.integer(field::Size, 0, MaxId) : 0;
    const bool overwrite = upload && request.reader.optionalBoolean(field::Overwrite);
    request.reader.optionalBoolean(field::Resume); // no partial files are kept to resume
    const unsigned int opened = open(session, &request);
    if (opened == Closed)
        return;
    const QString& path = request.path;
    const QStringList& segments = request.segments;

    auto refuse = [&](unsigned int code, const QString& why) {
        logLine(QStringLiteral("client %1: %2 of '%3' in channel %4 refused: %5")
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
        session->sendMessage(failed);
    };
    if (opened == ERROR_channel_invalid_password)
        return refuse(opened, QStringLiteral("wrong channel password"));
    if (opened == ERROR_file_invalid_path || (opened == ERROR_ok && segments.isEmpty()))
        return refuse(ERROR_file_invalid_path, QStringLiteral("invalid path"));
    if (opened != ERROR_ok)
        return refuse(opened, QStringLiteral("no such channel or no file store"));
    if (transfersOf(session) >= m_limits.maxTransfersPerClient)
        return refuse(
            ERROR_file_transfer_limit_reached,
            QStringLiteral("at most %1 transfers at once").arg(m_limits.maxTransfersPerClient));
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
    ticket.expiresAt = now() + m_limits.transferKeyTtlMs;
    // In a cluster the quotas are judged by the figures of all instances, atomically.
    const bool judgedTogether = shared();
    if (upload) {
        if (exists && isDirectory)
            return refuse(ERROR_file_already_exists, QStringLiteral("a directory has that name"));
        if (exists && !overwrite)
            return refuse(ERROR_file_already_exists, QStringLiteral("the file exists"));
        if (size > m_limits.maxFileBytes)
            return refuse(
                ERROR_file_too_large,
                QStringLiteral("files are limited to %1 bytes").arg(m_limits.maxFileBytes));
        const StoreUsage used = usageOf(request.channel);
        const qint64 replaced = exists ? QFileInfo(hostPath).size() : 0;
        ticket.size = size;
        if (judgedTogether) {
            const QByteArray key = newKey();
            const QPointer<Session> target(session);
            const QString returnCode = request.returnCode;
            const QString what = QStringLiteral("client %1: upload of '%2' in channel %3 refused")
                                     .arg(session->clientId)
                                     .arg(path)
                                     .arg(request.channel);
            m_shared->offer(key, ticket, m_limits.transferKeyTtlMs,
                            UploadLimits{m_limits.quotaBytes, m_limits.serverQuotaBytes,
                                         m_limits.maxStoreEntries},
                            replaced, segments.size(),
                            [this, target, returnCode, key, ticket, what](unsigned int code,
                                                                          const QString& why) {
                                if (!target || target->state() != Session::State::Active) {
                                    if (code == ERROR_ok)
                                        m_shared->release(key);
                                    return;
                                }
                                if (code == ERROR_ok)
                                    return issueTicket(target, returnCode, key, ticket);
                                logLine(QStringLiteral("%1: %2").arg(what, why));
                                QCborMap failed{{TypeKey, type::FtFailed},
                                                {field::TransferId, ticket.transferId},
                                                {field::Code, qint64(code)},
                                                {field::Message, why}};
                                if (!returnCode.isEmpty())
                                    failed.insert(field::ReturnCode, returnCode);
                                target->sendMessage(failed);
                            });
            return;
        }
        if (used.bytes - replaced + reservedBytes(request.channel) + size > m_limits.quotaBytes)
            return refuse(ERROR_file_quota_exceeded,
                          QStringLiteral("the channel's store is limited to %1 bytes")
                              .arg(m_limits.quotaBytes));
        if (m_totalBytes - replaced + reservedBytes(0) + size > m_limits.serverQuotaBytes)
            return refuse(ERROR_file_quota_exceeded,
                          QStringLiteral("the server's stores are limited to %1 bytes")
                              .arg(m_limits.serverQuotaBytes));
        if (used.entries + segments.size() > m_limits.maxStoreEntries)
            return refuse(ERROR_file_quota_exceeded,
                          QStringLiteral("the channel holds too many files and directories"));
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
    if (judgedTogether) {
        // Any instance may serve the download: the key goes to the cluster first.
        const QPointer<Session> target(session);
        const QString returnCode = request.returnCode;
        m_shared->offer(key, ticket, m_limits.transferKeyTtlMs, UploadLimits(), 0, 0,
                        [this, target, returnCode, key, ticket](unsigned int, const QString&) {
                            if (target && target->state() == Session::State::Active)
                                issueTicket(target, returnCode, key, ticket);
                            else
                                m_shared->release(key);
                        });
        return;
    }
    issueTicket(session, request.returnCode, key, std::move(ticket));
}

void FileService::issueTicket(Session* session, const QString& returnCode, const QByteArray& key,
                              TransferTicket ticket)
{
    const qint64 announced = ticket.size;
    const quint16 transferId = ticket.transferId;
    m_tickets.emplace(key, std::move(ticket));
    QCborMap ready{{TypeKey, type::FtReady},
                   {field::TransferId, transferId},
                   {field::Key, key},
                   {field::Size, announced}};
    if (!returnCode.isEmpty())
        ready.insert(field::ReturnCode, returnCode);
    session->sendMessage(ready);
}

void FileService::forgetTicket(std::map<QByteArray, TransferTicket>::iterator it)
{
    if (m_shared)
        m_shared->release(it->first);
    m_tickets.erase(it);
}

void FileService::startTransfer(Session* session, const QCborMap& message,
                                std::function<void()> becameTransfer)
{
    MessageReader reader(message);
    const QByteArray key =
        reader.bytes(field::Key, limits::TransferKeySize, limits::TransferKeySize);
    const auto unknown = [](Session* session) {
        session->close(QStringLiteral("transfer connection with an unknown or expired key"), false);
    };
    if (!reader.ok())
        return unknown(session);
    if (shared()) {
        // The key may have been handed out by another instance; used here or there, it is used
        // once: the cluster hands it to one connection only.
        const QPointer<Session> target(session);
        m_shared->take(key, [this, target, key, becameTransfer,
                             unknown](bool found, const TransferTicket& remote, anyID owner,
                                      const QString& ownerInstance) {
            if (!target)
                return;
            auto it = m_tickets.find(key);
            // The cluster's word counts while it can be asked: a key it no longer has was used
            // on another instance.
            if (!found && (it == m_tickets.end() || shared())) {
                if (it != m_tickets.end())
                    m_tickets.erase(it);
                return unknown(target);
            }
            TransferTicket ticket;
            if (it != m_tickets.end()) {
                ticket = std::move(it->second);
                m_tickets.erase(it);
                owner = 0;
            } else {
                ticket = remote;
            }
            if (ticket.expiresAt < now())
                return unknown(target);
            if (!ticket.upload && !ticket.source) {
                // Asked on another instance: the file is opened here, now.
                QString hostPath;
                bool exists = false, isDirectory = false;
                auto source = std::make_shared<QFile>();
                if (m_files.resolve(ticket.channel, ticket.path, &hostPath, &exists,
                                    &isDirectory) != ERROR_ok ||
                    !exists || isDirectory)
                    return unknown(target);
                source->setFileName(hostPath);
                if (!source->open(QIODevice::ReadOnly | QIODevice::Unbuffered))
                    return unknown(target);
                ticket.size = source->size();
                ticket.source = std::move(source);
            }
            runTransfer(target, std::move(ticket), key, owner, ownerInstance);
            becameTransfer();
        });
        return;
    }
    auto it = m_tickets.find(key);
    if (it == m_tickets.end() || it->second.expiresAt < now()) {
        if (it != m_tickets.end())
            m_tickets.erase(it);
        return unknown(session);
    }
    TransferTicket ticket = std::move(it->second);
    m_tickets.erase(it); // one use only
    runTransfer(session, std::move(ticket), key, 0, QString());
    becameTransfer();
}

void FileService::runTransfer(Session* session, TransferTicket ticket, const QByteArray& key,
                              anyID remoteOwner, const QString& remoteInstance)
{
    QByteArray pending;
    std::unique_ptr<voicesdk::protocol::TlsStream> stream = session->detachStream(&pending);
    if (!stream) {
        if (m_shared)
            m_shared->release(key);
        return;
    }
    const QString what =
        QStringLiteral("%1 of '%2' in channel %3 (%4 bytes) for client %5")
            .arg(ticket.upload ? QStringLiteral("upload") : QStringLiteral("download"))
            .arg(ticket.path.join(QLatin1Char('/')))
            .arg(ticket.channel)
            .arg(ticket.size)
            .arg(ticket.owner ? ticket.owner->clientId : remoteOwner);
    auto* transfer =
        new TransferConnection(std::move(stream), pending, std::move(ticket),
                               m_files.incomingDirectory(), m_limits.transferIdleMs, this);
    m_transfers.insert(transfer);
    m_transferKeys.insert(transfer, key);
    if (remoteOwner != 0)
        m_remoteOwners.insert(transfer, qMakePair(remoteOwner, remoteInstance));
    logLine(QStringLiteral("%1 started").arg(what));
    connect(transfer, &TransferConnection::uploadReceived, this,
            [this, transfer] { uploadReceived(transfer); });
    connect(transfer, &TransferConnection::finished, this,
            [this, transfer, what](const QString& outcome) {
                if (m_transfers.remove(transfer))
                    m_finishedBytes[transfer->isUpload() ? 1 : 0] +=
                        quint64(transfer->transferred());
                const QByteArray key = m_transferKeys.take(transfer);
                m_remoteOwners.remove(transfer);
                // An upload that never became usage gives its reservation back.
                if (m_shared && !m_committed.remove(transfer))
                    m_shared->release(key);
                logLine(QStringLiteral("%1: %2").arg(what, outcome));
            });
}

void FileService::remoteOwnerLeft(anyID id, const QString& instance)
{
    for (auto it = m_remoteOwners.cbegin(); it != m_remoteOwners.cend(); ++it) {
        if (it.value().first == id && it.value().second == instance)
            QMetaObject::invokeMethod(
                it.key(), [this, transfer = it.key()] { clientLeft(transfer); },
                Qt::QueuedConnection);
    }
}

quint64 FileService::transferredBytes(bool upload) const
{
    quint64 bytes = m_finishedBytes[upload ? 1 : 0];
    for (const TransferConnection* transfer : m_transfers) {
        if (transfer->isUpload() == upload)
            bytes += quint64(transfer->transferred());
    }
    return bytes;
}

void FileService::uploadReceived(TransferConnection* transfer)
{
    const TransferTicket& ticket = transfer->ticket();
    if (!m_channels.contains(ticket.channel))
        return transfer->finishUpload(ERROR_channel_invalid_id,
                                      QStringLiteral("the channel is gone"));
    // The rename runs on a worker; the answer comes back to this thread, and the transfer ends
    // with it even if its connection went meanwhile.
    QPointer<TransferConnection> target(transfer);
    const FileStore files = m_files;
    const quint64 channel = ticket.channel;
    const QStringList path = ticket.path;
    const QString received = transfer->takeReceivedFile();
    const bool overwrite = ticket.overwrite;
    const qint64 size = ticket.size;
    FileStore::inBackground([this, target, files, channel, path, received, overwrite, size] {
        Placed placed;
        const unsigned int code = files.commit(channel, path, received, overwrite, &placed);
        QMetaObject::invokeMethod(
            this,
            [this, target, channel, code = code, placed, size]() mutable {
                if (code == ERROR_ok && !m_channels.contains(channel)) {
                    m_files.removeChannel(channel); // deleted while the file was put in place
                    code = ERROR_channel_invalid_id;
                }
                const int entries = placed.createdDirectories + (placed.replaced ? 0 : 1);
                if (code == ERROR_ok) {
                    changeUsage(channel, size - placed.replacedBytes, entries, false);
                    if (m_shared && target && m_transferKeys.contains(target)) {
                        m_committed.insert(target);
                        m_shared->commit(m_transferKeys.value(target), channel,
                                         size - placed.replacedBytes, entries);
                    } else if (m_shared) {
                        m_shared->change(channel, size - placed.replacedBytes, entries);
                    }
                }
                if (!target)
                    return;
                QString message;
                if (code == ERROR_file_already_exists)
                    message = QStringLiteral("a directory or a file not to overwrite has the name");
                else if (code == ERROR_channel_invalid_id)
                    message = QStringLiteral("the channel is gone");
                else if (code != ERROR_ok)
                    message = QStringLiteral("cannot put the file in place");
                target->finishUpload(code, message);
            },
            Qt::QueuedConnection);
    });
}

void FileService::sessionClosed(const Session* session)
{
    for (auto it = m_tickets.begin(); it != m_tickets.end();) {
        if (it->second.owner == session)
            forgetTicket(it++);
        else
            ++it;
    }
    const auto transfers = m_transfers;
    for (TransferConnection* transfer : transfers) {
        if (transfer->ticket().owner == session)
            clientLeft(transfer);
    }
}

void FileService::clientLeft(TransferConnection* transfer)
{
    // Every byte is in and the file is being put in place: it is kept (or not) as for anyone,
    // and the transfer connection, if still there, is told so.
    if (transfer->isCommitting())
        transfer->forgetOwner();
    else
        transfer->abort(QStringLiteral("its client left"));
}

void FileService::channelsDeleted(const QList<quint64>& channels, bool keepStores)
{
    for (auto it = m_tickets.begin(); it != m_tickets.end();) {
        if (channels.contains(it->second.channel))
            forgetTicket(it++);
        else
            ++it;
    }
    const auto transfers = m_transfers;
    for (TransferConnection* transfer : transfers) {
        if (channels.contains(transfer->ticket().channel))
            transfer->abort(QStringLiteral("the channel was deleted"));
    }
    for (quint64 channel : channels) {
        if (!keepStores)
            m_files.removeChannel(channel);
        m_totalBytes -= m_usage.take(channel).bytes;
    }
}

void FileService::expireTickets()
{
    const qint64 time = now();
    for (auto it = m_tickets.begin(); it != m_tickets.end();) {
        if (it->second.expiresAt < time) {
            logLine(QStringLiteral("a transfer key of client %1 expired unused")
                        .arg(it->second.owner ? it->second.owner->clientId : 0));
            forgetTicket(it++);
        } else {
            ++it;
        }
    }
}

} // namespace voiceserver

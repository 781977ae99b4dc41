// SPDX-License-Identifier: MIT
// The channel file store. Listings, deletions and directories are plain requests on the control
// connection; uploads and downloads get a transfer ID here, at once, and run on their own
// connections on the network thread (transfer.h), so chat keeps flowing meanwhile.
#include "connection.h"
#include "core.h"
#include "frame.h"
#include "protocol.h"
#include "storepath.h"

#include <QCborArray>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>

using namespace voicesdk;
using namespace voicesdk::protocol;

namespace {

constexpr int MaxRunningTransfers = 8;            // per handler, as the server allows by default
constexpr qint64 KeepFinishedMs = 10 * 60 * 1000; // how long isTransferSender knows an ended one
constexpr int MaxFinishedKept = 1024;

unsigned int checkChannel(uint64 channelID)
{
    if (!isLibraryInitialised())
        return ERROR_lib_not_initialized;
    if (channelID == 0 || channelID > uint64(std::numeric_limits<qint64>::max()))
        return ERROR_channel_invalid_id;
    return ERROR_ok;
}

// Queues a file request on a connected handler.
unsigned int fileRequest(uint64 handler, uint64 channelID, const char* channelPW,
                         const char* returnCode, QCborMap message)
{
    if (const unsigned int code = checkChannel(channelID))
        return code;
    message.insert(field::ChannelId, qint64(channelID));
    if (channelPW && *channelPW)
        message.insert(field::ChannelPassword, QString::fromUtf8(channelPW));
    return queueRequest(handler, returnCode, std::move(message));
}

// Forgets transfers that ended long ago, or the oldest ended ones when there are too many.
void pruneRecords(HandlerState& state)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    QList<QPair<qint64, anyID>> finished;
    for (auto it = state.transfers.begin(); it != state.transfers.end();) {
        if (it->finished && now - it->finishedAt > KeepFinishedMs) {
            it = state.transfers.erase(it);
            continue;
        }
        if (it->finished)
            finished.append({it->finishedAt, it.key()});
        ++it;
    }
    if (finished.size() > MaxFinishedKept) {
        std::sort(finished.begin(), finished.end());
        for (int i = 0; i < finished.size() - MaxFinishedKept; ++i)
            state.transfers.remove(finished.at(i).second);
    }
}

unsigned int startTransfer(uint64 handler, uint64 channelID, const char* channelPW,
                           const char* file, int overwrite, const char* directory, anyID* result,
                           const char* returnCode, bool upload)
{
    if (const unsigned int code = checkChannel(channelID))
        return code;
    if (!result)
        return ERROR_parameter_invalid;
    if (!file || !*file)
        return ERROR_parameter_missing;
    const QString remote = QString::fromUtf8(file);
    // The local file is the last segment of the remote name; one that could leave the chosen
    // directory ("..", "", a backslash, a control character) is refused here, before anything
    // is opened or written.
    const QString name = lastSegment(remote);
    if (!isSafeSegment(name))
        return ERROR_file_invalid_name;
    const QString dirText = fromUtf8(directory);
    const QDir dir(dirText.isEmpty() ? QDir::currentPath() : dirText);
    const QString localPath = dir.absoluteFilePath(name);
    const QFileInfo local(localPath);
    if (upload) {
        if (!local.isFile())
            return ERROR_file_not_found;
    } else {
        if (!QFileInfo(dir.absolutePath()).isDir())
            return ERROR_file_not_found;
        if (local.isDir())
            return ERROR_file_already_exists;
        if (!overwrite && local.exists())
            return ERROR_file_already_exists;
    }
    const QString code = fromUtf8(returnCode);
    // The remote path itself is the server's to judge; it only has to fit a frame.
    if (code.size() > limits::ReturnCodeLength || remote.size() > MaxFrameSize / 4)
        return ERROR_parameter_too_long;

    TransferRequest request;
    request.upload = upload;
    request.channel = channelID;
    request.password = fromUtf8(channelPW);
    request.remotePath = remote;
    request.localPath = localPath;
    request.overwrite = overwrite != 0;
    request.returnCode = code;
    return withHandler(handler, [&](HandlerState& state) -> unsigned int {
        if (!state.mirror.connected)
            return ERROR_connection_not_connected;
        pruneRecords(state);
        int running = 0;
        for (const TransferRecord& record : qAsConst(state.transfers))
            running += !record.finished;
        if (running >= MaxRunningTransfers)
            return ERROR_file_transfer_limit_reached;
        // IDs count up and wrap, skipping 0 and those still remembered.
        anyID id = 0;
        for (int tries = 0; tries < 0xFFFF && id == 0; ++tries) {
            const anyID candidate = state.nextTransferId;
            state.nextTransferId = candidate == 0xFFFF ? 1 : anyID(candidate + 1);
            if (!state.transfers.contains(candidate))
                id = candidate;
        }
        if (id == 0)
            return ERROR_file_transfer_limit_reached;
        request.id = id;
        if (!post([handler, request](Core& core) {
                if (Connection* connection = core.connection(handler))
                    connection->startTransfer(request);
            }))
            return ERROR_lib_not_initialized;
        TransferRecord record;
        record.sender = upload;
        state.transfers.insert(id, record);
        *result = id;
        return ERROR_ok;
    });
}

// A number of a transfer's record.
unsigned int transferNumber(uint64 handler, anyID transferID, uint64* result,
                            qint64 TransferRecord::*field)
{
    if (!result)
        return isLibraryInitialised() ? ERROR_parameter_invalid : ERROR_lib_not_initialized;
    return withHandler(handler, [&](HandlerState& state) -> unsigned int {
        auto it = state.transfers.constFind(transferID);
        if (it == state.transfers.constEnd())
            return ERROR_file_invalid_transfer_id;
        *result = uint64((*it).*field);
        return ERROR_ok;
    });
}

} // namespace

extern "C" {

unsigned int ts3client_sendFile(uint64 serverConnectionHandlerID, uint64 channelID,
                                const char* channelPW, const char* file, int overwrite, int,
                                const char* sourceDirectory, anyID* result, const char* returnCode)
{
    // resume: no partial files are ever kept, so every transfer starts at the first byte.
    return startTransfer(serverConnectionHandlerID, channelID, channelPW, file, overwrite,
                         sourceDirectory, result, returnCode, true);
}

unsigned int ts3client_requestFile(uint64 serverConnectionHandlerID, uint64 channelID,
                                   const char* channelPW, const char* file, int overwrite, int,
                                   const char* destinationDirectory, anyID* result,
                                   const char* returnCode)
{
    return startTransfer(serverConnectionHandlerID, channelID, channelPW, file, overwrite,
                         destinationDirectory, result, returnCode, false);
}

unsigned int ts3client_isTransferSender(uint64 serverConnectionHandlerID, anyID transferID,
                                        int* result)
{
    if (!result)
        return isLibraryInitialised() ? ERROR_parameter_invalid : ERROR_lib_not_initialized;
    return withHandler(serverConnectionHandlerID, [&](HandlerState& state) -> unsigned int {
        auto it = state.transfers.constFind(transferID);
        if (it == state.transfers.constEnd())
            return ERROR_file_invalid_transfer_id;
        *result = it->sender ? 1 : 0;
        return ERROR_ok;
    });
}

unsigned int ts3client_getTransferFileSize(uint64 serverConnectionHandlerID, anyID transferID,
                                           uint64* result)
{
    return transferNumber(serverConnectionHandlerID, transferID, result, &TransferRecord::size);
}

unsigned int ts3client_getTransferFileSizeDone(uint64 serverConnectionHandlerID, anyID transferID,
                                               uint64* result)
{
    return transferNumber(serverConnectionHandlerID, transferID, result, &TransferRecord::done);
}

unsigned int ts3client_requestFileList(uint64 serverConnectionHandlerID, uint64 channelID,
                                       const char* channelPW, const char* path,
                                       const char* returnCode)
{
    const QString text = path && *path ? QString::fromUtf8(path) : QStringLiteral("/");
    return fileRequest(serverConnectionHandlerID, channelID, channelPW, returnCode,
                       QCborMap{{TypeKey, type::FtList}, {field::Path, text}});
}

unsigned int ts3client_requestDeleteFile(uint64 serverConnectionHandlerID, uint64 channelID,
                                         const char* channelPW, const char** file,
                                         const char* returnCode)
{
    if (!file)
        return isLibraryInitialised() ? ERROR_parameter_invalid : ERROR_lib_not_initialized;
    QCborArray paths;
    for (const char** entry = file; *entry; ++entry) {
        if (paths.size() >= limits::FilesPerDelete)
            return ERROR_parameter_too_long;
        paths.append(QString::fromUtf8(*entry));
    }
    return fileRequest(serverConnectionHandlerID, channelID, channelPW, returnCode,
                       QCborMap{{TypeKey, type::FtDelete}, {field::Paths, paths}});
}

unsigned int ts3client_requestCreateDirectory(uint64 serverConnectionHandlerID, uint64 channelID,
                                              const char* channelPW, const char* directoryPath,
                                              const char* returnCode)
{
    if (!directoryPath || !*directoryPath)
        return isLibraryInitialised() ? ERROR_parameter_missing : ERROR_lib_not_initialized;
    return fileRequest(
        serverConnectionHandlerID, channelID, channelPW, returnCode,
        QCborMap{{TypeKey, type::FtMkdir}, {field::Path, QString::fromUtf8(directoryPath)}});
}

} // extern "C"

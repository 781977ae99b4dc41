// SPDX-License-Identifier: MIT
#pragma once

#include "channelstore.h"
#include "filestore.h"
#include "sharedfiles.h"
#include "transfer.h"

#include <QCborMap>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <map>

namespace voiceserver {

class Session;
struct FileRequest;

struct FileServiceLimits
{
    qint64 maxFileBytes = qint64(512) * 1024 * 1024;
    qint64 quotaBytes = qint64(2048) * 1024 * 1024; // per channel
    int maxStoreEntries = 10000;                    // files and directories per channel
    int maxTransfersPerClient = 8;                  // keys handed out plus transfers running
    int transferKeyTtlMs = 30000;
    int transferIdleMs = 30000;
    qint64 serverQuotaBytes = qint64(8) * 1024 * 1024 * 1024; // all channels together
};

// The channels' file stores over the control protocol: listings, deletions, directories, and
// the one-time keys that let a transfer connection move a file. The channels themselves are the
// server's; this service only reads them.
class FileService : public QObject
{
    Q_OBJECT
public:
    FileService(const QString& dataDirectory, const FileServiceLimits& limits,
                const QMap<quint64, Channel>& channels, QObject* parent = nullptr);
    ~FileService() override;

    // Whether a frame of this type on a control connection is a file request.
    static bool handles(const QString& type);
    void handleRequest(Session* session, const QString& type, const QCborMap& message);
    // A connection that opened with a transfer key instead of a hello. becameTransfer runs when
    // the session has given up its socket to a transfer and is done with (at once, or once a
    // key shared by a cluster has been looked up).
    void startTransfer(Session* session, const QCborMap& message,
                       std::function<void()> becameTransfer);
    // In a cluster: keys and figures shared with the other instances. Before tidy().
    void setShared(SharedFiles* shared) { m_shared = shared; }
    // A client of another instance left: the transfers it started here end.
    void remoteOwnerLeft(anyID id, const QString& instance);

    // A control connection went: its keys and transfers go with it.
    void sessionClosed(const Session* session);
    // Channels were deleted: their transfers end and their stores go (unless keepStores: a
    // cluster's instance lost sight of them, which is no reason to lose their files).
    void channelsDeleted(const QList<quint64>& channels, bool keepStores = false);
    // At start-up: forgets the stores of channels that no longer exist and half uploads.
    void tidy();

    // What every channel's store holds.
    qint64 storeBytes() const { return m_totalBytes; }
    // File bytes moved in one direction since the start, running transfers included.
    quint64 transferredBytes(bool upload) const;

private:
    void list(Session* session, const QCborMap& message);
    void remove(Session* session, const QCborMap& message);
    void makeDirectory(Session* session, const QCborMap& message);
    void prepareTransfer(Session* session, const QCborMap& message, bool upload);
    unsigned int open(Session* session, FileRequest* request) const;
    bool shared() const { return m_shared && m_shared->isShared(); }
    void issueTicket(Session* session, const QString& returnCode, const QByteArray& key,
                     TransferTicket ticket);
    void runTransfer(Session* session, TransferTicket ticket, const QByteArray& key,
                     anyID remoteOwner, const QString& remoteInstance);
    void forgetTicket(std::map<QByteArray, TransferTicket>::iterator it);
    void sendListing(Session* session, const FileRequest& request, unsigned int code,
                     QList<FileEntry> entries);
    void uploadReceived(TransferConnection* transfer);
    // The client that asked for the transfer left.
    void clientLeft(TransferConnection* transfer);
    int transfersOf(const Session* session) const;
    // Upload bytes promised to keys and running uploads: of one channel, or of all (0).
    qint64 reservedBytes(quint64 channel) const;
    // What a channel's store holds, kept up to date as requests change it rather than walked.
    StoreUsage usageOf(quint64 channel) const { return m_usage.value(channel); }
    // share: also in the cluster's figures.
    void changeUsage(quint64 channel, qint64 bytes, int entries, bool share = true);
    void expireTickets();

    FileServiceLimits m_limits;
    const QMap<quint64, Channel>& m_channels;
    FileStore m_files;
    QHash<quint64, StoreUsage> m_usage;
    qint64 m_totalBytes = 0;                        // of every channel's store
    std::map<QByteArray, TransferTicket> m_tickets; // by one-time key
    QSet<TransferConnection*> m_transfers;          // running transfers
    quint64 m_finishedBytes[2] = {0, 0};            // of ended transfers: downloads, uploads
    QTimer m_ticketSweep;
    SharedFiles* m_shared = nullptr;
    // Transfers running here: their keys, and for those of another instance's client, who.
    QHash<TransferConnection*, QByteArray> m_transferKeys;
    QHash<TransferConnection*, QPair<anyID, QString>> m_remoteOwners;
    QSet<TransferConnection*> m_committed; // uploads whose reservation became usage
};

} // namespace voiceserver

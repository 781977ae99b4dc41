// SPDX-License-Identifier: MIT
#pragma once

#include "filestore.h"
#include "transfer.h"
#include "voicesdk.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <functional>

namespace voiceserver {

// What an upload is checked against, all instances together.
struct UploadLimits
{
    qint64 quotaBytes = 0;       // per channel
    qint64 serverQuotaBytes = 0; // all channels
    int maxStoreEntries = 0;     // per channel
};

// The file stores' figures and the transfer keys, where several instances share one store (a
// cluster): a key handed out by one instance can be used on any, and an upload is checked and
// counted against what all of them hold, atomically.
class SharedFiles
{
public:
    virtual ~SharedFiles() = default;
    // False while the shared figures cannot be reached: the instance judges alone meanwhile.
    virtual bool isShared() const = 0;
    // Keeps a ticket under its key for its lifetime; an upload's bytes are reserved first.
    // done: ERROR_ok, or ERROR_file_quota_exceeded with the limit that was hit.
    virtual void offer(const QByteArray& key, const TransferTicket& ticket, qint64 ttlMs,
                       const UploadLimits& limits, qint64 replacedBytes, int newEntries,
                       std::function<void(unsigned int code, const QString& why)> done) = 0;
    // Takes a key for a transfer connection, once: the ticket, or found false.
    virtual void take(const QByteArray& key,
                      std::function<void(bool found, const TransferTicket& ticket, anyID owner,
                                         const QString& ownerInstance)>
                          done) = 0;
    // The key unused or its upload not completed: its reservation goes.
    virtual void release(const QByteArray& key) = 0;
    // An upload put in place: its reservation becomes usage.
    virtual void commit(const QByteArray& key, quint64 channel, qint64 bytes, int entries) = 0;
    // Other changes of a store (deletions, directories).
    virtual void change(quint64 channel, qint64 bytes, int entries) = 0;
    // What this instance counted at its start, for a cluster that has no figures yet.
    virtual void seed(const QHash<quint64, StoreUsage>& usage) = 0;
};

} // namespace voiceserver

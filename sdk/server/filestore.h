// SPDX-License-Identifier: MIT
#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

namespace voiceserver {

// What a store, or part of it, holds.
struct StoreUsage
{
    qint64 bytes = 0; // in files
    int entries = 0;  // files and directories
};

// What putting a finished upload in place changed.
struct Placed
{
    int createdDirectories = 0;
    bool replaced = false;
    qint64 replacedBytes = 0;
};

struct FileEntry
{
    QString name;
    qint64 size = 0;
    qint64 modified = 0; // seconds since the epoch
    int type = 1;        // 0 directory, 1 file
    qint64 incomplete = 0;
};

// The channels' file stores on disk: DATA/files/channel_<id>/ per channel and DATA/files/.incoming
// for uploads in progress. Callers pass paths already split and checked (protocol/storepath.h);
// on top of that nothing here follows a symbolic link inside a store, so a link planted there
// cannot lead out of it. Every function returns an ERROR_* code.
class FileStore
{
public:
    explicit FileStore(const QString& dataDirectory);

    bool isEnabled() const { return !m_root.isEmpty(); }
    QString channelRoot(quint64 channel) const;
    QString incomingDirectory() const;

    // The host path of segments in a channel's store. *exists tells whether it is there; when
    // it is, *isDirectory its kind. Fails on a link anywhere along the way and on a file where
    // a directory must be.
    unsigned int resolve(quint64 channel, const QStringList& segments, QString* hostPath,
                         bool* exists, bool* isDirectory) const;

    // Thread-safe, like every const member that takes a channel: the file system's own locking
    // is all they need.
    unsigned int list(quint64 channel, const QStringList& directory, int maxEntries,
                      QList<FileEntry>* entries) const;
    // *created: how many directories it made (the missing ones along the path).
    unsigned int makeDirectory(quint64 channel, const QStringList& directory, int* created) const;
    // Files, and directories with everything in them: taken out of the store at once and freed
    // on a worker thread, which then calls freed with what went.
    unsigned int remove(quint64 channel, const QStringList& path,
                        std::function<void(StoreUsage)> freed) const;
    // Puts a finished upload in place, creating missing parent directories. The rename is
    // atomic: readers see the old file or the new one, never a part. On failure the finished
    // file is removed.
    unsigned int commit(quint64 channel, const QStringList& path, const QString& finishedFile,
                        bool overwrite, Placed* placed) const;
    // Walks a channel's store, never through a link. Slow for a large store: the server counts
    // once at start-up and keeps the figures itself from then on.
    StoreUsage usage(quint64 channel) const;

    void removeChannel(quint64 channel) const;
    // Runs work on the store's worker threads: renaming over a large file can make the file
    // system allocate it there and then, which the event loop must not wait for.
    static void inBackground(std::function<void()> work);
    // Waits for everything run in the background (shutdown).
    static void waitForReleases();
    // At start-up: forgets the stores of channels that no longer exist, half uploads, and
    // anything in the store's root that is not a directory (a planted link is removed, never
    // what it points at); a root that is itself a link switches the store off. Fills *usages with
    // what each remaining channel's store holds.
    // With shared (the folder of a cluster's instances) nothing is removed, only counted.
    void tidy(const QList<quint64>& channels, QString* report, QHash<quint64, StoreUsage>* usages,
              bool shared = false);
    // Removes a file, or a directory with everything in it, never following a link: a link is
    // removed itself. Adds what went to *removed.
    static bool removeTree(const QString& path, StoreUsage* removed = nullptr);

private:
    // Takes a file or tree out of the store at once (one rename into the incoming directory)
    // and frees its space on a worker thread: freeing a large file's blocks can take the file
    // system a noticeable time, which the event loop, busy with chat, must not wait for.
    bool release(const QString& hostPath, std::function<void(StoreUsage)> freed = {}) const;
    QString scratchName() const;
    unsigned int place(quint64 channel, const QStringList& path, const QString& finishedFile,
                       bool overwrite, Placed* placed) const;

    QString m_root; // DATA/files, empty when the server has no data directory or it is unsafe
};

} // namespace voiceserver

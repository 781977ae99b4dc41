// SPDX-License-Identifier: MIT
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

namespace voiceserver {

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

    unsigned int list(quint64 channel, const QStringList& directory, int maxEntries,
                      QList<FileEntry>* entries) const;
    unsigned int makeDirectory(quint64 channel, const QStringList& directory) const;
    // Files, and directories with everything in them.
    unsigned int remove(quint64 channel, const QStringList& path) const;
    // Puts a finished upload in place, creating missing parent directories. The rename is
    // atomic: readers see the old file or the new one, never a part. On failure the finished
    // file is removed. Thread-safe.
    unsigned int commit(quint64 channel, const QStringList& path, const QString& finishedFile,
                        bool overwrite) const;
    // Bytes in files and number of entries of a channel's store.
    void usage(quint64 channel, qint64* bytes, int* entries) const;

    void removeChannel(quint64 channel) const;
    // Runs work on the store's worker threads: renaming over a large file can make the file
    // system allocate it there and then, which the event loop must not wait for.
    static void inBackground(std::function<void()> work);
    // Waits for everything run in the background (shutdown).
    static void waitForReleases();
    // At start-up: forgets the stores of channels that no longer exist and half uploads.
    void tidy(const QList<quint64>& channels, QString* report) const;

private:
    // Takes a file or tree out of the store at once (one rename into the incoming directory)
    // and frees its space on a worker thread: freeing a large file's blocks can take the file
    // system a noticeable time, which the event loop, busy with chat, must not wait for.
    bool release(const QString& hostPath) const;
    QString scratchName() const;
    unsigned int place(quint64 channel, const QStringList& path, const QString& finishedFile,
                       bool overwrite) const;

    QString m_root; // DATA/files, empty when the server has no data directory
};

} // namespace voiceserver

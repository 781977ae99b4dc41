// SPDX-License-Identifier: MIT
#include "filestore.h"

#include "voicesdk.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QThreadPool>

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace voiceserver {

namespace {

const QString IncomingName = QStringLiteral(".incoming");

enum class Kind { Missing, File, Directory, Other };

// lstat: a link is reported as Other, never followed.
Kind kindOf(const QString& path, struct stat* info = nullptr)
{
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return Kind::Missing;
    if (info)
        *info = st;
    if (S_ISDIR(st.st_mode))
        return Kind::Directory;
    if (S_ISREG(st.st_mode))
        return Kind::File;
    return Kind::Other;
}

QThreadPool& releasePool()
{
    static QThreadPool pool;
    return pool;
}

} // namespace

QString FileStore::scratchName() const
{
    return incomingDirectory() + QStringLiteral("/released-") +
           QString::number(QRandomGenerator::system()->generate64(), 16);
}

bool FileStore::release(const QString& hostPath) const
{
    QDir().mkpath(incomingDirectory());
    const QString scratch = scratchName();
    if (std::rename(QFile::encodeName(hostPath).constData(),
                    QFile::encodeName(scratch).constData()) != 0)
        return false;
    releasePool().start([scratch] {
        if (kindOf(scratch) == Kind::Directory)
            QDir(scratch).removeRecursively();
        else
            QFile::remove(scratch);
    });
    return true;
}

void FileStore::inBackground(std::function<void()> work)
{
    releasePool().start(std::move(work));
}

void FileStore::waitForReleases()
{
    releasePool().waitForDone();
}

FileStore::FileStore(const QString& dataDirectory)
    : m_root(dataDirectory.isEmpty() ? QString()
                                     : QDir(dataDirectory).filePath(QStringLiteral("files")))
{}

QString FileStore::channelRoot(quint64 channel) const
{
    return m_root + QStringLiteral("/channel_") + QString::number(channel);
}

QString FileStore::incomingDirectory() const
{
    return m_root + QLatin1Char('/') + IncomingName;
}

unsigned int FileStore::resolve(quint64 channel, const QStringList& segments, QString* hostPath,
                                bool* exists, bool* isDirectory) const
{
    if (!isEnabled())
        return ERROR_file_io_error;
    QString path = channelRoot(channel);
    Kind kind = kindOf(path);
    if (kind == Kind::Other)
        return ERROR_file_invalid_path;
    for (const QString& segment : segments) {
        if (kind == Kind::File)
            return ERROR_file_not_a_directory;
        path += QLatin1Char('/') + segment;
        if (kind == Kind::Missing)
            continue; // nothing below a missing directory exists either
        kind = kindOf(path);
        if (kind == Kind::Other)
            return ERROR_file_invalid_path; // a link, a device, a socket: never followed
    }
    *hostPath = path;
    *exists = kind != Kind::Missing;
    *isDirectory = kind == Kind::Directory;
    return ERROR_ok;
}

unsigned int FileStore::list(quint64 channel, const QStringList& directory, int maxEntries,
                             QList<FileEntry>* entries) const
{
    QString path;
    bool exists = false, isDirectory = false;
    if (const unsigned int code = resolve(channel, directory, &path, &exists, &isDirectory))
        return code;
    if (!exists) {
        // The root of a channel that never stored anything is simply empty.
        return directory.isEmpty() ? unsigned(ERROR_ok) : unsigned(ERROR_file_not_found);
    }
    if (!isDirectory)
        return ERROR_file_not_a_directory;
    QDir dir(path);
    const QStringList names = dir.entryList(
        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
    for (const QString& name : names) {
        if (entries->size() >= maxEntries)
            break;
        struct stat st;
        const Kind kind = kindOf(dir.filePath(name), &st);
        if (kind != Kind::File && kind != Kind::Directory)
            continue; // links and special files are not part of the store
        FileEntry entry;
        entry.name = name;
        entry.type = kind == Kind::Directory ? 0 : 1;
        entry.size = kind == Kind::File ? qint64(st.st_size) : 0;
        entry.modified = qint64(st.st_mtime);
        entries->append(entry);
    }
    return ERROR_ok;
}

unsigned int FileStore::makeDirectory(quint64 channel, const QStringList& directory) const
{
    if (directory.isEmpty())
        return ERROR_file_already_exists; // the root always exists
    QString path;
    bool exists = false, isDirectory = false;
    if (const unsigned int code = resolve(channel, directory, &path, &exists, &isDirectory))
        return code;
    if (exists)
        return ERROR_file_already_exists;
    return QDir().mkpath(path) ? ERROR_ok : ERROR_file_io_error;
}

unsigned int FileStore::remove(quint64 channel, const QStringList& path) const
{
    if (path.isEmpty())
        return ERROR_file_invalid_path; // the root itself stays
    QString hostPath;
    bool exists = false, isDirectory = false;
    if (const unsigned int code = resolve(channel, path, &hostPath, &exists, &isDirectory))
        return code;
    if (!exists)
        return ERROR_file_not_found;
    // removeRecursively deletes links it meets without following them.
    const bool removed = isDirectory ? QDir(hostPath).removeRecursively() : QFile::remove(hostPath);
    return removed ? ERROR_ok : ERROR_file_io_error;
}

unsigned int FileStore::commit(quint64 channel, const QStringList& path,
                               const QString& finishedFile, bool overwrite) const
{
    const unsigned int code = place(channel, path, finishedFile, overwrite);
    if (code != ERROR_ok)
        QFile::remove(finishedFile);
    return code;
}

unsigned int FileStore::place(quint64 channel, const QStringList& path, const QString& finishedFile,
                              bool overwrite) const
{
    QString target;
    bool exists = false, isDirectory = false;
    if (path.isEmpty())
        return ERROR_file_invalid_path;
    if (const unsigned int code = resolve(channel, path, &target, &exists, &isDirectory))
        return code;
    if (exists && (isDirectory || !overwrite))
        return ERROR_file_already_exists;
    const QString parent = target.left(target.lastIndexOf(QLatin1Char('/')));
    if (!QDir().mkpath(parent))
        return ERROR_file_io_error;
    // A second name keeps the replaced file's blocks from being freed by the rename itself;
    // they are freed in the background.
    QString replaced;
    if (exists) {
        replaced = scratchName();
        if (::link(QFile::encodeName(target).constData(),
                   QFile::encodeName(replaced).constData()) != 0)
            replaced.clear();
    }
    const QByteArray from = QFile::encodeName(finishedFile);
    const QByteArray to = QFile::encodeName(target);
    if (!overwrite) {
        // Another worker may have put a file under the name since the check above; link(2)
        // never replaces one, rename(2) would.
        if (::link(from.constData(), to.constData()) == 0) {
            ::unlink(from.constData());
            return ERROR_ok;
        }
        if (errno == EEXIST)
            return ERROR_file_already_exists;
        // A file system without hard links: the check above has to do.
    }
    // rename(2) replaces an existing file in one step; QFile::rename would refuse.
    const bool moved = std::rename(from.constData(), to.constData()) == 0;
    if (!replaced.isEmpty())
        releasePool().start([replaced] { QFile::remove(replaced); });
    return moved ? ERROR_ok : ERROR_file_io_error;
}

void FileStore::usage(quint64 channel, qint64* bytes, int* entries) const
{
    *bytes = 0;
    *entries = 0;
    if (!isEnabled())
        return;
    // QDirIterator does not descend into links unless asked to.
    QDirIterator it(channelRoot(channel),
                    QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        ++*entries;
        if (info.isFile() && !info.isSymLink())
            *bytes += info.size();
    }
}

void FileStore::removeChannel(quint64 channel) const
{
    if (isEnabled() && kindOf(channelRoot(channel)) == Kind::Directory)
        release(channelRoot(channel));
}

void FileStore::tidy(const QList<quint64>& channels, QString* report) const
{
    if (!isEnabled())
        return;
    QDir(incomingDirectory()).removeRecursively();
    QDir().mkpath(incomingDirectory());
    const QDir root(m_root);
    const QStringList stores =
        root.entryList({QStringLiteral("channel_*")}, QDir::Dirs | QDir::NoDotAndDotDot);
    QStringList removed;
    for (const QString& name : stores) {
        bool ok = false;
        const quint64 id = name.mid(8).toULongLong(&ok);
        if (ok && channels.contains(id))
            continue;
        QDir(root.filePath(name)).removeRecursively();
        removed.append(name);
    }
    if (!removed.isEmpty())
        *report = QStringLiteral("removed the file stores of channels that are gone: %1")
                      .arg(removed.join(QStringLiteral(", ")));
}

} // namespace voiceserver

// SPDX-License-Identifier: MIT
#include "filestore.h"

#include "voicesdk.h"

#include <QDateTime>
#include <QDir>
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

bool FileStore::removeTree(const QString& path, StoreUsage* removed)
{
    struct stat st;
    const Kind kind = kindOf(path, &st);
    if (kind == Kind::Missing)
        return true;
    if (kind != Kind::Directory) {
        // A file, a link (removed itself, never its target), anything else.
        if (::unlink(QFile::encodeName(path).constData()) != 0)
            return false;
        if (removed) {
            removed->entries += 1;
            if (kind == Kind::File)
                removed->bytes += qint64(st.st_size);
        }
        return true;
    }
    bool ok = true;
    const QStringList names =
        QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QString& name : names)
        ok = removeTree(path + QLatin1Char('/') + name, removed) && ok;
    if (::rmdir(QFile::encodeName(path).constData()) != 0)
        return false;
    if (removed)
        removed->entries += 1;
    return ok;
}

bool FileStore::release(const QString& hostPath, std::function<void(StoreUsage)> freed) const
{
    QDir().mkpath(incomingDirectory());
    const QString scratch = scratchName();
    if (std::rename(QFile::encodeName(hostPath).constData(),
                    QFile::encodeName(scratch).constData()) != 0)
        return false;
    releasePool().start([scratch, freed] {
        StoreUsage removed;
        removeTree(scratch, &removed);
        if (freed)
            freed(removed);
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

namespace {

// Creates the missing directories of path below the existing base; how many it made, or -1.
int makeMissing(const QString& base, const QStringList& segments)
{
    int created = 0;
    QString path = base;
    for (const QString& segment : segments) {
        path += QLatin1Char('/') + segment;
        const Kind kind = kindOf(path);
        if (kind == Kind::Directory)
            continue;
        if (kind != Kind::Missing)
            return -1;
        if (::mkdir(QFile::encodeName(path).constData(), 0777) != 0 && errno != EEXIST)
            return -1;
        ++created;
    }
    return created;
}

} // namespace

unsigned int FileStore::makeDirectory(quint64 channel, const QStringList& directory,
                                      int* created) const
{
    *created = 0;
    if (directory.isEmpty())
        return ERROR_file_already_exists; // the root always exists
    QString path;
    bool exists = false, isDirectory = false;
    if (const unsigned int code = resolve(channel, directory, &path, &exists, &isDirectory))
        return code;
    if (exists)
        return ERROR_file_already_exists;
    if (!QDir().mkpath(m_root))
        return ERROR_file_io_error;
    const int made = makeMissing(m_root, QStringList{channelRoot(channel).mid(m_root.size() + 1)});
    const int below = made < 0 ? -1 : makeMissing(channelRoot(channel), directory);
    if (below < 0)
        return ERROR_file_io_error;
    *created = below; // the channel's root is not an entry of the store
    return ERROR_ok;
}

unsigned int FileStore::remove(quint64 channel, const QStringList& path,
                               std::function<void(StoreUsage)> freed) const
{
    if (path.isEmpty())
        return ERROR_file_invalid_path; // the root itself stays
    QString hostPath;
    bool exists = false, isDirectory = false;
    if (const unsigned int code = resolve(channel, path, &hostPath, &exists, &isDirectory))
        return code;
    if (!exists)
        return ERROR_file_not_found;
    return release(hostPath, std::move(freed)) ? ERROR_ok : ERROR_file_io_error;
}

unsigned int FileStore::commit(quint64 channel, const QStringList& path,
                               const QString& finishedFile, bool overwrite, Placed* placed) const
{
    *placed = Placed();
    const unsigned int code = place(channel, path, finishedFile, overwrite, placed);
    if (code != ERROR_ok)
        QFile::remove(finishedFile);
    return code;
}

unsigned int FileStore::place(quint64 channel, const QStringList& path, const QString& finishedFile,
                              bool overwrite, Placed* placed) const
{
    QString target;
    bool exists = false, isDirectory = false;
    if (path.isEmpty())
        return ERROR_file_invalid_path;
    if (const unsigned int code = resolve(channel, path, &target, &exists, &isDirectory))
        return code;
    if (exists && (isDirectory || !overwrite))
        return ERROR_file_already_exists;
    if (!QDir().mkpath(m_root) ||
        makeMissing(m_root, QStringList{channelRoot(channel).mid(m_root.size() + 1)}) < 0)
        return ERROR_file_io_error;
    const int created = makeMissing(channelRoot(channel), path.mid(0, path.size() - 1));
    if (created < 0)
        return ERROR_file_io_error;
    placed->createdDirectories = created;
    struct stat old;
    if (exists && kindOf(target, &old) == Kind::File) {
        placed->replaced = true;
        placed->replacedBytes = qint64(old.st_size);
    }
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
            placed->replaced = false;
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

namespace {

void addUsage(const QString& path, StoreUsage* usage)
{
    const QStringList names =
        QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QString& name : names) {
        const QString child = path + QLatin1Char('/') + name;
        struct stat st;
        const Kind kind = kindOf(child, &st);
        ++usage->entries;
        if (kind == Kind::File)
            usage->bytes += qint64(st.st_size);
        else if (kind == Kind::Directory)
            addUsage(child, usage);
    }
}

} // namespace

StoreUsage FileStore::usage(quint64 channel) const
{
    StoreUsage usage;
    if (isEnabled() && kindOf(channelRoot(channel)) == Kind::Directory)
        addUsage(channelRoot(channel), &usage);
    return usage;
}

void FileStore::removeChannel(quint64 channel) const
{
    if (isEnabled() && kindOf(channelRoot(channel)) == Kind::Directory)
        release(channelRoot(channel));
}

void FileStore::tidy(const QList<quint64>& channels, QString* report,
                     QHash<quint64, StoreUsage>* usages, bool shared)
{
    if (!isEnabled())
        return;
    const Kind rootKind = kindOf(m_root);
    if (rootKind != Kind::Missing && rootKind != Kind::Directory) {
        *report = QStringLiteral("%1 is not a directory (a link?): no file store").arg(m_root);
        m_root.clear();
        return;
    }
    QStringList notes;
    // Other instances of a cluster may be writing there, and know channels this one does not
    // know yet: a shared store is counted, never tidied.
    if (!shared)
        removeTree(incomingDirectory());
    QDir().mkpath(incomingDirectory());
    const QDir root(m_root);
    const QStringList names =
        root.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    QStringList removed;
    for (const QString& name : names) {
        const QString path = root.filePath(name);
        if (name == IncomingName)
            continue;
        bool ok = false;
        const quint64 id =
            name.startsWith(QLatin1String("channel_")) ? name.mid(8).toULongLong(&ok) : 0;
        if (shared) {
            if (ok && kindOf(path) == Kind::Directory)
                usages->insert(id, usage(id));
            continue;
        }
        if (kindOf(path) != Kind::Directory) {
            // Nothing but channel folders belongs here; a link goes, never its target.
            removeTree(path);
            notes << QStringLiteral("removed %1, which is not a channel folder").arg(name);
            continue;
        }
        if (ok && channels.contains(id)) {
            usages->insert(id, usage(id));
            continue;
        }
        removeTree(path);
        removed.append(name);
    }
    if (!removed.isEmpty())
        notes << QStringLiteral("removed the file stores of channels that are gone: %1")
                     .arg(removed.join(QStringLiteral(", ")));
    *report = notes.join(QStringLiteral("; "));
}

} // namespace voiceserver

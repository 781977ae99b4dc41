// SPDX-License-Identifier: MIT
#include "localfile.h"

#include "chatmessage.h"

#include <QBuffer>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QUrl>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace MeetingSupport {

namespace {

bool isSlash(QChar c)
{
    return c == QLatin1Char('/') || c == QLatin1Char('\\');
}

} // namespace

bool readOrdinaryFile(const QString& path, qint64 maxBytes, ReadLimit limit, QByteArray* data,
                      bool* cut, qint64* fileSize)
{
    data->clear();
    if (cut)
        *cut = false;
    if (path.isEmpty() || path.contains(QChar(0)))
        return false;
    // A first look without opening: opening a device can have effects of its own.
    const QFileInfo info(path);
    if (!info.isFile())
        return false;

    QFile file;
    qint64 size = 0;
#ifdef Q_OS_UNIX
    // The name may have become a pipe since the look: O_NONBLOCK keeps the open from waiting for
    // a writer, and the check on the open descriptor is the one that counts.
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
        !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    size = status.st_size;
#else
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    size = file.size();
#endif
    if (fileSize)
        *fileSize = size;
    if (size > maxBytes) {
        if (limit == ReadLimit::Refuse)
            return false;
        if (cut)
            *cut = true;
    }
    *data = file.read(qMin(size, maxBytes));
    return true;
}

QString confinedPictureFile(const QString& src)
{
    const QUrl url(src);
    if (!url.isValid() || !url.isLocalFile() || !url.host().isEmpty())
        return QString();
    const QString local = url.toLocalFile();
    // "//host/share" and "\\host\share" reach other machines (and "\\.\" devices on Windows).
    if (local.size() >= 2 && isSlash(local.at(0)) && isSlash(local.at(1)))
        return QString();
    if (!QDir::isAbsolutePath(local) || local.contains(QChar(0)))
        return QString();
    return local;
}

QImage readBoundedImage(const QByteArray& data)
{
    QByteArray bytes = data;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    return readWithinBounds(reader);
}

QImage loadLocalPicture(const QString& path)
{
    QByteArray data;
    if (!readOrdinaryFile(path, maxLocalPictureBytes, ReadLimit::Refuse, &data))
        return QImage();
    return readBoundedImage(data);
}

} // namespace MeetingSupport

// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

namespace MeetingSupport {

// A local picture larger than this is not one we show or send.
inline constexpr qint64 maxLocalPictureBytes = qint64(64) * 1024 * 1024;

enum class ReadLimit {
    Refuse, // a longer file is not read at all
    Cut,    // a longer file gives its first bytes
};

// Reads an ordinary local file, at most maxBytes of it, into *data. Folders, pipes, sockets and
// devices are refused without ever being opened in a way that could block. *cut tells whether
// the file was longer than maxBytes, *fileSize how long it is.
bool readOrdinaryFile(const QString& path, qint64 maxBytes, ReadLimit limit, QByteArray* data,
                      bool* cut = nullptr, qint64* fileSize = nullptr);

// The local path a received picture's "src" names, when it is one we may look at: a "file:" URL
// without a host, to an absolute path that is no network share. Empty for anything else.
QString confinedPictureFile(const QString& src);

// A picture from encoded bytes of any supported format; null when damaged, of unknown size or
// beyond the picture size limits.
QImage readBoundedImage(const QByteArray& data);

// An ordinary local picture file read with the limits above; null when it is none.
QImage loadLocalPicture(const QString& path);

} // namespace MeetingSupport

// SPDX-License-Identifier: MIT
#include "storepath.h"

namespace voicesdk::protocol {

bool isSafeSegment(const QString& segment)
{
    if (segment.isEmpty() || segment == QLatin1String(".") || segment == QLatin1String(".."))
        return false;
    for (const QChar c : segment) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c.unicode() < 0x20 ||
            c.unicode() == 0x7F || c.category() == QChar::Other_Control)
            return false;
    }
    const QByteArray utf8 = segment.toUtf8();
    if (utf8.size() > limits::FileNameBytes)
        return false;
    // A string with broken surrogate pairs does not round-trip; refuse it rather than alter it.
    return QString::fromUtf8(utf8) == segment;
}

bool splitStorePath(const QString& path, QStringList* segments)
{
    segments->clear();
    if (path.size() > limits::FilePathLength)
        return false;
    const QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.size() > limits::FilePathDepth)
        return false;
    for (const QString& part : parts) {
        if (!isSafeSegment(part)) {
            segments->clear();
            return false;
        }
    }
    *segments = parts;
    return true;
}

QString lastSegment(const QString& path)
{
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

} // namespace voicesdk::protocol

// SPDX-License-Identifier: MIT
#pragma once

#include "protocol.h"

#include <QString>
#include <QStringList>

// Paths in a channel's file store. Both sides use the same rules: the server to confine every
// request to its channel's root, the library to pick the local name of a transfer.
namespace voicesdk::protocol {

// Whether one path segment may name a file or directory: not empty, not "." or "..", no slash,
// backslash, NUL or other control character, at most limits::FileNameBytes in UTF-8.
bool isSafeSegment(const QString& segment);

// Splits a store path ("/meeting/files/report.pdf") into its segments. Empty segments (a leading,
// trailing or doubled slash) are skipped, so "/" is the root and gives no segments. Any unsafe
// segment, or a path longer than limits::FilePathLength or deeper than limits::FilePathDepth,
// fails: nothing is ever resolved, only refused.
bool splitStorePath(const QString& path, QStringList* segments);

// The last segment of path as written ("a/b/" gives ""), for the local side of a transfer.
QString lastSegment(const QString& path);

} // namespace voicesdk::protocol

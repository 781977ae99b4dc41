// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>

namespace MeetingSupport {

enum class UncompressStatus { Ok, Corrupt, TooLarge };

// The inverse of qCompress (a 4-byte big-endian length, then a zlib stream) that never holds
// more than maxSize output bytes. qUncompress trusts the length field for its first allocation
// and then doubles its buffer until the stream fits, up to 2 GiB, so a few kilobytes from the
// network could make it allocate gigabytes. Here the length field is only a hint for the first
// reservation (capped by what the input could possibly expand to), and zlib inflates the stream
// in chunks, stopping as soon as the output would pass maxSize.
QByteArray boundedUncompress(const QByteArray& data, int maxSize,
                             UncompressStatus* status = nullptr);

} // namespace MeetingSupport

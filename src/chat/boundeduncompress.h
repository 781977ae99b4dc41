// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QIODevice>

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

class InflateDevicePrivate;

// Reads the output of qCompress data as a stream, inflating only as far as it is read and never
// past maxSize bytes: a decoder can read a picture's header, or the whole picture, without the
// inflated bytes being held at once. Reading fails at damaged data and at the limit.
class InflateDevice : public QIODevice
{
public:
    InflateDevice(const QByteArray& compressed, qint64 maxSize);
    ~InflateDevice() override;

    bool isSequential() const override { return true; }
    // Corrupt when the data is damaged, TooLarge when it went on past maxSize.
    UncompressStatus status() const;

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    InflateDevicePrivate* d;
};

} // namespace MeetingSupport

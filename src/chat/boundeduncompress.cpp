// SPDX-License-Identifier: MIT
#include "boundeduncompress.h"

#include <zlib.h>

namespace MeetingSupport {

namespace {

// Inflates the zlib stream in chunks, never letting the output pass maxSize.
UncompressStatus inflateBounded(const uchar* input, int size, int maxSize, QByteArray* out)
{
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK)
        return UncompressStatus::Corrupt;
    stream.next_in = const_cast<Bytef*>(input);
    stream.avail_in = uInt(size);

    constexpr int Chunk = 64 * 1024;
    UncompressStatus result = UncompressStatus::Corrupt;
    while (true) {
        const int used = out->size();
        const int room = qMin(Chunk, maxSize - used);
        // One byte past the limit tells a stream that ends exactly there from one that goes on.
        out->resize(used + room + 1);
        stream.next_out = reinterpret_cast<Bytef*>(out->data() + used);
        stream.avail_out = uInt(room + 1);
        const int code = inflate(&stream, Z_NO_FLUSH);
        out->resize(used + room + 1 - int(stream.avail_out));
        if (out->size() > maxSize) {
            result = UncompressStatus::TooLarge;
            break;
        }
        if (code == Z_STREAM_END) {
            result = UncompressStatus::Ok;
            break;
        }
        // A dictionary is never used by qCompress; anything else unfinished is damage.
        if (code != Z_OK || (stream.avail_in == 0 && stream.avail_out != 0))
            break;
    }
    inflateEnd(&stream);
    return result;
}

} // namespace

QByteArray boundedUncompress(const QByteArray& data, int maxSize, UncompressStatus* status)
{
    UncompressStatus result = UncompressStatus::Corrupt;
    QByteArray out;
    const auto* bytes = reinterpret_cast<const uchar*>(data.constData());
    maxSize = qMax(maxSize, 0);
    if (data.size() >= 4) {
        const quint32 stated = quint32(bytes[0]) << 24 | quint32(bytes[1]) << 16 |
                               quint32(bytes[2]) << 8 | quint32(bytes[3]);
        if (stated > quint32(maxSize)) {
            result = UncompressStatus::TooLarge;
        } else if (data.size() > 4) {
            // Deflate expands by at most 1032:1, so the field cannot honestly claim more.
            out.reserve(int(qMin<qint64>(stated, qint64(data.size() - 4) * 1032)));
            result = inflateBounded(bytes + 4, data.size() - 4, maxSize, &out);
        } else if (stated == 0) {
            result = UncompressStatus::Ok; // what qCompress makes of nothing
        }
    }
    if (result != UncompressStatus::Ok)
        out.clear();
    if (status)
        *status = result;
    return out;
}

class InflateDevicePrivate
{
public:
    QByteArray input;
    qint64 limit = 0;
    qint64 produced = 0;
    z_stream stream{};
    bool started = false;
    bool finished = false;
    UncompressStatus status = UncompressStatus::Ok;
};

InflateDevice::InflateDevice(const QByteArray& compressed, qint64 maxSize)
    : d(new InflateDevicePrivate)
{
    d->input = compressed;
    d->limit = qMax<qint64>(maxSize, 0);
    // The length field in front is the sender's claim; the stream itself decides.
    if (d->input.size() < 4 || inflateInit(&d->stream) != Z_OK) {
        d->status = UncompressStatus::Corrupt;
    } else {
        d->started = true;
        d->stream.next_in = reinterpret_cast<Bytef*>(d->input.data() + 4);
        d->stream.avail_in = uInt(d->input.size() - 4);
    }
    open(QIODevice::ReadOnly);
}

InflateDevice::~InflateDevice()
{
    if (d->started)
        inflateEnd(&d->stream);
    delete d;
}

UncompressStatus InflateDevice::status() const
{
    return d->status;
}

qint64 InflateDevice::readData(char* data, qint64 maxSize)
{
    if (d->status != UncompressStatus::Ok)
        return -1;
    if (d->finished || maxSize <= 0)
        return d->finished ? -1 : 0;
    qint64 total = 0;
    while (total < maxSize) {
        // One byte past the limit tells a stream that ends exactly there from one that goes on.
        const qint64 room = qMin(maxSize - total, d->limit - d->produced + 1);
        d->stream.next_out = reinterpret_cast<Bytef*>(data + total);
        d->stream.avail_out = uInt(qMin<qint64>(room, 1 << 20));
        const uInt offered = d->stream.avail_out;
        const int code = inflate(&d->stream, Z_NO_FLUSH);
        const qint64 got = qint64(offered - d->stream.avail_out);
        total += got;
        d->produced += got;
        if (d->produced > d->limit) {
            d->status = UncompressStatus::TooLarge;
            return -1;
        }
        if (code == Z_STREAM_END) {
            d->finished = true;
            break;
        }
        if (code != Z_OK || (got == 0 && d->stream.avail_in == 0)) {
            d->status = UncompressStatus::Corrupt;
            return total > 0 ? total : -1;
        }
    }
    return total;
}

} // namespace MeetingSupport

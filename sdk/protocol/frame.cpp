// SPDX-License-Identifier: MIT
#include "frame.h"

#include <QCborValue>
#include <QIODevice>
#include <QtEndian>

#include <cstring>

namespace voicesdk::protocol {

QByteArray encodeFrame(const QCborMap& message)
{
    QByteArray body = message.toCborValue().toCbor();
    if (body.isEmpty() || body.size() > MaxFrameSize)
        return {};
    QByteArray frame(FrameHeaderSize, Qt::Uninitialized);
    qToBigEndian<quint32>(quint32(body.size()), frame.data());
    frame.append(body);
    return frame;
}

namespace {
// A decoder keeps at most this much buffer while it holds no bytes; idle sessions stay small.
constexpr int IdleCapacity = 16 * 1024;
} // namespace

void FrameDecoder::release()
{
    m_buffer.reset();
    m_capacity = m_size = m_offset = 0;
}

void FrameDecoder::compact()
{
    if (m_offset == 0)
        return;
    if (m_offset == m_size) {
        if (m_capacity > IdleCapacity)
            release();
        m_size = m_offset = 0;
        return;
    }
    std::memmove(m_buffer.get(), m_buffer.get() + m_offset, size_t(m_size - m_offset));
    m_size -= m_offset;
    m_offset = 0;
}

char* FrameDecoder::reserveTail(int bytes)
{
    compact();
    if (m_capacity - m_size < bytes) {
        // Bounded by the callers: one read chunk beyond at most one incomplete frame.
        const int capacity = qMax(m_size + bytes, m_capacity + m_capacity / 2);
        std::unique_ptr<char[]> grown(new char[size_t(capacity)]);
        if (m_size > 0)
            std::memcpy(grown.get(), m_buffer.get(), size_t(m_size));
        m_buffer = std::move(grown);
        m_capacity = capacity;
    }
    return m_buffer.get() + m_size;
}

void FrameDecoder::append(const QByteArray& bytes)
{
    append(bytes.constData(), bytes.size());
}

void FrameDecoder::append(const char* data, int size)
{
    if (!m_error.isEmpty() || size <= 0)
        return;
    std::memcpy(reserveTail(size), data, size_t(size));
    m_size += size;
}

qint64 FrameDecoder::readFrom(QIODevice* device, qint64 maxBytes)
{
    if (!m_error.isEmpty())
        return -1;
    const int wanted = int(qBound<qint64>(1, device->bytesAvailable(), maxBytes));
    const qint64 got = device->read(reserveTail(wanted), wanted);
    if (got > 0)
        m_size += int(got);
    return got;
}

QByteArray FrameDecoder::takePending()
{
    const QByteArray rest(m_buffer.get() + m_offset, pending());
    release();
    return rest;
}

FrameDecoder::Result FrameDecoder::fail(const QString& reason)
{
    m_error = reason;
    release();
    return Error;
}

FrameDecoder::Result FrameDecoder::next(QCborMap* message)
{
    Frame frame;
    const Result result = nextFrame(&frame);
    return result == Message ? decode(frame, message) : result;
}

FrameDecoder::Result FrameDecoder::nextFrame(Frame* frame)
{
    if (!m_error.isEmpty())
        return Error;
    const int available = pending();
    if (available < FrameHeaderSize)
        return NeedMore;
    const char* start = m_buffer.get() + m_offset;
    const quint32 length = qFromBigEndian<quint32>(start);
    if (length == 0)
        return fail(QStringLiteral("empty frame"));
    if (length > quint32(m_maxFrameSize))
        return fail(QStringLiteral("frame of %1 bytes exceeds the limit of %2")
                        .arg(length)
                        .arg(m_maxFrameSize));
    if (quint32(available - FrameHeaderSize) < length)
        return NeedMore;
    frame->data = start + FrameHeaderSize;
    frame->size = int(length);
    m_offset += FrameHeaderSize + int(length);
    return Message;
}

FrameDecoder::Result FrameDecoder::decode(const Frame& frame, QCborMap* message)
{
    if (!m_error.isEmpty())
        return Error;
    const QByteArray body = QByteArray::fromRawData(frame.data, frame.size);
    QCborParserError parseError;
    const QCborValue value = QCborValue::fromCbor(body, &parseError);
    if (parseError.error != QCborError::NoError)
        return fail(QStringLiteral("malformed CBOR: %1").arg(parseError.errorString()));
    if (parseError.offset != body.size())
        return fail(QStringLiteral("trailing bytes after the CBOR value"));
    if (!value.isMap())
        return fail(QStringLiteral("frame is not a CBOR map"));
    QCborMap map = value.toMap();
    if (!map.value(TypeKey).isString())
        return fail(QStringLiteral("frame has no type"));
    *message = std::move(map);
    return Message;
}

} // namespace voicesdk::protocol

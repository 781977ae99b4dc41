// SPDX-License-Identifier: MIT
#include "frame.h"

#include <QCborValue>
#include <QIODevice>
#include <QtEndian>

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
constexpr size_t IdleCapacity = 16 * 1024;
} // namespace

void FrameDecoder::compact()
{
    if (m_offset == 0)
        return;
    if (size_t(m_offset) == m_buffer.size()) {
        if (m_buffer.capacity() > IdleCapacity)
            std::vector<char>().swap(m_buffer);
        else
            m_buffer.clear();
    } else {
        m_buffer.erase(m_buffer.begin(), m_buffer.begin() + m_offset);
    }
    m_offset = 0;
}

void FrameDecoder::append(const QByteArray& bytes)
{
    if (!m_error.isEmpty())
        return;
    compact();
    m_buffer.insert(m_buffer.end(), bytes.constBegin(), bytes.constEnd());
}

qint64 FrameDecoder::readFrom(QIODevice* device, qint64 maxBytes)
{
    if (!m_error.isEmpty())
        return -1;
    compact();
    const qint64 wanted = qMin(maxBytes, qMax<qint64>(device->bytesAvailable(), 1));
    const size_t old = m_buffer.size();
    m_buffer.resize(old + size_t(wanted));
    const qint64 got = device->read(m_buffer.data() + old, wanted);
    m_buffer.resize(old + size_t(qMax<qint64>(got, 0)));
    return got;
}

QByteArray FrameDecoder::takePending()
{
    QByteArray rest(m_buffer.data() + m_offset, pending());
    std::vector<char>().swap(m_buffer);
    m_offset = 0;
    return rest;
}

FrameDecoder::Result FrameDecoder::fail(const QString& reason)
{
    m_error = reason;
    std::vector<char>().swap(m_buffer);
    m_offset = 0;
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
    const char* start = m_buffer.data() + m_offset;
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

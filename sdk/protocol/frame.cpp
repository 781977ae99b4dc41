// SPDX-License-Identifier: MIT
#include "frame.h"

#include <QCborValue>
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

QByteArray FrameDecoder::takePending()
{
    QByteArray rest = m_buffer.mid(m_offset);
    m_buffer.clear();
    m_offset = 0;
    return rest;
}

FrameDecoder::Result FrameDecoder::fail(const QString& reason)
{
    m_error = reason;
    m_buffer.clear();
    m_offset = 0;
    return Error;
}

FrameDecoder::Result FrameDecoder::next(QCborMap* message)
{
    if (!m_error.isEmpty())
        return Error;
    const int available = m_buffer.size() - m_offset;
    if (available < FrameHeaderSize) {
        // Keep the buffer small: drop what was consumed.
        if (m_offset > 0) {
            m_buffer.remove(0, m_offset);
            m_offset = 0;
        }
        return NeedMore;
    }
    const quint32 length = qFromBigEndian<quint32>(m_buffer.constData() + m_offset);
    if (length == 0)
        return fail(QStringLiteral("empty frame"));
    if (length > quint32(m_maxFrameSize))
        return fail(QStringLiteral("frame of %1 bytes exceeds the limit of %2")
                        .arg(length)
                        .arg(m_maxFrameSize));
    if (quint32(available - FrameHeaderSize) < length) {
        if (m_offset > 0) {
            m_buffer.remove(0, m_offset);
            m_offset = 0;
        }
        return NeedMore;
    }
    const QByteArray body =
        QByteArray::fromRawData(m_buffer.constData() + m_offset + FrameHeaderSize, int(length));
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
    m_offset += FrameHeaderSize + int(length);
    if (m_offset == m_buffer.size()) {
        m_buffer.clear();
        m_offset = 0;
    }
    *message = std::move(map);
    return Message;
}

} // namespace voicesdk::protocol

// SPDX-License-Identifier: MIT
#include "screenpacket.h"

#include <QtEndian>

namespace voicesdk::protocol::screen {

namespace {

constexpr int VideoHeader = 2 + 4 + 1 + 1 + 2 + 2;
constexpr int CursorBody = 2 + 2 + 2 + 1;
constexpr int ShapeHeader = 2 + 2 + 2 + 2 + 2;

// Writes a packet: the length, the kind, then what the caller appends.
class Writer
{
public:
    Writer(Kind kind, int bodySize)
    {
        m_bytes.reserve(LengthBytes + 1 + bodySize);
        put32(quint32(1 + bodySize));
        m_bytes.append(char(kind));
    }
    void put8(quint8 v) { m_bytes.append(char(v)); }
    void put16(quint16 v)
    {
        char b[2];
        qToBigEndian(v, b);
        m_bytes.append(b, 2);
    }
    void put32(quint32 v)
    {
        char b[4];
        qToBigEndian(v, b);
        m_bytes.append(b, 4);
    }
    void putBytes(const QByteArray& bytes) { m_bytes.append(bytes); }
    QByteArray take() { return std::move(m_bytes); }

private:
    QByteArray m_bytes;
};

class Reader
{
public:
    Reader(const char* data, int size) : m_data(data), m_size(size) {}
    bool has(int n) const { return m_size - m_at >= n; }
    quint8 get8() { return quint8(m_data[m_at++]); }
    quint16 get16()
    {
        const quint16 v = qFromBigEndian<quint16>(m_data + m_at);
        m_at += 2;
        return v;
    }
    quint32 get32()
    {
        const quint32 v = qFromBigEndian<quint32>(m_data + m_at);
        m_at += 4;
        return v;
    }
    QByteArray rest()
    {
        QByteArray bytes(m_data + m_at, m_size - m_at);
        m_at = m_size;
        return bytes;
    }
    int left() const { return m_size - m_at; }

private:
    const char* m_data;
    int m_size;
    int m_at = 0;
};

bool fail(QString* error, const QString& why)
{
    if (error)
        *error = why;
    return false;
}

bool sizeOk(int width, int height)
{
    return width > 0 && height > 0 && width <= MaxWidth && height <= MaxHeight;
}

} // namespace

QByteArray encodeVideo(const Video& video)
{
    Writer w(Kind::Video, VideoHeader + video.data.size());
    w.put16(video.client);
    w.put32(video.frame);
    w.put8(video.flags);
    w.put8(quint8(video.codec));
    w.put16(video.width);
    w.put16(video.height);
    w.putBytes(video.data);
    return w.take();
}

QByteArray encodeCursor(const Cursor& cursor)
{
    Writer w(Kind::Cursor, CursorBody);
    w.put16(cursor.client);
    w.put16(cursor.x);
    w.put16(cursor.y);
    w.put8(cursor.visible ? 1 : 0);
    return w.take();
}

QByteArray encodeCursorShape(const CursorShape& shape)
{
    Writer w(Kind::CursorShape, ShapeHeader + shape.pixels.size());
    w.put16(shape.client);
    w.put16(shape.width);
    w.put16(shape.height);
    w.put16(shape.hotX);
    w.put16(shape.hotY);
    w.putBytes(shape.pixels);
    return w.take();
}

QByteArray encodeInput(const Input& input)
{
    int size = 3;
    switch (input.type) {
    case InputType::Move:
    case InputType::Wheel:
        size += 4;
        break;
    case InputType::Button:
        size += 2;
        break;
    case InputType::Key:
        size += 5;
        break;
    case InputType::Text:
        size += input.text.size();
        break;
    }
    Writer w(Kind::Input, size);
    w.put16(input.client);
    w.put8(quint8(input.type));
    switch (input.type) {
    case InputType::Move:
    case InputType::Wheel:
        w.put16(quint16(qint16(input.a)));
        w.put16(quint16(qint16(input.b)));
        break;
    case InputType::Button:
        w.put8(quint8(input.a));
        w.put8(quint8(input.b));
        break;
    case InputType::Key:
        w.put32(quint32(input.a));
        w.put8(quint8(input.b));
        break;
    case InputType::Text:
        w.putBytes(input.text);
        break;
    }
    return w.take();
}

QByteArray encodeKeyRequest(quint16 client, quint8 stream)
{
    Writer w(Kind::KeyRequest, 3);
    w.put16(client);
    w.put8(stream);
    return w.take();
}

QByteArray encodeLowStream(quint32 kbps)
{
    Writer w(Kind::LowStream, 4);
    w.put32(kbps);
    return w.take();
}

QByteArray withClient(const QByteArray& packet, quint16 client)
{
    QByteArray copy = packet;
    if (copy.size() >= LengthBytes + 3)
        qToBigEndian(client, copy.data() + LengthBytes + 1);
    return copy;
}

bool decodeVideo(const char* body, int size, Video* video, QString* error)
{
    Reader r(body, size);
    if (!r.has(VideoHeader + 1))
        return fail(error, QStringLiteral("video packet too short"));
    video->client = r.get16();
    video->frame = r.get32();
    video->flags = r.get8();
    const quint8 codec = r.get8();
    video->width = r.get16();
    video->height = r.get16();
    if (video->flags & ~(KeyFrame | LowFrame))
        return fail(error, QStringLiteral("video packet with unknown flags"));
    // VP8 only: its pictures change size only in key frames, which are checked before decoding.
    if (codec != quint8(Codec::Vp8))
        return fail(error, QStringLiteral("video packet of unknown codec %1").arg(codec));
    video->codec = Codec(codec);
    if (!sizeOk(video->width, video->height))
        return fail(error, QStringLiteral("video of %1 x %2 pixels is out of bounds")
                               .arg(video->width)
                               .arg(video->height));
    if (r.left() > MaxEncodedFrame)
        return fail(error, QStringLiteral("video frame of %1 bytes is too large").arg(r.left()));
    video->data = r.rest();
    return true;
}

bool decodeCursor(const char* body, int size, Cursor* cursor, QString* error)
{
    Reader r(body, size);
    if (size != CursorBody)
        return fail(error, QStringLiteral("cursor packet of a wrong size"));
    cursor->client = r.get16();
    cursor->x = r.get16();
    cursor->y = r.get16();
    const quint8 visible = r.get8();
    if (visible > 1 || cursor->x >= MaxWidth || cursor->y >= MaxHeight)
        return fail(error, QStringLiteral("cursor packet out of bounds"));
    cursor->visible = visible == 1;
    return true;
}

bool decodeCursorShape(const char* body, int size, CursorShape* shape, QString* error)
{
    Reader r(body, size);
    if (!r.has(ShapeHeader))
        return fail(error, QStringLiteral("cursor shape packet too short"));
    shape->client = r.get16();
    shape->width = r.get16();
    shape->height = r.get16();
    shape->hotX = r.get16();
    shape->hotY = r.get16();
    if (shape->width == 0 || shape->height == 0 || shape->width > MaxCursorSide ||
        shape->height > MaxCursorSide || shape->hotX >= shape->width ||
        shape->hotY >= shape->height)
        return fail(error, QStringLiteral("cursor shape out of bounds"));
    if (r.left() != int(shape->width) * shape->height * 4)
        return fail(error, QStringLiteral("cursor shape of a wrong size"));
    shape->pixels = r.rest();
    return true;
}

bool decodeInput(const char* body, int size, Input* input, QString* error)
{
    Reader r(body, size);
    if (!r.has(3))
        return fail(error, QStringLiteral("input packet too short"));
    input->client = r.get16();
    const quint8 type = r.get8();
    const int left = r.left();
    switch (InputType(type)) {
    case InputType::Move:
    case InputType::Wheel:
        if (left != 4)
            return fail(error, QStringLiteral("input packet of a wrong size"));
        input->type = InputType(type);
        input->a = qint16(r.get16());
        input->b = qint16(r.get16());
        if (input->type == InputType::Move &&
            (input->a < 0 || input->b < 0 || input->a >= MaxWidth || input->b >= MaxHeight))
            return fail(error, QStringLiteral("pointer position out of bounds"));
        return true;
    case InputType::Button:
        if (left != 2)
            return fail(error, QStringLiteral("input packet of a wrong size"));
        input->type = InputType::Button;
        input->a = r.get8();
        input->b = r.get8();
        if (input->a < 1 || input->a > 9 || input->b > 1)
            return fail(error, QStringLiteral("mouse button out of bounds"));
        return true;
    case InputType::Key:
        if (left != 5)
            return fail(error, QStringLiteral("input packet of a wrong size"));
        input->type = InputType::Key;
        input->a = qint32(r.get32());
        input->b = r.get8();
        // X keysyms fit in 29 bits.
        if (input->a <= 0 || input->a > 0x1FFFFFFF || input->b > 1)
            return fail(error, QStringLiteral("key out of bounds"));
        return true;
    case InputType::Text:
        if (left < 1 || left > MaxText)
            return fail(error, QStringLiteral("typed text of %1 bytes is out of bounds").arg(left));
        input->type = InputType::Text;
        input->text = r.rest();
        return true;
    }
    return fail(error, QStringLiteral("input of unknown type %1").arg(type));
}

bool decodeLowStream(const char* body, int size, quint32* kbps, QString* error)
{
    if (size != 4)
        return fail(error, QStringLiteral("low stream rate of a wrong size"));
    *kbps = qFromBigEndian<quint32>(body);
    return true;
}

bool decodeKeyRequest(const char* body, int size, quint16* client, quint8* stream, QString* error)
{
    if (size != 3 || quint8(body[2]) > ScaledStream)
        return fail(error, QStringLiteral("key request of a wrong size or stream"));
    *client = qFromBigEndian<quint16>(body);
    *stream = quint8(body[2]);
    return true;
}

void PacketReader::append(const char* data, int size)
{
    if (m_offset > 0 && m_offset == m_buffer.size()) {
        m_buffer.clear();
        m_offset = 0;
    } else if (m_offset > 64 * 1024 && m_offset > m_buffer.size() / 2) {
        m_buffer.remove(0, m_offset);
        m_offset = 0;
    }
    m_buffer.append(data, size);
}

PacketReader::Result PacketReader::next(Body* body)
{
    if (!m_error.isEmpty())
        return Error;
    const int available = m_buffer.size() - m_offset;
    if (available < LengthBytes)
        return NeedMore;
    const quint32 length = qFromBigEndian<quint32>(m_buffer.constData() + m_offset);
    if (length < 1 || length > quint32(m_maxLength)) {
        m_error = QStringLiteral("screen packet of %1 bytes is out of bounds").arg(length);
        return Error;
    }
    if (available < LengthBytes + int(length))
        return NeedMore;
    const char* start = m_buffer.constData() + m_offset + LengthBytes;
    const quint8 kind = quint8(start[0]);
    if (kind < quint8(Kind::Video) || kind > quint8(Kind::LowStream)) {
        m_error = QStringLiteral("screen packet of unknown kind %1").arg(kind);
        return Error;
    }
    body->kind = Kind(kind);
    body->data = start + 1;
    body->size = int(length) - 1;
    m_offset += LengthBytes + int(length);
    return Packet;
}

} // namespace voicesdk::protocol::screen

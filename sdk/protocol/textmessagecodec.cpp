// SPDX-License-Identifier: MIT
#include "textmessagecodec.h"

#include "protocol.h"

#include <QtEndian>

#include <cstring>
#include <limits>

namespace voicesdk::protocol {

namespace {

constexpr quint8 UnsignedMajor = 0;
constexpr quint8 NegativeMajor = 1;
constexpr quint8 TextMajor = 3;
constexpr quint8 MapMajor = 5;

// --- writing: the minimal heads QCborStreamWriter writes ---

int headSize(quint64 value)
{
    if (value < 24)
        return 1;
    if (value <= 0xff)
        return 2;
    if (value <= 0xffff)
        return 3;
    if (value <= 0xffffffffu)
        return 5;
    return 9;
}

char* putHead(char* out, quint8 major, quint64 value)
{
    const auto lead = [&](quint8 info) { *out++ = char((major << 5) | info); };
    if (value < 24) {
        lead(quint8(value));
    } else if (value <= 0xff) {
        lead(24);
        *out++ = char(value);
    } else if (value <= 0xffff) {
        lead(25);
        qToBigEndian<quint16>(quint16(value), out);
        out += 2;
    } else if (value <= 0xffffffffu) {
        lead(26);
        qToBigEndian<quint32>(quint32(value), out);
        out += 4;
    } else {
        lead(27);
        qToBigEndian<quint64>(value, out);
        out += 8;
    }
    return out;
}

// An integer as CBOR: unsigned, or negative n as -1 - n.
struct Integer
{
    explicit Integer(qint64 n)
        : major(n < 0 ? NegativeMajor : UnsignedMajor), value(n < 0 ? ~quint64(n) : quint64(n))
    {}
    quint8 major;
    quint64 value;
};

int sizeOf(Integer n)
{
    return headSize(n.value);
}
int sizeOf(Utf8View text)
{
    return headSize(quint64(text.size)) + text.size;
}
int sizeOf(QLatin1String text)
{
    return headSize(quint64(text.size())) + text.size();
}

char* put(char* out, Integer n)
{
    return putHead(out, n.major, n.value);
}
char* put(char* out, Utf8View text)
{
    out = putHead(out, TextMajor, quint64(text.size));
    if (text.size > 0)
        std::memcpy(out, text.data, size_t(text.size));
    return out + text.size;
}
char* put(char* out, QLatin1String text)
{
    return put(out, Utf8View{text.data(), text.size()});
}

// Writes the frame header and a definite map of the given key/value pairs in order.
template <typename... Items> QByteArray frameOf(quint64 pairs, const Items&... items)
{
    const int body = headSize(pairs) + (0 + ... + sizeOf(items));
    if (body > MaxFrameSize)
        return {};
    QByteArray frame(FrameHeaderSize + body, Qt::Uninitialized);
    char* out = frame.data();
    qToBigEndian<quint32>(quint32(body), out);
    out = putHead(out + FrameHeaderSize, MapMajor, pairs);
    ((out = put(out, items)), ...);
    Q_ASSERT(out == frame.constData() + frame.size());
    return frame;
}

// --- reading: exactly the layout above, anything else is refused ---

class Reader
{
public:
    Reader(const char* data, int size)
        : m_p(reinterpret_cast<const uchar*>(data)), m_end(m_p + size)
    {}

    bool atEnd() const { return m_p == m_end; }

    // A head of `major` with a definite argument.
    bool head(quint8 major, quint64* value)
    {
        if (m_p == m_end || (*m_p >> 5) != major)
            return false;
        const quint8 info = *m_p++ & 0x1f;
        if (info < 24) {
            *value = info;
            return true;
        }
        if (info > 27)
            return false; // indefinite lengths and reserved values
        const int bytes = 1 << (info - 24);
        if (m_end - m_p < bytes)
            return false;
        quint64 v = 0;
        for (int i = 0; i < bytes; ++i)
            v = (v << 8) | m_p[i];
        m_p += bytes;
        *value = v;
        return true;
    }

    bool mapOf(quint64 pairs)
    {
        quint64 value = 0;
        return head(MapMajor, &value) && value == pairs;
    }

    // A non-negative integer that fits qint64; larger ones decode as doubles generically.
    bool integer(qint64* out)
    {
        quint64 value = 0;
        if (!head(UnsignedMajor, &value) || value > quint64(std::numeric_limits<qint64>::max()))
            return false;
        *out = qint64(value);
        return true;
    }

    bool text(Utf8View* out, int* utf16Length)
    {
        quint64 length = 0;
        if (!head(TextMajor, &length) || length > quint64(m_end - m_p))
            return false;
        const char* data = reinterpret_cast<const char*>(m_p);
        const int units = utf16LengthOfUtf8(data, int(length));
        if (units < 0)
            return false;
        m_p += length;
        *out = Utf8View{data, int(length)};
        *utf16Length = units;
        return true;
    }

    // Exactly this ASCII text, encoded as our writer encodes it.
    bool literal(QLatin1String expected)
    {
        const int size = expected.size();
        if (size >= 24 || m_end - m_p < 1 + size || *m_p != (TextMajor << 5 | size) ||
            std::memcmp(m_p + 1, expected.data(), size_t(size)) != 0)
            return false;
        m_p += 1 + size;
        return true;
    }

private:
    const uchar* m_p;
    const uchar* m_end;
};

bool isContinuation(uchar byte)
{
    return (byte & 0xc0) == 0x80;
}

} // namespace

int utf16LengthOfUtf8(const char* data, int size)
{
    const auto* p = reinterpret_cast<const uchar*>(data);
    const uchar* const end = p + size;
    if (size >= 3 && p[0] == 0xef && p[1] == 0xbb && p[2] == 0xbf)
        return -1;
    int units = 0;
    while (p < end) {
        // Runs of ASCII eight bytes at a time.
        while (end - p >= 8) {
            quint64 word;
            std::memcpy(&word, p, sizeof word);
            if (word & 0x8080808080808080ull)
                break;
            p += 8;
            units += 8;
        }
        if (p == end)
            break;
        const uchar lead = *p;
        if (lead < 0x80) {
            ++p;
            ++units;
            continue;
        }
        const ptrdiff_t left = end - p;
        if (lead >= 0xc2 && lead <= 0xdf) {
            if (left < 2 || !isContinuation(p[1]))
                return -1;
            p += 2;
            units += 1;
        } else if (lead >= 0xe0 && lead <= 0xef) {
            if (left < 3 || !isContinuation(p[1]) || !isContinuation(p[2]))
                return -1;
            if ((lead == 0xe0 && p[1] < 0xa0) || (lead == 0xed && p[1] > 0x9f))
                return -1; // overlong, or a surrogate
            p += 3;
            units += 1;
        } else if (lead >= 0xf0 && lead <= 0xf4) {
            if (left < 4 || !isContinuation(p[1]) || !isContinuation(p[2]) || !isContinuation(p[3]))
                return -1;
            if ((lead == 0xf0 && p[1] < 0x90) || (lead == 0xf4 && p[1] > 0x8f))
                return -1; // overlong, or beyond U+10FFFF
            p += 4;
            units += 2;
        } else {
            return -1;
        }
    }
    return units;
}

QByteArray encodeTextRequestFrame(qint64 mode, qint64 target, Utf8View message,
                                  const Utf8View* returnCode)
{
    if (returnCode)
        return frameOf(5, TypeKey, type::Text, field::TargetMode, Integer(mode), field::Target,
                       Integer(target), field::Message, message, field::ReturnCode, *returnCode);
    return frameOf(4, TypeKey, type::Text, field::TargetMode, Integer(mode), field::Target,
                   Integer(target), field::Message, message);
}

QByteArray encodeTextMessageFrame(qint64 mode, qint64 fromId, Utf8View fromName,
                                  Utf8View fromUniqueId, Utf8View message, qint64 target)
{
    return frameOf(7, TypeKey, type::TextMessage, field::TargetMode, Integer(mode), field::FromId,
                   Integer(fromId), field::FromName, fromName, field::FromUniqueId, fromUniqueId,
                   field::Message, message, field::Target, Integer(target));
}

bool decodeTextRequest(const char* body, int size, TextRequest* request)
{
    Reader in(body, size);
    quint64 pairs = 0;
    if (!in.head(MapMajor, &pairs) || (pairs != 4 && pairs != 5))
        return false;
    TextRequest r;
    if (!in.literal(TypeKey) || !in.literal(type::Text) || !in.literal(field::TargetMode) ||
        !in.integer(&r.mode) || !in.literal(field::Target) || !in.integer(&r.target) ||
        !in.literal(field::Message) || !in.text(&r.message, &r.messageLength))
        return false;
    if (pairs == 5) {
        if (!in.literal(field::ReturnCode) || !in.text(&r.returnCode, &r.returnCodeLength))
            return false;
        r.hasReturnCode = true;
    }
    if (!in.atEnd())
        return false;
    *request = r;
    return true;
}

bool decodeTextMessage(const char* body, int size, TextMessageEvent* event)
{
    Reader in(body, size);
    TextMessageEvent e;
    if (!in.mapOf(7) || !in.literal(TypeKey) || !in.literal(type::TextMessage) ||
        !in.literal(field::TargetMode) || !in.integer(&e.mode) || !in.literal(field::FromId) ||
        !in.integer(&e.fromId) || !in.literal(field::FromName) ||
        !in.text(&e.fromName, &e.fromNameLength) || !in.literal(field::FromUniqueId) ||
        !in.text(&e.fromUniqueId, &e.fromUniqueIdLength) || !in.literal(field::Message) ||
        !in.text(&e.message, &e.messageLength) || !in.literal(field::Target) ||
        !in.integer(&e.target) || !in.atEnd())
        return false;
    *event = e;
    return true;
}

} // namespace voicesdk::protocol

// SPDX-License-Identifier: MIT
#include "boundeduncompress.h"

#include <QVector>

namespace MeetingSupport {

namespace {

constexpr int maxCodeBits = 15;
constexpr int tableSize = 1 << maxCodeBits;

// A canonical Huffman code as a direct lookup on the next 15 input bits. An entry holds
// symbol << 4 | code length; 0 where no code matches.
class Huffman
{
public:
    bool build(const quint8* lengths, int count)
    {
        int lengthCount[maxCodeBits + 1] = {};
        for (int i = 0; i < count; ++i)
            ++lengthCount[lengths[i]];
        lengthCount[0] = 0;
        int left = 1;
        for (int len = 1; len <= maxCodeBits; ++len) {
            left = (left << 1) - lengthCount[len];
            if (left < 0)
                return false; // more codes than the lengths allow
        }
        int nextCode[maxCodeBits + 1] = {};
        int code = 0;
        for (int len = 1; len <= maxCodeBits; ++len) {
            code = (code + lengthCount[len - 1]) << 1;
            nextCode[len] = code;
        }
        table.fill(0, tableSize);
        for (int symbol = 0; symbol < count; ++symbol) {
            const int len = lengths[symbol];
            if (len == 0)
                continue;
            // Deflate sends codes most significant bit first into a stream read from the least
            // significant end, so the table is indexed by the reversed code.
            int c = nextCode[len]++;
            int reversed = 0;
            for (int i = 0; i < len; ++i) {
                reversed = (reversed << 1) | (c & 1);
                c >>= 1;
            }
            const quint16 entry = quint16(symbol << 4 | len);
            for (int k = reversed; k < tableSize; k += 1 << len)
                table[k] = entry;
        }
        return true;
    }

    QVector<quint16> table;
};

const int lengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                            31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const int lengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                             2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const int distanceBase[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                              33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                              1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const int distanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                               6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

quint32 adler32(const QByteArray& data)
{
    quint32 a = 1, b = 0;
    const auto* p = reinterpret_cast<const uchar*>(data.constData());
    qsizetype left = data.size();
    while (left > 0) {
        // 5552 bytes is the most that cannot overflow b before the modulo.
        const qsizetype chunk = qMin<qsizetype>(left, 5552);
        for (qsizetype i = 0; i < chunk; ++i) {
            a += p[i];
            b += a;
        }
        a %= 65521;
        b %= 65521;
        p += chunk;
        left -= chunk;
    }
    return b << 16 | a;
}

class Inflater
{
public:
    Inflater(const uchar* data, int size, int maxSize) : m_in(data), m_size(size), m_max(maxSize) {}

    UncompressStatus run(QByteArray& out)
    {
        if (m_size < 2)
            return UncompressStatus::Corrupt;
        const int cmf = m_in[0], flg = m_in[1];
        // Deflate with a window of at most 32 KiB, a valid check value and no preset dictionary.
        if ((cmf & 0x0f) != 8 || (cmf >> 4) > 7 || ((cmf << 8) | flg) % 31 != 0 || (flg & 0x20))
            return UncompressStatus::Corrupt;
        m_pos = 2;
        bool last = false;
        while (!last) {
            last = bits(1);
            UncompressStatus status = UncompressStatus::Corrupt;
            switch (bits(2)) {
            case 0:
                status = stored(out);
                break;
            case 1:
                status = fixed(out);
                break;
            case 2:
                status = dynamic(out);
                break;
            default:
                break;
            }
            if (status != UncompressStatus::Ok)
                return status;
        }
        dropToByte();
        quint32 stated = 0;
        for (int i = 0; i < 4; ++i)
            stated = stated << 8 | bits(8);
        if (overrun() || stated != adler32(out))
            return UncompressStatus::Corrupt;
        return UncompressStatus::Ok;
    }

private:
    // Past the end of the input the reader delivers zero bytes; overrun() tells whether any of
    // them were consumed.
    void need(int n)
    {
        while (m_count < n) {
            quint64 byte = 0;
            if (m_pos < m_size)
                byte = m_in[m_pos++];
            else
                ++m_padding;
            m_bits |= byte << m_count;
            m_count += 8;
        }
    }
    bool overrun() const { return m_count < 8 * m_padding; }

    quint32 bits(int n)
    {
        need(n);
        const quint32 value = quint32(m_bits & ((quint64(1) << n) - 1));
        m_bits >>= n;
        m_count -= n;
        return value;
    }

    void dropToByte()
    {
        const int extra = m_count % 8;
        m_bits >>= extra;
        m_count -= extra;
    }

    int decode(const Huffman& code)
    {
        need(maxCodeBits);
        const quint16 entry = code.table[int(m_bits & (tableSize - 1))];
        const int len = entry & 15;
        if (len == 0)
            return -1;
        m_bits >>= len;
        m_count -= len;
        return entry >> 4;
    }

    UncompressStatus stored(QByteArray& out)
    {
        dropToByte();
        const quint32 len = bits(16);
        const quint32 check = bits(16);
        if (overrun() || len != (~check & 0xffff))
            return UncompressStatus::Corrupt;
        if (qint64(out.size()) + len > m_max)
            return UncompressStatus::TooLarge;
        for (quint32 i = 0; i < len; ++i)
            out.append(char(bits(8)));
        return overrun() ? UncompressStatus::Corrupt : UncompressStatus::Ok;
    }

    UncompressStatus fixed(QByteArray& out)
    {
        static const struct Fixed
        {
            Fixed()
            {
                quint8 lengths[288];
                for (int i = 0; i < 288; ++i)
                    lengths[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
                literal.build(lengths, 288);
                for (int i = 0; i < 30; ++i)
                    lengths[i] = 5;
                distance.build(lengths, 30);
            }
            Huffman literal, distance;
        } code;
        return codes(out, code.literal, code.distance);
    }

    UncompressStatus dynamic(QByteArray& out)
    {
        const int literalCount = int(bits(5)) + 257;
        const int distanceCount = int(bits(5)) + 1;
        const int lengthCodeCount = int(bits(4)) + 4;
        if (literalCount > 286 || distanceCount > 30)
            return UncompressStatus::Corrupt;
        static const int order[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                      11, 4,  12, 3, 13, 2, 14, 1, 15};
        quint8 lengths[286 + 30] = {};
        for (int i = 0; i < lengthCodeCount; ++i)
            lengths[order[i]] = quint8(bits(3));
        Huffman lengthCode;
        if (overrun() || !lengthCode.build(lengths, 19))
            return UncompressStatus::Corrupt;
        const int total = literalCount + distanceCount;
        int index = 0;
        while (index < total) {
            const int symbol = decode(lengthCode);
            if (symbol < 0 || overrun())
                return UncompressStatus::Corrupt;
            if (symbol < 16) {
                lengths[index++] = quint8(symbol);
                continue;
            }
            quint8 value = 0;
            int repeat = 0;
            if (symbol == 16) {
                if (index == 0)
                    return UncompressStatus::Corrupt;
                value = lengths[index - 1];
                repeat = 3 + int(bits(2));
            } else if (symbol == 17) {
                repeat = 3 + int(bits(3));
            } else {
                repeat = 11 + int(bits(7));
            }
            if (index + repeat > total)
                return UncompressStatus::Corrupt;
            while (repeat--)
                lengths[index++] = value;
        }
        if (lengths[256] == 0)
            return UncompressStatus::Corrupt; // no end-of-block code
        Huffman literal, distance;
        if (!literal.build(lengths, literalCount) ||
            !distance.build(lengths + literalCount, distanceCount))
            return UncompressStatus::Corrupt;
        return codes(out, literal, distance);
    }

    UncompressStatus codes(QByteArray& out, const Huffman& literal, const Huffman& distance)
    {
        for (;;) {
            int symbol = decode(literal);
            if (symbol < 0 || overrun())
                return UncompressStatus::Corrupt;
            if (symbol < 256) {
                if (out.size() >= m_max)
                    return UncompressStatus::TooLarge;
                out.append(char(symbol));
                continue;
            }
            if (symbol == 256)
                return UncompressStatus::Ok;
            symbol -= 257;
            if (symbol >= 29)
                return UncompressStatus::Corrupt;
            const int len = lengthBase[symbol] + int(bits(lengthExtra[symbol]));
            const int code = decode(distance);
            if (code < 0 || code >= 30)
                return UncompressStatus::Corrupt;
            const int dist = distanceBase[code] + int(bits(distanceExtra[code]));
            if (overrun() || dist > out.size())
                return UncompressStatus::Corrupt;
            if (qint64(out.size()) + len > m_max)
                return UncompressStatus::TooLarge;
            const int from = out.size() - dist;
            for (int i = 0; i < len; ++i)
                out.append(out.at(from + i));
        }
    }

    const uchar* m_in;
    int m_size;
    int m_max;
    int m_pos = 0;
    quint64 m_bits = 0;
    int m_count = 0;
    int m_padding = 0;
};

} // namespace

QByteArray boundedUncompress(const QByteArray& data, int maxSize, UncompressStatus* status)
{
    UncompressStatus result = UncompressStatus::Corrupt;
    QByteArray out;
    const auto* bytes = reinterpret_cast<const uchar*>(data.constData());
    if (data.size() >= 4) {
        const quint32 stated = quint32(bytes[0]) << 24 | quint32(bytes[1]) << 16 |
                               quint32(bytes[2]) << 8 | quint32(bytes[3]);
        if (stated > quint32(qMax(maxSize, 0))) {
            result = UncompressStatus::TooLarge;
        } else if (data.size() > 4) {
            // Deflate expands by at most 1032:1, so the field cannot honestly claim more.
            out.reserve(int(qMin<qint64>(stated, qint64(data.size() - 4) * 1032)));
            result = Inflater(bytes + 4, data.size() - 4, maxSize).run(out);
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

} // namespace MeetingSupport

// SPDX-License-Identifier: MIT
#include "voicepacket.h"

#include <QtEndian>

#include <algorithm>

namespace voicesdk::protocol::voice {

namespace {

constexpr quint8 KnownFlags = EndOfSpeech | WithPrevious | WithOlder;

void put16(QByteArray* out, quint16 value)
{
    char b[2];
    qToBigEndian(value, b);
    out->append(b, 2);
}

void put32(QByteArray* out, quint32 value)
{
    char b[4];
    qToBigEndian(value, b);
    out->append(b, 4);
}

QByteArray header(Kind kind)
{
    QByteArray out;
    out.reserve(MaxDatagram);
    out.append(char(DatagramVersion));
    out.append(char(kind));
    return out;
}

} // namespace

int payloadSize(const Frame& frame)
{
    if (frame.previous.isEmpty())
        return frame.payload.size();
    int size = PreviousLengthBytes + frame.payload.size() + frame.previous.size();
    if (!frame.older.isEmpty())
        size += PreviousLengthBytes;
    for (const QByteArray& copy : frame.older)
        size += PreviousLengthBytes + copy.size();
    return size;
}

void keepCopies(Frame* frame, int copies)
{
    if (copies <= 0)
        frame->previous.clear();
    if (frame->previous.isEmpty() || copies <= 1)
        frame->older.clear();
    else if (frame->older.size() > copies - 1)
        frame->older.resize(copies - 1);
}

QByteArray encodeFrame(const Frame& frame)
{
    const bool withPrevious = !frame.previous.isEmpty();
    const bool withOlder = withPrevious && !frame.older.isEmpty();
    QByteArray out;
    out.reserve(FrameHeaderBytes + payloadSize(frame));
    put16(&out, frame.clientId);
    put16(&out, frame.sequence);
    put32(&out, frame.timestamp);
    quint8 flags = frame.flags & ~(WithPrevious | WithOlder);
    if (withPrevious)
        flags |= WithPrevious;
    if (withOlder)
        flags |= WithOlder;
    out.append(char(flags));
    if (withPrevious)
        put16(&out, quint16(frame.payload.size()));
    out.append(frame.payload);
    if (withOlder)
        put16(&out, quint16(frame.previous.size()));
    if (withPrevious)
        out.append(frame.previous);
    if (withOlder) {
        for (const QByteArray& copy : frame.older) {
            put16(&out, quint16(copy.size()));
            out.append(copy);
        }
    }
    return out;
}

namespace {

// One part of at least a byte, after its length, within [*at, end); false when it does not fit.
bool takePart(const char* data, int* at, int end, QByteArray* part)
{
    if (end - *at < PreviousLengthBytes + 1)
        return false;
    const int length = qFromBigEndian<quint16>(data + *at);
    *at += PreviousLengthBytes;
    if (length < 1 || length > end - *at)
        return false;
    *part = QByteArray(data + *at, length);
    *at += length;
    return true;
}

} // namespace

bool decodeFrame(const char* data, int size, Frame* frame)
{
    if (size < FrameHeaderBytes + 1 || size > FrameHeaderBytes + MaxPayload)
        return false;
    const quint8 flags = quint8(data[8]);
    if ((flags & ~KnownFlags) || ((flags & WithOlder) && !(flags & WithPrevious)))
        return false;
    frame->older.clear();
    if (flags & WithOlder) {
        // Every part holds at least one byte, and the copies end where the payload does.
        int at = FrameHeaderBytes;
        if (!takePart(data, &at, size, &frame->payload) ||
            !takePart(data, &at, size, &frame->previous))
            return false;
        while (at < size) {
            QByteArray copy;
            if (1 + frame->older.size() >= MaxCopies || !takePart(data, &at, size, &copy))
                return false;
            frame->older.append(copy);
        }
        if (frame->older.isEmpty())
            return false;
    } else if (flags & WithPrevious) {
        const char* payload = data + FrameHeaderBytes;
        const int payloadBytes = size - FrameHeaderBytes;
        // Both parts hold at least one byte.
        if (payloadBytes < PreviousLengthBytes + 2)
            return false;
        const int length = qFromBigEndian<quint16>(payload);
        if (length < 1 || length > payloadBytes - PreviousLengthBytes - 1)
            return false;
        frame->payload = QByteArray(payload + PreviousLengthBytes, length);
        frame->previous = QByteArray(payload + PreviousLengthBytes + length,
                                     payloadBytes - PreviousLengthBytes - length);
    } else {
        frame->payload = QByteArray(data + FrameHeaderBytes, size - FrameHeaderBytes);
        frame->previous.clear();
    }
    frame->clientId = qFromBigEndian<quint16>(data);
    frame->sequence = qFromBigEndian<quint16>(data + 2);
    frame->timestamp = qFromBigEndian<quint32>(data + 4);
    frame->flags = flags;
    return true;
}

QByteArray clientVoiceDatagram(const QByteArray& token, const Frame& frame)
{
    QByteArray out = header(Kind::Voice);
    out.append(token);
    out.append(encodeFrame(frame));
    return out;
}

QByteArray pingDatagram(const QByteArray& token, quint32 nonce)
{
    QByteArray out = header(Kind::Ping);
    out.append(token);
    put32(&out, nonce);
    return out;
}

QByteArray serverVoiceDatagram(const QByteArray& frameBytes)
{
    QByteArray out = header(Kind::Voice);
    out.append(frameBytes);
    return out;
}

QByteArray pongDatagram(quint32 nonce)
{
    QByteArray out = header(Kind::Pong);
    put32(&out, nonce);
    return out;
}

bool decodeClientDatagram(const char* data, int size, ClientDatagram* out)
{
    if (size < 2 + TokenSize + 4 || size > MaxDatagram || quint8(data[0]) != DatagramVersion)
        return false;
    const char* body = data + 2 + TokenSize;
    const int bodySize = size - 2 - TokenSize;
    switch (Kind(quint8(data[1]))) {
    case Kind::Voice:
        if (!decodeFrame(body, bodySize, &out->frame))
            return false;
        out->kind = Kind::Voice;
        out->frameBytes = QByteArray(body, bodySize);
        break;
    case Kind::Ping:
        if (bodySize != 4)
            return false;
        out->kind = Kind::Ping;
        out->nonce = qFromBigEndian<quint32>(body);
        break;
    default:
        return false;
    }
    out->token = QByteArray(data + 2, TokenSize);
    return true;
}

bool decodeServerDatagram(const char* data, int size, ServerDatagram* out)
{
    if (size < 2 + 4 || size > MaxDatagram || quint8(data[0]) != DatagramVersion)
        return false;
    switch (Kind(quint8(data[1]))) {
    case Kind::Voice:
        out->kind = Kind::Voice;
        return decodeFrame(data + 2, size - 2, &out->frame);
    case Kind::Pong:
        if (size != 6)
            return false;
        out->kind = Kind::Pong;
        out->nonce = qFromBigEndian<quint32>(data + 2);
        return true;
    default:
        return false;
    }
}

bool SequenceWindow::accept(quint16 sequence)
{
    if (!m_started) {
        m_started = true;
        m_newest = sequence;
        m_seen = 1;
        return true;
    }
    const qint16 ahead = qint16(quint16(sequence - m_newest));
    if (ahead > 0) {
        m_seen = ahead >= 64 ? 0 : m_seen << ahead;
        m_seen |= 1;
        m_newest = sequence;
        return true;
    }
    const int behind = -ahead;
    if (behind >= WindowSize)
        return false;
    const quint64 bit = quint64(1) << behind;
    if (m_seen & bit)
        return false;
    m_seen |= bit;
    return true;
}

void LossMeter::frame(quint16 sequence)
{
    const qint16 ahead = qint16(quint16(sequence - m_newest));
    if (!m_started || ahead > MaxJump) {
        m_started = true;
        m_newest = sequence;
        m_seen = 1;
        m_span = 1;
        m_run = 0;
        ++m_arrived[m_current];
        return;
    }
    if (ahead > 0) {
        for (int step = 0; step < ahead; ++step) {
            // The frame ReorderFrames behind the newest is judged now.
            if (m_span >= ReorderFrames) {
                ++m_judged[m_current];
                if (!(m_seen & (quint64(1) << (ReorderFrames - 1)))) {
                    ++m_lost[m_current];
                    ++m_run;
                } else if (m_run > 0) {
                    ++m_runs[m_current][std::min(m_run, MaxBurst) - 1];
                    m_run = 0;
                }
            }
            m_seen <<= 1;
            m_span = std::min(m_span + 1, 64);
        }
        m_seen |= 1;
        m_newest = sequence;
    } else {
        const int behind = -ahead;
        if (behind >= m_span || (m_seen & (quint64(1) << behind)))
            return;                     // seen already, or from before the count began
        m_seen |= quint64(1) << behind; // late: judged lost if it came too late to help
        ++m_overtaken[m_current];
    }
    ++m_arrived[m_current];
}

void LossMeter::rotate()
{
    m_current = (m_current + 1) % WindowSeconds;
    m_judged[m_current] = 0;
    m_lost[m_current] = 0;
    m_arrived[m_current] = 0;
    m_overtaken[m_current] = 0;
    std::fill(std::begin(m_runs[m_current]), std::end(m_runs[m_current]), 0);
}

int LossMeter::lossPercent() const
{
    int judged = 0;
    int lost = 0;
    for (int i = 0; i < WindowSeconds; ++i) {
        judged += m_judged[i];
        lost += m_lost[i];
    }
    if (judged <= 0)
        return 0;
    return std::min(100, (100 * lost + judged - 1) / judged);
}

int LossMeter::burstLength() const
{
    // Lost frames by the length of the run they belong to.
    int frames[MaxBurst] = {};
    int total = 0;
    for (int length = 1; length <= MaxBurst; ++length) {
        for (int i = 0; i < WindowSeconds; ++i)
            frames[length - 1] += length * m_runs[i][length - 1];
        if (length == std::min(m_run, MaxBurst))
            frames[length - 1] += length;
        total += frames[length - 1];
    }
    if (total == 0)
        return 0;
    int covered = 0;
    for (int length = 1; length <= MaxBurst; ++length) {
        covered += frames[length - 1];
        if (100 * covered >= BurstCoverPercent * total)
            return length;
    }
    return MaxBurst;
}

bool LossMeter::overtaken() const
{
    for (int i = 0; i < WindowSeconds; ++i) {
        if (m_overtaken[i] > 0)
            return true;
    }
    return false;
}

bool LossMeter::idle() const
{
    for (int i = 0; i < WindowSeconds; ++i) {
        if (m_arrived[i] > 0)
            return false;
    }
    return true;
}

bool LogThrottle::allow(qint64 nowMs, int* suppressed)
{
    if (m_last >= 0 && nowMs - m_last < m_interval) {
        ++m_held;
        return false;
    }
    *suppressed = m_held;
    m_held = 0;
    m_last = nowMs;
    return true;
}

bool RateLimiter::take(qint64 nowMs)
{
    if (m_last >= 0)
        m_tokens = qMin(m_burst, m_tokens + double(nowMs - m_last) * m_rate / 1000.0);
    m_last = nowMs;
    if (m_tokens < 1.0)
        return false;
    m_tokens -= 1.0;
    return true;
}

} // namespace voicesdk::protocol::voice

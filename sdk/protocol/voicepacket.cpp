// SPDX-License-Identifier: MIT
#include "voicepacket.h"

#include <QtEndian>

namespace voicesdk::protocol::voice {

namespace {

constexpr quint8 KnownFlags = EndOfSpeech;

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

QByteArray encodeFrame(const Frame& frame)
{
    QByteArray out;
    out.reserve(FrameHeaderBytes + frame.payload.size());
    put16(&out, frame.clientId);
    put16(&out, frame.sequence);
    put32(&out, frame.timestamp);
    out.append(char(frame.flags));
    out.append(frame.payload);
    return out;
}

bool decodeFrame(const char* data, int size, Frame* frame)
{
    if (size < FrameHeaderBytes + 1 || size > FrameHeaderBytes + MaxPayload)
        return false;
    const quint8 flags = quint8(data[8]);
    if (flags & ~KnownFlags)
        return false;
    frame->clientId = qFromBigEndian<quint16>(data);
    frame->sequence = qFromBigEndian<quint16>(data + 2);
    frame->timestamp = qFromBigEndian<quint32>(data + 4);
    frame->flags = flags;
    frame->payload = QByteArray(data + FrameHeaderBytes, size - FrameHeaderBytes);
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

// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>

#include <cstdint>

// The voice datagrams (docs/protocol.md, "Voice"). Everything here is read from untrusted bytes:
// every decoder checks sizes before it touches a byte and refuses anything not in exactly the
// layout below.
namespace voicesdk::protocol::voice {

constexpr quint8 DatagramVersion = 1;
constexpr int TokenSize = 16;
constexpr int MaxPayload = 1275;  // the largest Opus frame
constexpr int FrameSamples = 960; // 20 ms at 48 kHz: what one timestamp step counts
constexpr int MaxDatagram = 2 + TokenSize + 9 + MaxPayload;

enum class Kind : quint8 { Voice = 1, Ping = 2, Pong = 3 };

enum Flags : quint8 {
    EndOfSpeech = 0x01, // the last frame before the sender goes quiet
};

// One voice frame as it travels in a datagram or tunnelled: who speaks (set by the server,
// 0 from a client), its sequence number, its capture time in samples at 48 kHz, the flags and
// the Opus data.
struct Frame
{
    quint16 clientId = 0;
    quint16 sequence = 0;
    quint32 timestamp = 0;
    quint8 flags = 0;
    QByteArray payload;
};

constexpr int FrameHeaderBytes = 9;

// The frame's bytes: header, then the payload (1 to MaxPayload bytes).
QByteArray encodeFrame(const Frame& frame);
// False for anything shorter than a header, with an empty or oversized payload, or with flags
// this version does not know.
bool decodeFrame(const char* data, int size, Frame* frame);

// Datagrams. Client to server: version, kind, token, then a frame (voice) or a 4-byte nonce
// (ping). Server to client: version, kind, then a frame (voice) or the nonce (pong).
QByteArray clientVoiceDatagram(const QByteArray& token, const Frame& frame);
QByteArray pingDatagram(const QByteArray& token, quint32 nonce);
QByteArray serverVoiceDatagram(const QByteArray& frameBytes);
QByteArray pongDatagram(quint32 nonce);

struct ClientDatagram
{
    Kind kind = Kind::Voice;
    QByteArray token;
    Frame frame;           // voice
    QByteArray frameBytes; // voice: the frame as received, for forwarding
    quint32 nonce = 0;     // ping
};
bool decodeClientDatagram(const char* data, int size, ClientDatagram* out);

struct ServerDatagram
{
    Kind kind = Kind::Voice;
    Frame frame;       // voice
    quint32 nonce = 0; // pong
};
bool decodeServerDatagram(const char* data, int size, ServerDatagram* out);

// Which sequence numbers of one sender were seen: a replayed frame, or one more than
// WindowSize frames older than the newest, is refused. Sequence numbers wrap at 2^16.
class SequenceWindow
{
public:
    static constexpr int WindowSize = 64;
    // True when the frame is new; then it counts as seen.
    bool accept(quint16 sequence);
    void reset() { m_started = false; }

private:
    bool m_started = false;
    quint16 m_newest = 0;
    quint64 m_seen = 0; // bit i: newest - i was seen
};

// At most one line per interval for a kind of trouble, with a count of the ones kept quiet.
class LogThrottle
{
public:
    explicit LogThrottle(qint64 intervalMs = 5000) : m_interval(intervalMs) {}
    // True when a line may be written now; *suppressed tells how many were held back since.
    bool allow(qint64 nowMs, int* suppressed);

private:
    qint64 m_interval;
    qint64 m_last = -1;
    int m_held = 0;
};

// Token bucket: up to burst at once, then rate per second.
class RateLimiter
{
public:
    RateLimiter(double ratePerSecond, double burst)
        : m_rate(ratePerSecond), m_burst(burst), m_tokens(burst)
    {}
    bool take(qint64 nowMs);

private:
    double m_rate;
    double m_burst;
    double m_tokens;
    qint64 m_last = -1;
};

} // namespace voicesdk::protocol::voice

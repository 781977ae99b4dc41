// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QVector>

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
    // The payload carries the previous frame too (sequence - 1, timestamp - FrameSamples): its
    // length (2 bytes), this frame's Opus, then the previous frame's Opus.
    WithPrevious = 0x02,
    // With WithPrevious: copies of older frames follow the previous one (sequence - 2, - 3, ...),
    // and every copy, the previous one included, is preceded by its length (2 bytes).
    WithOlder = 0x04,
};

// Copies a frame may carry: the previous frame and up to three older ones.
constexpr int MaxCopies = 4;

// One voice frame as it travels in a datagram or tunnelled: who speaks (set by the server,
// 0 from a client), its sequence number, its capture time in samples at 48 kHz, the flags, the
// Opus data and, on a lossy link, a copy of the frame before and, where losses come in bursts,
// of older ones (often coded at a lower rate).
struct Frame
{
    quint16 clientId = 0;
    quint16 sequence = 0;
    quint32 timestamp = 0;
    quint8 flags = 0; // WithPrevious and WithOlder follow `previous` and `older`
    QByteArray payload;
    QByteArray previous;       // empty: no copy
    QVector<QByteArray> older; // copies of sequence - 2, - 3, ...; only beside `previous`

    int copies() const { return previous.isEmpty() ? 0 : 1 + older.size(); }
    // The copy of the frame `back` frames before this one (1: the previous), or null.
    const QByteArray* copy(int back) const
    {
        if (back == 1 && !previous.isEmpty())
            return &previous;
        return back >= 2 && back - 2 < older.size() && !previous.isEmpty() ? &older[back - 2]
                                                                           : nullptr;
    }
};

constexpr int FrameHeaderBytes = 9;
constexpr int PreviousLengthBytes = 2;

// The frame's bytes: header, then the payload (1 to MaxPayload bytes, the copy included).
QByteArray encodeFrame(const Frame& frame);
// False for anything shorter than a header, with an empty or oversized payload, with flags
// this version does not know, or with a copy whose length does not fit.
bool decodeFrame(const char* data, int size, Frame* frame);
// Whether a copy of previousBytes fits beside a frame of payloadBytes.
constexpr bool previousFits(int payloadBytes, int previousBytes)
{
    return PreviousLengthBytes + payloadBytes + previousBytes <= MaxPayload;
}
// The payload's size with these copies; above MaxPayload they do not fit.
int payloadSize(const Frame& frame);
// The frame as a listener that reads at most `copies` copies gets it: older copies cut (a
// listener of one copy), or all of them (one that reads none). The Opus is never looked into.
void keepCopies(Frame* frame, int copies);

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

// A listener's measure of one speaker's link: the frames that never arrived, told by the gaps in
// their sequence numbers (the sender numbers only the frames it sends, so silence left out is
// no gap), over the last WindowSeconds. A frame counts as lost once ReorderFrames newer ones
// came without it, so frames that only overtake each other are no loss. Copies of lost frames
// do not count as arrivals: the link is measured, not what was recovered.
class LossMeter
{
public:
    static constexpr int WindowSeconds = 5;
    static constexpr int ReorderFrames = 4;
    static constexpr int MaxBurst = 16; // longer runs of lost frames count as this long
    // The share of the lost frames that burstLength() covers, in per cent.
    static constexpr int BurstCoverPercent = 90;
    // A frame arrived.
    void frame(quint16 sequence);
    // Once a second: the oldest second leaves the window.
    void rotate();
    // The share of the frames judged in the window that were lost, in per cent rounded up.
    int lossPercent() const;
    // How losses cluster: the shortest run length such that runs of lost frames no longer than
    // it hold BurstCoverPercent of the frames lost in the window (1: lost one at a time); 0
    // without loss. A run still going on counts as far as it has got.
    int burstLength() const;
    // Frames arrived since the last rotate().
    bool heardThisSecond() const { return m_arrived[m_current] > 0; }
    // Nothing arrived in the whole window.
    bool idle() const;
    // A frame arrived after a newer one in the window: frames overtake each other.
    bool overtaken() const;

private:
    static constexpr int MaxJump = 50 * WindowSeconds; // more ahead: a new count, not a loss
    bool m_started = false;
    quint16 m_newest = 0;
    quint64 m_seen = 0; // bit i: newest - i arrived
    int m_span = 0;     // how many of those bits stand for frames since the count began
    int m_judged[WindowSeconds] = {};
    int m_lost[WindowSeconds] = {};
    int m_arrived[WindowSeconds] = {};
    int m_overtaken[WindowSeconds] = {};
    int m_runs[WindowSeconds][MaxBurst] = {}; // runs of lost frames by length - 1
    int m_run = 0;                            // lost frames in a row, judged so far
    int m_current = 0;
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

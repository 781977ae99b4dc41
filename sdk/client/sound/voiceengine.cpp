// SPDX-License-Identifier: MIT
#include "voiceengine.h"

#include "soundmanager.h"
#include "voicepacket.h"

#include "../core.h"
#include "../library.h"

#include <opus/opus.h>
#include <speex/speex_echo.h>
#include <speex/speex_jitter.h>
#include <speex/speex_preprocess.h>

#include <QDateTime>

#include <array>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace voicesdk::sound {

namespace {

constexpr auto FrameDuration = std::chrono::milliseconds(20);
constexpr auto Tick = std::chrono::milliseconds(5);
// Devices paced by the voice thread get their frames this much before they are due, so a tick
// that comes late never leaves a hole.
constexpr auto PlaybackLead = Tick;
constexpr qint64 ClockedQueueTarget = FrameSamples + FrameSamples / 4;
constexpr int MaxCatchUp = 10; // frames; beyond that the pacing starts again from now
// A clocked microphone holds at most this many frames that went by while it was not read.
constexpr int MaxStale = 64;
constexpr int EchoTailSamples = SampleRate / 5; // 200 ms of speaker-to-microphone path
// The preprocessor's overlap delays its output by one of its frames: it runs on half frames, so
// it costs 10 ms instead of 20. The echo canceller shares its frame size.
constexpr int DspSamples = FrameSamples / 2;
constexpr int IdleAfterMissing = 30; // 600 ms without a frame ends a speaker's turn
constexpr int MaxOpusBytes = protocol::voice::MaxPayload;
constexpr int VoiceBitRate = 32000;
constexpr int RealtimePriority = 10; // of SCHED_FIFO's 1 to 99: above ordinary work, below IRQs
constexpr int RaisedNice = -10;
// The older copies together cost at most one more frame of the main rate, so a frame with all
// its copies stays within three times the clean rate; never above this, where the ear gains
// little for a copy that is played only when both the frame and its full copy are lost.
constexpr int MaxLowBitRate = 16000;
constexpr int MinLowBitRate = 8000;

float gainOf(float decibels)
{
    return std::pow(10.0f, decibels / 20.0f);
}

void logThrottled(protocol::voice::LogThrottle& throttle, uint64 handler, const QString& what)
{
    int held = 0;
    if (throttle.allow(QDateTime::currentMSecsSinceEpoch(), &held))
        log(LogLevel_WARNING, "Voice",
            held ? QStringLiteral("%1 (and %2 more)").arg(what).arg(held) : what, handler);
}

// A short two-note chime: rising when someone comes, falling when someone goes.
std::vector<int16_t> makeChime(Notification kind)
{
    const double notes[2] = {660.0, 990.0};
    const int noteSamples = SampleRate * 7 / 100;
    const int fade = SampleRate / 200;
    std::vector<int16_t> out;
    out.reserve(size_t(2 * noteSamples));
    for (int n = 0; n < 2; ++n) {
        const double f = notes[kind == Notification::ClientEntered ? n : 1 - n];
        for (int i = 0; i < noteSamples; ++i) {
            const double envelope =
                std::min({1.0, double(i) / fade, double(noteSamples - 1 - i) / fade});
            out.push_back(int16_t(
                std::lround(4000.0 * envelope * std::sin(2.0 * M_PI * f * i / SampleRate))));
        }
    }
    return out;
}

} // namespace

struct VoiceEngine::Dsp
{
    Dsp()
    {
        int error = 0;
        encoder = opus_encoder_create(SampleRate, 1, OPUS_APPLICATION_VOIP, &error);
        if (encoder) {
            opus_encoder_ctl(encoder, OPUS_SET_BITRATE(VoiceBitRate));
            opus_encoder_ctl(encoder, OPUS_SET_INBAND_FEC(1));
            opus_encoder_ctl(encoder, OPUS_SET_PACKET_LOSS_PERC(DefaultExpectedLoss));
            opus_encoder_ctl(encoder, OPUS_SET_DTX(1));
        }
        preprocess = speex_preprocess_state_init(DspSamples, SampleRate);
        // Noise suppression only: voice activation is decided on the cleaned level (the
        // preprocessor's own detector is off by default), and no gain control, so levels stay
        // what the user set.
        spx_int32_t on = 1;
        spx_int32_t off = 0;
        speex_preprocess_ctl(preprocess, SPEEX_PREPROCESS_SET_DENOISE, &on);
        speex_preprocess_ctl(preprocess, SPEEX_PREPROCESS_SET_AGC, &off);
    }
    ~Dsp()
    {
        if (encoder)
            opus_encoder_destroy(encoder);
        if (lowRate)
            opus_encoder_destroy(lowRate);
        speex_preprocess_state_destroy(preprocess);
        if (echo)
            speex_echo_state_destroy(echo);
    }
    void setEcho(bool on)
    {
        if (on == (echo != nullptr))
            return;
        if (on) {
            echo = speex_echo_state_init(DspSamples, EchoTailSamples);
            spx_int32_t rate = SampleRate;
            speex_echo_ctl(echo, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
            speex_preprocess_ctl(preprocess, SPEEX_PREPROCESS_SET_ECHO_STATE, echo);
        } else {
            speex_preprocess_ctl(preprocess, SPEEX_PREPROCESS_SET_ECHO_STATE, nullptr);
            speex_echo_state_destroy(echo);
            echo = nullptr;
        }
    }

    // The older copies' encoder, at bitRate; null when no older copies are sent.
    void setLowRate(int bitRate)
    {
        if (bitRate <= 0) {
            if (lowRate)
                opus_encoder_destroy(lowRate);
            lowRate = nullptr;
            return;
        }
        if (!lowRate) {
            int error = 0;
            lowRate = opus_encoder_create(SampleRate, 1, OPUS_APPLICATION_VOIP, &error);
            if (!lowRate)
                return;
            // Every frame sent gets its copy: no silence left out here.
            opus_encoder_ctl(lowRate, OPUS_SET_DTX(0));
            opus_encoder_ctl(lowRate, OPUS_SET_INBAND_FEC(0));
        }
        opus_encoder_ctl(lowRate, OPUS_SET_BITRATE(bitRate));
    }

    OpusEncoder* encoder = nullptr;
    OpusEncoder* lowRate = nullptr;
    SpeexPreprocessState* preprocess = nullptr;
    SpeexEchoState* echo = nullptr;
    protocol::voice::LogThrottle codecLog;
    protocol::voice::LogThrottle inputLog;
};

// One member of the channel who is heard: its frames in a jitter buffer of our own, decoded in
// time order.
//
// The buffer plays each frame a fixed time after it was said: long enough for all but the
// slowest few of the last seconds' frames to arrive in time, and, while this listener loses the
// speaker's frames, for the frames that carry copies of a missing one to be here too: as many
// as the copies in each frame and the runs of lost frames here call for (that many fewer while
// the link's own jitter already waits for them). The delay changes only where it costs nothing
// to hear: in silence (frames the speaker left out, told by their sequence numbers, or a slot
// after near silence) it is given back or taken, and a turn starts by waiting for it. It never
// stretches speech. Frames are due when their slot is due to be mixed, not when a late voice
// thread gets to it, so a busy machine costs nothing but the time it was late. A turn starts
// with its oldest frame in hand, or with the copy of one that was lost or is late.
//
// Copies stay beside the frames, so they never count as arrivals in the measure of the link,
// and a frame always wins over its copy; the previous frame's copy (as sent) over older ones
// (at a lower rate).
struct VoiceEngine::Speaker
{
    // Arrivals kept for the delay; the longest transit among them sets it.
    static constexpr auto TransitWindow = std::chrono::seconds(4);
    static constexpr double MarginMs = 1.0;
    // The share of recent frames that the delay lets come in time, in per cent: a rare straggler
    // is left to its copy or to concealment rather than delaying everything after it.
    static constexpr size_t TransitPercentile = 97;
    // Below -50 dBFS (RMS, squared in sample units): a frame of near silence, where the delay
    // may change unheard.
    static constexpr double QuietEnergy = 32768.0 * 32768.0 * 1e-5;
    static constexpr double HoldStaysMs = 8000;
    // Past this many frames behind what is due, frames are dropped to catch up, pause or not.
    static constexpr int MaxBehindFrames = 12;
    static constexpr int MaxHeld = 64;

    Speaker(anyID client, uint64 handler) : client(client), handler(handler)
    {
        int error = 0;
        decoder = opus_decoder_create(SampleRate, 1, &error);
    }
    ~Speaker()
    {
        if (decoder)
            opus_decoder_destroy(decoder);
    }
    Speaker(const Speaker&) = delete;
    Speaker& operator=(const Speaker&) = delete;

    struct Held
    {
        QByteArray data;
        quint16 sequence = 0;
        bool end = false;
        int rank = 0; // copies: 1 the previous frame's copy (as sent), more: older, lower rate
    };

    static double msOf(Clock::time_point at)
    {
        return std::chrono::duration<double, std::milli>(at.time_since_epoch()).count();
    }

    // The timestamp on a line that does not wrap, near the last one seen.
    qint64 unwrap(quint32 timestamp)
    {
        if (!known) {
            known = true;
            lastTimestamp = timestamp;
            return lastTimestamp;
        }
        const qint64 at = lastTimestamp + qint32(timestamp - quint32(lastTimestamp));
        lastTimestamp = std::max(lastTimestamp, at);
        return at;
    }

    void put(const IncomingVoice& voice)
    {
        if (!active) {
            // A new turn: it starts with what comes now; the link's delays are kept.
            frames.clear();
            copies.clear();
            opus_decoder_ctl(decoder, OPUS_RESET_STATE);
            active = true;
            started = false;
            idle = 0;
        }
        const qint64 at = unwrap(voice.timestamp);
        const double arrived = msOf(voice.arrivedAt);
        transits.push_back({arrived, arrived - double(at) / (SampleRate / 1000)});
        while (!transits.empty() &&
               arrived - transits.front().first >
                   std::chrono::duration<double, std::milli>(TransitWindow).count())
            transits.pop_front();
        // More at once; less only once the link has needed less for a while, so the delay does
        // not swing with every second's count.
        const int wanted = voice.burst > 0 ? std::min(int(voice.copies.size()), voice.burst) : 0;
        if (wanted >= hold || arrived - holdNeededAt > HoldStaysMs)
            setHold(wanted);
        if (wanted >= hold)
            holdNeededAt = arrived;
        if (!started || at >= pointer) {
            frames[at] = {voice.payload, voice.sequence, voice.endOfSpeech, 0};
            copies.erase(at);
        }
        for (int back = 1; back <= int(voice.copies.size()); ++back) {
            const qint64 copyAt = at - qint64(back) * FrameSamples;
            if ((started && copyAt < pointer) || frames.count(copyAt) ||
                voice.copies[back - 1].isEmpty())
                continue;
            auto it = copies.find(copyAt);
            if (it == copies.end() || it->second.rank > back)
                copies[copyAt] = {voice.copies[back - 1], quint16(voice.sequence - back), false,
                                  back};
        }
        while (int(frames.size()) > MaxHeld)
            frames.erase(frames.begin());
        while (int(copies.size()) > MaxHeld)
            copies.erase(copies.begin());
    }

    void setHold(int frames)
    {
        if (frames == hold)
            return;
        log(LogLevel_INFO, "Voice",
            frames > 0 ? QStringLiteral("frames of client %1 are lost, in runs of up to %2: "
                                        "holding %2 frame(s) more to recover them")
                             .arg(client)
                             .arg(frames)
                       : QStringLiteral("frames of client %1 come whole: holding no frame for "
                                        "copies")
                             .arg(client),
            handler);
        hold = frames;
    }

    // The timestamp due at `dueAt`: said long enough ago for all but the slowest few recent
    // frames to be here, and for a typical frame to be here with the frames held for copies
    // behind it (on a link with jitter the delay for the stragglers already covers some).
    qint64 dueTimestamp(Clock::time_point dueAt) const
    {
        std::vector<double> sorted;
        sorted.reserve(transits.size());
        for (const auto& transit : transits)
            sorted.push_back(transit.second);
        double slow = 0;
        if (!sorted.empty()) {
            std::sort(sorted.begin(), sorted.end());
            slow = std::max(
                sorted[std::min(sorted.size() * TransitPercentile / 100, sorted.size() - 1)],
                sorted[sorted.size() / 2] + 20.0 * hold);
        }
        const double ms = msOf(dueAt) - slow - MarginMs;
        return qint64(std::floor(ms * (SampleRate / 1000)));
    }

    // The next 20 ms of this speaker; false while it is not heard.
    bool next(int16_t* pcm, Clock::time_point dueAt, protocol::voice::LogThrottle& log)
    {
        if (!active || !decoder)
            return false;
        // Slots lie on the speaker's own grid of frames.
        const qint64 dueRaw = dueTimestamp(dueAt);
        if (!started) {
            // The turn starts with the oldest frame in hand, or with the copy of one lost or
            // late, and only once it is due: the turn has its whole delay from its first frame.
            qint64 first = frames.empty() ? LLONG_MAX : frames.begin()->first;
            if (!copies.empty())
                first = std::min(first, copies.begin()->first);
            if (first == LLONG_MAX)
                return false;
            if (first > dueRaw)
                return false;
            pointer = first;
            started = true;
            const auto& held = copies.count(first) ? copies.at(first) : frames.at(first);
            lastSequence = quint16(held.sequence - 1);
        }
        const qint64 due = pointer + (dueRaw - pointer) / FrameSamples * FrameSamples;
        if (due - pointer > MaxBehindFrames * FrameSamples)
            pointer = due; // far behind (a voice thread that stood still): catch up at once
        frames.erase(frames.begin(), frames.lower_bound(pointer));
        copies.erase(copies.begin(), copies.lower_bound(pointer));

        int decoded = -1;
        bool heard = false; // a frame, its copy or its redundancy: not concealment
        auto frame = frames.find(pointer);
        if (frame != frames.end() && quiet && pointer > dueRaw) {
            // Ahead of what is due after near silence: one more slot of it costs nothing to
            // hear, and the delay grows to what the link needs.
            decoded = opus_decode(decoder, nullptr, 0, pcm, FrameSamples, 0);
        } else if (frame != frames.end()) {
            decoded = decode(frame->second.data, pcm, false, log);
            heard = true;
            lastSequence = frame->second.sequence;
            const bool end = frame->second.end;
            frames.erase(frame);
            pointer += FrameSamples;
            if (end)
                active = false;
        } else {
            const auto after = frames.upper_bound(pointer);
            // Silence: the next frame in hand follows the last one played (nothing was lost, the
            // speaker left the slots between out), or nothing is in hand after a quiet frame (the
            // speaker most likely went quiet; a loss here costs nothing to hear). The delay moves
            // here for free, to what is due: given back when behind, taken when ahead.
            const bool pause =
                (after != frames.end() && after->second.sequence == quint16(lastSequence + 1)) ||
                (after == frames.end() && copies.empty() && quiet);
            if (pause) {
                if (pointer <= dueRaw)
                    pointer = std::max(pointer + FrameSamples, due);
                if (after != frames.end())
                    pointer = std::min(pointer, after->first);
            } else {
                // Missing in speech: its copy, else Opus's redundancy in the next frame, else
                // concealment. Holding the pointer here would stretch the speech; the delay
                // changes at the next pause instead.
                const auto copy = copies.find(pointer);
                const auto next = frames.find(pointer + FrameSamples);
                if (copy != copies.end()) {
                    decoded = decode(copy->second.data, pcm, false, log);
                    lastSequence = copy->second.sequence;
                    copies.erase(copy);
                } else if (next != frames.end()) {
                    decoded = decode(next->second.data, pcm, true, log);
                }
                heard = decoded == FrameSamples;
                pointer += FrameSamples;
            }
            if (decoded != FrameSamples)
                decoded = opus_decode(decoder, nullptr, 0, pcm, FrameSamples, 0);
        }
        if (decoded == FrameSamples && heard) {
            double sum = 0;
            for (int i = 0; i < FrameSamples; ++i)
                sum += double(pcm[i]) * pcm[i];
            quiet = sum < QuietEnergy * FrameSamples;
        }
        // Long without a frame and nothing in hand: the turn is over.
        if (heard)
            idle = 0;
        else if (++idle > IdleAfterMissing && frames.empty() && copies.empty())
            active = false;
        if (decoded != FrameSamples)
            std::fill(pcm, pcm + FrameSamples, int16_t(0));
        return true;
    }

    int decode(const QByteArray& data, int16_t* pcm, bool fec, protocol::voice::LogThrottle& log)
    {
        const int decoded =
            opus_decode(decoder, reinterpret_cast<const unsigned char*>(data.constData()),
                        opus_int32(data.size()), pcm, FrameSamples, fec ? 1 : 0);
        if (decoded < 0 && !fec)
            logThrottled(log, handler, QStringLiteral("dropped a frame the decoder refused"));
        return decoded;
    }

    anyID client;
    uint64 handler;
    OpusDecoder* decoder = nullptr;
    protocol::voice::SequenceWindow window;
    std::map<qint64, Held> frames;                  // by timestamp, not yet played
    std::map<qint64, Held> copies;                  // of frames not (yet) here
    std::deque<std::pair<double, double>> transits; // arrival and transit, in ms
    bool known = false;
    qint64 lastTimestamp = 0;
    qint64 pointer = 0; // the timestamp of the next slot
    quint16 lastSequence = 0;
    bool active = false;
    bool started = false;
    int hold = 0;            // frames held for copies
    double holdNeededAt = 0; // when the link last asked for the frames held, in ms
    int idle = 0;            // slots in a row without a frame
    bool quiet = true;       // the last frame heard was near silence
};

VoiceEngine::VoiceEngine(uint64 handler) : m_handler(handler), m_dsp(std::make_unique<Dsp>()) {}

VoiceEngine::~VoiceEngine() = default;

void VoiceEngine::attach(VoiceTransport transport)
{
    {
        QMutexLocker lock(&m_mutex);
        m_transport = std::move(transport);
        m_attached = true;
        ++m_attachGeneration;
    }
    m_linkLoss.store(-1);
    m_linkBurst.store(0);
    voicethread::wake();
}

void VoiceEngine::detach()
{
    {
        QMutexLocker lock(&m_mutex);
        m_transport = {};
        m_attached = false;
        ++m_attachGeneration;
        m_received.clear();
        m_forgotten.clear();
    }
    voicethread::wake();
}

bool VoiceEngine::receive(IncomingVoice voice)
{
    QMutexLocker lock(&m_mutex);
    if (!m_attached || m_received.size() >= MaxQueued)
        return false;
    // Nothing is played: the frame is heard (for talk status) and let go.
    if (m_playing.load(std::memory_order_relaxed))
        m_received.push_back(std::move(voice));
    return true;
}

void VoiceEngine::forgetSpeaker(anyID speaker)
{
    QMutexLocker lock(&m_mutex);
    // Without playback no speaker is kept anyway.
    if (m_playing.load(std::memory_order_relaxed))
        m_forgotten.push_back(speaker);
}

void VoiceEngine::notify(Notification notification)
{
    QMutexLocker lock(&m_mutex);
    // A chime is for now: without speakers it is not kept for later.
    if (m_playing.load(std::memory_order_relaxed) && m_notifications.size() < 8)
        m_notifications.push_back(notification);
}

float VoiceEngine::inputLevel()
{
    const Clock::rep asked = m_levelAskedAt.exchange(Clock::now().time_since_epoch().count());
    if (Clock::now() - Clock::time_point(Clock::duration(asked)) > LevelInterest)
        voicethread::wake(); // the microphone may be idle: measure it again
    return m_level.load(std::memory_order_relaxed);
}

void VoiceEngine::setLinkLoss(int percent, int burst)
{
    m_linkBurst.store(qBound(0, burst, int(protocol::voice::LossMeter::MaxBurst)));
    m_linkLoss.store(qBound(0, percent, 100));
}

float VoiceEngine::levelOf(const Frame& frame)
{
    double sum = 0;
    for (const int16_t s : frame)
        sum += double(s) * double(s);
    const double rms = std::sqrt(sum / double(frame.size())) / 32768.0;
    const double dbfs = rms > 0 ? 20.0 * std::log10(rms) : -1000.0;
    return float(std::max(dbfs - double(LevelReference), double(LevelFloor)));
}

bool VoiceEngine::process(Clock::time_point now, const OpenedDevice<CaptureSource>& capture,
                          const OpenedDevice<PlaybackSink>& playback, const SoundConfig& config,
                          const LocalFlags& flags)
{
    {
        QMutexLocker lock(&m_mutex);
        if (m_currentGeneration != m_attachGeneration) {
            // A connection came or went: its talk state and speakers go with it.
            m_current = m_transport;
            m_currentGeneration = m_attachGeneration;
            m_talking = false;
            m_hangover = 0;
            m_speakers.clear();
        }
        // A chime is for now; without a speaker it is not kept for later.
        for (Notification n : playback.device ? m_notifications : std::vector<Notification>()) {
            if (m_chimePos >= m_chime.size()) {
                m_chime = makeChime(n);
                m_chimePos = 0;
            }
        }
        m_notifications.clear();
    }

    this->capture(now, capture, config, flags);
    play(now, playback, config, flags);
    // Awake while the microphone is read or the speakers are fed.
    return wantsCapture(now, flags) || !m_playbackIdle;
}

// The microphone is read while what it says may be sent, while a turn still has to end (its
// last frame is sent before the microphone rests), and while someone watches its level.
bool VoiceEngine::wantsCapture(Clock::time_point now, const LocalFlags& flags) const
{
    const bool sending = m_current.send && !flags.inputMuted && !flags.inputDeactivated;
    const bool levelWanted =
        now - Clock::time_point(Clock::duration(m_levelAskedAt.load())) <= LevelInterest;
    return m_capture && !m_captureEnded && (sending || m_talking || levelWanted);
}

void VoiceEngine::capture(Clock::time_point now, const OpenedDevice<CaptureSource>& device,
                          const SoundConfig& config, const LocalFlags& flags)
{
    if (device.device != m_capture) {
        m_capture = device.device;
        m_captureFrames = 0;
        m_captureEnded = false;
        m_captureIdle = true;
        m_hangover = 0; // the last words of another microphone are not carried over
    }
    Frame frame;
    if (wantsCapture(now, flags)) {
        // Frame k is complete k + 1 frame times after the device opened.
        const qint64 due = (now - device.openedAt) / FrameDuration;
        if (m_captureIdle) {
            // Back from rest: what was said meanwhile is never sent; the next frame is now's.
            m_captureIdle = false;
            if (m_capture->isClocked()) {
                for (int n = 0; n < MaxStale && m_capture->read(frame) == ReadStatus::Frame; ++n) {
                }
            } else if (due - 1 > m_captureFrames) {
                m_capture->skip(due - 1 - m_captureFrames);
                m_captureFrames = due - 1;
            }
        }
        if (m_capture->isClocked()) {
            for (int n = 0; n < MaxCatchUp; ++n) {
                const ReadStatus status = m_capture->read(frame);
                if (status == ReadStatus::Ended)
                    m_captureEnded = true;
                if (status != ReadStatus::Frame)
                    break;
                processCaptured(frame, config, flags);
            }
        } else {
            if (due - m_captureFrames > MaxCatchUp)
                m_captureFrames = due - 1;
            while (m_captureFrames < due && !m_captureEnded) {
                ++m_captureFrames;
                const ReadStatus status = m_capture->read(frame);
                if (status == ReadStatus::Frame)
                    processCaptured(frame, config, flags);
                else if (status == ReadStatus::Ended)
                    m_captureEnded = true;
            }
        }
    } else {
        m_captureIdle = true;
    }
    if ((!m_capture || m_captureEnded) && m_talking) {
        frame.fill(0);
        transmit(frame, true);
        setTalking(false);
    }
    if (!m_capture || m_captureEnded || m_captureIdle) {
        m_level.store(LevelFloor, std::memory_order_relaxed);
        m_hangover = 0;
    }
}

void VoiceEngine::play(Clock::time_point now, const OpenedDevice<PlaybackSink>& device,
                       const SoundConfig& config, const LocalFlags& flags)
{
    if (device.device != m_playback) {
        m_playback = device.device;
        m_playbackFrames = 0;
        m_playbackIdle = true;
    }
    const bool playing = m_playback && !flags.outputMuted;
    m_playing.store(playing, std::memory_order_relaxed);
    takeReceived(flags);
    if (!playing) {
        m_playbackIdle = true;
        m_chimePos = m_chime.size();
        m_reference.fill(0); // nothing comes back into the microphone
        return;
    }
    Frame frame;
    if (m_playback->isClocked()) {
        m_playbackIdle = false;
        for (int n = 0; n < MaxCatchUp && m_playback->queuedSamples() < ClockedQueueTarget; ++n) {
            mixFrame(frame, now, config, flags);
            m_playback->write(frame);
        }
        return;
    }
    // Frame k plays from k frame times after the device opened. After a rest the silence that
    // went by is skipped, so what is played next lands at its time.
    const qint64 due = (now + PlaybackLead - device.openedAt) / FrameDuration + 1;
    if (m_playbackIdle && due - 1 > m_playbackFrames) {
        m_playback->skip(due - 1 - m_playbackFrames);
        m_playbackFrames = due - 1;
    } else if (due - m_playbackFrames > MaxCatchUp) {
        m_playbackFrames = due - 1;
    }
    m_playbackIdle = false;
    while (m_playbackFrames < due) {
        // When this frame is mixed at the latest by a thread on time (ticks come every Tick),
        // however late the thread comes to it.
        const Clock::time_point dueAt =
            device.openedAt + m_playbackFrames * FrameDuration - PlaybackLead + Tick;
        ++m_playbackFrames;
        mixFrame(frame, std::min(dueAt, now), config, flags);
        m_playback->write(frame);
    }
}

void VoiceEngine::processCaptured(Frame& frame, const SoundConfig& config, const LocalFlags& flags)
{
    m_dsp->setEcho(config.echoCanceling);
    for (int part = 0; part < FrameSamples; part += DspSamples) {
        int16_t* samples = frame.data() + part;
        if (m_dsp->echo) {
            int16_t cleaned[DspSamples];
            speex_echo_cancellation(m_dsp->echo, samples, m_reference.data() + part, cleaned);
            std::copy(cleaned, cleaned + DspSamples, samples);
        }
        speex_preprocess_run(m_dsp->preprocess, samples);
    }
    const float level = levelOf(frame);
    m_level.store(level, std::memory_order_relaxed);

    const bool allowed =
        bool(m_current.send) && !flags.inputMuted && !flags.inputDeactivated && m_dsp->encoder;
    const bool speech = !config.vad || level >= config.voiceActivationLevel;
    const bool voiced = speech || m_hangover > 0;
    if (speech)
        m_hangover = HangoverFrames;
    else if (m_hangover > 0)
        --m_hangover;
    if (allowed && voiced) {
        applyLinkLoss();
        if (!m_talking) {
            opus_encoder_ctl(m_dsp->encoder, OPUS_RESET_STATE);
            if (m_dsp->lowRate)
                opus_encoder_ctl(m_dsp->lowRate, OPUS_RESET_STATE);
            setTalking(true);
        }
        transmit(frame, false);
    } else if (m_talking) {
        // The end of a turn; once muted, not one more frame of the room goes out.
        if (!allowed)
            frame.fill(0);
        transmit(frame, true);
        setTalking(false);
    }
    m_timestamp += quint32(FrameSamples);
}

// Opus is told the loss its listeners see. Until the server says, its own redundancy covers
// the loss it expects by default; once the link is known, a lossy one gets copies of the frames
// before in each frame (whole frames, whatever the sound: Opus's redundancy protects only what it
// takes for speech, and asks for its speech mode, whose concealment of steady sounds fades fast),
// as many as the longest runs of lost frames the listeners report (up to MaxCopies; fewer only
// after the reports asked for fewer a while), a clean one none. The previous frame travels as it
// was sent, older ones at a lower rate.
void VoiceEngine::applyLinkLoss()
{
    const int loss = m_linkLoss.load(std::memory_order_relaxed);
    const int burst = m_linkBurst.load(std::memory_order_relaxed);
    const int wanted = loss > 0 ? std::clamp(burst, 1, protocol::voice::MaxCopies) : 0;
    int copies = wanted;
    if (wanted > 0 && wanted < m_copies) {
        if (!m_fewerWanted) {
            m_fewerWanted = true;
            m_fewerSince = m_timestamp;
        }
        if (m_timestamp - m_fewerSince < quint32(FewerCopiesAfterMs) * (FrameSamples / 20))
            copies = m_copies;
    } else {
        m_fewerWanted = false;
    }
    if ((loss == m_appliedLoss && copies == m_copies) || !m_dsp->encoder)
        return;
    if (loss != m_appliedLoss) {
        opus_encoder_ctl(m_dsp->encoder, OPUS_SET_INBAND_FEC(loss < 0 ? 1 : 0));
        opus_encoder_ctl(m_dsp->encoder,
                         OPUS_SET_PACKET_LOSS_PERC(loss < 0 ? DefaultExpectedLoss : loss));
    }
    const int lowRate =
        copies >= 2 ? std::clamp(VoiceBitRate / (copies - 1), MinLowBitRate, MaxLowBitRate) : 0;
    m_dsp->setLowRate(lowRate);
    if (loss >= 0 && (loss != m_appliedLoss || copies != m_copies)) {
        QString what;
        if (copies == 0)
            what = QStringLiteral("no redundancy");
        else if (copies == 1)
            what = QStringLiteral("each frame carries the one before");
        else
            what = QStringLiteral("each frame carries the one before and %1 older at %2 kb/s "
                                  "(lost in runs of %3)")
                       .arg(copies - 1)
                       .arg(lowRate / 1000)
                       .arg(burst);
        log(LogLevel_INFO, "Voice", QStringLiteral("expected loss %1 %: %2").arg(loss).arg(what),
            m_handler);
    }
    m_appliedLoss = loss;
    m_copies = copies;
}

void VoiceEngine::transmit(const Frame& frame, bool end)
{
    if (!m_current.send || !m_dsp->encoder)
        return;
    unsigned char data[MaxOpusBytes];
    const opus_int32 size =
        opus_encode(m_dsp->encoder, frame.data(), FrameSamples, data, sizeof data);
    if (size < 0) {
        logThrottled(m_dsp->codecLog, m_handler,
                     QStringLiteral("encoding failed: %1").arg(QLatin1String(opus_strerror(size))));
        return;
    }
    // The older copies' encoder hears every frame, so its state follows the speech.
    QByteArray lowRate;
    if (m_dsp->lowRate) {
        unsigned char low[MaxOpusBytes];
        const opus_int32 lowSize =
            opus_encode(m_dsp->lowRate, frame.data(), FrameSamples, low, sizeof low);
        if (lowSize > 2)
            lowRate = QByteArray(reinterpret_cast<const char*>(low), lowSize);
    }
    // Two bytes or less: silence the encoder leaves out (DTX); the receiver conceals the gap.
    if (size <= 2 && !end)
        return;
    EncodedVoice voice;
    voice.payload = QByteArray(reinterpret_cast<const char*>(data), size);
    voice.lowRate = lowRate;
    voice.timestamp = m_timestamp;
    voice.endOfSpeech = end;
    voice.copies = m_copies;
    m_current.send(voice);
}

void VoiceEngine::setTalking(bool talking)
{
    m_talking = talking;
    if (m_current.talking)
        m_current.talking(talking);
}

void VoiceEngine::takeReceived(const LocalFlags& flags)
{
    std::deque<IncomingVoice> received;
    std::vector<anyID> forgotten;
    {
        QMutexLocker lock(&m_mutex);
        received.swap(m_received);
        forgotten.swap(m_forgotten);
    }
    for (anyID id : forgotten)
        m_speakers.erase(id);
    if (!m_playback || flags.outputMuted) {
        m_speakers.clear(); // nothing is played, so nothing is kept
        return;
    }
    for (IncomingVoice& voice : received) {
        auto it = m_speakers.find(voice.speaker);
        if (it == m_speakers.end()) {
            if (m_speakers.size() >= size_t(MaxSpeakers))
                continue;
            it = m_speakers
                     .emplace(voice.speaker, std::make_unique<Speaker>(voice.speaker, m_handler))
                     .first;
        }
        Speaker& speaker = *it->second;
        if (!speaker.window.accept(voice.sequence) || !isOneFrame(voice.payload, voice.speaker))
            continue;
        for (QByteArray& copy : voice.copies) {
            if (!isOneFrame(copy, voice.speaker))
                copy.clear();
        }
        speaker.put(voice);
    }
}

bool VoiceEngine::isOneFrame(const QByteArray& payload, anyID speaker)
{
    const int samples = opus_packet_get_nb_samples(
        reinterpret_cast<const unsigned char*>(payload.constData()), payload.size(), SampleRate);
    if (samples == FrameSamples)
        return true;
    logThrottled(m_dsp->inputLog, m_handler,
                 QStringLiteral("dropped a voice frame of client %1 that is not 20 ms of Opus")
                     .arg(speaker));
    return false;
}

void VoiceEngine::mixFrame(Frame& out, Clock::time_point dueAt, const SoundConfig& config,
                           const LocalFlags& flags)
{
    std::array<int32_t, FrameSamples> mix{};
    if (!flags.outputMuted) {
        const float voiceGain = gainOf(config.volumeModifier);
        std::array<int16_t, FrameSamples> pcm;
        for (auto& entry : m_speakers) {
            if (!entry.second->next(pcm.data(), dueAt, m_dsp->codecLog))
                continue;
            for (int i = 0; i < FrameSamples; ++i)
                mix[size_t(i)] += int32_t(std::lround(pcm[size_t(i)] * voiceGain));
        }
        if (m_chimePos < m_chime.size()) {
            const float waveGain = gainOf(config.volumeFactorWave);
            for (int i = 0; i < FrameSamples && m_chimePos < m_chime.size(); ++i)
                mix[size_t(i)] += int32_t(std::lround(m_chime[m_chimePos++] * waveGain));
        }
    } else {
        m_chimePos = m_chime.size();
    }
    for (int i = 0; i < FrameSamples; ++i)
        out[size_t(i)] = int16_t(std::clamp<int32_t>(mix[size_t(i)], -32768, 32767));
    m_reference = out;
}

namespace voicethread {

namespace {

struct Hub
{
    std::thread thread;
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    bool woken = false;
    std::map<uint64, std::shared_ptr<VoiceEngine>> engines;
};

std::mutex g_hubMutex;
std::shared_ptr<Hub> g_hub;

std::shared_ptr<Hub> currentHub()
{
    std::lock_guard<std::mutex> lock(g_hubMutex);
    return g_hub;
}

// The voice thread keeps time for the sound: above ordinary work where the system allows
// (real-time scheduling, else a lower nice value), so that a busy machine delays it less. Its
// work per tick is small and it sleeps between ticks, so it cannot hold a core.
void raisePriority()
{
    sched_param param{};
    param.sched_priority = std::min(RealtimePriority, sched_get_priority_max(SCHED_FIFO));
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0) {
        log(LogLevel_INFO, "Voice", QStringLiteral("the voice thread runs at real-time priority"));
        return;
    }
    if (setpriority(PRIO_PROCESS, pid_t(syscall(SYS_gettid)), RaisedNice) == 0) {
        log(LogLevel_INFO, "Voice",
            QStringLiteral("the voice thread runs at nice %1").arg(RaisedNice));
        return;
    }
    log(LogLevel_INFO, "Voice",
        QStringLiteral("the voice thread keeps the ordinary priority: the system allows no "
                       "higher"));
}

void run(std::shared_ptr<Hub> hub)
{
    pthread_setname_np(pthread_self(), "voicesdk-voice");
    raisePriority();
    Clock::time_point next = Clock::now();
    bool busy = true;
    for (;;) {
        std::vector<std::pair<uint64, std::shared_ptr<VoiceEngine>>> engines;
        {
            std::unique_lock<std::mutex> lock(hub->mutex);
            const auto called = [&] { return hub->stopping || hub->woken; };
            // With nothing captured or played there is nothing to keep time for: sleep until
            // something changes.
            if (busy)
                hub->wake.wait_until(lock, next, called);
            else
                hub->wake.wait(lock, called);
            if (hub->stopping)
                return;
            hub->woken = false;
            engines.assign(hub->engines.begin(), hub->engines.end());
        }
        const Clock::time_point now = Clock::now();
        if (!busy || now - next > std::chrono::milliseconds(100))
            next = now; // back from sleep, or asleep for long: no burst of catching up
        while (next <= now)
            next += Tick;
        busy = false;
        const std::shared_ptr<SoundManager> m = manager();
        if (!m)
            continue;
        for (auto& [handler, engine] : engines) {
            OpenedDevice<CaptureSource> capture;
            OpenedDevice<PlaybackSink> playback;
            capture.device = m->captureSource(handler, &capture.openedAt);
            playback.device = m->playbackSink(handler, &playback.openedAt);
            const VoiceSelfFlags self = voiceSelfFlags(handler);
            LocalFlags flags;
            flags.inputMuted = self.inputMuted;
            flags.outputMuted = self.outputMuted;
            flags.inputDeactivated = self.inputDeactivated;
            if (engine->process(now, capture, playback, m->config(handler), flags))
                busy = true;
        }
    }
}

} // namespace

void wake()
{
    const std::shared_ptr<Hub> hub = currentHub();
    if (!hub)
        return;
    {
        std::lock_guard<std::mutex> lock(hub->mutex);
        hub->woken = true;
    }
    hub->wake.notify_all();
}

void start()
{
    auto hub = std::make_shared<Hub>();
    hub->thread = std::thread(run, hub);
    std::lock_guard<std::mutex> lock(g_hubMutex);
    g_hub = hub;
}

void stop()
{
    std::shared_ptr<Hub> hub;
    {
        std::lock_guard<std::mutex> lock(g_hubMutex);
        hub.swap(g_hub);
    }
    if (!hub)
        return;
    {
        std::lock_guard<std::mutex> lock(hub->mutex);
        hub->stopping = true;
    }
    hub->wake.notify_all();
    hub->thread.join();
}

std::shared_ptr<VoiceEngine> engine(uint64 handler)
{
    std::shared_ptr<Hub> hub;
    {
        std::lock_guard<std::mutex> lock(g_hubMutex);
        hub = g_hub;
    }
    if (!hub)
        return nullptr;
    std::lock_guard<std::mutex> lock(hub->mutex);
    std::shared_ptr<VoiceEngine>& slot = hub->engines[handler];
    if (!slot) {
        slot = std::make_shared<VoiceEngine>(handler);
        hub->woken = true;
        hub->wake.notify_all();
    }
    return slot;
}

std::shared_ptr<VoiceEngine> existing(uint64 handler)
{
    std::shared_ptr<Hub> hub;
    {
        std::lock_guard<std::mutex> lock(g_hubMutex);
        hub = g_hub;
    }
    if (!hub)
        return nullptr;
    std::lock_guard<std::mutex> lock(hub->mutex);
    const auto it = hub->engines.find(handler);
    return it == hub->engines.end() ? nullptr : it->second;
}

void remove(uint64 handler)
{
    std::shared_ptr<VoiceEngine> gone;
    std::shared_ptr<Hub> hub;
    {
        std::lock_guard<std::mutex> lock(g_hubMutex);
        hub = g_hub;
    }
    if (!hub)
        return;
    std::lock_guard<std::mutex> lock(hub->mutex);
    const auto it = hub->engines.find(handler);
    if (it != hub->engines.end()) {
        gone = std::move(it->second);
        hub->engines.erase(it);
    }
}

} // namespace voicethread

} // namespace voicesdk::sound

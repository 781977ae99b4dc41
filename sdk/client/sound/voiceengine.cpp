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
constexpr int FecCache = 8;
constexpr int MaxOpusBytes = protocol::voice::MaxPayload;

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
            opus_encoder_ctl(encoder, OPUS_SET_BITRATE(32000));
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

    OpusEncoder* encoder = nullptr;
    SpeexPreprocessState* preprocess = nullptr;
    SpeexEchoState* echo = nullptr;
    protocol::voice::LogThrottle codecLog;
    protocol::voice::LogThrottle inputLog;
};

// One member of the channel who is heard: its frames in a jitter buffer, decoded in time order.
// While its link loses frames the buffer holds one frame more (a margin of one frame on top of
// what the arrival times ask for), so when a frame is due and missing the next one is already
// here with its copy of it (or, from senders that send no copies, Opus's redundancy for it).
// Copies stay beside the jitter buffer, so they never count as late arrivals in its measure of
// the link's delay.
struct VoiceEngine::Speaker
{
    Speaker(anyID client, uint64 handler) : client(client), handler(handler)
    {
        jitter = jitter_buffer_init(FrameSamples);
        int error = 0;
        decoder = opus_decoder_create(SampleRate, 1, &error);
    }
    ~Speaker()
    {
        jitter_buffer_destroy(jitter);
        if (decoder)
            opus_decoder_destroy(decoder);
    }
    Speaker(const Speaker&) = delete;
    Speaker& operator=(const Speaker&) = delete;

    void put(const IncomingVoice& voice)
    {
        if (!active) {
            // A new turn: nothing of the last one is waited for.
            jitter_buffer_reset(jitter);
            opus_decoder_ctl(decoder, OPUS_RESET_STATE);
            active = true;
            synced = false;
            waited = false;
            missing = 0;
        }
        if (voice.lossy != holding) {
            holding = voice.lossy;
            spx_int32_t margin = holding ? FrameSamples : 0;
            jitter_buffer_ctl(jitter, JITTER_BUFFER_SET_MARGIN, &margin);
            log(LogLevel_INFO, "Voice",
                holding ? QStringLiteral("frames of client %1 are lost or overtaken: holding one "
                                         "frame more to recover them")
                              .arg(client)
                        : QStringLiteral("frames of client %1 come in order: back to the "
                                         "shortest delay")
                              .arg(client),
                handler);
        }
        JitterBufferPacket packet{};
        packet.data = const_cast<char*>(voice.payload.constData());
        packet.len = spx_uint32_t(voice.payload.size());
        packet.timestamp = voice.timestamp;
        packet.span = FrameSamples;
        packet.sequence = voice.sequence;
        packet.user_data = voice.endOfSpeech ? 1 : 0;
        jitter_buffer_put(jitter, &packet);
        remember(&arrived, voice.timestamp, voice.payload);
    }

    // A copy of the frame before `voice`, kept while that frame is still to be played.
    void putCopy(quint32 timestamp, const QByteArray& payload)
    {
        const quint32 pointer = quint32(jitter_buffer_get_pointer_timestamp(jitter));
        if (!synced || qint32(timestamp - pointer) >= 0)
            remember(&copies, timestamp, payload);
    }

    // The next 20 ms of this speaker; false while it is not heard.
    bool next(int16_t* pcm, protocol::voice::LogThrottle& log)
    {
        if (!active || !decoder)
            return false;
        if (!synced && holding && !waited) {
            // A turn on a lossy link starts with the frame after the first in hand too.
            waited = true;
            spx_int32_t count = 0;
            jitter_buffer_ctl(jitter, JITTER_BUFFER_GET_AVALIABLE_COUNT, &count);
            if (count < 2)
                return false;
        }
        std::array<char, MaxOpusBytes> buffer;
        JitterBufferPacket packet{};
        packet.data = buffer.data();
        packet.len = buffer.size();
        const quint32 pointer = quint32(jitter_buffer_get_pointer_timestamp(jitter));
        spx_int32_t offset = 0;
        const int result = jitter_buffer_get(jitter, &packet, FrameSamples, &offset);
        int decoded = -1;
        if (result == JITTER_BUFFER_OK) {
            synced = true;
            decoded = opus_decode(decoder, reinterpret_cast<const unsigned char*>(packet.data),
                                  opus_int32(packet.len), pcm, FrameSamples, 0);
            if (decoded < 0)
                logThrottled(log, handler, QStringLiteral("dropped a frame the decoder refused"));
            missing = 0;
        } else {
            ++missing;
            // Lost: its copy when one came, else the next frame's Opus redundancy when that is
            // here, else concealment.
            const Cached& copy = copies[(pointer / FrameSamples) % FecCache];
            const Cached& after = arrived[((pointer + FrameSamples) / FrameSamples) % FecCache];
            if (result == JITTER_BUFFER_MISSING && !copy.data.isEmpty() &&
                copy.timestamp == pointer) {
                decoded = opus_decode(decoder,
                                      reinterpret_cast<const unsigned char*>(copy.data.constData()),
                                      copy.data.size(), pcm, FrameSamples, 0);
            } else if (result == JITTER_BUFFER_MISSING && !after.data.isEmpty() &&
                       after.timestamp == pointer + FrameSamples) {
                decoded = opus_decode(
                    decoder, reinterpret_cast<const unsigned char*>(after.data.constData()),
                    after.data.size(), pcm, FrameSamples, 1);
            }
        }
        if (decoded != FrameSamples)
            decoded = opus_decode(decoder, nullptr, 0, pcm, FrameSamples, 0);
        jitter_buffer_tick(jitter);
        if (decoded != FrameSamples)
            std::fill(pcm, pcm + FrameSamples, int16_t(0));
        if ((result == JITTER_BUFFER_OK && packet.user_data) || missing > IdleAfterMissing)
            active = false;
        return true;
    }

    struct Cached
    {
        quint32 timestamp = 0;
        QByteArray data;
    };
    using Cache = std::array<Cached, FecCache>;

    static void remember(Cache* cache, quint32 timestamp, const QByteArray& data)
    {
        Cached& slot = (*cache)[(timestamp / FrameSamples) % FecCache];
        slot.timestamp = timestamp;
        slot.data = data;
    }

    anyID client;
    uint64 handler;
    JitterBuffer* jitter = nullptr;
    OpusDecoder* decoder = nullptr;
    protocol::voice::SequenceWindow window;
    Cache arrived; // frames as they came, for the redundancy in them
    Cache copies;  // copies of frames that may be missing
    bool active = false;
    bool holding = false; // a frame more in hand
    bool synced = false;  // the jitter buffer has started this turn
    bool waited = false;
    int missing = 0;
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

void VoiceEngine::setLinkLoss(int percent)
{
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
            mixFrame(frame, config, flags);
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
        ++m_playbackFrames;
        mixFrame(frame, config, flags);
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
// the loss it expects by default; once the link is known, a lossy one gets a copy of each frame
// in the next (whole frames, whatever the sound: Opus's redundancy protects only what it takes
// for speech, and asks for its speech mode, whose concealment of steady sounds fades fast), a
// clean one none.
void VoiceEngine::applyLinkLoss()
{
    const int loss = m_linkLoss.load(std::memory_order_relaxed);
    if (loss == m_appliedLoss || !m_dsp->encoder)
        return;
    m_appliedLoss = loss;
    opus_encoder_ctl(m_dsp->encoder, OPUS_SET_INBAND_FEC(loss < 0 ? 1 : 0));
    opus_encoder_ctl(m_dsp->encoder,
                     OPUS_SET_PACKET_LOSS_PERC(loss < 0 ? DefaultExpectedLoss : loss));
    if (loss >= 0)
        log(LogLevel_INFO, "Voice",
            loss > 0
                ? QStringLiteral("expected loss %1 %: each frame carries the one before").arg(loss)
                : QStringLiteral("expected loss 0 %: no redundancy"),
            m_handler);
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
    // Two bytes or less: silence the encoder leaves out (DTX); the receiver conceals the gap.
    if (size <= 2 && !end)
        return;
    EncodedVoice voice;
    voice.payload = QByteArray(reinterpret_cast<const char*>(data), size);
    voice.timestamp = m_timestamp;
    voice.endOfSpeech = end;
    voice.withPrevious = m_appliedLoss > 0;
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
        speaker.put(voice);
        // The copy counts only when the frame itself never came.
        if (!voice.previous.isEmpty() && speaker.window.accept(quint16(voice.sequence - 1)) &&
            isOneFrame(voice.previous, voice.speaker))
            speaker.putCopy(voice.timestamp - quint32(FrameSamples), voice.previous);
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

void VoiceEngine::mixFrame(Frame& out, const SoundConfig& config, const LocalFlags& flags)
{
    std::array<int32_t, FrameSamples> mix{};
    if (!flags.outputMuted) {
        const float voiceGain = gainOf(config.volumeModifier);
        std::array<int16_t, FrameSamples> pcm;
        for (auto& entry : m_speakers) {
            if (!entry.second->next(pcm.data(), m_dsp->codecLog))
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

void run(std::shared_ptr<Hub> hub)
{
    pthread_setname_np(pthread_self(), "voicesdk-voice");
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

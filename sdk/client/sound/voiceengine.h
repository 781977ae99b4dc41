// SPDX-License-Identifier: MIT
#pragma once

#include "audioio.h"
#include "soundconfig.h"

#include "voicesdk.h"

#include <QByteArray>
#include <QMutex>
#include <QVector>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <vector>

// The voice path of one connection handler, run by the voice thread every few milliseconds
// while it captures or plays:
//
//   capture -> echo cancellation -> preprocessing (noise suppression) -> level -> voice
//   activation with hang-over -> Opus (expected loss from the listeners; a second, lower-rate
//   Opus for the older copies while losses come in bursts) -> transport
//   transport -> per speaker: jitter buffer (as long as the arrival times ask, and as many frames
//   more as the copies and the link's bursts call for) -> Opus (copies of lost frames, FEC,
//   concealment) -> mix -> volume -> playback, which is also the echo canceller's reference
//
// The network thread hands frames in and takes them out through VoiceTransport; nothing here
// blocks on the network.
namespace voicesdk::sound {

using Clock = std::chrono::steady_clock;

struct EncodedVoice
{
    QByteArray payload; // one Opus frame of 20 ms
    QByteArray lowRate; // the same 20 ms at a lower rate, for older copies; empty when not made
    quint32 timestamp = 0;
    bool endOfSpeech = false;
    int copies = 0; // how many of the frames before this one it should carry
};

// Set while the handler's connection is established; both are called on the voice thread.
struct VoiceTransport
{
    std::function<void(const EncodedVoice&)> send;
    std::function<void(bool talking)> talking; // the own client starts or stops sending
};

struct IncomingVoice
{
    anyID speaker = 0;
    quint16 sequence = 0;
    quint32 timestamp = 0;
    bool endOfSpeech = false;
    QByteArray payload;
    QVector<QByteArray> copies; // of the frames before: [0] the previous one, [1] the one before
    int burst = 0;              // how this speaker's frames are lost here lately (LossMeter)
    Clock::time_point arrivedAt;
};

enum class Notification { ClientEntered, ClientLeft };

struct LocalFlags
{
    bool inputMuted = false;
    bool outputMuted = false;
    bool inputDeactivated = false;
};

// A device as the voice thread sees it: the stream and when it was opened, which is where its
// real-time clock starts for devices without a clock of their own.
template <typename T> struct OpenedDevice
{
    std::shared_ptr<T> device;
    Clock::time_point openedAt;
};

class VoiceEngine
{
public:
    // Level of a frame: its RMS in dB relative to LevelReference dBFS, never below LevelFloor.
    static constexpr float LevelReference = -50.0f;
    static constexpr float LevelFloor = -50.0f;
    static constexpr int HangoverFrames = 15; // 300 ms: words are not cut at their ends
    // Fewer copies only once the reports have asked for fewer this long: a few seconds' window
    // of a bursty link may hold no long run, and the next one comes anyway.
    static constexpr int FewerCopiesAfterMs = 8000;
    static constexpr int MaxSpeakers = 32;
    static constexpr size_t MaxQueued = 256; // received frames waiting for the voice thread
    // Before the server says what the link loses: Opus's own redundancy at this expected loss.
    static constexpr int DefaultExpectedLoss = 10;
    // The microphone is measured while its level was asked for within this time, even muted.
    static constexpr auto LevelInterest = std::chrono::seconds(2);

    explicit VoiceEngine(uint64 handler);
    ~VoiceEngine();
    VoiceEngine(const VoiceEngine&) = delete;
    VoiceEngine& operator=(const VoiceEngine&) = delete;

    // Any thread.
    void attach(VoiceTransport transport);
    void detach();
    // False when the frame was refused (queue full).
    bool receive(IncomingVoice voice);
    void forgetSpeaker(anyID speaker);
    void notify(Notification notification);
    // The last captured frame's level, after preprocessing; LevelFloor before the first. Asking
    // keeps the microphone measured for LevelInterest, muted or not.
    float inputLevel();
    // The share of this client's frames its listeners lose (per cent, from the server) and how
    // long their runs of lost frames are; the encoder's expected loss and the copies follow.
    void setLinkLoss(int percent, int burst);

    // The voice thread. False when nothing is captured or played: no need to come back until
    // voicethread::wake().
    bool process(Clock::time_point now, const OpenedDevice<CaptureSource>& capture,
                 const OpenedDevice<PlaybackSink>& playback, const SoundConfig& config,
                 const LocalFlags& flags);

    // The level of samples on the LevelReference scale; exposed for tests.
    static float levelOf(const Frame& frame);

private:
    struct Dsp;
    struct Speaker;

    void capture(Clock::time_point now, const OpenedDevice<CaptureSource>& device,
                 const SoundConfig& config, const LocalFlags& flags);
    void play(Clock::time_point now, const OpenedDevice<PlaybackSink>& device,
              const SoundConfig& config, const LocalFlags& flags);
    bool wantsCapture(Clock::time_point now, const LocalFlags& flags) const;
    void processCaptured(Frame& frame, const SoundConfig& config, const LocalFlags& flags);
    void applyLinkLoss();
    void transmit(const Frame& frame, bool end);
    void setTalking(bool talking);
    // dueAt: when the frame is due to be mixed at the latest, which a late voice thread can
    // only pass, never move.
    void mixFrame(Frame& out, Clock::time_point dueAt, const SoundConfig& config,
                  const LocalFlags& flags);
    void takeReceived(const LocalFlags& flags);
    bool isOneFrame(const QByteArray& payload, anyID speaker);

    uint64 m_handler;
    std::unique_ptr<Dsp> m_dsp;
    std::atomic<float> m_level{LevelFloor};
    std::atomic<Clock::rep> m_levelAskedAt{0}; // Clock's count; 0: never
    std::atomic<int> m_linkLoss{-1};           // -1: not known
    std::atomic<int> m_linkBurst{0};
    std::atomic<bool> m_playing{false}; // received frames are wanted

    // Guarded by m_mutex: what other threads hand in.
    QMutex m_mutex;
    VoiceTransport m_transport;
    bool m_attached = false;
    quint64 m_attachGeneration = 0;
    std::deque<IncomingVoice> m_received;
    std::vector<anyID> m_forgotten;
    std::vector<Notification> m_notifications;

    // Voice thread only.
    VoiceTransport m_current;
    quint64 m_currentGeneration = 0;
    std::shared_ptr<CaptureSource> m_capture;
    std::shared_ptr<PlaybackSink> m_playback;
    qint64 m_captureFrames = 0; // read from m_capture
    qint64 m_playbackFrames = 0;
    bool m_captureEnded = false;
    bool m_captureIdle = true; // not read lately: what it holds is stale
    bool m_playbackIdle = true;
    int m_appliedLoss = -2; // what the encoder was last set to
    int m_copies = 0;       // of the frames before, in each frame
    // Since when (m_timestamp) the reports ask for fewer copies than are sent.
    bool m_fewerWanted = false;
    quint32 m_fewerSince = 0;
    bool m_talking = false;
    int m_hangover = 0;
    quint32 m_timestamp = 0;
    Frame m_reference{}; // what was played last, for the echo canceller
    std::map<anyID, std::unique_ptr<Speaker>> m_speakers;
    std::vector<int16_t> m_chime;
    size_t m_chimePos = 0;
};

// The voice thread: one for the library, ticking every engine every few milliseconds while
// one of them captures or plays, asleep otherwise.
namespace voicethread {
void start();
void stop();
// Something an idle engine depends on changed (flags, devices, a connection): look again now.
void wake();
// The handler's engine, created on first use; null while the thread is down.
std::shared_ptr<VoiceEngine> engine(uint64 handler);
std::shared_ptr<VoiceEngine> existing(uint64 handler);
void remove(uint64 handler);
} // namespace voicethread

} // namespace voicesdk::sound

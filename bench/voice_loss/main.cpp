// SPDX-License-Identifier: MIT
// bench_voice_loss: what a listener hears when the speaker's datagrams cross a lossy relay (in
// this process) on their way to a real voice-server on loopback.
//
// By default the speaker says sentences of synthetic speech (espeak-ng) over a clean link (also
// with a second core kept busy), Gilbert–Elliott bursts (10 % in bursts of 3, 5 % in bursts of
// 5) and 20 % random loss with 0–60 ms of jitter. Scored only where the source speaks, over
// BENCH_LOSS_SECONDS (default 30) after BENCH_LOSS_SETTLE (default 4): a dropout is a 20 ms
// frame more than 10 dB under the source at that moment, each stretch of speech aligned by its
// own delay, whose median is mouth to ear. Beside it the bare codec (Opus with its own FEC and
// concealment, no buffer) under the same losses of the same frames, in the same run, and the
// speaker's datagram rate against the clean link's. BENCH_LOSS_SEEDS runs each link that many
// times with other seeds.
//
// BENCH_LOSS_SIGNAL=tone (or waver) runs the older table instead: handler A's
// file microphone says a 1 kHz tone in stretches of 1.9 s with 0.1 s pauses (the pauses mark
// time, for mouth to ear); handler B's file speaker records. For 0 %, 5 %, 10 % and 20 % random
// loss (with 0, 0, 40 and 60 ms of random delay) it prints the share of the tone's 20 ms frames
// whose level is under 30 % of the steady level, the longest run of such frames, and the median
// of mouth to ear, beside the targets. The first BENCH_LOSS_SETTLE seconds (default 4) of each
// case are not counted: the speaker learns the link and the listener's buffer settles.
// BENCH_LOSS_SECONDS sets each case's length (default 34). Seeds are fixed. BENCH_LOSS_SIGNAL=waver
// says a tone whose pitch wavers instead, which the codec takes for speech.
#include "audiofiles.h"
#include "eventrecorder.h"
#include "lossyproxy.h"
#include "speaker.h"
#include "speech.h"
#include "voiceserverprocess.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>

using namespace audio;
using Clock = std::chrono::steady_clock;

namespace {

constexpr double ToneSeconds = 1.9;
constexpr double PauseSeconds = 0.1;
constexpr double Amplitude = 6000;
constexpr int FrameSamples = Rate / 50;
constexpr double OnsetDb = -40;
constexpr double DipShare = 0.3; // of the steady level

struct Case
{
    double loss;
    int jitterMs;
    double targetDips; // per cent of frames
};

struct Result
{
    double dips = 0; // per cent of frames
    int longest = 0; // frames
    double medianMs = 0;
    int frames = 0;
    double measuredLoss = 0;
};

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double frameRms(const QVector<qint16>& s, int frame)
{
    double sum = 0;
    for (int i = frame * FrameSamples; i < (frame + 1) * FrameSamples; ++i)
        sum += double(s[i]) * s[i];
    return std::sqrt(sum / FrameSamples);
}

bool run(const Case& c, quint16 serverPort, uint64 listener, int seconds, int settle, quint32 seed,
         bool wavering, Result* out)
{
    LossyProxy proxy(seed);
    uint64 speaker = 0;
    if (!speakerThrough(proxy, serverPort, &speaker))
        return false;
    proxy.loss = c.loss;
    proxy.jitterMs = c.jitterMs;

    QTemporaryDir dir;
    QVector<qint16> said;
    QVector<int> onsets;
    const int cycles = int(seconds / (ToneSeconds + PauseSeconds));
    appendSilence(&said, 0.2);
    for (int i = 0; i < cycles; ++i) {
        onsets.append(said.size());
        if (wavering)
            appendWaver(&said, Amplitude, ToneSeconds);
        else
            appendBursts(&said, 1000, Amplitude, 1, ToneSeconds, PauseSeconds);
        appendSilence(&said, wavering ? PauseSeconds : 0);
    }
    const QString mouth = dir.filePath("mouth.wav");
    const QString ear = dir.filePath("ear.wav");
    double offsetMs = 0;
    if (!openEnds(speaker, listener, said, mouth, ear, &offsetMs))
        return false;
    QTest::qWait(int(said.size() * 1000LL / Rate) + 500);
    ts3client_openPlaybackDevice(listener, "virtual", "discard");
    ts3client_destroyServerConnectionHandler(speaker);
    const QVector<qint16> heard = readWav(ear);

    // Each cycle: its onset in the recording gives mouth to ear; the frames of the tone but the
    // first and last two are judged against the steady level.
    std::vector<double> latencies;
    std::vector<std::pair<int, int>> toneFrames; // first and last frame of each cycle's tone
    const int toneSamples = int(ToneSeconds * Rate);
    int from = 0;
    for (int i = 0; i < cycles; ++i) {
        const double saidMs = offsetMs + onsets[i] * 1000.0 / Rate;
        // Not before it was said, nor before the last tone has ended and its pause begun.
        from = qMax(from, int(saidMs * Rate / 1000.0));
        const int at = onset(heard, OnsetDb, from);
        if (at < 0 || at + toneSamples > heard.size())
            break;
        const double ms = at * 1000.0 / Rate - saidMs;
        if (ms > 1000) {
            from = at; // this cycle's onset was lost; the next one's was found
            continue;
        }
        if (onsets[i] >= settle * Rate)
            latencies.push_back(ms);
        toneFrames.push_back({at / FrameSamples + 3, (at + toneSamples) / FrameSamples - 3});
        from = at + toneSamples + int(PauseSeconds * Rate / 2);
    }
    std::vector<double> levels;
    std::vector<bool> judged;
    for (const auto& [first, last] : toneFrames) {
        for (int f = first; f <= last; ++f) {
            levels.push_back(frameRms(heard, f));
            judged.push_back(f * FrameSamples >= int((offsetMs / 1000.0 + settle) * Rate));
        }
    }
    std::vector<double> sorted = levels;
    const double steady = median(sorted);
    int dips = 0, run = 0, frames = 0;
    for (size_t i = 0; i < levels.size(); ++i) {
        if (!judged[i])
            continue;
        ++frames;
        if (levels[i] < DipShare * steady) {
            ++dips;
            out->longest = std::max(out->longest, ++run);
        } else {
            run = 0;
        }
    }
    out->frames = frames;
    out->dips = frames ? 100.0 * dips / frames : 100;
    out->medianMs = median(latencies);
    out->measuredLoss =
        proxy.passed + proxy.dropped ? 100.0 * proxy.dropped / (proxy.passed + proxy.dropped) : 0;
    return frames > 0 && size_t(cycles) * 8 / 10 <= toneFrames.size();
}

int fail(const char* what)
{
    std::fprintf(stderr, "bench_voice_loss: %s\n", what);
    return 1;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QString signal = qEnvironmentVariable("BENCH_LOSS_SIGNAL");
    const bool speech = signal != QLatin1String("tone") && signal != QLatin1String("waver");
    const int seconds = qEnvironmentVariableIsSet("BENCH_LOSS_SECONDS")
                            ? qMax(10, qEnvironmentVariableIntValue("BENCH_LOSS_SECONDS"))
                        : speech ? 30
                                 : 34;
    const int settle = qEnvironmentVariableIsSet("BENCH_LOSS_SETTLE")
                           ? qBound(0, qEnvironmentVariableIntValue("BENCH_LOSS_SETTLE"), 8)
                           : 4;
    const bool wavering = signal == QLatin1String("waver");
    VoiceServerProcess server;
    if (!server.start())
        return fail("the server did not start");
    const ClientUIFunctions functions = EventRecorder::callbacks();
    if (ts3client_initClientLib(&functions, nullptr, LogType_NONE, nullptr, nullptr) != ERROR_ok)
        return fail("no library");
    uint64 listener = 0;
    ts3client_spawnNewServerConnectionHandler(0, &listener);
    if (!connectHandler(listener, server.port(), "ear"))
        return fail("could not connect");
    if (speech) {
        const int seeds = qEnvironmentVariableIsSet("BENCH_LOSS_SEEDS")
                              ? qBound(1, qEnvironmentVariableIntValue("BENCH_LOSS_SEEDS"), 5)
                              : 1;
        const int code = runSpeech(server.port(), listener, seconds, settle, seeds);
        ts3client_destroyClientLib();
        server.stop();
        return code;
    }

    const Case cases[] = {{0.0, 0, 0.0}, {0.05, 0, 0.5}, {0.10, 40, 2.0}, {0.20, 60, 6.0}};
    std::printf("voice under loss: %s, the speaker's datagrams through a lossy relay to "
                "voice-server on loopback, %d s per case (the first %d s not counted)\n",
                wavering ? "a tone of steady level, its pitch wavering like a held vowel"
                         : "a steady 1 kHz tone",
                seconds, settle);
    std::printf("  %-22s %-14s %-9s %-16s %s\n", "loss (measured), delay", "dips (target)",
                "longest", "mouth to ear", "");
    quint32 seed = 24;
    bool allMet = true;
    for (const Case& c : cases) {
        Result r;
        if (!run(c, server.port(), listener, seconds, settle, seed++, wavering, &r))
            return fail("a case did not run through");
        const bool met = r.dips <= c.targetDips + 1e-9 && (c.loss != 0.05 || r.medianMs <= 80);
        allMet = allMet && met;
        std::printf("  %3.0f %% (%4.1f %%), %2d ms   %5.2f %% (%.1f %%)  %3d ms    median %5.1f "
                    "ms%s   %s\n",
                    c.loss * 100, r.measuredLoss, c.jitterMs, r.dips, c.targetDips, r.longest * 20,
                    r.medianMs, c.loss == 0.05 ? " (<= 80)" : "        ", met ? "met" : "missed");
    }
    ts3client_destroyClientLib();
    server.stop();
    std::printf("  targets %s\n", allMet ? "met" : "missed");
    return 0;
}

// SPDX-License-Identifier: MIT
// bench_voice_latency: mouth to ear through a real voice-server on loopback. Handler A's file
// microphone says tone bursts, handler B's file speaker records; both files run in real time
// from the moment they were opened, so a sample's position is a time. The latency of a burst is
// the time of its onset in B's recording minus the time of its onset in A's file. Prints median
// and 95th percentile beside the floor that the frame size, the codec's look-ahead and the
// playback lead set. BENCH_BURSTS sets the number of bursts (default 40).
#include "audiofiles.h"
#include "eventrecorder.h"
#include "voiceserverprocess.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <opus.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

using namespace audio;
using Clock = std::chrono::steady_clock;

namespace {

constexpr double BurstSeconds = 0.2;
constexpr double PauseSeconds = 0.3;
constexpr double OnsetDb = -40;

double msBetween(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double, std::milli>(b - a).count();
}

// When the open call took effect, within the call's own duration.
template <typename Open> Clock::time_point opened(Open open, bool* ok)
{
    const Clock::time_point before = Clock::now();
    *ok = open() == ERROR_ok;
    const Clock::time_point after = Clock::now();
    return before + (after - before) / 2;
}

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5));
    return values[index];
}

int fail(const char* what)
{
    std::fprintf(stderr, "bench_voice_latency: %s\n", what);
    return 1;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int bursts = qEnvironmentVariableIsSet("BENCH_BURSTS")
                           ? qMax(3, qEnvironmentVariableIntValue("BENCH_BURSTS"))
                           : 40;
    VoiceServerProcess server;
    if (!server.start())
        return fail("the server did not start");
    const ClientUIFunctions functions = EventRecorder::callbacks();
    if (ts3client_initClientLib(&functions, nullptr, LogType_NONE, nullptr, nullptr) != ERROR_ok)
        return fail("no library");
    uint64 a = 0, b = 0;
    ts3client_spawnNewServerConnectionHandler(0, &a);
    ts3client_spawnNewServerConnectionHandler(0, &b);
    if (!connectHandler(a, server.port(), "mouth") || !connectHandler(b, server.port(), "ear"))
        return fail("could not connect");
    QTest::qWait(500); // past the first pings: voice over UDP

    QTemporaryDir dir;
    QVector<qint16> said;
    appendSilence(&said, 0.2);
    QVector<int> onsets;
    for (int i = 0; i < bursts; ++i) {
        // Onsets spread over the phase of a frame, as words begin whenever they like.
        appendSilence(&said, (i * 7 % 20) / 1000.0);
        onsets.append(said.size());
        appendBursts(&said, 1000, 10000, 1, BurstSeconds, PauseSeconds);
    }
    const QString mouth = dir.filePath("mouth.wav");
    const QString ear = dir.filePath("ear.wav");
    if (!writeWav(mouth, said))
        return fail("cannot write the microphone file");
    bool ok1 = false, ok2 = false;
    const Clock::time_point earOpened = opened(
        [&] { return ts3client_openPlaybackDevice(b, "virtual", ("file:" + ear).toUtf8()); }, &ok1);
    const Clock::time_point mouthOpened = opened(
        [&] { return ts3client_openCaptureDevice(a, "virtual", ("file:" + mouth).toUtf8()); },
        &ok2);
    if (!ok1 || !ok2)
        return fail("cannot open the file devices");
    QTest::qWait(int(said.size() * 1000LL / Rate) + 500);
    const QVector<qint16> heard = readWav(ear);
    const double offsetMs = msBetween(earOpened, mouthOpened); // mouth's zero on ear's clock

    std::vector<double> latencies;
    int from = 0;
    for (int i = 0; i < bursts; ++i) {
        const double saidMs = offsetMs + onsets[i] * 1000.0 / Rate;
        // Look from a little before the burst could possibly arrive.
        from = qMax(from, int(saidMs * Rate / 1000.0));
        const int at = onset(heard, OnsetDb, from);
        if (at < 0)
            break;
        latencies.push_back(at * 1000.0 / Rate - saidMs);
        from = at + int(BurstSeconds * Rate);
    }
    ts3client_destroyClientLib();
    server.stop();
    if (latencies.size() < size_t(bursts) * 9 / 10)
        return fail("too few bursts arrived");

    int error = 0;
    OpusEncoder* encoder = opus_encoder_create(Rate, 1, OPUS_APPLICATION_VOIP, &error);
    opus_int32 lookahead = 0;
    opus_encoder_ctl(encoder, OPUS_GET_LOOKAHEAD(&lookahead));
    opus_encoder_destroy(encoder);
    // Every sample waits for its frame to fill; the noise suppressor's overlap holds 10 ms;
    // the jitter buffer plays a frame as soon as it is there; playback is written 5 ms ahead.
    // On top: the wait for the speaker's next frame slot, whose phase is the device's own.
    const double frameMs = 20, preprocessMs = 10, codecMs = lookahead * 1000.0 / Rate, jitterMs = 0,
                 leadMs = 5;
    const double floorMs = frameMs + preprocessMs + codecMs + jitterMs + leadMs;
    std::printf("voice latency, mouth to ear through voice-server on loopback, %zu bursts\n",
                latencies.size());
    std::printf("  median %.1f ms, 95th percentile %.1f ms, min %.1f ms, max %.1f ms\n",
                percentile(latencies, 0.5), percentile(latencies, 0.95),
                *std::min_element(latencies.begin(), latencies.end()),
                *std::max_element(latencies.begin(), latencies.end()));
    std::printf("  floor %.1f ms = frame %.0f + noise suppression overlap %.0f + codec look-ahead "
                "%.1f + jitter buffer minimum %.0f + playback lead %.0f; the rest is the wait for "
                "the speaker's next frame slot and the trip\n",
                floorMs, frameMs, preprocessMs, codecMs, jitterMs, leadMs);
    std::printf("  median / floor: %.2f; target median <= 60 ms: %s\n",
                percentile(latencies, 0.5) / floorMs,
                percentile(latencies, 0.5) <= 60 ? "met" : "missed");
    return 0;
}

// SPDX-License-Identifier: MIT
// The speech table of bench_voice_loss (main.cpp says what it measures).
#include "speech.h"

#include "audiofiles.h"
#include "eventrecorder.h"
#include "lossyproxy.h"
#include "speaker.h"

#include <opus/opus.h>
#include <speex/speex_resampler.h>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

using namespace audio;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int FrameSamples = Rate / 50;
constexpr double DropoutDb = 10;   // under the source: the frame dropped out
constexpr double SpeakingDb = 30;  // frames this far under the loudest count as the source speaking
constexpr int SpurtGapFrames = 10; // speech parted by 200 ms of quiet: two stretches
constexpr int MaxLagMs = 600;      // mouth to ear is looked for up to this
constexpr int EnvelopeSamples = Rate / 1000; // 1 ms

const char* const Sentences[] = {
    "The meeting starts at nine, so please be on time and bring the notes from last week.",
    "Can you hear me now? I think the line was breaking up a moment ago.",
    "We moved the release to Thursday because two of the tests still fail on the build machine.",
    "Her voice carried across the room, clear and steady, over the hum of the fans.",
    "Seven large boxes of paper arrived this morning, and nobody knows who ordered them.",
    "If the network drops a few packets, the listener should still understand every word.",
    "Thank you all for joining. Let us go through the open questions one by one.",
    "The quick brown fox jumps over the lazy dog while the farmer watches from the gate.",
    "Please send me the figures before lunch, and copy the whole team on the answer.",
    "Wireless links lose packets in bursts when someone walks between the phone and the router.",
    "She said the numbers looked better than expected, but the costs were still too high.",
    "Our next call is on Monday. Until then, enjoy the weekend and stay safe.",
};

struct Link
{
    const char* name;
    double loss;
    double burst; // mean length of a run of losses; 0: random
    int jitterMs;
    bool busy; // a second core kept busy meanwhile
    double targetDropouts;
    int targetOverCleanMs; // mouth to ear over the clean link's; < 0: absolute below
    int targetMs;          // absolute, when targetOverCleanMs < 0; 0: none
    bool coversBursts;     // the rate bound applies
};

struct Score
{
    double dropouts = 0; // per cent of the frames where the source speaks
    int frames = 0;
    double mouthToEarMs = 0;
};

// Mono 16-bit WAV at any rate, as espeak-ng writes it, at 48 kHz.
QVector<qint16> readAnyWav(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    if (bytes.size() < 44 || !bytes.startsWith("RIFF"))
        return {};
    const quint32 rate = qFromLittleEndian<quint32>(bytes.constData() + 24);
    int at = 12;
    QVector<qint16> in;
    while (at + 8 <= bytes.size()) {
        const quint32 size = qFromLittleEndian<quint32>(bytes.constData() + at + 4);
        if (bytes.mid(at, 4) == "data") {
            const int end = int(std::min<qint64>(bytes.size(), qint64(at) + 8 + size));
            for (int i = at + 8; i + 1 < end; i += 2)
                in.append(qFromLittleEndian<qint16>(bytes.constData() + i));
            break;
        }
        at += 8 + int(size);
    }
    if (rate == Rate || in.isEmpty())
        return in;
    int error = 0;
    SpeexResamplerState* resampler = speex_resampler_init(1, rate, Rate, 8, &error);
    if (!resampler)
        return {};
    QVector<qint16> out(int(qint64(in.size()) * Rate / rate) + 64);
    spx_uint32_t inLength = spx_uint32_t(in.size());
    spx_uint32_t outLength = spx_uint32_t(out.size());
    speex_resampler_process_int(resampler, 0, in.constData(), &inLength, out.data(), &outLength);
    speex_resampler_destroy(resampler);
    out.resize(int(outLength));
    return out;
}

// The sentences, said one after another with pauses between, until `seconds` are filled; the
// loudest stretches near -20 dBFS.
QVector<qint16> sayings(const QString& dir, double seconds, QString* error)
{
    QVector<qint16> said;
    appendSilence(&said, 0.3);
    for (int i = 0; said.size() < seconds * Rate; ++i) {
        const QString path = QStringLiteral("%1/s%2.wav").arg(dir).arg(i % 12);
        if (i < 12) {
            const int code = QProcess::execute(QStringLiteral("espeak-ng"),
                                               {QStringLiteral("-v"), QStringLiteral("en-us"),
                                                QStringLiteral("-s"), QStringLiteral("165"),
                                                QStringLiteral("-w"), path,
                                                QString::fromUtf8(Sentences[i % 12])});
            if (code != 0) {
                *error = QStringLiteral("espeak-ng did not run (scripts/install-deps brings it)");
                return {};
            }
        }
        const QVector<qint16> sentence = readAnyWav(path);
        if (sentence.isEmpty()) {
            *error = QStringLiteral("espeak-ng wrote no speech");
            return {};
        }
        said += sentence;
        appendSilence(&said, 0.35 + 0.1 * (i % 4));
    }
    double loudest = -200;
    for (int f = 0; (f + 1) * FrameSamples <= said.size(); ++f)
        loudest = std::max(loudest, levelDb(said, f * FrameSamples, FrameSamples));
    const double gain = std::pow(10.0, (-14 - loudest) / 20);
    for (qint16& s : said)
        s = qint16(std::clamp<long>(std::lround(s * gain), -32768, 32767));
    return said;
}

std::vector<double> frameLevels(const QVector<qint16>& s, int offset, int frames)
{
    std::vector<double> out;
    for (int f = 0; f < frames; ++f)
        out.push_back(levelDb(s, offset + f * FrameSamples, FrameSamples));
    return out;
}

std::vector<double> envelope(const QVector<qint16>& s, int from, int count)
{
    std::vector<double> out;
    for (int i = from; i + EnvelopeSamples <= from + count; i += EnvelopeSamples) {
        double sum = 0;
        for (int j = i; j < i + EnvelopeSamples; ++j)
            sum += (j >= 0 && j < s.size()) ? std::abs(double(s[j])) : 0;
        out.push_back(sum / EnvelopeSamples);
    }
    return out;
}

// Scores what was heard against what was said. `offsetSamples`: where sample 0 of the source
// lies in the recording (the devices opened apart). Only frames of the source from
// `fromFrame` on count. Each stretch of speech is aligned on its own (the delay that matches
// its loudness over time best); mouth to ear is the median of those delays.
Score score(const QVector<qint16>& said, const QVector<qint16>& heard, int offsetSamples,
            int fromFrame, int toFrame, bool align)
{
    const int frames = int(said.size() / FrameSamples);
    const std::vector<double> source = frameLevels(said, 0, frames);
    const double loudest = *std::max_element(source.begin(), source.end());
    std::vector<bool> speaking(size_t(frames), false);
    for (int f = 0; f < frames; ++f)
        speaking[size_t(f)] = source[size_t(f)] > loudest - SpeakingDb;
    Score out;
    std::vector<double> lags;
    // Loudness over time in 1 ms steps, both from the source's first sample.
    const std::vector<double> saidEnvelope = envelope(said, 0, said.size());
    const std::vector<double> heardEnvelope =
        align ? envelope(heard, offsetSamples, heard.size() - offsetSamples)
              : std::vector<double>();
    int dropouts = 0;
    for (int f = fromFrame; f < std::min(frames, toFrame);) {
        if (!speaking[size_t(f)]) {
            ++f;
            continue;
        }
        // One stretch: until SpurtGapFrames quiet frames in a row.
        int end = f, quiet = 0;
        while (end < frames && quiet < SpurtGapFrames) {
            quiet = speaking[size_t(end)] ? 0 : quiet + 1;
            ++end;
        }
        end -= quiet;
        int lag = 0;
        if (align) {
            const size_t first = size_t(f) * 20, last = size_t(end) * 20;
            double best = -1;
            for (int ms = 0; ms <= MaxLagMs; ++ms) {
                double ab = 0, bb = 0;
                for (size_t i = first;
                     i < last && i < saidEnvelope.size() && i + size_t(ms) < heardEnvelope.size();
                     ++i) {
                    const double b = heardEnvelope[i + size_t(ms)];
                    ab += saidEnvelope[i] * b;
                    bb += b * b;
                }
                const double c = bb > 0 ? ab / std::sqrt(bb) : 0;
                if (c > best) {
                    best = c;
                    lag = ms * EnvelopeSamples;
                }
            }
            lags.push_back(double(lag) * 1000 / Rate);
        }
        for (int g = f; g < end && g < toFrame; ++g) {
            if (!speaking[size_t(g)])
                continue;
            ++out.frames;
            const double level =
                levelDb(heard, offsetSamples + g * FrameSamples + lag, FrameSamples);
            if (level < source[size_t(g)] - DropoutDb)
                ++dropouts;
        }
        f = end;
    }
    out.dropouts = out.frames ? 100.0 * dropouts / out.frames : 100;
    if (!lags.empty()) {
        std::sort(lags.begin(), lags.end());
        out.mouthToEarMs = lags[lags.size() / 2];
    }
    return out;
}

// The bare codec under the same losses: every frame it sends (silence left out by DTX, as the
// speaker does) takes the next loss decision in turn; a lost frame is rebuilt from the next
// frame's FEC when that came, else concealed. Played without delay.
QVector<qint16> codecAlone(const QVector<qint16>& said, const QVector<bool>& losses,
                           int lossPercent)
{
    int error = 0;
    OpusEncoder* encoder = opus_encoder_create(Rate, 1, OPUS_APPLICATION_VOIP, &error);
    OpusDecoder* decoder = opus_decoder_create(Rate, 1, &error);
    opus_encoder_ctl(encoder, OPUS_SET_BITRATE(32000));
    opus_encoder_ctl(encoder, OPUS_SET_INBAND_FEC(1));
    opus_encoder_ctl(encoder, OPUS_SET_PACKET_LOSS_PERC(std::max(lossPercent, 1)));
    opus_encoder_ctl(encoder, OPUS_SET_DTX(1));
    const int frames = int(said.size() / FrameSamples);
    std::vector<QByteArray> packets(size_t(frames) + 1);
    int next = 0;
    for (int f = 0; f < frames; ++f) {
        unsigned char data[1275];
        const int size =
            opus_encode(encoder, said.constData() + f * FrameSamples, FrameSamples, data, 1275);
        if (size <= 2)
            continue; // left out
        const bool lost = next < losses.size() ? losses[next] : false;
        ++next;
        if (!lost)
            packets[size_t(f)] = QByteArray(reinterpret_cast<const char*>(data), size);
    }
    QVector<qint16> out(frames * FrameSamples);
    for (int f = 0; f < frames; ++f) {
        qint16* pcm = out.data() + f * FrameSamples;
        const QByteArray& p = packets[size_t(f)];
        const QByteArray& after = packets[size_t(f) + 1];
        int n = -1;
        if (!p.isEmpty())
            n = opus_decode(decoder, reinterpret_cast<const unsigned char*>(p.constData()),
                            p.size(), pcm, FrameSamples, 0);
        else if (!after.isEmpty())
            n = opus_decode(decoder, reinterpret_cast<const unsigned char*>(after.constData()),
                            after.size(), pcm, FrameSamples, 1);
        if (n != FrameSamples &&
            opus_decode(decoder, nullptr, 0, pcm, FrameSamples, 0) != FrameSamples)
            std::fill(pcm, pcm + FrameSamples, qint16(0));
    }
    opus_encoder_destroy(encoder);
    opus_decoder_destroy(decoder);
    return out;
}

struct Outcome
{
    Score heard;
    Score codec;
    double rateKbps = 0;
    double measuredLoss = 0;
};

bool runLink(const Link& link, const QVector<qint16>& said, quint16 serverPort, uint64 listener,
             int settle, quint32 seed, const QString& dir, Outcome* out)
{
    LossyProxy proxy(seed);
    uint64 speaker = 0;
    if (!speakerThrough(proxy, serverPort, &speaker))
        return false;
    proxy.loss = link.loss;
    proxy.burst = link.burst;
    proxy.jitterMs = link.jitterMs;
    proxy.recordLosses();

    std::atomic<bool> stop{false};
    std::thread busy;
    if (link.busy) {
        busy = std::thread([&stop] {
            volatile double x = 1;
            while (!stop.load(std::memory_order_relaxed))
                x = x * 1.0000001 + 1e-9;
        });
    }
    const QString mouth = dir + "/mouth.wav";
    const QString ear = dir + "/ear.wav";
    double offsetMs = 0;
    if (!openEnds(speaker, listener, said, mouth, ear, &offsetMs))
        return false;
    const qint64 settledBytesAt = settle * 1000;
    QTest::qWait(int(settledBytesAt));
    const qint64 bytesAtSettle = proxy.upBytes;
    const int spokenMs = int(said.size() * 1000LL / Rate);
    QTest::qWait(spokenMs - int(settledBytesAt));
    const qint64 bytesAtEnd = proxy.upBytes;
    QTest::qWait(600);
    stop = true;
    if (busy.joinable())
        busy.join();
    ts3client_openPlaybackDevice(listener, "virtual", "discard");
    ts3client_destroyServerConnectionHandler(speaker);
    const QVector<qint16> heard = readWav(ear);
    const int fromFrame = settle * 50;
    const int toFrame = int(said.size() / FrameSamples);
    out->heard = score(said, heard, int(offsetMs * Rate / 1000), fromFrame, toFrame, true);
    const QVector<bool> losses = proxy.recordedLosses();
    // Aligned like the rest: the codec delays by its look-ahead.
    out->codec = score(said, codecAlone(said, losses, int(std::lround(link.loss * 100))), 0,
                       fromFrame, toFrame, true);
    out->rateKbps = double(bytesAtEnd - bytesAtSettle) * 8 / (spokenMs - settledBytesAt);
    out->measuredLoss =
        losses.isEmpty() ? 0
                         : 100.0 * std::count(losses.begin(), losses.end(), true) / losses.size();
    return out->heard.frames > 0;
}

} // namespace

int runSpeech(quint16 serverPort, uint64 listener, int seconds, int settle, int seeds)
{
    QTemporaryDir dir;
    QString error;
    const QVector<qint16> said = sayings(dir.path(), settle + seconds + 0.5, &error);
    if (said.isEmpty()) {
        std::fprintf(stderr, "bench_voice_loss: %s\n", qPrintable(error));
        return 1;
    }
    const Link links[] = {
        {"clean", 0, 0, 0, false, 0, -1, 55, false},
        {"clean, busy core", 0, 0, 0, true, 0, -1, 55, false},
        {"GE 10 %, bursts of 3", 0.10, 3, 0, false, 1.0, 40, 0, true},
        {"GE 5 %, bursts of 5", 0.05, 5, 0, false, 1.5, 60, 0, true},
        {"20 %, 0-60 ms jitter", 0.20, 0, 60, false, 0.5, -1, 133, true},
    };
    std::printf("voice under loss: %.0f s of speech (espeak-ng), the speaker's datagrams through a "
                "lossy relay to voice-server on loopback; %d s scored after %d s, %d seed(s) per "
                "link\n",
                said.size() / double(Rate), seconds, settle, seeds);
    std::printf("  %-22s %-9s %-20s %-12s %-24s %-18s %s\n", "link", "lost", "dropouts (target)",
                "codec alone", "mouth to ear (target)", "rate (x clean)", "");
    double cleanMs = 0, cleanRate = 0;
    bool allMet = true;
    quint32 seed = 38;
    for (const Link& link : links) {
        Outcome sum;
        for (int n = 0; n < seeds; ++n) {
            Outcome o;
            if (!runLink(link, said, serverPort, listener, settle, seed + quint32(n) * 101,
                         dir.path(), &o)) {
                std::fprintf(stderr, "bench_voice_loss: the link '%s' did not run through\n",
                             link.name);
                return 1;
            }
            sum.heard.dropouts += o.heard.dropouts / seeds;
            sum.heard.mouthToEarMs += o.heard.mouthToEarMs / seeds;
            sum.codec.dropouts += o.codec.dropouts / seeds;
            sum.rateKbps += o.rateKbps / seeds;
            sum.measuredLoss += o.measuredLoss / seeds;
        }
        ++seed;
        if (&link == &links[0]) {
            cleanMs = sum.heard.mouthToEarMs;
            cleanRate = sum.rateKbps;
        }
        const double msTarget =
            link.targetOverCleanMs >= 0 ? cleanMs + link.targetOverCleanMs : link.targetMs;
        const double rate = cleanRate > 0 ? sum.rateKbps / cleanRate : 0;
        const bool dropoutsMet = sum.heard.dropouts <= link.targetDropouts + 1e-9;
        const bool msMet = msTarget <= 0 || sum.heard.mouthToEarMs <= msTarget;
        const bool rateMet = !link.coversBursts || rate <= 3.0;
        allMet = allMet && dropoutsMet && msMet && rateMet;
        std::printf("  %-22s %5.1f %%   %5.2f %% (%.1f %%)%s   %5.2f %%      %5.0f ms (<= %3.0f)%s "
                    "  %5.1f kb/s (%.2f)%s\n",
                    link.name, sum.measuredLoss, sum.heard.dropouts, link.targetDropouts,
                    dropoutsMet ? "    " : " !! ", sum.codec.dropouts, sum.heard.mouthToEarMs,
                    msTarget, msMet ? "     " : " !!  ", sum.rateKbps, rate, rateMet ? "" : " !!");
    }
    std::printf("  targets %s (!! marks a miss)\n", allMet ? "met" : "missed");
    return 0;
}

// SPDX-License-Identifier: MIT
// The sound module's C++ side: virtual and file-backed devices, the sample ring, configuration
// values and the per-handler device bookkeeping.
#include "filehelpers.h"
#include "resampler.h"
#include "ringbuffer.h"
#include "soundconfig.h"
#include "soundmanager.h"
#include "virtualdevices.h"
#if VOICESDK_WITH_PORTAUDIO
#include "portaudiosystem.h"
#endif

#include <QFile>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <atomic>
#include <cmath>
#include <thread>

using namespace voicesdk::sound;

namespace {

QByteArray wavHeader(quint16 format, quint16 channels, quint32 rate, quint16 bits,
                     quint32 dataBytes, const QByteArray& extraChunk = {})
{
    QByteArray h;
    auto u16 = [&h](quint16 v) {
        char b[2];
        qToLittleEndian(v, b);
        h.append(b, 2);
    };
    auto u32 = [&h](quint32 v) {
        char b[4];
        qToLittleEndian(v, b);
        h.append(b, 4);
    };
    h += "RIFF";
    u32(36 + dataBytes + quint32(extraChunk.size()));
    h += "WAVEfmt ";
    u32(16);
    u16(format);
    u16(channels);
    u32(rate);
    u32(rate * channels * bits / 8);
    u16(quint16(channels * bits / 8));
    u16(bits);
    h += extraChunk;
    h += "data";
    u32(dataBytes);
    return h;
}

QByteArray samplesLE(const QVector<qint16>& samples)
{
    QByteArray out(samples.size() * 2, '\0');
    for (int i = 0; i < samples.size(); ++i)
        qToLittleEndian(samples[i], out.data() + 2 * i);
    return out;
}

QVector<qint16> ramp(int count)
{
    QVector<qint16> out(count);
    for (int i = 0; i < count; ++i)
        out[i] = qint16((i * 37) % 65536 - 32768);
    return out;
}

// Reads a capture source to its end (bounded, so a source that never ends fails the test).
QVector<qint16> drain(CaptureSource& source, int maxFrames = 1000)
{
    QVector<qint16> out;
    Frame frame;
    for (int i = 0; i < maxFrames; ++i) {
        if (source.read(frame) != ReadStatus::Frame)
            return out;
        out.append(QVector<qint16>(frame.begin(), frame.end()));
    }
    return out;
}

// A sound system whose "exclusive" device opens only while no other instance of it is open,
// like hardware that takes one stream at a time, and whose "broken" device never opens.
struct ExclusiveSystem : SoundSystem
{
    struct Source : CaptureSource
    {
        explicit Source(std::shared_ptr<int> count) : open(std::move(count)) { ++*open; }
        ~Source() override { --*open; }
        ReadStatus read(Frame& frame) override
        {
            frame.fill(7);
            return ReadStatus::Frame;
        }
        bool isClocked() const override { return true; }
        std::shared_ptr<int> open;
    };

    QByteArray name = "exclusive-system";
    std::shared_ptr<int> openCount = std::make_shared<int>(0);

    QByteArray id() const override { return name; }
    QList<DeviceInfo> devices(Direction direction) const override
    {
        if (direction == Direction::Playback)
            return {};
        return {{"exclusive", "Exclusive"}, {"broken", "Broken"}};
    }
    QByteArray defaultDevice(Direction direction) const override
    {
        return direction == Direction::Capture ? "exclusive" : QByteArray();
    }
    unsigned int openCapture(const QByteArray& id, std::unique_ptr<CaptureSource>* out) override
    {
        if (id == "broken")
            return ERROR_sound_device_open_failed;
        if (id != "exclusive")
            return ERROR_sound_invalid_device;
        if (*openCount > 0)
            return ERROR_sound_device_open_failed;
        *out = std::make_unique<Source>(openCount);
        return ERROR_ok;
    }
    unsigned int openPlayback(const QByteArray&, std::unique_ptr<PlaybackSink>*) override
    {
        return ERROR_sound_invalid_device;
    }
};

} // namespace

class TestSoundDevices : public QObject
{
    Q_OBJECT

private slots:
    void ringIsBoundedAndKeepsOrderAcrossWrap()
    {
        SampleRing ring(10);
        QVector<int16_t> in{1, 2, 3, 4, 5, 6, 7};
        QCOMPARE(ring.push(in.data(), 7), size_t(7));
        int16_t out[10] = {};
        QCOMPARE(ring.pop(out, 5), size_t(5));
        QCOMPARE(out[4], int16_t(5));
        // Wraps around the end of the storage; only the free space is taken.
        QVector<int16_t> more{8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
        QCOMPARE(ring.push(more.data(), 10), size_t(8));
        QCOMPARE(ring.available(), size_t(10));
        QCOMPARE(ring.push(more.data(), 1), size_t(0));
        QCOMPARE(ring.pop(out, 20), size_t(10));
        const int16_t expected[10] = {6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
        QVERIFY(std::equal(out, out + 10, expected));
        QCOMPARE(ring.pop(out, 1), size_t(0));
    }

    void ringAcrossThreadsLosesNothingWhileThereIsRoom()
    {
        SampleRing ring(256);
        constexpr int total = 200000;
        std::thread producer([&ring] {
            int16_t next = 0;
            int sent = 0;
            while (sent < total) {
                int16_t chunk[32];
                const int n = qMin(32, total - sent);
                for (int i = 0; i < n; ++i)
                    chunk[i] = int16_t(next + i);
                const size_t pushed = ring.push(chunk, size_t(n));
                next = int16_t(next + int(pushed));
                sent += int(pushed);
                if (pushed == 0)
                    std::this_thread::yield();
            }
        });
        int received = 0;
        bool inOrder = true;
        int16_t expect = 0;
        while (received < total) {
            int16_t buf[64];
            const size_t n = ring.pop(buf, 64);
            for (size_t i = 0; i < n; ++i, ++expect)
                inOrder = inOrder && buf[i] == expect;
            received += int(n);
            if (n == 0)
                std::this_thread::yield();
        }
        producer.join();
        QVERIFY(inOrder);
    }

    void silenceIsZero()
    {
        SilenceSource source;
        Frame frame;
        frame.fill(123);
        QCOMPARE(source.read(frame), ReadStatus::Frame);
        QVERIFY(std::all_of(frame.begin(), frame.end(), [](int16_t s) { return s == 0; }));
    }

    // One second of tone: 440 periods (880 sign changes), the set amplitude, and no jump at
    // the frame borders.
    void toneIsA440HzSineContinuousAcrossFrames()
    {
        ToneSource source;
        QVector<qint16> samples;
        Frame frame;
        for (int i = 0; i < 50; ++i) {
            QCOMPARE(source.read(frame), ReadStatus::Frame);
            samples.append(QVector<qint16>(frame.begin(), frame.end()));
        }
        QCOMPARE(samples.size(), SampleRate);
        int crossings = 0;
        int peak = 0;
        int maxStep = 0;
        for (int i = 1; i < samples.size(); ++i) {
            if ((samples[i - 1] < 0) != (samples[i] < 0))
                ++crossings;
            peak = qMax(peak, qAbs(int(samples[i])));
            maxStep = qMax(maxStep, qAbs(samples[i] - samples[i - 1]));
        }
        QVERIFY2(qAbs(crossings - 880) <= 2, qPrintable(QString::number(crossings)));
        QVERIFY(qAbs(peak - int(ToneSource::Amplitude)) <= 2);
        const double slope = ToneSource::Amplitude * 2 * M_PI * ToneSource::Frequency / SampleRate;
        QVERIFY2(maxStep <= int(std::ceil(slope)) + 1, qPrintable(QString::number(maxStep)));
    }

    void rawFileCaptureYieldsItsSamplesThenEnds()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("in.raw");
        const QVector<qint16> in = ramp(FrameSamples * 2 + 100);
        QVERIFY(writeFile(path, samplesLE(in) + QByteArray(1, 'x'))); // a stray odd byte
        FileCaptureSource source;
        QCOMPARE(source.open(path), unsigned(ERROR_ok));
        const QVector<qint16> out = drain(source);
        QCOMPARE(out.size(), FrameSamples * 3);
        QCOMPARE(out.mid(0, in.size()), in);
        QVERIFY(std::all_of(out.begin() + in.size(), out.end(), [](qint16 s) { return s == 0; }));
        Frame frame;
        QCOMPARE(source.read(frame), ReadStatus::Ended);
    }

    void wavFileCaptureSkipsOtherChunksAndStopsAtDataEnd()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("in.WAV");
        const QVector<qint16> in = ramp(FrameSamples);
        // An odd-sized chunk (padded) before the data, and trailing bytes after it.
        const QByteArray list = QByteArray("LIST") + QByteArray("\x03\0\0\0", 4) + "abc" + '\0';
        QVERIFY(writeFile(path, wavHeader(1, 1, 48000, 16, quint32(in.size() * 2), list) +
                                    samplesLE(in) + "trailing junk!"));
        FileCaptureSource source;
        QCOMPARE(source.open(path), unsigned(ERROR_ok));
        QCOMPARE(drain(source), in);
    }

    void wavFileCaptureTakesAnUnsetDataSizeAsTheRestOfTheFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("stream.wav");
        const QVector<qint16> in = ramp(FrameSamples);
        QVERIFY(writeFile(path, wavHeader(1, 1, 48000, 16, 0xFFFFFFFFu) + samplesLE(in)));
        FileCaptureSource source;
        QCOMPARE(source.open(path), unsigned(ERROR_ok));
        QCOMPARE(drain(source), in);
    }

    void unusableCaptureFilesAreRefused_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("stereo") << wavHeader(1, 2, 48000, 16, 4) + QByteArray(4, '\0');
        QTest::newRow("44.1 kHz") << wavHeader(1, 1, 44100, 16, 2) + QByteArray(2, '\0');
        QTest::newRow("8-bit") << wavHeader(1, 1, 48000, 8, 2) + QByteArray(2, '\0');
        QTest::newRow("float") << wavHeader(3, 1, 48000, 16, 2) + QByteArray(2, '\0');
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("not riff") << QByteArray("hello, this is not a wave file at all");
        QTest::newRow("cut header") << wavHeader(1, 1, 48000, 16, 2).left(30);
        QByteArray noFormat("RIFF\x10\0\0\0WAVEdata\x02\0\0\0\0\0", 22);
        QTest::newRow("data before fmt") << noFormat;
        QByteArray hugeChunk("RIFF\0\0\0\0WAVEjunk\xff\xff\xff\x7f", 20);
        QTest::newRow("chunk past the end") << hugeChunk;
    }

    void unusableCaptureFilesAreRefused()
    {
        QFETCH(QByteArray, content);
        QTemporaryDir dir;
        const QString path = dir.filePath("bad.wav");
        QVERIFY(writeFile(path, content));
        FileCaptureSource source;
        QCOMPARE(source.open(path), unsigned(ERROR_sound_device_open_failed));
        Frame frame;
        QCOMPARE(source.read(frame), ReadStatus::Ended);
    }

    void missingCaptureFileIsRefused()
    {
        QTemporaryDir dir;
        FileCaptureSource source;
        QCOMPARE(source.open(dir.filePath("none.raw")), unsigned(ERROR_sound_device_open_failed));
    }

    // The header is right after every frame, so the file can be read while still open.
    void wavPlaybackWritesAValidFileAfterEveryFrame()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("out.wav");
        FilePlaybackSink sink;
        QCOMPARE(sink.open(path), unsigned(ERROR_ok));
        const QVector<qint16> in = ramp(FrameSamples * 3);
        for (int f = 0; f < 3; ++f) {
            Frame frame;
            std::copy(in.begin() + f * FrameSamples, in.begin() + (f + 1) * FrameSamples,
                      frame.begin());
            QVERIFY(sink.write(frame));
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QByteArray bytes = file.readAll();
            const quint32 dataBytes = quint32((f + 1) * FrameSamples * 2);
            QCOMPARE(bytes.left(44), wavHeader(1, 1, 48000, 16, dataBytes));
            QCOMPARE(bytes.size(), int(44 + dataBytes));
        }
        FileCaptureSource readBack;
        QCOMPARE(readBack.open(path), unsigned(ERROR_ok));
        QCOMPARE(drain(readBack), in);
    }

    void rawPlaybackWritesBareSamples()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("out.pcm");
        QVERIFY(writeFile(path, QByteArray(100000, 'x'))); // truncated on open
        FilePlaybackSink sink;
        QCOMPARE(sink.open(path), unsigned(ERROR_ok));
        Frame frame;
        const QVector<qint16> in = ramp(FrameSamples);
        std::copy(in.begin(), in.end(), frame.begin());
        QVERIFY(sink.write(frame));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), samplesLE(in));
    }

    void playbackIntoAMissingDirectoryIsRefused()
    {
        QTemporaryDir dir;
        FilePlaybackSink sink;
        QCOMPARE(sink.open(dir.filePath("no/such/dir/out.wav")),
                 unsigned(ERROR_sound_device_open_failed));
        QVERIFY(!sink.write(Frame{}));
    }

    void virtualSystemRefusesUnknownDevices_data()
    {
        QTest::addColumn<QByteArray>("id");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("bare prefix") << QByteArray("file:");
        QTest::newRow("case") << QByteArray("Silence");
        QTest::newRow("other system's") << QByteArray("default");
        QTest::newRow("playback id on capture") << QByteArray("discard");
        QTest::newRow("prefix without colon") << QByteArray("file");
    }

    void virtualSystemRefusesUnknownDevices()
    {
        QFETCH(QByteArray, id);
        VirtualSoundSystem system;
        std::unique_ptr<CaptureSource> source;
        QCOMPARE(system.openCapture(id, &source), unsigned(ERROR_sound_invalid_device));
        QVERIFY(!source);
        std::unique_ptr<PlaybackSink> sink;
        const QByteArray playbackId = id == "discard" ? QByteArray("silence") : id;
        QCOMPARE(system.openPlayback(playbackId, &sink), unsigned(ERROR_sound_invalid_device));
        QVERIFY(!sink);
    }

    void virtualSystemListsOpenableDevices()
    {
        QTemporaryDir dir;
        QVERIFY(QDir::setCurrent(dir.path())); // the listed file devices are relative
        QVERIFY(writeFile("capture.wav", wavHeader(1, 1, 48000, 16, 0)));
        VirtualSoundSystem system;
        for (const DeviceInfo& d : system.devices(Direction::Capture)) {
            std::unique_ptr<CaptureSource> source;
            QVERIFY2(system.openCapture(d.id, &source) == ERROR_ok, d.id.constData());
            QVERIFY(!d.name.isEmpty());
        }
        for (const DeviceInfo& d : system.devices(Direction::Playback)) {
            std::unique_ptr<PlaybackSink> sink;
            QVERIFY2(system.openPlayback(d.id, &sink) == ERROR_ok, d.id.constData());
            QVERIFY(!d.name.isEmpty());
        }
        QVERIFY(QFile::exists("playback.wav"));
    }

    void configValues_data()
    {
        QTest::addColumn<QByteArray>("ident");
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<unsigned>("code");
        QTest::addColumn<QByteArray>("readBack"); // empty: the default stays
        const unsigned ok = ERROR_ok;
        const unsigned badValue = ERROR_sound_invalid_value;
        const unsigned badIdent = ERROR_sound_invalid_identifier;
        QTest::newRow("vad on") << QByteArray("vad") << QByteArray("true") << ok
                                << QByteArray("true");
        QTest::newRow("vad off") << QByteArray("vad") << QByteArray("false") << ok
                                 << QByteArray("false");
        QTest::newRow("vad maybe")
            << QByteArray("vad") << QByteArray("maybe") << badValue << QByteArray();
        QTest::newRow("vad 1") << QByteArray("vad") << QByteArray("1") << badValue << QByteArray();
        QTest::newRow("vad TRUE") << QByteArray("vad") << QByteArray("TRUE") << badValue
                                  << QByteArray();
        QTest::newRow("vad empty")
            << QByteArray("vad") << QByteArray("") << badValue << QByteArray();
        QTest::newRow("echo on") << QByteArray("echo_canceling") << QByteArray("true") << ok
                                 << QByteArray("true");
        QTest::newRow("echo space")
            << QByteArray("echo_canceling") << QByteArray("true ") << badValue << QByteArray();
        QTest::newRow("level -20")
            << QByteArray("voiceactivation_level") << QByteArray("-20") << ok << QByteArray("-20");
        QTest::newRow("level 0.5")
            << QByteArray("voiceactivation_level") << QByteArray("0.5") << ok << QByteArray("0.5");
        QTest::newRow("level plus") << QByteArray("voiceactivation_level") << QByteArray("+12.25")
                                    << ok << QByteArray("12.25");
        QTest::newRow("level six digits")
            << QByteArray("voiceactivation_level") << QByteArray("0.123456789") << ok
            << QByteArray("0.123457");
        QTest::newRow("level exponent") << QByteArray("voiceactivation_level")
                                        << QByteArray("-1.5e1") << ok << QByteArray("-15");
        QTest::newRow("level min") << QByteArray("voiceactivation_level") << QByteArray("-100")
                                   << ok << QByteArray("-100");
        QTest::newRow("level max")
            << QByteArray("voiceactivation_level") << QByteArray("100") << ok << QByteArray("100");
        QTest::newRow("level below") << QByteArray("voiceactivation_level") << QByteArray("-100.5")
                                     << badValue << QByteArray();
        QTest::newRow("level above")
            << QByteArray("voiceactivation_level") << QByteArray("1e3") << badValue << QByteArray();
        QTest::newRow("level abc")
            << QByteArray("voiceactivation_level") << QByteArray("abc") << badValue << QByteArray();
        QTest::newRow("level nan")
            << QByteArray("voiceactivation_level") << QByteArray("nan") << badValue << QByteArray();
        QTest::newRow("level inf") << QByteArray("voiceactivation_level") << QByteArray("-inf")
                                   << badValue << QByteArray();
        QTest::newRow("level comma") << QByteArray("voiceactivation_level") << QByteArray("-2,5")
                                     << badValue << QByteArray();
        QTest::newRow("level trailing") << QByteArray("voiceactivation_level")
                                        << QByteArray("-20dB") << badValue << QByteArray();
        QTest::newRow("level leading space") << QByteArray("voiceactivation_level")
                                             << QByteArray(" -20") << badValue << QByteArray();
        QTest::newRow("level two signs")
            << QByteArray("voiceactivation_level") << QByteArray("+-3") << badValue << QByteArray();
        QTest::newRow("level hex") << QByteArray("voiceactivation_level") << QByteArray("0x10")
                                   << badValue << QByteArray();
        QTest::newRow("level huge") << QByteArray("voiceactivation_level") << QByteArray("1e400")
                                    << badValue << QByteArray();
        QTest::newRow("level empty")
            << QByteArray("voiceactivation_level") << QByteArray("") << badValue << QByteArray();
        QTest::newRow("level bool") << QByteArray("voiceactivation_level") << QByteArray("true")
                                    << badValue << QByteArray();
        QTest::newRow("unknown") << QByteArray("noise_reduction") << QByteArray("true") << badIdent
                                 << QByteArray();
        QTest::newRow("case") << QByteArray("VAD") << QByteArray("true") << badIdent
                              << QByteArray();
        QTest::newRow("playback ident")
            << QByteArray("volume_modifier") << QByteArray("1") << badIdent << QByteArray();
        QTest::newRow("empty ident")
            << QByteArray("") << QByteArray("true") << badIdent << QByteArray();
    }

    void configValues()
    {
        QFETCH(QByteArray, ident);
        QFETCH(QByteArray, value);
        QFETCH(unsigned, code);
        QFETCH(QByteArray, readBack);
        SoundConfig config;
        const SoundConfig before = config;
        QCOMPARE(config.setPreProcessorValue(ident, value), code);
        QByteArray text;
        if (code == ERROR_sound_invalid_identifier) {
            QCOMPARE(config.preProcessorValue(ident, &text), code);
            return;
        }
        QCOMPARE(config.preProcessorValue(ident, &text), unsigned(ERROR_ok));
        if (!readBack.isEmpty()) {
            QCOMPARE(text, readBack);
        } else {
            QByteArray original;
            QCOMPARE(before.preProcessorValue(ident, &original), unsigned(ERROR_ok));
            QCOMPARE(text, original);
        }
    }

    void configDefaults()
    {
        SoundConfig config;
        QByteArray text;
        QCOMPARE(config.preProcessorValue("vad", &text), unsigned(ERROR_ok));
        QCOMPARE(text, QByteArray("false"));
        QCOMPARE(config.preProcessorValue("echo_canceling", &text), unsigned(ERROR_ok));
        QCOMPARE(text, QByteArray("false"));
        QCOMPARE(config.preProcessorValue("voiceactivation_level", &text), unsigned(ERROR_ok));
        QCOMPARE(text, QByteArray("-50"));
        float value = 99;
        QCOMPARE(config.playbackValue("volume_modifier", &value), unsigned(ERROR_ok));
        QCOMPARE(value, 0.0f);
        QCOMPARE(config.playbackValue("volume_factor_wave", &value), unsigned(ERROR_ok));
        QCOMPARE(value, 0.0f);
    }

    void playbackValues_data()
    {
        QTest::addColumn<QByteArray>("ident");
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<unsigned>("code");
        QTest::addColumn<float>("readBack");
        const unsigned ok = ERROR_ok;
        QTest::newRow("modifier") << QByteArray("volume_modifier") << QByteArray("1.25") << ok
                                  << 1.25f;
        QTest::newRow("modifier low")
            << QByteArray("volume_modifier") << QByteArray("-40") << ok << -40.0f;
        QTest::newRow("wave") << QByteArray("volume_factor_wave") << QByteArray("-12.5") << ok
                              << -12.5f;
        QTest::newRow("wave abc") << QByteArray("volume_factor_wave") << QByteArray("abc")
                                  << unsigned(ERROR_sound_invalid_value) << 0.0f;
        QTest::newRow("wave out of range")
            << QByteArray("volume_factor_wave") << QByteArray("-1000")
            << unsigned(ERROR_sound_invalid_value) << 0.0f;
        QTest::newRow("modifier nan") << QByteArray("volume_modifier") << QByteArray("NaN")
                                      << unsigned(ERROR_sound_invalid_value) << 0.0f;
        QTest::newRow("preprocessor ident") << QByteArray("vad") << QByteArray("true")
                                            << unsigned(ERROR_sound_invalid_identifier) << 0.0f;
    }

    void playbackValues()
    {
        QFETCH(QByteArray, ident);
        QFETCH(QByteArray, value);
        QFETCH(unsigned, code);
        QFETCH(float, readBack);
        SoundConfig config;
        QCOMPARE(config.setPlaybackValue(ident, value), code);
        if (code == ERROR_sound_invalid_identifier)
            return;
        float got = 99;
        QCOMPARE(config.playbackValue(ident, &got), unsigned(ERROR_ok));
        QCOMPARE(got, readBack);
    }

    void managerWithoutHardwareDefaultsToVirtual()
    {
        SoundManager m({});
        for (Direction d : {Direction::Capture, Direction::Playback}) {
            QCOMPARE(m.modes(d), QList<QByteArray>{"virtual"});
            QCOMPARE(m.defaultMode(d), QByteArray("virtual"));
        }
        DeviceInfo device;
        QCOMPARE(m.defaultDevice(Direction::Capture, {}, &device), unsigned(ERROR_ok));
        QCOMPARE(device.id, QByteArray("silence"));
        QCOMPARE(m.defaultDevice(Direction::Playback, "virtual", &device), unsigned(ERROR_ok));
        QCOMPARE(device.id, QByteArray("discard"));
        QCOMPARE(m.defaultDevice(Direction::Playback, "ALSA", &device),
                 unsigned(ERROR_sound_invalid_mode));
        QList<DeviceInfo> list;
        QCOMPARE(m.devices(Direction::Capture, "nope", &list), unsigned(ERROR_sound_invalid_mode));
        QCOMPARE(m.devices(Direction::Capture, {}, &list), unsigned(ERROR_ok));
        QCOMPARE(list.size(), 4);
    }

    // What the loopback speaker plays, the loopback microphones hear two frames later at half
    // the amplitude, counted in frames so the delay never drifts; one that opens late hears
    // what was played two frames before, not older frames.
    void loopbackRoomDelaysAndAttenuates()
    {
        VirtualSoundSystem system;
        std::unique_ptr<PlaybackSink> speaker;
        std::unique_ptr<CaptureSource> microphone;
        QCOMPARE(system.openPlayback("loopback", &speaker), unsigned(ERROR_ok));
        QCOMPARE(system.openCapture("loopback", &microphone), unsigned(ERROR_ok));
        Frame played, heard;
        QList<int> firstSamples;
        for (int i = 1; i <= 5; ++i) {
            played.fill(int16_t(1000 * i));
            QCOMPARE(microphone->read(heard), ReadStatus::Frame);
            firstSamples.append(heard[0]);
            QVERIFY(speaker->write(played));
        }
        QCOMPARE(firstSamples, (QList<int>{0, 0, 500, 1000, 1500}));
        for (int i = 0; i < 40; ++i) {
            played.fill(int16_t(10 * i));
            QVERIFY(speaker->write(played));
        }
        std::unique_ptr<CaptureSource> late;
        QCOMPARE(system.openCapture("loopback", &late), unsigned(ERROR_ok));
        QCOMPARE(late->read(heard), ReadStatus::Frame);
        QCOMPARE(int(heard[0]), 10 * 38 / 2);
    }

    // A 44.1 kHz device's tone keeps its pitch and level at 48 kHz, fed in odd pieces.
    void resamplingKeepsPitchAndLevel()
    {
        Resampler resampler(44100, SampleRate);
        QVERIFY(resampler.isValid());
        std::vector<int16_t> in(44100), out;
        for (size_t i = 0; i < in.size(); ++i)
            in[i] = int16_t(std::lround(10000 * std::sin(2 * M_PI * 1000 * double(i) / 44100)));
        for (size_t from = 0; from < in.size(); from += 777)
            resampler.process(in.data() + from, std::min<size_t>(777, in.size() - from), &out);
        QVERIFY(qAbs(int(out.size()) - SampleRate) < 100);
        int crossings = 0;
        double sum = 0;
        for (size_t i = 1000; i < 1000 + size_t(SampleRate / 2); ++i) {
            crossings += (out[i - 1] < 0) != (out[i] < 0);
            sum += double(out[i]) * out[i];
        }
        QVERIFY2(qAbs(crossings - 1000) <= 2, qPrintable(QString::number(crossings)));
        const double rms = std::sqrt(sum / (SampleRate / 2));
        QVERIFY2(qAbs(rms - 10000 / std::sqrt(2.0)) < 300, qPrintable(QString::number(rms)));
    }

    void openingSetsCurrentAndRefusalsKeepIt()
    {
        SoundManager m({});
        const uint64 h = 1;
        QByteArray mode, device;
        bool isDefault = true;
        QCOMPARE(m.current(h, Direction::Capture, &mode, &device, &isDefault),
                 unsigned(ERROR_sound_invalid_device));
        QVERIFY(!m.captureSource(h));

        QCOMPARE(m.open(h, Direction::Capture, {}, {}), unsigned(ERROR_ok));
        QCOMPARE(m.current(h, Direction::Capture, &mode, &device, &isDefault), unsigned(ERROR_ok));
        QCOMPARE(mode, QByteArray("virtual"));
        QCOMPARE(device, QByteArray("silence"));
        QVERIFY(isDefault);

        QCOMPARE(m.open(h, Direction::Capture, "virtual", "tone"), unsigned(ERROR_ok));
        QCOMPARE(m.current(h, Direction::Capture, &mode, &device, &isDefault), unsigned(ERROR_ok));
        QCOMPARE(device, QByteArray("tone"));
        QVERIFY(!isDefault);

        QCOMPARE(m.open(h, Direction::Capture, "no such mode", "tone"),
                 unsigned(ERROR_sound_invalid_mode));
        QCOMPARE(m.open(h, Direction::Capture, "virtual", "no such device"),
                 unsigned(ERROR_sound_invalid_device));
        QCOMPARE(m.open(h, Direction::Capture, "virtual", "file:/nonexistent/dir/x.wav"),
                 unsigned(ERROR_sound_device_open_failed));
        QCOMPARE(m.current(h, Direction::Capture, &mode, &device, nullptr), unsigned(ERROR_ok));
        QCOMPARE(device, QByteArray("tone"));
        Frame frame;
        QCOMPARE(m.captureSource(h)->read(frame), ReadStatus::Frame);
        QVERIFY(frame[100] != 0); // still the tone

        // Playback is separate from capture.
        QCOMPARE(m.current(h, Direction::Playback, &mode, &device, nullptr),
                 unsigned(ERROR_sound_invalid_device));
        QCOMPARE(m.open(h, Direction::Playback, "virtual", "silence"),
                 unsigned(ERROR_sound_invalid_device));
        QCOMPARE(m.open(h, Direction::Playback, "virtual", {}), unsigned(ERROR_ok));
        QCOMPARE(m.current(h, Direction::Playback, &mode, &device, &isDefault), unsigned(ERROR_ok));
        QCOMPARE(device, QByteArray("discard"));
        QVERIFY(isDefault);

        m.releaseHandler(h);
        QCOMPARE(m.current(h, Direction::Capture, &mode, &device, nullptr),
                 unsigned(ERROR_sound_invalid_device));
        QVERIFY(!m.captureSource(h));
        QVERIFY(!m.playbackSink(h));
    }

    void fileDevicesThroughTheManager()
    {
        QTemporaryDir dir;
        const QString in = dir.filePath("in.wav");
        const QString out = dir.filePath("out.wav");
        const QVector<qint16> samples = ramp(FrameSamples * 2);
        QVERIFY(writeFile(in, wavHeader(1, 1, 48000, 16, quint32(samples.size() * 2)) +
                                  samplesLE(samples)));
        SoundManager m({});
        QCOMPARE(m.open(7, Direction::Capture, "virtual", "file:" + in.toUtf8()),
                 unsigned(ERROR_ok));
        QCOMPARE(m.open(7, Direction::Playback, "virtual", "file:" + out.toUtf8()),
                 unsigned(ERROR_ok));
        QByteArray device;
        QCOMPARE(m.current(7, Direction::Capture, nullptr, &device, nullptr), unsigned(ERROR_ok));
        QCOMPARE(device, "file:" + in.toUtf8());

        // Capture straight into playback: the output file holds the input's samples.
        const auto source = m.captureSource(7);
        const auto sink = m.playbackSink(7);
        Frame frame;
        int frames = 0;
        while (source->read(frame) == ReadStatus::Frame && frames < 10) {
            QVERIFY(sink->write(frame));
            ++frames;
        }
        QCOMPARE(frames, 2);
        FileCaptureSource check;
        QCOMPARE(check.open(out), unsigned(ERROR_ok));
        QCOMPARE(drain(check), samples);
    }

    void handlersKeepTheirOwnValues()
    {
        SoundManager m({});
        QCOMPARE(m.setPreProcessorValue(1, "vad", "true"), unsigned(ERROR_ok));
        QCOMPARE(m.setPlaybackValue(2, "volume_modifier", "-3"), unsigned(ERROR_ok));
        QCOMPARE(m.setPreProcessorValue(1, "voiceactivation_level", "x"),
                 unsigned(ERROR_sound_invalid_value));
        QByteArray text;
        QCOMPARE(m.preProcessorValue(1, "vad", &text), unsigned(ERROR_ok));
        QCOMPARE(text, QByteArray("true"));
        QCOMPARE(m.preProcessorValue(2, "vad", &text), unsigned(ERROR_ok));
        QCOMPARE(text, QByteArray("false"));
        QCOMPARE(m.preProcessorValue(1, "voiceactivation_level", &text), unsigned(ERROR_ok));
        QCOMPARE(text, QByteArray("-50"));
        float v = 1;
        QCOMPARE(m.playbackValue(1, "volume_modifier", &v), unsigned(ERROR_ok));
        QCOMPARE(v, 0.0f);
        QCOMPARE(m.playbackValue(2, "volume_modifier", &v), unsigned(ERROR_ok));
        QCOMPARE(v, -3.0f);
        m.releaseHandler(1);
        QCOMPARE(m.preProcessorValue(1, "vad", &text), unsigned(ERROR_ok));
        QCOMPARE(text, QByteArray("false"));
    }

    // Values written from several threads are always read back whole, never torn or lost.
    void valuesAreSafeAcrossThreads()
    {
        SoundManager m({});
        std::atomic<bool> bad{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&m, &bad, t] {
                const uint64 h = uint64(t % 2) + 1;
                for (int i = 0; i < 2000; ++i) {
                    const QByteArray value = QByteArray::number((i % 2) ? -10 : -20);
                    if (m.setPreProcessorValue(h, "voiceactivation_level", value) != ERROR_ok)
                        bad = true;
                    QByteArray text;
                    if (m.preProcessorValue(h, "voiceactivation_level", &text) != ERROR_ok ||
                        (text != "-10" && text != "-20"))
                        bad = true;
                    if (i % 100 == 0)
                        m.open(h, Direction::Capture, {}, (i % 200) ? "tone" : "silence");
                }
            });
        }
        for (auto& t : threads)
            t.join();
        QVERIFY(!bad);
    }

    void busyDeviceIsReopenedAfterClosingTheOldStream()
    {
        auto owned = std::make_unique<ExclusiveSystem>();
        ExclusiveSystem* system = owned.get();
        std::vector<std::unique_ptr<SoundSystem>> systems;
        systems.push_back(std::move(owned));
        SoundManager m(std::move(systems));

        QCOMPARE(m.defaultMode(Direction::Capture), QByteArray("exclusive-system"));
        // It has no playback devices, so it is no playback mode.
        QCOMPARE(m.modes(Direction::Playback), QList<QByteArray>{"virtual"});
        QCOMPARE(m.defaultMode(Direction::Playback), QByteArray("virtual"));
        QCOMPARE(m.open(1, Direction::Playback, "exclusive-system", {}),
                 unsigned(ERROR_sound_invalid_mode));

        QCOMPARE(m.open(1, Direction::Capture, {}, {}), unsigned(ERROR_ok));
        QCOMPARE(*system->openCount, 1);
        QCOMPARE(m.open(1, Direction::Capture, {}, "exclusive"), unsigned(ERROR_ok));
        QCOMPARE(*system->openCount, 1);

        // A device that will not open leaves the old one in use.
        QCOMPARE(m.open(1, Direction::Capture, {}, "broken"),
                 unsigned(ERROR_sound_device_open_failed));
        QByteArray device;
        QCOMPARE(m.current(1, Direction::Capture, nullptr, &device, nullptr), unsigned(ERROR_ok));
        QCOMPARE(device, QByteArray("exclusive"));
        QCOMPARE(*system->openCount, 1);
        QVERIFY(m.captureSource(1));

        m.releaseHandler(1);
        QCOMPARE(*system->openCount, 0);
    }

    void realSystemsAreWellFormed()
    {
#if VOICESDK_WITH_PORTAUDIO
        const auto systems = createPortAudioSystems();
        QSet<QByteArray> ids;
        for (const auto& system : systems) {
            QVERIFY(!system->id().isEmpty());
            QVERIFY(system->id() != VirtualMode);
            QVERIFY2(!ids.contains(system->id()), system->id().constData());
            ids.insert(system->id());
            for (Direction d : {Direction::Capture, Direction::Playback}) {
                const QList<DeviceInfo> devices = system->devices(d);
                QSet<QByteArray> deviceIds;
                for (const DeviceInfo& device : devices) {
                    QVERIFY(!device.id.isEmpty());
                    QVERIFY(!device.name.isEmpty());
                    QVERIFY2(!deviceIds.contains(device.id), device.id.constData());
                    deviceIds.insert(device.id);
                }
                const QByteArray deflt = system->defaultDevice(d);
                QVERIFY(devices.isEmpty() ? deflt.isEmpty() : deviceIds.contains(deflt));
            }
        }
#endif
        const auto manager = SoundManager::create();
        for (Direction d : {Direction::Capture, Direction::Playback}) {
            QVERIFY(manager->modes(d).contains("virtual"));
            QVERIFY(manager->modes(d).contains(manager->defaultMode(d)));
        }
    }
};

QTEST_GUILESS_MAIN(TestSoundDevices)
#include "tst_sound_devices.moc"

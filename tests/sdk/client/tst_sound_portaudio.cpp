// SPDX-License-Identifier: MIT
// The PortAudio path on any machine: ALSA's own null plugin becomes the default PCM through an
// .asoundrc in the test's HOME, so real streams open, run and close without a sound card.
#include "portaudiosystem.h"
#include "soundmanager.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTest>

#include <thread>

using namespace voicesdk::sound;

class TestSoundPortAudio : public QObject
{
    Q_OBJECT

    std::unique_ptr<SoundManager> m_manager;

private slots:
    void initTestCase()
    {
        // ALSA reads its configuration once, at the first use, so this must come first.
        QFile rc(QDir::home().filePath(".asoundrc"));
        QVERIFY(rc.open(QIODevice::WriteOnly | QIODevice::Truncate));
        rc.write("pcm.!default {\n    type null\n}\n");
        rc.close();
        m_manager = std::make_unique<SoundManager>(createPortAudioSystems());
        if (!m_manager->modes(Direction::Capture).contains("ALSA"))
            QFAIL("PortAudio offers no ALSA device, not even ALSA's null device");
    }

    void realDeviceIsPreferredOverVirtual()
    {
        QCOMPARE(m_manager->defaultMode(Direction::Capture), QByteArray("ALSA"));
        QCOMPARE(m_manager->defaultMode(Direction::Playback), QByteArray("ALSA"));
        QCOMPARE(m_manager->modes(Direction::Capture).last(), QByteArray("virtual"));
        QList<DeviceInfo> devices;
        QCOMPARE(m_manager->devices(Direction::Capture, "ALSA", &devices), unsigned(ERROR_ok));
        bool hasDefault = false;
        for (const DeviceInfo& d : devices)
            hasDefault = hasDefault || d.id == "default";
        QVERIFY(hasDefault);
    }

    void captureStreamDeliversFrames()
    {
        QCOMPARE(m_manager->open(1, Direction::Capture, "ALSA", "default"), unsigned(ERROR_ok));
        const auto source = m_manager->captureSource(1);
        QVERIFY(source && source->isClocked());
        Frame frame;
        int frames = 0;
        QElapsedTimer timer;
        timer.start();
        while (frames < 3 && timer.elapsed() < 5000) {
            if (source->read(frame) == ReadStatus::Frame)
                ++frames;
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        QCOMPARE(frames, 3);
    }

    void playbackStreamTakesFrames()
    {
        QCOMPARE(m_manager->open(1, Direction::Playback, {}, {}), unsigned(ERROR_ok));
        QByteArray mode, device;
        bool isDefault = false;
        QCOMPARE(m_manager->current(1, Direction::Playback, &mode, &device, &isDefault),
                 unsigned(ERROR_ok));
        QCOMPARE(mode, QByteArray("ALSA"));
        QVERIFY(isDefault);
        const auto sink = m_manager->playbackSink(1);
        QVERIFY(sink && sink->isClocked());
        Frame frame{};
        QVERIFY(sink->write(frame));
    }

    void reopeningAndReleasingCloseStreams()
    {
        for (int i = 0; i < 3; ++i)
            QCOMPARE(m_manager->open(1, Direction::Capture, "ALSA", "default"), unsigned(ERROR_ok));
        QCOMPARE(m_manager->open(1, Direction::Capture, "ALSA", "no such card"),
                 unsigned(ERROR_sound_invalid_device));
        m_manager->releaseHandler(1);
        QVERIFY(!m_manager->captureSource(1));
        QVERIFY(!m_manager->playbackSink(1));
    }

    void cleanupTestCase() { m_manager.reset(); }
};

QTEST_GUILESS_MAIN(TestSoundPortAudio)
#include "tst_sound_portaudio.moc"

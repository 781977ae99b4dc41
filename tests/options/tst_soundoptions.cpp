// SPDX-License-Identifier: MIT
// The capture and playback pages against the real voice SDK: what they read, what they carry
// into the SDK and the settings, and what reaches the server. A voice-cli user watches the flags.
#include "connectclient.h"
#include "options/captureoption.h"
#include "options/playbackoption.h"
#include "tsclient/tssdkclient.h"
#include "tsclient/tssdkinterface.h"
#include "voicecliprocess.h"
#include "voiceserverprocess.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QMutex>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSettings>
#include <QSlider>
#include <QtTest>

using namespace MeetingSupport;

namespace {

QMutex logMutex;
QStringList logLines;
QtMessageHandler previousHandler = nullptr;

void recordLog(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    {
        QMutexLocker locker(&logMutex);
        logLines << message;
    }
    if (previousHandler)
        previousHandler(type, context, message);
}

// The SDK writes logged since the last call, without their result codes: every page logs each
// call it makes.
QStringList takeWrites()
{
    static const QRegularExpression write(
        QStringLiteral("^((?:Capture|Playback): (?:set|open|flush).*|set \\w+): -?\\d+$"));
    QMutexLocker locker(&logMutex);
    QStringList writes;
    for (const QString& line : qAsConst(logLines)) {
        const QRegularExpressionMatch match = write.match(line);
        if (match.hasMatch())
            writes << match.captured(1);
    }
    logLines.clear();
    return writes;
}

uint64 handler()
{
    return TsSDKClient::instance()->sdk()->handlerId();
}

QByteArray preProcessor(const char* ident)
{
    char* value = nullptr;
    if (ts3client_getPreProcessorConfigValue(handler(), ident, &value) != ERROR_ok)
        return QByteArray();
    const QByteArray text(value);
    ts3client_freeMemory(value);
    return text;
}

float playbackValue(const char* ident)
{
    float value = 1234;
    ts3client_getPlaybackConfigValueAsFloat(handler(), ident, &value);
    return value;
}

int ownFlag(int flag)
{
    int value = -1;
    ts3client_getClientSelfVariableAsInt(handler(), size_t(flag), &value);
    return value;
}

template <typename T> T* child(QWidget* page, const char* name)
{
    T* widget = page->findChild<T*>(QLatin1String(name));
    if (!widget)
        qFatal("no widget %s", name);
    return widget;
}

// What a fresh start of the SDK looks like in these tests; deliberately not the SDK's own
// defaults, so a page that shows them has read them.
void resetSdk()
{
    const uint64 h = handler();
    ts3client_setPreProcessorConfigValue(h, "vad", "true");
    ts3client_setPreProcessorConfigValue(h, "voiceactivation_level", "-23");
    ts3client_setPreProcessorConfigValue(h, "echo_canceling", "true");
    ts3client_setPlaybackConfigValue(h, "volume_modifier", "-7");
    ts3client_setPlaybackConfigValue(h, "volume_factor_wave", "-3");
    ts3client_openCaptureDevice(h, "virtual", "tone");
    ts3client_openPlaybackDevice(h, "virtual", "discard");
}

} // namespace

class TestSoundOptions : public QObject
{
    Q_OBJECT

    VoiceServerProcess m_server;
    VoiceCliProcess m_bob;
    anyID m_annaId = 0;

private slots:
    void initTestCase()
    {
        // ALSA's null device gives the SDK a second sound system, as on a machine with a sound
        // card. ALSA reads this once, before the SDK starts.
        QFile rc(QDir::home().filePath(QStringLiteral(".asoundrc")));
        QVERIFY(rc.open(QIODevice::WriteOnly | QIODevice::Truncate));
        rc.write("pcm.!default {\n    type null\n}\n");
        rc.close();

        QSettings::setDefaultFormat(QSettings::IniFormat);
        QCoreApplication::setOrganizationName(QStringLiteral("RYL System 7"));
        QCoreApplication::setApplicationName(QStringLiteral("Meeting"));
        previousHandler = qInstallMessageHandler(recordLog);

        QVERIFY2(m_server.start(), qPrintable(m_server.log()));
        QVERIFY(connectVoiceClient(m_server.port(), QStringLiteral("anna")));
        m_annaId = TsSDKClient::instance()->ownClientID();
        QVERIFY(m_bob.start());
        QVERIFY(m_bob.connectTo(m_server.port(), QStringLiteral("bob")));
    }

    void init()
    {
        QSettings().clear();
        resetSdk();
        takeWrites();
    }

    void firstStartShowsWhatTheSdkUses()
    {
        CaptureOption capture;
        PlaybackOption playback;
        QVERIFY(child<QRadioButton>(&capture, "radioVad")->isChecked());
        QCOMPARE(child<QSlider>(&capture, "sliderVadLevel")->value(), -23);
        QVERIFY(child<QCheckBox>(&capture, "checkEchoCanceling")->isChecked());
        QCOMPARE(child<QComboBox>(&capture, "comboBoxMode")->currentText(), QStringLiteral("virtual"));
        QCOMPARE(child<QComboBox>(&capture, "comboBoxDevice")->currentData().toString(),
                 QStringLiteral("tone"));
        QCOMPARE(child<QComboBox>(&playback, "comboBoxDevice")->currentData().toString(),
                 QStringLiteral("discard"));
        QCOMPARE(child<QSlider>(&playback, "sliderVolumeModifier")->value(), -70);
        QCOMPARE(child<QSlider>(&playback, "sliderVolumeFactorWave")->value(), -30);
        QVERIFY(!capture.isModified());
        QVERIFY(!playback.isModified());
        QCOMPARE(takeWrites(), (QStringList{"Capture: flush", "Playback: flush"}));

        capture.restore();
        playback.restore();
        QVERIFY(!capture.isModified());
        QVERIFY(!playback.isModified());
    }

    void continuousTransmissionStopsTheLevel()
    {
        CaptureOption page;
        QSlider* slider = child<QSlider>(&page, "sliderVadLevel");
        slider->setValue(10);
        child<QRadioButton>(&page, "radioContinuousTransmission")->setChecked(true);
        page.grab(); // a repaint
        QVERIFY(!slider->isEnabled());
        QVERIFY(page.isModified());
        takeWrites();

        page.save();
        QCOMPARE(takeWrites(), (QStringList{"Capture: set vad", "Capture: set input deactivated",
                                            "Capture: flush"}));
        QCOMPARE(preProcessor("vad"), QByteArray("false"));
        QCOMPARE(preProcessor("voiceactivation_level"), QByteArray("-23"));
        QCOMPARE(QSettings().value(QStringLiteral("capture/vad")).toBool(), false);
        QCOMPARE(QSettings().value(QStringLiteral("capture/vadLevel")).toInt(), -23);
        // The level that was not carried over does not keep the page modified after its save.
        QVERIFY(!page.isModified());
    }

    void switchingVoiceActivationKeepsCaptureActive_data()
    {
        QTest::addColumn<bool>("vadBefore");
        QTest::newRow("off") << true;
        QTest::newRow("on") << false;
    }

    void switchingVoiceActivationKeepsCaptureActive()
    {
        QFETCH(bool, vadBefore);
        ts3client_setPreProcessorConfigValue(handler(), "vad", vadBefore ? "true" : "false");
        // Capture deactivated beforehand, so the server must see the page turn it back on.
        TsSDKClient::instance()->sdk()->setClientSelfVariableAsInt(CLIENT_INPUT_DEACTIVATED, 1);
        auto update = [this](int deactivated) {
            return [this, deactivated](const QJsonObject& e) {
                return e.value(QStringLiteral("clientID")).toInt() == m_annaId &&
                       e.value(QStringLiteral("inputDeactivated")).toInt() == deactivated;
            };
        };
        QVERIFY(!m_bob.waitForEvent(QStringLiteral("onUpdateClientEvent"), update(1)).isEmpty());
        // Updates of earlier tests arrived before that one; none of them may count below.
        while (!m_bob.waitForEvent(QStringLiteral("onUpdateClientEvent"), {}, 0).isEmpty()) {
        }

        CaptureOption page;
        child<QRadioButton>(&page, vadBefore ? "radioContinuousTransmission" : "radioVad")
            ->setChecked(true);
        page.save();
        QCOMPARE(preProcessor("vad"), QByteArray(vadBefore ? "false" : "true"));
        QCOMPARE(ownFlag(CLIENT_INPUT_DEACTIVATED), 0);
        QVERIFY(!m_bob.waitForEvent(QStringLiteral("onUpdateClientEvent"), update(0)).isEmpty());
    }

    void modeChangeRefillsDevices()
    {
        TsSDKClient* client = TsSDKClient::instance();
        if (!client->captureModeList().contains(QStringLiteral("ALSA")))
            QSKIP("PortAudio offers no ALSA devices here");
        CaptureOption page;
        QComboBox* modes = child<QComboBox>(&page, "comboBoxMode");
        QComboBox* devices = child<QComboBox>(&page, "comboBoxDevice");
        auto ids = [devices] {
            QStringList list;
            for (int i = 0; i < devices->count(); ++i)
                list << devices->itemData(i).toString();
            return list;
        };
        auto sdkIds = [client](const QString& mode) {
            QStringList list;
            for (const SoundDevice& device : client->captureDeviceList(mode))
                list << device.id();
            return list;
        };

        modes->setCurrentText(QStringLiteral("ALSA"));
        QCOMPARE(ids(), sdkIds(QStringLiteral("ALSA")));
        devices->setCurrentIndex(-1);
        QVERIFY(page.isModified()); // the mode alone counts

        modes->setCurrentText(QStringLiteral("virtual"));
        QCOMPARE(ids(), sdkIds(QStringLiteral("virtual")));
        devices->setCurrentIndex(devices->findData(QStringLiteral("tone")));
        QVERIFY(!page.isModified());
    }

    void storedSettingsApplyAtStart()
    {
        {
            CaptureOption capture;
            PlaybackOption playback;
            child<QSlider>(&capture, "sliderVadLevel")->setValue(-17);
            child<QCheckBox>(&capture, "checkEchoCanceling")->setChecked(false);
            QComboBox* captureDevices = child<QComboBox>(&capture, "comboBoxDevice");
            captureDevices->setCurrentIndex(captureDevices->findData(QStringLiteral("silence")));
            child<QSlider>(&playback, "sliderVolumeModifier")->setValue(-125);
            child<QSlider>(&playback, "sliderVolumeFactorWave")->setValue(-300);
            QComboBox* playbackDevices = child<QComboBox>(&playback, "comboBoxDevice");
            playbackDevices->setCurrentIndex(
                playbackDevices->findData(QStringLiteral("file:playback.wav")));
            capture.save();
            playback.save();
            QCOMPARE(preProcessor("voiceactivation_level"), QByteArray("-17"));
            QCOMPARE(playbackValue("volume_modifier"), -12.0f);
        }
        QSettings settings;
        QCOMPARE(settings.value(QStringLiteral("capture/vadLevel")).toString(),
                 QStringLiteral("-17"));
        QCOMPARE(settings.value(QStringLiteral("playback/volumeModifier")).toDouble(), -12.0);
        QCOMPARE(settings.value(QStringLiteral("playback/currentDeviceID")).toString(),
                 QStringLiteral("file:playback.wav"));

        // The next start: the SDK is back at its own values until the pages are built.
        resetSdk();
        CaptureOption capture;
        PlaybackOption playback;
        TsSDKClient* client = TsSDKClient::instance();
        QCOMPARE(preProcessor("voiceactivation_level"), QByteArray("-17"));
        QCOMPARE(preProcessor("echo_canceling"), QByteArray("false"));
        QCOMPARE(preProcessor("vad"), QByteArray("true"));
        QCOMPARE(client->currentCaptureDeviceName(), QStringLiteral("silence"));
        QCOMPARE(playbackValue("volume_modifier"), -12.0f);
        QCOMPARE(playbackValue("volume_factor_wave"), -30.0f);
        QCOMPARE(client->currentPlaybackDeviceName(), QStringLiteral("file:playback.wav"));
        QCOMPARE(child<QSlider>(&capture, "sliderVadLevel")->value(), -17);
        QCOMPARE(child<QSlider>(&playback, "sliderVolumeModifier")->value(), -120);
        QVERIFY(!capture.isModified());
        QVERIFY(!playback.isModified());
    }

    void volumeLabelsAndSteps_data()
    {
        QTest::addColumn<QString>("slider");
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("label");
        QTest::addColumn<int>("singleStep");
        QTest::addColumn<bool>("modified");
        const QString voice = QStringLiteral("VolumeModifier");
        const QString pack = QStringLiteral("VolumeFactorWave");
        const QString green = QStringLiteral("<font color=\"#006400\">");
        QTest::newRow("-125") << voice << -125 << green + "-12 dB</font>" << 100 << true;
        QTest::newRow("60") << voice << 60 << "<font color=\"#FF8C00\">+6 dB</font>" << 50 << true;
        QTest::newRow("61") << voice << 61 << "<font color=\"#FF8C00\">+6 dB</font>" << 50 << true;
        QTest::newRow("70") << voice << 70 << "<font color=\"#FF0000\">+7 dB</font>" << 50 << true;
        QTest::newRow("5") << voice << 5 << green + "+0 dB</font>" << 50 << true;
        QTest::newRow("same decibel") << voice << -79 << green + "-7 dB</font>" << 100 << false;
        QTest::newRow("pack 0") << pack << 0 << green + "+0 dB</font>" << 10 << true;
        QTest::newRow("pack -400") << pack << -400 << green + "-40 dB</font>" << 10 << true;
    }

    void volumeLabelsAndSteps()
    {
        QFETCH(QString, slider);
        QFETCH(int, value);
        QFETCH(QString, label);
        QFETCH(int, singleStep);
        QFETCH(bool, modified);
        PlaybackOption page;
        auto* widget = page.findChild<QSlider*>(QStringLiteral("slider") + slider);
        widget->setValue(value);
        QCOMPARE(page.findChild<QLabel*>(QStringLiteral("label") + slider)->text(), label);
        QCOMPARE(widget->singleStep(), singleStep);
        QCOMPARE(page.isModified(), modified);
    }

    void outOfRangeSettingsAreClamped_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("slider");
        QTest::addColumn<int>("position");
        QTest::newRow("level 900") << "capture/vadLevel" << "900" << "sliderVadLevel" << 50;
        QTest::newRow("level -900") << "capture/vadLevel" << "-900" << "sliderVadLevel" << -50;
        QTest::newRow("level no number") << "capture/vadLevel" << "loud" << "sliderVadLevel" << -23;
        QTest::newRow("voice -10000 dB")
            << "playback/volumeModifier" << "-10000" << "sliderVolumeModifier" << -400;
        QTest::newRow("voice 1e30 dB")
            << "playback/volumeModifier" << "1e30" << "sliderVolumeModifier" << 200;
        QTest::newRow("voice nan") << "playback/volumeModifier" << "nan" << "sliderVolumeModifier"
                                   << -70;
        QTest::newRow("pack +35 dB")
            << "playback/volumeFactorWave" << "35" << "sliderVolumeFactorWave" << 0;
    }

    void outOfRangeSettingsAreClamped()
    {
        QFETCH(QString, key);
        QFETCH(QString, stored);
        QFETCH(QString, slider);
        QFETCH(int, position);
        QSettings().setValue(key, stored);
        CaptureOption capture;
        PlaybackOption playback;
        QSlider* widget = capture.findChild<QSlider*>(slider);
        if (!widget)
            widget = playback.findChild<QSlider*>(slider);
        QCOMPARE(widget->value(), position);
        // What the SDK got is what the slider shows.
        if (key == QLatin1String("capture/vadLevel"))
            QCOMPARE(preProcessor("voiceactivation_level").toInt(), position);
        else if (key == QLatin1String("playback/volumeModifier"))
            QCOMPARE(playbackValue("volume_modifier"), float(position / 10));
        else
            QCOMPARE(playbackValue("volume_factor_wave"), float(position / 10));
    }

    // Last: the library stays gone for the rest of the process.
    void pagesSurviveAGoneLibrary()
    {
        TsSDKClient::instance()->sdk()->tearDown();
        CaptureOption capture;
        PlaybackOption playback;
        QCOMPARE(child<QComboBox>(&capture, "comboBoxMode")->count(), 0);
        QVERIFY(child<QRadioButton>(&capture, "radioContinuousTransmission")->isChecked());
        QCOMPARE(child<QSlider>(&capture, "sliderVadLevel")->value(), 0);
        QCOMPARE(child<QLabel>(&playback, "labelVolumeModifier")->text(),
                 QStringLiteral("<font color=\"#006400\">+0 dB</font>"));
        QVERIFY(!playback.isModified());
        child<QSlider>(&playback, "sliderVolumeModifier")->setValue(-100);
        playback.save();
        QCOMPARE(QSettings().value(QStringLiteral("playback/volumeModifier")).toDouble(), -10.0);
    }

    void cleanupTestCase() { qInstallMessageHandler(previousHandler); }
};

QTEST_MAIN(TestSoundOptions)
#include "tst_soundoptions.moc"

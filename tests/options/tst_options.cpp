// SPDX-License-Identifier: MIT
// The option pages and the options dialog on the real voice SDK: what the pages read, what they
// carry into the SDK and the settings, at start and on save, and what reaches the server (a
// voice-cli user watches the flags). The about page runs the real updater program.
#include "connectclient.h"
#include "mainwindow.h"
#include "options/aboutoption.h"
#include "options/captureoption.h"
#include "options/optionsdialog.h"
#include "options/playbackoption.h"
#include "rylcoreapplication.h"
#include "singleapplication.h"
#include "tsclient/sdkmemory.h"
#include "tsclient/tssdkinterface.h"
#include "voicecliprocess.h"
#include "voiceserverprocess.h"
#include "widgethelpers.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QMutex>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSettings>
#include <QSlider>
#include <QStackedWidget>
#include <QTcpServer>
#include <QToolButton>
#include <QUuid>
#include <QtTest>

#include <memory>

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

// The SDK writes logged since the last call, without their result codes: the pages log every
// call they make.
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

QString preProcessor(const char* ident)
{
    char* value = nullptr;
    ts3client_getPreProcessorConfigValue(handler(), ident, &value);
    return takeSdkString(value);
}

float volume(const char* ident)
{
    float value = 1234;
    ts3client_getPlaybackConfigValueAsFloat(handler(), ident, &value);
    return value;
}

template <typename T> T* find(const QObject* parent, const char* name)
{
    T* widget = parent->findChild<T*>(QLatin1String(name));
    if (!widget)
        qFatal("no %s", name);
    return widget;
}

QPushButton* button(const QDialog* dialog, QDialogButtonBox::StandardButton which)
{
    return find<QDialogButtonBox>(dialog, "buttonBox")->button(which);
}

// A fresh start of the SDK in these tests; deliberately not its own defaults, so a page that
// shows these has read them.
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

class TestOptions : public QObject
{
    Q_OBJECT

    VoiceServerProcess m_server;
    VoiceCliProcess m_bob;
    int m_annaId = 0;

private slots:
    void initTestCase()
    {
        // ALSA's null device gives the SDK a second sound system, as a sound card would. ALSA
        // reads this once, before the SDK starts.
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
        QVERIFY(find<QRadioButton>(&capture, "radioVad")->isChecked());
        QCOMPARE(find<QSlider>(&capture, "sliderVadLevel")->value(), -23);
        QVERIFY(find<QCheckBox>(&capture, "checkEchoCanceling")->isChecked());
        QCOMPARE(find<QComboBox>(&capture, "comboBoxMode")->currentText(), "virtual");
        QCOMPARE(find<QComboBox>(&capture, "comboBoxDevice")->currentData(), "tone");
        QCOMPARE(find<QComboBox>(&playback, "comboBoxDevice")->currentData(), "discard");
        QCOMPARE(find<QSlider>(&playback, "sliderVolumeModifier")->value(), -70);
        QCOMPARE(find<QSlider>(&playback, "sliderVolumeFactorWave")->value(), -30);
        QVERIFY(!capture.isModified());
        QVERIFY(!playback.isModified());
        QCOMPARE(takeWrites(), (QStringList{"Capture: flush", "Playback: flush"}));
    }

    void switchingVoiceActivation_data()
    {
        QTest::addColumn<bool>("vadBefore");
        QTest::addColumn<QString>("level");
        QTest::addColumn<QStringList>("writes");
        const QString vad = "Capture: set vad", active = "Capture: set input deactivated";
        // Continuous transmission no longer sends the level, however the slider moved.
        QTest::newRow("off") << true << "-23" << QStringList{vad, active, "Capture: flush"};
        QTest::newRow("on") << false << "10"
                            << QStringList{vad, active, "set voiceactivation_level",
                                           "Capture: flush"};
    }

    void switchingVoiceActivation()
    {
        QFETCH(bool, vadBefore);
        ts3client_setPreProcessorConfigValue(handler(), "vad", vadBefore ? "true" : "false");
        // Deactivated beforehand, so the server must see the page turn capture back on.
        TsSDKClient::instance()->sdk()->setClientSelfVariableAsInt(CLIENT_INPUT_DEACTIVATED, 1);
        auto deactivated = [this](int value) {
            return [this, value](const QJsonObject& e) {
                return e.value("clientID").toInt() == m_annaId &&
                       e.value("inputDeactivated").toInt() == value;
            };
        };
        QVERIFY(!m_bob.waitForEvent("onUpdateClientEvent", deactivated(1)).isEmpty());
        // Updates of earlier tests came before that one; none of them may count below.
        while (!m_bob.waitForEvent("onUpdateClientEvent", {}, 0).isEmpty()) {
        }

        CaptureOption page;
        QSlider* slider = find<QSlider>(&page, "sliderVadLevel");
        slider->setValue(10);
        find<QRadioButton>(&page, vadBefore ? "radioContinuousTransmission" : "radioVad")
            ->setChecked(true);
        page.grab(); // a repaint
        QCOMPARE(slider->isEnabled(), !vadBefore);
        takeWrites();
        page.save();
        QTEST(takeWrites(), "writes");
        QCOMPARE(preProcessor("vad"), vadBefore ? "false" : "true");
        QTEST(preProcessor("voiceactivation_level"), "level");
        QTEST(QSettings().value("capture/vadLevel").toString(), "level");
        // A level that was not carried over does not leave the page modified.
        QVERIFY(!page.isModified());
        int flag = -1;
        ts3client_getClientSelfVariableAsInt(handler(), CLIENT_INPUT_DEACTIVATED, &flag);
        QCOMPARE(flag, 0);
        QVERIFY(!m_bob.waitForEvent("onUpdateClientEvent", deactivated(0)).isEmpty());
    }

    // The meter shows the microphone while the page is shown: the tone is loud, silence is the
    // bottom of the scale.
    void inputLevelMeterFollowsTheMicrophone()
    {
        CaptureOption page;
        auto* meter = find<QProgressBar>(&page, "progressBarInputLevel");
        QCOMPARE(meter->minimum(), find<QSlider>(&page, "sliderVadLevel")->minimum());
        QCOMPARE(meter->maximum(), find<QSlider>(&page, "sliderVadLevel")->maximum());
        page.show();
        QTRY_VERIFY_WITH_TIMEOUT(meter->value() > 25, 3000); // the tone: about -15 dBFS
        ts3client_openCaptureDevice(handler(), "virtual", "silence");
        QTRY_COMPARE_WITH_TIMEOUT(meter->value(), -50, 3000);
    }

    void modeChangeRefillsDevices()
    {
        TsSDKClient* client = TsSDKClient::instance();
        QVERIFY2(client->captureModeList().contains("ALSA"), "no ALSA, not even its null device");
        CaptureOption page;
        QComboBox* modes = find<QComboBox>(&page, "comboBoxMode");
        QComboBox* devices = find<QComboBox>(&page, "comboBoxDevice");
        for (const QString& mode : {QStringLiteral("ALSA"), QStringLiteral("virtual")}) {
            modes->setCurrentText(mode);
            const QList<SoundDevice> expected = client->captureDeviceList(mode);
            QCOMPARE(devices->count(), expected.size());
            QCOMPARE(devices->itemData(0), expected.first().id());
            devices->setCurrentIndex(-1);
            // The mode alone counts.
            QCOMPARE(page.isModified(), mode == "ALSA");
        }
        devices->setCurrentIndex(devices->findData("tone"));
        QVERIFY(!page.isModified());
    }

    // A stored mode that is the first of the list, while the SDK uses another: the device box
    // must still list the stored mode's devices, and the stored device is opened.
    void storedFirstModeOpensItsDevice()
    {
        TsSDKClient* client = TsSDKClient::instance();
        for (const QString& group : {QStringLiteral("capture"), QStringLiteral("playback")}) {
            const bool capture = group == QLatin1String("capture");
            const QStringList modes =
                capture ? client->captureModeList() : client->playbackModeList();
            QVERIFY(modes.size() >= 2);
            const auto devicesOf = [&](const QString& mode) {
                return capture ? client->captureDeviceList(mode) : client->playbackDeviceList(mode);
            };
            const QString first = modes.first(), other = modes.last();
            const QString stored = devicesOf(first).last().id();
            const QByteArray otherDevice = devicesOf(other).first().id().toUtf8();
            capture ? ts3client_openCaptureDevice(handler(), other.toUtf8(), otherDevice)
                    : ts3client_openPlaybackDevice(handler(), other.toUtf8(), otherDevice);
            QSettings().setValue(group + "/currentMode", first);
            QSettings().setValue(group + "/currentDeviceID", stored);

            std::unique_ptr<AbstractOption> page;
            if (capture)
                page = std::make_unique<CaptureOption>();
            else
                page = std::make_unique<PlaybackOption>();
            QComboBox* devices = find<QComboBox>(page.get(), "comboBoxDevice");
            QCOMPARE(find<QComboBox>(page.get(), "comboBoxMode")->currentText(), first);
            QCOMPARE(devices->count(), devicesOf(first).size());
            QCOMPARE(devices->currentData().toString(), stored);
            QCOMPARE(capture ? client->currentCaptureMode() : client->currentPlaybackMode(), first);
            QCOMPARE(capture ? client->currentCaptureDeviceName()
                             : client->currentPlaybackDeviceName(),
                     stored);
            QVERIFY(!page->isModified());
        }
    }

    void storedSettingsApplyAtStart()
    {
        {
            CaptureOption capture;
            PlaybackOption playback;
            find<QSlider>(&capture, "sliderVadLevel")->setValue(-17);
            find<QCheckBox>(&capture, "checkEchoCanceling")->setChecked(false);
            QComboBox* captureDevices = find<QComboBox>(&capture, "comboBoxDevice");
            captureDevices->setCurrentIndex(captureDevices->findData("silence"));
            find<QSlider>(&playback, "sliderVolumeModifier")->setValue(-125);
            find<QSlider>(&playback, "sliderVolumeFactorWave")->setValue(-300);
            QComboBox* playbackDevices = find<QComboBox>(&playback, "comboBoxDevice");
            playbackDevices->setCurrentIndex(playbackDevices->findData("file:playback.wav"));
            capture.save();
            playback.save();
        }
        QCOMPARE(QSettings().value("capture/vadLevel").toString(), "-17");
        QCOMPARE(QSettings().value("playback/volumeModifier").toString(), "-12");

        // The next start: the SDK has its own values until the pages are built.
        resetSdk();
        CaptureOption capture;
        PlaybackOption playback;
        TsSDKClient* client = TsSDKClient::instance();
        QCOMPARE(preProcessor("voiceactivation_level"), "-17");
        QCOMPARE(preProcessor("echo_canceling"), "false");
        QCOMPARE(client->currentCaptureDeviceName(), "silence");
        QCOMPARE(volume("volume_modifier"), -12.0f);
        QCOMPARE(volume("volume_factor_wave"), -30.0f);
        QCOMPARE(client->currentPlaybackDeviceName(), "file:playback.wav");
        QCOMPARE(find<QSlider>(&capture, "sliderVadLevel")->value(), -17);
        QCOMPARE(find<QSlider>(&playback, "sliderVolumeModifier")->value(), -120);
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
        const QString voice = "VolumeModifier", pack = "VolumeFactorWave";
        const QString green = "<font color=\"#006400\">";
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
        PlaybackOption page;
        auto* widget = page.findChild<QSlider*>("slider" + slider);
        widget->setValue(value);
        QTEST(page.findChild<QLabel*>("label" + slider)->text(), "label");
        QTEST(widget->singleStep(), "singleStep");
        QTEST(page.isModified(), "modified");
    }

    void outOfRangeSettingsAreClamped_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("slider");
        QTest::addColumn<int>("position");
        QTest::addColumn<float>("sdkValue");
        const QString level = "capture/vadLevel", voice = "playback/volumeModifier";
        QTest::newRow("level 900") << level << "900"
                                   << "sliderVadLevel" << 50 << 50.0f;
        QTest::newRow("level no number") << level << "loud"
                                         << "sliderVadLevel" << -23 << -23.0f;
        QTest::newRow("voice -10000 dB") << voice << "-10000"
                                         << "sliderVolumeModifier" << -400 << -40.0f;
        QTest::newRow("voice 1e30 dB") << voice << "1e30"
                                       << "sliderVolumeModifier" << 200 << 20.0f;
        QTest::newRow("voice nan") << voice << "nan"
                                   << "sliderVolumeModifier" << -70 << -7.0f;
        QTest::newRow("pack +35 dB") << "playback/volumeFactorWave"
                                     << "35"
                                     << "sliderVolumeFactorWave" << 0 << 0.0f;
    }

    void outOfRangeSettingsAreClamped()
    {
        QFETCH(QString, key);
        QFETCH(QString, stored);
        QFETCH(QString, slider);
        QSettings().setValue(key, stored);
        CaptureOption capture;
        PlaybackOption playback;
        auto* widget = capture.findChild<QSlider*>(slider);
        QTEST((widget ? widget : playback.findChild<QSlider*>(slider))->value(), "position");
        // The SDK has what the slider shows.
        const float value = key == "capture/vadLevel"
                                ? preProcessor("voiceactivation_level").toFloat()
                            : key == "playback/volumeModifier" ? volume("volume_modifier")
                                                               : volume("volume_factor_wave");
        QTEST(value, "sdkValue");
    }

    void dialogHeaderAndApply()
    {
        OptionsDialog dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        auto* list = find<QListWidget>(&dialog, "optionsView");
        QCOMPARE(list->count(), 2);
        QCOMPARE(list->currentItem()->text(), "Capture");
        QCOMPARE(find<QStackedWidget>(&dialog, "optionsStack")->currentIndex(), 0);
        // The shown page's own header from the first opening on, and the keyboard on the
        // page list.
        QCOMPARE(find<QLabel>(&dialog, "labelTitle")->text(), "Capture");
        QCOMPARE(find<QLabel>(&dialog, "labelDescription")->text(),
                 "Configure the Capture Sound System");
        QVERIFY(!find<QLabel>(&dialog, "labelLogo")->pixmap(Qt::ReturnByValue).isNull());
        QCOMPARE(dialog.focusWidget(), list);

        QPushButton* apply = button(&dialog, QDialogButtonBox::Apply);
        QTRY_VERIFY(!apply->isEnabled());
        find<QSlider>(&dialog, "sliderVadLevel")->setValue(-10);
        QTRY_VERIFY(apply->isEnabled()); // at the next repaint
        apply->click();
        QCOMPARE(preProcessor("voiceactivation_level"), "-10");
        QCOMPARE(QSettings().value("capture/vadLevel").toInt(), -10);
        QVERIFY(dialog.isVisible());
        QVERIFY(!apply->isEnabled());

        list->setCurrentRow(1);
        QCOMPARE(find<QLabel>(&dialog, "labelTitle")->text(), "Playback");
        QCOMPARE(find<QLabel>(&dialog, "labelDescription")->text(),
                 "Configure the Playback Sound System");
        QVERIFY(!find<QLabel>(&dialog, "labelLogo")->pixmap(Qt::ReturnByValue).isNull());
    }

    void leavingAModifiedPage_data()
    {
        QTest::addColumn<int>("answer");
        QTest::addColumn<int>("shownRow");
        QTest::addColumn<QString>("sdkEcho");
        QTest::addColumn<bool>("echoShown");
        QTest::newRow("save") << int(QMessageBox::Save) << 1 << "false" << false;
        QTest::newRow("discard") << int(QMessageBox::Discard) << 1 << "true" << true;
        QTest::newRow("abort") << int(QMessageBox::Abort) << 0 << "true" << false;
    }

    void leavingAModifiedPage()
    {
        QFETCH(int, answer);
        QFETCH(int, shownRow);
        OptionsDialog dialog;
        dialog.show();
        auto* list = find<QListWidget>(&dialog, "optionsView");
        find<QCheckBox>(&dialog, "checkEchoCanceling")->setChecked(false);
        MessageBoxAnswerer answerer{QMessageBox::StandardButton(answer)};
        list->setCurrentRow(1);
        QCOMPARE(
            answerer.seen,
            QStringList{"Unsaved Changes: The \"Capture\" settings have been modified.\n\nDo "
                        "you want to Save, Discard your changes or Abort closing this window?"});
        QCOMPARE(find<QStackedWidget>(&dialog, "optionsStack")->currentIndex(), shownRow);
        // What is selected is what is shown.
        QTRY_COMPARE(list->currentRow(), shownRow);
        QCOMPARE(list->selectedItems(), QList<QListWidgetItem*>{list->item(shownRow)});
        QTEST(preProcessor("echo_canceling"), "sdkEcho");
        QTEST(find<QCheckBox>(&dialog, "checkEchoCanceling")->isChecked(), "echoShown");
    }

    void okSavesAndCancelDrops()
    {
        OptionsDialog dialog;
        QCheckBox* echo = find<QCheckBox>(&dialog, "checkEchoCanceling");
        dialog.show();
        echo->setChecked(false);
        button(&dialog, QDialogButtonBox::Ok)->click();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(preProcessor("echo_canceling"), "false");
        QCOMPARE(QSettings().value("capture/echoCanceling").toBool(), false);

        dialog.show();
        echo->setChecked(true);
        button(&dialog, QDialogButtonBox::Cancel)->click();
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QVERIFY(!echo->isChecked());
        QCOMPARE(preProcessor("echo_canceling"), "false");
    }

    void settingsButtonOpensTheDialog()
    {
        MainWindow window;
        window.show();
        auto* dialog = window.findChild<OptionsDialog*>();
        QVERIFY(dialog && !dialog->isVisible());
        find<QToolButton>(&window, "toolButtonSetting")->click();
        QVERIFY(dialog->isVisible());
        auto* list = find<QListWidget>(dialog, "optionsView");
        QCOMPARE(list->count(), 3);
        QCOMPARE(list->item(2)->text(), "About");
    }

    void aboutCancelsOnlyARunningUpdater_data()
    {
        QTest::addColumn<bool>("cancel");
        QTest::newRow("check cancelled") << true;
        QTest::newRow("check accepted") << false;
    }

    void aboutCancelsOnlyARunningUpdater()
    {
        QFETCH(bool, cancel);
        // A product of our own, so no other updater on this machine shares the key.
        const QString product = "Meeting" + QUuid::createUuid().toString(QUuid::Id128).left(12);
        QCoreApplication::setApplicationName(product);
        auto restoreName = qScopeGuard([] { QCoreApplication::setApplicationName("Meeting"); });
        AboutOption page;
        QCOMPARE(find<QLabel>(&page, "label")->text(),
                 product + ' ' + RylSystem::RylCoreApplication::instance()->buildNumber());

        // A feed that never answers keeps the updater checking until it is cancelled.
        QTcpServer silentFeed;
        QVERIFY(silentFeed.listen(QHostAddress::LocalHost));
        QProcess updater;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("RYL_UPDATE_FEED", QString("http://127.0.0.1:%1/").arg(silentFeed.serverPort()));
        updater.setProcessEnvironment(env);
        updater.start(qEnvironmentVariable("MEETING_BIN_DIR") + "/RylUpdater",
                      {"/x/Meeting", product, "10", "1", "checkupdates", "en_US"});
        auto stopUpdater = qScopeGuard([&updater] {
            updater.kill();
            updater.waitForFinished(5000);
        });
        RylSystem::SingleApplication probe("RYL Auto Updater" + product, false);
        QTRY_VERIFY_WITH_TIMEOUT(probe.isRunning(), 5000);

        onNextDialog([cancel](QDialog* check) { cancel ? check->reject() : check->accept(); },
                     "CheckUpdateDlg");
        find<QPushButton>(&page, "pushButtonChekUpdate")->click();
        // An accepted check left the updater running: it still takes a cancel from us.
        if (!cancel)
            QVERIFY(probe.sendMessage("cancel", 5000));
        QVERIFY(updater.waitForFinished(5000));
        QVERIFY(updater.readAllStandardOutput().contains("cancelled"));
    }

    // Last: the library stays gone for the rest of the process.
    void pagesSurviveAGoneLibrary()
    {
        TsSDKClient::instance()->sdk()->tearDown();
        CaptureOption capture;
        PlaybackOption playback;
        QCOMPARE(find<QComboBox>(&capture, "comboBoxMode")->count(), 0);
        QVERIFY(find<QRadioButton>(&capture, "radioContinuousTransmission")->isChecked());
        QCOMPARE(find<QLabel>(&playback, "labelVolumeModifier")->text(),
                 "<font color=\"#006400\">+0 dB</font>");
        QVERIFY(!playback.isModified());
        find<QSlider>(&playback, "sliderVolumeModifier")->setValue(-100);
        playback.save();
        QCOMPARE(QSettings().value("playback/volumeModifier").toDouble(), -10.0);
    }

    void cleanupTestCase() { qInstallMessageHandler(previousHandler); }
};

int main(int argc, char** argv)
{
    RylSystem::RylCoreApplication app(argc, argv);
    TestOptions test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_options.moc"

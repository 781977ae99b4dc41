// SPDX-License-Identifier: MIT
// Sound through the client library's C API and voice-cli's sound commands: modes, devices,
// opening, current device and the per-handler values, before and after initialisation.
#include "soundcommands.h"
#include "voicesdk.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <cstring>

namespace {

// Owns what the library hands out, so a failing check does not leak.
struct Text
{
    char* p = nullptr;
    ~Text() { ts3client_freeMemory(p); }
    QByteArray value() const { return p ? QByteArray(p) : QByteArray(); }
};

struct ModeList
{
    char** p = nullptr;
    ~ModeList()
    {
        if (!p)
            return;
        for (char** e = p; *e; ++e)
            ts3client_freeMemory(*e);
        ts3client_freeMemory(p);
    }
    QList<QByteArray> values() const
    {
        QList<QByteArray> out;
        for (char** e = p; p && *e; ++e)
            out.append(*e);
        return out;
    }
};

struct Pair
{
    char** p = nullptr;
    ~Pair()
    {
        if (!p)
            return;
        ts3client_freeMemory(p[0]);
        ts3client_freeMemory(p[1]);
        ts3client_freeMemory(p);
    }
};

struct DeviceList
{
    char*** p = nullptr;
    ~DeviceList()
    {
        if (!p)
            return;
        for (char*** e = p; *e; ++e) {
            ts3client_freeMemory((*e)[0]);
            ts3client_freeMemory((*e)[1]);
            ts3client_freeMemory(*e);
        }
        ts3client_freeMemory(p);
    }
    QList<QPair<QByteArray, QByteArray>> values() const // {name, id}
    {
        QList<QPair<QByteArray, QByteArray>> out;
        for (char*** e = p; p && *e; ++e)
            out.append({(*e)[0] ? QByteArray((*e)[0]) : QByteArray(),
                        (*e)[1] ? QByteArray((*e)[1]) : QByteArray()});
        return out;
    }
    QList<QByteArray> ids() const
    {
        QList<QByteArray> out;
        for (const auto& d : values())
            out.append(d.second);
        return out;
    }
};

constexpr uint64 NoSuchHandler = 987654321;

} // namespace

class TestSound : public QObject
{
    Q_OBJECT

    uint64 handler_ = 0;
    QTemporaryDir dir_;

    static QJsonObject run(const QJsonArray& cmd, uint64 handler)
    {
        QJsonObject result;
        if (!handleSoundCommand(cmd, handler, &result))
            result["unhandled"] = true;
        return result;
    }

private slots:
    // Nothing answers before the library is up, and no out-pointer is touched.
    void initTestCase()
    {
        ModeList modes;
        QCOMPARE(ts3client_getCaptureModeList(&modes.p), unsigned(ERROR_lib_not_initialized));
        QCOMPARE(ts3client_getPlaybackModeList(&modes.p), unsigned(ERROR_lib_not_initialized));
        Text text;
        QCOMPARE(ts3client_getDefaultCaptureMode(&text.p), unsigned(ERROR_lib_not_initialized));
        QCOMPARE(ts3client_getDefaultPlayBackMode(&text.p), unsigned(ERROR_lib_not_initialized));
        Pair pair;
        QCOMPARE(ts3client_getDefaultCaptureDevice("virtual", &pair.p),
                 unsigned(ERROR_lib_not_initialized));
        QCOMPARE(ts3client_getDefaultPlaybackDevice(nullptr, &pair.p),
                 unsigned(ERROR_lib_not_initialized));
        DeviceList devices;
        QCOMPARE(ts3client_getCaptureDeviceList("virtual", &devices.p),
                 unsigned(ERROR_lib_not_initialized));
        QCOMPARE(ts3client_getPlaybackDeviceList(nullptr, &devices.p),
                 unsigned(ERROR_lib_not_initialized));
        QCOMPARE(ts3client_openCaptureDevice(1, "virtual", "silence"),
                 unsigned(ERROR_lib_not_initialized));
        QCOMPARE(ts3client_setPreProcessorConfigValue(1, "vad", "true"),
                 unsigned(ERROR_lib_not_initialized));
        float value = 0;
        QCOMPARE(ts3client_getPlaybackConfigValueAsFloat(1, "volume_modifier", &value),
                 unsigned(ERROR_lib_not_initialized));
        QVERIFY(!modes.p && !text.p && !pair.p && !devices.p);
        QCOMPARE(run({"modes"}, 1).value("error").toInt(), int(ERROR_lib_not_initialized));

        ClientUIFunctions functions;
        std::memset(&functions, 0, sizeof functions);
        QCOMPARE(ts3client_initClientLib(&functions, nullptr, LogType_NONE, nullptr, ""),
                 unsigned(ERROR_ok));
        QCOMPARE(ts3client_spawnNewServerConnectionHandler(0, &handler_), unsigned(ERROR_ok));
        QVERIFY(dir_.isValid());
    }

    void cleanupTestCase()
    {
        ts3client_destroyServerConnectionHandler(handler_);
        QCOMPARE(ts3client_destroyClientLib(), unsigned(ERROR_ok));
        ModeList modes;
        QCOMPARE(ts3client_getCaptureModeList(&modes.p), unsigned(ERROR_lib_not_initialized));
    }

    void modeListsHoldVirtualAndTheDefault()
    {
        for (bool capture : {true, false}) {
            ModeList modes;
            Text deflt;
            QCOMPARE(capture ? ts3client_getCaptureModeList(&modes.p)
                             : ts3client_getPlaybackModeList(&modes.p),
                     unsigned(ERROR_ok));
            QCOMPARE(capture ? ts3client_getDefaultCaptureMode(&deflt.p)
                             : ts3client_getDefaultPlayBackMode(&deflt.p),
                     unsigned(ERROR_ok));
            const QList<QByteArray> list = modes.values();
            QVERIFY(list.contains("virtual"));
            QVERIFY2(list.contains(deflt.value()), deflt.p);
            QCOMPARE(QSet<QByteArray>(list.begin(), list.end()).size(), list.size());
        }
        QCOMPARE(ts3client_getCaptureModeList(nullptr), unsigned(ERROR_parameter_invalid));
        QCOMPARE(ts3client_getDefaultPlayBackMode(nullptr), unsigned(ERROR_parameter_invalid));
    }

    // Every mode's list is well-formed and its default device is in it and opens.
    void everyModesDevicesAreWellFormed()
    {
        for (bool capture : {true, false}) {
            ModeList modes;
            QCOMPARE(capture ? ts3client_getCaptureModeList(&modes.p)
                             : ts3client_getPlaybackModeList(&modes.p),
                     unsigned(ERROR_ok));
            for (const QByteArray& mode : modes.values()) {
                DeviceList devices;
                QCOMPARE(capture ? ts3client_getCaptureDeviceList(mode, &devices.p)
                                 : ts3client_getPlaybackDeviceList(mode, &devices.p),
                         unsigned(ERROR_ok));
                QSet<QByteArray> ids;
                for (const auto& d : devices.values()) {
                    QVERIFY2(!d.first.isEmpty() && !d.second.isEmpty(), mode.constData());
                    QVERIFY2(!ids.contains(d.second), d.second.constData());
                    ids.insert(d.second);
                }
                QVERIFY(!ids.isEmpty());
                Pair deflt;
                QCOMPARE(capture ? ts3client_getDefaultCaptureDevice(mode, &deflt.p)
                                 : ts3client_getDefaultPlaybackDevice(mode, &deflt.p),
                         unsigned(ERROR_ok));
                QVERIFY(ids.contains(deflt.p[1]));
            }
        }
    }

    void virtualDevicesAreListed()
    {
        DeviceList capture, playback;
        QCOMPARE(ts3client_getCaptureDeviceList("virtual", &capture.p), unsigned(ERROR_ok));
        QCOMPARE(ts3client_getPlaybackDeviceList("virtual", &playback.p), unsigned(ERROR_ok));
        QCOMPARE(capture.ids(),
                 (QList<QByteArray>{"silence", "tone", "loopback", "file:capture.wav"}));
        QCOMPARE(playback.ids(), (QList<QByteArray>{"discard", "loopback", "file:playback.wav"}));
        Pair pair;
        QCOMPARE(ts3client_getDefaultCaptureDevice("virtual", &pair.p), unsigned(ERROR_ok));
        QCOMPARE(QByteArray(pair.p[1]), QByteArray("silence"));
    }

    void listsOfUnknownModesAreRefused()
    {
        DeviceList devices;
        QCOMPARE(ts3client_getCaptureDeviceList("no such mode", &devices.p),
                 unsigned(ERROR_sound_invalid_mode));
        QCOMPARE(ts3client_getPlaybackDeviceList("VIRTUAL", &devices.p),
                 unsigned(ERROR_sound_invalid_mode));
        QVERIFY(!devices.p);
        Pair pair;
        QCOMPARE(ts3client_getDefaultPlaybackDevice("no such mode", &pair.p),
                 unsigned(ERROR_sound_invalid_mode));
        QVERIFY(!pair.p);
        QCOMPARE(ts3client_getCaptureDeviceList("virtual", nullptr),
                 unsigned(ERROR_parameter_invalid));
    }

    void nullModeListsTheDefaultMode()
    {
        Text mode;
        QCOMPARE(ts3client_getDefaultCaptureMode(&mode.p), unsigned(ERROR_ok));
        DeviceList byNull, byName;
        QCOMPARE(ts3client_getCaptureDeviceList(nullptr, &byNull.p), unsigned(ERROR_ok));
        QCOMPARE(ts3client_getCaptureDeviceList(mode.p, &byName.p), unsigned(ERROR_ok));
        QCOMPARE(byNull.values(), byName.values());
    }

    // What the client does at start: default mode, its default device, open it.
    void defaultsOpenAndReadBack()
    {
        uint64 h = 0;
        QCOMPARE(ts3client_spawnNewServerConnectionHandler(0, &h), unsigned(ERROR_ok));
        Text none;
        QCOMPARE(ts3client_getCurrentCaptureMode(h, &none.p), unsigned(ERROR_sound_invalid_device));
        QCOMPARE(ts3client_getCurrentPlaybackDeviceName(h, &none.p, nullptr),
                 unsigned(ERROR_sound_invalid_device));
        for (bool capture : {true, false}) {
            Text mode;
            Pair device;
            QCOMPARE(capture ? ts3client_getDefaultCaptureMode(&mode.p)
                             : ts3client_getDefaultPlayBackMode(&mode.p),
                     unsigned(ERROR_ok));
            QCOMPARE(capture ? ts3client_getDefaultCaptureDevice(mode.p, &device.p)
                             : ts3client_getDefaultPlaybackDevice(mode.p, &device.p),
                     unsigned(ERROR_ok));
            QCOMPARE(capture ? ts3client_openCaptureDevice(h, mode.p, device.p[1])
                             : ts3client_openPlaybackDevice(h, mode.p, device.p[1]),
                     unsigned(ERROR_ok));
            Text currentMode, currentDevice;
            int isDefault = -1;
            QCOMPARE(capture ? ts3client_getCurrentCaptureMode(h, &currentMode.p)
                             : ts3client_getCurrentPlayBackMode(h, &currentMode.p),
                     unsigned(ERROR_ok));
            QCOMPARE(capture
                         ? ts3client_getCurrentCaptureDeviceName(h, &currentDevice.p, &isDefault)
                         : ts3client_getCurrentPlaybackDeviceName(h, &currentDevice.p, &isDefault),
                     unsigned(ERROR_ok));
            QCOMPARE(currentMode.value(), mode.value());
            QCOMPARE(currentDevice.value(), QByteArray(device.p[1]));
            QCOMPARE(isDefault, 1);
        }
        QCOMPARE(ts3client_destroyServerConnectionHandler(h), unsigned(ERROR_ok));
        QCOMPARE(ts3client_getCurrentCaptureMode(h, &none.p),
                 unsigned(ERROR_connection_handler_invalid));
    }

    void openVirtualDevicesAndReadBack()
    {
        QCOMPARE(ts3client_openCaptureDevice(handler_, "virtual", "tone"), unsigned(ERROR_ok));
        Text mode, device;
        int isDefault = -1;
        QCOMPARE(ts3client_getCurrentCaptureMode(handler_, &mode.p), unsigned(ERROR_ok));
        QCOMPARE(ts3client_getCurrentCaptureDeviceName(handler_, &device.p, &isDefault),
                 unsigned(ERROR_ok));
        QCOMPARE(mode.value(), QByteArray("virtual"));
        QCOMPARE(device.value(), QByteArray("tone"));
        QCOMPARE(isDefault, 0);

        // Null device: the mode's default.
        QCOMPARE(ts3client_openPlaybackDevice(handler_, "virtual", nullptr), unsigned(ERROR_ok));
        Text playback;
        QCOMPARE(ts3client_getCurrentPlaybackDeviceName(handler_, &playback.p, nullptr),
                 unsigned(ERROR_ok));
        QCOMPARE(playback.value(), QByteArray("discard"));
    }

    void filePlaybackCreatesItsWavFile()
    {
        const QByteArray path = dir_.filePath("out.wav").toUtf8();
        QCOMPARE(ts3client_openPlaybackDevice(handler_, "virtual", "file:" + path),
                 unsigned(ERROR_ok));
        QFile file(QString::fromUtf8(path));
        QVERIFY(file.open(QIODevice::ReadOnly));
        // The speaker runs from now: frames of silence may follow the header already.
        const QByteArray header = file.readAll();
        QVERIFY(header.size() >= 44 && (header.size() - 44) % 1920 == 0);
        QVERIFY(header.startsWith("RIFF") && header.mid(8, 8) == "WAVEfmt ");
        Text device;
        QCOMPARE(ts3client_getCurrentPlaybackDeviceName(handler_, &device.p, nullptr),
                 unsigned(ERROR_ok));
        QCOMPARE(device.value(), "file:" + path);
    }

    void badOpensAreRefusedAndKeepTheDevice_data()
    {
        QTest::addColumn<bool>("capture");
        QTest::addColumn<QByteArray>("mode");
        QTest::addColumn<QByteArray>("device");
        QTest::addColumn<unsigned>("code");
        const unsigned badMode = ERROR_sound_invalid_mode;
        const unsigned badDevice = ERROR_sound_invalid_device;
        const unsigned failed = ERROR_sound_device_open_failed;
        QTest::newRow("unknown mode")
            << true << QByteArray("no such mode") << QByteArray("silence") << badMode;
        QTest::newRow("unknown device")
            << true << QByteArray("virtual") << QByteArray("no such device") << badDevice;
        QTest::newRow("playback device as capture")
            << true << QByteArray("virtual") << QByteArray("discard") << badDevice;
        QTest::newRow("capture device as playback")
            << false << QByteArray("virtual") << QByteArray("tone") << badDevice;
        QTest::newRow("file without path")
            << true << QByteArray("virtual") << QByteArray("file:") << badDevice;
        QTest::newRow("missing capture file")
            << true << QByteArray("virtual") << QByteArray("file:/nonexistent/in.wav") << failed;
        QTest::newRow("unwritable playback file")
            << false << QByteArray("virtual") << QByteArray("file:/nonexistent/out.wav") << failed;
        QTest::newRow("long garbage")
            << false << QByteArray("virtual") << QByteArray(5000, '\x7f') << badDevice;
    }

    void badOpensAreRefusedAndKeepTheDevice()
    {
        QFETCH(bool, capture);
        QFETCH(QByteArray, mode);
        QFETCH(QByteArray, device);
        QFETCH(unsigned, code);
        const char* keep = capture ? "silence" : "discard";
        QCOMPARE(capture ? ts3client_openCaptureDevice(handler_, "virtual", keep)
                         : ts3client_openPlaybackDevice(handler_, "virtual", keep),
                 unsigned(ERROR_ok));
        QCOMPARE(capture ? ts3client_openCaptureDevice(handler_, mode, device)
                         : ts3client_openPlaybackDevice(handler_, mode, device),
                 code);
        Text current;
        QCOMPARE(capture ? ts3client_getCurrentCaptureDeviceName(handler_, &current.p, nullptr)
                         : ts3client_getCurrentPlaybackDeviceName(handler_, &current.p, nullptr),
                 unsigned(ERROR_ok));
        QCOMPARE(current.value(), QByteArray(keep));
    }

    void invalidHandlerIsRefused()
    {
        QCOMPARE(ts3client_openCaptureDevice(NoSuchHandler, "virtual", "silence"),
                 unsigned(ERROR_connection_handler_invalid));
        QCOMPARE(ts3client_openPlaybackDevice(0, nullptr, nullptr),
                 unsigned(ERROR_connection_handler_invalid));
        Text text;
        QCOMPARE(ts3client_getCurrentPlayBackMode(NoSuchHandler, &text.p),
                 unsigned(ERROR_connection_handler_invalid));
        QCOMPARE(ts3client_getPreProcessorConfigValue(NoSuchHandler, "vad", &text.p),
                 unsigned(ERROR_connection_handler_invalid));
        QCOMPARE(ts3client_setPlaybackConfigValue(NoSuchHandler, "volume_modifier", "1"),
                 unsigned(ERROR_connection_handler_invalid));
        float value = 0;
        QCOMPARE(ts3client_getPlaybackConfigValueAsFloat(NoSuchHandler, "volume_modifier", &value),
                 unsigned(ERROR_connection_handler_invalid));
        QVERIFY(!text.p);
    }

    void preprocessorValues_data()
    {
        QTest::addColumn<QByteArray>("ident");
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<unsigned>("code");
        QTest::addColumn<QByteArray>("readBack");
        const unsigned ok = ERROR_ok;
        const unsigned badValue = ERROR_sound_invalid_value;
        QTest::newRow("vad on") << QByteArray("vad") << QByteArray("true") << ok
                                << QByteArray("true");
        QTest::newRow("vad maybe")
            << QByteArray("vad") << QByteArray("maybe") << badValue << QByteArray("true");
        QTest::newRow("vad off") << QByteArray("vad") << QByteArray("false") << ok
                                 << QByteArray("false");
        QTest::newRow("level -20")
            << QByteArray("voiceactivation_level") << QByteArray("-20") << ok << QByteArray("-20");
        QTest::newRow("level abc") << QByteArray("voiceactivation_level") << QByteArray("abc")
                                   << badValue << QByteArray("-20");
        QTest::newRow("level inf") << QByteArray("voiceactivation_level") << QByteArray("inf")
                                   << badValue << QByteArray("-20");
        QTest::newRow("level too low") << QByteArray("voiceactivation_level") << QByteArray("-500")
                                       << badValue << QByteArray("-20");
        QTest::newRow("level digits") << QByteArray("voiceactivation_level")
                                      << QByteArray("0.123456789") << ok << QByteArray("0.123457");
        QTest::newRow("echo on") << QByteArray("echo_canceling") << QByteArray("true") << ok
                                 << QByteArray("true");
        QTest::newRow("echo 1") << QByteArray("echo_canceling") << QByteArray("1") << badValue
                                << QByteArray("true");
    }

    // Rows run in order on one handler: a refused value leaves the previous one.
    void preprocessorValues()
    {
        QFETCH(QByteArray, ident);
        QFETCH(QByteArray, value);
        QFETCH(unsigned, code);
        QFETCH(QByteArray, readBack);
        QCOMPARE(ts3client_setPreProcessorConfigValue(handler_, ident, value), code);
        Text text;
        QCOMPARE(ts3client_getPreProcessorConfigValue(handler_, ident, &text.p),
                 unsigned(ERROR_ok));
        QCOMPARE(text.value(), readBack);
    }

    void playbackValues()
    {
        QCOMPARE(ts3client_setPlaybackConfigValue(handler_, "volume_modifier", "1.25"),
                 unsigned(ERROR_ok));
        QCOMPARE(ts3client_setPlaybackConfigValue(handler_, "volume_factor_wave", "-40"),
                 unsigned(ERROR_ok));
        QCOMPARE(ts3client_setPlaybackConfigValue(handler_, "volume_factor_wave", "loud"),
                 unsigned(ERROR_sound_invalid_value));
        QCOMPARE(ts3client_setPlaybackConfigValue(handler_, "volume_factor_wave", "nan"),
                 unsigned(ERROR_sound_invalid_value));
        float value = 0;
        QCOMPARE(ts3client_getPlaybackConfigValueAsFloat(handler_, "volume_modifier", &value),
                 unsigned(ERROR_ok));
        QCOMPARE(value, 1.25f);
        QCOMPARE(ts3client_getPlaybackConfigValueAsFloat(handler_, "volume_factor_wave", &value),
                 unsigned(ERROR_ok));
        QCOMPARE(value, -40.0f);
    }

    void unknownIdentifiersAndNullArguments()
    {
        Text text;
        float value = 0;
        QCOMPARE(ts3client_setPreProcessorConfigValue(handler_, "volume_modifier", "1"),
                 unsigned(ERROR_sound_invalid_identifier));
        QCOMPARE(ts3client_getPreProcessorConfigValue(handler_, "agc", &text.p),
                 unsigned(ERROR_sound_invalid_identifier));
        QCOMPARE(ts3client_setPlaybackConfigValue(handler_, "vad", "true"),
                 unsigned(ERROR_sound_invalid_identifier));
        QCOMPARE(ts3client_getPlaybackConfigValueAsFloat(handler_, "volume", &value),
                 unsigned(ERROR_sound_invalid_identifier));
        QCOMPARE(ts3client_setPreProcessorConfigValue(handler_, nullptr, "true"),
                 unsigned(ERROR_parameter_invalid));
        QCOMPARE(ts3client_setPreProcessorConfigValue(handler_, "vad", nullptr),
                 unsigned(ERROR_parameter_invalid));
        QCOMPARE(ts3client_getPreProcessorConfigValue(handler_, "vad", nullptr),
                 unsigned(ERROR_parameter_invalid));
        QCOMPARE(ts3client_getPlaybackConfigValueAsFloat(handler_, "volume_modifier", nullptr),
                 unsigned(ERROR_parameter_invalid));
        QVERIFY(!text.p);
    }

    // A new handler starts from the defaults, whatever another handler set.
    void valuesBelongToTheirHandler()
    {
        QCOMPARE(ts3client_setPreProcessorConfigValue(handler_, "vad", "true"), unsigned(ERROR_ok));
        uint64 other = 0;
        QCOMPARE(ts3client_spawnNewServerConnectionHandler(0, &other), unsigned(ERROR_ok));
        Text text;
        QCOMPARE(ts3client_getPreProcessorConfigValue(other, "vad", &text.p), unsigned(ERROR_ok));
        QCOMPARE(text.value(), QByteArray("false"));
        Text level;
        QCOMPARE(ts3client_getPreProcessorConfigValue(other, "voiceactivation_level", &level.p),
                 unsigned(ERROR_ok));
        QCOMPARE(level.value(), QByteArray("-50"));
        float value = 1;
        QCOMPARE(ts3client_getPlaybackConfigValueAsFloat(other, "volume_modifier", &value),
                 unsigned(ERROR_ok));
        QCOMPARE(value, 0.0f);
        QCOMPARE(ts3client_destroyServerConnectionHandler(other), unsigned(ERROR_ok));
    }

    void cliModesAndDevices()
    {
        const QJsonObject modes = run({"modes"}, handler_);
        QCOMPARE(modes.value("error").toInt(), 0);
        for (const char* side : {"capture", "playback"}) {
            const QJsonObject data = modes.value(side).toObject();
            QVERIFY(data.value("modes").toArray().contains("virtual"));
            QVERIFY(data.value("modes").toArray().contains(data.value("default")));
        }
        const QJsonObject devices = run({"devices", "virtual"}, handler_);
        QCOMPARE(devices.value("error").toInt(), 0);
        const QJsonArray capture = devices.value("capture").toArray();
        QCOMPARE(capture.size(), 4);
        QCOMPARE(capture.at(0).toObject(),
                 (QJsonObject{{"name", "Silence"}, {"id", "silence"}, {"default", true}}));
        QCOMPARE(devices.value("playback").toArray().size(), 3);
        QCOMPARE(run({"devices", "nope"}, handler_).value("error").toInt(),
                 int(ERROR_sound_invalid_mode));
        QCOMPARE(run({"devices", 5}, handler_).value("error").toInt(),
                 int(ERROR_parameter_invalid));
    }

    void cliOpensDevices()
    {
        const QJsonObject opened = run({"opendevice", "capture", "virtual", "tone"}, handler_);
        QCOMPARE(opened.value("error").toInt(), 0);
        QCOMPARE(opened.value("device").toString(), QString("tone"));
        QCOMPARE(opened.value("mode").toString(), QString("virtual"));
        QCOMPARE(opened.value("isDefault").toBool(), false);
        const QJsonObject defaults = run({"opendevice", "playback"}, handler_);
        QCOMPARE(defaults.value("error").toInt(), 0);
        QVERIFY(!defaults.value("device").toString().isEmpty());
        QCOMPARE(
            run({"opendevice", "sideways", "virtual", "tone"}, handler_).value("error").toInt(),
            int(ERROR_parameter_invalid));
        QCOMPARE(run({"opendevice"}, handler_).value("error").toInt(),
                 int(ERROR_parameter_missing));
        QCOMPARE(run({"opendevice", "capture", "virtual", "nope"}, handler_).value("error").toInt(),
                 int(ERROR_sound_invalid_device));
        QCOMPARE(
            run({"opendevice", "capture", "virtual", "tone"}, NoSuchHandler).value("error").toInt(),
            int(ERROR_connection_handler_invalid));
    }

    void cliConfigValues()
    {
        QCOMPARE(
            run({"setconfig", "voiceactivation_level", -12.5}, handler_).value("error").toInt(), 0);
        QCOMPARE(run({"getconfig", "voiceactivation_level"}, handler_).value("value").toString(),
                 QString("-12.5"));
        QCOMPARE(run({"setconfig", "vad", true}, handler_).value("error").toInt(), 0);
        QCOMPARE(run({"getconfig", "vad"}, handler_).value("value").toString(), QString("true"));
        QCOMPARE(run({"setconfig", "volume_modifier", "3"}, handler_).value("error").toInt(), 0);
        QCOMPARE(run({"getconfig", "volume_modifier"}, handler_).value("value").toDouble(), 3.0);
        QCOMPARE(run({"setconfig", "vad", "maybe"}, handler_).value("error").toInt(),
                 int(ERROR_sound_invalid_value));
        QCOMPARE(run({"setconfig", "bogus", "1"}, handler_).value("error").toInt(),
                 int(ERROR_sound_invalid_identifier));
        QCOMPARE(run({"getconfig", "bogus"}, handler_).value("error").toInt(),
                 int(ERROR_sound_invalid_identifier));
        QCOMPARE(run({"setconfig", "vad", QJsonArray{}}, handler_).value("error").toInt(),
                 int(ERROR_parameter_invalid));
        QCOMPARE(run({"setconfig", "vad"}, handler_).value("error").toInt(),
                 int(ERROR_parameter_missing));
        QCOMPARE(run({"getconfig"}, handler_).value("error").toInt(), int(ERROR_parameter_missing));
    }

    void cliLeavesOtherCommandsAlone()
    {
        QVERIFY(run({"connect", "localhost"}, handler_).value("unhandled").toBool());
        QVERIFY(run({}, handler_).value("unhandled").toBool());
        QVERIFY(run({42}, handler_).value("unhandled").toBool());
    }
};

QTEST_GUILESS_MAIN(TestSound)
#include "tst_sound.moc"

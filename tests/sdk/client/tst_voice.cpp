// SPDX-License-Identifier: MIT
// Voice end to end: handlers in this process with file devices talk through a real voice-server.
#include "audiofiles.h"
#include "eventrecorder.h"
#include "lossyproxy.h"
#include "voiceserverprocess.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

using namespace audio;

namespace {

constexpr double ToneHz = 1000;
constexpr int VoiceLinkPingMs = 1000;  // how often the library probes UDP
constexpr double ToneAmplitude = 6000; // about -17.7 dBFS RMS
const double ToneDb = 20 * std::log10(ToneAmplitude / std::sqrt(2.0) / 32768.0);

QByteArray fileDevice(const QString& path)
{
    return "file:" + path.toUtf8();
}

anyID ownId(uint64 h)
{
    anyID id = 0;
    ts3client_getClientID(h, &id);
    return id;
}

bool setFlag(uint64 h, size_t flag, int value)
{
    return ts3client_setClientSelfVariableAsInt(h, flag, value) == ERROR_ok &&
           ts3client_flushClientSelfUpdates(h, nullptr) == ERROR_ok;
}

bool setPreprocessor(uint64 h, const char* ident, const char* value)
{
    return ts3client_setPreProcessorConfigValue(h, ident, value) == ERROR_ok;
}

// Whether a log line of handler h containing text was written within timeoutMs.
bool logged(uint64 h, const QString& text, int timeoutMs)
{
    return EventRecorder::instance().arrives(
        0, "onUserLoggingMessageEvent",
        [&](const Event& e) {
            return e.args.value("logID").toULongLong() == h && e.text("logMessage").contains(text);
        },
        timeoutMs);
}

} // namespace

class tst_Voice : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void toneIsHeardInTheChannelOnly();
    void muteFlagsSilence_data();
    void muteFlagsSilence();
    void voiceActivationFollowsTheLevel_data();
    void voiceActivationFollowsTheLevel();
    void continuousTransmissionKeepsTalking();
    void inputLevelIsReported_data();
    void inputLevelIsReported();
    void volumesScalePlayback_data();
    void volumesScalePlayback();
    void echoCancellationRemovesTheFarEnd();
    void lossIsRecovered_data();
    void lossIsRecovered();
    void expectedLossFollowsTheLink();
    void burstsAreCoveredAndLetGo();
    void blockedUdpFallsBackToTheTunnelAndBack();

private:
    bool moveTo(uint64 h, uint64 channel);
    QString path(const QString& name) const { return m_dir.filePath(name); }
    bool speak(uint64 h, const QVector<qint16>& samples, const QString& name);
    bool listen(uint64 h, const QString& name);
    // Waits for the end of h's talk spurt as seen by the listener.
    bool waitForSilenceOf(uint64 listener, uint64 speaker, int timeoutMs = 8000);

    // B's recording of A saying bursts; the talk spurt has ended.
    QVector<qint16> bobHears(const QVector<qint16>& said, const QString& name);
    // Connects another handler through proxy into the room.
    bool joinThrough(const LossyProxy& proxy, uint64* h, const char* nickname);
    // The same through a new proxy that loses only what the handler sends, once on UDP.
    bool speakThrough(LossyProxy& proxy, uint64* h, const char* nickname);

    VoiceServerProcess m_server;
    QTemporaryDir m_dir;
    uint64 m_a = 0, m_b = 0, m_c = 0;
    uint64 m_room = 0;
};

void tst_Voice::initTestCase()
{
    QVERIFY2(m_server.start(), qPrintable(m_server.log()));
    const ClientUIFunctions functions = EventRecorder::callbacks();
    QCOMPARE(ts3client_initClientLib(&functions, nullptr, LogType_USERLOGGING, nullptr, nullptr),
             unsigned(ERROR_ok));
    for (uint64* h : {&m_a, &m_b, &m_c})
        QCOMPARE(ts3client_spawnNewServerConnectionHandler(0, h), unsigned(ERROR_ok));
    QVERIFY(connectHandler(m_a, m_server.port(), "alice"));
    QVERIFY(connectHandler(m_b, m_server.port(), "bob"));
    QVERIFY(connectHandler(m_c, m_server.port(), "carol"));
    QCOMPARE(ts3client_setChannelVariableAsString(m_a, 0, CHANNEL_NAME, "room"),
             unsigned(ERROR_ok));
    QCOMPARE(ts3client_flushChannelCreation(m_a, 0, nullptr), unsigned(ERROR_ok));
    const Event created = EventRecorder::instance().wait(m_a, "onNewChannelCreatedEvent");
    m_room = uint64(created.args.value("channelID").toULongLong());
    QVERIFY(m_room > 1);
    QVERIFY(moveTo(m_a, m_room));
    QVERIFY(moveTo(m_b, m_room));
    // Carol hears them leave the lobby as chimes: those are over before anything records.
    const anyID bob = ownId(m_b);
    QVERIFY(!EventRecorder::instance()
                 .wait(m_c, "onClientMoveEvent",
                       [&](const Event& e) { return e.value("clientID") == bob; })
                 .name.isEmpty());
    QTest::qWait(300);
}

void tst_Voice::cleanupTestCase()
{
    QCOMPARE(ts3client_destroyClientLib(), unsigned(ERROR_ok));
    QVERIFY(m_server.stop());
}

bool tst_Voice::moveTo(uint64 h, uint64 channel)
{
    const anyID id = ownId(h);
    if (ts3client_requestClientMove(h, id, channel, "", nullptr) != ERROR_ok)
        return false;
    return !EventRecorder::instance()
                .wait(h, "onClientMoveEvent",
                      [&](const Event& e) {
                          return e.value("clientID") == id &&
                                 e.args.value("newChannelID").toULongLong() == channel;
                      })
                .name.isEmpty();
}

bool tst_Voice::speak(uint64 h, const QVector<qint16>& samples, const QString& name)
{
    return writeWav(path(name), samples) &&
           ts3client_openCaptureDevice(h, "virtual", fileDevice(path(name))) == ERROR_ok;
}

bool tst_Voice::listen(uint64 h, const QString& name)
{
    return ts3client_openPlaybackDevice(h, "virtual", fileDevice(path(name))) == ERROR_ok;
}

bool tst_Voice::waitForSilenceOf(uint64 listener, uint64 speaker, int timeoutMs)
{
    const anyID id = ownId(speaker);
    const auto talk = [&](int status) {
        return EventRecorder::instance()
            .wait(
                listener, "onTalkStatusChangeEvent",
                [&](const Event& e) {
                    return e.value("clientID") == id && e.value("status") == status;
                },
                timeoutMs)
            .name.isEmpty();
    };
    return !talk(STATUS_TALKING) && !talk(STATUS_NOT_TALKING);
}

QVector<qint16> tst_Voice::bobHears(const QVector<qint16>& said, const QString& name)
{
    if (!listen(m_b, name + "-heard.wav") || !speak(m_a, said, name + "-said.wav"))
        return {};
    // As long as the words last, and a little for the last frames to arrive.
    QTest::qWait(int(said.size() * 1000LL / Rate) + 300);
    return readWav(path(name + "-heard.wav"));
}

bool tst_Voice::joinThrough(const LossyProxy& proxy, uint64* h, const char* nickname)
{
    return ts3client_spawnNewServerConnectionHandler(0, h) == ERROR_ok &&
           connectHandler(*h, proxy.port(), nickname) && moveTo(*h, m_room);
}

bool tst_Voice::speakThrough(LossyProxy& proxy, uint64* h, const char* nickname)
{
    if (!proxy.start(m_server.port()))
        return false;
    proxy.ways = LossyProxy::Up;
    return joinThrough(proxy, h, nickname) &&
           QTest::qWaitFor([&] { return proxy.downstream > 0; }, 5000);
}

void tst_Voice::toneIsHeardInTheChannelOnly()
{
    QVERIFY(listen(m_b, "b-heard.wav"));
    QVERIFY(listen(m_c, "c-heard.wav"));
    QVector<qint16> bursts;
    appendBursts(&bursts, ToneHz, ToneAmplitude, 5);
    QVERIFY(speak(m_a, bursts, "a-says.wav"));
    // Heard and announced as talking, with the flag reading the same meanwhile.
    const anyID alice = ownId(m_a);
    const Event talking =
        EventRecorder::instance().wait(m_b, "onTalkStatusChangeEvent", [&](const Event& e) {
            return e.value("clientID") == alice && e.value("status") == STATUS_TALKING;
        });
    QVERIFY(!talking.name.isEmpty());
    char* flag = nullptr;
    QCOMPARE(ts3client_getClientVariableAsString(m_b, alice, CLIENT_FLAG_TALKING, &flag),
             unsigned(ERROR_ok));
    QCOMPARE(QByteArray(flag), QByteArray("1"));
    ts3client_freeMemory(flag);
    int own = 0;
    QCOMPARE(ts3client_getClientSelfVariableAsInt(m_a, CLIENT_FLAG_TALKING, &own),
             unsigned(ERROR_ok));
    QCOMPARE(own, 1);
    QVERIFY(!EventRecorder::instance()
                 .wait(m_a, "onTalkStatusChangeEvent",
                       [&](const Event& e) { return e.value("clientID") == alice; })
                 .name.isEmpty());
    const Event stopped =
        EventRecorder::instance().wait(m_b, "onTalkStatusChangeEvent", [&](const Event& e) {
            return e.value("clientID") == alice && e.value("status") == STATUS_NOT_TALKING;
        });
    QVERIFY(!stopped.name.isEmpty());
    QCOMPARE(ts3client_getClientSelfVariableAsInt(m_a, CLIENT_FLAG_TALKING, &own),
             unsigned(ERROR_ok));
    QCOMPARE(own, 0);
    QTest::qWait(200);

    const QVector<qint16> heard = readWav(path("b-heard.wav"));
    const double peak = peakLevelDb(heard);
    QVERIFY2(qAbs(peak - ToneDb) < 3, qPrintable(QString::number(peak)));
    const int start = onset(heard, ToneDb - 10);
    QVERIFY(start >= 0);
    const double share = toneShareDb(heard, ToneHz, start + Rate / 20, Rate / 5);
    QVERIFY2(share > -1, qPrintable(QString::number(share)));
    const double elsewhere = peakLevelDb(readWav(path("c-heard.wav")));
    QVERIFY2(elsewhere < -80, qPrintable(QString::number(elsewhere)));
}

void tst_Voice::muteFlagsSilence_data()
{
    QTest::addColumn<bool>("speakerSide");
    QTest::addColumn<int>("flag");
    QTest::newRow("speaker's input muted") << true << int(CLIENT_INPUT_MUTED);
    QTest::newRow("speaker's input deactivated") << true << int(CLIENT_INPUT_DEACTIVATED);
    QTest::newRow("listener's output muted") << false << int(CLIENT_OUTPUT_MUTED);
}

void tst_Voice::muteFlagsSilence()
{
    QFETCH(bool, speakerSide);
    QFETCH(int, flag);
    const uint64 h = speakerSide ? m_a : m_b;
    QVERIFY(setFlag(h, size_t(flag), 1));
    QVector<qint16> bursts;
    appendBursts(&bursts, ToneHz, ToneAmplitude, 2);
    const QString name = QStringLiteral("muted%1").arg(flag);
    bobHears(bursts, name);
    QVERIFY(setFlag(h, size_t(flag), 0));
    // Muted speakers are not fed; unmuted, they catch up on the silence that went by.
    QTest::qWait(100);
    const QVector<qint16> heard = readWav(path(name + "-heard.wav"));
    QVERIFY(heard.size() > bursts.size());
    QVERIFY2(peakLevelDb(heard) < -80, qPrintable(QString::number(peakLevelDb(heard))));
}

void tst_Voice::voiceActivationFollowsTheLevel_data()
{
    QTest::addColumn<double>("amplitude");
    QTest::addColumn<bool>("sent");
    // The level 20 is -30 dBFS.
    QTest::newRow("quiet: -38 dBFS") << 600.0 << false;
    QTest::newRow("loud: -12 dBFS") << 12000.0 << true;
}

void tst_Voice::voiceActivationFollowsTheLevel()
{
    QFETCH(double, amplitude);
    QFETCH(bool, sent);
    QVERIFY(setPreprocessor(m_a, "vad", "true"));
    QVERIFY(setPreprocessor(m_a, "voiceactivation_level", "20"));
    QVector<qint16> bursts;
    appendBursts(&bursts, ToneHz, amplitude, 3);
    const QVector<qint16> heard = bobHears(bursts, QStringLiteral("vad%1").arg(amplitude));
    QVERIFY(setPreprocessor(m_a, "vad", "false"));
    const double expected = 20 * std::log10(amplitude / std::sqrt(2.0) / 32768.0);
    const double peak = peakLevelDb(heard);
    if (!sent) {
        QVERIFY2(peak < -80, qPrintable(QString::number(peak)));
        return;
    }
    QVERIFY2(qAbs(peak - expected) < 3, qPrintable(QString::number(peak)));
    // Every burst is there: the pauses between them stay within the hang-over.
    int bursts_heard = 0;
    bool inBurst = false;
    for (int from = 0; from + Rate / 50 <= heard.size(); from += Rate / 50) {
        const bool loud = levelDb(heard, from, Rate / 50) > expected - 10;
        bursts_heard += loud && !inBurst;
        inBurst = loud;
    }
    QCOMPARE(bursts_heard, 3);
}

void tst_Voice::continuousTransmissionKeepsTalking()
{
    // Silence is sent too (as the codec's sparse comfort frames): the speaker is heard the whole
    // time, not in flickers.
    QVector<qint16> silence;
    appendSilence(&silence, 1.5);
    const anyID alice = ownId(m_a);
    EventRecorder::instance().claimAll(m_b, "onTalkStatusChangeEvent");
    QVERIFY(speak(m_a, silence, "silence.wav"));
    QElapsedTimer timer;
    const auto talk = [&](int status) {
        return !EventRecorder::instance()
                    .wait(m_b, "onTalkStatusChangeEvent",
                          [&](const Event& e) {
                              return e.value("clientID") == alice && e.value("status") == status;
                          })
                    .name.isEmpty();
    };
    QVERIFY(talk(STATUS_TALKING));
    timer.start();
    QVERIFY(talk(STATUS_NOT_TALKING));
    QVERIFY2(timer.elapsed() > 1200, qPrintable(QString::number(timer.elapsed())));
}

void tst_Voice::inputLevelIsReported_data()
{
    QTest::addColumn<bool>("muted");
    QTest::newRow("sending") << false;
    // Nothing is sent, but a level meter still shows the microphone.
    QTest::newRow("muted") << true;
}

void tst_Voice::inputLevelIsReported()
{
    QFETCH(bool, muted);
    float level = 0;
    QCOMPARE(ts3client_getPreProcessorInfoValueFloat(m_a, "no such value", &level),
             unsigned(ERROR_sound_invalid_identifier));
    QVERIFY(setFlag(m_a, CLIENT_INPUT_MUTED, muted));
    QVector<qint16> bursts;
    appendBursts(&bursts, ToneHz, ToneAmplitude, 3);
    QVERIFY(speak(m_a, bursts, "level.wav"));
    float loudest = -1000;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 1000) {
        QCOMPARE(ts3client_getPreProcessorInfoValueFloat(m_a, "decibel_last_period", &level),
                 unsigned(ERROR_ok));
        loudest = qMax(loudest, level);
        QTest::qWait(10);
    }
    // On the voice activation scale: dBFS + 50.
    QVERIFY2(qAbs(loudest - (ToneDb + 50)) < 2, qPrintable(QString::number(loudest)));
    QTest::qWait(500);
    QCOMPARE(ts3client_getPreProcessorInfoValueFloat(m_a, "decibel_last_period", &level),
             unsigned(ERROR_ok));
    QCOMPARE(level, -50.0f); // the file has ended
    QVERIFY(setFlag(m_a, CLIENT_INPUT_MUTED, 0));
}

void tst_Voice::volumesScalePlayback_data()
{
    QTest::addColumn<QByteArray>("ident");
    QTest::addColumn<bool>("chime");
    // Voices follow "volume_modifier"; the chime when someone enters follows "volume_factor_wave".
    QTest::newRow("voice") << QByteArray("volume_modifier") << false;
    QTest::newRow("chime") << QByteArray("volume_factor_wave") << true;
}

void tst_Voice::volumesScalePlayback()
{
    QFETCH(QByteArray, ident);
    QFETCH(bool, chime);
    const auto loudest = [&](const char* decibels) {
        if (ts3client_setPlaybackConfigValue(m_b, ident.constData(), decibels) != ERROR_ok ||
            !listen(m_b, "volume.wav"))
            return 0.0;
        if (chime) {
            if (!moveTo(m_c, m_room))
                return 0.0;
            QTest::qWait(400);
            moveTo(m_c, 1);
        } else {
            QVector<qint16> bursts;
            appendBursts(&bursts, ToneHz, ToneAmplitude, 2);
            if (!speak(m_a, bursts, "volume-said.wav"))
                return 0.0;
            QTest::qWait(int(bursts.size() * 1000LL / Rate) + 300);
        }
        return peakLevelDb(readWav(path("volume.wav")), Rate / 50);
    };
    const double normal = loudest("0");
    const double quieter = loudest("-12");
    QVERIFY(ts3client_setPlaybackConfigValue(m_b, ident.constData(), "0") == ERROR_ok);
    QVERIFY2(normal > -30, qPrintable(QString::number(normal)));
    QVERIFY2(qAbs(normal - 12 - quieter) < 1.5,
             qPrintable(QStringLiteral("%1 %2").arg(normal).arg(quieter)));
}

void tst_Voice::echoCancellationRemovesTheFarEnd()
{
    // Alice's speaker stands beside her microphone; Bob hears his own words come back.
    QCOMPARE(ts3client_openPlaybackDevice(m_a, "virtual", "loopback"), unsigned(ERROR_ok));
    QCOMPARE(ts3client_openCaptureDevice(m_a, "virtual", "loopback"), unsigned(ERROR_ok));
    QVector<qint16> words;
    // Long enough for the canceller to settle also on a busy machine, whose clocks jitter.
    appendBursts(&words, 700, 8000, 12);
    const auto echo = [&](const char* on) {
        if (!setPreprocessor(m_a, "echo_canceling", on) || !listen(m_b, "echo.wav") ||
            !writeWav(path("words.wav"), words) ||
            ts3client_openCaptureDevice(m_b, "virtual", fileDevice(path("words.wav"))) != ERROR_ok)
            return 0.0;
        QTest::qWait(int(words.size() * 1000LL / Rate) + 300);
        const QVector<qint16> heard = readWav(path("echo.wav"));
        // The last second, once the canceller has learnt the room.
        return levelDb(heard, heard.size() - 2 * Rate, Rate);
    };
    const double without = echo("false");
    const double with = echo("true");
    QVERIFY(setPreprocessor(m_a, "echo_canceling", "false"));
    QCOMPARE(ts3client_openCaptureDevice(m_a, "virtual", "silence"), unsigned(ERROR_ok));
    qDebug() << "echo without" << without << "with" << with;
    QVERIFY2(without > -40, qPrintable(QString::number(without)));
    QVERIFY2(with < without - 15, qPrintable(QString::number(with)));
}

void tst_Voice::lossIsRecovered_data()
{
    QTest::addColumn<double>("loss");
    QTest::addColumn<double>("reorder");
    QTest::addColumn<double>("tamper");
    QTest::addColumn<bool>("holds"); // the listener holds frames for copies
    // A clean link keeps the shortest delay.
    QTest::newRow("clean") << 0.0 << 0.0 << 0.0 << false;
    QTest::newRow("5 % lost") << 0.05 << 0.0 << 0.0 << true;
    // An overtaken frame comes after its time, until the delay covers it; nothing is lost.
    QTest::newRow("reordered") << 0.0 << 0.1 << 0.0 << false;
    // An altered datagram fails its tag and is dropped like a lost one.
    QTest::newRow("tampered") << 0.0 << 0.0 << 0.05 << true;
}

// What a listener hears of a steady tone over its lossy link, once the speaker protects its
// frames and the listener's buffer has settled: not one 20 ms frame more than 6 dB down.
void tst_Voice::lossIsRecovered()
{
    QFETCH(double, loss);
    QFETCH(double, reorder);
    QFETCH(double, tamper);
    QFETCH(bool, holds);
    LossyProxy proxy(24);
    QVERIFY(proxy.start(m_server.port()));
    proxy.loss = loss;
    proxy.reorder = reorder;
    proxy.tamper = tamper;
    uint64 dave = 0, gina = 0;
    QVERIFY(joinThrough(proxy, &dave, "dave"));
    // A new speaker each time: noise suppression has learnt nothing of the tone yet.
    QCOMPARE(ts3client_spawnNewServerConnectionHandler(0, &gina), unsigned(ERROR_ok));
    QVERIFY(connectHandler(gina, m_server.port(), "gina") && moveTo(gina, m_room));
    // On UDP once a pong got through (a lost one waits for the next ping).
    QTRY_VERIFY_WITH_TIMEOUT(proxy.downstream > 0, 5000);
    QTest::qWait(100);
    QVERIFY(listen(dave, "dave-heard.wav"));
    // Stretches of tone with short pauses; noise suppression takes the tone down to a steady
    // level within the first.
    const int stretch = Rate * 3 / 2, pause = Rate / 10;
    QVector<qint16> tone;
    appendBursts(&tone, ToneHz, ToneAmplitude, 5, double(stretch) / Rate, double(pause) / Rate);
    QVERIFY(speak(gina, tone, "steady.wav"));
    QTest::qWait(int(tone.size() * 1000LL / Rate) + 300);
    const QVector<qint16> heard = readWav(path("dave-heard.wav"));
    const bool held =
        logged(dave, QStringLiteral("frames of client %1 are lost").arg(ownId(gina)), 100);
    const bool forged =
        logged(dave, QStringLiteral("datagram that failed authentication"), tamper > 0 ? 1000 : 0);
    QCOMPARE(ts3client_destroyServerConnectionHandler(gina), unsigned(ERROR_ok));
    QCOMPARE(ts3client_destroyServerConnectionHandler(dave), unsigned(ERROR_ok));
    QCOMPARE(held, holds);
    QCOMPARE(forged, tamper > 0);
    QVERIFY(proxy.dropped + proxy.tampered >= (loss + tamper > 0 ? 2 : 0));
    const int start = onset(heard, ToneDb - 10);
    QVERIFY(start >= 0);
    // The played frames, once the speaker has heard of the loss (within two reports) and the
    // listener's buffer has settled; none at the edges of a stretch.
    const int frame = Rate / 50;
    QVector<double> levels;
    for (int k = 2; k < 5; ++k) {
        const int from = start + k * (stretch + pause);
        for (int f = from / frame + 4; (f + 5) * frame <= from + stretch; ++f)
            levels.append(levelDb(heard, f * frame, frame));
    }
    QVERIFY(levels.size() > 180);
    {
        QString prof;
        for (double l : levels)
            prof += QString::number(int(l)) + " ";
        qDebug() << prof;
    }
    QVector<double> sorted = levels;
    std::sort(sorted.begin(), sorted.end());
    const double steady = sorted.at(sorted.size() / 2);
    QVERIFY2(steady > ToneDb - 20, qPrintable(QString::number(steady)));
    QVERIFY2(sorted.first() > steady - 6,
             qPrintable(QStringLiteral("frame %1 at %2 dB, steady %3 dB")
                            .arg(levels.indexOf(sorted.first()))
                            .arg(sorted.first())
                            .arg(steady)));
}

// The server tells a speaker what its listeners lose; its encoder follows, up and back down.
void tst_Voice::expectedLossFollowsTheLink()
{
    LossyProxy proxy(7);
    uint64 frank = 0;
    QVERIFY(speakThrough(proxy, &frank, "frank"));
    proxy.loss = 0.1;
    QVector<qint16> tone;
    appendBursts(&tone, ToneHz, ToneAmplitude, 13, 1.5, 0.1);
    QVERIFY(speak(frank, tone, "frank.wav"));
    const bool up = logged(frank, QStringLiteral("each frame carries the one before"), 8000);
    proxy.loss = 0;
    const bool down = up && logged(frank, QStringLiteral("expected loss 0 %"), 12000);
    QCOMPARE(ts3client_destroyServerConnectionHandler(frank), unsigned(ERROR_ok));
    QVERIFY(up);
    QVERIFY(down);
}

// Losses in bursts: the listeners say so, the speaker sends older copies too, a burst of three
// lost frames of speech is played from them, and once the link is clean the speaker stops.
void tst_Voice::burstsAreCoveredAndLetGo()
{
    LossyProxy proxy(38);
    uint64 hank = 0;
    QVERIFY(speakThrough(proxy, &hank, "hank"));
    // Runs of four on average: most lost frames are in runs of three or more, which the
    // speaker's copies and the listener's wait then cover.
    proxy.loss = 0.2;
    proxy.burst = 4;
    // Speech-like sound (concealed as speech: it fades), a pause, and more of it.
    const double first = 5, pause = 1, second = 12;
    QVector<qint16> said;
    appendWaver(&said, ToneAmplitude, first);
    appendSilence(&said, pause);
    appendWaver(&said, ToneAmplitude, second);
    QElapsedTimer clock;
    QVERIFY(speak(hank, said, "hank.wav"));
    clock.start();
    const bool up = logged(hank, QStringLiteral("older at"), int(first * 1000));
    const auto until = [&](double seconds) {
        QTest::qWait(int(std::max<qint64>(0, qint64(seconds * 1000) - clock.elapsed())));
    };
    // The second stretch is recorded, with the link clean but for three frames in a row lost
    // a second and a half into it, while the listeners still report the bursts before.
    until(first);
    proxy.loss = 0;
    QVERIFY(listen(m_b, "burst-heard.wav"));
    until(first + pause + 1.5);
    proxy.loseNext = 3;
    QTRY_COMPARE_WITH_TIMEOUT(proxy.loseNext.load(), 0, 1000);
    QTest::qWait(2000);
    QCOMPARE(ts3client_openPlaybackDevice(m_b, "virtual", "discard"), unsigned(ERROR_ok));
    const bool down = up && logged(hank, QStringLiteral("expected loss 0 %"), 12000);
    QCOMPARE(ts3client_destroyServerConnectionHandler(hank), unsigned(ERROR_ok));
    QVERIFY(up);
    QVERIFY(down);

    const QVector<qint16> heard = readWav(path("burst-heard.wav"));
    // Where the stretch begins: the first of ten loud frames in a row.
    const int frame = Rate / 50;
    int start = -1;
    for (int f = 0, loud = 0; start < 0 && (f + 1) * frame <= heard.size(); ++f) {
        loud = levelDb(heard, f * frame, frame) > ToneDb - 10 ? loud + 1 : 0;
        if (loud == 10)
            start = (f - 9) * frame;
    }
    QVERIFY(start >= 0);
    QVector<double> levels;
    // Up to a little before the recording ends: the burst came a second and a half in.
    for (int f = (start + Rate / 5) / frame; (f + 6) * frame <= heard.size(); ++f)
        levels.append(levelDb(heard, f * frame, frame));
    QVERIFY2(levels.size() > 130, qPrintable(QString::number(levels.size())));
    QVector<double> sorted = levels;
    std::sort(sorted.begin(), sorted.end());
    const double steady = sorted.at(sorted.size() / 2);
    QVERIFY2(sorted.first() > steady - 6,
             qPrintable(QStringLiteral("frame %1 at %2 dB, steady %3 dB")
                            .arg(levels.indexOf(sorted.first()))
                            .arg(sorted.first())
                            .arg(steady)));
}

void tst_Voice::blockedUdpFallsBackToTheTunnelAndBack()
{
    LossyProxy proxy;
    QVERIFY(proxy.start(m_server.port()));
    proxy.blocked = true;
    uint64 erin = 0;
    QVERIFY(joinThrough(proxy, &erin, "erin"));
    QVERIFY(listen(erin, "erin-heard.wav"));
    QVector<qint16> bursts;
    appendBursts(&bursts, ToneHz, ToneAmplitude, 2);
    QVERIFY(speak(m_a, bursts, "tunnel.wav"));
    QTest::qWait(int(bursts.size() * 1000LL / Rate) + 300);
    const double tunnelled = peakLevelDb(readWav(path("erin-heard.wav")));
    QVERIFY2(qAbs(tunnelled - ToneDb) < 3, qPrintable(QString::number(tunnelled)));
    QCOMPARE(proxy.downstream.load(), 0);

    // Datagrams get through again: the next ping's answer brings voice back to UDP.
    proxy.blocked = false;
    QTest::qWait(VoiceLinkPingMs + 300);
    QVERIFY(speak(m_a, bursts, "tunnel.wav"));
    QTest::qWait(int(bursts.size() * 1000LL / Rate) + 300);
    QCOMPARE(ts3client_destroyServerConnectionHandler(erin), unsigned(ERROR_ok));
    QVERIFY2(proxy.downstream > 20, qPrintable(QString::number(proxy.downstream.load())));
}

QTEST_GUILESS_MAIN(tst_Voice)
#include "tst_voice.moc"

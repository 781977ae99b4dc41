// SPDX-License-Identifier: MIT
// Voice end to end: handlers in this process with file devices talk through a real voice-server.
#include "audiofiles.h"
#include "eventrecorder.h"
#include "voiceserverprocess.h"

#include <QTemporaryDir>
#include <QTest>

using namespace audio;

namespace {

constexpr double ToneHz = 1000;
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

} // namespace

class tst_Voice : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void toneIsHeardInTheChannelOnly();

private:
    bool moveTo(uint64 h, uint64 channel);
    QString path(const QString& name) const { return m_dir.filePath(name); }
    bool speak(uint64 h, const QVector<qint16>& samples, const QString& name);
    bool listen(uint64 h, const QString& name);
    // Waits for the end of h's talk spurt as seen by the listener.
    bool waitForSilenceOf(uint64 listener, uint64 speaker, int timeoutMs = 8000);

    VoiceServerProcess m_server;
    QTemporaryDir m_dir;
    uint64 m_a = 0, m_b = 0, m_c = 0;
    uint64 m_room = 0;
};

void tst_Voice::initTestCase()
{
    QVERIFY2(m_server.start(), qPrintable(m_server.log()));
    const ClientUIFunctions functions = EventRecorder::callbacks();
    QCOMPARE(ts3client_initClientLib(&functions, nullptr, LogType_NONE, nullptr, nullptr),
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

void tst_Voice::toneIsHeardInTheChannelOnly()
{
    QVERIFY(listen(m_b, "b-heard.wav"));
    QVERIFY(listen(m_c, "c-heard.wav"));
    QVector<qint16> bursts;
    appendBursts(&bursts, ToneHz, ToneAmplitude, 5);
    QVERIFY(speak(m_a, bursts, "a-says.wav"));
    QVERIFY(waitForSilenceOf(m_b, m_a));
    QTest::qWait(200);

    const QVector<qint16> heard = readWav(path("b-heard.wav"));
    const double peak = peakLevelDb(heard);
    qDebug() << "heard" << peak << "sent" << ToneDb;
    QVERIFY2(qAbs(peak - ToneDb) < 3, qPrintable(QString::number(peak)));
    const int start = onset(heard, ToneDb - 10);
    QVERIFY(start >= 0);
    const double share = toneShareDb(heard, ToneHz, start + Rate / 20, Rate / 5);
    QVERIFY2(share > -1, qPrintable(QString::number(share)));
    const double elsewhere = peakLevelDb(readWav(path("c-heard.wav")));
    QVERIFY2(elsewhere < -80, qPrintable(QString::number(elsewhere)));
}

QTEST_GUILESS_MAIN(tst_Voice)
#include "tst_voice.moc"

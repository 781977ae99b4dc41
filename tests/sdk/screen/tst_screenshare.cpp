// SPDX-License-Identifier: MIT
// Live screens end to end: a voice-cli sharing an Xvfb display of the test's own through a real
// voice-server, others watching it and driving its pointer and keyboard.
#include "rawpeer.h"
#include "voicecliprocess.h"
#include "voiceserverprocess.h"
#include "xvfbdisplay.h"

#include <QCborMap>
#include <QImage>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {

constexpr int NotSharing = 0x0C01;
constexpr int AlreadySharing = 0x0C02;
constexpr int NoDisplay = 0x0C00;
constexpr int NotController = 0x0C04;
constexpr int LimitReached = 0x0C06;
constexpr int ParameterInvalid = 0x0600;

bool near(const QJsonArray& probe, const QColor& color, int tolerance = 24)
{
    return probe.size() == 3 && qAbs(probe.at(0).toInt() - color.red()) <= tolerance &&
           qAbs(probe.at(1).toInt() - color.green()) <= tolerance &&
           qAbs(probe.at(2).toInt() - color.blue()) <= tolerance;
}

bool near(QRgb pixel, const QColor& color, int tolerance = 24)
{
    return qAbs(qRed(pixel) - color.red()) <= tolerance &&
           qAbs(qGreen(pixel) - color.green()) <= tolerance &&
           qAbs(qBlue(pixel) - color.blue()) <= tolerance;
}

VoiceCliProcess::Predicate frameWith(const QColor& color)
{
    return [color](const QJsonObject& line) {
        return line.value("event") == QLatin1String("onScreenFrame") &&
               near(line.value("probe").toArray(), color);
    };
}

// A relay between clients and the server that keeps every byte it passes on.
class RecordingRelay : public QObject
{
public:
    explicit RecordingRelay(quint16 target) : m_target(target)
    {
        m_server.listen(QHostAddress::LocalHost);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* client = m_server.nextPendingConnection()) {
                auto* upstream = new QTcpSocket(client);
                upstream->connectToHost(QHostAddress::LocalHost, m_target);
                const QPointer<QTcpSocket> down(client), up(upstream);
                connect(client, &QTcpSocket::readyRead, this, [this, down, up] {
                    const QByteArray bytes = down->readAll();
                    m_seen += bytes;
                    up->write(bytes);
                });
                connect(upstream, &QTcpSocket::readyRead, this, [this, down, up] {
                    const QByteArray bytes = up->readAll();
                    m_seen += bytes;
                    down->write(bytes);
                });
                connect(client, &QTcpSocket::disconnected, upstream, &QTcpSocket::close);
                connect(upstream, &QTcpSocket::disconnected, client, &QTcpSocket::close);
            }
        });
    }
    quint16 port() const { return m_server.serverPort(); }
    const QByteArray& seen() const { return m_seen; }

private:
    QTcpServer m_server;
    quint16 m_target;
    QByteArray m_seen;
};

} // namespace

class tst_ScreenShare : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void shareAndWatch();
    void controlOnlyWhenGiven();
    void slowWatcherHoldsNobody();
    void badInputAndFaults();
    void nothingInClearOnTheWire_data();
    void nothingInClearOnTheWire();

private:
    // A sharer on the display and a watcher, both in the lobby and watching; the watcher's
    // probe looks at `probe`.
    bool meet(VoiceCliProcess* sharer, VoiceCliProcess* watcher, quint16 port,
              const QPoint& probe = QPoint(100, 100));
    int idOf(VoiceCliProcess* client)
    {
        return client->command({"whoami"}).value("clientID").toInt();
    }

    VoiceServerProcess m_server;
    XvfbDisplay m_display{QSize(1280, 720)};
};

void tst_ScreenShare::initTestCase()
{
    QVERIFY2(m_server.start(), qPrintable(m_server.log()));
    QVERIFY(m_display.start());
}

void tst_ScreenShare::cleanup()
{
    if (QTest::currentTestFailed())
        qWarning().noquote() << m_server.log().right(4000);
}

bool tst_ScreenShare::meet(VoiceCliProcess* sharer, VoiceCliProcess* watcher, quint16 port,
                           const QPoint& probe)
{
    sharer->setEnvironmentVariable("DISPLAY", m_display.name());
    if (!sharer->start() || !watcher->start() || !sharer->connectTo(port, "sharer") ||
        !watcher->connectTo(port, "watcher"))
        return false;
    const int sharerId = idOf(sharer);
    if (sharer->command({"screenshare", "start"}).value("error").toInt() != 0)
        return false;
    if (watcher->waitForEvent("onScreenShareEvent", is("sharing", 1)).isEmpty())
        return false;
    return watcher->command({"screenwatch", sharerId, probe.x(), probe.y()})
               .value("error")
               .toInt() == 0;
}

void tst_ScreenShare::shareAndWatch()
{
    // Four quadrants of known colours.
    const QColor colors[] = {Qt::red, QColor(0, 160, 0), Qt::blue, QColor(250, 220, 40)};
    for (int i = 0; i < 4; ++i)
        QVERIFY(m_display.fill(QRect((i % 2) * 640, (i / 2) * 360, 640, 360), colors[i]));

    VoiceCliProcess sharer, watcher;
    QVERIFY(meet(&sharer, &watcher, m_server.port()));
    const int sharerId = idOf(&sharer);
    const QJsonObject shared = watcher.lines().last();
    QJsonObject first = watcher.waitFor(frameWith(colors[0]));
    QVERIFY2(!first.isEmpty(), "the first picture shows the screen");
    QCOMPARE(first.value("width").toInt(), 1280);
    QCOMPARE(first.value("height").toInt(), 720);
    QVERIFY(first.value("bytes").toInt() > 0);
    const QJsonArray shares = watcher.command({"screens"}).value("shares").toArray();
    QCOMPARE(shares.size(), 1);
    QCOMPARE(shares.at(0).toObject().value("clientID").toInt(), sharerId);
    // The sharer knows who watches.
    const int watcherId = idOf(&watcher);
    QCOMPARE(
        sharer.waitForEvent("onScreenWatchEvent", is("watching", 1)).value("watcherID").toInt(),
        watcherId);
    QCOMPARE(sharer.command({"screens"}).value("watchers").toArray(), QJsonArray{watcherId});

    // The picture as a whole arrives recognisably.
    QTemporaryDir dir;
    const QString png = dir.filePath("shot.png");
    QCOMPARE(watcher.command({"screensave", sharerId, png}).value("error").toInt(), 0);
    const QImage shot(png);
    QCOMPARE(shot.size(), QSize(1280, 720));
    for (int i = 0; i < 4; ++i)
        QVERIFY2(near(shot.pixel((i % 2) * 640 + 320, (i / 2) * 360 + 180), colors[i]),
                 qPrintable(QStringLiteral("quadrant %1").arg(i)));

    // A change arrives, and only what changed is sent again.
    QVERIFY(m_display.fill(QRect(80, 80, 40, 40), Qt::white));
    const QJsonObject change = watcher.waitFor(frameWith(Qt::white));
    QVERIFY2(!change.isEmpty(), "a change reaches the watcher");
    QVERIFY(change.value("frame").toInt() > first.value("frame").toInt());

    // Unwatched, nothing more comes; stopped, the share ends for the others.
    QCOMPARE(watcher.command({"screenunwatch", sharerId}).value("error").toInt(), 0);
    QCOMPARE(
        sharer.waitForEvent("onScreenWatchEvent", is("watching", 0)).value("watcherID").toInt(),
        watcherId);
    QTest::qWait(200);
    const int before = watcher.lines().size();
    QVERIFY(m_display.fill(QRect(80, 80, 40, 40), Qt::black));
    QTest::qWait(500);
    for (int i = before; i < watcher.lines().size(); ++i)
        QVERIFY(watcher.lines().at(i).value("event") != QLatin1String("onScreenFrame"));
    QCOMPARE(sharer.command({"screenshare", "stop"}).value("error").toInt(), 0);
    QVERIFY(!watcher.waitForEvent("onScreenShareEvent", is("sharing", 0)).isEmpty());
    QCOMPARE(watcher.command({"screens"}).value("shares").toArray().size(), 0);

    // Monitors as RandR lists them (Xvfb has one, the whole screen); no other.
    QCOMPARE(sharer.command({"screenshare", "start", 1}).value("error").toInt(), ParameterInvalid);
    QCOMPARE(sharer.command({"screenshare", "start", 0}).value("error").toInt(), 0);
    QCOMPARE(watcher.waitForEvent("onScreenShareEvent", is("sharing", 1)).value("width").toInt(),
             1280);
    QCOMPARE(sharer.command({"screenshare", "stop"}).value("error").toInt(), 0);
    Q_UNUSED(shared)
}

void tst_ScreenShare::controlOnlyWhenGiven()
{
    QVERIFY(m_display.watchInput());
    VoiceCliProcess sharer, watcher, other;
    QVERIFY(meet(&sharer, &watcher, m_server.port()));
    QVERIFY(other.start());
    QVERIFY(other.connectTo(m_server.port(), "other"));
    const int sharerId = idOf(&sharer);
    const int watcherId = idOf(&watcher);
    const int otherId = idOf(&other);
    QVERIFY(!other.waitForEvent("onScreenShareEvent", is("sharing", 1)).isEmpty());
    const QPoint start = m_display.pointer();

    // Nobody was given control: refused, and nothing lands.
    QCOMPARE(watcher.command({"screeninput", sharerId, "move", 300, 301}).value("error").toInt(),
             0);
    QCOMPARE(watcher.waitForEvent("onScreenErrorEvent").value("error").toInt(), NotController);
    QTest::qWait(300);
    QCOMPARE(m_display.pointer(), start);

    // Given control, the watcher's pointer, buttons, keys and text land on the display.
    QCOMPARE(sharer.command({"screencontrol", "grant", watcherId}).value("error").toInt(), 0);
    const QJsonObject given = other.waitForEvent("onScreenControlEvent");
    QCOMPARE(given.value("controllerID").toInt(), watcherId);
    QVERIFY(!watcher.waitForEvent("onScreenControlEvent").isEmpty());
    for (const QJsonArray& input :
         {QJsonArray{"screeninput", sharerId, "move", 100, 200},
          QJsonArray{"screeninput", sharerId, "button", 1, 1},
          QJsonArray{"screeninput", sharerId, "button", 1, 0},
          QJsonArray{"screeninput", sharerId, "key", 0x61, 1},
          QJsonArray{"screeninput", sharerId, "key", 0x61, 0},
          QJsonArray{"screeninput", sharerId, "text", QStringLiteral("Hi é")}})
        QCOMPARE(watcher.command(input).value("error").toInt(), 0);
    // Shift_L (0xffe1) comes with the capital letter.
    QStringList expected{"press 1 at 100,200",
                         "release 1 at 100,200",
                         "key a",
                         "key 0xffe1",
                         "key H",
                         "key i",
                         "key  ",
                         "key é"};
    QTRY_COMPARE_WITH_TIMEOUT(m_display.input(), expected, 5000);
    QCOMPARE(m_display.pointer(), QPoint(100, 200));

    // Someone else is still refused; outside the screen is refused before it leaves.
    QCOMPARE(other.command({"screeninput", sharerId, "move", 5, 5}).value("error").toInt(), 0);
    QCOMPARE(other.waitForEvent("onScreenErrorEvent").value("error").toInt(), NotController);
    QCOMPARE(watcher.command({"screeninput", sharerId, "move", 1280, 5}).value("error").toInt(),
             ParameterInvalid);

    // Taken back: refused again.
    QCOMPARE(sharer.command({"screencontrol", "revoke"}).value("error").toInt(), 0);
    QVERIFY(!watcher.waitForEvent("onScreenControlEvent", is("controllerID", 0)).isEmpty());
    QCOMPARE(watcher.command({"screeninput", sharerId, "move", 7, 7}).value("error").toInt(), 0);
    QCOMPARE(watcher.waitForEvent("onScreenErrorEvent").value("error").toInt(), NotController);

    // Open control: the first member to act holds it; the others are refused until it leaves.
    QCOMPARE(sharer.command({"screencontrol", "open"}).value("error").toInt(), 0);
    QVERIFY(!other.waitForEvent("onScreenControlEvent", is("open", 1)).isEmpty());
    QCOMPARE(other.command({"screeninput", sharerId, "move", 42, 43}).value("error").toInt(), 0);
    QCOMPARE(watcher.waitForEvent("onScreenControlEvent", is("controllerID", otherId))
                 .value("open")
                 .toInt(),
             1);
    QTRY_COMPARE(m_display.pointer(), QPoint(42, 43));
    QCOMPARE(watcher.command({"screentake", sharerId, 1}).value("error").toInt(), 0);
    QCOMPARE(watcher.waitForEvent("onScreenErrorEvent").value("error").toInt(), NotController);
    QVERIFY(other.quit());
    QVERIFY(!watcher.waitForEvent("onScreenControlEvent", is("controllerID", 0)).isEmpty());
    QCOMPARE(watcher.command({"screentake", sharerId, 1}).value("error").toInt(), 0);
    QVERIFY(!sharer.waitForEvent("onScreenControlEvent", is("controllerID", watcherId)).isEmpty());

    // A flood of key events is cut at the server, and said so.
    for (int i = 0; i < 1500; ++i)
        watcher.send({"screeninput", sharerId, "key", 0xffe3, i % 2 == 0 ? 1 : 0}); // Control_L
    QCOMPARE(watcher.waitForEvent("onScreenErrorEvent").value("error").toInt(), LimitReached);
}

void tst_ScreenShare::slowWatcherHoldsNobody()
{
    VoiceCliProcess sharer, watcher, frozen;
    QVERIFY(meet(&sharer, &watcher, m_server.port(), QPoint(20, 20)));
    QVERIFY(frozen.start());
    QVERIFY(frozen.connectTo(m_server.port(), "frozen"));
    const int sharerId = idOf(&sharer);
    QVERIFY(!frozen.waitForEvent("onScreenShareEvent", is("sharing", 1)).isEmpty());
    QCOMPARE(frozen.command({"screenwatch", sharerId, 20, 20}).value("error").toInt(), 0);
    QVERIFY(!frozen.waitForEvent("onScreenFrame").isEmpty());

    // One watcher stops reading while the whole screen changes, again and again.
    ::kill(pid_t(frozen.pid()), SIGSTOP);
    QImage noise(1280, 720, QImage::Format_RGB32);
    int seenBefore = 0;
    for (const QJsonObject& line : watcher.lines())
        seenBefore += line.value("event") == QLatin1String("onScreenFrame");
    const QColor colors[] = {Qt::red, Qt::blue};
    for (int round = 0; round < 40; ++round) {
        for (int y = 0; y < noise.height(); ++y) {
            auto* row = reinterpret_cast<QRgb*>(noise.scanLine(y));
            for (int x = 0; x < noise.width(); ++x)
                row[x] = qRgb((x * 7 + y * 3 + round * 29) & 0xFF, (x ^ y ^ round) & 0xFF,
                              (x + round * 13) & 0xFF);
        }
        QVERIFY(m_display.putImage(noise));
        QVERIFY(m_display.fill(QRect(0, 0, 64, 64), colors[round % 2]));
        QTest::qWait(50);
    }
    // The others went on at the sharer's pace: far more than a frame a change would be idle.
    int seen = 0;
    for (const QJsonObject& line : watcher.lines())
        seen += line.value("event") == QLatin1String("onScreenFrame");
    QVERIFY2(seen - seenBefore >= 20, qPrintable(QString::number(seen - seenBefore)));
    QVERIFY(!watcher.waitFor(frameWith(colors[1])).isEmpty());

    // Woken, the slow one skips to the present, through a key frame.
    QVERIFY(m_display.fill(QRect(0, 0, 64, 64), Qt::green));
    ::kill(pid_t(frozen.pid()), SIGCONT);
    QVERIFY2(!frozen.waitFor(frameWith(Qt::green), 8000).isEmpty(), "the slow watcher recovers");
}

void tst_ScreenShare::badInputAndFaults()
{
    // No display, or a Wayland session: a clear refusal.
    VoiceCliProcess blind, wayland;
    blind.setEnvironmentVariable("DISPLAY", QString());
    wayland.setEnvironmentVariable("DISPLAY", m_display.name());
    wayland.setEnvironmentVariable("XDG_SESSION_TYPE", "wayland");
    QVERIFY(blind.start() && wayland.start());
    QVERIFY(blind.connectTo(m_server.port(), "blind"));
    QVERIFY(wayland.connectTo(m_server.port(), "wayland"));
    QCOMPARE(blind.command({"screenshare", "start"}).value("error").toInt(), NoDisplay);
    const QJsonObject refused = wayland.command({"screenshare", "start"});
    QCOMPARE(refused.value("error").toInt(), NoDisplay);
    QVERIFY(blind.quit() && wayland.quit());

    // A display of its own, which goes away under the share.
    XvfbDisplay own(QSize(320, 200));
    QVERIFY(own.start());
    VoiceCliProcess sharer, watcher;
    sharer.setEnvironmentVariable("DISPLAY", own.name());
    QVERIFY(sharer.start() && watcher.start());
    QVERIFY(sharer.connectTo(m_server.port(), "sharer"));
    QVERIFY(watcher.connectTo(m_server.port(), "watcher"));
    const int sharerId = idOf(&sharer);
    const int watcherId = idOf(&watcher);
    QCOMPARE(watcher.command({"screenwatch", sharerId}).value("error").toInt(), NotSharing);
    QCOMPARE(sharer.command({"screenshare", "start"}).value("error").toInt(), 0);
    QCOMPARE(sharer.command({"screenshare", "start"}).value("error").toInt(), AlreadySharing);
    QVERIFY(!watcher.waitForEvent("onScreenShareEvent", is("sharing", 1)).isEmpty());
    QCOMPARE(watcher.command({"screenwatch", sharerId}).value("error").toInt(), 0);
    QVERIFY(!watcher.waitForEvent("onScreenFrame").isEmpty());

    // Hostile packets on a screen connection close that connection only.
    RawPeer control, stream;
    QVERIFY(control.open(m_server.port()));
    QVERIFY(control.hello("raw"));
    control.send(QCborMap{{QStringLiteral("type"), QStringLiteral("screenOpen")}});
    const QByteArray key = control.next(QLatin1String("screenReady")).value("key").toByteArray();
    QCOMPARE(key.size(), 32);
    QVERIFY(stream.open(m_server.port()));
    stream.send(
        QCborMap{{QStringLiteral("type"), QStringLiteral("screen")}, {QStringLiteral("key"), key}});
    // A picture from one who shares nothing, larger than input ever is.
    QByteArray picture = frameHeader(1 + 12 + 5000);
    picture += char(1);
    picture += QByteArray(12 + 5000, 'x');
    stream.write(picture);
    QVERIFY(stream.closedByServer());
    // A key used once is gone; a length past every bound closes at once.
    RawPeer again;
    QVERIFY(again.open(m_server.port()));
    again.send(
        QCborMap{{QStringLiteral("type"), QStringLiteral("screen")}, {QStringLiteral("key"), key}});
    QVERIFY(again.closedByServer());
    QVERIFY(m_server.log().contains("unknown key"));

    // The watcher kept its share through all this; then the display closes under it.
    QVERIFY(own.fill(QRect(0, 0, 320, 200), Qt::magenta));
    QVERIFY(!watcher.waitFor(frameWith(Qt::magenta)).isEmpty());
    own.stop();
    QCOMPARE(
        sharer.waitForEvent("onScreenErrorEvent", is("clientID", sharerId)).value("error").toInt(),
        0x0C07);
    QVERIFY(!sharer.waitForEvent("onScreenShareEvent", is("sharing", 0)).isEmpty());
    QVERIFY(!watcher.waitForEvent("onScreenShareEvent", is("sharing", 0)).isEmpty());
    QCOMPARE(sharer.command({"screenshare", "stop"}).value("error").toInt(), NotSharing);
    Q_UNUSED(watcherId)
}

void tst_ScreenShare::nothingInClearOnTheWire_data()
{
    QTest::addColumn<bool>("tls");
    QTest::newRow("in clear (the check finds what travels)") << false;
    QTest::newRow("over TLS") << true;
}

void tst_ScreenShare::nothingInClearOnTheWire()
{
    QFETCH(bool, tls);
    VoiceServerProcess server(tls ? QStringList() : QStringList{"--no-tls"});
    QVERIFY2(server.start(), qPrintable(server.log()));
    RecordingRelay relay(server.port());
    VoiceCliProcess sharer, watcher;
    if (!tls) {
        sharer.setEnvironmentVariable("VOICESDK_PLAIN", "1");
        watcher.setEnvironmentVariable("VOICESDK_PLAIN", "1");
    }
    QVERIFY(m_display.fill(QRect(0, 0, 1280, 720), Qt::darkCyan));
    QVERIFY(meet(&sharer, &watcher, relay.port()));
    const int sharerId = idOf(&sharer);
    QVERIFY(!watcher.waitFor(frameWith(Qt::darkCyan)).isEmpty());
    QCOMPARE(sharer.command({"screencontrol", "grant", idOf(&watcher)}).value("error").toInt(), 0);
    QVERIFY(!watcher.waitForEvent("onScreenControlEvent").isEmpty());
    watcher.send({"screeninput", sharerId, "text", "s3cr3t-typing"});
    QTest::qWait(500);
    // A VP8 key frame of this screen starts with these bytes: start code, 1280, 720.
    const QByteArray keyFrame = QByteArray::fromHex("9d012a0005d002");
    QCOMPARE(relay.seen().contains(keyFrame), !tls);
    QCOMPARE(relay.seen().contains("s3cr3t-typing"), !tls);
}

QTEST_GUILESS_MAIN(tst_ScreenShare)
#include "tst_screenshare.moc"

// SPDX-License-Identifier: MIT
// Live screens glass to glass: a voice-cli shares an Xvfb display of 1920 x 1080 through a real
// voice-server, others watch it; the bench changes the screen and times when a watcher's decoded
// picture shows the change (a probe pixel). Prints every case beside its target: a still screen,
// typing, the whole screen scrolling, text legibility (tesseract on the watcher's picture and on
// the original), a watcher behind a 500 kbit/s link, ten watchers, a chat text while a share
// runs, and memory.
#include "processuse.h"
#include "voicecliprocess.h"
#include "voiceserverprocess.h"
#include "xvfbdisplay.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QJsonDocument>
#include <QPainter>
#include <QPointer>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <thread>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int Width = 1920;
constexpr int Height = 1080;
const QPoint Probe(200, 200);

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

double percentile(QVector<double> values, double p)
{
    if (values.isEmpty())
        return -1;
    std::sort(values.begin(), values.end());
    return values.at(qMin(values.size() - 1, int(p * values.size())));
}

void row(const char* what, const QString& figure, const char* target, bool ok)
{
    std::printf("  %-44s %-34s %-30s %s\n", what, qPrintable(figure), target, ok ? "ok" : "MISSED");
    std::fflush(stdout);
}

bool near(const QJsonArray& probe, const QColor& color)
{
    return probe.size() == 3 && qAbs(probe.at(0).toInt() - color.red()) <= 40 &&
           qAbs(probe.at(1).toInt() - color.green()) <= 40 &&
           qAbs(probe.at(2).toInt() - color.blue()) <= 40;
}

// The frames a watcher printed from line `from` on: when each was read, its size.
struct Frames
{
    int count = 0;
    qint64 bytes = 0;
};
Frames framesSince(const VoiceCliProcess& watcher, int from)
{
    Frames frames;
    const QList<QJsonObject> lines = watcher.lines();
    for (int i = from; i < lines.size(); ++i)
        if (lines.at(i).value("event") == QLatin1String("onScreenFrame")) {
            ++frames.count;
            frames.bytes += lines.at(i).value("bytes").toInt();
        }
    return frames;
}

// Waits until the watcher shows color at its probe, from line `from` on; the time it was read,
// or -1.
qint64 shows(VoiceCliProcess& watcher, int from, const QColor& color, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        const QList<QJsonObject> lines = watcher.lines();
        const QList<qint64> times = watcher.times();
        for (int i = from; i < lines.size(); ++i)
            if (lines.at(i).value("event") == QLatin1String("onScreenFrame") &&
                near(lines.at(i).value("probe").toArray(), color))
                return times.at(i);
        if (timer.elapsed() >= timeoutMs)
            return -1;
        QTest::qWait(1);
    }
}

QString pageText(int line)
{
    static const char* words[] = {"meeting", "screen",  "remote", "support", "channel", "voice",
                                  "server",  "picture", "share",  "watch",   "control", "help"};
    QString text;
    for (int w = 0; w < 9; ++w)
        text += QString::fromLatin1(words[(line * 7 + w * 5) % 12]) + QLatin1Char(' ');
    return text + QString::number(line);
}

// A page of 12-point text (16 pixels at 96 dots an inch) on white.
QImage page(int firstLine, int height, QStringList* lines = nullptr)
{
    QImage image(Width, height, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(16);
    painter.setFont(font);
    painter.setPen(Qt::black);
    for (int y = 24, line = firstLine; y < height; y += 24, ++line) {
        painter.drawText(40, y, pageText(line));
        if (lines)
            lines->append(pageText(line));
    }
    return image;
}

// Words of truth found in what tesseract read from png, as a share.
double ocrScore(const QString& png, const QStringList& truth)
{
    QProcess tesseract;
    tesseract.start(QStringLiteral("tesseract"), {png, QStringLiteral("stdout")});
    if (!tesseract.waitForFinished(60000))
        return -1;
    const QStringList read =
        QString::fromUtf8(tesseract.readAllStandardOutput()).split(QRegularExpression("\\s+"));
    QHash<QString, int> seen;
    for (const QString& word : read)
        ++seen[word];
    int total = 0, found = 0;
    for (const QString& line : truth)
        for (const QString& word : line.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            ++total;
            if (seen.value(word) > 0) {
                ++found;
                --seen[word];
            }
        }
    return total ? double(found) / total : 0;
}

// Passes a connection on, the server's side at rate bytes a second with little buffered: a
// watcher behind a slow link.
class SlowLink : public QObject
{
public:
    SlowLink(quint16 target, int bytesPerSecond) : m_target(target), m_rate(bytesPerSecond)
    {
        m_server.listen(QHostAddress::LocalHost);
        connect(&m_server, &QTcpServer::newConnection, this, &SlowLink::accept);
        m_tick.setInterval(10);
        connect(&m_tick, &QTimer::timeout, this, &SlowLink::pump);
        m_tick.start();
    }
    quint16 port() const { return m_server.serverPort(); }

private:
    struct Pair
    {
        QPointer<QTcpSocket> client;
        QPointer<QTcpSocket> upstream;
    };
    void accept()
    {
        while (QTcpSocket* client = m_server.nextPendingConnection()) {
            auto* upstream = new QTcpSocket(this);
            // Little room on the slow side: the server sees the link, not a buffer.
            upstream->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 16384);
            upstream->setReadBufferSize(16384);
            upstream->connectToHost(QHostAddress::LocalHost, m_target);
            connect(client, &QTcpSocket::readyRead, upstream,
                    [client, upstream] { upstream->write(client->readAll()); });
            connect(client, &QTcpSocket::disconnected, upstream, &QTcpSocket::close);
            connect(upstream, &QTcpSocket::disconnected, client, &QTcpSocket::close);
            m_pairs.append(Pair{client, upstream});
        }
    }
    void pump()
    {
        const int budget = m_rate / 100;
        for (const Pair& pair : qAsConst(m_pairs))
            if (pair.client && pair.upstream && pair.upstream->bytesAvailable() > 0)
                pair.client->write(pair.upstream->read(budget));
    }

    QTcpServer m_server;
    quint16 m_target;
    int m_rate;
    QTimer m_tick;
    QList<Pair> m_pairs;
};

struct Use
{
    qint64 pid;
    ProcessUse start;
    qint64 at;
    explicit Use(qint64 p) : pid(p), start(processUse(p)), at(nowMs()) {}
    // Per cent of one core since the start.
    double percent() const
    {
        return 100.0 * (processUse(pid).cpuSeconds - start.cpuSeconds) / ((nowMs() - at) / 1000.0);
    }
};

int idOf(VoiceCliProcess& client)
{
    return client.command({"whoami"}).value("clientID").toInt();
}

// The strip of 12 rows that scrolls in as line `line` (of a long page, over and over).
QImage strip(int line)
{
    static const QImage tall = page(0, 24 * 100);
    return tall.copy(0, (line * 12) % (tall.height() - 12), Width, 12);
}

// One change of the screen: when it was drawn, and the probe's colour it shows.
struct Change
{
    qint64 at;
    QColor color;
};

// The time the watcher first read a picture showing color at its probe, read at or after since
// (ms since the epoch); -1 when none did.
qint64 firstShowing(const VoiceCliProcess& watcher, qint64 since, const QColor& color)
{
    const QList<QJsonObject> lines = watcher.lines();
    const QList<qint64> times = watcher.times();
    for (int i = 0; i < lines.size(); ++i)
        if (times.at(i) >= since && lines.at(i).value("event") == QLatin1String("onScreenFrame") &&
            near(lines.at(i).value("probe").toArray(), color))
            return times.at(i);
    return -1;
}

QVector<double> latencies(const VoiceCliProcess& watcher, const QVector<Change>& changes)
{
    QVector<double> times;
    for (const Change& change : changes) {
        const qint64 seen = firstShowing(watcher, change.at, change.color);
        if (seen > 0)
            times.append(double(seen - change.at));
    }
    return times;
}

// Draws on another thread while this one reads what the watchers print: `frames` pictures at
// `fps`, each scrolling the page by 12 rows (or, noisy, a new picture of noise), with a box at
// the probe changing colour; until *stop when frames is 0.
// The probe's two colours while it alternates every picture.
const QColor Alternating[] = {QColor(220, 40, 40), QColor(40, 40, 220)};

// Colours far apart, which survive the scaled-down stream's coarse pictures: a picture's probe
// tells which of them it shows, so how old a picture is can be told. None is near the
// alternating two, so a picture from before never passes for one of them.
QVector<QColor> palette()
{
    QVector<QColor> colors;
    for (int r : {0, 128, 255})
        for (int g : {0, 128, 255})
            for (int b : {0, 128, 255}) {
                const QColor color(r, g, b);
                const QJsonArray probe{r, g, b};
                if (!(r == g && g == b) && !near(probe, Alternating[0]) &&
                    !near(probe, Alternating[1]))
                    colors.append(color);
            }
    return colors;
}

int nearest(const QJsonArray& probe, const QVector<QColor>& colors)
{
    int best = -1, bestDistance = 1 << 30;
    for (int i = 0; i < colors.size(); ++i) {
        const int dr = probe.at(0).toInt() - colors[i].red();
        const int dg = probe.at(1).toInt() - colors[i].green();
        const int db = probe.at(2).toInt() - colors[i].blue();
        const int distance = dr * dr + dg * dg + db * db;
        if (distance < bestDistance) {
            bestDistance = distance;
            best = i;
        }
    }
    return best;
}

// How far behind live each picture a watcher read from `since` on was: the time since the
// probe took the colour it shows (colours from palette(), each held for a while).
QVector<double> ages(const VoiceCliProcess& watcher, qint64 since, const QVector<Change>& changes)
{
    const QVector<QColor> colors = palette();
    QVector<double> result;
    const QList<QJsonObject> lines = watcher.lines();
    const QList<qint64> times = watcher.times();
    for (int i = 0; i < lines.size(); ++i) {
        if (times.at(i) < since || lines.at(i).value("event") != QLatin1String("onScreenFrame"))
            continue;
        const QJsonArray probe = lines.at(i).value("probe").toArray();
        const int shown = nearest(probe, colors);
        // A colour of none of them: a picture from before the palette ran, at least this old.
        if (shown < 0 || !near(probe, colors[shown])) {
            result.append(double(times.at(i) - since));
            continue;
        }
        for (int c = changes.size() - 1; c >= 0; --c)
            if (changes[c].at <= times.at(i) && colors.indexOf(changes[c].color) == shown) {
                result.append(double(times.at(i) - changes[c].at));
                break;
            }
    }
    return result;
}

QVector<Change> paint(XvfbDisplay& display, int frames, int fps, int* line, bool noisy = false,
                      const std::atomic<bool>* stop = nullptr, int paletteEvery = 0)
{
    QVector<Change> changes;
    std::atomic<bool> done{false};
    std::thread painter([&] {
        const QColor* colors = Alternating;
        QVector<QImage> noise;
        if (noisy)
            for (int n = 0; n < 8; ++n) {
                QImage image(display.size(), QImage::Format_RGB32);
                for (int y = 0; y < image.height(); ++y) {
                    auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
                    for (int x = 0; x < image.width(); ++x)
                        row[x] = qRgb((x * 13 + y * 7 + n * 41) * 2654435761u >> 24,
                                      (x ^ (y * 3) ^ n) & 0xFF, ((x + y) * (n + 3)) & 0xFF);
                }
                noise.append(image);
            }
        QElapsedTimer clock;
        clock.start();
        const int width = display.size().width(), height = display.size().height();
        for (int i = 0; frames > 0 ? i < frames : !stop->load(); ++i) {
            if (noisy) {
                display.putImage(noise.at(i % noise.size()));
            } else {
                display.copyArea(QRect(0, 12, width, height - 12), QPoint(0, 0));
                display.putImage(strip(*line).copy(0, 0, width, 12), QPoint(0, height - 12));
            }
            ++*line;
            if (paletteEvery > 0) {
                // The probe changes colour every few pictures, through the palette; the box is
                // drawn again every picture (the page scrolls it away), and large, so that the
                // scaled-down stream's coarse pictures keep its colour.
                static const QVector<QColor> many = palette();
                const QColor color = many[(i / paletteEvery) % many.size()];
                display.fill(QRect(Probe.x() - 24, Probe.y() - 24, 64, 64), color);
                if (i % paletteEvery == 0)
                    changes.append(Change{nowMs(), color});
            } else {
                const QColor color = colors[i % 2];
                display.fill(QRect(Probe.x() - 8, Probe.y() - 8, 32, 32), color);
                changes.append(Change{nowMs(), color});
            }
            const qint64 next = qint64(i + 1) * 1000 / fps;
            while (clock.elapsed() < next)
                QThread::usleep(500);
        }
        done = true;
    });
    while (!done)
        QTest::qWait(1);
    painter.join();
    QTest::qWait(500); // the last pictures arrive
    return changes;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    std::printf("live screens, %d x %d under Xvfb, a voice-server on loopback, voice-cli at both "
                "ends\n\n",
                Width, Height);

    XvfbDisplay display(QSize(Width, Height));
    VoiceServerProcess server;
    if (!display.start() || !server.start()) {
        std::printf("cannot start Xvfb or voice-server\n");
        return 1;
    }
    QStringList lines;
    display.putImage(page(0, Height, &lines));
    int line = 0;
    strip(0); // the long page is drawn here, not on the painter's thread

    VoiceCliProcess sharer, watcher;
    sharer.setEnvironmentVariable("DISPLAY", display.name());
    if (!sharer.start() || !watcher.start() || !sharer.connectTo(server.port(), "sharer") ||
        !watcher.connectTo(server.port(), "watcher")) {
        std::printf("cannot connect\n");
        return 1;
    }
    const int sharerId = idOf(sharer);

    // A chat text's round trip, and memory, before any share.
    const auto textTimes = [&](int count) {
        QVector<double> times;
        for (int i = 0; i < count; ++i) {
            const QString text = QStringLiteral("text %1").arg(i);
            const qint64 at = nowMs();
            watcher.send({"sendchannel", text});
            const QJsonObject echo =
                watcher.waitForEvent("onTextMessageEvent", is("message", text));
            if (!echo.isEmpty())
                times.append(double(nowMs() - at));
            QTest::qWait(20);
        }
        return times;
    };
    const QVector<double> quietTexts = textTimes(60);
    const long sharerBefore = processUse(sharer.pid()).rssKiB;
    const long watcherBefore = processUse(watcher.pid()).rssKiB;

    sharer.command({"screenshare", "start"});
    watcher.waitForEvent("onScreenShareEvent", is("sharing", 1));
    watcher.command({"screenwatch", sharerId, Probe.x(), Probe.y()});
    watcher.waitForEvent("onScreenFrame", {}, 10000);

    std::printf("  %-44s %-34s %-30s\n", "case", "figure", "target");
    // Still: after the top-off, nothing.
    QTest::qWait(1500);
    const QStringList cases =
        qEnvironmentVariable("BENCH_CASES").split(QLatin1Char(','), Qt::SkipEmptyParts);
    const auto runs = [&](const char* name) {
        return cases.isEmpty() || cases.contains(QLatin1String(name));
    };
    if (runs("still")) {
        const int from = watcher.lines().size();
        const Use use(sharer.pid());
        QTest::qWait(10000);
        const Frames still = framesSince(watcher, from);
        const double kbps = still.bytes * 8.0 / 10.0 / 1000.0;
        const double cpu = use.percent();
        row("still screen: bit rate", QStringLiteral("%1 kbit/s").arg(kbps, 0, 'f', 2),
            "under 2 kbit/s", kbps < 2);
        row("still screen: sharer's CPU", QStringLiteral("%1 % of a core").arg(cpu, 0, 'f', 2),
            "under 1 %", cpu < 1);
    }

    // Typing: a character-sized change at the probe, ten a second.
    if (runs("typing")) {
        display.fill(QRect(Probe, QSize(12, 16)), Qt::white);
        QTest::qWait(500);
        const int from = watcher.lines().size();
        QVector<double> latencies;
        const qint64 started = nowMs();
        for (int i = 0; i < 50; ++i) {
            const QColor color = i % 2 ? Qt::white : Qt::black;
            const int before = watcher.lines().size();
            display.fill(QRect(Probe, QSize(12, 16)), color);
            const qint64 at = nowMs();
            const qint64 seen = shows(watcher, before, color, 2000);
            if (seen > 0)
                latencies.append(double(seen - at));
            while (nowMs() < started + (i + 1) * 100)
                QTest::qWait(1);
        }
        const Frames typed = framesSince(watcher, from);
        const double seconds = (nowMs() - started) / 1000.0;
        const double kbps = typed.bytes * 8.0 / seconds / 1000.0;
        const double p50 = percentile(latencies, 0.5), p95 = percentile(latencies, 0.95);
        row("typing: glass to glass p50 / p95",
            QStringLiteral("%1 / %2 ms (%3 of 50 seen)").arg(p50).arg(p95).arg(latencies.size()),
            "under 50 / 100 ms", p50 >= 0 && p50 < 50 && p95 < 100 && latencies.size() == 50);
        row("typing: bit rate", QStringLiteral("%1 kbit/s").arg(kbps, 0, 'f', 1),
            "under 150 kbit/s", kbps < 150);
    }

    // The whole screen scrolling, with a chat text now and then.
    double baseFps = 0, baseP50 = 0;
    {
        QTest::qWait(500);
        const int from = watcher.lines().size();
        const Use sharerUse(sharer.pid()), watcherUse(watcher.pid());
        const qint64 started = nowMs();
        const QVector<double> latencies = ::latencies(watcher, paint(display, 150, 30, &line));
        const double seconds = (nowMs() - started) / 1000.0;
        const Frames scrolled = framesSince(watcher, from);
        const double fps = scrolled.count / seconds;
        const double kbps = scrolled.bytes * 8.0 / seconds / 1000.0;
        const double sharerCpu = sharerUse.percent(), watcherCpu = watcherUse.percent();
        baseFps = fps;
        baseP50 = percentile(latencies, 0.5);
        row("scrolling: pictures delivered", QStringLiteral("%1 a second").arg(fps, 0, 'f', 1),
            "at least 25 a second", fps >= 25);
        row("scrolling: sharer's capture and encode",
            QStringLiteral("%1 % of a core").arg(sharerCpu, 0, 'f', 1), "under 80 %",
            sharerCpu < 80);
        row("scrolling: watcher's decode (all of voice-cli)",
            QStringLiteral("%1 % of a core").arg(watcherCpu, 0, 'f', 1), "under 25 %",
            watcherCpu < 25);
        row("scrolling: bit rate", QStringLiteral("%1 kbit/s").arg(kbps, 0, 'f', 0),
            "the cap, 3000 kbit/s, at most", kbps < 3300);
        row("scrolling: glass to glass p50", QStringLiteral("%1 ms").arg(baseP50, 0, 'f', 0),
            "(for the slow-link case)", true);
        const long sharerRss = processUse(sharer.pid()).rssKiB;
        const long watcherRss = processUse(watcher.pid()).rssKiB;
        row("memory: sharer's more than without a share",
            QStringLiteral("%1 MiB").arg((sharerRss - sharerBefore) / 1024.0, 0, 'f', 1),
            "under 100 MiB", sharerRss - sharerBefore < 100 * 1024);
        row("memory: watcher's more than without a share",
            QStringLiteral("%1 MiB").arg((watcherRss - watcherBefore) / 1024.0, 0, 'f', 1),
            "under 100 MiB", watcherRss - watcherBefore < 100 * 1024);
    }
    {
        // Chat while the screen scrolls (drawn on another thread).
        QVector<double> busyTexts;
        std::atomic<bool> stop{false};
        QTimer::singleShot(0, [&] {
            busyTexts = textTimes(60);
            stop = true;
        });
        paint(display, 0, 30, &line, false, &stop);
        const double quiet = percentile(quietTexts, 0.99), busy = percentile(busyTexts, 0.99);
        row("a chat text while scrolling: p99",
            QStringLiteral("%1 ms (%2 ms without a share)").arg(busy).arg(quiet),
            "within 20 ms of it", busy >= 0 && busy - quiet <= 20);
    }

    // Legibility: a page of 12-point text, read back by OCR at both ends.
    if (runs("ocr")) {
        QTemporaryDir dir;
        QStringList truth;
        const QImage text = page(1000, Height, &truth);
        display.putImage(text);
        QTest::qWait(2000);
        const QString original = dir.filePath("original.png");
        const QString shared = dir.filePath("shared.png");
        display.grab().save(original);
        watcher.command({"screensave", sharerId, shared});
        const double a = ocrScore(original, truth), b = ocrScore(shared, truth);
        row("12-point text read back by OCR",
            QStringLiteral("%1 % of words (original %2 %)")
                .arg(b * 100, 0, 'f', 1)
                .arg(a * 100, 0, 'f', 1),
            "as well as from the original", b >= a - 0.02);
    }

    // A watcher behind a 500 kbit/s link beside the fast one.
    if (runs("slow")) {
        SlowLink link(server.port(), 500 * 1000 / 8);
        VoiceCliProcess slow;
        slow.start();
        slow.connectTo(link.port(), "slow");
        slow.waitForEvent("onScreenShareEvent", is("sharing", 1));
        slow.command({"screenwatch", sharerId, Probe.x(), Probe.y()}, 20000);
        slow.waitForEvent("onScreenFrame", {}, 20000);
        const int slowFrom0 = slow.lines().size();
        // The share finds the slow link's pace and moves it to the scaled-down stream first
        // (its first picture of that stream ends the wait); then it is measured.
        QElapsedTimer settling;
        settling.start();
        std::atomic<bool> settled{false};
        QTimer look;
        QObject::connect(&look, &QTimer::timeout, [&] {
            const QList<QJsonObject> lines = slow.lines();
            for (int i = lines.size() - 1; i >= slowFrom0 && !settled; --i)
                if (lines.at(i).value("event") == QLatin1String("onScreenFrame") &&
                    lines.at(i).value("width").toInt() < Width)
                    settled = true;
            if (settling.elapsed() > 20000)
                settled = true;
        });
        look.start(20);
        paint(display, 0, 30, &line, false, &settled);
        look.stop();
        const qint64 settledMs = settling.elapsed();
        const int from = watcher.lines().size(), slowFrom = slow.lines().size();
        const qint64 started = nowMs();
        // The probe changes every 100 ms through 24 colours: a picture of the scaled stream (at
        // fewer pictures a second) still tells how old it is.
        const QVector<Change> changes = paint(display, 150, 30, &line, false, nullptr, 3);
        const double seconds = (nowMs() - started) / 1000.0;
        const QVector<double> latencies = ::latencies(watcher, changes);
        const QVector<double> slowTimes = ::ages(slow, started, changes);
        const double fps = framesSince(watcher, from).count / seconds;
        const double p50 = percentile(latencies, 0.5);
        const Frames slowFrames = framesSince(slow, slowFrom);
        if (qEnvironmentVariableIsSet("BENCH_VERBOSE")) {
            // What the slow one saw, to tell a late picture from a wrong colour.
            const QList<QJsonObject> lines = slow.lines();
            const QList<qint64> times = slow.times();
            for (int i = slowFrom; i < lines.size(); ++i)
                if (lines.at(i).value("event") == QLatin1String("onScreenFrame"))
                    std::fprintf(stderr, "slow %5lld ms frame %d %dx%d %d bytes probe %s\n",
                                 times.at(i) - started, lines.at(i).value("frame").toInt(),
                                 lines.at(i).value("width").toInt(),
                                 lines.at(i).value("height").toInt(),
                                 lines.at(i).value("bytes").toInt(),
                                 QJsonDocument(lines.at(i).value("probe").toArray())
                                     .toJson(QJsonDocument::Compact)
                                     .constData());
        }
        row("slow link: the other's pictures",
            QStringLiteral("%1 a second (%2 without)").arg(fps, 0, 'f', 1).arg(baseFps, 0, 'f', 1),
            "within 10 %", fps >= baseFps * 0.9);
        row("slow link: the other's glass to glass p50",
            QStringLiteral("%1 ms (%2 without)").arg(p50).arg(baseP50), "within 10 %",
            p50 <= baseP50 * 1.1 + 5);
        row("slow link: until the slow one is on the scaled-down stream",
            QStringLiteral("%1 ms").arg(settledMs), "(how long a slow link waits for it)", true);
        row("slow link: the slow one behind live, worst",
            QStringLiteral("%1 ms over %2 pictures")
                .arg(percentile(slowTimes, 1.0))
                .arg(slowFrames.count),
            "within 1 s", !slowTimes.isEmpty() && percentile(slowTimes, 1.0) <= 1000);
        slow.quit();
    }

    // Ten watchers of a smaller screen at 2 Mbit/s: what the server pays for each.
    if (runs("ten")) {
        XvfbDisplay small(QSize(960, 540));
        small.start();
        small.putImage(page(0, 540).copy(0, 0, 960, 540));
        VoiceCliProcess sharer2;
        sharer2.setEnvironmentVariable("DISPLAY", small.name());
        sharer2.start();
        sharer2.connectTo(server.port(), "sharer2");
        const int sharer2Id = idOf(sharer2);
        sharer.command({"screenshare", "stop"});
        watcher.command({"screenunwatch", sharerId});
        sharer2.command({"screenshare", "start", -1, 2000});
        QList<VoiceCliProcess*> watchers{&watcher};
        QList<std::shared_ptr<VoiceCliProcess>> extra;
        const auto measure = [&](int count) {
            while (watchers.size() < count) {
                extra.append(std::make_shared<VoiceCliProcess>());
                VoiceCliProcess* w = extra.last().get();
                w->start();
                w->connectTo(server.port(), QStringLiteral("w%1").arg(watchers.size()));
                watchers.append(w);
            }
            for (VoiceCliProcess* w : watchers)
                if (w->command({"screenwatch", sharer2Id, 10, 10}).value("error").toInt() == 0)
                    w->waitForEvent("onScreenFrame", {}, 10000);
            QVector<int> from;
            for (VoiceCliProcess* w : watchers)
                from.append(w->lines().size());
            const Use use(server.processId());
            const qint64 started = nowMs();
            int scrolled = 0;
            paint(small, 125, 25, &scrolled, true);
            const double seconds = (nowMs() - started) / 1000.0;
            QVector<double> fps;
            qint64 bytes = 0;
            for (int i = 0; i < watchers.size(); ++i) {
                const Frames f = framesSince(*watchers.at(i), from.at(i));
                fps.append(f.count / seconds);
                bytes += f.bytes;
            }
            struct Out
            {
                double cpu, kbps, minFps, maxFps;
                long rss;
            };
            return Out{use.percent(), bytes * 8.0 / seconds / 1000.0 / watchers.size(),
                       percentile(fps, 0), percentile(fps, 1.0),
                       processUse(server.processId()).rssKiB};
        };
        const auto one = measure(1);
        const auto ten = measure(10);
        const double perWatcher = (ten.cpu - one.cpu) / 9;
        row("ten watchers: server CPU per watcher",
            QStringLiteral("%1 % of a core (%2 kbit/s each)")
                .arg(perWatcher, 0, 'f', 2)
                .arg(ten.kbps, 0, 'f', 0),
            "under 1 %", perWatcher < 1);
        row("ten watchers: pictures a second, fewest / most",
            QStringLiteral("%1 / %2").arg(ten.minFps, 0, 'f', 1).arg(ten.maxFps, 0, 'f', 1),
            "the same for all", ten.minFps >= ten.maxFps * 0.9);
        const double perWatcherMiB = (ten.rss - one.rss) / 1024.0 / 9;
        row("ten watchers: server memory per watcher",
            QStringLiteral("%1 MiB").arg(perWatcherMiB, 0, 'f', 2), "bounded (under 8 MiB)",
            perWatcherMiB < 8);
        for (auto& w : extra)
            w->quit();
        sharer2.quit();
    }
    sharer.quit();
    watcher.quit();
    return 0;
}

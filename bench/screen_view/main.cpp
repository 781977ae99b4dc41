// SPDX-License-Identifier: MIT
// bench_screen_view: what watching a shared screen costs the program, under Xvfb at 1920 x 1080.
// The program's viewer (ScreenViewer, as the meeting view shows it) receives 1080p frames at
// 30 a second through the voice library's callback, on a thread of its own as the library's
// screen thread calls it (decoded frames made up ahead, so only the program's work is timed):
// full screen (painted as they come) and in a meeting-sized viewer (box-filtered to fit).
// Baseline of the same run: the same frames arriving while nobody looks.
//
// Printed beside their targets: the GUI thread's work per frame (every event it handled between
// two frames, p50 / p95, and the longest single event: never over 16 ms), the process's CPU
// while watching, memory over the figure without a viewer (under 100 MiB), and after the
// viewer closes: threads and CPU back to what they were before.
//
// Then the whole road: the program's meeting view (tests' screenpeer, a process of its own on a
// 1920 x 1080 display) watching, full screen, a voice-cli member's share of another 1920 x 1080
// display that changes completely 30 times a second, through a real voice-server: the
// program's CPU with decoding (under 30 % of a core), its longest GUI hold sampled from outside,
// its memory over the figure before the share, and once the share stops, its threads and CPU
// against the idle figures before it.
//
//   bench_screen_view            (runs itself under xvfb-run)
//   BENCH_SECONDS=10             seconds per case
//   BENCH_SCREENSHOT=/tmp/x.png  a picture of the screen during each case (needs ImageMagick)
#include "processuse.h"
#include "remote/screenviewer.h"
#ifdef MEETING_SCREEN_ENGINE
#include "guiholds.h"
#include "voicecliprocess.h"
#include "voiceserverprocess.h"
#include "xvfbdisplay.h"

#include <QTemporaryDir>
#endif
#include "tsclient/screenframes.h"
#include "tsclient/tssdkclient.h"
#include "tsclient/tssdkevents.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPainter>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace MeetingSupport;

namespace {

constexpr int Width = 1920;
constexpr int Height = 1080;
constexpr int Fps = 30;
constexpr quint16 Sharer = 5;
constexpr double TargetHoldMs = 16;
constexpr double TargetCpu = 30;
constexpr double TargetMiB = 100;

// Times every event the GUI thread handles, outermost only, and adds them up per frame.
class TimedApplication : public QApplication
{
public:
    using QApplication::QApplication;

    bool notify(QObject* receiver, QEvent* event) override
    {
        if (!timing || depth > 0) {
            ++depth;
            const bool handled = QApplication::notify(receiver, event);
            --depth;
            return handled;
        }
        ++depth;
        const qint64 start = clock.nsecsElapsed();
        const bool handled = QApplication::notify(receiver, event);
        const qint64 spent = clock.nsecsElapsed() - start;
        --depth;
        longest = std::max(longest, spent);
        sinceFrame += spent;
        return handled;
    }

    // A frame was shown: what the GUI did since the one before counts as this frame's.
    void frameShown()
    {
        if (timing)
            perFrame.push_back(sinceFrame);
        sinceFrame = 0;
    }

    void reset()
    {
        perFrame.clear();
        longest = 0;
        sinceFrame = 0;
        clock.start();
    }

    bool timing = false;
    int depth = 0;
    QElapsedTimer clock;
    qint64 longest = 0;
    qint64 sinceFrame = 0;
    std::vector<qint64> perFrame;
};

double percentile(std::vector<qint64> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t at = std::min(values.size() - 1, size_t(p * double(values.size())));
    return double(values[at]) / 1e6;
}

// Run time of every thread of a process, in ns.
qint64 cpuNs(qint64 pid)
{
    qint64 total = 0;
    for (const ThreadUse& thread : threadUse(pid))
        total += thread.ns;
    return total;
}

double residentMiB()
{
    return double(processUse(QCoreApplication::applicationPid()).rssKiB) / 1024.0;
}

// Decoded frames as the library hands them over: a desktop-like picture with a block that moves,
// different every frame.
std::vector<QImage> makeFrames(int count)
{
    std::vector<QImage> frames;
    for (int i = 0; i < count; ++i) {
        QImage image(Width, Height, QImage::Format_RGB32);
        image.fill(QColor(0x2e, 0x34, 0x36));
        QPainter painter(&image);
        for (int y = 0; y < Height; y += 24)
            painter.fillRect(40, y, 1200, 14, QColor(200, 200, 190));
        painter.fillRect(100 + i * 40, 200 + i * 20, 600, 400,
                         QColor::fromHsv(i * 40 % 360, 200, 230));
        painter.setPen(Qt::white);
        painter.setFont(QFont(QStringLiteral("DejaVu Sans"), 12));
        painter.drawText(200, 700, QStringLiteral("Frame %1 of the shared screen").arg(i));
        frames.push_back(image);
    }
    return frames;
}

// Plays the frames through the library's callback, as its screen thread would, at Fps.
class Producer
{
public:
    explicit Producer(const std::vector<QImage>& frames) : m_frames(frames) {}
    ~Producer() { stop(); }

    void start()
    {
        m_stop = false;
        m_thread = std::thread([this] {
            auto next = std::chrono::steady_clock::now();
            for (unsigned n = 1; !m_stop; ++n) {
                const QImage& frame = m_frames[n % m_frames.size()];
                TsSDKEvents::onScreenFrameEvent(1, Sharer, n, Width, Height,
                                                int(frame.bytesPerLine()), frame.constBits(),
                                                60000);
                m_sent = n;
                next += std::chrono::microseconds(1000000 / Fps);
                std::this_thread::sleep_until(next);
            }
        });
    }
    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    unsigned sent() const { return m_sent; }

private:
    const std::vector<QImage>& m_frames;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<unsigned> m_sent{0};
};

// xvfb-run's server: the child named Xvfb of this process's parent.
qint64 xServerPid()
{
    const qint64 parent = getppid();
    QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(parent));
    if (!children.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& child : children.readAll().split(' ')) {
        QFile comm(QStringLiteral("/proc/%1/comm").arg(QString::fromLatin1(child.trimmed())));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "Xvfb")
            return child.trimmed().toLongLong();
    }
    return 0;
}

struct Figures
{
    double cpu = 0;  // % of a core, this process
    double xcpu = 0; // % of a core, the X server
    double mib = 0;  // the highest resident size seen
    int shown = 0;
};

Figures run(TimedApplication& app, Producer& producer, int seconds, const QString& screenshot)
{
    const qint64 pid = QCoreApplication::applicationPid();
    const qint64 xpid = xServerPid();
    Figures figures;
    app.reset();
    app.timing = true;
    const qint64 cpuBefore = cpuNs(pid);
    const qint64 xBefore = xpid ? cpuNs(xpid) : 0;
    QElapsedTimer wall;
    wall.start();
    producer.start();
    bool pictured = screenshot.isEmpty();
    while (wall.elapsed() < seconds * 1000) {
        QTest::qWait(100);
        figures.mib = std::max(figures.mib, residentMiB());
        if (!pictured && wall.elapsed() > seconds * 500) {
            pictured = true;
            // Not through QProcess: its helper thread would stay and count as left over.
            const QByteArray command = "import -window root '" + screenshot.toLocal8Bit() + "'";
            if (std::system(command.constData()) != 0)
                std::fprintf(stderr, "no screenshot\n");
        }
    }
    producer.stop();
    const double span = double(wall.nsecsElapsed());
    QTest::qWait(100);
    app.timing = false;
    figures.cpu = 100.0 * double(cpuNs(pid) - cpuBefore) / span;
    figures.xcpu = xpid ? 100.0 * double(cpuNs(xpid) - xBefore) / span : 0;
    figures.shown = int(app.perFrame.size());
    return figures;
}

#ifdef MEETING_SCREEN_ENGINE
// The program's CPU over ms, in % of a core.
double cpuOver(qint64 pid, int ms)
{
    const double before = processUse(pid).cpuSeconds;
    QTest::qWait(ms);
    return 100.0 * (processUse(pid).cpuSeconds - before) / (ms / 1000.0);
}

// The program (screenpeer) watching a voice-cli member's share through a real server.
bool watchRealShare(int seconds)
{
    std::printf("the program watching a voice-cli member's 1920 x 1080 share, full screen, the "
                "whole screen changing %d times a second (decoding included)\n",
                Fps);
    VoiceServerProcess server;
    XvfbDisplay shared(QSize(Width, Height));
    XvfbDisplay watching(QSize(Width, Height));
    if (!server.start() || !shared.start() || !watching.start()) {
        std::fprintf(stderr, "server or displays did not start\n");
        return false;
    }
    VoiceCliProcess bob;
    bob.setEnvironmentVariable(QStringLiteral("DISPLAY"), shared.name());
    if (!bob.start() || !bob.connectTo(server.port(), QStringLiteral("bob")))
        return false;
    const int bobId = bob.command({QStringLiteral("whoami")}).value("clientID").toInt();
    bob.command({"createchannel", "tolvane_Bench", "", 1});
    qint64 room = 0;
    for (int i = 0; i < 50 && room == 0; ++i) {
        QTest::qWait(100);
        for (const QJsonValue& c :
             bob.command({QStringLiteral("channels")}).value("channels").toArray())
            if (c.toObject().value("name").toString() == QLatin1String("tolvane_Bench"))
                room = qint64(c.toObject().value("channelID").toDouble());
    }
    bob.command({"move", bobId, double(room), ""});

    QTemporaryDir home;
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), watching.name());
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
    program.setProcessEnvironment(environment);
    program.setWorkingDirectory(home.path());
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const QString peer =
        qEnvironmentVariable("MEETING_BIN_DIR", QCoreApplication::applicationDirPath()) +
        QStringLiteral("/../tests/screenpeer");
    program.start(peer, {QString::number(server.port()), QStringLiteral("anna"),
                         QStringLiteral("tolvane_Bench")});
    const auto line = [&](const QByteArray& start) {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 20000) {
            while (program.canReadLine()) {
                const QByteArray got = program.readLine().trimmed();
                if (got.startsWith(start))
                    return got;
            }
            QTest::qWait(20);
        }
        return QByteArray();
    };
    if (line("ready").isEmpty()) {
        std::fprintf(stderr, "the program did not join the meeting (%s)\n", qPrintable(peer));
        return false;
    }
    const qint64 pid = program.processId();
    QTest::qWait(2000);
    const double idleBefore = cpuOver(pid, 5000);
    const ProcessUse before = processUse(pid);

    // Two whole-screen pictures, in turn, 30 times a second, drawn by a thread of this bench.
    std::vector<QImage> pictures = makeFrames(2);
    std::atomic<bool> drawing{true};
    if (bob.command({"screenshare", "start"}).value("error").toInt() != 0)
        return false;
    std::thread painter([&] {
        auto next = std::chrono::steady_clock::now();
        for (unsigned n = 0; drawing; ++n) {
            shared.putImage(pictures[n % 2]);
            next += std::chrono::microseconds(1000000 / Fps);
            std::this_thread::sleep_until(next);
        }
    });
    const auto names = [pid] {
        QStringList list;
        for (const ThreadUse& thread : threadUse(pid))
            list << thread.name;
        list.sort();
        return list.join(QStringLiteral(", "));
    };
    double peakMiB = 0;
    QString namesWatching;
    // One window of `seconds`: pictures shown, CPU with its busiest threads, GUI holds.
    const auto measure = [&](const char* what) {
        QTest::qWait(2000);
        GuiHoldSampler holds;
        holds.start(pid);
        program.write("frames\n");
        const int framesBefore = line("frames").mid(7).toInt();
        const double cpuStart = processUse(pid).cpuSeconds;
        const QMap<qint64, ThreadUse> threadsStart = threadUse(pid);
        QElapsedTimer wall;
        wall.start();
        while (wall.elapsed() < seconds * 1000) {
            QTest::qWait(200);
            peakMiB = std::max(peakMiB, processUse(pid).rssKiB / 1024.0);
        }
        const double span = double(wall.elapsed()) / 1000.0;
        const double cpu = 100.0 * (processUse(pid).cpuSeconds - cpuStart) / span;
        QMultiMap<qint64, QString> byUse;
        const QMap<qint64, ThreadUse> now = threadUse(pid);
        for (auto it = now.cbegin(); it != now.cend(); ++it)
            byUse.insert(-(it->ns - threadsStart.value(it.key()).ns), it->name);
        QStringList busiest;
        for (auto it = byUse.cbegin(); it != byUse.cend() && busiest.size() < 3; ++it)
            busiest << QStringLiteral("%1 %2 %")
                           .arg(it.value())
                           .arg(double(-it.key()) / 1e7 / span, 0, 'f', 1);
        program.write("frames\n");
        const int shown = line("frames").mid(7).toInt() - framesBefore;
        holds.stop();
        namesWatching = names();
        std::printf("  %s\n", what);
        std::printf("    %-42s %6d in %.0f s (%.1f a second)\n", "pictures shown", shown, span,
                    double(shown) / span);
        std::printf("    %-42s %6.1f %% of a core (target: under %.0f %%)%s\n",
                    "CPU of the program", cpu, TargetCpu, cpu < TargetCpu ? "" : "  OVER");
        std::printf("    %-42s %s\n", "its busiest threads",
                    qPrintable(busiest.join(QStringLiteral(", "))));
        std::printf("    %-42s %6.1f ms (sampled every 5 ms; target: never over %.0f ms)\n",
                    "longest GUI hold", holds.longestMs(), TargetHoldMs);
    };
    measure("in the meeting view");
    program.write("fullscreen\n");
    measure("full screen");
    drawing = false;
    painter.join();

    // Stopped: the viewer says why and goes; nothing of it runs on.
    bob.command({"screenshare", "stop"});
    QTest::qWait(ScreenViewer::LingerMs + 2000);
    const double idleAfter = cpuOver(pid, 5000);
    const ProcessUse after = processUse(pid);
    std::printf("  %-44s %6.1f MiB over the figure before the share (target: under %.0f)%s\n",
                "memory while watching", peakMiB - before.rssKiB / 1024.0, TargetMiB,
                peakMiB - before.rssKiB / 1024.0 < TargetMiB ? "" : "  OVER");
    std::printf("  %-44s %6d (before the share %d)%s\n", "threads after it stopped", after.threads,
                before.threads, after.threads <= before.threads ? "" : "  MORE");
    if (after.threads > before.threads)
        std::printf("  %-44s %s\n  %-44s %s\n", "  while watching", qPrintable(namesWatching),
                    "  after", qPrintable(names()));
    std::printf("  %-44s %6.2f %% of a core (before the share %.2f %%)\n",
                "CPU idle after it stopped", idleAfter, idleBefore);
    program.write("quit\n");
    program.waitForFinished(10000);
    bob.quit();
    return true;
}
#endif

} // namespace

int main(int argc, char** argv)
{
    // Under a display of the size measured, with nothing else on it.
    if (!qEnvironmentVariableIsSet("BENCH_SCREEN_VIEW_CHILD")) {
        qputenv("BENCH_SCREEN_VIEW_CHILD", "1");
        qputenv("QT_QPA_PLATFORM", "xcb");
        std::vector<char*> command{const_cast<char*>("xvfb-run"), const_cast<char*>("-a"),
                                   const_cast<char*>("-s"),
                                   const_cast<char*>("-screen 0 1920x1080x24 -nolisten tcp")};
        for (int i = 0; i < argc; ++i)
            command.push_back(argv[i]);
        command.push_back(nullptr);
        execvp("xvfb-run", command.data());
        std::perror("xvfb-run");
        return 2;
    }
    TimedApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const int seconds = qEnvironmentVariableIsSet("BENCH_SECONDS")
                            ? qMax(2, qEnvironmentVariableIntValue("BENCH_SECONDS"))
                            : 10;
    const QString screenshot = qEnvironmentVariable("BENCH_SCREENSHOT");
    const auto shot = [&](const char* name) {
        if (screenshot.isEmpty())
            return QString();
        QString path = screenshot;
        return path.replace(QStringLiteral(".png"), QStringLiteral("-%1.png").arg(name));
    };

    TsSDKClient::instance();
    // The program has its window up before anyone shares: fonts, theme and the desktop bus are
    // loaded by then, and belong to its figure without a viewer.
    QWidget window;
    window.setWindowTitle(QStringLiteral("Meeting"));
    window.resize(800, 600);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        std::fprintf(stderr, "the window did not show\n");
    const std::vector<QImage> frames = makeFrames(8);
    Producer producer(frames);
    std::printf("bench_screen_view: 1920 x 1080 frames at %d a second through the library's "
                "callback, %d s per case\n",
                Fps, seconds);

    // Before anything is watched: idle CPU, threads and memory.
    QTest::qWait(1000);
    const qint64 pid = QCoreApplication::applicationPid();
    qint64 before = cpuNs(pid);
    QTest::qWait(3000);
    const double idleBefore = 100.0 * double(cpuNs(pid) - before) / 3e9;
    const int threadsBefore = processUse(pid).threads;

    // Baseline: the frames arrive, nobody looks (the library's callback drops them at once).
    const Figures nobody = run(app, producer, seconds, QString());
    const double withoutMiB = residentMiB();
    std::printf("%-46s %6.1f %% of a core, %6.1f MiB\n", "frames arriving, no viewer (baseline)",
                nobody.cpu, withoutMiB);

    auto* viewer = new ScreenViewer(Sharer, 1);
    QObject::connect(viewer->display(), &ScreenDisplay::frameShown, &app,
                     [&app] { app.frameShown(); });
    const auto report = [&](const char* what, const Figures& f) {
        std::printf("%s\n", what);
        std::printf("  %-44s %6.2f ms p50, %6.2f ms p95, longest event %6.2f ms (target: never "
                    "over %.0f ms)%s\n",
                    "GUI thread per frame shown", percentile(app.perFrame, 0.5),
                    percentile(app.perFrame, 0.95), double(app.longest) / 1e6, TargetHoldMs,
                    double(app.longest) / 1e6 <= TargetHoldMs ? "" : "  OVER");
        std::printf("  %-44s %6d of %d\n", "frames shown", f.shown, seconds * Fps);
        std::printf("  %-44s %6.1f %% of a core, %.1f over the baseline (target: under %.0f %% "
                    "with decoding)\n",
                    "CPU of the program", f.cpu, f.cpu - nobody.cpu, TargetCpu);
        std::printf("  %-44s %6.1f %% of a core\n", "CPU of the X server drawing it", f.xcpu);
        std::printf("  %-44s %6.1f MiB over the figure without a viewer (target: under %.0f)%s\n",
                    "memory while watching", f.mib - withoutMiB, TargetMiB,
                    f.mib - withoutMiB < TargetMiB ? "" : "  OVER");
    };

    // Full screen: frames painted as they come, 1920 x 1080.
    viewer->resize(960, 600);
    viewer->show();
    viewer->setFullScreenShown(true);
    QTest::qWait(1000);
    report("full screen, 1920 x 1080 painted 1:1", run(app, producer, seconds, shot("full")));
    viewer->setFullScreenShown(false);

    // In a meeting-sized viewer: box-filtered to fit.
    viewer->resize(980, 620);
    QTest::qWait(1000);
    report("in a viewer of 980 x 620 (shrunk to fit, box filter)",
           run(app, producer, seconds, shot("viewer")));

    // Closed: back to what it was.
    delete viewer;
    QTest::qWait(2000);
    before = cpuNs(pid);
    QTest::qWait(3000);
    const double idleAfter = 100.0 * double(cpuNs(pid) - before) / 3e9;
    const int threadsAfter = processUse(pid).threads;
    std::printf("after the viewer closed\n");
    std::printf("  %-44s %6d (before watching %d)%s\n", "threads", threadsAfter, threadsBefore,
                threadsAfter <= threadsBefore ? "" : "  MORE");
    std::printf("  %-44s %6.2f %% of a core (before watching %.2f %%)\n", "CPU idle", idleAfter,
                idleBefore);
    std::printf("  %-44s %6.1f MiB (without a viewer %.1f MiB)\n", "memory", residentMiB(),
                withoutMiB);
#ifdef MEETING_SCREEN_ENGINE
    if (!watchRealShare(seconds))
        return 1;
#endif
    return 0;
}

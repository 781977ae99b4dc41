// SPDX-License-Identifier: MIT
// bench_hostile_member: the real Meeting program under Xvfb, in a meeting with a voice-cli member
// who sends what an honest client never would: one chat message of 8 Mi characters, twenty
// messages with a 16-megapixel picture each, and one message with twenty such pictures. Meeting
// runs as it would for a user (login and the invitation answered with the Return key through
// XTest) against a real voice-server. Measured from outside: the longest time the program's GUI
// thread was busy without a break (from /proc/<pid>/task/<pid>/schedstat every 5 ms; busy means
// it ran for at least 70 % of an interval), and its resident memory and peak, before and after.
// Targets: responsive (no GUI hold much over 100 ms) and under 300 MiB.
//
//   bench_hostile_member [path/to/Meeting]     (default: Meeting beside this program)
//
// Needs Xvfb, libX11 and libXtst (loaded at run time).
#include "chat/chatmessage.h"
#include "guiholds.h"
#include "tsclient/textframing.h"
#include "voicecliprocess.h"
#include "voiceserverprocess.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>

using namespace MeetingSupport;

namespace {

constexpr double TargetHoldMs = 100;
constexpr double TargetMiB = 300;
// The server lets a client send 1024 texts a second after a burst; stay below.
constexpr int FramesPerSecond = 400;

// ---- The few Xlib and XTest calls used, loaded at run time (no development headers needed).
using Display = void;
using Window = unsigned long;
using Atom = unsigned long;

struct X11
{
    bool load()
    {
        void* x = dlopen("libX11.so.6", RTLD_NOW);
        void* t = dlopen("libXtst.so.6", RTLD_NOW);
        if (!x || !t)
            return false;
        const auto get = [](void* lib, const char* name, auto* fn) {
            *reinterpret_cast<void**>(fn) = dlsym(lib, name);
            return *fn != nullptr;
        };
        return get(x, "XOpenDisplay", &openDisplay) && get(x, "XCloseDisplay", &closeDisplay) &&
               get(x, "XDefaultRootWindow", &rootWindow) && get(x, "XInternAtom", &internAtom) &&
               get(x, "XQueryTree", &queryTree) && get(x, "XFree", &xfree) &&
               get(x, "XGetWindowProperty", &getProperty) && get(x, "XFlush", &flush) &&
               get(x, "XKeysymToKeycode", &keycode) && get(t, "XTestFakeKeyEvent", &fakeKey) &&
               get(t, "XTestFakeMotionEvent", &fakeMotion);
    }

    Display* (*openDisplay)(const char*) = nullptr;
    int (*closeDisplay)(Display*) = nullptr;
    Window (*rootWindow)(Display*) = nullptr;
    Atom (*internAtom)(Display*, const char*, int) = nullptr;
    int (*queryTree)(Display*, Window, Window*, Window*, Window**, unsigned*) = nullptr;
    int (*xfree)(void*) = nullptr;
    int (*getProperty)(Display*, Window, Atom, long, long, int, Atom, Atom*, int*, unsigned long*,
                       unsigned long*, unsigned char**) = nullptr;
    int (*flush)(Display*) = nullptr;
    unsigned char (*keycode)(Display*, unsigned long) = nullptr;
    int (*fakeKey)(Display*, unsigned, int, unsigned long) = nullptr;
    int (*fakeMotion)(Display*, int, int, int, unsigned long) = nullptr;
};

X11 x11;

// The top-level window of pid whose _NET_WM_NAME is title (any of pid's when title is empty).
Window findWindow(Display* display, qint64 pid, const QByteArray& title)
{
    const Atom pidAtom = x11.internAtom(display, "_NET_WM_PID", 0);
    const Atom nameAtom = x11.internAtom(display, "_NET_WM_NAME", 0);
    const Atom any = 0;
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    Window found = 0;
    if (!x11.queryTree(display, x11.rootWindow(display), &root, &parent, &children, &count))
        return 0;
    for (unsigned i = 0; i < count && !found; ++i) {
        Atom type = 0;
        int format = 0;
        unsigned long items = 0;
        unsigned long after = 0;
        unsigned char* data = nullptr;
        if (x11.getProperty(display, children[i], pidAtom, 0, 1, 0, any, &type, &format, &items,
                            &after, &data) != 0 ||
            !data)
            continue;
        const bool ours = items == 1 && *reinterpret_cast<unsigned long*>(data) == quint64(pid);
        x11.xfree(data);
        if (!ours)
            continue;
        if (title.isEmpty()) {
            found = children[i];
            break;
        }
        data = nullptr;
        if (x11.getProperty(display, children[i], nameAtom, 0, 256, 0, any, &type, &format, &items,
                            &after, &data) == 0 &&
            data) {
            if (QByteArray(reinterpret_cast<const char*>(data), int(items)) == title)
                found = children[i];
            x11.xfree(data);
        }
    }
    if (children)
        x11.xfree(children);
    return found;
}

void pressReturn(Display* display)
{
    x11.fakeMotion(display, -1, 640, 512, 0);
    const unsigned code = x11.keycode(display, 0xff0d);
    x11.fakeKey(display, code, 1, 0);
    x11.fakeKey(display, code, 0, 0);
    x11.flush(display);
}

double residentMiB(qint64 pid, const char* key = "VmRSS:")
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(int(qstrlen(key))).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return 0;
}

bool waitUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QThread::msleep(50);
    }
    return true;
}

// Sends a text framed as clients frame it, no faster than the server takes it; true once
// voice-cli has passed every piece on.
bool sendPaced(VoiceCliProcess& cli, const QString& text, int target = 0)
{
    static QElapsedTimer clock;
    static qint64 sentFrames = 0;
    if (!clock.isValid())
        clock.start();
    for (const QString& piece : TextFraming::frame(text)) {
        if (target)
            cli.send({QStringLiteral("sendprivate"), piece, target});
        else
            cli.send({QStringLiteral("sendchannel"), piece});
        // After a burst the server takes FramesPerSecond: keep to it over the whole run.
        if (++sentFrames % 64 != 0)
            continue;
        const qint64 due = sentFrames * 1000 / FramesPerSecond - 0;
        do {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        } while (due > clock.elapsed());
    }
    // Answers come in order: once this one is there, every piece went to the server.
    return !cli.command({QStringLiteral("whoami")}, 600000).isEmpty();
}

ChatMessage chat(const QJsonArray& content)
{
    ChatMessage message(TextMessage);
    message.info.setSender(QStringLiteral("mallory"));
    message.info.setReceiver(QString());
    message.package.content = content;
    return message;
}

QString words(int length)
{
    static const QString sample =
        QStringLiteral("the minutes of the meeting are on the shared drive, please look ");
    QString text;
    text.reserve(length + sample.size());
    while (text.size() < length)
        text += sample;
    text.truncate(length);
    return text;
}

// A flat picture with a few lines, 16 megapixels: small on the wire, large when decoded.
QString flatPicture(int seed)
{
    QImage image(4096, 4096, QImage::Format_RGB32);
    image.fill(QColor::fromHsv(seed * 17 % 360, 120, 220));
    for (int y = 0; y < image.height(); y += 512)
        std::fill_n(reinterpret_cast<QRgb*>(image.scanLine(y)), image.width(), qRgb(0, 0, 0));
    return encodeImage(image);
}

int countLines(const QString& path, const QByteArray& needle)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    return file.readAll().count(needle);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const bool verbose = qEnvironmentVariableIsSet("BENCH_VERBOSE");
    const auto note = [verbose](const char* what) {
        if (verbose)
            std::fprintf(stderr, "-- %s\n", what);
    };
    const QString program = argc > 1 ? QString::fromLocal8Bit(argv[1])
                                     : QCoreApplication::applicationDirPath() + "/Meeting";
    if (!x11.load()) {
        std::fprintf(stderr, "libX11 or libXtst cannot be loaded\n");
        return 2;
    }
    QTemporaryDir work;
    // BENCH_VERBOSE keeps the program's folder (and its log) for a look afterwards.
    work.setAutoRemove(!verbose);
    note(qPrintable(work.path()));
    VoiceServerProcess server;
    if (!server.start()) {
        std::fprintf(stderr, "voice-server: %s\n", qPrintable(server.log()));
        return 2;
    }

    // A virtual screen; Xvfb says which display it took.
    QProcess xvfb;
    xvfb.start(QStringLiteral("Xvfb"),
               {"-displayfd", "1", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"});
    if (!xvfb.waitForStarted() || !xvfb.waitForReadyRead(10000)) {
        std::fprintf(stderr, "Xvfb did not start\n");
        return 2;
    }
    const QByteArray display = ":" + xvfb.readLine().trimmed();

    // The program in a folder of its own, with the server beside it and the name filled in.
    const QString folder = work.filePath(QStringLiteral("program"));
    QDir().mkpath(folder + "/config/RYL System 7");
    const QString copy = folder + "/Meeting";
    QFile::copy(program, copy);
    QFile dat(folder + "/ts3_server.dat");
    dat.open(QIODevice::WriteOnly);
    dat.write(
        QStringLiteral("{\"domain\": \"127.0.0.1\", \"port\": %1, \"server_pwd\": \"mossel\"}")
            .arg(server.port())
            .toUtf8());
    dat.close();
    QFile ini(folder + "/config/RYL System 7/Meeting.ini");
    ini.open(QIODevice::WriteOnly);
    ini.write("[login]\nusername=alice\n");
    ini.close();

    QProcess meeting;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(display));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(QStringLiteral("HOME"), folder);
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), folder + "/config");
    meeting.setProcessEnvironment(environment);
    meeting.setWorkingDirectory(folder);
    const QString log = folder + "/meeting.log";
    meeting.setStandardOutputFile(log);
    meeting.setStandardErrorFile(log, QIODevice::Append);
    meeting.start(copy, QStringList());
    if (!meeting.waitForStarted()) {
        std::fprintf(stderr, "Meeting did not start\n");
        return 2;
    }
    const qint64 pid = meeting.processId();
    Display* x = x11.openDisplay(display.constData());
    int status = 0;
    const auto fail = [&](const char* what) {
        std::fprintf(stderr, "%s (Meeting's log: %s)\n", what, qPrintable(log));
        status = 1;
    };

    VoiceCliProcess mallory;
    qint64 room = 0;
    int aliceId = 0;
    const auto findAlice = [&](qint64* channel) {
        const QJsonArray clients =
            mallory.command({QStringLiteral("clients")}).value("clients").toArray();
        for (const QJsonValue& c : clients) {
            if (c.toObject().value("nickname").toString() == QLatin1String("alice")) {
                aliceId = c.toObject().value("clientID").toInt();
                if (channel)
                    *channel = qint64(c.toObject().value("channelID").toDouble());
                return true;
            }
        }
        return false;
    };
    note("started");
    // Log in: the dialog is answered with Return until alice is on the server.
    if (!x || !waitUntil([&] { return findWindow(x, pid, QByteArray()) != 0; }, 20000))
        fail("no window of Meeting");
    else if (!mallory.start() || !mallory.connectTo(server.port(), QStringLiteral("mallory")))
        fail("voice-cli cannot connect");
    else if (!waitUntil(
                 [&] {
                     pressReturn(x);
                     return findAlice(nullptr);
                 },
                 20000))
        fail("the login went nowhere");
    note("logged in");
    if (status == 0) {
        mallory.command(
            {QStringLiteral("createchannel"), QStringLiteral("tolvane_Hostile"), QString(), 1});
        QThread::msleep(500);
        for (const QJsonValue& c :
             mallory.command({QStringLiteral("channels")}).value("channels").toArray()) {
            if (c.toObject().value("name").toString() == QLatin1String("tolvane_Hostile"))
                room = qint64(c.toObject().value("channelID").toDouble());
        }
        const int malloryId =
            mallory.command({QStringLiteral("whoami")}).value(QStringLiteral("clientID")).toInt();
        mallory.command({QStringLiteral("move"), malloryId, double(room), QString()});
        // Alice is invited, and says yes with Return.
        ChatMessage invitation(MeetingRequest);
        invitation.info.setSender(QStringLiteral("mallory"));
        invitation.info.setReceiver(QStringLiteral("alice"));
        invitation.package.setRequest(
            QJsonObject{{QStringLiteral("channel_name"), QStringLiteral("tolvane_Hostile")}});
        sendPaced(mallory, messagesToText({invitation}), aliceId);
        qint64 aliceChannel = 0;
        if (room == 0 || !waitUntil(
                             [&] {
                                 QThread::msleep(700);
                                 pressReturn(x);
                                 return findAlice(&aliceChannel) && aliceChannel == room;
                             },
                             20000))
            fail("alice did not join the meeting");
    }
    note("in the meeting");
    if (verbose)
        std::fprintf(stderr, "-- display %s, window 0x%lx\n", display.constData(),
                     findWindow(x, pid, "Meeting"));
    Window window = status == 0 ? findWindow(x, pid, "Meeting") : 0;
    if (status == 0 && !window)
        fail("no main window");

    GuiHoldSampler holds;
    if (status == 0) {
        QThread::sleep(2);
        holds.start(pid);
        QThread::sleep(2);
        const double before = residentMiB(pid);
        std::printf("Meeting %s\n", qPrintable(program));
        std::printf("%-44s %7.1f MiB resident\n", "in the meeting, before", before);
        holds.resetLongest();
        QElapsedTimer timer;
        timer.start();

        // The attack: 8 Mi characters, twenty pictures one by one, twenty in one message.
        int texts = 0;
        double longestHold = 0;
        const auto step = [&](const char* what, const QList<ChatMessage>& messages) {
            holds.resetLongest();
            for (const ChatMessage& m : messages) {
                if (!sendPaced(mallory, messagesToText({m})))
                    fail("voice-cli could not send");
                ++texts;
            }
            if (verbose) {
                int errors = 0;
                int refused = 0;
                QJsonObject first;
                for (const QJsonObject& line : mallory.lines()) {
                    errors += line.value(QStringLiteral("event")).toString() ==
                              QLatin1String("onServerErrorEvent");
                    if (line.contains(QStringLiteral("result")) &&
                        line.value(QStringLiteral("error")).toInt() != 0) {
                        if (refused++ == 0)
                            first = line;
                    }
                }
                std::fprintf(stderr, "-- sent, %d server errors, %d refused so far %s\n", errors,
                             refused,
                             QJsonDocument(first).toJson(QJsonDocument::Compact).constData());
            }
            const bool taken = waitUntil(
                [&] {
                    if (verbose)
                        std::fprintf(stderr, "-- %d of %d texts taken, idle %.0f ms\n",
                                     countLines(log, "txt_msg:"), texts, holds.idleMs());
                    return countLines(log, "txt_msg:") >= texts && holds.idleMs() > 1500;
                },
                600000);
            std::printf("%-44s %7.1f MiB resident, %7.1f MiB peak; longest GUI hold %7.1f ms%s\n",
                        what, residentMiB(pid), residentMiB(pid, "VmHWM:"), holds.longestMs(),
                        taken ? "" : "  (not taken in 10 minutes)");
            longestHold = std::max(longestHold, holds.longestMs());
            std::fflush(stdout);
        };
        step("an ordinary message", {chat({QStringLiteral("hello, the minutes are out")})});
        step("one message of 8 Mi characters", {chat({words(8 << 20)})});
        QList<ChatMessage> pictures;
        for (int i = 0; i < 20; ++i)
            pictures << chat({QStringLiteral("picture %1").arg(i),
                              QJsonArray{QStringLiteral("image"),
                                         QJsonObject{{QStringLiteral("buffer"), flatPicture(i)}}}});
        step("twenty messages of a 16-megapixel picture", pictures);
        QJsonArray many{QStringLiteral("image")};
        for (int i = 0; i < 20; ++i)
            many.append(QJsonObject{{QStringLiteral("buffer"), flatPicture(100 + i)}});
        step("one message of twenty such pictures", {chat(QJsonArray{QJsonValue(many)})});

        const double after = residentMiB(pid);
        const double peak = residentMiB(pid, "VmHWM:");
        std::printf("%-44s %7.1f s\n", "sending and taking it all", timer.elapsed() / 1000.0);
        std::printf("%-44s %7.1f ms (target about %.0f)%s\n", "longest GUI hold", longestHold,
                    TargetHoldMs, longestHold <= 2 * TargetHoldMs ? "" : "  OVER");
        std::printf("%-44s %7.1f MiB resident, %.1f MiB peak (target under %.0f)%s\n",
                    "memory at the end", after, peak, TargetMiB, peak < TargetMiB ? "" : "  OVER");
        std::printf("%-44s %s\n", "still running",
                    meeting.state() == QProcess::Running ? "yes" : "NO");
    }
    holds.stop();
    if (x)
        x11.closeDisplay(x);
    meeting.kill();
    meeting.waitForFinished(5000);
    mallory.quit();
    xvfb.terminate();
    xvfb.waitForFinished(5000);
    return status;
}

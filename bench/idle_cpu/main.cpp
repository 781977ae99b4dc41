// SPDX-License-Identifier: MIT
// bench_idle_cpu: a voice-cli logged in with the virtual devices open (silent microphone,
// discarding speakers), as the client sits in the lobby: microphone and speakers muted. After
// BENCH_IDLE_WAIT seconds (default 10) its CPU is read from /proc over BENCH_IDLE_SECONDS
// (default 30), per thread, then again with both unmuted (sending silence, playing) as the
// baseline of the same run. Target: under 0.1 % of a core while muted.
#include "processuse.h"
#include "voicecliprocess.h"
#include "voiceserverprocess.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QTest>

#include <cstdio>

namespace {

// Share of one core over `seconds`, in per cent: the whole process and its busiest threads.
double measure(qint64 pid, int seconds, const char* what)
{
    const QMap<qint64, ThreadUse> before = threadUse(pid);
    QTest::qWait(seconds * 1000);
    const QMap<qint64, ThreadUse> after = threadUse(pid);
    const double span = seconds * 1e9;
    double total = 0;
    QMultiMap<double, QString> busiest;
    for (auto it = after.begin(); it != after.end(); ++it) {
        const double used = double(it->ns - before.value(it.key()).ns);
        total += used;
        if (used > 0)
            busiest.insert(-used, QStringLiteral("%1 (%2)").arg(it->name).arg(it.key()));
    }
    std::printf("  %s: %.3f %% of a core over %d s\n", what, 100 * total / span, seconds);
    int shown = 0;
    for (auto it = busiest.begin(); it != busiest.end() && shown < 3; ++it, ++shown)
        std::printf("    %-28s %.3f %%\n", qPrintable(it.value()), -100 * it.key() / span);
    return 100 * total / span;
}

int fail(const char* what)
{
    std::fprintf(stderr, "bench_idle_cpu: %s\n", what);
    return 1;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int wait = qEnvironmentVariableIsSet("BENCH_IDLE_WAIT")
                         ? qMax(0, qEnvironmentVariableIntValue("BENCH_IDLE_WAIT"))
                         : 10;
    const int seconds = qEnvironmentVariableIsSet("BENCH_IDLE_SECONDS")
                            ? qMax(1, qEnvironmentVariableIntValue("BENCH_IDLE_SECONDS"))
                            : 30;
    VoiceServerProcess server;
    if (!server.start())
        return fail("the server did not start");
    VoiceCliProcess cli;
    if (!cli.start() || !cli.connectTo(server.port(), QStringLiteral("idle")))
        return fail("voice-cli did not connect");
    const auto ok = [&](const QJsonArray& command) {
        return cli.command(command).value(QStringLiteral("error")).toInt() == 0;
    };
    if (!ok({"opendevice", "capture", "virtual", "silence"}) ||
        !ok({"opendevice", "playback", "virtual", "discard"}) || !ok({"setflag", 5, 1}) ||
        !ok({"setflag", 6, 1}))
        return fail("voice-cli refused a command");
    std::printf("voice-cli connected, virtual devices open; after %d s idle:\n", wait);
    QTest::qWait(wait * 1000);
    const double idle = measure(cli.pid(), seconds, "muted (the lobby)");
    if (!ok({"setflag", 5, 0}) || !ok({"setflag", 6, 0}))
        return fail("voice-cli refused a command");
    QTest::qWait(1000);
    const double active = measure(cli.pid(), seconds, "unmuted (sending silence, playing)");
    cli.quit();
    server.stop();
    std::printf("  muted / unmuted: %.3f; target muted < 0.1 %% of a core: %s\n",
                active > 0 ? idle / active : 0.0, idle < 0.1 ? "met" : "missed");
    return 0;
}

// SPDX-License-Identifier: MIT
// bench_file_transfer: a 256 MiB file uploaded to and downloaded from a real voice-server
// through the C API, over TLS and in clear (a second server started with --no-tls), against a
// plain loopback TCP copy of the same file (read, send, receive, write) in the same run. Prints
// the best times of several rounds and the throughput ratios. While each transfer runs, texts
// go back and forth on the control connections; their latency shows that chat is not held up
// behind the file. BENCH_VERBOSE prints every round with the CPU the server and the client
// spent on each transfer.
#include "processuse.h"
#include "voicesdk.h"
#include "voiceserverprocess.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr qint64 FileSize = qint64(256) * 1024 * 1024;
constexpr int Rounds = 3;
constexpr int TextIntervalMs = 20;
// A text sent this close to the end of its transfer may arrive after it without having waited
// for the file's bytes: the median a text may take.
constexpr double LastMomentMs = 10;

std::mutex g_mutex;
std::condition_variable g_changed;
std::map<uint64, int> g_status;
// (handler, transfer ID) -> status: each handler counts its transfer IDs from 1
std::map<std::pair<uint64, anyID>, unsigned int> g_transferEnd;
std::map<QByteArray, qint64> g_textArrival; // text -> nanoseconds on g_clock
QElapsedTimer g_clock;

void onStatus(uint64 handler, int status, unsigned int)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_status[handler] = status;
    g_changed.notify_all();
}

void onTransfer(anyID id, unsigned int status, const char* message, uint64, uint64 handler)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (status != ERROR_file_transfer_complete)
        std::fprintf(stderr, "transfer %u: %u %s\n", id, status, message);
    g_transferEnd[{handler, id}] = status;
    g_changed.notify_all();
}

void onText(uint64, anyID, anyID, anyID, const char*, const char*, const char* message)
{
    const qint64 now = g_clock.nsecsElapsed();
    std::lock_guard<std::mutex> lock(g_mutex);
    g_textArrival.emplace(QByteArray(message), now);
    g_changed.notify_all(); // the wait for the last texts ends when they are in
}

template <typename Predicate> bool waitUntil(Predicate predicate, int seconds = 120)
{
    std::unique_lock<std::mutex> lock(g_mutex);
    return g_changed.wait_for(lock, std::chrono::seconds(seconds), predicate);
}

bool writeAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

// The baseline: the file read, sent over one loopback connection, received and written.
double plainCopyMs(const QString& source, const QString& target)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return -1;
    QElapsedTimer timer;
    timer.start();
    std::thread sender([&] {
        const int out = ::socket(AF_INET, SOCK_STREAM, 0);
        if (::connect(out, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            return;
        QFile in(source);
        if (!in.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
            return;
        std::vector<char> buffer(256 * 1024);
        qint64 got;
        while ((got = in.read(buffer.data(), qint64(buffer.size()))) > 0) {
            if (!writeAll(out, buffer.data(), size_t(got)))
                break;
        }
        ::close(out);
    });
    const int in = ::accept(listener, nullptr, nullptr);
    QFile out(target);
    qint64 total = 0;
    if (in >= 0 && out.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        std::vector<char> buffer(256 * 1024);
        ssize_t n;
        while ((n = ::read(in, buffer.data(), buffer.size())) > 0) {
            out.write(buffer.data(), n);
            total += n;
        }
    }
    out.close();
    const double ms = timer.nsecsElapsed() / 1e6;
    sender.join();
    ::close(in);
    ::close(listener);
    return total == FileSize ? ms : -1;
}

struct TransferResult
{
    double ms = -1;
    int texts = 0;                   // texts sent while the transfer ran
    int arrivedDuring = 0;           // of those, arrived before the transfer ended
    int sentInTime = 0;              // sent at least LastMomentMs before the end
    int inTimeArrivedDuring = 0;     // of those, arrived before the end
    std::vector<double> latenciesMs; // of each text
    double serverCpuMs = 0; // CPU the server and this process (the client library) spent on it
    double clientCpuMs = 0;
};

// The texts of several transfers together.
struct TextFigures
{
    int texts = 0;
    int arrivedDuring = 0;
    int sentInTime = 0;
    int inTimeArrivedDuring = 0;
    std::vector<double> latenciesMs;

    template <typename Texts> void add(const Texts& more)
    {
        texts += more.texts;
        arrivedDuring += more.arrivedDuring;
        sentInTime += more.sentInTime;
        inTimeArrivedDuring += more.inTimeArrivedDuring;
        latenciesMs.insert(latenciesMs.end(), more.latenciesMs.begin(), more.latenciesMs.end());
        std::sort(latenciesMs.begin(), latenciesMs.end());
    }
    double median() const { return latenciesMs.empty() ? 0 : latenciesMs[latenciesMs.size() / 2]; }
    double worst() const { return latenciesMs.empty() ? 0 : latenciesMs.back(); }
};

// Runs one transfer; meanwhile `talker` sends a text every TextIntervalMs to its channel.
TransferResult transfer(uint64 handler, uint64 talker, bool upload, const QString& directory,
                        int round, qint64 serverPid)
{
    TransferResult result;
    const ProcessUse serverBefore = processUse(serverPid);
    const ProcessUse clientBefore = processUse(QCoreApplication::applicationPid());
    QElapsedTimer timer;
    timer.start();
    const qint64 startedAt = g_clock.nsecsElapsed();
    anyID id = 0;
    const unsigned int code =
        upload ? ts3client_sendFile(handler, 1, nullptr, "/bench/file.bin", 1, 0,
                                    directory.toUtf8().constData(), &id, nullptr)
               : ts3client_requestFile(handler, 1, nullptr, "/bench/file.bin", 1, 0,
                                       directory.toUtf8().constData(), &id, nullptr);
    if (code != ERROR_ok)
        return result;
    std::vector<std::pair<QByteArray, qint64>> sent;
    qint64 endedAt = 0;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(g_mutex);
            if (g_changed.wait_for(lock, std::chrono::milliseconds(TextIntervalMs), [&] {
                    return g_transferEnd.count({handler, id}) > 0;
                })) {
                endedAt = g_clock.nsecsElapsed();
                break;
            }
        }
        const QByteArray text = QByteArray("text ") + QByteArray::number(handler) + ' ' +
                                (upload ? "up " : "down ") + QByteArray::number(round) + ' ' +
                                QByteArray::number(qint64(sent.size()));
        sent.emplace_back(text, g_clock.nsecsElapsed());
        ts3client_requestSendChannelTextMsg(talker, text.constData(), 1, nullptr);
    }
    result.ms = timer.nsecsElapsed() / 1e6;
    result.serverCpuMs = (processUse(serverPid).cpuSeconds - serverBefore.cpuSeconds) * 1000;
    result.clientCpuMs =
        (processUse(QCoreApplication::applicationPid()).cpuSeconds - clientBefore.cpuSeconds) *
        1000;
    if (g_transferEnd[{handler, id}] != ERROR_file_transfer_complete)
        result.ms = -1;
    // Every text arrives eventually; give the last ones a moment.
    waitUntil(
        [&] {
            return std::all_of(sent.begin(), sent.end(),
                               [](const auto& s) { return g_textArrival.count(s.first) > 0; });
        },
        10);
    std::vector<double>& latencies = result.latenciesMs;
    std::lock_guard<std::mutex> lock(g_mutex);
    for (const auto& [text, at] : sent) {
        auto it = g_textArrival.find(text);
        if (it == g_textArrival.end()) {
            latencies.push_back(1e9);
            continue;
        }
        latencies.push_back((it->second - at) / 1e6);
        if (qEnvironmentVariableIsSet("BENCH_VERBOSE") && latencies.back() > 50)
            std::printf("slow text '%s': sent %.1f ms into the transfer, took %.1f ms\n",
                        text.constData(), (at - startedAt) / 1e6, latencies.back());
        const bool during = it->second < endedAt;
        const bool inTime = (endedAt - at) / 1e6 >= LastMomentMs;
        result.arrivedDuring += during;
        result.sentInTime += inTime;
        result.inTimeArrivedDuring += inTime && during;
        if (qEnvironmentVariableIsSet("BENCH_VERBOSE") && !during)
            std::printf("text '%s' after its transfer: sent %.1f ms before the end, took %.1f ms\n",
                        text.constData(), (endedAt - at) / 1e6, latencies.back());
    }
    result.texts = int(sent.size());
    return result;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    g_clock.start();
    QTemporaryDir work;
    // The library remembers server certificates in the working directory: the bench's own.
    QDir::setCurrent(work.path());
    const QString source = QDir(work.path()).filePath("source");
    const QString target = QDir(work.path()).filePath("target");
    QDir().mkpath(source);
    QDir().mkpath(target);
    {
        QFile file(QDir(source).filePath("file.bin"));
        if (!file.open(QIODevice::WriteOnly))
            return 1;
        std::vector<quint32> block(1024 * 1024 / 4);
        for (qint64 done = 0; done < FileSize; done += 1024 * 1024) {
            QRandomGenerator::global()->fillRange(block.data(), qsizetype(block.size()));
            file.write(reinterpret_cast<const char*>(block.data()), 1024 * 1024);
        }
    }

    const QStringList limits{QStringLiteral("--max-file-mib"), QStringLiteral("1024")};
    VoiceServerProcess secureServer{limits};
    VoiceServerProcess clearServer{limits + QStringList{QStringLiteral("--no-tls")}};
    if (!secureServer.start() || !clearServer.start()) {
        std::fprintf(stderr, "bench_file_transfer: voice-server did not start\n%s\n%s\n",
                     qPrintable(secureServer.log()), qPrintable(clearServer.log()));
        return 1;
    }
    ClientUIFunctions functions = {};
    functions.onConnectStatusChangeEvent = onStatus;
    functions.onFileTransferStatusEvent = onTransfer;
    functions.onTextMessageEvent = onText;
    if (ts3client_initClientLib(&functions, nullptr, LogType_NONE, nullptr, nullptr) != ERROR_ok)
        return 1;
    // One handler per server moves the file and carries the texts.
    uint64 secure = 0, clear = 0;
    for (uint64* h : {&secure, &clear}) {
        const bool inClear = h == &clear;
        if (inClear)
            qputenv("VOICESDK_PLAIN", "1"); // the library's clear mode, for --no-tls servers
        const bool connected =
            ts3client_spawnNewServerConnectionHandler(0, h) == ERROR_ok &&
            ts3client_startConnection(
                *h, "bench", "127.0.0.1", (inClear ? clearServer : secureServer).port(),
                inClear ? "clear" : "secure", nullptr, nullptr, "mossel") == ERROR_ok &&
            waitUntil([h] { return g_status[*h] == STATUS_CONNECTION_ESTABLISHED; });
        qunsetenv("VOICESDK_PLAIN");
        if (!connected) {
            std::fprintf(stderr, "bench_file_transfer: could not connect\n");
            return 1;
        }
    }

    struct Mode
    {
        const char* name;
        uint64 handler;
        VoiceServerProcess* server;
        TransferResult up, down;
        TextFigures upTexts, downTexts; // of every round
    };
    Mode modes[] = {{"clear", clear, &clearServer, {}, {}, {}, {}},
                    {"TLS", secure, &secureServer, {}, {}, {}, {}}};
    double plain = 1e12;
    for (Mode& mode : modes)
        mode.up.ms = mode.down.ms = 1e12;
    for (int round = 0; round < Rounds; ++round) {
        const double p =
            plainCopyMs(QDir(source).filePath("file.bin"), QDir(target).filePath("plain.bin"));
        if (p < 0) {
            std::fprintf(stderr, "bench_file_transfer: plain copy failed\n");
            return 1;
        }
        plain = std::min(plain, p);
        QFile::remove(QDir(target).filePath("plain.bin"));
        for (Mode& mode : modes) {
            // The mover's own control connection carries the texts: the one that shares the
            // network thread and the server's attention with the transfer.
            const qint64 pid = mode.server->processId();
            const TransferResult u = transfer(mode.handler, mode.handler, true, source, round, pid);
            const TransferResult d =
                transfer(mode.handler, mode.handler, false, target, round, pid);
            if (u.ms < 0 || d.ms < 0) {
                std::fprintf(stderr, "bench_file_transfer: a transfer failed (%s)\n%s\n", mode.name,
                             qPrintable(mode.server->log().right(2000)));
                return 1;
            }
            if (QFileInfo(QDir(target).filePath("file.bin")).size() != FileSize) {
                std::fprintf(stderr, "bench_file_transfer: the download has the wrong size\n");
                return 1;
            }
            QFile::remove(QDir(target).filePath("file.bin"));
            if (u.ms < mode.up.ms)
                mode.up = u;
            if (d.ms < mode.down.ms)
                mode.down = d;
            mode.upTexts.add(u);
            mode.downTexts.add(d);
            if (qEnvironmentVariableIsSet("BENCH_VERBOSE"))
                std::printf("round %d: plain %.1f ms, %s upload %.1f ms (CPU: server %.0f ms, "
                            "client %.0f ms), download %.1f ms (server %.0f ms, client %.0f ms)\n",
                            round, p, mode.name, u.ms, u.serverCpuMs, u.clientCpuMs, d.ms,
                            d.serverCpuMs, d.clientCpuMs);
        }
    }
    for (uint64 h : {secure, clear}) {
        ts3client_stopConnection(h, "");
        ts3client_destroyServerConnectionHandler(h);
    }
    ts3client_destroyClientLib();
    secureServer.stop();
    clearServer.stop();

    const double mib = double(FileSize) / (1024 * 1024);
    std::printf("file: %.0f MiB, best of %d rounds\n", mib, Rounds);
    std::printf("plain loopback TCP copy:          %8.1f ms  %7.1f MiB/s\n", plain,
                mib / plain * 1000);
    for (const Mode& mode : modes) {
        std::printf("upload via voice-server, %-5s:   %8.1f ms  %7.1f MiB/s\n", mode.name,
                    mode.up.ms, mib / mode.up.ms * 1000);
        std::printf("download via voice-server, %-5s: %8.1f ms  %7.1f MiB/s\n", mode.name,
                    mode.down.ms, mib / mode.down.ms * 1000);
    }
    const Mode& inClear = modes[0];
    const Mode& overTls = modes[1];
    std::printf("throughput ratio upload / plain (TLS):     %5.2f\n", plain / overTls.up.ms);
    std::printf("throughput ratio download / plain (TLS):   %5.2f\n", plain / overTls.down.ms);
    std::printf("throughput ratio upload TLS / clear:       %5.2f   (target: at least 0.70)\n",
                inClear.up.ms / overTls.up.ms);
    std::printf("throughput ratio download TLS / clear:     %5.2f   (target: at least 0.70)\n",
                inClear.down.ms / overTls.down.ms);
    // A text sent on the mover's control connection must not wait behind the file's bytes.
    for (const Mode& mode : modes) {
        for (const auto& [direction, figures] :
             {std::pair<const char*, const TextFigures&>{"upload", mode.upTexts},
              std::pair<const char*, const TextFigures&>{"download", mode.downTexts}}) {
            std::printf("texts during %s %-8s: %3d sent, %3d before the transfer ended; "
                        "median %6.2f ms, worst %7.2f ms\n",
                        mode.name, direction, figures.texts, figures.arrivedDuring,
                        figures.median(), figures.worst());
        }
    }
    TextFigures secureTexts = overTls.upTexts;
    secureTexts.add(overTls.downTexts);
    std::printf("text latency during TLS transfers: median %.2f ms (upload), %.2f ms (download) "
                "(target: under 10 ms); worst %.2f ms (target: under 50 ms)\n",
                overTls.upTexts.median(), overTls.downTexts.median(), secureTexts.worst());
    std::printf("texts during TLS transfers before their transfer ended: %d of %d; of those sent "
                "at least %.0f ms before the end, %d of %d (target: all)\n",
                secureTexts.arrivedDuring, secureTexts.texts, LastMomentMs,
                secureTexts.inTimeArrivedDuring, secureTexts.sentInTime);
    return 0;
}

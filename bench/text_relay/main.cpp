// SPDX-License-Identifier: MIT
// bench_text_relay: 2,000 texts of 1,024 characters from one connection handler to another
// through a real voice-server, end to end, over TLS and in clear (a second server started with
// --no-tls), against the same payload over a plain loopback TCP connection in the same run. One
// untimed warm-up round of each, then rounds that alternate the three; prints best and median
// of each and their ratios. BENCH_ROUNDS sets the number of timed rounds, BENCH_VERBOSE prints
// every round.
#include "voicesdk.h"
#include "voiceserverprocess.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
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

constexpr int Texts = 2000;
constexpr int TextLength = 1024;
constexpr int DefaultRounds = 9;

std::mutex g_mutex;
std::condition_variable g_changed;
std::map<uint64, int> g_texts; // texts arrived per handler: the receiver's, the sender's echoes
std::map<uint64, int> g_status;

void onStatus(uint64 handler, int status, unsigned int)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_status[handler] = status;
    g_changed.notify_all();
}

void onText(uint64 handler, anyID, anyID, anyID, const char*, const char*, const char*)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (++g_texts[handler] % Texts == 0)
        g_changed.notify_all();
}

template <typename Predicate> bool waitUntil(Predicate predicate, int seconds = 60)
{
    std::unique_lock<std::mutex> lock(g_mutex);
    return g_changed.wait_for(lock, std::chrono::seconds(seconds), predicate);
}

// The same payload as length-prefixed messages over one plain loopback connection. A fresh one
// per round: a reused one now and then stalls for tens of milliseconds.
class PlainTcp
{
public:
    PlainTcp()
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_listener < 0 ||
            ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(m_listener, 1) != 0 ||
            ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        m_sender = ::socket(AF_INET, SOCK_STREAM, 0);
        if (m_sender < 0 ||
            ::connect(m_sender, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            return;
        m_receiver = ::accept(m_listener, nullptr, nullptr);
        const int on = 1;
        ::setsockopt(m_sender, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    ~PlainTcp()
    {
        for (int fd : {m_sender, m_receiver, m_listener}) {
            if (fd >= 0)
                ::close(fd);
        }
    }
    PlainTcp(const PlainTcp&) = delete;
    PlainTcp& operator=(const PlainTcp&) = delete;

    // Milliseconds for all texts, or -1.
    double run(const std::vector<char>& message)
    {
        if (m_receiver < 0)
            return -1;
        QElapsedTimer timer;
        timer.start();
        std::thread writer([&] {
            for (int i = 0; i < Texts; ++i) {
                size_t done = 0;
                while (done < message.size()) {
                    const ssize_t n =
                        ::write(m_sender, message.data() + done, message.size() - done);
                    if (n <= 0)
                        return;
                    done += size_t(n);
                }
            }
        });
        const size_t total = message.size() * Texts;
        std::vector<char> buffer(65536);
        size_t got = 0;
        while (got < total) {
            const ssize_t n = ::read(m_receiver, buffer.data(), buffer.size());
            if (n <= 0)
                break;
            got += size_t(n);
        }
        const double ms = timer.nsecsElapsed() / 1e6;
        writer.join();
        return got == total ? ms : -1;
    }

private:
    int m_listener = -1;
    int m_sender = -1;
    int m_receiver = -1;
};

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// A sender and a receiver connected to one server, and the texts the relay moved.
struct Pair
{
    uint64 sender = 0;
    uint64 receiver = 0;
    int expected = 0;
    std::vector<double> times;
};

bool connectPair(Pair* pair, quint16 port, bool clear)
{
    // The library talks in clear only when told, for servers started with --no-tls.
    if (clear)
        qputenv("VOICESDK_PLAIN", "1");
    bool ok = ts3client_spawnNewServerConnectionHandler(0, &pair->sender) == ERROR_ok &&
              ts3client_spawnNewServerConnectionHandler(0, &pair->receiver) == ERROR_ok;
    for (uint64 h : {pair->sender, pair->receiver}) {
        ok = ok &&
             ts3client_startConnection(h, "bench", "127.0.0.1", port,
                                       h == pair->sender ? "sender" : "receiver", nullptr, nullptr,
                                       "mossel") == ERROR_ok &&
             waitUntil([h] { return g_status[h] == STATUS_CONNECTION_ESTABLISHED; });
    }
    qunsetenv("VOICESDK_PLAIN");
    return ok;
}

// Milliseconds until the receiver has every text of the round, or -1.
double relayRound(Pair* pair, const QByteArray& text)
{
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < Texts; ++i) {
        if (ts3client_requestSendChannelTextMsg(pair->sender, text.constData(), 1, nullptr) !=
            ERROR_ok)
            return -1;
    }
    pair->expected += Texts;
    const int expected = pair->expected;
    const uint64 receiver = pair->receiver, sender = pair->sender;
    if (!waitUntil([&] { return g_texts[receiver] >= expected; })) {
        std::fprintf(stderr, "bench_text_relay: texts lost (%d of %d)\n", g_texts[receiver],
                     expected);
        return -1;
    }
    const double ms = timer.nsecsElapsed() / 1e6;
    // The sender's echoes finish too before the next round, so they never overlap it.
    if (!waitUntil([&] { return g_texts[sender] >= expected; })) {
        std::fprintf(stderr, "bench_text_relay: echoes lost (%d of %d)\n", g_texts[sender],
                     expected);
        return -1;
    }
    return ms;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    // The library remembers server certificates in the working directory; keep them out of
    // the caller's.
    QTemporaryDir work;
    QDir::setCurrent(work.path());
    // Rounds follow each other at once: the flood limit would measure the bucket, not the relay.
    const QStringList unlimited{QStringLiteral("--flood-burst"), QStringLiteral("1000000"),
                                QStringLiteral("--flood-rate"), QStringLiteral("1000000")};
    VoiceServerProcess secureServer(unlimited);
    VoiceServerProcess clearServer(unlimited + QStringList{QStringLiteral("--no-tls")});
    if (!secureServer.start() || !clearServer.start()) {
        std::fprintf(stderr, "bench_text_relay: voice-server did not start\n%s\n%s\n",
                     qPrintable(secureServer.log()), qPrintable(clearServer.log()));
        return 1;
    }

    ClientUIFunctions functions = {};
    functions.onConnectStatusChangeEvent = onStatus;
    functions.onTextMessageEvent = onText;
    if (ts3client_initClientLib(&functions, nullptr, LogType_NONE, nullptr, nullptr) != ERROR_ok)
        return 1;
    Pair secure, clear;
    if (!connectPair(&secure, secureServer.port(), false) ||
        !connectPair(&clear, clearServer.port(), true)) {
        std::fprintf(stderr, "bench_text_relay: could not connect\n");
        return 1;
    }

    const QByteArray text(TextLength, 'x');
    // The plain connection carries what the relay carries per text: a length and the text.
    std::vector<char> message(4 + TextLength, 'x');
    const int rounds = qMax(1, qEnvironmentVariableIntValue("BENCH_ROUNDS") > 0
                                   ? qEnvironmentVariableIntValue("BENCH_ROUNDS")
                                   : DefaultRounds);
    const bool verbose = qEnvironmentVariableIsSet("BENCH_VERBOSE");

    std::vector<double> plainTimes;
    for (int round = -1; round < rounds; ++round) { // round -1 warms all up
        const double plain = PlainTcp().run(message);
        if (plain < 0) {
            std::fprintf(stderr, "bench_text_relay: plain TCP failed\n");
            return 1;
        }
        const double inClear = relayRound(&clear, text);
        const double overTls = relayRound(&secure, text);
        if (inClear < 0 || overTls < 0)
            return 1;
        if (round >= 0) {
            plainTimes.push_back(plain);
            clear.times.push_back(inClear);
            secure.times.push_back(overTls);
        }
        if (verbose)
            std::printf("round %2d%s: plain %7.2f ms, relay in clear %7.2f ms, over TLS %7.2f ms\n",
                        round, round < 0 ? " (warm-up)" : "", plain, inClear, overTls);
    }

    for (Pair* pair : {&secure, &clear}) {
        ts3client_stopConnection(pair->sender, "");
        ts3client_stopConnection(pair->receiver, "");
        ts3client_destroyServerConnectionHandler(pair->sender);
        ts3client_destroyServerConnectionHandler(pair->receiver);
    }
    ts3client_destroyClientLib();
    secureServer.stop();
    clearServer.stop();

    const auto best = [](const std::vector<double>& v) {
        return *std::min_element(v.begin(), v.end());
    };
    std::printf("texts: %d x %d characters; %d timed rounds after one warm-up\n", Texts, TextLength,
                rounds);
    std::printf("                                best      median\n");
    std::printf("plain loopback TCP:         %8.2f ms %8.2f ms\n", best(plainTimes),
                median(plainTimes));
    std::printf("through voice-server, clear:%8.2f ms %8.2f ms\n", best(clear.times),
                median(clear.times));
    std::printf("through voice-server, TLS:  %8.2f ms %8.2f ms\n", best(secure.times),
                median(secure.times));
    std::printf("ratio (TLS relay / plain):   %7.2f    %8.2f\n",
                best(secure.times) / best(plainTimes), median(secure.times) / median(plainTimes));
    std::printf("ratio (TLS / clear relay):   %7.2f    %8.2f   (target: at most 1.3)\n",
                best(secure.times) / best(clear.times), median(secure.times) / median(clear.times));
    return 0;
}

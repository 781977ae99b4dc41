// SPDX-License-Identifier: MIT
// bench_text_relay: 2,000 texts of 1,024 characters from one connection handler to another
// through a real voice-server, end to end, against the same payload over a plain loopback TCP
// connection in the same run. One untimed warm-up round of each, then rounds that alternate the
// two; prints best and median of both and their ratios. BENCH_ROUNDS sets the number of timed
// rounds, BENCH_VERBOSE prints every round.
#include "voicesdk.h"
#include "voiceserverprocess.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr int Texts = 2000;
constexpr int TextLength = 1024;
constexpr int DefaultRounds = 9;

std::mutex g_mutex;
std::condition_variable g_changed;
std::atomic<uint64> g_receiver{0};
int g_received = 0; // by the receiver
int g_echoed = 0;   // the sender's own copies
int g_status[3] = {};

void onStatus(uint64 handler, int status, unsigned int)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_status[handler % 3] = status;
    g_changed.notify_all();
}

void onText(uint64 handler, anyID, anyID, anyID, const char*, const char*, const char*)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (++(handler == g_receiver ? g_received : g_echoed) % Texts == 0)
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

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    // The relay at full speed, not the flood limit's pace.
    VoiceServerProcess server({QStringLiteral("--flood-burst"), QStringLiteral("1000000"),
                               QStringLiteral("--flood-rate"), QStringLiteral("1000000")});
    if (!server.start()) {
        std::fprintf(stderr, "bench_text_relay: voice-server did not start\n%s\n",
                     qPrintable(server.log()));
        return 1;
    }

    ClientUIFunctions functions = {};
    functions.onConnectStatusChangeEvent = onStatus;
    functions.onTextMessageEvent = onText;
    uint64 sender = 0, receiver = 0;
    if (ts3client_initClientLib(&functions, nullptr, LogType_NONE, nullptr, nullptr) != ERROR_ok ||
        ts3client_spawnNewServerConnectionHandler(0, &sender) != ERROR_ok ||
        ts3client_spawnNewServerConnectionHandler(0, &receiver) != ERROR_ok)
        return 1;
    g_receiver = receiver;
    for (uint64 h : {sender, receiver}) {
        if (ts3client_startConnection(h, "bench", "127.0.0.1", server.port(),
                                      h == sender ? "sender" : "receiver", nullptr, nullptr,
                                      "mossel") != ERROR_ok ||
            !waitUntil([h] { return g_status[h % 3] == STATUS_CONNECTION_ESTABLISHED; })) {
            std::fprintf(stderr, "bench_text_relay: could not connect\n");
            return 1;
        }
    }

    const QByteArray text(TextLength, 'x');
    // The plain connection carries what the relay carries per text: a length and the text.
    std::vector<char> message(4 + TextLength, 'x');
    const int rounds = qMax(1, qEnvironmentVariableIntValue("BENCH_ROUNDS") > 0
                                   ? qEnvironmentVariableIntValue("BENCH_ROUNDS")
                                   : DefaultRounds);
    const bool verbose = qEnvironmentVariableIsSet("BENCH_VERBOSE");

    std::vector<double> relayTimes, plainTimes;
    int expected = 0;
    for (int round = -1; round < rounds; ++round) { // round -1 warms both up
        const double plain = PlainTcp().run(message);
        if (plain < 0) {
            std::fprintf(stderr, "bench_text_relay: plain TCP failed\n");
            return 1;
        }

        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < Texts; ++i) {
            if (ts3client_requestSendChannelTextMsg(sender, text.constData(), 1, nullptr) !=
                ERROR_ok)
                return 1;
        }
        const double posted = timer.nsecsElapsed() / 1e6;
        expected += Texts;
        if (!waitUntil([expected] { return g_received >= expected; })) {
            std::fprintf(stderr, "bench_text_relay: texts lost (%d of %d)\n", g_received, expected);
            return 1;
        }
        const double relay = timer.nsecsElapsed() / 1e6;
        // The sender's echoes finish too before the next round, so they never overlap it.
        if (!waitUntil([expected] { return g_echoed >= expected; })) {
            std::fprintf(stderr, "bench_text_relay: echoes lost (%d of %d)\n", g_echoed, expected);
            return 1;
        }
        if (round >= 0) {
            plainTimes.push_back(plain);
            relayTimes.push_back(relay);
        }
        if (verbose)
            std::printf("round %2d%s: plain %7.2f ms, relay %7.2f ms (posted after %6.2f ms)\n",
                        round, round < 0 ? " (warm-up)" : "", plain, relay, posted);
    }

    ts3client_stopConnection(sender, "");
    ts3client_stopConnection(receiver, "");
    ts3client_destroyServerConnectionHandler(sender);
    ts3client_destroyServerConnectionHandler(receiver);
    ts3client_destroyClientLib();
    server.stop();

    const double bestPlain = *std::min_element(plainTimes.begin(), plainTimes.end());
    const double bestRelay = *std::min_element(relayTimes.begin(), relayTimes.end());
    const double medianPlain = median(plainTimes);
    const double medianRelay = median(relayTimes);
    std::printf("texts: %d x %d characters; %d timed rounds after one warm-up\n", Texts, TextLength,
                rounds);
    std::printf("                          best      median\n");
    std::printf("plain loopback TCP:   %8.2f ms %8.2f ms\n", bestPlain, medianPlain);
    std::printf("through voice-server: %8.2f ms %8.2f ms\n", bestRelay, medianRelay);
    std::printf("ratio (relay / plain): %7.2f    %8.2f\n", bestRelay / bestPlain,
                medianRelay / medianPlain);
    return 0;
}

// SPDX-License-Identifier: MIT
// bench_text_relay: 2,000 texts of 1,024 characters from one connection handler to another
// through a real voice-server, end to end, against the same payload over a plain loopback TCP
// connection in the same run. Prints both times and their ratio (best of several rounds).
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
constexpr int Rounds = 5;

std::mutex g_mutex;
std::condition_variable g_changed;
std::atomic<uint64> g_receiver{0};
int g_received = 0;
int g_status[3] = {};

void onStatus(uint64 handler, int status, unsigned int)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_status[handler % 3] = status;
    g_changed.notify_all();
}

void onText(uint64 handler, anyID, anyID, anyID, const char*, const char*, const char*)
{
    if (handler != g_receiver)
        return;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (++g_received % Texts == 0)
        g_changed.notify_all();
}

template <typename Predicate>
bool waitUntil(Predicate predicate, int seconds = 60)
{
    std::unique_lock<std::mutex> lock(g_mutex);
    return g_changed.wait_for(lock, std::chrono::seconds(seconds), predicate);
}

// The same payload as length-prefixed messages over one plain loopback connection.
double plainTcpMs(const std::vector<char>& message)
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
    const int sender = ::socket(AF_INET, SOCK_STREAM, 0);
    if (::connect(sender, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return -1;
    const int receiver = ::accept(listener, nullptr, nullptr);
    const int on = 1;
    ::setsockopt(sender, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

    QElapsedTimer timer;
    timer.start();
    std::thread writer([&] {
        for (int i = 0; i < Texts; ++i) {
            size_t done = 0;
            while (done < message.size()) {
                const ssize_t n = ::write(sender, message.data() + done, message.size() - done);
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
        const ssize_t n = ::read(receiver, buffer.data(), buffer.size());
        if (n <= 0)
            break;
        got += size_t(n);
    }
    const double ms = timer.nsecsElapsed() / 1e6;
    writer.join();
    ::close(sender);
    ::close(receiver);
    ::close(listener);
    return got == total ? ms : -1;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    VoiceServerProcess server;
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

    double bestRelay = 1e12, bestPlain = 1e12;
    for (int round = 0; round < Rounds; ++round) {
        const double plain = plainTcpMs(message);
        if (plain < 0) {
            std::fprintf(stderr, "bench_text_relay: plain TCP failed\n");
            return 1;
        }
        bestPlain = std::min(bestPlain, plain);

        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < Texts; ++i) {
            if (ts3client_requestSendChannelTextMsg(sender, text.constData(), 1, nullptr) !=
                ERROR_ok)
                return 1;
        }
        const double posted = timer.nsecsElapsed() / 1e6;
        const int target = (round + 1) * Texts;
        if (!waitUntil([target] { return g_received >= target; })) {
            std::fprintf(stderr, "bench_text_relay: texts lost (%d of %d)\n", g_received, target);
            return 1;
        }
        bestRelay = std::min(bestRelay, timer.nsecsElapsed() / 1e6);
        if (qEnvironmentVariableIsSet("BENCH_VERBOSE"))
            std::printf("round %d: posted after %.2f ms, all received after %.2f ms\n", round,
                        posted, timer.nsecsElapsed() / 1e6);
    }

    ts3client_stopConnection(sender, "");
    ts3client_stopConnection(receiver, "");
    ts3client_destroyServerConnectionHandler(sender);
    ts3client_destroyServerConnectionHandler(receiver);
    ts3client_destroyClientLib();
    server.stop();

    std::printf("texts: %d x %d characters, best of %d rounds\n", Texts, TextLength, Rounds);
    std::printf("plain loopback TCP:      %8.2f ms\n", bestPlain);
    std::printf("through voice-server:    %8.2f ms\n", bestRelay);
    std::printf("ratio (relay / plain):   %8.2f\n", bestRelay / bestPlain);
    return 0;
}

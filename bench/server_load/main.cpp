// SPDX-License-Identifier: MIT
// bench_server_load: many clients of the wire protocol on one voice-server, each sending a text
// to its channel every few seconds, while others join and leave the lobby all the time. Prints
// the server's CPU share and memory, texts delivered against expected, and delivery latency,
// beside the same load on a plain echo server (every byte back to its sender) in the same run.
// Each size runs twice on the voice server, over TLS and in clear, and prints what TLS costs
// against clear (CPU, memory, p99). Memory is the median of the resident size sampled each
// second under the load.
//
// BENCH_CLIENTS (sizes to run, comma-separated: 500,2000,5000), BENCH_CHANNELS (50),
// BENCH_SECONDS (60), BENCH_INTERVAL_MS (2000), BENCH_TEXT (200 characters), BENCH_CHURN
// (clients joining and leaving per second, 10), BENCH_SERVER_ARGS (more voice-server options,
// e.g. "--io-threads 1"), BENCH_TLS (1: over TLS only, 0: in clear only; both when unset). The
// join figures are the server's CPU time and the wall time while
// all clients of a size come in at once.
// The load comes from this one process on epoll, so it does not need a thread per client.
#include "frame.h"
#include "processuse.h"
#include "protocol.h"
#include "textmessagecodec.h"
#include "voiceserverprocess.h"

#include <QCborMap>
#include <QCoreApplication>
#include <QFile>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

using namespace voicesdk::protocol;

namespace {

int setting(const char* name, int fallback)
{
    const int value = qEnvironmentVariableIntValue(name);
    return value > 0 ? value : fallback;
}

constexpr qint64 PingIntervalNs = 10'000'000'000LL;

qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int connectTo(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A plain echo server in a child process: epoll, every byte back to whoever sent it.
pid_t startEchoServer(quint16* port)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener, 1024) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return -1;
    *port = ntohs(address.sin_port);
    const pid_t pid = ::fork();
    if (pid != 0) {
        ::close(listener);
        return pid;
    }
    const int poller = ::epoll_create1(0);
    epoll_event event = {};
    event.events = EPOLLIN;
    event.data.fd = listener;
    ::epoll_ctl(poller, EPOLL_CTL_ADD, listener, &event);
    std::vector<epoll_event> ready(256);
    std::vector<char> buffer(65536);
    for (;;) {
        const int n = ::epoll_wait(poller, ready.data(), int(ready.size()), -1);
        for (int i = 0; i < n; ++i) {
            const int fd = ready[size_t(i)].data.fd;
            if (fd == listener) {
                const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (client < 0)
                    continue;
                const int on = 1;
                ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                epoll_event add = {};
                add.events = EPOLLIN;
                add.data.fd = client;
                ::epoll_ctl(poller, EPOLL_CTL_ADD, client, &add);
                continue;
            }
            const ssize_t got = ::read(fd, buffer.data(), buffer.size());
            if (got <= 0) {
                ::close(fd);
                continue;
            }
            // Blocking writes: the bench reads everything, so they never wait long.
            for (ssize_t done = 0; done < got;) {
                const ssize_t w = ::write(fd, buffer.data() + done, size_t(got - done));
                if (w <= 0)
                    break;
                done += w;
            }
        }
    }
}

// What the crowd's TLS connections share: TLS 1.2 or later, any certificate (this measures the
// server, not trust).
SSL_CTX* clientContext()
{
    static SSL_CTX* context = [] {
        SSL_CTX* made = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_min_proto_version(made, TLS1_2_VERSION);
        SSL_CTX_set_verify(made, SSL_VERIFY_NONE, nullptr);
        // Buffers kept: the crowd's side should cost as little CPU as it can, since it shares
        // the machine with the server it measures.
        SSL_CTX_set_mode(made, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        return made;
    }();
    return context;
}

struct Client
{
    ~Client()
    {
        if (ssl)
            SSL_free(ssl);
    }
    int fd = -1;
    SSL* ssl = nullptr;      // over TLS
    bool handshaken = false; // the TLS handshake is done
    bool readWantsWrite = false;
    bool watchingOut = true; // EPOLLOUT is in the watch as last set
    int index = 0;
    quint64 channel = 0;
    bool texting = false; // a texter, not a churner
    bool ready = false;
    FrameDecoder decoder;
    std::string out;
    qint64 nextTextNs = 0;
};

class Load
{
public:
    Load(quint16 port, bool echo, bool tls)
        : m_port(port), m_echo(echo), m_tls(tls), m_poller(::epoll_create1(0))
    {}
    ~Load()
    {
        for (auto& client : m_clients) {
            if (client && client->fd >= 0)
                ::close(client->fd);
        }
        ::close(m_poller);
    }

    Client* open(int index, quint64 channel, bool texting)
    {
        auto client = std::make_unique<Client>();
        client->fd = connectTo(m_port);
        if (client->fd < 0)
            return nullptr;
        client->index = index;
        client->channel = channel;
        client->texting = texting;
        if (m_tls) {
            // What arrives is read here, one recv() per readiness, and handed to OpenSSL from
            // memory: its own socket reads take a header and a body apart, and one more to
            // hear there is nothing left.
            client->ssl = SSL_new(clientContext());
            SSL_set_bio(client->ssl, BIO_new(BIO_s_mem()), BIO_new_socket(client->fd, BIO_NOCLOSE));
            SSL_set_connect_state(client->ssl);
        }
        if (m_echo) {
            client->ready = true; // nothing to say hello to
        } else {
            QCborMap hello{{TypeKey, type::Hello},
                           {field::Version, Version},
                           {field::Nickname, QStringLiteral("load%1").arg(index)},
                           {field::ServerPassword, QStringLiteral("mossel")}};
            if (channel != 0)
                hello.insert(field::DefaultChannel, qint64(channel));
            const QByteArray frame = encodeFrame(hello);
            client->out.append(frame.constData(), size_t(frame.size()));
        }
        epoll_event event = {};
        event.events = EPOLLIN | EPOLLOUT;
        event.data.ptr = client.get();
        ::epoll_ctl(m_poller, EPOLL_CTL_ADD, client->fd, &event);
        m_clients.push_back(std::move(client));
        return m_clients.back().get();
    }

    void close(Client* client)
    {
        ::epoll_ctl(m_poller, EPOLL_CTL_DEL, client->fd, nullptr);
        ::close(client->fd);
        client->fd = -1;
        client->ready = false;
    }

    void send(Client* client, const QByteArray& frame)
    {
        client->out.append(frame.constData(), size_t(frame.size()));
        flush(client);
    }

    // Runs the loop until deadline (steady clock, ns), calling tick every few milliseconds;
    // tick returns true to end it early.
    template <typename Tick> void run(qint64 deadlineNs, Tick tick)
    {
        std::vector<epoll_event> events(512);
        std::vector<char> buffer(65536);
        qint64 nextPing = nowNs() + PingIntervalNs;
        while (nowNs() < deadlineNs) {
            const int n = ::epoll_wait(m_poller, events.data(), int(events.size()), 2);
            for (int i = 0; i < n; ++i) {
                auto* client = static_cast<Client*>(events[size_t(i)].data.ptr);
                if (client->fd < 0)
                    continue;
                if (events[size_t(i)].events & EPOLLOUT)
                    flush(client);
                if (events[size_t(i)].events & (EPOLLIN | EPOLLHUP | EPOLLERR))
                    readFrom(client, buffer);
            }
            // Like the library, every client pings now and then, so none is silent too long.
            if (!m_echo && nowNs() >= nextPing) {
                nextPing += PingIntervalNs;
                const QByteArray ping = encodeFrame(QCborMap{{TypeKey, type::Ping}});
                for (auto& client : m_clients) {
                    if (client->fd >= 0 && client->ready)
                        send(client.get(), ping);
                }
            }
            if (tick())
                return;
        }
    }

    bool allReady(int count) const
    {
        int ready = 0;
        for (const auto& client : m_clients)
            ready += client->ready;
        return ready >= count;
    }

    std::vector<double> latenciesMs;
    qint64 delivered = 0;
    qint64 dropped = 0; // connections the far end closed
    std::vector<quint64> createdChannels;

private:
    // The handshake first; false while it is not done.
    bool handshake(Client* client, bool* wantWrite)
    {
        if (client->handshaken)
            return true;
        const int result = SSL_do_handshake(client->ssl);
        if (result == 1) {
            client->handshaken = true;
            return true;
        }
        const int error = SSL_get_error(client->ssl, result);
        *wantWrite = error == SSL_ERROR_WANT_WRITE;
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
            ERR_clear_error();
            lost(client);
        }
        return false;
    }

    void flush(Client* client)
    {
        bool wantWrite = client->readWantsWrite;
        if (client->ssl && !handshake(client, &wantWrite)) {
            if (client->fd < 0)
                return;
        } else {
            while (!client->out.empty()) {
                ssize_t n = 0;
                if (client->ssl) {
                    n = SSL_write(client->ssl, client->out.data(), int(client->out.size()));
                    if (n <= 0) {
                        wantWrite = SSL_get_error(client->ssl, int(n)) == SSL_ERROR_WANT_WRITE;
                        ERR_clear_error();
                    }
                } else {
                    n = ::write(client->fd, client->out.data(), client->out.size());
                }
                if (n <= 0)
                    break;
                client->out.erase(0, size_t(n));
            }
        }
        const bool out = !client->out.empty() || wantWrite;
        if (out == client->watchingOut)
            return;
        client->watchingOut = out;
        epoll_event event = {};
        event.events = EPOLLIN | (out ? unsigned(EPOLLOUT) : 0u);
        event.data.ptr = client;
        ::epoll_ctl(m_poller, EPOLL_CTL_MOD, client->fd, &event);
    }

    // One read per readiness: the watch is level-triggered, so what is left is heard again.
    void readFrom(Client* client, std::vector<char>& buffer)
    {
        const ssize_t got = ::recv(client->fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return;
        if (got <= 0)
            return lost(client);
        if (!client->ssl)
            return took(client, buffer.data(), int(got));
        BIO_write(SSL_get_rbio(client->ssl), buffer.data(), int(got));
        if (!client->handshaken) {
            flush(client); // the handshake goes on, and then the hello
            if (!client->handshaken)
                return;
        }
        for (;;) {
            const int n = SSL_read(client->ssl, buffer.data(), int(buffer.size()));
            if (n > 0) {
                took(client, buffer.data(), n);
                continue;
            }
            const int error = SSL_get_error(client->ssl, n);
            ERR_clear_error();
            client->readWantsWrite = error == SSL_ERROR_WANT_WRITE;
            if (client->readWantsWrite)
                flush(client);
            else if (error != SSL_ERROR_WANT_READ)
                lost(client);
            return;
        }
    }

    void lost(Client* client)
    {
        ++dropped;
        close(client);
    }

    void took(Client* client, const char* data, int size)
    {
        if (m_echo)
            echoed(client, data, size_t(size));
        else
            framed(client, data, size);
    }

    // The echo server returns the frames as they were sent; only whole ones count.
    void echoed(Client* client, const char* data, size_t size)
    {
        client->decoder.append(QByteArray(data, int(size)));
        FrameDecoder::Frame frame;
        while (client->decoder.nextFrame(&frame) == FrameDecoder::Message) {
            TextRequest request;
            if (decodeTextRequest(frame.data, frame.size, &request))
                arrived(request.message);
        }
    }

    void framed(Client* client, const char* data, int size)
    {
        client->decoder.append(QByteArray::fromRawData(data, size));
        FrameDecoder::Frame frame;
        while (client->decoder.nextFrame(&frame) == FrameDecoder::Message) {
            TextMessageEvent text;
            if (decodeTextMessage(frame.data, frame.size, &text)) {
                arrived(text.message);
                continue;
            }
            // Thousands of joins bring millions of state frames; only two kinds matter here,
            // and looking for their names is much cheaper than decoding every frame.
            const QByteArray body = QByteArray::fromRawData(frame.data, frame.size);
            if (!body.contains("synced") && !body.contains("channelCreated"))
                continue;
            QCborMap message;
            if (client->decoder.decode(frame, &message) != FrameDecoder::Message)
                break;
            const QString type = message.value(TypeKey).toString();
            if (type == type::Synced)
                client->ready = true;
            else if (type == type::ChannelCreated)
                createdChannels.push_back(quint64(message.value(field::ChannelId).toInteger()));
        }
    }

    // Texts carry their sending time.
    void arrived(Utf8View message)
    {
        const qint64 sent = QByteArray::fromRawData(message.data, message.size)
                                .left(message.size < 20 ? message.size : 20)
                                .split(' ')
                                .first()
                                .toLongLong();
        if (sent <= 0)
            return;
        ++delivered;
        latenciesMs.push_back(double(nowNs() - sent) / 1e6);
    }

    quint16 m_port;
    bool m_echo;
    bool m_tls;
    int m_poller;
    std::vector<std::unique_ptr<Client>> m_clients;
};

struct Result
{
    qint64 expected = 0;
    qint64 delivered = 0;
    qint64 dropped = 0;
    double p50 = 0, p99 = 0, max = 0;
    double cpuShare = 0;
    double loadShare = 0; // this process's, which makes the load on the same cores
    double joinCpuSeconds = 0;
    double joinSeconds = 0; // from the first connect until the last one was in
    ProcessUse use;
    bool ok = false;
};

QByteArray textFrame(int length)
{
    QByteArray text = QByteArray::number(nowNs()) + ' ';
    text += QByteArray(qMax(0, length - text.size()), 'x');
    return encodeFrame(QCborMap{{TypeKey, type::Text},
                                {field::TargetMode, TextMessageTarget_CHANNEL},
                                {field::Target, 0},
                                {field::Message, QString::fromLatin1(text)}});
}

Result runLoad(int clients, quint16 port, qint64 pid, bool echo, bool tls)
{
    const int channels = setting("BENCH_CHANNELS", 50);
    const int seconds = setting("BENCH_SECONDS", 60);
    const int intervalMs = setting("BENCH_INTERVAL_MS", 2000);
    const int textLength = setting("BENCH_TEXT", 200);
    const int churnPerSecond = setting("BENCH_CHURN", 10);
    Result result;
    Load load(port, echo, tls);

    // The channels first, made by one client that stays in the lobby.
    std::vector<quint64> ids;
    if (echo) {
        for (int c = 0; c < channels; ++c)
            ids.push_back(quint64(c + 2));
    } else {
        Client* founder = load.open(-1, 0, false);
        bool asked = false;
        load.run(nowNs() + 10'000'000'000LL, [&] {
            if (founder->ready && !asked) {
                asked = true;
                for (int c = 0; c < channels; ++c)
                    load.send(founder, encodeFrame(QCborMap{
                                           {TypeKey, type::ChannelCreate},
                                           {field::ParentId, 0},
                                           {field::Name, QStringLiteral("load%1").arg(c)}}));
            }
            return int(load.createdChannels.size()) >= channels;
        });
        ids = load.createdChannels;
        if (int(ids.size()) != channels) {
            std::fprintf(stderr, "bench_server_load: only %zu of %d channels made\n", ids.size(),
                         channels);
            return result;
        }
    }
    std::vector<Client*> texters;
    const ProcessUse beforeJoins = processUse(pid);
    const qint64 joinsStart = nowNs();
    for (int i = 0; i < clients; ++i) {
        Client* client = load.open(i, ids[size_t(i % channels)], true);
        if (!client)
            return result;
        texters.push_back(client);
    }
    const int everyone = clients + (echo ? 0 : 1); // and the founder
    load.run(nowNs() + 60'000'000'000LL, [&] { return load.allReady(everyone); });
    if (!load.allReady(everyone)) {
        int ready = 0;
        for (Client* client : texters)
            ready += client->ready;
        std::fprintf(stderr, "bench_server_load: %d of %d clients got in, %lld dropped\n", ready,
                     clients, load.dropped);
        result.dropped = load.dropped;
        return result;
    }
    result.joinCpuSeconds = processUse(pid).cpuSeconds - beforeJoins.cpuSeconds;
    result.joinSeconds = double(nowNs() - joinsStart) / 1e9;
    // Members per channel, for what each text should reach.
    const int perChannel = clients / channels;
    const qint64 start = nowNs();
    const qint64 intervalNs = qint64(intervalMs) * 1000000;
    for (size_t i = 0; i < texters.size(); ++i)
        texters[i]->nextTextNs = start + intervalNs * qint64(i) / qint64(texters.size());
    std::deque<Client*> churners;
    qint64 nextChurnNs = start;
    // Resident memory swings with when the heap was last trimmed: the median of a sample a
    // second, not one look at the end.
    std::vector<long> residentKiB;
    qint64 nextSampleNs = start;
    int churnIndex = clients;
    const ProcessUse before = processUse(pid);
    const ProcessUse loadBefore = processUse(QCoreApplication::applicationPid());
    const qint64 deadline = start + qint64(seconds) * 1000'000'000LL;
    load.run(deadline, [&] {
        const qint64 now = nowNs();
        for (Client* client : texters) {
            if (client->fd < 0 || now < client->nextTextNs)
                continue;
            load.send(client, textFrame(textLength));
            client->nextTextNs += intervalNs;
            // Channel texts reach every member, the sender too; the echo only the sender.
            result.expected +=
                echo ? 1 : perChannel + (client->index % channels < clients % channels ? 1 : 0);
        }
        if (now >= nextSampleNs) {
            nextSampleNs += 1000'000'000LL;
            residentKiB.push_back(processUse(pid).rssKiB);
        }
        while (now >= nextChurnNs) {
            nextChurnNs += 1000'000'000LL / churnPerSecond;
            if (churners.size() >= size_t(churnPerSecond)) {
                load.close(churners.front());
                churners.pop_front();
            }
            if (Client* client = load.open(churnIndex++, 0, false))
                churners.push_back(client);
        }
        return false;
    });
    const double wall = double(nowNs() - start) / 1e9;
    const ProcessUse after = processUse(pid);
    result.loadShare =
        (processUse(QCoreApplication::applicationPid()).cpuSeconds - loadBefore.cpuSeconds) / wall;
    // Late deliveries still count; latency shows them.
    load.run(nowNs() + 2000'000'000LL, [] { return false; });
    result.delivered = load.delivered;
    result.dropped = load.dropped;
    std::vector<double>& latency = load.latenciesMs;
    std::sort(latency.begin(), latency.end());
    if (!latency.empty()) {
        result.p50 = latency[latency.size() / 2];
        result.p99 = latency[std::min(latency.size() - 1, latency.size() * 99 / 100)];
        result.max = latency.back();
    }
    result.cpuShare = (after.cpuSeconds - before.cpuSeconds) / wall;
    result.use = after;
    if (!residentKiB.empty()) {
        std::sort(residentKiB.begin(), residentKiB.end());
        result.use.rssKiB = residentKiB[residentKiB.size() / 2];
    }
    result.ok = true;
    return result;
}

void print(const char* name, const Result& r)
{
    std::printf("%-14s %6.1f %% of a core  RSS %7ld KiB  delivered %9lld of %9lld  p50 %6.2f ms"
                "  p99 %7.2f ms  max %7.1f ms  dropped %lld  joins %5.2f s CPU in %5.2f s"
                "  (load: %.1f %% of a core)\n",
                name, r.cpuShare * 100, r.use.rssKiB, r.delivered, r.expected, r.p50, r.p99, r.max,
                r.dropped, r.joinCpuSeconds, r.joinSeconds, r.loadShare * 100);
}

// The voice server under the load, over TLS or in clear.
Result runServer(int clients, bool tls)
{
    // All clients come from one address at once: the bounds on connections without hello are
    // for attackers, not for this crowd.
    const QString room = QString::number(clients + 200);
    QStringList arguments{QStringLiteral("--max-clients"),
                          room,
                          QStringLiteral("--max-pending"),
                          room,
                          QStringLiteral("--max-pending-per-address"),
                          room};
    if (!tls)
        arguments += QStringLiteral("--no-tls");
    const QString extra = qEnvironmentVariable("BENCH_SERVER_ARGS").trimmed();
    if (!extra.isEmpty())
        arguments += extra.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    VoiceServerProcess server(arguments);
    if (!server.start()) {
        std::fprintf(stderr, "bench_server_load: voice-server did not start\n%s\n",
                     qPrintable(server.log()));
        return {};
    }
    const Result relay = runLoad(clients, server.port(), server.processId(), false, tls);
    server.stop();
    if (relay.dropped > 0 || !relay.ok) {
        // Why the server let clients go.
        const QStringList lines = server.log().split(QLatin1Char('\n'));
        int shown = 0;
        for (const QString& line : lines) {
            if (line.contains(QLatin1String(" closed (client ")) &&
                !line.contains(QLatin1String("by peer")) && shown++ < 5)
                std::fprintf(stderr, "%s\n", qPrintable(line));
        }
    }
    return relay;
}

double ratio(double a, double b)
{
    return b > 0 ? a / b : 0.0;
}

// One size: the voice server over TLS and in clear, then the echo server under the same load.
// False when the server did not deliver everything or a run failed.
bool runSize(int clients)
{
    const QByteArray which = qgetenv("BENCH_TLS");
    const bool overTls = which != "0";
    const bool inClear = which != "1";
    Result secure, clear;
    if (overTls)
        secure = runServer(clients, true);
    if (inClear)
        clear = runServer(clients, false);

    quint16 echoPort = 0;
    const pid_t echo = startEchoServer(&echoPort);
    if (echo <= 0)
        return false;
    const Result plain = runLoad(clients, echoPort, echo, true, false);
    ::kill(echo, SIGKILL);
    ::waitpid(echo, nullptr, 0);
    if ((overTls && !secure.ok) || (inClear && !clear.ok) || !plain.ok)
        return false;

    std::printf("%d clients in %d channels, a %d-character text each every %d ms for %d s, %d "
                "joining and leaving per second\n",
                clients, setting("BENCH_CHANNELS", 50), setting("BENCH_TEXT", 200),
                setting("BENCH_INTERVAL_MS", 2000), setting("BENCH_SECONDS", 60),
                setting("BENCH_CHURN", 10));
    if (overTls)
        print("server, TLS", secure);
    if (inClear)
        print("server, clear", clear);
    print("echo baseline", plain);
    if (overTls && inClear)
        std::printf("ratio (TLS / clear): CPU %.2f, memory %.2f, p99 %.2f, joins %.2f\n",
                    ratio(secure.cpuShare, clear.cpuShare),
                    ratio(double(secure.use.rssKiB), double(clear.use.rssKiB)),
                    ratio(secure.p99, clear.p99),
                    ratio(secure.joinCpuSeconds, clear.joinCpuSeconds));
    const Result& relay = inClear ? clear : secure;
    std::printf("ratio (server in clear / echo): CPU %.2f, p99 %.2f\n\n",
                ratio(relay.cpuShare, plain.cpuShare), ratio(relay.p99, plain.p99));
    std::fflush(stdout);
    return (!overTls || secure.delivered >= secure.expected) &&
           (!inClear || clear.delivered >= clear.expected);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    ::signal(SIGPIPE, SIG_IGN);
    rlimit files = {};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);

    QByteArray sizes = qgetenv("BENCH_CLIENTS");
    if (sizes.isEmpty())
        sizes = "500,2000,5000";
    bool all = true;
    for (const QByteArray& size : sizes.split(',')) {
        const int clients = size.trimmed().toInt();
        if (clients <= 0) {
            std::fprintf(stderr, "bench_server_load: bad size '%s'\n", size.constData());
            return 1;
        }
        all = runSize(clients) && all;
    }
    return all ? 0 : 2;
}

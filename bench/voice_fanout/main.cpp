// SPDX-License-Identifier: MIT
// bench_voice_fanout: 500 clients in 50 channels of 10, one speaker in each channel sending
// pre-encoded Opus frames every 20 ms straight on the wire, so the server is what is measured:
// first a voice-server started with --no-tls (datagrams in clear, forwarded as they are), then
// one with TLS (every datagram opened, and sealed again for each listener), then a minimal UDP
// reflector in this process as the floor, all in the same run. Prints each one's CPU share, the
// frames forwarded against the expected ones, and the ratios. BENCH_SECONDS sets the sending
// time per phase (default 8).
#include "frame.h"
#include "processuse.h"
#include "protocol.h"
#include "rawpeer.h"
#include "voicecrypto.h"
#include "voicepacket.h"
#include "voiceserverprocess.h"

#include <QCoreApplication>
#include <QFile>
#include <QThread>

#include <opus.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <thread>
#include <vector>

using namespace voicesdk::protocol;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int Channels = 50;
constexpr int PerChannel = 10;
constexpr int Clients = Channels * PerChannel;

struct Client
{
    std::unique_ptr<RawPeer> control; // to the server of the current phase
    QByteArray token;
    std::unique_ptr<voice::Sealer> sealer; // over TLS: the client's datagrams are sealed
    anyID id = 0;
    int channel = 0;
    int udp = -1;
    quint16 udpPort = 0;
};

int udpSocket(quint16* port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int size = 1 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return -1;
    *port = ntohs(address.sin_port);
    return fd;
}

sockaddr_in loopback(quint16 port)
{
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

double threadCpuSeconds()
{
    timespec t = {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Counts voice datagrams arriving on every client's socket until told to stop.
class Receiver
{
public:
    explicit Receiver(const std::vector<std::unique_ptr<Client>>& clients)
    {
        m_epoll = epoll_create1(0);
        for (const auto& c : clients) {
            epoll_event event = {};
            event.events = EPOLLIN;
            event.data.fd = c->udp;
            epoll_ctl(m_epoll, EPOLL_CTL_ADD, c->udp, &event);
        }
        m_thread = std::thread([this] { run(); });
    }
    ~Receiver()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_epoll);
    }
    quint64 voice() const { return m_voice; }

private:
    void run()
    {
        epoll_event events[64];
        char buffer[2048];
        while (!m_stop) {
            const int n = epoll_wait(m_epoll, events, 64, 50);
            for (int i = 0; i < n; ++i) {
                for (;;) {
                    const ssize_t got = ::recv(events[i].data.fd, buffer, sizeof buffer, 0);
                    if (got < 0)
                        break;
                    if (got > 2 && buffer[1] == char(voice::Kind::Voice))
                        ++m_voice;
                }
            }
        }
    }
    int m_epoll = -1;
    std::atomic<bool> m_stop{false};
    std::atomic<quint64> m_voice{0};
    std::thread m_thread;
};

// The baseline: receives each speaker's datagram and sends it to the other members of its
// channel, with nothing else.
class Reflector
{
public:
    explicit Reflector(const std::vector<std::unique_ptr<Client>>& clients)
    {
        m_fd = udpSocket(&m_port);
        m_members.resize(Channels);
        for (const auto& c : clients) {
            m_members[size_t(c->channel)].push_back(c->udpPort);
            m_channelOf[c->udpPort] = c->channel;
        }
        m_thread = std::thread([this] { run(); });
    }
    ~Reflector()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_fd);
    }
    quint16 port() const { return m_port; }
    double cpuSeconds() const { return m_cpu; }
    quint64 forwarded() const { return m_forwarded; }

private:
    void run()
    {
        char buffer[2048];
        const double start = threadCpuSeconds();
        while (!m_stop) {
            sockaddr_in from = {};
            socklen_t length = sizeof from;
            const ssize_t got = ::recvfrom(m_fd, buffer, sizeof buffer, 0,
                                           reinterpret_cast<sockaddr*>(&from), &length);
            if (got < 0) {
                usleep(200);
                continue;
            }
            const quint16 sender = ntohs(from.sin_port);
            const auto channel = m_channelOf.find(sender);
            if (channel == m_channelOf.end())
                continue;
            for (quint16 port : m_members[size_t(channel->second)]) {
                if (port == sender)
                    continue;
                const sockaddr_in to = loopback(port);
                if (::sendto(m_fd, buffer, size_t(got), 0, reinterpret_cast<const sockaddr*>(&to),
                             sizeof to) == got)
                    ++m_forwarded;
            }
            m_cpu = threadCpuSeconds() - start;
        }
    }
    int m_fd = -1;
    quint16 m_port = 0;
    std::vector<std::vector<quint16>> m_members;
    std::map<quint16, int> m_channelOf;
    std::atomic<bool> m_stop{false};
    std::atomic<double> m_cpu{0};
    std::atomic<quint64> m_forwarded{0};
    std::thread m_thread;
};

enum class Wire { Clear, Sealed, Reflector };

// 50 frames a second from every speaker for the given time; returns the frames sent.
quint64 speak(const std::vector<Client*>& speakers, quint16 port, const QByteArray& opus,
              double seconds, Wire wire)
{
    const sockaddr_in to = loopback(port);
    const int frames = int(seconds * 50);
    quint64 sent = 0;
    Clock::time_point next = Clock::now();
    for (int f = 0; f < frames; ++f) {
        for (Client* c : speakers) {
            voice::Frame frame;
            frame.sequence = quint16(f);
            frame.timestamp = quint32(f) * voice::FrameSamples;
            frame.payload = opus;
            const QByteArray datagram =
                wire == Wire::Sealed
                    ? voice::sealClientDatagram(*c->sealer, c->token, voice::Kind::Voice,
                                                voice::encodeFrame(frame))
                : wire == Wire::Clear ? voice::clientVoiceDatagram(c->token, frame)
                                      : voice::serverVoiceDatagram(encodeFrame(frame));
            if (::sendto(c->udp, datagram.constData(), size_t(datagram.size()), 0,
                         reinterpret_cast<const sockaddr*>(&to), sizeof to) == datagram.size())
                ++sent;
        }
        next += std::chrono::milliseconds(20);
        std::this_thread::sleep_until(next);
    }
    return sent;
}

int fail(const char* what)
{
    std::fprintf(stderr, "bench_voice_fanout: %s\n", what);
    return 1;
}

// Every client says hello to the server, the first one makes the channels, everyone moves into
// theirs, asks for datagrams and pings once so the server learns its address.
bool joinAll(std::vector<std::unique_ptr<Client>>& clients, quint16 port, bool tls)
{
    std::vector<qint64> channelIds;
    const sockaddr_in to = loopback(port);
    for (size_t i = 0; i < clients.size(); ++i) {
        Client* c = clients[i].get();
        c->control = std::make_unique<RawPeer>();
        if (!c->control->open(port, tls))
            return false;
        c->control->send(helloMessage(QStringLiteral("c%1").arg(i)));
        const QCborMap welcome = c->control->next(type::Welcome, 20000);
        c->token = welcome.value(field::VoiceToken).toByteArray();
        c->id = anyID(welcome.value(field::ClientId).toInteger());
        c->sealer.reset(tls ? new voice::Sealer(welcome.value(field::VoiceKeyUp).toByteArray())
                            : nullptr);
        if (c->token.size() != voice::TokenSize || (tls && !c->sealer->isValid()) ||
            c->control->next(type::Synced, 20000).isEmpty())
            return false;
        if (i == 0) {
            for (int ch = 0; ch < Channels; ++ch) {
                c->control->send(QCborMap{{TypeKey, type::ChannelCreate},
                                          {field::ParentId, 0},
                                          {field::Name, QStringLiteral("room %1").arg(ch)}});
                channelIds.push_back(
                    c->control->next(type::ChannelCreated).value(field::ChannelId).toInteger());
            }
        }
        c->control->send(QCborMap{{TypeKey, type::Move},
                                  {field::ClientId, c->id},
                                  {field::ChannelId, channelIds[size_t(c->channel)]}});
        c->control->send(QCborMap{{TypeKey, type::VoicePath}, {field::Udp, true}});
        const char nonce[4] = {0, 0, 0, 1};
        const QByteArray ping =
            tls ? voice::sealClientDatagram(*c->sealer, c->token, voice::Kind::Ping,
                                            QByteArray(nonce, 4))
                : voice::pingDatagram(c->token, 1);
        ::sendto(c->udp, ping.constData(), size_t(ping.size()), 0,
                 reinterpret_cast<const sockaddr*>(&to), sizeof to);
        // Keep the control connections read, so the server never sees one fall behind.
        for (size_t k = 0; k < i; ++k)
            clients[k]->control->socket().readAll();
    }
    // Every move is through once the last client's own move came back.
    if (clients.back()->control->next(type::ClientMoved, 20000).isEmpty())
        return false;
    QThread::msleep(300);
    return true;
}

struct Measured
{
    double cpu = 0; // share of one core
    quint64 sent = 0;
    quint64 heard = 0;
};

Measured measureServer(const std::vector<std::unique_ptr<Client>>& clients,
                       const std::vector<Client*>& speakers, const VoiceServerProcess& server,
                       const QByteArray& opus, double seconds, Wire wire)
{
    Measured m;
    Receiver receiver(clients);
    const double cpuBefore = processUse(server.processId()).cpuSeconds;
    const Clock::time_point start = Clock::now();
    m.sent = speak(speakers, server.port(), opus, seconds, wire);
    QThread::msleep(300);
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    m.cpu = (processUse(server.processId()).cpuSeconds - cpuBefore) / wall;
    m.heard = receiver.voice();
    return m;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const double seconds = qEnvironmentVariableIsSet("BENCH_SECONDS")
                               ? qMax(1, qEnvironmentVariableIntValue("BENCH_SECONDS"))
                               : 8.0;
    // The bench's clients only send voice: they are never idle for the server.
    const QStringList options{QStringLiteral("--max-clients"), QString::number(Clients + 10),
                              QStringLiteral("--idle-timeout-ms"), QStringLiteral("3600000")};
    VoiceServerProcess clearServer(options + QStringList{QStringLiteral("--no-tls")});
    VoiceServerProcess secureServer(options);
    if (!clearServer.start() || !secureServer.start())
        return fail("a server did not start");

    // One 20 ms frame of a tone, encoded once.
    int error = 0;
    OpusEncoder* encoder = opus_encoder_create(48000, 1, OPUS_APPLICATION_VOIP, &error);
    opus_int16 pcm[voice::FrameSamples];
    for (int i = 0; i < voice::FrameSamples; ++i)
        pcm[i] = opus_int16(std::lround(8000 * std::sin(2 * M_PI * 440 * i / 48000.0)));
    unsigned char data[voice::MaxPayload];
    opus_int32 size = opus_encode(encoder, pcm, voice::FrameSamples, data, sizeof data);
    size = opus_encode(encoder, pcm, voice::FrameSamples, data, sizeof data); // past the start
    if (size <= 2)
        return fail("the encoder gave no frame");
    opus_encoder_destroy(encoder);
    const QByteArray opus(reinterpret_cast<const char*>(data), size);

    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < Clients; ++i) {
        auto c = std::make_unique<Client>();
        c->channel = i % Channels;
        c->udp = udpSocket(&c->udpPort);
        clients.push_back(std::move(c));
    }
    std::vector<Client*> speakers;
    for (int ch = 0; ch < Channels; ++ch)
        speakers.push_back(clients[size_t(ch)].get()); // client ch is in channel ch
    const quint64 perFrame = PerChannel - 1;

    std::fprintf(stderr, "connecting %d clients in clear...\n", Clients);
    if (!joinAll(clients, clearServer.port(), false))
        return fail("could not join the clear server");
    const Measured inClear =
        measureServer(clients, speakers, clearServer, opus, seconds, Wire::Clear);
    for (auto& c : clients)
        c->control.reset();
    std::fprintf(stderr, "connecting %d clients over TLS...\n", Clients);
    if (!joinAll(clients, secureServer.port(), true))
        return fail("could not join the TLS server");
    const Measured overTls =
        measureServer(clients, speakers, secureServer, opus, seconds, Wire::Sealed);
    for (auto& c : clients)
        c->control.reset();

    // The reflector, with the same senders and listeners.
    quint64 reflectorSent = 0, reflectorHeard = 0, reflectorForwarded = 0;
    double reflectorCpu = 0;
    {
        Reflector reflector(clients);
        Receiver receiver(clients);
        const Clock::time_point start = Clock::now();
        reflectorSent = speak(speakers, reflector.port(), opus, seconds, Wire::Reflector);
        QThread::msleep(300);
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        reflectorCpu = reflector.cpuSeconds() / wall;
        reflectorHeard = receiver.voice();
        reflectorForwarded = reflector.forwarded();
    }
    clearServer.stop();
    secureServer.stop();

    std::printf("voice fan-out: %d clients in %d channels, %d speaking, %.0f s, %d-byte Opus "
                "frames\n",
                Clients, Channels, Channels, seconds, int(opus.size()));
    const auto report = [&](const char* name, const Measured& m) {
        std::printf("  voice-server, %s: %.1f %% of one core; frames in %llu, forwarded and "
                    "received %llu of %llu expected (%.2f %%)\n",
                    name, 100 * m.cpu, (unsigned long long)m.sent, (unsigned long long)m.heard,
                    (unsigned long long)(m.sent * perFrame),
                    100.0 * double(m.heard) / double(m.sent * perFrame));
    };
    report("clear", inClear);
    report("TLS, sealed datagrams", overTls);
    std::printf("  minimal UDP reflector: %.1f %% of one core; received %llu of %llu expected "
                "(%llu sent)\n",
                100 * reflectorCpu, (unsigned long long)reflectorHeard,
                (unsigned long long)(reflectorSent * perFrame),
                (unsigned long long)reflectorForwarded);
    std::printf("  server CPU, sealed / clear: %.2f (target: within 1.5)\n",
                inClear.cpu > 0 ? overTls.cpu / inClear.cpu : 0.0);
    std::printf("  server CPU / reflector CPU: clear %.2f, sealed %.2f\n",
                reflectorCpu > 0 ? inClear.cpu / reflectorCpu : 0.0,
                reflectorCpu > 0 ? overTls.cpu / reflectorCpu : 0.0);
    std::printf("  target under one core and no frame lost, sealed: %s\n",
                overTls.cpu < 1.0 && overTls.heard == overTls.sent * perFrame ? "met" : "missed");
    return 0;
}

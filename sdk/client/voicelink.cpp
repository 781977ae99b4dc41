// SPDX-License-Identifier: MIT
#include "voicelink.h"

#include "connection.h"
#include "frame.h"
#include "message.h"
#include "protocol.h"
#include "sound/voiceengine.h"

#include <QCborMap>
#include <QDateTime>
#include <QRandomGenerator>
#include <QUdpSocket>
#include <QtEndian>

namespace voicesdk {

using namespace protocol;
using namespace protocol::voice;

namespace {
// While someone is heard, to tell when they stop; else only the pings and reports are due.
constexpr int TickMs = 100;
constexpr int QuietTickMs = 1000;
// A tick may come this early for what is due once a second.
constexpr int EarlyMs = TickMs / 2;
} // namespace

VoiceLink::VoiceLink(uint64 handler, Hooks hooks, QObject* parent)
    : QObject(parent), m_handler(handler), m_hooks(std::move(hooks))
{
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(QuietTickMs);
    connect(&m_timer, &QTimer::timeout, this, &VoiceLink::tick);
    m_clock.start();
}

VoiceLink::~VoiceLink()
{
    stop();
}

void VoiceLink::start(const Datagrams& datagrams, const QHostAddress& server, quint16 port,
                      anyID ownId)
{
    stop();
    if (datagrams.token.size() != TokenSize)
        return;
    m_running = true;
    ++m_session;
    m_token = datagrams.token;
    m_udpOffered = datagrams.offered;
    m_lossAware = datagrams.lossAware;
    m_burstAware = datagrams.lossAware && datagrams.burstAware;
    m_sent.clear();
    m_meters.clear();
    m_lastReport = -1;
    if (m_udpOffered && !datagrams.upKey.isEmpty()) {
        m_sealer = std::make_unique<Sealer>(datagrams.upKey);
        m_opener = std::make_unique<Opener>(datagrams.downKey);
        if (!m_sealer->isValid() || !m_opener->isValid()) {
            log(LogLevel_WARNING, "Voice",
                QStringLiteral("unusable voice keys: voice goes over the control connection"),
                m_handler);
            m_udpOffered = false;
        }
    }
    m_server = server;
    m_port = port;
    m_ownId = ownId;
    m_udp = false;
    m_lastPing = m_lastPong = -1;
    m_sequence = quint16(QRandomGenerator::global()->generate());
    if (m_udpOffered) {
        m_socket = new QUdpSocket(this);
        if (m_socket->bind(QHostAddress(QHostAddress::Any), 0)) {
            connect(m_socket, &QUdpSocket::readyRead, this, &VoiceLink::readDatagrams);
        } else {
            log(LogLevel_WARNING, "Voice",
                QStringLiteral("no UDP socket (%1): voice goes over the control connection")
                    .arg(m_socket->errorString()),
                m_handler);
            delete m_socket;
            m_socket = nullptr;
        }
    }
    ownChannel(&m_channel, &m_members);
    m_engine = sound::voicethread::engine(m_handler);
    if (m_engine) {
        const quint64 session = m_session;
        const uint64 handler = m_handler;
        sound::VoiceTransport transport;
        transport.send = [handler, session](const sound::EncodedVoice& voice) {
            post([handler, session, voice](Core& core) {
                if (VoiceLink* link = core.voiceLink(handler))
                    link->send(session, voice);
            });
        };
        transport.talking = [handler, session](bool talking) {
            post([handler, session, talking](Core& core) {
                if (VoiceLink* link = core.voiceLink(handler))
                    link->ownTalking(session, talking);
            });
        };
        m_engine->attach(std::move(transport));
    }
    m_timer.start();
    tick(); // the first ping now
}

void VoiceLink::stop()
{
    if (!m_running)
        return;
    m_running = false;
    ++m_session;
    m_timer.stop();
    if (m_engine)
        m_engine->detach();
    m_engine.reset();
    delete m_socket;
    m_socket = nullptr;
    m_sealer.reset();
    m_opener.reset();
    m_talking.clear();
    m_meters.clear();
    m_members.clear();
    m_channel = 0;
    QMutexLocker locker(&stateMutex());
    if (HandlerState* state = findHandler(m_handler)) {
        state->self.talking = false;
        for (ClientState& client : state->mirror.clients)
            client.talking = false;
    }
}

bool VoiceLink::ownChannel(quint64* channel, QSet<anyID>* members) const
{
    members->clear();
    QMutexLocker locker(&stateMutex());
    const HandlerState* state = findHandler(m_handler);
    if (!state || !state->mirror.connected)
        return false;
    *channel = state->mirror.clients.value(state->mirror.ownId).channel;
    for (const ClientState& client : state->mirror.clients) {
        if (client.channel == *channel && client.id != state->mirror.ownId)
            members->insert(client.id);
    }
    return true;
}

void VoiceLink::membersChanged()
{
    if (!m_running)
        return;
    quint64 channel = 0;
    QSet<anyID> members;
    ownChannel(&channel, &members);
    for (auto it = m_talking.begin(); it != m_talking.end();) {
        const anyID id = it.key();
        if (members.contains(id)) {
            ++it;
            continue;
        }
        it = m_talking.erase(it);
        stopTalking(id);
    }
    if (m_engine && channel == m_channel) {
        // The own channel stayed: others came or went, which the user hears as a chime.
        if (!(members - m_members).isEmpty())
            m_engine->notify(sound::Notification::ClientEntered);
        if (!(m_members - members).isEmpty())
            m_engine->notify(sound::Notification::ClientLeft);
    }
    for (anyID gone : m_members - members) {
        m_meters.remove(gone);
        if (m_engine)
            m_engine->forgetSpeaker(gone);
    }
    m_channel = channel;
    m_members = members;
}

void VoiceLink::stopTalking(anyID client)
{
    {
        QMutexLocker locker(&stateMutex());
        if (HandlerState* state = findHandler(m_handler)) {
            auto it = state->mirror.clients.find(client);
            if (it != state->mirror.clients.end())
                it->talking = false;
        }
    }
    m_hooks.talkStatus(STATUS_NOT_TALKING, client);
}

void VoiceLink::setUdp(bool udp)
{
    if (udp == m_udp)
        return;
    m_udp = udp;
    log(LogLevel_INFO, "Voice",
        udp ? QStringLiteral("voice over UDP")
            : QStringLiteral("no answer over UDP: voice goes over the control connection"),
        m_handler);
    m_hooks.sendControl(encodeFrame(QCborMap{{TypeKey, type::VoicePath}, {field::Udp, udp}}),
                        false);
}

void VoiceLink::tick()
{
    const qint64 now = m_clock.elapsed();
    if (m_socket) {
        if (m_udp && now - m_lastPong > PongTimeoutMs)
            setUdp(false);
        if (!m_socket)
            return; // telling the server ended the connection
        if (m_lastPing < 0 || now - m_lastPing >= PingIntervalMs - EarlyMs) {
            m_lastPing = now;
            ++m_nonce;
            if (m_sealer) {
                char nonce[4];
                qToBigEndian(m_nonce, nonce);
                sendDatagram(Kind::Ping, QByteArray(nonce, 4));
            } else {
                m_socket->writeDatagram(pingDatagram(m_token, m_nonce), m_server, m_port);
            }
        }
    }
    for (auto it = m_talking.begin(); it != m_talking.end();) {
        if (now - it.value() < SilenceEndsTalkMs) {
            ++it;
            continue;
        }
        const anyID id = it.key();
        it = m_talking.erase(it);
        stopTalking(id);
    }
    if (m_lastReport < 0 || now - m_lastReport >= ReportIntervalMs - EarlyMs) {
        m_lastReport = now;
        report();
    }
    const int interval = m_talking.isEmpty() ? QuietTickMs : TickMs;
    if (m_timer.interval() != interval)
        m_timer.setInterval(interval);
}

// Once a second: the loss of every speaker heard in that second goes to the server (and how
// it clusters, to a server that reads it), and the meters move on; a speaker not heard for the
// whole window is forgotten.
void VoiceLink::report()
{
    for (auto it = m_meters.begin(); it != m_meters.end();) {
        if (m_lossAware && it->heardThisSecond()) {
            QCborMap report{{TypeKey, type::VoiceReport},
                            {field::ClientId, it.key()},
                            {field::Loss, it->lossPercent()}};
            if (m_burstAware)
                report.insert(field::Burst, it->burstLength());
            m_hooks.sendControl(encodeFrame(report), true);
        }
        it->rotate();
        it = it->idle() ? m_meters.erase(it) : std::next(it);
    }
}

bool VoiceLink::lossReported(const QCborMap& message)
{
    MessageReader reader(message);
    const int loss = int(reader.integer(field::Loss, 0, 100));
    const int burst = int(reader.optionalInteger(field::Burst, 0, LossMeter::MaxBurst));
    if (!reader.ok())
        return false;
    // A server that tells no bursts knows only copies of the previous frame.
    if (m_running && m_engine)
        m_engine->setLinkLoss(loss, m_burstAware ? burst : std::min(burst, 1));
    return true;
}

void VoiceLink::sendDatagram(Kind kind, const QByteArray& body)
{
    const QByteArray datagram = sealClientDatagram(*m_sealer, m_token, kind, body);
    if (!datagram.isEmpty())
        m_socket->writeDatagram(datagram, m_server, m_port);
}

void VoiceLink::dropped(const QString& what, const QHostAddress& from, quint16 port)
{
    int held = 0;
    if (m_badLog.allow(QDateTime::currentMSecsSinceEpoch(), &held))
        log(LogLevel_WARNING, "Voice",
            QStringLiteral("dropped %1 from %2:%3 (and %4 more)")
                .arg(what, from.toString())
                .arg(port)
                .arg(held),
            m_handler);
}

void VoiceLink::readDatagrams()
{
    char buffer[MaxSealedDatagram + 1];
    while (m_socket && m_socket->hasPendingDatagrams()) {
        QHostAddress from;
        quint16 port = 0;
        const qint64 size = m_socket->readDatagram(buffer, sizeof buffer, &from, &port);
        if (size < 0)
            break;
        ServerDatagram datagram;
        // Only the server speaks on this socket.
        if (port != m_port || !from.isEqual(m_server, QHostAddress::ConvertV4MappedToIPv4)) {
            dropped(QStringLiteral("a datagram from a stranger"), from, port);
            continue;
        }
        if (!m_opener) {
            if (!decodeServerDatagram(buffer, int(size), &datagram)) {
                dropped(QStringLiteral("a bad datagram"), from, port);
                continue;
            }
        } else {
            switch (openServerDatagram(*m_opener, buffer, int(size), &datagram)) {
            case Opener::Result::Opened:
                break;
            case Opener::Result::Forged:
                dropped(QStringLiteral("a datagram that failed authentication"), from, port);
                continue;
            case Opener::Result::Replayed:
                dropped(QStringLiteral("a replayed or too old datagram"), from, port);
                continue;
            case Opener::Result::Malformed:
                dropped(QStringLiteral("a bad datagram"), from, port);
                continue;
            }
        }
        if (datagram.kind == Kind::Pong) {
            if (datagram.nonce != m_nonce && datagram.nonce + 1 != m_nonce)
                continue; // an old or made-up answer
            m_lastPong = m_clock.elapsed();
            setUdp(true);
        } else {
            deliver(datagram.frame);
        }
    }
}

bool VoiceLink::tunnelled(const QCborMap& message)
{
    MessageReader reader(message);
    const QByteArray bytes =
        reader.bytes(field::VoiceFrame, FrameHeaderBytes + 1, FrameHeaderBytes + MaxPayload);
    Frame frame;
    if (!reader.ok() || !decodeFrame(bytes.constData(), bytes.size(), &frame))
        return false;
    if (m_running)
        deliver(frame);
    return true;
}

void VoiceLink::deliver(const Frame& frame)
{
    // Only members of the own channel are heard: the server says who speaks, the mirror where.
    if (!m_engine || !m_members.contains(frame.clientId))
        return;
    LossMeter& meter = m_meters[frame.clientId];
    meter.frame(frame.sequence);
    sound::IncomingVoice voice;
    voice.speaker = frame.clientId;
    voice.sequence = frame.sequence;
    voice.timestamp = frame.timestamp;
    voice.endOfSpeech = frame.flags & EndOfSpeech;
    voice.payload = frame.payload;
    voice.copies.reserve(frame.copies());
    for (int back = 1; back <= frame.copies(); ++back)
        voice.copies.append(*frame.copy(back));
    // What the listener holds to use the copies follows how its own link loses frames.
    voice.burst = meter.lossPercent() > 0 ? std::max(1, meter.burstLength()) : 0;
    voice.arrivedAt = sound::Clock::now();
    if (!m_engine->receive(std::move(voice)))
        return;
    const bool wasTalking = m_talking.contains(frame.clientId);
    if (frame.flags & EndOfSpeech) {
        if (wasTalking) {
            m_talking.remove(frame.clientId);
            stopTalking(frame.clientId);
        }
        return;
    }
    m_talking.insert(frame.clientId, m_clock.elapsed());
    if (wasTalking)
        return;
    if (m_timer.interval() != TickMs)
        m_timer.setInterval(TickMs);
    {
        QMutexLocker locker(&stateMutex());
        if (HandlerState* state = findHandler(m_handler)) {
            auto it = state->mirror.clients.find(frame.clientId);
            if (it != state->mirror.clients.end())
                it->talking = true;
        }
    }
    m_hooks.talkStatus(STATUS_TALKING, frame.clientId);
}

void VoiceLink::send(quint64 session, const sound::EncodedVoice& voice)
{
    if (!m_running || session != m_session)
        return;
    Frame frame;
    frame.sequence = m_sequence++;
    frame.timestamp = voice.timestamp;
    frame.flags = voice.endOfSpeech ? EndOfSpeech : 0;
    frame.payload = voice.payload;
    // Copies go only to a server that passes them on, older ones only to one that knows them,
    // and only of the frames just before, without a gap: the previous one as it was sent, the
    // older ones at the lower rate where there is one.
    const int wanted = !m_lossAware ? 0 : m_burstAware ? voice.copies : std::min(voice.copies, 1);
    for (int back = 1; back <= wanted && back <= m_sent.size(); ++back) {
        const Sent& before = m_sent[back - 1];
        if (before.timestamp + quint32(back * FrameSamples) != voice.timestamp)
            break;
        const QByteArray& copy =
            back > 1 && !before.lowRate.isEmpty() ? before.lowRate : before.payload;
        Frame with = frame;
        if (back == 1)
            with.previous = copy;
        else
            with.older.append(copy);
        if (payloadSize(with) > MaxPayload)
            break;
        frame = std::move(with);
    }
    m_sent.prepend({voice.timestamp, voice.payload, voice.lowRate});
    if (m_sent.size() > MaxCopies)
        m_sent.removeLast();
    if (m_udp && m_socket) {
        if (m_sealer)
            sendDatagram(Kind::Voice, encodeFrame(frame));
        else
            m_socket->writeDatagram(clientVoiceDatagram(m_token, frame), m_server, m_port);
        return;
    }
    m_hooks.sendControl(
        encodeFrame(QCborMap{{TypeKey, type::Voice}, {field::VoiceFrame, encodeFrame(frame)}}),
        true);
}

void VoiceLink::ownTalking(quint64 session, bool talking)
{
    if (!m_running || session != m_session)
        return;
    {
        QMutexLocker locker(&stateMutex());
        if (HandlerState* state = findHandler(m_handler))
            state->self.talking = talking;
    }
    m_hooks.talkStatus(talking ? STATUS_TALKING : STATUS_NOT_TALKING, m_ownId);
}

} // namespace voicesdk

// SPDX-License-Identifier: MIT
#include "voicerelay.h"

#include "frame.h"
#include "message.h"
#include "serverlog.h"
#include "session.h"
#include "voicecrypto.h"

#include <QCborMap>
#include <QDateTime>
#include <QRandomGenerator>
#include <QUdpSocket>
#include <QtEndian>

#include <algorithm>

namespace voiceserver {

using namespace voicesdk::protocol;
using namespace voicesdk::protocol::voice;

namespace {
// 50 frames a second plus pings and some jitter; beyond it a sender would only multiply load,
// since every frame goes out once per listener.
constexpr double FramesPerSecond = 75;
constexpr double FrameBurst = 25;
// A listener reports once a second on each speaker it hears (at most 32).
constexpr double ReportsPerSecond = 40;
// A report stands for this long: listeners that stopped hearing the speaker fall out.
constexpr qint64 ReportLifeMs = 5000;
// A speaker hears of a lower loss at most this often; of a higher one at once.
constexpr qint64 LossFallIntervalMs = 1000;
} // namespace

struct VoiceRelay::Peer
{
    Session* session = nullptr;
    QByteArray token;
    QHostAddress address; // learnt from its datagrams
    quint16 port = 0;
    bool udp = false; // the client asked for datagrams
    RateLimiter limiter{FramesPerSecond, FrameBurst};
    SequenceWindow window;
    std::unique_ptr<Opener> up;   // sealed: the client's datagrams
    std::unique_ptr<Sealer> down; // sealed: the datagrams to the client
    // What its listeners last said about its frames, by listener, with when.
    struct Report
    {
        int loss = 0;
        int burst = 0;
        qint64 at = 0;
    };
    QHash<anyID, Report> reports;
    RateLimiter reportLimiter{ReportsPerSecond, ReportsPerSecond};
    int toldLoss = -1; // what it was told last
    int toldBurst = -1;
    qint64 toldAt = 0;
};

VoiceRelay::VoiceRelay(const QMap<anyID, Session*>& clients, bool sealed, QObject* parent)
    : QObject(parent)
    , m_clients(clients)
    , m_sealed(sealed)
    , m_buffer(MaxSealedDatagram + 1, Qt::Uninitialized)
{}

VoiceRelay::~VoiceRelay() = default;

bool VoiceRelay::listen(const QHostAddress& address, quint16 port, QString* error)
{
    m_socket = new QUdpSocket(this);
    if (!m_socket->bind(address, port)) {
        *error = m_socket->errorString();
        delete m_socket;
        m_socket = nullptr;
        return false;
    }
    connect(m_socket, &QUdpSocket::readyRead, this, &VoiceRelay::readDatagrams);
    return true;
}

VoiceCredentials VoiceRelay::addClient(Session* session)
{
    auto peer = std::make_shared<Peer>();
    peer->session = session;
    do {
        peer->token = QByteArray(TokenSize, Qt::Uninitialized);
        QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(peer->token.data()),
                                              TokenSize / 4);
    } while (m_byToken.contains(peer->token));
    VoiceCredentials credentials;
    credentials.token = peer->token;
    if (m_sealed) {
        // Fresh keys for every connection: counters start at 0 under a key never used before.
        credentials.upKey = randomKey();
        credentials.downKey = randomKey();
        peer->up = std::make_unique<Opener>(credentials.upKey);
        peer->down = std::make_unique<Sealer>(credentials.downKey);
    }
    m_byToken.insert(peer->token, peer.get());
    m_bySession.insert(session, peer);
    m_indexDirty = true;
    return credentials;
}

void VoiceRelay::removeClient(Session* session)
{
    const std::shared_ptr<Peer> peer = m_bySession.take(session);
    if (!peer)
        return;
    m_byToken.remove(peer->token);
    m_indexDirty = true;
    rebuildIndex(); // no pointer to the peer may outlive it
}

void VoiceRelay::rebuildIndex()
{
    m_channels.clear();
    for (Session* client : m_clients) {
        if (Peer* peer = m_bySession.value(client).get())
            m_channels[client->channel].append(peer);
    }
    m_indexDirty = false;
}

void VoiceRelay::drop(const char* why, const QString& who)
{
    ++m_stats.dropped;
    // Each reason has its own budget: a flood of one kind never hides another.
    logLimited(why, QStringLiteral("voice: dropped %1 from %2").arg(QLatin1String(why), who));
}

void VoiceRelay::readDatagrams()
{
    while (m_socket->hasPendingDatagrams()) {
        QHostAddress address;
        quint16 port = 0;
        // One byte more than the largest datagram tells an oversized one from a full one.
        const qint64 size =
            m_socket->readDatagram(m_buffer.data(), m_buffer.size(), &address, &port);
        if (size < 0)
            break;
        ClientDatagram datagram;
        const QString who = QStringLiteral("%1:%2").arg(address.toString()).arg(port);
        const char* data = m_buffer.constData();
        const bool wellFormed =
            m_sealed ? peekSealedClientDatagram(data, int(size), &datagram.token)
                     : size <= MaxDatagram && decodeClientDatagram(data, int(size), &datagram);
        if (!wellFormed) {
            drop("a malformed datagram", who);
            continue;
        }
        Peer* peer = m_byToken.value(datagram.token);
        if (!peer) {
            drop("a datagram with an unknown token", who);
            continue;
        }
        // The token travels in clear: only a datagram that opens counts for its client, so
        // nobody else can use up its rate or redirect its voice.
        if (m_sealed) {
            switch (openClientDatagram(*peer->up, data, int(size), &datagram)) {
            case Opener::Result::Opened:
                break;
            case Opener::Result::Forged:
                drop("a datagram that failed authentication", who);
                continue;
            case Opener::Result::Replayed:
                drop("a replayed or too old datagram", who);
                continue;
            case Opener::Result::Malformed:
                drop("a malformed sealed datagram", who);
                continue;
            }
        }
        if (!peer->limiter.take(QDateTime::currentMSecsSinceEpoch())) {
            drop("datagrams above the rate", who);
            continue;
        }
        // The latest address wins, so a client behind a NAT that rebinds keeps its voice.
        peer->address = address;
        peer->port = port;
        if (datagram.kind == Kind::Ping) {
            char nonce[4];
            qToBigEndian(datagram.nonce, nonce);
            m_socket->writeDatagram(
                m_sealed ? sealServerDatagram(*peer->down, Kind::Pong, QByteArray(nonce, 4))
                         : pongDatagram(datagram.nonce),
                address, port);
            continue;
        }
        take(peer, datagram.frame, datagram.frameBytes);
    }
}

bool VoiceRelay::handleControl(Session* session, const QString& type, const QCborMap& message)
{
    Peer* peer = m_bySession.value(session).get();
    MessageReader reader(message);
    if (type == type::VoiceReport) {
        const anyID speaker = anyID(reader.integer(field::ClientId, 1, 0xFFFF));
        const int loss = int(reader.integer(field::Loss, 0, 100));
        const int burst = int(reader.optionalInteger(field::Burst, 0, LossMeter::MaxBurst));
        if (!reader.ok())
            return false;
        if (peer)
            report(session, peer, speaker, loss, burst);
        return true;
    }
    if (type == type::VoicePath) {
        const bool udp = reader.boolean(field::Udp);
        if (!reader.ok())
            return false;
        if (peer)
            peer->udp = udp;
        return true;
    }
    const QByteArray bytes =
        reader.bytes(field::VoiceFrame, FrameHeaderBytes + 1, FrameHeaderBytes + MaxPayload);
    if (!reader.ok())
        return false;
    Frame frame;
    if (!decodeFrame(bytes.constData(), bytes.size(), &frame))
        return false;
    if (!peer)
        return true;
    if (!peer->limiter.take(QDateTime::currentMSecsSinceEpoch())) {
        drop("tunnelled frames above the rate", session->peer());
        return true;
    }
    take(peer, frame, bytes);
    return true;
}

// The speaker is told the worst loss and the longest bursts among its listeners' fresh reports,
// so it protects its frames for the listener who needs it most.
void VoiceRelay::report(Session* listener, Peer* listenerPeer, anyID speaker, int loss, int burst)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (!listenerPeer->reportLimiter.take(now)) {
        drop("loss reports above the rate", listener->peer());
        return;
    }
    // A report on someone who left the channel meanwhile is late, not wrong.
    Session* speakerSession = m_clients.value(speaker);
    Peer* to = m_bySession.value(speakerSession).get();
    if (!to || speakerSession == listener || speakerSession->channel != listener->channel)
        return;
    // Someone who reports no bursts but loses frames loses them one at a time.
    to->reports.insert(listener->clientId, {loss, loss > 0 ? std::max(burst, 1) : 0, now});
    int worst = 0;
    int longest = 0;
    for (auto it = to->reports.begin(); it != to->reports.end();) {
        if (now - it->at > ReportLifeMs) {
            it = to->reports.erase(it);
            continue;
        }
        worst = std::max(worst, it->loss);
        longest = std::max(longest, it->burst);
        ++it;
    }
    if (!speakerSession->voiceBursts)
        longest = to->toldBurst;
    const bool rises = worst > to->toldLoss || longest > to->toldBurst;
    if ((worst == to->toldLoss && longest == to->toldBurst) || !speakerSession->voiceLoss ||
        (!rises && now - to->toldAt < LossFallIntervalMs))
        return;
    to->toldLoss = worst;
    to->toldBurst = longest;
    to->toldAt = now;
    QCborMap told{{TypeKey, type::VoiceLoss}, {field::Loss, worst}};
    if (speakerSession->voiceBursts)
        told.insert(field::Burst, longest);
    speakerSession->sendMessage(told);
}

void VoiceRelay::take(Peer* from, Frame& frame, QByteArray frameBytes)
{
    Session* sender = from->session;
    if (!from->window.accept(frame.sequence)) {
        drop("a replayed or stale frame", sender->peer());
        return;
    }
    // A muted client's frames are not passed on, whatever it sends.
    if (sender->inputMuted || sender->inputDeactivated) {
        ++m_stats.dropped;
        return;
    }
    ++m_stats.received;
    qToBigEndian(quint16(sender->clientId), frameBytes.data());
    forward(from, sender->channel, frameBytes);
    if (m_crossing)
        m_crossing(sender->channel, frameBytes);
}

void VoiceRelay::deliver(quint64 channel, const QByteArray& frame)
{
    forward(nullptr, channel, frame);
}

void VoiceRelay::forward(const Peer* from, quint64 channel, const QByteArray& frameBytes)
{
    if (m_indexDirty)
        rebuildIndex();
    const auto members = m_channels.constFind(channel);
    if (members == m_channels.constEnd())
        return;
    // Listeners get as many copies as they read: all, the previous one only (they know no older
    // ones), or none (they know no copies). Each cut is made once, when needed.
    const quint8 flags = frameBytes.size() > FrameHeaderBytes ? quint8(frameBytes[8]) : 0;
    const int carried = (flags & WithOlder) ? 2 : (flags & WithPrevious) ? 1 : 0;
    QByteArray cutBytes[2];
    struct Encoded
    {
        QByteArray datagram;
        QByteArray tunnelled;
    } encoded[3];
    for (Peer* to : *members) {
        Session* listener = to->session;
        if (to == from || listener->outputMuted)
            continue;
        const int reads = listener->voiceBursts ? 2 : listener->voiceLoss ? 1 : 0;
        const int variant = std::min(reads, carried);
        if (variant < carried && cutBytes[variant].isEmpty()) {
            Frame cut;
            if (!decodeFrame(frameBytes.constData(), frameBytes.size(), &cut))
                continue;
            keepCopies(&cut, variant);
            cutBytes[variant] = encodeFrame(cut);
        }
        const QByteArray& bytes = variant < carried ? cutBytes[variant] : frameBytes;
        Encoded& e = encoded[variant];
        bool sent;
        if (to->udp && to->port != 0 && m_socket) {
            // Sealed, every listener gets its own copy under its own key.
            if (m_sealed)
                e.datagram = sealServerDatagram(*to->down, Kind::Voice, bytes);
            else if (e.datagram.isEmpty())
                e.datagram = serverVoiceDatagram(bytes);
            sent = !e.datagram.isEmpty() &&
                   m_socket->writeDatagram(e.datagram, to->address, to->port) == e.datagram.size();
        } else {
            if (e.tunnelled.isEmpty())
                e.tunnelled =
                    encodeFrame(QCborMap{{TypeKey, type::Voice}, {field::VoiceFrame, bytes}});
            sent = listener->sendVoice(e.tunnelled);
        }
        if (sent)
            ++m_stats.forwarded;
        else
            drop("a frame the network did not take", listener->peer());
    }
}

} // namespace voiceserver

// SPDX-License-Identifier: MIT
#include "screenrelay.h"

#include "frame.h"
#include "message.h"
#include "protocol.h"
#include "screenconnection.h"
#include "screenrelaystate.h"
#include "serverlog.h"
#include "session.h"
#include "tls.h"

#include <QCborArray>
#include <QDataStream>
#include <QDateTime>
#include <QRandomGenerator>
#include <QTimer>

#include <cmath>

namespace voiceserver {

using namespace voicesdk::protocol;
using namespace voicesdk::protocol::screen;

namespace {

constexpr int KeySize = 32;
constexpr int TicketMs = 10000;
// Key frames cost the sharer and every watcher; they are asked for at most this often.
constexpr int KeyRequestGapMs = 500;
// A watcher asks for a key frame at most this often; it asks only once its link has room for
// one, so a watcher that stopped reading costs the others nothing.
constexpr int KeyRetryMs = 1000;
// A key frame just queued for a watcher counts beside its budget for this long: the pictures
// after it must not be dropped for the key frame's own size.
constexpr int KeyGraceMs = 2000;
// A watcher may fall this far behind (at the pace its link drained so far) before pictures
// are dropped for it; what is queued never exceeds a few of these.
constexpr double BehindSeconds = 0.5;
constexpr qint64 MinBudget = 48 * 1024;
constexpr qint64 MaxBudget = 2 * 1024 * 1024;
constexpr qint64 FirstBudget = 256 * 1024;
// A watcher with this much waiting is behind: its link's pace is measured then.
constexpr qint64 BehindBytes = 16 * 1024;
// A watcher whose link takes less than this share of the full stream's rate is moved to the
// scaled-down stream, which runs at this share of the slowest such link's pace (at least the
// minimum); now and then it tries the full stream again, ever less often while it fails.
constexpr double SlowShare = 0.8;
constexpr double LowShare = 0.8;
constexpr quint32 MinLowKbps = 150;
constexpr quint32 FirstLowKbps = 300; // before the link's pace is known
constexpr int LowEveryMs = 500;
using screenrelay::FirstTrialMs;
constexpr int MaxTrialMs = 300000;
constexpr int TrialFailsWithinMs = 5000;
constexpr int QuietForTrialMs = 10000;
// Input per member: a burst, then a steady rate per second.
using screenrelay::InputBurst;
constexpr double InputRate = 1000;
// Input waiting for a sharer that does not read it.
constexpr qint64 MaxInputBacklog = 64 * 1024;
constexpr int SmallPacket = 2 * 1024;
using screenrelay::ForgetMs;
using screenrelay::RefreshMs;
using screenrelay::RefusalBurst;
// How often watchers waiting for a key frame are looked at.
constexpr int KeyCheckMs = 200;

qint64 now()
{
    return QDateTime::currentMSecsSinceEpoch();
}

} // namespace

ScreenRelay::ScreenRelay(const QMap<anyID, Session*>& clients,
                         const QHash<quint64, QVector<Session*>>& members, QObject* parent)
    : QObject(parent), m_clients(clients), m_members(members)
{
    m_keyTimer.setInterval(KeyCheckMs);
    connect(&m_keyTimer, &QTimer::timeout, this, &ScreenRelay::watchKeys);
    m_refresh.setInterval(RefreshMs);
    connect(&m_refresh, &QTimer::timeout, this, &ScreenRelay::refresh);
}

ScreenRelay::~ScreenRelay()
{
    for (const auto& peer : qAsConst(m_peers))
        if (peer->stream)
            delete peer->stream.data();
}

bool ScreenRelay::handles(const QString& type)
{
    return type == type::ScreenOpen || type == type::ScreenShare || type == type::ScreenWatch ||
           type == type::ScreenControl || type == type::ScreenTake;
}

ScreenRelay::Peer& ScreenRelay::peerOf(Session* session)
{
    auto it = m_peers.find(session);
    if (it == m_peers.end())
        it = m_peers.insert(session, std::make_shared<Peer>());
    return **it;
}

ScreenRelay::Peer* ScreenRelay::peerOf(anyID client) const
{
    Session* session = m_clients.value(client);
    return session ? m_peers.value(session).get() : nullptr;
}

bool ScreenRelay::handleControl(Session* session, const QString& type, const QCborMap& message)
{
    MessageReader reader(message);
    if (type == type::ScreenOpen) {
        if (!reader.ok())
            return false;
        openStream(session, peerOf(session));
    } else if (type == type::ScreenShare) {
        const bool on = reader.boolean(field::On);
        const int width = int(reader.optionalInteger(field::Width, 0, MaxWidth));
        const int height = int(reader.optionalInteger(field::Height, 0, MaxHeight));
        if (!reader.ok() || (on && (width < 1 || height < 1)))
            return false;
        const auto own = m_shares.value(session->clientId);
        if (on)
            startShare(session, width, height);
        else if (own && own->here())
            endShare(session->clientId, QStringLiteral("stopped"));
        else
            refuse(session, session->clientId, ERROR_screen_not_sharing,
                   QStringLiteral("nothing is shared"));
    } else if (type == type::ScreenWatch) {
        const anyID sharer = anyID(reader.integer(field::ClientId, 1, 0xFFFF));
        const bool on = reader.boolean(field::On);
        if (!reader.ok())
            return false;
        watch(session, sharer, on);
    } else if (type == type::ScreenControl) {
        const anyID controller = anyID(reader.integer(field::Controller, 0, 0xFFFF));
        const bool open = reader.optionalBoolean(field::Open);
        if (!reader.ok())
            return false;
        setController(session, controller, open);
    } else if (type == type::ScreenTake) {
        const anyID sharer = anyID(reader.integer(field::ClientId, 1, 0xFFFF));
        const bool on = reader.boolean(field::On);
        if (!reader.ok())
            return false;
        const std::shared_ptr<Share> share = m_shares.value(sharer);
        if (!share || share->channel != session->channel)
            refuse(session, sharer, ERROR_screen_not_sharing,
                   QStringLiteral("client %1 shares no screen in this channel").arg(sharer));
        else if (!share->here())
            cross(share->instance, [&] {
                QByteArray payload;
                QDataStream out(&payload, QIODevice::WriteOnly);
                out << quint8('T') << m_crossing.self << quint16(sharer)
                    << quint16(session->clientId) << on;
                return payload;
            }());
        else if (QString why; !take(session->clientId, *share, on, &why))
            refuse(session, sharer, ERROR_screen_not_controller, why);
    } else {
        return false;
    }
    return true;
}

void ScreenRelay::openStream(Session* session, Peer& peer)
{
    if (!peer.ticket.isEmpty())
        m_tickets.remove(peer.ticket);
    QByteArray key(KeySize, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(key.data()), KeySize / 4);
    peer.ticket = key;
    m_tickets.insert(key, Ticket{session, now() + TicketMs});
    // Keys nobody used go as others are handed out.
    for (auto it = m_tickets.begin(); it != m_tickets.end();)
        it = it->expiresAt < now() || !it->owner ? m_tickets.erase(it) : std::next(it);
    session->sendMessage(QCborMap{{TypeKey, type::ScreenReady}, {field::Key, key}});
}

void ScreenRelay::attach(Session* session, const QCborMap& message, std::function<void()> done)
{
    MessageReader reader(message);
    const QByteArray key = reader.bytes(field::Key, KeySize, KeySize);
    if (!reader.ok()) {
        session->protocolError(reader.errorString());
        return;
    }
    const Ticket ticket = m_tickets.take(key);
    Session* owner = ticket.owner;
    if (!owner || ticket.expiresAt < now() || owner->state() != Session::State::Active) {
        logLimited(
            "screen refused",
            QStringLiteral("%1: screen connection with an unknown key").arg(session->peer()));
        session->close(QStringLiteral("unknown screen key"), false);
        return;
    }
    QByteArray pending;
    std::unique_ptr<TlsStream> stream = session->detachStream(&pending);
    done();
    if (!stream)
        return;
    Peer& peer = peerOf(owner);
    peer.ticket.clear();
    if (peer.stream)
        peer.stream->abort(QStringLiteral("replaced by a new screen connection"));
    auto* connection = new ScreenConnection(std::move(stream), pending, this);
    peer.stream = connection;
    peer.backlogAfter = 0;
    peer.lookedAt = 0;
    peer.rate = 0;
    const auto own = m_shares.value(owner->clientId);
    connection->setMaxPacket(own && own->here() ? 1 + MaxPacket : SmallPacket);
    const QPointer<Session> target(owner);
    connection->setHandler([this, target](const PacketReader::Body& body) {
        if (target)
            streamPacket(target, body);
    });
    connect(connection, &ScreenConnection::finished, this,
            [this, target, connection](const QString& reason) {
                if (target)
                    streamEnded(target, connection, reason);
            });
    logLine(QStringLiteral("client %1 opened its screen connection").arg(owner->clientId));
    // Whatever it watches starts with a key frame.
    for (const anyID sharer : qAsConst(peer.watching))
        if (auto share = m_shares.value(sharer)) {
            share->watchers[owner->clientId] = WatchState{};
            if (!share->shape.isEmpty())
                connection->send(share->shape);
        }
    watchKeys();
}

void ScreenRelay::streamEnded(Session* session, ScreenConnection* stream, const QString& reason)
{
    auto it = m_peers.find(session);
    if (it == m_peers.end() || (*it)->stream != stream)
        return;
    logLine(QStringLiteral("client %1 screen connection closed: %2")
                .arg(session->clientId)
                .arg(reason));
}

void ScreenRelay::startShare(Session* session, int width, int height)
{
    auto& share = m_shares[session->clientId];
    const bool fresh = !share || !share->here();
    if (fresh) {
        share = std::make_shared<Share>();
        share->sharer = session->clientId;
        share->channel = session->channel;
        logLine(QStringLiteral("client %1 shares its screen (%2 x %3) in channel %4")
                    .arg(session->clientId)
                    .arg(width)
                    .arg(height)
                    .arg(session->channel));
    }
    share->width = width;
    share->height = height;
    Peer& peer = peerOf(session);
    if (peer.stream)
        peer.stream->setMaxPacket(1 + MaxPacket);
    announceShare(*share, true);
    if (fresh)
        tellWatcherCount(*share);
}

void ScreenRelay::endShare(anyID sharer, const QString& why)
{
    const std::shared_ptr<Share> share = m_shares.take(sharer);
    if (!share)
        return;
    logLine(QStringLiteral("client %1 no longer shares its screen: %2").arg(sharer).arg(why));
    for (auto it = share->watchers.cbegin(); it != share->watchers.cend(); ++it)
        if (Peer* watcher = peerOf(it.key()))
            watcher->watching.remove(sharer);
    if (Peer* peer = peerOf(sharer); peer && peer->stream && share->here())
        peer->stream->setMaxPacket(SmallPacket);
    announceShare(*share, false);
}

void ScreenRelay::watch(Session* session, anyID sharer, bool on)
{
    const std::shared_ptr<Share> share = m_shares.value(sharer);
    Peer& peer = peerOf(session);
    if (!on) {
        if (!peer.watching.remove(sharer))
            return refuse(session, sharer, ERROR_screen_not_watching,
                          QStringLiteral("not watching"));
        if (share) {
            share->watchers.remove(session->clientId);
            tellWatcherCount(*share);
        }
        return;
    }
    if (!share || share->channel != session->channel)
        return refuse(session, sharer, ERROR_screen_not_sharing,
                      QStringLiteral("client %1 shares no screen in this channel").arg(sharer));
    if (sharer == session->clientId)
        return refuse(session, sharer, ERROR_parameter_invalid,
                      QStringLiteral("a share is not watched by its sharer"));
    if (peer.watching.contains(sharer))
        return;
    peer.watching.insert(sharer);
    share->watchers.insert(session->clientId, WatchState{});
    if (peer.stream && !share->shape.isEmpty())
        peer.stream->send(share->shape);
    tellWatcherCount(*share);
    watchKeys();
}

void ScreenRelay::setController(Session* session, anyID controller, bool open)
{
    const std::shared_ptr<Share> share = m_shares.value(session->clientId);
    if (!share || !share->here())
        return refuse(session, session->clientId, ERROR_screen_not_sharing,
                      QStringLiteral("nothing is shared"));
    if (controller != 0) {
        const Session* member = m_clients.value(controller);
        const quint64 channel = member                 ? member->channel
                                : m_crossing.channelOf ? m_crossing.channelOf(controller)
                                                       : 0;
        if (channel != share->channel || controller == session->clientId)
            return refuse(
                session, session->clientId, ERROR_client_invalid_id,
                QStringLiteral("client %1 is no other member of the channel").arg(controller));
    }
    share->controller = controller;
    share->open = open;
    logLine(QStringLiteral("client %1 gives control of its screen to %2%3")
                .arg(session->clientId)
                .arg(controller)
                .arg(open ? QStringLiteral(" (open to any watcher)") : QString()));
    announceControl(*share);
}

bool ScreenRelay::take(anyID member, Share& share, bool on, QString* why)
{
    if (!on) {
        if (share.controller == member) {
            share.controller = 0;
            announceControl(share);
        }
        return true;
    }
    if (share.controller == member)
        return true;
    if (!share.open || share.controller != 0) {
        *why = share.controller != 0
                   ? QStringLiteral("client %1 controls that screen").arg(share.controller)
                   : QStringLiteral("the sharer gives control to nobody");
        return false;
    }
    share.controller = member;
    announceControl(share);
    return true;
}

void ScreenRelay::clientGone(Session* session)
{
    if (session->clientId != 0) {
        const auto own = m_shares.value(session->clientId);
        if (own && own->here())
            endShare(session->clientId, QStringLiteral("left"));
        for (const auto& share : qAsConst(m_shares)) {
            share->watchers.remove(session->clientId);
            if (share->here() && share->controller == session->clientId) {
                share->controller = 0;
                announceControl(*share);
            }
        }
    }
    const std::shared_ptr<Peer> peer = m_peers.take(session);
    if (!peer)
        return;
    for (const anyID sharer : qAsConst(peer->watching))
        if (auto share = m_shares.value(sharer))
            tellWatcherCount(*share);
    m_tickets.remove(peer->ticket);
    if (peer->stream)
        peer->stream->abort(QStringLiteral("its client left"));
}

void ScreenRelay::clientMoved(Session* session, quint64 from)
{
    if (from != session->channel) {
        const auto own = m_shares.value(session->clientId);
        if (own && own->here())
            endShare(session->clientId, QStringLiteral("moved to another channel"));
        Peer& peer = peerOf(session);
        for (const anyID sharer : qAsConst(peer.watching))
            if (auto share = m_shares.value(sharer)) {
                share->watchers.remove(session->clientId);
                tellWatcherCount(*share);
            }
        peer.watching.clear();
        for (const auto& share : qAsConst(m_shares))
            if (share->here() && share->controller == session->clientId) {
                share->controller = 0;
                announceControl(*share);
            }
    }
    clientEntered(session);
}

void ScreenRelay::clientEntered(Session* session)
{
    // The shares running where the client is now.
    for (const auto& share : qAsConst(m_shares)) {
        if (share->channel != session->channel || share->sharer == session->clientId)
            continue;
        session->sendMessage(QCborMap{{TypeKey, type::ScreenShared},
                                      {field::ClientId, share->sharer},
                                      {field::On, true},
                                      {field::Width, share->width},
                                      {field::Height, share->height}});
        if (share->controller != 0 || share->open)
            session->sendMessage(QCborMap{{TypeKey, type::ScreenControlled},
                                          {field::ClientId, share->sharer},
                                          {field::Controller, share->controller},
                                          {field::Open, share->open}});
    }
}

void ScreenRelay::streamPacket(Session* session, const PacketReader::Body& body)
{
    Peer& peer = peerOf(session);
    QString error;
    const auto fault = [&](const QString& why) {
        if (peer.stream)
            peer.stream->abort(QStringLiteral("protocol error: %1").arg(why));
    };
    const auto own = m_shares.value(session->clientId);
    Share* share = own && own->here() ? own.get() : nullptr;
    const auto whole = [&] {
        return QByteArray(body.data - 1 - LengthBytes, LengthBytes + 1 + body.size);
    };
    switch (body.kind) {
    case Kind::Video: {
        Video video;
        if (!decodeVideo(body.data, body.size, &video, &error))
            return fault(error);
        if (!share) {
            logLimited("screen stray", QStringLiteral("client %1 sent a picture while sharing "
                                                      "nothing; dropped")
                                           .arg(session->clientId));
            return;
        }
        ++m_stats.frames;
        if (video.flags & LowFrame) {
            if (video.width > share->width || video.height > share->height)
                return; // of a size before, late
        } else if (video.width != share->width || video.height != share->height) {
            if (!(video.flags & KeyFrame))
                return; // the old size's pictures, late
            share->width = video.width;
            share->height = video.height;
            announceShare(*share, true);
        }
        return relayPacket(*share, Kind::Video, withClient(whole(), share->sharer));
    }
    case Kind::Cursor:
    case Kind::CursorShape: {
        if (body.kind == Kind::Cursor) {
            Cursor cursor;
            if (!decodeCursor(body.data, body.size, &cursor, &error))
                return fault(error);
        } else {
            CursorShape shape;
            if (!decodeCursorShape(body.data, body.size, &shape, &error))
                return fault(error);
        }
        if (share)
            relayPacket(*share, body.kind, withClient(whole(), share->sharer));
        return;
    }
    case Kind::Input: {
        Input input;
        if (!decodeInput(body.data, body.size, &input, &error))
            return fault(error);
        return forwardInput(session, std::move(input));
    }
    case Kind::KeyRequest: {
        quint16 sharer = 0;
        quint8 stream = FullStream;
        if (!decodeKeyRequest(body.data, body.size, &sharer, &stream, &error))
            return fault(error);
        const std::shared_ptr<Share> watched = m_shares.value(sharer);
        if (!watched || !watched->watchers.contains(session->clientId))
            return;
        WatchState& state = watched->watchers[session->clientId];
        if (state.stream == stream)
            state.needKey = true;
        return watchKeys();
    }
    case Kind::LowStream:
        return fault(QStringLiteral("the streams are the server's to choose"));
    }
}

void ScreenRelay::relayPacket(Share& share, Kind kind, const QByteArray& packet)
{
    // Once to every other instance with watchers of it: pictures of the streams they watch.
    if (share.here() && crossing() && !share.remotes.isEmpty()) {
        const bool low = kind == Kind::Video && packet.size() > LengthBytes + 8 &&
                         (quint8(packet.at(LengthBytes + 1 + 6)) & LowFrame);
        QByteArray payload;
        for (auto it = share.remotes.cbegin(); it != share.remotes.cend(); ++it) {
            const int watchers =
                kind == Kind::Video ? it->watchers[low ? 1 : 0] : it->watchers[0] + it->watchers[1];
            if (watchers == 0)
                continue;
            if (payload.isEmpty()) {
                QDataStream out(&payload, QIODevice::WriteOnly);
                out << quint8('V') << m_crossing.self << quint16(share.sharer) << packet;
            }
            cross(it.key(), payload);
        }
    }
    if (kind != Kind::Video)
        return forwardPointer(share, kind, packet);
    Video video;
    QString error;
    if (decodeVideo(packet.constData() + LengthBytes + 1, packet.size() - LengthBytes - 1, &video,
                    &error))
        forwardVideo(share, video, packet);
}

void ScreenRelay::forwardPointer(Share& share, Kind kind, const QByteArray& packet)
{
    if (kind == Kind::CursorShape)
        share.shape = packet;
    for (auto it = share.watchers.cbegin(); it != share.watchers.cend(); ++it) {
        Peer* to = peerOf(it.key());
        // Positions are worth nothing late; the shape is small and needed.
        if (to && to->stream && (kind == Kind::CursorShape || to->stream->backlog() < MinBudget))
            to->stream->send(packet);
    }
}

qint64 ScreenRelay::budgetOf(const Peer& peer)
{
    return peer.rate == 0 ? FirstBudget
                          : qBound<qint64>(MinBudget, qint64(peer.rate * BehindSeconds), MaxBudget);
}

void ScreenRelay::forwardVideo(Share& share, const Video& video, const QByteArray& packet)
{
    const bool key = video.flags & KeyFrame;
    const quint8 stream = (video.flags & LowFrame) ? ScaledStream : FullStream;
    const qint64 at = now();
    if (stream == FullStream) {
        // The full stream's rate, over a second at a time.
        if (share.rateSince == 0)
            share.rateSince = at;
        share.rateBytes += packet.size();
        if (at - share.rateSince >= 1000) {
            const double kbps = share.rateBytes * 8.0 / (at - share.rateSince);
            share.fullKbps = share.fullKbps == 0 ? kbps : 0.6 * share.fullKbps + 0.4 * kbps;
            share.rateSince = at;
            share.rateBytes = 0;
        }
    }
    bool moved = false;
    for (auto it = share.watchers.begin(); it != share.watchers.end(); ++it) {
        WatchState& state = it.value();
        Peer* peer = peerOf(it.key());
        if (!peer || !peer->stream) {
            state.needKey = true;
            continue;
        }
        // The pace the watcher's link drained at since the last look, while it was behind.
        const qint64 backlog = peer->stream->backlog();
        if (backlog > BehindBytes)
            peer->behindAt = at;
        if (peer->lookedAt > 0 && peer->backlogAfter > BehindBytes) {
            const double seconds = qMax<qint64>(1, at - peer->lookedAt) / 1000.0;
            const double drained = double(qMax<qint64>(0, peer->backlogAfter - backlog));
            const double sample = drained / seconds;
            peer->rate = peer->rate == 0 ? sample : 0.7 * peer->rate + 0.3 * sample;
        }
        if (state.stream != stream)
            continue;
        bool send = !state.needKey || key;
        const qint64 budget =
            budgetOf(*peer) + (at - state.keySentAt < KeyGraceMs ? state.keyBytes : 0);
        if (send && backlog > budget) {
            // Behind: the watcher skips to the next key frame, asked for once its link has
            // room (watchKeys); a link too slow for the full stream takes the scaled one.
            send = false;
            state.needKey = true;
            const double linkKbps = peer->rate * 8 / 1000;
            const bool failedTrial =
                state.trialStartedAt != 0 && at - state.trialStartedAt < TrialFailsWithinMs;
            if (stream == FullStream && peer->rate > 0 &&
                (failedTrial || linkKbps < SlowShare * share.fullKbps)) {
                state.stream = ScaledStream;
                if (failedTrial)
                    state.trialMs = qMin(state.trialMs * 2, MaxTrialMs);
                state.trialStartedAt = 0;
                state.trialAt = at + state.trialMs;
                moved = true;
                logLimited("screen stream",
                           QStringLiteral("client %1 watches client %2's screen scaled down: its "
                                          "link takes %3 kbit/s")
                               .arg(it.key())
                               .arg(share.sharer)
                               .arg(int(linkKbps)));
            }
        }
        if (send) {
            if (key) {
                state.needKey = false;
                state.keySentAt = at;
                state.keyBytes = packet.size();
            }
            peer->stream->send(packet);
            ++m_stats.forwarded;
        } else {
            ++m_stats.dropped;
        }
        // Long enough on the scaled stream without falling behind: the full one is tried.
        if (stream == ScaledStream && at >= state.trialAt &&
            at - peer->behindAt > QuietForTrialMs) {
            state.stream = FullStream;
            state.needKey = true;
            state.trialStartedAt = at;
            moved = true;
        }
        peer->backlogAfter = peer->stream ? peer->stream->backlog() : 0;
        peer->lookedAt = at;
    }
    if (moved && !share.here())
        tellWatching(share);
    boundLowStream(share, at);
    watchKeys();
}

void ScreenRelay::boundLowStream(Share& share, qint64 at)
{
    if (at - share.lowAt < LowEveryMs)
        return;
    share.lowAt = at;
    // The scaled stream runs at what its slowest watcher's link takes, anywhere in the cluster.
    quint32 kbps = 0;
    for (auto it = share.watchers.cbegin(); it != share.watchers.cend(); ++it) {
        if (it->stream != ScaledStream)
            continue;
        const Peer* peer = peerOf(it.key());
        const quint32 link = peer && peer->rate > 0
                                 ? qMax(MinLowKbps, quint32(peer->rate * 8 / 1000 * LowShare))
                                 : FirstLowKbps;
        kbps = kbps == 0 ? link : qMin(kbps, link);
    }
    for (auto it = share.remotes.cbegin(); it != share.remotes.cend(); ++it)
        if (it->lowKbps > 0 && at - it->seenAt < ForgetMs)
            kbps = kbps == 0 ? it->lowKbps : qMin(kbps, it->lowKbps);
    const bool changed = (kbps == 0) != (share.lowSent == 0) ||
                         qAbs(double(kbps) - double(share.lowSent)) > 0.1 * share.lowSent;
    if (!changed)
        return;
    share.lowSent = kbps;
    if (!share.here()) {
        QByteArray payload;
        QDataStream out(&payload, QIODevice::WriteOnly);
        out << quint8('B') << m_crossing.self << quint16(share.sharer) << kbps;
        return cross(share.instance, payload);
    }
    if (Peer* sharer = peerOf(share.sharer); sharer && sharer->stream)
        sharer->stream->send(encodeLowStream(kbps));
}

void ScreenRelay::watchKeys()
{
    // Watchers waiting for a key frame ask for one once their link has room for it; the rest
    // never pay for one stuck watcher.
    const qint64 at = now();
    bool waiting = false;
    for (const auto& share : qAsConst(m_shares)) {
        bool ask[2] = {false, false};
        for (auto it = share->watchers.begin(); it != share->watchers.end(); ++it) {
            WatchState& state = it.value();
            if (!state.needKey)
                continue;
            waiting = true;
            Peer* peer = peerOf(it.key());
            if (!peer || !peer->stream || at < state.nextKeyAt ||
                peer->stream->backlog() > budgetOf(*peer) / 2)
                continue;
            state.nextKeyAt = at + KeyRetryMs;
            ask[state.stream] = true;
        }
        for (quint8 stream : {FullStream, ScaledStream})
            if (ask[stream])
                requestKeyFrame(*share, stream);
    }
    if (waiting && !m_keyTimer.isActive())
        m_keyTimer.start();
    else if (!waiting)
        m_keyTimer.stop();
}

void ScreenRelay::requestKeyFrame(Share& share, quint8 stream)
{
    const qint64 at = now();
    const qint64 wait = share.lastKeyRequestAt[stream] + KeyRequestGapMs - at;
    if (wait > 0) {
        if (share.keyQueued[stream])
            return;
        share.keyQueued[stream] = true;
        const anyID sharer = share.sharer;
        QTimer::singleShot(int(wait), this, [this, sharer, stream] {
            if (auto queued = m_shares.value(sharer)) {
                queued->keyQueued[stream] = false;
                requestKeyFrame(*queued, stream);
            }
        });
        return;
    }
    share.lastKeyRequestAt[stream] = at;
    if (!share.here()) {
        QByteArray payload;
        QDataStream out(&payload, QIODevice::WriteOnly);
        out << quint8('K') << m_crossing.self << quint16(share.sharer) << stream;
        return cross(share.instance, payload);
    }
    if (Peer* peer = peerOf(share.sharer); peer && peer->stream)
        peer->stream->send(encodeKeyRequest(share.sharer, stream));
}

void ScreenRelay::forwardInput(Session* from, Input input)
{
    Peer& peer = peerOf(from);
    const anyID target = input.client;
    const std::shared_ptr<Share> share = m_shares.value(target);
    if (!share || share->channel != from->channel)
        return refuse(from, target, ERROR_screen_not_sharing,
                      QStringLiteral("client %1 shares no screen in this channel").arg(target));
    if (!admitInput(peer)) {
        ++m_stats.refused;
        return refuse(
            from, target, ERROR_screen_limit_reached,
            QStringLiteral("input faster than %1 events a second is dropped").arg(int(InputRate)));
    }
    if (share->here())
        return inject(*share, from->clientId, std::move(input));
    // The sharer's instance decides; this one spares it what cannot pass.
    if (share->controller != from->clientId && !(share->open && share->controller == 0)) {
        ++m_stats.refused;
        return refuse(from, target, ERROR_screen_not_controller,
                      QStringLiteral("input refused: client %1 does not control that screen")
                          .arg(from->clientId));
    }
    QByteArray payload;
    QDataStream out(&payload, QIODevice::WriteOnly);
    out << quint8('I') << m_crossing.self << quint16(target) << quint16(from->clientId)
        << encodeInput(input);
    cross(share->instance, payload);
}

void ScreenRelay::inject(Share& share, anyID member, Input input)
{
    const auto refused = [&](unsigned int code, const QString& why) {
        ++m_stats.refused;
        if (Session* session = m_clients.value(member))
            return refuse(session, share.sharer, code, why);
        // A member of another instance hears of it there.
        QByteArray payload;
        QDataStream out(&payload, QIODevice::WriteOnly);
        out << quint8('E') << m_crossing.self << quint16(share.sharer) << quint16(member)
            << quint32(code) << why;
        crossToAll(payload);
    };
    if (share.controller != member) {
        if (!share.open || share.controller != 0)
            return refused(ERROR_screen_not_controller,
                           QStringLiteral("input refused: client %1 does not control that screen")
                               .arg(member));
        // Control is open and free: the first member to act holds it.
        share.controller = member;
        announceControl(share);
    }
    if (input.type == InputType::Move && (input.a >= share.width || input.b >= share.height))
        return refused(ERROR_parameter_invalid,
                       QStringLiteral("pointer position %1, %2 is outside the %3 x %4 screen")
                           .arg(input.a)
                           .arg(input.b)
                           .arg(share.width)
                           .arg(share.height));
    Peer* to = peerOf(share.sharer);
    if (!to || !to->stream || to->stream->backlog() > MaxInputBacklog) {
        ++m_stats.refused;
        return;
    }
    input.client = member;
    to->stream->send(encodeInput(input));
    ++m_stats.inputs;
}

bool ScreenRelay::admitInput(Peer& peer)
{
    const qint64 at = now();
    if (peer.tokensAt > 0)
        peer.tokens = qMin(InputBurst, peer.tokens + (at - peer.tokensAt) * InputRate / 1000.0);
    peer.tokensAt = at;
    if (peer.tokens < 1)
        return false;
    peer.tokens -= 1;
    return true;
}

void ScreenRelay::tellWatcherCount(Share& share)
{
    if (!share.here())
        return tellWatching(share);
    if (Session* sharer = m_clients.value(share.sharer)) {
        const QList<anyID> watchers = share.watcherList();
        QCborArray clients;
        for (const anyID id : watchers)
            clients.append(id);
        sharer->sendMessage(QCborMap{{TypeKey, type::ScreenWatchers},
                                     {field::Count, watchers.size()},
                                     {field::Clients, clients}});
    }
}

void ScreenRelay::announceShare(const Share& share, bool on)
{
    QCborMap message{
        {TypeKey, type::ScreenShared}, {field::ClientId, share.sharer}, {field::On, on}};
    if (on) {
        message.insert(field::Width, share.width);
        message.insert(field::Height, share.height);
    }
    toChannel(share.channel, message);
    if (share.here() && crossing()) {
        QByteArray payload;
        QDataStream out(&payload, QIODevice::WriteOnly);
        out << quint8('A') << m_crossing.self << quint16(share.sharer) << share.channel
            << quint16(share.width) << quint16(share.height) << on << quint16(share.controller)
            << share.open;
        crossToAll(payload);
    }
}

void ScreenRelay::announceControl(const Share& share)
{
    toChannel(share.channel, QCborMap{{TypeKey, type::ScreenControlled},
                                      {field::ClientId, share.sharer},
                                      {field::Controller, share.controller},
                                      {field::Open, share.open}});
    if (share.here() && crossing()) {
        QByteArray payload;
        QDataStream out(&payload, QIODevice::WriteOnly);
        out << quint8('A') << m_crossing.self << quint16(share.sharer) << share.channel
            << quint16(share.width) << quint16(share.height) << true << quint16(share.controller)
            << share.open;
        crossToAll(payload);
    }
}

void ScreenRelay::toChannel(quint64 channel, const QCborMap& message)
{
    const QByteArray frame = encodeFrame(message);
    const QVector<Session*> members = m_members.value(channel);
    for (Session* member : members)
        member->send(frame);
}

void ScreenRelay::refuse(Session* session, anyID sharer, unsigned int code, const QString& why)
{
    Peer& peer = peerOf(session);
    // A flood of refused input is told a few times a second, not once an event.
    const qint64 at = now();
    peer.refusals =
        qMin(RefusalBurst, peer.refusals + (at - peer.lastRefusalAt) * RefusalBurst / 1000.0);
    peer.lastRefusalAt = at;
    if (peer.refusals < 1)
        return;
    peer.refusals -= 1;
    logLimited("screen refused", QStringLiteral("client %1: %2").arg(session->clientId).arg(why));
    session->sendMessage(QCborMap{{TypeKey, type::ScreenError},
                                  {field::ClientId, sharer},
                                  {field::Code, qint64(code)},
                                  {field::Message, why}});
}

} // namespace voiceserver

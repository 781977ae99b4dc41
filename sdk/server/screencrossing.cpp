// SPDX-License-Identifier: MIT
// Live screens across the instances of a cluster: every instance hears of every share (and tells
// the channel's members it holds), the sharer's instance hears how many watch on each of the
// others, which stream they take and how slow their slowest link is, and sends each of them the
// share's pictures once; input and control go the other way, to be judged where the sharer is.
#include "screenrelay.h"

#include "frame.h"
#include "protocol.h"
#include "screenrelaystate.h"
#include "serverlog.h"
#include "session.h"

#include <QDataStream>
#include <QDateTime>

namespace voiceserver {

using namespace voicesdk::protocol;
using namespace voicesdk::protocol::screen;
using namespace screenrelay;

namespace {
constexpr int MaxInstanceName = 128;
// A crossing payload: its kind, the sending instance, then the kind's fields.
constexpr int MaxCrossed = 1 + 4 + 2 * MaxInstanceName + 32 + LengthBytes + 1 + MaxPacket;

qint64 now()
{
    return QDateTime::currentMSecsSinceEpoch();
}

void dropped(const QString& why)
{
    logLimited("screen crossing",
               QStringLiteral("a screen message of another instance dropped: %1").arg(why));
}
} // namespace

void ScreenRelay::setCrossing(ScreenCrossing hooks)
{
    m_crossing = std::move(hooks);
    if (crossing())
        m_refresh.start();
}

void ScreenRelay::cross(const QString& instance, const QByteArray& payload)
{
    if (crossing() && !instance.isEmpty() && instance != m_crossing.self)
        m_crossing.send(instance, payload);
}

void ScreenRelay::crossToAll(const QByteArray& payload)
{
    if (!crossing())
        return;
    for (const QString& instance : m_crossing.others())
        cross(instance, payload);
}

void ScreenRelay::tellWatching(const Share& share)
{
    if (share.here())
        return;
    int watchers[2] = {0, 0};
    QList<quint16> clients;
    for (auto it = share.watchers.cbegin(); it != share.watchers.cend(); ++it) {
        ++watchers[it->stream];
        clients.append(it.key());
    }
    QByteArray payload;
    QDataStream out(&payload, QIODevice::WriteOnly);
    out << quint8('W') << m_crossing.self << quint16(share.sharer) << quint16(watchers[0])
        << quint16(watchers[1]) << clients;
    cross(share.instance, payload);
}

void ScreenRelay::refresh()
{
    const qint64 at = now();
    QList<anyID> gone;
    for (const auto& share : qAsConst(m_shares)) {
        if (share->here()) {
            // Told again, for instances that came or lost their memory meanwhile; instances
            // that stopped telling of their watchers have none any more.
            QByteArray payload;
            QDataStream out(&payload, QIODevice::WriteOnly);
            out << quint8('A') << m_crossing.self << quint16(share->sharer) << share->channel
                << quint16(share->width) << quint16(share->height) << true
                << quint16(share->controller) << share->open;
            crossToAll(payload);
            bool changed = false;
            for (auto it = share->remotes.begin(); it != share->remotes.end();)
                if (at - it->seenAt > ForgetMs) {
                    it = share->remotes.erase(it);
                    changed = true;
                } else {
                    ++it;
                }
            if (changed)
                tellWatcherCount(*share);
        } else if (at - share->seenAt > ForgetMs) {
            gone.append(share->sharer);
        } else if (!share->watchers.isEmpty()) {
            tellWatching(*share);
        }
    }
    for (const anyID sharer : qAsConst(gone))
        endShare(sharer, QStringLiteral("its instance no longer tells of it"));
}

void ScreenRelay::crossed(const QByteArray& payload)
{
    if (payload.size() > MaxCrossed)
        return dropped(QStringLiteral("%1 bytes").arg(payload.size()));
    QDataStream in(payload);
    quint8 kind = 0;
    QString from;
    quint16 sharer = 0;
    in >> kind >> from >> sharer;
    if (in.status() != QDataStream::Ok || from.isEmpty() || from.size() > MaxInstanceName ||
        from == m_crossing.self || sharer == 0)
        return dropped(QStringLiteral("no sender or sharer"));
    const std::shared_ptr<Share> known = m_shares.value(sharer);
    const qint64 at = now();
    switch (kind) {
    case 'A': { // a share of the sender's: as it is, or ended
        quint64 channel = 0;
        quint16 width = 0, height = 0, controller = 0;
        bool on = false, open = false;
        in >> channel >> width >> height >> on >> controller >> open;
        if (in.status() != QDataStream::Ok || width == 0 || height == 0 || width > MaxWidth ||
            height > MaxHeight)
            return dropped(QStringLiteral("a share of a bad size"));
        if (known && known->here())
            return dropped(QStringLiteral("a share of a client here"));
        if (!on || (known && known->channel != channel)) {
            endShare(sharer, QStringLiteral("ended on instance %1").arg(from));
            if (!on)
                return;
        }
        auto& share = m_shares[sharer];
        const bool fresh = !share;
        if (fresh) {
            share = std::make_shared<Share>();
            share->sharer = sharer;
            share->instance = from;
            share->channel = channel;
        }
        share->seenAt = at;
        const bool resized = share->width != width || share->height != height;
        const bool control = share->controller != controller || share->open != open;
        share->width = width;
        share->height = height;
        share->controller = controller;
        share->open = open;
        // What the members here are told: only what changed.
        if (fresh || resized)
            toChannel(channel, QCborMap{{TypeKey, type::ScreenShared},
                                        {field::ClientId, sharer},
                                        {field::On, true},
                                        {field::Width, width},
                                        {field::Height, height}});
        if (control && (!fresh || controller != 0 || open))
            toChannel(channel, QCborMap{{TypeKey, type::ScreenControlled},
                                        {field::ClientId, sharer},
                                        {field::Controller, controller},
                                        {field::Open, open}});
        return;
    }
    case 'W': { // who watches a share of this instance there, and how many on each stream
        quint16 full = 0, scaled = 0;
        QList<quint16> clients;
        in >> full >> scaled >> clients;
        if (in.status() != QDataStream::Ok || !known || !known->here() ||
            clients.size() != full + scaled)
            return;
        Remote& remote = known->remotes[from];
        remote.clients.clear();
        for (const quint16 id : qAsConst(clients))
            remote.clients.append(id);
        const bool more = full + scaled > remote.watchers[0] + remote.watchers[1];
        remote.watchers[0] = full;
        remote.watchers[1] = scaled;
        remote.seenAt = at;
        if (full + scaled == 0)
            known->remotes.remove(from);
        tellWatcherCount(*known);
        if (more)
            requestKeyFrame(*known, scaled > 0 && full == 0 ? ScaledStream : FullStream);
        return;
    }
    case 'V': { // a packet of a share of the sender's, for the watchers here
        QByteArray packet;
        in >> packet;
        if (in.status() != QDataStream::Ok || !known || known->here() ||
            packet.size() < LengthBytes + 3)
            return;
        const Kind type = Kind(quint8(packet.at(LengthBytes)));
        if (type != Kind::Video && type != Kind::Cursor && type != Kind::CursorShape)
            return dropped(QStringLiteral("a packet of kind %1").arg(quint8(type)));
        return relayPacket(*known, type, packet);
    }
    case 'K': { // a key frame for watchers there
        quint8 stream = 0;
        in >> stream;
        if (in.status() == QDataStream::Ok && known && known->here() && stream <= ScaledStream)
            requestKeyFrame(*known, stream);
        return;
    }
    case 'B': { // the rate of the scaled stream their slowest link takes; 0: none watches it
        quint32 kbps = 0;
        in >> kbps;
        if (in.status() != QDataStream::Ok || !known || !known->here())
            return;
        Remote& remote = known->remotes[from];
        remote.lowKbps = kbps;
        remote.seenAt = at;
        known->lowAt = 0; // looked at anew with the next picture
        return;
    }
    case 'I': { // input of a member there
        quint16 member = 0;
        QByteArray packet;
        in >> member >> packet;
        if (in.status() != QDataStream::Ok || !known || !known->here() ||
            packet.size() < LengthBytes + 1)
            return;
        Input input;
        QString error;
        if (!decodeInput(packet.constData() + LengthBytes + 1, packet.size() - LengthBytes - 1,
                         &input, &error))
            return dropped(error);
        if (!m_crossing.channelOf || m_crossing.channelOf(member) != known->channel)
            return dropped(QStringLiteral("input of client %1, not in the channel").arg(member));
        return inject(*known, member, std::move(input));
    }
    case 'T': { // a member there takes or lets go of control
        quint16 member = 0;
        bool on = false;
        in >> member >> on;
        if (in.status() != QDataStream::Ok || !known || !known->here())
            return;
        if (!m_crossing.channelOf || m_crossing.channelOf(member) != known->channel)
            return dropped(QStringLiteral("client %1 is not in the channel").arg(member));
        QString why;
        if (take(member, *known, on, &why))
            return;
        QByteArray error;
        QDataStream out(&error, QIODevice::WriteOnly);
        out << quint8('E') << m_crossing.self << quint16(sharer) << member
            << quint32(ERROR_screen_not_controller) << why;
        return cross(from, error);
    }
    case 'E': { // a refusal for a member here
        quint16 member = 0;
        quint32 code = 0;
        QString why;
        in >> member >> code >> why;
        if (in.status() != QDataStream::Ok || code > 0xFFFF || why.size() > 1024)
            return;
        if (Session* session = m_clients.value(member))
            refuse(session, sharer, code, why);
        return;
    }
    default:
        return dropped(QStringLiteral("kind %1").arg(kind));
    }
}

void ScreenRelay::remoteClientLeft(anyID id)
{
    const auto share = m_shares.value(id);
    if (share && !share->here())
        endShare(id, QStringLiteral("left"));
    for (const auto& own : qAsConst(m_shares))
        if (own->here() && own->controller == id) {
            own->controller = 0;
            announceControl(*own);
        }
}

void ScreenRelay::remoteClientMoved(anyID id, quint64 channel)
{
    const auto share = m_shares.value(id);
    if (share && !share->here() && share->channel != channel)
        endShare(id, QStringLiteral("moved to another channel"));
    for (const auto& own : qAsConst(m_shares))
        if (own->here() && own->controller == id && own->channel != channel) {
            own->controller = 0;
            announceControl(*own);
        }
}

} // namespace voiceserver

// SPDX-License-Identifier: MIT
#include "cluster.h"

#include <QSet>

#include "frame.h"
#include "protocol.h"

namespace voiceserver {

using namespace voicesdk::protocol;

QCborMap channelMessage(const Channel& channel, QLatin1String type)
{
    return QCborMap{{TypeKey, type},
                    {field::ChannelId, qint64(channel.id)},
                    {field::ParentId, qint64(channel.parent)},
                    {field::Name, channel.name},
                    {field::Topic, channel.topic},
                    {field::Description, channel.description},
                    {field::HasPassword, channel.hasPassword()},
                    {field::Permanent, channel.permanent},
                    {field::SemiPermanent, channel.semiPermanent}};
}

QCborMap clientMessage(const ClientRecord& client, QLatin1String type)
{
    return QCborMap{{TypeKey, type},
                    {field::ClientId, client.id},
                    {field::Nickname, client.nickname},
                    {field::UniqueId, client.uniqueId},
                    {field::ChannelId, qint64(client.channel)},
                    {field::InputMuted, client.inputMuted},
                    {field::OutputMuted, client.outputMuted},
                    {field::InputDeactivated, client.inputDeactivated}};
}

void addInvoker(QCborMap* message, const Invoker& invoker)
{
    message->insert(field::InvokerId, invoker.id);
    message->insert(field::InvokerName, invoker.nickname);
    message->insert(field::InvokerUniqueId, invoker.uniqueId);
}

const ClientRecord* ClusterState::client(anyID id) const
{
    const auto it = m_clients.constFind(id);
    return it == m_clients.constEnd() ? nullptr : &*it;
}

QString ClusterState::uniqueNickname(const QString& wanted) const
{
    if (!m_nicknames.contains(wanted))
        return wanted;
    for (int n = 1;; ++n) {
        const QString suffix = QString::number(n);
        const QString candidate = wanted.left(limits::NicknameLength - suffix.size()) + suffix;
        if (!m_nicknames.contains(candidate))
            return candidate;
    }
}

anyID ClusterState::freeClientId(anyID* next) const
{
    for (int tries = 0; tries < 0xFFFF; ++tries) {
        const anyID id = *next == 0 ? 1 : *next;
        *next = id == 0xFFFF ? 1 : anyID(id + 1);
        if (!m_clients.contains(id))
            return id;
    }
    return 0;
}

quint64 ClusterState::siblingNamed(quint64 parent, const QString& name) const
{
    for (const Channel& channel : m_channels) {
        if (channel.parent == parent && channel.name == name)
            return channel.id;
    }
    return 0;
}

quint64 ClusterState::resolveChannelPath(const QStringList& path) const
{
    quint64 parent = 0;
    for (const QString& name : path) {
        parent = siblingNamed(parent, name);
        if (parent == 0)
            return 0;
    }
    return parent;
}

QList<quint64> ClusterState::subtree(quint64 channelId) const
{
    QList<quint64> result;
    for (const Channel& channel : m_channels) {
        if (channel.parent == channelId && channel.id != channelId)
            result.append(subtree(channel.id));
    }
    result.append(channelId);
    return result;
}

int ClusterState::depthOf(quint64 channelId) const
{
    int depth = 0;
    while (channelId != 0 && depth <= limits::ChannelDepth) {
        channelId = m_channels.value(channelId).parent;
        ++depth;
    }
    return depth;
}

QList<anyID> ClusterState::occupants(const QList<quint64>& channels) const
{
    QList<anyID> result;
    for (const ClientRecord& client : m_clients) {
        if (channels.contains(client.channel))
            result.append(client.id);
    }
    return result;
}

QStringList ClusterState::instancesIn(quint64 channel) const
{
    const auto it = m_instances.constFind(channel);
    return it == m_instances.constEnd() ? QStringList() : it->keys();
}

QStringList ClusterState::instances() const
{
    QSet<QString> all;
    for (const QHash<QString, int>& counts : m_instances)
        for (auto it = counts.cbegin(); it != counts.cend(); ++it)
            all.insert(it.key());
    return all.values();
}

QByteArray ClusterState::channelTree() const
{
    if (!m_channelTree.isEmpty())
        return m_channelTree;
    // Parents before children, so a receiver can build the tree as it goes.
    QList<quint64> level{0};
    while (!level.isEmpty()) {
        QList<quint64> next;
        for (const Channel& channel : m_channels) {
            if (level.contains(channel.parent)) {
                m_channelTree += encodeFrame(channelMessage(channel, type::Channel));
                next.append(channel.id);
            }
        }
        level = next;
    }
    return m_channelTree;
}

QByteArray ClusterState::everybody() const
{
    QByteArray frames;
    for (const ClientRecord& client : m_clients)
        frames += client.announcement;
    return frames;
}

void ClusterState::insertChannel(const Channel& channel)
{
    m_channels.insert(channel.id, channel);
    m_channelTree.clear();
}

void ClusterState::removeChannel(quint64 id)
{
    m_channels.remove(id);
    m_instances.remove(id);
    m_channelTree.clear();
}

void ClusterState::countInstance(const ClientRecord& client, int delta)
{
    if (client.instance.isEmpty())
        return;
    QHash<QString, int>& counts = m_instances[client.channel];
    const int count = counts.value(client.instance) + delta;
    if (count > 0)
        counts.insert(client.instance, count);
    else
        counts.remove(client.instance);
    if (counts.isEmpty())
        m_instances.remove(client.channel);
}

void ClusterState::insertClient(ClientRecord client)
{
    removeClient(client.id);
    client.announcement = encodeFrame(clientMessage(client, type::Client));
    m_nicknames.insert(client.nickname, client.id);
    countInstance(client, 1);
    m_clients.insert(client.id, client);
}

void ClusterState::removeClient(anyID id)
{
    const auto it = m_clients.find(id);
    if (it == m_clients.end())
        return;
    if (m_nicknames.value(it->nickname) == id)
        m_nicknames.remove(it->nickname);
    countInstance(*it, -1);
    m_clients.erase(it);
}

void ClusterState::setClientChannel(anyID id, quint64 channel)
{
    const auto it = m_clients.find(id);
    if (it == m_clients.end())
        return;
    countInstance(*it, -1);
    it->channel = channel;
    countInstance(*it, 1);
    it->announcement = encodeFrame(clientMessage(*it, type::Client));
}

void ClusterState::setClientFlags(anyID id, bool inputMuted, bool outputMuted,
                                  bool inputDeactivated)
{
    const auto it = m_clients.find(id);
    if (it == m_clients.end())
        return;
    it->inputMuted = inputMuted;
    it->outputMuted = outputMuted;
    it->inputDeactivated = inputDeactivated;
    it->announcement = encodeFrame(clientMessage(*it, type::Client));
}

void ClusterState::repairTree()
{
    for (Channel& channel : m_channels) {
        if (channel.parent != 0 && !m_channels.contains(channel.parent))
            channel.parent = 0;
    }
    for (Channel& channel : m_channels) {
        quint64 parent = channel.parent;
        for (int steps = 0; parent != 0 && parent != channel.id && steps < m_channels.size();
             ++steps)
            parent = m_channels.value(parent).parent;
        if (parent == channel.id)
            channel.parent = 0;
    }
    m_channelTree.clear();
}

void ClusterState::clear()
{
    m_channels.clear();
    m_clients.clear();
    m_nicknames.clear();
    m_instances.clear();
    m_channelTree.clear();
}

} // namespace voiceserver

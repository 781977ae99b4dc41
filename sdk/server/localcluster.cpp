// SPDX-License-Identifier: MIT
#include "localcluster.h"

#include "protocol.h"
#include "serverlog.h"

#include <QCryptographicHash>
#include <QUuid>

namespace voiceserver {

using namespace voicesdk::protocol;

unsigned int checkNewChannel(const ClusterState& state, const Channel& channel, int maxChannels)
{
    if (channel.parent != 0 && !state.channels().contains(channel.parent))
        return ERROR_channel_invalid_id;
    if (state.siblingNamed(channel.parent, channel.name) != 0)
        return ERROR_channel_name_inuse;
    if (state.channels().size() >= maxChannels ||
        state.depthOf(channel.parent) >= limits::ChannelDepth)
        return ERROR_channel_limit_reached;
    return ERROR_ok;
}

LocalCluster::LocalCluster(const QString& dataDirectory, bool saveChannels, QObject* parent)
    : Cluster(parent)
    , m_persist(saveChannels)
    , m_dataDirectory(dataDirectory)
    , m_store(dataDirectory)
{
    Channel lobby;
    lobby.id = DefaultChannelId;
    lobby.name = QStringLiteral("Default Channel");
    lobby.permanent = true;
    m_state.insertChannel(lobby);

    QString warning;
    const PersistentState stored = m_store.load(&warning);
    if (!warning.isEmpty())
        logLine(warning);
    m_serverUniqueId = stored.serverUniqueId;
    m_nextChannelId = stored.nextChannelId;
    for (const Channel& channel : stored.channels) {
        if (channel.id != DefaultChannelId)
            m_state.insertChannel(channel);
    }
    m_state.repairTree();
    if (m_serverUniqueId.isEmpty()) {
        m_serverUniqueId = QString::fromLatin1(
            QCryptographicHash::hash(QUuid::createUuid().toRfc4122(), QCryptographicHash::Sha1)
                .toBase64());
        persist();
    }
}

bool LocalCluster::start(QString* error)
{
    Q_UNUSED(error)
    return true;
}

void LocalCluster::join(const JoinRequest& request, std::function<void(const JoinResult&)> done)
{
    JoinResult result;
    result.id = m_state.freeClientId(&m_nextClientId);
    if (result.id == 0) {
        result.code = ERROR_server_full;
        return done(result);
    }
    ClientRecord client;
    client.id = result.id;
    client.nickname = result.nickname = m_state.uniqueNickname(request.nickname);
    client.uniqueId = request.uniqueId;
    client.channel =
        m_state.channels().contains(request.channel) ? request.channel : DefaultChannelId;
    client.inputMuted = request.inputMuted;
    client.outputMuted = request.outputMuted;
    client.inputDeactivated = request.inputDeactivated;
    client.instance = m_instance;
    m_state.insertClient(client);
    m_events->clientJoined(*m_state.client(client.id));
    done(result);
}

void LocalCluster::leave(anyID id, int reason, const QString& message)
{
    const ClientRecord* client = m_state.client(id);
    if (!client)
        return;
    const ClientRecord gone = *client;
    m_state.removeClient(id);
    m_events->clientLeft(gone, reason, message);
}

void LocalCluster::move(anyID id, quint64 channel, const Invoker& invoker, Done done)
{
    const ClientRecord* client = m_state.client(id);
    if (!client)
        return done(ERROR_client_invalid_id);
    if (!m_state.channels().contains(channel))
        return done(ERROR_channel_invalid_id);
    const quint64 from = client->channel;
    m_state.setClientChannel(id, channel);
    m_events->clientMoved(*m_state.client(id), from, invoker);
    done(ERROR_ok);
}

void LocalCluster::update(anyID id, bool inputMuted, bool outputMuted, bool inputDeactivated,
                          const Invoker& invoker, Done done)
{
    if (!m_state.client(id))
        return done(ERROR_client_invalid_id);
    m_state.setClientFlags(id, inputMuted, outputMuted, inputDeactivated);
    m_events->clientUpdated(*m_state.client(id), invoker);
    done(ERROR_ok);
}

void LocalCluster::createChannel(const Channel& wanted, int maxChannels, const Invoker& invoker,
                                 Done done)
{
    if (const unsigned int code = checkNewChannel(m_state, wanted, maxChannels))
        return done(code);
    Channel channel = wanted;
    channel.id = m_nextChannelId++;
    m_state.insertChannel(channel);
    persist();
    m_events->channelCreated(channel, invoker);
    done(ERROR_ok);
}

void LocalCluster::deleteChannel(quint64 id, bool force, const Invoker& invoker, Done done)
{
    if (!m_state.channels().contains(id))
        return done(ERROR_channel_invalid_id);
    if (id == DefaultChannelId)
        return done(ERROR_channel_is_default);
    const QList<quint64> doomed = m_state.subtree(id);
    const QList<anyID> occupants = m_state.occupants(doomed);
    if (!occupants.isEmpty() && !force)
        return done(ERROR_channel_not_empty);
    for (anyID client : occupants) {
        const quint64 from = m_state.client(client)->channel;
        m_state.setClientChannel(client, DefaultChannelId);
        m_events->clientMoved(*m_state.client(client), from, invoker);
    }
    for (quint64 channel : doomed) {
        m_state.removeChannel(channel);
        m_events->channelDeleted(channel, invoker);
    }
    persist();
    done(ERROR_ok);
}

void LocalCluster::persist()
{
    if (!m_persist || m_dataDirectory.isEmpty())
        return;
    PersistentState state;
    state.serverUniqueId = m_serverUniqueId;
    state.nextChannelId = m_nextChannelId;
    for (const Channel& channel : m_state.channels()) {
        if (channel.permanent && channel.id != DefaultChannelId)
            state.channels.append(channel);
    }
    QString error;
    if (!m_store.save(state, &error))
        logLine(QStringLiteral("could not save %1: %2").arg(m_store.filePath(), error));
}

} // namespace voiceserver

// SPDX-License-Identifier: MIT
#pragma once

#include "cluster.h"

namespace voiceserver {

// The embedded server's state: everything in this process, permanent channels in the data
// folder (server.json). Every request is settled at once.
class LocalCluster : public Cluster
{
    Q_OBJECT
public:
    // saveChannels: permanent channels are saved in the data folder (the embedded server); without
    // it they are only read from there.
    explicit LocalCluster(const QString& dataDirectory, bool saveChannels = true,
                          QObject* parent = nullptr);

    QString serverUniqueId() const override { return m_serverUniqueId; }
    bool start(QString* error) override;

    void join(const JoinRequest& request, std::function<void(const JoinResult&)> done) override;
    void leave(anyID id, int reason, const QString& message) override;
    void move(anyID id, quint64 channel, const Invoker& invoker, Done done) override;
    void update(anyID id, bool inputMuted, bool outputMuted, bool inputDeactivated,
                const Invoker& invoker, Done done) override;
    void createChannel(const Channel& channel, int maxChannels, const Invoker& invoker,
                       Done done) override;
    void deleteChannel(quint64 id, bool force, const Invoker& invoker, Done done) override;

protected:
    void persist();

    QString m_instance; // set in a cluster: what this instance's clients are marked with
    bool m_persist;
    QString m_dataDirectory;
    ChannelStore m_store;
    QString m_serverUniqueId;
    quint64 m_nextChannelId = 2;
    anyID m_nextClientId = 1;
};

// The checks of a new channel against a state; ERROR_ok when it may be made.
unsigned int checkNewChannel(const ClusterState& state, const Channel& channel, int maxChannels);

} // namespace voiceserver

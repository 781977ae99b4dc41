// SPDX-License-Identifier: MIT
#pragma once

#include "clusteroutbox.h"
#include "filestore.h"
#include "localcluster.h"
#include "redislink.h"
#include "sharedfiles.h"

#include <QJsonObject>
#include <QMultiMap>
#include <QTimer>

#include <memory>

namespace voiceserver {

struct RedisClusterOptions
{
    RedisEndpoint endpoint;
    QString prefix = QStringLiteral("vs:"); // of every key and channel
    int heartbeatMs = 1000;
    int heartbeatTtlMs = 3000; // an instance silent for this long is gone
    // When Redis heard from no instance for this long it was away itself (stopped, restarted,
    // cut off): every instance then has the grace to be heard again before it counts as gone.
    int blindGapMs = 2000;
    int graceMs = 6000;
    // Texts for other instances wait this long for them to confirm, holding at most these many
    // bytes in all; then their senders are told they were not delivered.
    int holdMs = 45000;
    qint64 maxHeldBytes = 64 * 1024 * 1024;
};

// The service shared by several instances through Redis. Redis holds the state (clients,
// nicknames, channels, IDs) and changes it only in scripts, which run one at a time: each
// checks, changes and publishes its events with the next number of one sequence, so every
// instance sees every change in the same order. This instance keeps a replica built from those
// events and answers the logic's questions from it; a request's outcome is given once the
// replica holds its events. Texts and voice for clients of other instances go to those
// instances' own Redis channels, once per instance; texts are held until the receiving instance
// confirms them (ClusterOutbox), voice is not.
//
// When Redis cannot be reached the instance serves its own clients alone (from the replica,
// holding texts for other instances) and tries again with growing pauses; once back it hands
// Redis what it holds and takes the state from there (a resynchronisation), as it does when a
// number of the sequence went missing, and sends the texts it held. Instances are judged gone
// only by silence Redis was there to see.
class RedisCluster : public LocalCluster, public SharedFiles
{
    Q_OBJECT
public:
    RedisCluster(const RedisClusterOptions& options, const QString& dataDirectory,
                 QObject* parent = nullptr);
    ~RedisCluster() override;

    QString serverUniqueId() const override { return m_uid; }
    QString instanceId() const override { return m_instance; }
    bool start(QString* error) override;
    bool isOnline() const { return m_phase == Phase::Online; }
    bool isReady() const override { return m_readyAnnounced; }
    int connectedToCluster() const override { return isOnline() ? 1 : 0; }
    void heldTexts(qint64* texts, qint64* bytes) const override
    {
        *texts = m_outbox->heldTexts();
        *bytes = m_outbox->heldBytes();
    }

    void join(const JoinRequest& request, std::function<void(const JoinResult&)> done) override;
    void leave(anyID id, int reason, const QString& message) override;
    void move(anyID id, quint64 channel, const Invoker& invoker, Done done) override;
    void update(anyID id, bool inputMuted, bool outputMuted, bool inputDeactivated,
                const Invoker& invoker, Done done) override;
    void createChannel(const Channel& channel, int maxChannels, const Invoker& invoker,
                       Done done) override;
    void deleteChannel(quint64 id, bool force, const Invoker& invoker, Done done) override;

    bool sendChannelText(quint64 channel, const TextParts& text, Done done) override;
    bool sendPrivateText(const ClientRecord& target, const TextParts& text, Done done) override;
    void sendVoice(quint64 channel, const QByteArray& frame) override;
    void sendScreen(const QString& instance, const QByteArray& payload) override;

    // The file stores shared by the instances.
    bool isShared() const override { return m_phase == Phase::Online; }
    void offer(const QByteArray& key, const TransferTicket& ticket, qint64 ttlMs,
               const UploadLimits& limits, qint64 replacedBytes, int newEntries,
               std::function<void(unsigned int, const QString&)> done) override;
    void
    take(const QByteArray& key,
         std::function<void(bool, const TransferTicket&, anyID, const QString&)> done) override;
    void release(const QByteArray& key) override;
    void commit(const QByteArray& key, quint64 channel, qint64 bytes, int entries) override;
    void change(quint64 channel, qint64 bytes, int entries) override;
    void seed(const QHash<quint64, StoreUsage>& usage) override;

private:
    // Runs one of the cluster's scripts.
    void script(const char* body, QList<QByteArray> arguments, RedisLink::Reply done);
    QByteArray key(const char* name) const { return m_prefix + name; }

    enum class Phase { Offline, Connecting, Syncing, Online };
    enum class Outcome { Applied, Malformed, Inconsistent };

    void connectLinks();
    void linkDown(const QString& reason);
    void readyToSynchronise();
    void synchronise(const QString& why);
    void applySnapshot(const RedisValue& reply);
    void message(const QByteArray& channel, const QByteArray& payload);
    void event(const QByteArray& payload);
    Outcome applyEvent(const QJsonObject& event);
    // A client the replica holds, as the service has it now: its moves and flags are told.
    void catchUp(const ClientRecord& client);
    void traffic(const QByteArray& payload);
    void crossingText(const QByteArray& payload);
    void sendConfirmations();
    void heartbeat();
    void publish(const QString& instance, const QByteArray& payload);
    // True when the request must wait for a snapshot on its way; runHeldRequests() runs them.
    bool holdDuringSync(std::function<void()> request);
    void runHeldRequests();
    // Runs what waits for the replica to reach a number of the sequence.
    void whenApplied(quint64 sequence, std::function<void()> then);
    void settleWaiting(bool all);
    QByteArray invokerJson(const Invoker& invoker) const;
    void dropped(const char* what, const QString& detail);

    RedisClusterOptions m_options;
    QByteArray m_prefix;
    QString m_uid;
    RedisLink* m_commands;   // scripts and publishing
    RedisLink* m_subscriber; // the events and this instance's traffic
    Phase m_phase = Phase::Offline;
    int m_subscriptions = 0;
    quint64 m_applied = 0; // the last number of the sequence in the replica
    quint64 m_behind = 0;  // Redis was at this number a heartbeat ago
    bool m_synced = false; // the replica came from Redis at least once
    bool m_readyAnnounced = false;
    // What came while a snapshot was on its way: events (true) and traffic, in order.
    QList<QPair<bool, QByteArray>> m_held;
    qint64 m_heldBytes = 0;
    QMultiMap<quint64, std::function<void()>> m_waiting;
    QSet<anyID> m_leaving; // this instance's clients it asked Redis to remove
    QList<std::function<void()>> m_heldRequests;
    QTimer m_heartbeat;
    qint64 m_heartbeatSentAt = 0; // 0: answered
    QTimer m_retry;
    int m_backoffMs = 0;
    bool m_outageLogged = false;
    std::unique_ptr<ClusterOutbox> m_outbox;
    ClusterInbox m_inbox;
    QTimer m_outboxTimer;
    QTimer m_confirmTimer;
    QByteArray m_eventChannel;
    QByteArray m_inboxChannel;
    std::unique_ptr<QHash<quint64, StoreUsage>> m_seed; // the stores as counted at the start
};

} // namespace voiceserver

// SPDX-License-Identifier: MIT
#pragma once

#include "admin.h"
#include "channelstore.h"
#include "cluster.h"
#include "fileservice.h"
#include "heaptrim.h"
#include "iopool.h"
#include "listener.h"
#include "screenrelay.h"
#include "session.h"
#include "textmessagecodec.h"
#include "voicerelay.h"

#include <QHash>
#include <QHostAddress>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QTimer>
#include <QVector>

#include <memory>

namespace voiceserver {

// A nickname or channel name as the server keeps it: NFC, trimmed. False for a name that is
// empty, too long, or holds characters that show nothing or pass for others (controls, format
// characters such as zero-width spaces and direction overrides, noncharacters).
bool normaliseName(const QString& name, int maxLength, QString* normalised);

struct ServerOptions
{
    QHostAddress address = QHostAddress::LocalHost;
    quint16 port = 10087;
    QString password = QStringLiteral("mossel");
    QString welcomeMessage;
    QString dataDirectory;
    int maxClients = 5000; // what one 2-core machine was measured to serve in full
    int maxChannels = 1024;
    qint64 maxOutputBytes = 4 * 1024 * 1024;
    int helloTimeoutMs = 10000;
    int idleTimeoutMs = 30000; // after hello; clients ping more often
    // Connections that have not said hello yet: beyond these the oldest one goes.
    int maxPendingConnections = 256;
    int maxPendingPerAddress = 32;
    // Requests per client: a burst, then a steady rate per second (a leaky bucket).
    int floodBurst = 4096;
    int floodRate = 1024;
    int ioThreads = 0; // threads for the connections; 0: one per core
    bool udp = true;   // voice datagrams; without them voice is tunnelled on the control connection
    // TLS on every connection and sealed voice datagrams. Off only for tests that read the wire:
    // then everything travels in clear.
    bool tls = true;
    QString certificateFile; // with keyFile; empty: server.crt and server.key in the data folder
    QString keyFile;
    FileServiceLimits files;
    // Operations: the admin endpoint (off unless a port is given) and how long a shutdown
    // waits for clients to leave once told.
    QHostAddress adminAddress = QHostAddress::LocalHost;
    int adminPort = -1; // -1: no admin endpoint; 0: a free port
    int drainTimeoutMs = 5000;
    // The cluster: Redis's address (empty: the embedded server alone) and its password.
    QString cluster;
    QString clusterPassword;
    // How long a text for another instance waits for it (through a Redis outage) before its
    // sender is told that it was not delivered.
    int clusterHoldMs = 45000;
    // Where clients send voice datagrams, announced in the welcome; empty: the address they
    // connected to. Port 0: the listening port.
    QString publicAddress;
    int publicPort = 0;
};

// The voice server: channels, clients and text relay over the control protocol; the file
// store's requests go to its FileService. Everything here happens in one thread's event loop;
// the connections' reading, writing and TLS happen in the threads of an IoPool.
class Server : public QObject, private ClusterEvents
{
    Q_OBJECT
public:
    explicit Server(const ServerOptions& options, QObject* parent = nullptr);
    ~Server() override;

    // Loads the certificate and key and starts serving. False with *error; *mayPass then says
    // whether a later try may succeed (the address or port was taken) or the setup is at fault.
    bool listen(QString* error, bool* mayPass = nullptr);
    // Reads the certificate and key again (--cert and --key, or those of the data directory;
    // never makes new ones): connections from now on show them, open ones keep theirs. False
    // with *error, and the old pair kept, when they cannot be used. Any thread.
    bool reloadTlsIdentity(QString* error);
    quint16 port() const;
    QHostAddress address() const;
    const VoiceStats& voiceStats() const { return m_voice->stats(); }
    const ScreenStats& screenStats() const { return m_screens->stats(); }
    // The numbers the admin endpoint reports.
    ServerMetrics metrics() const;

    // Ends the service: no new connections, and every client is told that the server is going
    // away. drained() follows once all have left, or after timeoutMs, when the rest is closed.
    void drain(int timeoutMs);
    void setWelcomeMessage(const QString& text) { m_options.welcomeMessage = text; }

signals:
    void drained();

private:
    // In a cluster: waits (running the event loop) until the instance holds the cluster's
    // state, or until the time is up; then it serves alone until Redis answers.
    void waitForCluster(int timeoutMs);
    void checkDrained();
    void acceptConnection(qintptr descriptor);
    // Accepting failed: out of descriptors, usually. The listener pauses; this decides when to
    // go on, making room when connections that never said hello hold the descriptors.
    void acceptFailed(int error);
    void resumeAccepting();
    // Closes the oldest connection without hello, of one address or of any.
    bool dropOldestPending(const QHostAddress* address, const QString& why);
    void dropSilentClients();
    // Flood protection: false (and the client told so) when it sent more than it may.
    bool admitRequest(Session* session, const QString& returnCode);
    void handleFrame(Session* session, const QCborMap& message);
    void handleHello(Session* session, const QCborMap& message);
    void handleMove(Session* session, const QCborMap& message);
    void handleText(Session* session, const QCborMap& message);
    // A text request read directly from its frame; false leaves the frame to handleFrame.
    bool relayTextFrame(Session* session, const char* body, int size);
    void relayText(Session* session, int mode, qint64 target, voicesdk::protocol::Utf8View text,
                   int textLength, const QString& returnCode);
    void handleChannelCreate(Session* session, const QCborMap& message);
    void handleChannelDelete(Session* session, const QCborMap& message);
    void handleSelfUpdate(Session* session, const QCborMap& message);
    void sessionClosed(Session* session, const QString& reason);

    void refuse(Session* session, unsigned int code, const QString& reason);
    // The hello's outcome from the service: the newcomer gets its welcome and the state.
    void welcome(Session* session, const JoinResult& result);
    // Tells every client here of a change of the service (but the client `except`); defer:
    // after the current frame is handled. Comings and goings may wait a moment for the next
    // frame each client is sent (Session::notify); what a client did (a move, a mute) may not,
    // since its voice already tells of it.
    enum class News { Change, Presence };
    void announce(const QCborMap& message, bool defer = false, anyID except = 0,
                  News news = News::Change);
    // Every client, in no particular order: a copy, since a send may drop a recipient.
    QVector<Session*> everyClient() const;

    // The channel index of the clients here: who is in which channel, so that what goes to a
    // channel visits only its members. Every change of a client's channel goes through these.
    void enterChannel(Session* client, quint64 channel);
    void leaveChannel(Session* client);
    static Invoker invokerOf(const Session* session);
    const QMap<quint64, Channel>& channels() const { return m_cluster->state().channels(); }

    // What the service tells: the clients here hear of it.
    void clientJoined(const ClientRecord& client) override;
    void clientMoved(const ClientRecord& client, quint64 from, const Invoker& invoker) override;
    void clientUpdated(const ClientRecord& client, const Invoker& invoker) override;
    void clientLeft(const ClientRecord& client, int reason, const QString& message) override;
    void channelCreated(const Channel& channel, const Invoker& invoker) override;
    void channelDeleted(quint64 channel, const Invoker& invoker) override;
    void channelText(quint64 channel, const QByteArray& frame) override;
    bool privateText(anyID target, const QByteArray& frame) override;
    void voice(quint64 channel, const QByteArray& frame) override;
    void screen(const QByteArray& payload) override;
    void clientRevoked(anyID id, const QString& reason) override;

    ServerOptions m_options;
    std::unique_ptr<Cluster> m_cluster; // the service's state: here, or shared through Redis
    Listener* m_listener;
    QMap<anyID, Session*> m_clients;             // sessions past the hello
    QHash<quint64, QVector<Session*>> m_members; // channel ID to the clients here in it
    QSet<Session*> m_sessions;                   // every open session
    struct Announcement
    {
        QByteArray frame;
        anyID except = 0;
        News news = News::Change;
    };
    QVector<Announcement> m_deferred; // announcements waiting, in order
    QList<Session*> m_pending;        // sessions before hello, oldest first
    QTimer m_resumeTimer;             // accepting again after running out of descriptors
    bool m_acceptPaused = false;
    int m_acceptFailures = 0;
    qint64 m_acceptFailureLoggedAt = 0;
    QTimer m_idleSweep;
    HeapTrimmer m_heapTrimmer;
    std::unique_ptr<FileService> m_files;
    VoiceRelay* m_voice;
    ScreenRelay* m_screens;
    std::unique_ptr<IoPool> m_io; // made by listen()
    bool m_draining = false;
    QTimer m_drainTimer;
    // What the logic counts for the admin endpoint.
    quint64 m_texts = 0;
    quint64 m_droppedIdle = 0;
    quint64 m_droppedFlood = 0;
    quint64 m_droppedOutput = 0;
    quint64 m_droppedProtocol = 0;
};

} // namespace voiceserver

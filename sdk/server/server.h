// SPDX-License-Identifier: MIT
#pragma once

#include "channelstore.h"
#include "filestore.h"
#include "session.h"
#include "textframes.h"
#include "transfer.h"

#include <QHostAddress>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <map>

class QTcpServer;

namespace voiceserver {

struct ServerOptions
{
    QHostAddress address = QHostAddress::LocalHost;
    quint16 port = 10087;
    QString password = QStringLiteral("mossel");
    QString welcomeMessage;
    QString dataDirectory;
    int maxClients = 512;
    int maxChannels = 1024;
    qint64 maxOutputBytes = 4 * 1024 * 1024;
    int helloTimeoutMs = 10000;
    // File store limits.
    qint64 maxFileBytes = qint64(512) * 1024 * 1024;
    qint64 quotaBytes = qint64(2048) * 1024 * 1024; // per channel
    int maxStoreEntries = 10000;                    // files and directories per channel
    int maxTransfersPerClient = 8;                  // keys handed out plus transfers running
    int transferKeyTtlMs = 30000;
    int transferIdleMs = 30000;
};

// The voice server: channels, clients and text relay over the control protocol. Single threaded;
// everything happens in the Qt event loop.
class Server : public QObject
{
    Q_OBJECT
public:
    explicit Server(const ServerOptions& options, QObject* parent = nullptr);
    ~Server() override;

    bool listen(QString* error);
    quint16 port() const;
    QHostAddress address() const;

private:
    void acceptConnections();
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
    // The file store (fileservice.cpp).
    void handleFileList(Session* session, const QCborMap& message);
    void handleFileDelete(Session* session, const QCborMap& message);
    void handleMakeDirectory(Session* session, const QCborMap& message);
    void handleTransferRequest(Session* session, const QCborMap& message, bool upload);
    void handleTransferConnection(Session* session, const QCborMap& message);
    void uploadReceived(TransferConnection* transfer);
    unsigned int checkFileAccess(quint64 channel, const QString& password) const;
    int transfersOf(const Session* session) const;
    qint64 reservedBytes(quint64 channel) const;
    void dropTransfersOf(const Session* session);
    void dropTransfersIn(const QList<quint64>& channels);
    void expireTickets();
    void sessionClosed(Session* session, const QString& reason);

    void refuse(Session* session, unsigned int code, const QString& reason);
    void reply(Session* session, const QString& returnCode, unsigned int code,
               const QString& extra = QString());
    void protocolError(Session* session, const QString& reason);
    void broadcast(const QCborMap& message, const Session* except = nullptr);
    void sendTo(Session* session, const QCborMap& message);

    QString uniqueNickname(const QString& wanted) const;
    anyID allocateClientId();
    quint64 resolveChannelPath(const QStringList& path) const;
    QList<quint64> subtree(quint64 channelId) const; // descendants first, the channel last
    int depthOf(quint64 channelId) const;
    QCborMap channelMessage(const Channel& channel, QLatin1String type) const;
    QCborMap clientMessage(const Session* client, QLatin1String type) const;
    void addInvoker(QCborMap* message, const Session* invoker) const;
    void persist();
    void log(const QString& line) const;

    ServerOptions m_options;
    ChannelStore m_store;
    QString m_serverUniqueId;
    quint64 m_nextChannelId = 2;
    anyID m_nextClientId = 1;
    QTcpServer* m_listener;
    QMap<quint64, Channel> m_channels;
    QMap<anyID, Session*> m_clients; // sessions past the hello
    QSet<Session*> m_sessions;       // every open session
    FileStore m_files;
    std::map<QByteArray, TransferTicket> m_tickets; // by one-time key
    QSet<TransferConnection*> m_transfers;          // running transfers
    QTimer m_ticketSweep;
};

} // namespace voiceserver

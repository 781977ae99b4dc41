// SPDX-License-Identifier: MIT
#pragma once

#include "core.h"
#include "frame.h"
#include "screen/screenlink.h"
#include "tlssocket.h"
#include "transfer.h"
#include "voicelink.h"

#include <QCborMap>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QTimer>

#include <deque>
#include <map>
#include <string>

namespace voicesdk {

// The control connection of one handler. Lives on the network thread; turns server messages
// into mirror updates and callbacks.
//
//   Idle -> Connecting (TCP) -> Handshaking (hello sent) -> Syncing (welcome received, state
//   arriving) -> Established (state committed: statuses 2, 3, 4) -> Idle
//
// Any failure returns to Idle with status 0 and the error; stop() returns to Idle with status 0
// and ERROR_ok.
class Connection : public QObject
{
    Q_OBJECT
public:
    struct Start
    {
        quint64 generation = 0;
        QString host;
        quint16 port = 0;
        QCborMap hello;
        bool plain = false; // no TLS (VOICESDK_PLAIN=1), for servers started with --no-tls
    };

    Connection(uint64 handler, QObject* parent);
    ~Connection() override;

    void start(const Start& start);
    void stop(quint64 generation, const QString& quitMessage);
    // Sends an encoded request, at the pace the server takes requests; dropped with a log line
    // unless established.
    void send(const QByteArray& frame);
    // Ends the connection quietly because the handler is gone; no callback follows.
    void shutdown();
    // Starts a file transfer; its end always arrives as onFileTransferStatusEvent.
    void startTransfer(const TransferRequest& request);
    VoiceLink* voiceLink() { return m_voice; }
    ScreenLink* screenLink() { return m_screen; }

private:
    enum class Phase { Idle, Connecting, Handshaking, Syncing, Established };

    void onConnected();
    // The certificate verifies, or is trusted on first use and then only that one; false when
    // the connection was refused.
    bool checkCertificate();
    void onReadyRead();
    // Delivers a textMessage read directly from its frame; false leaves it to handleMessage.
    bool deliverText(const protocol::FrameDecoder::Frame& frame);
    void onSocketGone();
    void handleMessage(const QCborMap& message);
    bool handleHandshake(const QString& type, const QCborMap& message);
    bool handleSync(const QString& type, const QCborMap& message);
    bool handleEvent(const QString& type, const QCborMap& message);
    void commitState();
    // Writes a frame now, bypassing the pace (keep-alives, voice); false after failing.
    bool write(const QByteArray& frame);
    bool takeToken();
    void sendPaced();
    // Pings a quiet server, and gives up on one that has stopped answering.
    void keepAlive();
    // The mirror's bound: false when channel id would grow it past what the library keeps.
    static bool roomForChannel(const ServerMirror& mirror, uint64 id);
    void tooManyChannels();
    void fail(unsigned int error, const QString& reason);
    void closeSocket(const QByteArray& lastWords);
    void resetMirror();
    bool handleFileEvent(const QString& type, const QCborMap& message);
    void transferFinished(anyID id, unsigned int code, const QString& message, qint64 size);
    // Ends every transfer; reported unless the handler is gone.
    void abortTransfers(unsigned int code, const QString& why);

    template <typename Fn, typename... Args> void notify(Fn ClientUIFunctions::*entry, Args... args)
    {
        Fn fn = callbacks().*entry;
        if (fn && !m_removed)
            fn(m_handler, args...);
    }

    uint64 m_handler;
    bool m_removed = false; // the handler is gone
    Phase m_phase = Phase::Idle;
    quint64 m_generation = 0;
    TlsSocket* m_socket = nullptr;
    bool m_plain = false;
    QSslCertificate m_certificate; // the server's, once the handshake is done
    QString m_trustOnSuccess;      // a first contact's fingerprint, remembered once encrypted
    protocol::FrameDecoder m_decoder;
    QByteArray m_readBuffer;
    QTimer m_timer;
    QTimer m_ping;
    int m_idleTimeoutMs = 30000; // the server's, from its welcome
    // Requests keep to the server's flood limit: what the bucket has no token for waits here,
    // in order, instead of being refused by the server.
    double m_tokens = 0;
    double m_burst = 0;
    double m_rate = 0; // tokens a millisecond
    qint64 m_tokensAt = 0;
    std::deque<QByteArray> m_paced;
    qint64 m_pacedBytes = 0;
    QTimer m_pace;
    qint64 m_lastHeard = 0; // msecs since the epoch
    QCborMap m_hello;
    ServerMirror m_sync; // the state being received
    QList<uint64> m_channelOrder;
    QString m_host;
    quint16 m_port = 0;
    std::map<anyID, Transfer*> m_transfers;
    std::string m_textName, m_textUniqueId, m_textBody;
    bool m_reading = false; // inside onReadyRead
    VoiceLink* m_voice;
    ScreenLink* m_screen;
    QByteArray m_voiceToken; // from the welcome
    QByteArray m_voiceUpKey, m_voiceDownKey;
    bool m_voiceUdp = false;
    // Where datagrams go when the welcome names a place (an instance behind a front); port 0:
    // to the control connection's peer.
    QHostAddress m_voiceAddress;
    quint16 m_voicePort = 0;
    bool m_voiceLoss = false;   // the server takes loss reports
    bool m_voiceBursts = false; // and bursts, and passes copies of older frames on
};

// Owns the connections; the network thread's root object.
class Core : public QObject
{
    Q_OBJECT
public:
    Core() = default;
    ~Core() override;

    // The handler's connection, created on first use; null once the handler is gone.
    Connection* connection(uint64 handler);
    // The handler's voice link; null when it has no connection. Never creates one.
    VoiceLink* voiceLink(uint64 handler);
    // The same for its live screens.
    ScreenLink* screenLink(uint64 handler);
    void remove(uint64 handler);

private:
    std::map<uint64, Connection*> m_connections;
};

} // namespace voicesdk

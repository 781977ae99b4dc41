// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QSslConfiguration>
#include <QString>
#include <QThread>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

class QTcpSocket;

namespace voiceserver {

class Session;
class IoThread;

// What a session and its connection's thread both look at.
struct WireState
{
    explicit WireState(qint64 maxOutputBytes) : maxOutputBytes(maxOutputBytes) {}

    // Unsent output beyond which the peer is dropped: judged by the thread, on what the kernel
    // did not take, like a single-threaded server would.
    const qint64 maxOutputBytes;
    std::atomic<qint64> queued{0}; // bytes the session handed over, in all
    std::atomic<qint64> handed{0}; // of those, the bytes the thread has given the socket
    std::atomic<qint64> unsent{0}; // bytes the socket still holds
    std::atomic<bool> encrypted{false};

    // Output not yet with the kernel: on its way to the thread, or in the socket.
    qint64 backlog() const { return queued.load() - handed.load() + unsent.load(); }
};

// An order for a connection's thread.
struct WireCommand
{
    enum Kind {
        Open,     // take the descriptor and start reading
        Data,     // bytes to send
        Voice,    // bytes to send unless the peer is behind: then they are dropped
        Activate, // past the hello: read on
        Close,    // graceful (flush first) or not
        Forget,   // the session is gone; so goes the connection
    };
    Kind kind = Data;
    quint64 id = 0;
    QByteArray bytes;
    qintptr descriptor = -1;
    bool graceful = false;
    std::shared_ptr<WireState> state;
};

// News from a connection's thread for the session.
struct WireEvent
{
    enum Kind {
        Frame,     // one frame's body
        Malformed, // the stream cannot be read on (reason)
        Failed,    // the connection failed (reason): TLS, or the descriptor could not be taken
        Gone,      // the socket is closed; nothing more comes
    };
    Kind kind = Frame;
    quint64 id = 0;
    QByteArray bytes;
    QString reason;
};

// The server's connections, spread over threads that each own theirs: reading, framing, TLS and
// writing happen there, what the frames mean in the thread that runs the Server (the hub).
// Orders and news travel in batches: what the hub sends while handling one wake-up goes to
// each thread as one batch when the hub is about to wait again, and each thread hands the hub
// all it read in one go.
class IoPool : public QObject
{
    Q_OBJECT
public:
    // threads: how many (0: one per core). tls: the configuration of server-side encryption,
    // or null for plain connections.
    IoPool(int threads, const QSslConfiguration* tls, QObject* parent = nullptr);
    ~IoPool() override;

    int threadCount() const { return int(m_threads.size()); }
    // The server's certificate and key for connections opened from now on; open ones keep
    // what they started with. Only for a pool made with TLS.
    void replaceTlsIdentity(const QSslConfiguration& tls);

    // Hands a new connection to the least busy thread; the session hears of it by its ID.
    quint64 open(Session* session, qintptr descriptor, std::shared_ptr<WireState> state);
    void post(quint64 id, WireCommand command);
    // Ends the framed protocol on a connection that has delivered exactly one frame: its
    // socket comes over to the calling thread with the bytes read past that frame.
    QTcpSocket* detach(quint64 id, QByteArray* pending);
    void forget(quint64 id);

    // The connection threads call these.
    void deliver(std::vector<WireEvent>& events);

private:
    void pump();
    void flush();

    struct Route
    {
        Session* session = nullptr;
        IoThread* thread = nullptr;
    };

    std::vector<std::unique_ptr<IoThread>> m_threads;
    QHash<quint64, Route> m_routes; // open connections by ID
    quint64 m_nextId = 1;
    std::mutex m_inboxLock;         // pthread's, which thread checkers understand
    std::vector<WireEvent> m_inbox; // from the threads, under m_inboxLock
    bool m_woken = false;           // the hub was woken for the inbox, under m_inboxLock
    std::vector<WireEvent> m_draining;
    QAbstractEventDispatcher* m_dispatcher;
};

} // namespace voiceserver

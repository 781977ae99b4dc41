// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QHash>
#include <QObject>
#include <QString>
#include <QThread>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

typedef struct ssl_ctx_st SSL_CTX;

namespace voicesdk::protocol {
class TlsStream;
}

namespace voiceserver {

class Session;
class IoThread;
struct TlsIdentity;

// What a session and its connection's thread both look at.
struct WireState
{
    explicit WireState(qint64 maxOutputBytes) : maxOutputBytes(maxOutputBytes) {}

    // Unsent output beyond which the peer is dropped: judged by the thread, on what the kernel
    // did not take, like a single-threaded server would.
    const qint64 maxOutputBytes;
    std::atomic<qint64> queued{0}; // bytes the session handed over, in all
    std::atomic<qint64> handed{0}; // of those, the bytes the thread has given the socket
    std::atomic<qint64> unsent{0}; // bytes the connection still holds
    std::atomic<bool> encrypted{false};
    // When the thread last read a frame (ms since the epoch): silence is judged by what arrived,
    // not by when a busy hub got to it.
    std::atomic<qint64> lastFrameAt{0};
    std::atomic<qint64> framesRead{0};

    // Output not yet with the kernel: on its way to the thread, or in the socket.
    qint64 backlog() const { return queued.load() - handed.load() + unsent.load(); }
};

// What a connection's thread needs to take a new descriptor.
struct WireOpening
{
    std::shared_ptr<WireState> state;
    std::shared_ptr<SSL_CTX> tls; // the context a TLS connection starts from
};

// An order for a connection's thread. Kept small: a crowd's join makes one per connection per
// wake-up of the hub, thousands at a time.
struct WireCommand
{
    enum Kind {
        Open,     // take the descriptor and start reading
        Data,     // bytes to send
        Notice,   // bytes that may wait a moment for company (Data's frames, none urgent)
        Voice,    // bytes to send unless the peer is behind: then they are dropped
        Activate, // past the hello: read on
        Close,    // graceful (flush first) or not
        Forget,   // the session is gone; so goes the connection
    };
    Kind kind = Data;
    bool graceful = false;
    int descriptor = -1;
    quint64 id = 0;
    QByteArray bytes;                     // Voice
    QByteArrayList frames;                // Data, Notice
    std::unique_ptr<WireOpening> opening; // Open
};

// News from a connection's thread for the session.
struct WireEvent
{
    enum Kind {
        Frame,     // one frame's body
        Malformed, // the stream cannot be read on (reason)
        Failed,    // the connection failed (reason): TLS, or the descriptor could not be taken
        Gone,      // the socket is closed (how, in reason); nothing more comes
    };
    Kind kind = Frame;
    quint64 id = 0;
    QByteArray bytes;
    QString reason;
};

// The server's connections, spread over threads that each own theirs: reading, framing, TLS and
// writing happen there, what the frames mean in the thread that runs the Server (the hub).
// Orders and news travel in batches: what the hub sends while handling one wake-up goes to
// each thread as one batch when the hub is about to wait again, a connection's frames in it as
// one order, and each thread hands the hub all it read in one go. A connection there is its
// descriptor, OpenSSL's SSL on it and its framing, watched by the thread's epoll directly: no
// QObject and no Qt buffer each.
class IoPool : public QObject
{
    Q_OBJECT
public:
    // threads: how many (0: one per core). tls: connections start with a TLS handshake, once
    // replaceTlsIdentity() has given them an identity.
    IoPool(int threads, bool tls, QObject* parent = nullptr);
    ~IoPool() override;

    int threadCount() const { return int(m_threads.size()); }
    bool isTls() const { return m_tlsOn; }

    // Connections from now on show this identity; open ones keep theirs. False with *error
    // (and nothing changed) when it cannot be used, or the pool speaks in clear. Any thread.
    bool replaceTlsIdentity(const TlsIdentity& identity, QString* error);

    // Hands a new connection to the least busy thread; the session hears of it by its ID.
    quint64 open(Session* session, qintptr descriptor, std::shared_ptr<WireState> state);
    void post(quint64 id, WireCommand command);
    // Ends the framed protocol on a connection that has delivered exactly one frame: its
    // stream comes over to the calling thread with the bytes read past that frame.
    std::unique_ptr<voicesdk::protocol::TlsStream> detach(quint64 id, QByteArray* pending);
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
        QByteArrayList pending; // frames of this wake-up, not yet handed over
        bool urgent = false;    // one of them may not wait
    };
    void handOver(quint64 id, Route& route);

    std::vector<std::unique_ptr<IoThread>> m_threads;
    const bool m_tlsOn;
    std::mutex m_tlsLock;
    std::shared_ptr<SSL_CTX> m_tls; // under m_tlsLock
    QHash<quint64, Route> m_routes; // open connections by ID
    std::vector<quint64> m_dirty;   // connections with pending frames
    quint64 m_nextId = 1;
    std::mutex m_inboxLock;         // pthread's, which thread checkers understand
    std::vector<WireEvent> m_inbox; // from the threads, under m_inboxLock
    bool m_woken = false;           // the hub was woken for the inbox, under m_inboxLock
    std::vector<WireEvent> m_draining;
    QAbstractEventDispatcher* m_dispatcher;
};

} // namespace voiceserver

// SPDX-License-Identifier: MIT
#include "iopool.h"

#include "epolldispatcher.h"
#include "frame.h"
#include "session.h"
#include "tls.h"

#include "tlsidentity.h"

#include <QAbstractEventDispatcher>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QSemaphore>
#include <QSet>
#include <QTimer>

#include <openssl/ssl.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <deque>
#include <future>
#include <limits>

namespace voiceserver {

using voicesdk::protocol::TlsStream;

namespace {
constexpr int ReadChunk = 64 * 1024; // OpenSSL hands out one record (16 KiB) at most
// What one connection may read in one wake-up before the others have their turn.
constexpr qint64 ReadPerWakeUp = 256 * 1024;
constexpr int GracefulCloseMs = 2000;
// How long news about others may wait for a frame that cannot: at 2,000 clients, ten coming
// and ten going a second cost as many writes as all the texts did.
constexpr int NoticeDelayMs = 50;
} // namespace

class IoWorker;

// One connection as its thread sees it: the descriptor with its TLS, the framing and the way it
// closes. Not a QObject: the thread's epoll tells it when the descriptor is ready.
class Wire final : public EpollWatcher
{
public:
    Wire(quint64 id, std::shared_ptr<WireState> state, IoWorker* worker);
    ~Wire();

    void open(qintptr descriptor, SSL_CTX* tls);
    void ready(uint32_t events) override;
    // A wake-up's frames for the peer (that may wait for company: notices), or a voice frame,
    // dropped when the peer is behind.
    void write(const QByteArrayList& frames, bool notices);
    void writeVoice(const QByteArray& bytes);
    // Hands the connection what it takes now.
    void flush();
    void activate();
    void close(bool graceful);
    // A graceful close ran out of time.
    void expire();
    // Reads on after a wake-up's share ran out.
    void readAgain() { readFrames(); }
    std::unique_ptr<TlsStream> detach(QByteArray* pending);

private:
    void readFrames();
    // Counts bytes the session handed over; whether the connection still sends.
    bool takes(qint64 size);
    // After output was queued: sent with the others at the wake-up's end (notices: with the
    // next frame that cannot wait, or a moment later), unless the peer is too far behind.
    void queued(bool notices = false);
    // Reads until the peer's end after a graceful close.
    void linger();
    void send();
    // Output not yet with the kernel.
    qint64 unsent() const;
    void watch();
    void ended();
    void gone(const QString& reason = {});
    void tell(WireEvent::Kind kind, QByteArray bytes = {}, QString reason = {});

    quint64 m_id;
    std::shared_ptr<WireState> m_state;
    IoWorker* m_worker;
    std::unique_ptr<TlsStream> m_stream;
    voicesdk::protocol::FrameDecoder m_decoder;
    qint64 m_handed = 0; // bytes the session handed over
    QByteArray m_out;    // bytes not yet taken by the connection, from m_outTaken on
    int m_outTaken = 0;
    bool m_overflowed = false;
    bool m_active = false;     // past the hello: frames flow freely
    bool m_held = false;       // a frame is with the hub and the next must wait for its answer
    bool m_broken = false;     // the stream cannot be read on
    bool m_reading = false;    // inside readFrames
    bool m_peerClosed = false; // seen while a frame was with the hub: told once it answers
    bool m_closing = false;    // graceful: the last bytes go out, then goodbye
    bool m_lingering = false;  // said goodbye; waiting for the peer's end
    bool m_gone = false;
    bool m_watchWrite = false; // the watch as last set
    bool m_watchRead = false;
};

// Lives in an I/O thread: carries out the hub's orders on the thread's connections and collects
// what they have to say.
class IoWorker : public QObject
{
public:
    IoWorker(IoPool* pool, IoThread* thread, EpollDispatcher* dispatcher);
    ~IoWorker() override { qDeleteAll(m_wires); }

    void pump();
    Wire* wire(quint64 id) const { return m_wires.value(id); }
    void tell(WireEvent event) { m_events.push_back(std::move(event)); }
    void touched(Wire* wire) { m_touched.insert(wire); }
    // Flushes the connection within NoticeDelayMs, unless something urgent does it sooner.
    void later(Wire* wire);
    EpollDispatcher* dispatcher() const { return m_dispatcher; }
    // A plain-text scratch buffer for reading, shared by the thread's connections.
    char* scratch() { return m_scratch.get(); }
    // Calls expire() on the connection after the graceful close's time.
    void closeLater(quint64 id);
    // Reads on with the connection at the next wake-up.
    void readLater(quint64 id);

private:
    void carryOut(WireCommand& command);
    void expireDue();
    void flushLater();

    IoPool* m_pool;
    IoThread* m_thread;
    EpollDispatcher* m_dispatcher;
    QHash<quint64, Wire*> m_wires;
    QSet<Wire*> m_touched;
    QSet<Wire*> m_later;
    QTimer m_laterTimer;
    std::vector<WireEvent> m_events;
    std::vector<WireCommand> m_commands;
    std::vector<quint64> m_readAgain, m_reading;
    std::deque<std::pair<qint64, quint64>> m_closes; // deadline, connection; in order
    QTimer m_closeTimer;
    std::unique_ptr<char[]> m_scratch;
    bool m_pumping = false;
};

// A thread of the pool: its own epoll loop, its inbox of orders from the hub.
class IoThread : public QThread
{
public:
    explicit IoThread(IoPool* pool) : m_pool(pool), m_dispatcher(new EpollDispatcher)
    {
        setEventDispatcher(m_dispatcher);
    }

    void startAndWait()
    {
        start();
        m_ready.acquire();
    }

    // Hub side: orders gathered while handling a wake-up, sent at once.
    std::vector<WireCommand> outbox;
    std::atomic<int> connections{0};

    void push(std::vector<WireCommand>& commands)
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        if (m_inbox.empty()) {
            m_inbox.swap(commands);
        } else {
            for (WireCommand& command : commands)
                m_inbox.push_back(std::move(command));
            commands.clear();
        }
        if (!m_woken) {
            m_woken = true;
            m_dispatcher->wakeUp();
        }
    }

    void take(std::vector<WireCommand>* commands)
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        commands->swap(m_inbox);
        m_woken = false;
    }

    IoWorker* worker() const { return m_worker; }

protected:
    void run() override
    {
        IoWorker worker(m_pool, this, m_dispatcher);
        m_worker = &worker;
        connect(m_dispatcher, &QAbstractEventDispatcher::awake, &worker, &IoWorker::pump,
                Qt::DirectConnection);
        connect(m_dispatcher, &QAbstractEventDispatcher::aboutToBlock, &worker, &IoWorker::pump,
                Qt::DirectConnection);
        m_ready.release();
        exec();
        disconnect(m_dispatcher, nullptr, &worker, nullptr);
        m_worker = nullptr;
    }

private:
    IoPool* m_pool;
    EpollDispatcher* m_dispatcher; // the thread's, which owns it
    IoWorker* m_worker = nullptr;
    QSemaphore m_ready;
    std::mutex m_lock;
    std::vector<WireCommand> m_inbox; // under m_lock
    bool m_woken = false;             // under m_lock
};

// --- Wire

Wire::Wire(quint64 id, std::shared_ptr<WireState> state, IoWorker* worker)
    : m_id(id), m_state(std::move(state)), m_worker(worker)
{}

Wire::~Wire()
{
    if (m_stream)
        m_worker->dispatcher()->unwatch(m_stream->descriptor());
}

void Wire::tell(WireEvent::Kind kind, QByteArray bytes, QString reason)
{
    WireEvent event;
    event.kind = kind;
    event.id = m_id;
    event.bytes = std::move(bytes);
    event.reason = std::move(reason);
    m_worker->tell(std::move(event));
}

void Wire::open(qintptr descriptor, SSL_CTX* tls)
{
    const int fd = int(descriptor);
    SSL* ssl = tls ? SSL_new(tls) : nullptr;
    if (tls && !ssl) {
        tell(WireEvent::Failed, {},
             QStringLiteral("cannot take a new connection: %1")
                 .arg(voicesdk::protocol::takeTlsError(QStringLiteral("no memory for TLS"))));
        ::close(fd);
        gone();
        return;
    }
    if (ssl)
        SSL_set_accept_state(ssl);
    m_stream = std::make_unique<TlsStream>(fd, ssl);
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    watch();
}

void Wire::watch()
{
    // A peer heard hanging up while the hub answers its frame stays unwatched until then.
    if (!m_stream || m_gone || m_peerClosed)
        return;
    // Reading pauses while a frame waits for the hub's answer (a hang-up is heard regardless).
    const bool read = m_lingering || !m_stream->isEncrypted() || (!m_held && !m_broken);
    const bool write = m_stream->wantsWrite() || (!m_out.isEmpty() && m_stream->isEncrypted());
    if (read == m_watchRead && write == m_watchWrite)
        return;
    m_watchRead = read;
    m_watchWrite = write;
    m_worker->dispatcher()->watch(m_stream->descriptor(), this, read, write);
}

void Wire::ready(uint32_t events)
{
    if (!m_stream || m_gone)
        return;
    if (m_lingering)
        return linger();
    if (!m_stream->isEncrypted()) {
        if (!m_stream->handshake()) {
            if (m_stream->state() != TlsStream::State::Open)
                return ended();
            return watch();
        }
        m_state->encrypted = true;
    }
    if (events & EPOLLOUT)
        send();
    if (m_held && (events & (EPOLLHUP | EPOLLERR))) {
        // Heard while the hub answers a frame: the bytes still in the socket may belong to a
        // transfer, which takes the socket over with them.
        m_peerClosed = true;
        m_worker->dispatcher()->unwatch(m_stream->descriptor());
        m_watchRead = m_watchWrite = false;
        return;
    }
    readFrames();
}

bool Wire::takes(qint64 size)
{
    m_handed += size;
    m_state->handed = m_handed;
    return m_stream && !m_gone && !m_overflowed && !m_closing;
}

void Wire::write(const QByteArrayList& frames, bool notices)
{
    qint64 size = 0;
    for (const QByteArray& frame : frames)
        size += frame.size();
    if (!takes(size))
        return;
    // Everything for this peer in one wake-up leaves in one write (records of up to 16 KiB).
    if (m_out.isEmpty() && frames.size() == 1) {
        m_out = frames.front(); // shared, such as a roster
    } else {
        const qint64 needed = m_out.size() + size;
        if (needed > m_out.capacity() && needed < std::numeric_limits<int>::max() / 2)
            m_out.reserve(int(qMax<qint64>(needed, 2 * qint64(m_out.capacity()))));
        for (const QByteArray& frame : frames)
            m_out += frame;
    }
    queued(notices);
}

void Wire::writeVoice(const QByteArray& bytes)
{
    if (!takes(bytes.size()))
        return;
    // Late voice is worthless, never worth the connection: it goes only where there is room.
    const qint64 bound = m_state->maxOutputBytes;
    if (unsent() + bytes.size() > bound) {
        send();
        if (unsent() + bytes.size() > bound)
            return;
    }
    if (m_out.isEmpty())
        m_out = bytes;
    else
        m_out += bytes;
    queued();
}

void Wire::queued(bool notices)
{
    if (notices)
        m_worker->later(this);
    else
        m_worker->touched(this);
    if (unsent() <= m_state->maxOutputBytes)
        return;
    // What the kernel takes now first (a wake-up's frames come as one order), and only then
    // judge the peer.
    send();
    if (m_gone || unsent() <= m_state->maxOutputBytes)
        return;
    m_overflowed = true;
    m_out.clear();
    m_outTaken = 0;
    tell(WireEvent::Failed, {}, QStringLiteral("output buffer overflow (peer not reading)"));
}

void Wire::flush()
{
    if (!m_stream || m_gone) {
        m_out.clear();
        m_outTaken = 0;
        return;
    }
    send();
}

qint64 Wire::unsent() const
{
    return m_out.size() - m_outTaken + (m_stream ? m_stream->pendingBytes() : 0);
}

void Wire::send()
{
    if (!m_stream || m_gone || !m_stream->isEncrypted())
        return;
    m_stream->writeQueue(&m_out, &m_outTaken, 64 * 1024);
    m_state->unsent = unsent();
    if (m_stream->state() != TlsStream::State::Open) {
        if (m_stream->state() == TlsStream::State::Failed)
            tell(WireEvent::Failed, {}, m_stream->errorString());
        else
            gone(m_stream->errorString());
        return;
    }
    if (m_closing && m_out.isEmpty() && !m_lingering) {
        // The last words are out: goodbye, then the peer's end is awaited (bounded).
        m_lingering = true;
        m_stream->shutdownOutput();
    }
    watch();
}

void Wire::activate()
{
    m_active = true;
    m_held = false;
    if (m_peerClosed && m_stream && !m_gone) {
        m_peerClosed = false;
        m_watchRead = m_watchWrite = false;
        watch();
    }
    readFrames();
}

void Wire::readFrames()
{
    using voicesdk::protocol::FrameDecoder;
    if (m_reading || !m_stream || m_gone)
        return;
    m_reading = true;
    qint64 read = 0;
    int framed = 0;
    while (!m_broken && !m_held) {
        FrameDecoder::Frame frame;
        const FrameDecoder::Result result = m_decoder.nextFrame(&frame);
        if (result == FrameDecoder::Message) {
            tell(WireEvent::Frame, QByteArray(frame.data, frame.size));
            ++framed;
            // Before the hello is answered the next frame may not be a frame at all: a transfer
            // connection leaves the framed protocol after its first one.
            m_held = !m_active;
            continue;
        }
        if (result == FrameDecoder::Error) {
            m_broken = true;
            tell(WireEvent::Malformed, {}, m_decoder.errorString());
            break;
        }
        if (read >= ReadPerWakeUp) {
            // Others have their turn; what OpenSSL holds is no readiness of the descriptor.
            if (m_stream->hasBuffered())
                m_worker->readLater(m_id);
            break;
        }
        const qint64 got = m_stream->read(m_worker->scratch(), ReadChunk);
        if (got > 0) {
            read += got;
            m_decoder.append(m_worker->scratch(), int(got));
            continue;
        }
        if (got < 0)
            ended();
        break;
    }
    m_reading = false;
    if (framed > 0) {
        m_state->lastFrameAt.store(QDateTime::currentMSecsSinceEpoch(), std::memory_order_relaxed);
        m_state->framesRead.fetch_add(framed, std::memory_order_relaxed);
    }
    if (!m_gone)
        watch();
}

void Wire::ended()
{
    if (m_stream->state() == TlsStream::State::Failed) {
        m_broken = true;
        tell(WireEvent::Failed, {}, m_stream->errorString());
        return;
    }
    // The peer closed: a frame with the hub may be a transfer's, whose bytes came before.
    if (m_held) {
        m_peerClosed = true;
        return;
    }
    gone(m_stream->errorString());
}

void Wire::linger()
{
    m_stream->flush(); // the goodbye may still wait for room
    char* buffer = m_worker->scratch();
    for (;;) {
        const qint64 got = m_stream->read(buffer, ReadChunk);
        if (got < 0)
            return gone();
        if (got == 0)
            return watch();
    }
}

void Wire::close(bool graceful)
{
    if (!m_stream || m_gone)
        return gone();
    m_broken = true; // nothing more is read
    if (!graceful || m_peerClosed || !m_stream->isEncrypted() ||
        m_stream->state() != TlsStream::State::Open)
        return gone();
    if (m_closing)
        return;
    m_closing = true;
    m_worker->closeLater(m_id);
    send(); // the last words go first
}

void Wire::expire()
{
    if (m_closing)
        gone();
}

std::unique_ptr<TlsStream> Wire::detach(QByteArray* pending)
{
    if (!m_stream || m_gone)
        return nullptr;
    m_worker->dispatcher()->unwatch(m_stream->descriptor());
    m_gone = true; // quietly: the session knows
    m_out.clear(); // before its hello a connection is sent nothing
    *pending = m_decoder.takePending();
    return std::move(m_stream);
}

void Wire::gone(const QString& reason)
{
    if (m_gone)
        return;
    m_gone = true;
    m_out.clear();
    if (m_stream) {
        m_worker->dispatcher()->unwatch(m_stream->descriptor());
        m_stream.reset(); // the descriptor and OpenSSL's state go now, not when forgotten
    }
    tell(WireEvent::Gone, {}, reason);
}

// --- IoWorker

IoWorker::IoWorker(IoPool* pool, IoThread* thread, EpollDispatcher* dispatcher)
    : m_pool(pool), m_thread(thread), m_dispatcher(dispatcher), m_scratch(new char[ReadChunk])
{
    m_closeTimer.setSingleShot(true);
    connect(&m_closeTimer, &QTimer::timeout, this, &IoWorker::expireDue);
    m_laterTimer.setSingleShot(true);
    connect(&m_laterTimer, &QTimer::timeout, this, &IoWorker::flushLater);
}

void IoWorker::later(Wire* wire)
{
    m_later.insert(wire);
    if (!m_laterTimer.isActive())
        m_laterTimer.start(NoticeDelayMs);
}

void IoWorker::flushLater()
{
    for (Wire* wire : qAsConst(m_later))
        wire->flush();
    m_later.clear();
}

void IoWorker::closeLater(quint64 id)
{
    const qint64 deadline = QDeadlineTimer::current().deadline() + GracefulCloseMs;
    m_closes.emplace_back(deadline, id);
    if (!m_closeTimer.isActive())
        m_closeTimer.start(GracefulCloseMs);
}

void IoWorker::expireDue()
{
    const qint64 now = QDeadlineTimer::current().deadline();
    while (!m_closes.empty() && m_closes.front().first <= now) {
        const quint64 id = m_closes.front().second;
        m_closes.pop_front();
        if (Wire* wire = m_wires.value(id))
            wire->expire();
    }
    if (!m_closes.empty())
        m_closeTimer.start(int(qMax<qint64>(1, m_closes.front().first - now)));
}

void IoWorker::readLater(quint64 id)
{
    if (m_readAgain.empty())
        m_dispatcher->wakeUp();
    m_readAgain.push_back(id);
}

void IoWorker::pump()
{
    if (m_pumping)
        return;
    m_pumping = true;
    m_thread->take(&m_commands);
    for (WireCommand& command : m_commands)
        carryOut(command);
    m_commands.clear();
    if (!m_readAgain.empty()) {
        m_reading.swap(m_readAgain);
        for (quint64 id : m_reading) {
            if (Wire* wire = m_wires.value(id))
                wire->readAgain();
        }
        m_reading.clear();
    }
    for (Wire* wire : qAsConst(m_touched))
        wire->flush();
    m_touched.clear();
    if (!m_events.empty())
        m_pool->deliver(m_events);
    m_pumping = false;
}

void IoWorker::carryOut(WireCommand& command)
{
    if (command.kind == WireCommand::Open) {
        auto* wire = new Wire(command.id, std::move(command.opening->state), this);
        m_wires.insert(command.id, wire);
        wire->open(command.descriptor, command.opening->tls.get());
        command.opening.reset(); // the SSL holds the context now
        return;
    }
    Wire* wire = m_wires.value(command.id);
    if (!wire)
        return;
    switch (command.kind) {
    case WireCommand::Data:
    case WireCommand::Notice:
        wire->write(command.frames, command.kind == WireCommand::Notice);
        break;
    case WireCommand::Voice:
        wire->writeVoice(command.bytes);
        break;
    case WireCommand::Activate:
        wire->activate();
        break;
    case WireCommand::Close:
        wire->close(command.graceful);
        break;
    case WireCommand::Forget:
        m_wires.remove(command.id);
        m_touched.remove(wire);
        m_later.remove(wire);
        delete wire;
        break;
    case WireCommand::Open:
        break;
    }
}

// --- IoPool

IoPool::IoPool(int threads, bool tls, QObject* parent)
    : QObject(parent), m_tlsOn(tls), m_dispatcher(QAbstractEventDispatcher::instance())
{
    if (threads <= 0)
        threads = qMax(1, QThread::idealThreadCount());
    for (int i = 0; i < threads; ++i) {
        m_threads.push_back(std::make_unique<IoThread>(this));
        m_threads.back()->startAndWait();
    }
    connect(m_dispatcher, &QAbstractEventDispatcher::awake, this, &IoPool::pump);
    connect(m_dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, &IoPool::pump);
}

IoPool::~IoPool()
{
    disconnect(m_dispatcher, nullptr, this, nullptr);
    flush();
    for (auto& thread : m_threads) {
        thread->quit();
        thread->wait();
    }
}

bool IoPool::replaceTlsIdentity(const TlsIdentity& identity, QString* error)
{
    if (!m_tlsOn) {
        *error = QStringLiteral("TLS is off");
        return false;
    }
    std::shared_ptr<SSL_CTX> context = makeServerContext(identity, error);
    if (!context)
        return false;
    const std::lock_guard<std::mutex> lock(m_tlsLock);
    m_tls.swap(context);
    return true; // the old context goes with its last connection
}

quint64 IoPool::open(Session* session, qintptr descriptor, std::shared_ptr<WireState> state)
{
    IoThread* least = m_threads.front().get();
    for (auto& thread : m_threads) {
        if (thread->connections < least->connections)
            least = thread.get();
    }
    const quint64 id = m_nextId++;
    m_routes.insert(id, Route{session, least, {}});
    ++least->connections;
    WireCommand command;
    command.kind = WireCommand::Open;
    command.id = id;
    command.descriptor = int(descriptor);
    command.opening = std::make_unique<WireOpening>();
    command.opening->state = std::move(state);
    if (m_tlsOn) {
        const std::lock_guard<std::mutex> lock(m_tlsLock);
        command.opening->tls = m_tls;
    }
    least->outbox.push_back(std::move(command));
    return id;
}

void IoPool::post(quint64 id, WireCommand command)
{
    const auto route = m_routes.find(id);
    if (route == m_routes.end())
        return;
    if (command.kind == WireCommand::Data || command.kind == WireCommand::Notice) {
        // A connection's frames of one wake-up go over as one order: a crowd coming in sends
        // everybody an announcement per newcomer, millions of orders otherwise. The frames stay
        // shared; the connection's thread gathers them, in its own heap, as it always did.
        if (route->pending.isEmpty())
            m_dirty.push_back(id);
        route->pending.append(std::move(command.bytes));
        route->urgent = route->urgent || command.kind == WireCommand::Data;
        return;
    }
    handOver(id, *route); // what was said before goes first
    command.id = id;
    route->thread->outbox.push_back(std::move(command));
}

void IoPool::handOver(quint64 id, Route& route)
{
    if (route.pending.isEmpty())
        return;
    WireCommand command;
    command.kind = route.urgent ? WireCommand::Data : WireCommand::Notice;
    command.id = id;
    command.frames.swap(route.pending);
    route.urgent = false;
    route.thread->outbox.push_back(std::move(command));
}

std::unique_ptr<TlsStream> IoPool::detach(quint64 id, QByteArray* pending)
{
    const auto route = m_routes.constFind(id);
    if (route == m_routes.constEnd())
        return nullptr;
    IoThread* thread = route->thread;
    flush();
    IoWorker* worker = thread->worker();
    // Rare (a transfer starts): the hub waits while the thread gives the stream up. The thread
    // first carries out the orders sent before, which a posted call may overtake.
    std::promise<std::unique_ptr<TlsStream>> handedOver;
    std::future<std::unique_ptr<TlsStream>> streamFuture = handedOver.get_future();
    QMetaObject::invokeMethod(
        worker,
        [&] {
            worker->pump();
            Wire* wire = worker->wire(id);
            handedOver.set_value(wire ? wire->detach(pending) : nullptr);
        },
        Qt::QueuedConnection);
    return streamFuture.get();
}

void IoPool::forget(quint64 id)
{
    const auto route = m_routes.find(id);
    if (route == m_routes.end())
        return;
    IoThread* thread = route->thread;
    handOver(id, *route);
    m_routes.erase(route);
    --thread->connections;
    WireCommand command;
    command.kind = WireCommand::Forget;
    command.id = id;
    thread->outbox.push_back(std::move(command));
}

void IoPool::deliver(std::vector<WireEvent>& events)
{
    const std::lock_guard<std::mutex> lock(m_inboxLock);
    for (WireEvent& event : events)
        m_inbox.push_back(std::move(event));
    events.clear();
    if (!m_woken) {
        m_woken = true;
        m_dispatcher->wakeUp();
    }
}

void IoPool::pump()
{
    flush();
    {
        const std::lock_guard<std::mutex> lock(m_inboxLock);
        if (m_inbox.empty())
            return;
        m_draining.swap(m_inbox);
        m_woken = false;
    }
    for (WireEvent& event : m_draining) {
        // The session may be gone already: what its connection said last goes unheard.
        const auto route = m_routes.constFind(event.id);
        if (route != m_routes.constEnd())
            route->session->handle(event);
    }
    m_draining.clear();
    flush();
}

void IoPool::flush()
{
    for (quint64 id : m_dirty) {
        const auto route = m_routes.find(id);
        if (route != m_routes.end())
            handOver(id, *route);
    }
    m_dirty.clear();
    for (auto& thread : m_threads) {
        if (!thread->outbox.empty())
            thread->push(thread->outbox);
    }
}

} // namespace voiceserver

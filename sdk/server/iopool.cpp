// SPDX-License-Identifier: MIT
#include "iopool.h"

#include "epolldispatcher.h"
#include "frame.h"
#include "session.h"
#include "tls.h"

#include <QAbstractEventDispatcher>
#include <QSemaphore>
#include <QSet>
#include <QSslSocket>
#include <QTimer>

#include <sys/socket.h>
#include <unistd.h>

#include <future>

namespace voiceserver {

namespace {
constexpr int ReadChunk = 64 * 1024;
constexpr int GracefulCloseMs = 2000;
} // namespace

class IoWorker;

// One connection as its thread sees it: the socket, the framing and the way it closes.
class Wire : public QObject
{
public:
    Wire(quint64 id, std::shared_ptr<WireState> state, IoWorker* worker);

    void open(qintptr descriptor, const QSslConfiguration* tls);
    void write(const QByteArray& bytes, bool droppable);
    // Hands the kernel what it takes now.
    void flush();
    void activate();
    void close(bool graceful);
    QTcpSocket* detach(QThread* to, QByteArray* pending);

private:
    void readFrames();
    void countTaken();
    void gone();
    void tell(WireEvent::Kind kind, QByteArray bytes = {}, QString reason = {});

    quint64 m_id;
    std::shared_ptr<WireState> m_state;
    IoWorker* m_worker;
    QTcpSocket* m_socket = nullptr;
    voicesdk::protocol::FrameDecoder m_decoder;
    qint64 m_handed = 0; // bytes given to the socket
    bool m_overflowed = false;
    QByteArray m_out;    // written in this wake-up, not yet handed to the socket
    qint64 m_unsent = 0; // what the socket held at the last count
    bool m_secure = false;
    bool m_active = false; // past the hello: frames flow freely
    bool m_held = false;   // a frame is with the hub and the next must wait for its answer
    bool m_broken = false; // the stream cannot be read on
    bool m_reading = false;
    bool m_peerClosed = false; // while a frame was with the hub: told once it answers
    bool m_gone = false;
    QTimer m_closeTimer;
};

// Lives in an I/O thread: carries out the hub's orders on the thread's connections and collects
// what they have to say.
class IoWorker : public QObject
{
public:
    IoWorker(IoPool* pool, IoThread* thread) : m_pool(pool), m_thread(thread) {}
    ~IoWorker() override { qDeleteAll(m_wires); }

    void pump();
    Wire* wire(quint64 id) const { return m_wires.value(id); }
    void tell(WireEvent event) { m_events.push_back(std::move(event)); }
    void touched(Wire* wire) { m_touched.insert(wire); }

private:
    void carryOut(WireCommand& command);

    IoPool* m_pool;
    IoThread* m_thread;
    QHash<quint64, Wire*> m_wires;
    QSet<Wire*> m_touched;
    std::vector<WireEvent> m_events;
    std::vector<WireCommand> m_commands;
    bool m_pumping = false;
};

// A thread of the pool: its own epoll loop, its inbox of orders from the hub.
class IoThread : public QThread
{
public:
    IoThread(IoPool* pool, const QSslConfiguration* tls) : m_pool(pool)
    {
        if (tls)
            m_tls = std::make_shared<const QSslConfiguration>(*tls);
        setEventDispatcher(new EpollDispatcher);
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
        for (WireCommand& command : commands)
            m_inbox.push_back(std::move(command));
        commands.clear();
        if (!m_woken) {
            m_woken = true;
            eventDispatcher()->wakeUp();
        }
    }

    void take(std::vector<WireCommand>* commands)
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        commands->swap(m_inbox);
        m_woken = false;
    }

    IoWorker* worker() const { return m_worker; }
    // Read by the thread at every new connection, replaced by the hub.
    std::shared_ptr<const QSslConfiguration> tls()
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        return m_tls;
    }
    void setTls(const QSslConfiguration& tls)
    {
        auto replacement = std::make_shared<const QSslConfiguration>(tls);
        const std::lock_guard<std::mutex> lock(m_lock);
        m_tls = std::move(replacement);
    }

protected:
    void run() override
    {
        IoWorker worker(m_pool, this);
        m_worker = &worker;
        QAbstractEventDispatcher* dispatcher = eventDispatcher();
        connect(dispatcher, &QAbstractEventDispatcher::awake, &worker, &IoWorker::pump,
                Qt::DirectConnection);
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, &worker, &IoWorker::pump,
                Qt::DirectConnection);
        m_ready.release();
        exec();
        disconnect(dispatcher, nullptr, &worker, nullptr);
        m_worker = nullptr;
    }

private:
    IoPool* m_pool;
    std::shared_ptr<const QSslConfiguration> m_tls; // under m_lock
    IoWorker* m_worker = nullptr;
    QSemaphore m_ready;
    std::mutex m_lock;
    std::vector<WireCommand> m_inbox; // under m_lock
    bool m_woken = false;             // under m_lock
};

// --- Wire

Wire::Wire(quint64 id, std::shared_ptr<WireState> state, IoWorker* worker)
    : m_id(id), m_state(std::move(state)), m_worker(worker)
{
    m_closeTimer.setSingleShot(true);
    connect(&m_closeTimer, &QTimer::timeout, this, [this] {
        if (m_socket)
            m_socket->abort();
        gone();
    });
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

void Wire::open(qintptr descriptor, const QSslConfiguration* tls)
{
    QSslSocket* secure = tls ? new QSslSocket(this) : nullptr;
    QTcpSocket* socket = secure ? secure : new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        tell(WireEvent::Failed, {},
             QStringLiteral("cannot take a new connection: %1").arg(socket->errorString()));
        ::close(int(descriptor));
        delete socket;
        gone();
        return;
    }
    m_socket = socket;
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    connect(m_socket, &QTcpSocket::readyRead, this, &Wire::readFrames);
    connect(m_socket, &QTcpSocket::disconnected, this, [this] {
        // A transfer connection may close right after its last byte: those bytes belong to
        // the transfer, which has yet to take the socket over.
        if (m_held)
            m_peerClosed = true;
        else
            gone();
    });
    connect(m_socket, &QTcpSocket::bytesWritten, this, &Wire::countTaken);
    m_secure = secure != nullptr;
    if (secure) {
        connect(secure, &QSslSocket::encryptedBytesWritten, this, &Wire::countTaken);
        connect(secure, &QSslSocket::encrypted, this, [this] { m_state->encrypted = true; });
        // A peer that does not speak TLS, a broken handshake or a record that does not
        // decrypt: the reason goes to the session, which closes.
        connect(secure, &QAbstractSocket::errorOccurred, this,
                [this, secure](QAbstractSocket::SocketError error) {
                    if (error == QAbstractSocket::SslHandshakeFailedError ||
                        error == QAbstractSocket::SslInternalError ||
                        error == QAbstractSocket::SslInvalidUserDataError)
                        tell(WireEvent::Failed, {},
                             QStringLiteral("TLS: %1").arg(secure->errorString()));
                });
        secure->setSslConfiguration(*tls);
        secure->startServerEncryption();
    }
}

void Wire::write(const QByteArray& bytes, bool droppable)
{
    m_handed += bytes.size();
    m_state->handed = m_handed;
    if (!m_socket || m_gone || m_overflowed)
        return;
    using voicesdk::protocol::unsentBytes;
    const qint64 bound = m_state->maxOutputBytes;
    const auto behind = [&] { return unsentBytes(m_socket) + m_out.size() + bytes.size() > bound; };
    // What the socket held at the last count is cheap to look at; only near the bound is it
    // asked again.
    if (m_unsent + m_out.size() + bytes.size() > bound && behind()) {
        // Qt writes to the kernel only between events; hand it what the kernel takes now, and
        // only then judge the peer.
        flush();
        if (behind()) {
            // Late voice is worthless, never worth the connection.
            if (droppable)
                return;
            m_overflowed = true;
            tell(WireEvent::Failed, {},
                 QStringLiteral("output buffer overflow (peer not reading)"));
            return;
        }
    }
    // Everything for this peer in one wake-up leaves in one write (and one TLS record).
    if (m_out.isEmpty())
        m_out = bytes;
    else
        m_out += bytes;
    m_worker->touched(this);
}

void Wire::flush()
{
    if (!m_socket || m_gone) {
        m_out.clear();
        return;
    }
    if (!m_out.isEmpty()) {
        // A plain socket with nothing queued takes the bytes straight from here: no copy into
        // Qt's buffer and no write notifier switched on and off again.
        qint64 done = 0;
        if (!m_secure && m_socket->bytesToWrite() == 0) {
            const ssize_t sent = ::send(int(m_socket->socketDescriptor()), m_out.constData(),
                                        size_t(m_out.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (sent > 0)
                done = sent;
        }
        if (done < m_out.size())
            m_socket->write(m_out.constData() + done, m_out.size() - done);
        m_out.clear();
    }
    if (m_socket->bytesToWrite() > 0) {
        m_socket->flush();
        countTaken();
    } else if (m_unsent != 0 || m_state->unsent != 0) {
        countTaken();
    }
}

void Wire::countTaken()
{
    if (!m_socket)
        return;
    m_unsent = voicesdk::protocol::unsentBytes(m_socket);
    m_state->unsent = m_unsent + m_out.size();
}

void Wire::activate()
{
    m_active = true;
    m_held = false;
    readFrames();
    if (m_peerClosed)
        gone();
}

void Wire::readFrames()
{
    using voicesdk::protocol::FrameDecoder;
    // QSslSocket::flush reads too and may emit readyRead from within a write; the loop below
    // picks up what arrived, and a nested call must not touch the decoder.
    if (m_reading)
        return;
    m_reading = true;
    while (m_socket && !m_broken && !m_held) {
        FrameDecoder::Frame frame;
        const FrameDecoder::Result result = m_decoder.nextFrame(&frame);
        if (result == FrameDecoder::Message) {
            tell(WireEvent::Frame, QByteArray(frame.data, frame.size));
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
        if (m_socket->bytesAvailable() <= 0 || m_decoder.readFrom(m_socket, ReadChunk) <= 0)
            break;
    }
    m_reading = false;
}

void Wire::close(bool graceful)
{
    if (!m_socket || m_gone)
        return gone();
    if (m_socket->state() == QAbstractSocket::UnconnectedState)
        return gone();
    m_broken = true; // nothing more is read
    if (graceful) {
        flush(); // the last words go first
        m_closeTimer.start(GracefulCloseMs);
        m_socket->disconnectFromHost();
    } else {
        m_socket->abort();
        gone();
    }
}

QTcpSocket* Wire::detach(QThread* to, QByteArray* pending)
{
    QTcpSocket* socket = m_socket;
    if (!socket || m_gone)
        return nullptr;
    m_socket = nullptr;
    m_gone = true; // quietly: the session knows
    m_closeTimer.stop();
    m_out.clear(); // before its hello a connection is sent nothing
    socket->disconnect(this);
    socket->setParent(nullptr);
    *pending = m_decoder.takePending();
    socket->moveToThread(to);
    return socket;
}

void Wire::gone()
{
    if (m_gone)
        return;
    m_gone = true;
    m_closeTimer.stop();
    tell(WireEvent::Gone);
}

// --- IoWorker

void IoWorker::pump()
{
    if (m_pumping)
        return;
    m_pumping = true;
    m_thread->take(&m_commands);
    for (WireCommand& command : m_commands)
        carryOut(command);
    m_commands.clear();
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
        auto* wire = new Wire(command.id, std::move(command.state), this);
        m_wires.insert(command.id, wire);
        const std::shared_ptr<const QSslConfiguration> tls = m_thread->tls();
        wire->open(command.descriptor, tls.get());
        return;
    }
    Wire* wire = m_wires.value(command.id);
    if (!wire)
        return;
    switch (command.kind) {
    case WireCommand::Data:
    case WireCommand::Voice:
        wire->write(command.bytes, command.kind == WireCommand::Voice);
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
        delete wire;
        break;
    case WireCommand::Open:
        break;
    }
}

// --- IoPool

IoPool::IoPool(int threads, const QSslConfiguration* tls, QObject* parent)
    : QObject(parent), m_dispatcher(QAbstractEventDispatcher::instance())
{
    if (threads <= 0)
        threads = qMax(1, QThread::idealThreadCount());
    for (int i = 0; i < threads; ++i) {
        m_threads.push_back(std::make_unique<IoThread>(this, tls));
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

void IoPool::replaceTlsIdentity(const QSslConfiguration& tls)
{
    for (auto& thread : m_threads)
        thread->setTls(tls);
}

quint64 IoPool::open(Session* session, qintptr descriptor, std::shared_ptr<WireState> state)
{
    IoThread* least = m_threads.front().get();
    for (auto& thread : m_threads) {
        if (thread->connections < least->connections)
            least = thread.get();
    }
    const quint64 id = m_nextId++;
    m_routes.insert(id, Route{session, least});
    ++least->connections;
    WireCommand command;
    command.kind = WireCommand::Open;
    command.id = id;
    command.descriptor = descriptor;
    command.state = std::move(state);
    least->outbox.push_back(std::move(command));
    return id;
}

void IoPool::post(quint64 id, WireCommand command)
{
    const auto route = m_routes.constFind(id);
    if (route == m_routes.constEnd())
        return;
    command.id = id;
    route->thread->outbox.push_back(std::move(command));
}

QTcpSocket* IoPool::detach(quint64 id, QByteArray* pending)
{
    const auto route = m_routes.constFind(id);
    if (route == m_routes.constEnd())
        return nullptr;
    IoThread* thread = route->thread;
    flush();
    QThread* here = QThread::currentThread();
    IoWorker* worker = thread->worker();
    // Rare (a transfer starts): the hub waits while the thread gives the socket up. The thread
    // first carries out the orders sent before, which a posted call may overtake.
    std::promise<QTcpSocket*> handedOver;
    std::future<QTcpSocket*> socketFuture = handedOver.get_future();
    QMetaObject::invokeMethod(
        worker,
        [&] {
            worker->pump();
            Wire* wire = worker->wire(id);
            handedOver.set_value(wire ? wire->detach(here, pending) : nullptr);
        },
        Qt::QueuedConnection);
    QTcpSocket* socket = socketFuture.get();
    return socket;
}

void IoPool::forget(quint64 id)
{
    const auto route = m_routes.find(id);
    if (route == m_routes.end())
        return;
    IoThread* thread = route->thread;
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
    for (auto& thread : m_threads) {
        if (!thread->outbox.empty())
            thread->push(thread->outbox);
    }
}

} // namespace voiceserver

// SPDX-License-Identifier: MIT
#include "admin.h"

#include "listener.h"
#include "serverlog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QPointer>
#include <QSemaphore>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <mutex>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace voiceserver {

namespace {

constexpr int MaxRequestBytes = 8 * 1024;
constexpr int RequestTimeoutMs = 5000; // to send a whole request, and to take the answer
constexpr int MetricsTimeoutMs = 2000; // for the logic to hand over its numbers
constexpr int MaxConnections = 32;
constexpr int AcceptRetryMs = 1000;

const char* stateName(ServiceState state)
{
    switch (state) {
    case ServiceState::Starting:
        return "starting";
    case ServiceState::Serving:
        return "serving";
    case ServiceState::Draining:
        return "draining";
    case ServiceState::Stopping:
        return "stopping";
    }
    return "unknown";
}

QByteArray readProcFile(const char* path)
{
    QFile file(QString::fromLatin1(path));
    return file.open(QIODevice::ReadOnly) ? file.read(64 * 1024) : QByteArray();
}

// This process's CPU and memory, as Prometheus' client libraries name them.
QByteArray processMetrics()
{
    QByteArray out;
    const QByteArray stat = readProcFile("/proc/self/stat");
    // The fields after the command name, which may hold spaces and parentheses itself.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    const double ticks = double(::sysconf(_SC_CLK_TCK));
    const double page = double(::sysconf(_SC_PAGESIZE));
    if (fields.size() > 21 && ticks > 0) {
        const double cpu = (fields.at(11).toDouble() + fields.at(12).toDouble()) / ticks;
        out += "# HELP process_cpu_seconds_total Total user and system CPU time spent in "
               "seconds.\n# TYPE process_cpu_seconds_total counter\n";
        out += "process_cpu_seconds_total " + QByteArray::number(cpu, 'f', 2) + '\n';
        out += "# HELP process_resident_memory_bytes Resident memory size in bytes.\n"
               "# TYPE process_resident_memory_bytes gauge\n";
        out += "process_resident_memory_bytes " +
               QByteArray::number(qint64(fields.at(21).toDouble() * page)) + '\n';
        out += "# HELP process_virtual_memory_bytes Virtual memory size in bytes.\n"
               "# TYPE process_virtual_memory_bytes gauge\n";
        out += "process_virtual_memory_bytes " + fields.at(20) + '\n';
        qint64 bootTime = -1;
        for (const QByteArray& line : readProcFile("/proc/stat").split('\n')) {
            if (line.startsWith("btime "))
                bootTime = line.mid(6).trimmed().toLongLong();
        }
        if (bootTime >= 0) {
            out += "# HELP process_start_time_seconds Start time of the process since unix "
                   "epoch in seconds.\n# TYPE process_start_time_seconds gauge\n";
            out += "process_start_time_seconds " +
                   QByteArray::number(double(bootTime) + fields.at(19).toDouble() / ticks, 'f', 2) +
                   '\n';
        }
    }
    const int descriptors = QDir(QStringLiteral("/proc/self/fd"))
                                .entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System)
                                .size();
    out += "# HELP process_open_fds Number of open file descriptors.\n"
           "# TYPE process_open_fds gauge\n";
    out += "process_open_fds " + QByteArray::number(descriptors) + '\n';
    rlimit limit = {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        out += "# HELP process_max_fds Maximum number of open file descriptors.\n"
               "# TYPE process_max_fds gauge\n";
        out += "process_max_fds " + QByteArray::number(quint64(limit.rlim_cur)) + '\n';
    }
    return out;
}

void metric(QByteArray* out, const char* name, const char* type, const char* help,
            std::initializer_list<std::pair<const char*, quint64>> samples,
            const char* label = nullptr)
{
    *out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
    for (const auto& [value, number] : samples) {
        *out += name;
        if (label)
            *out += QByteArray("{") + label + "=\"" + value + "\"}";
        *out += ' ' + QByteArray::number(number) + '\n';
    }
}

} // namespace

QByteArray renderMetrics(const ServerMetrics& m)
{
    QByteArray out;
    const QByteArray version = QCoreApplication::applicationVersion().toUtf8();
    if (!version.isEmpty())
        metric(&out, "voice_server_build_info", "gauge", "The running build, by version; always 1.",
               {{version.constData(), 1}}, "version");
    metric(&out, "voice_server_clients", "gauge", "Connected clients past the hello.",
           {{"", quint64(m.clients)}});
    metric(&out, "voice_server_channels", "gauge", "Channels, the default one included.",
           {{"", quint64(m.channels)}});
    metric(&out, "voice_server_connections_pending", "gauge",
           "Connections that have not said hello yet.", {{"", quint64(m.pendingConnections)}});
    metric(&out, "voice_server_store_bytes", "gauge", "Bytes in all channels' file stores.",
           {{"", quint64(m.storeBytes)}});
    metric(&out, "voice_server_texts_total", "counter", "Text messages relayed.", {{"", m.texts}});
    metric(&out, "voice_server_voice_frames_total", "counter", "Voice frames taken from clients.",
           {{"", m.voiceFrames}});
    metric(&out, "voice_server_transfer_bytes_total", "counter",
           "File bytes moved by transfers, by direction.",
           {{"upload", m.uploadBytes}, {"download", m.downloadBytes}}, "direction");
    metric(&out, "voice_server_dropped_total", "counter",
           "What the server dropped, by reason: connections silent too long (idle), over their "
           "output bound (output) or breaking the protocol (protocol), and requests over the "
           "rate (flood).",
           {{"idle", m.droppedIdle},
            {"flood", m.droppedFlood},
            {"output", m.droppedOutput},
            {"protocol", m.droppedProtocol}},
           "reason");
    if (m.clusterConnected >= 0) {
        metric(&out, "voice_server_cluster_connected", "gauge",
               "1 while the instance reaches Redis, 0 while it serves its own clients alone.",
               {{"", quint64(m.clusterConnected)}});
        metric(&out, "voice_server_cluster_clients", "gauge",
               "Clients of the whole cluster, as this instance sees them.",
               {{"", quint64(m.clusterClients)}});
        metric(&out, "voice_server_cluster_held_texts", "gauge",
               "Texts for other instances that they have not confirmed yet (all of them while "
               "Redis is away).",
               {{"", quint64(m.clusterHeldTexts)}});
        metric(&out, "voice_server_cluster_held_bytes", "gauge",
               "The memory those texts take, as counted against its bound.",
               {{"", quint64(m.clusterHeldBytes)}});
    }
    out += processMetrics();
    return out;
}

// What the endpoint's thread and the rest of the process share.
struct AdminShared
{
    std::atomic<ServiceState> state{ServiceState::Starting};
    std::mutex lock;
    QObject* context = nullptr; // under lock: where gather runs
    std::function<ServerMetrics()> gather;
    QObject* server = nullptr; // under lock: the thread's AdminServer while it exists
};

// One HTTP exchange: a request of bounded size and time, one answer, then the connection closes.
class AdminConnection : public QObject
{
public:
    AdminConnection(QTcpSocket* socket, QObject* parent) : QObject(parent), socket(socket)
    {
        socket->setParent(this);
        deadline.setSingleShot(true);
    }

    QTcpSocket* socket;
    QByteArray request;
    QTimer deadline;
    bool answered = false;
    bool awaitingMetrics = false;
    bool head = false;
};

class AdminServer : public QObject
{
public:
    explicit AdminServer(std::shared_ptr<AdminShared> shared) : m_shared(std::move(shared))
    {
        connect(&m_listener, &Listener::accepted, this, &AdminServer::accepted);
        connect(&m_listener, &Listener::cannotAccept, this, [this](int) {
            logLimited("admin accept", QStringLiteral("admin endpoint: cannot accept; pausing"),
                       LogLevel::Warning);
            QTimer::singleShot(AcceptRetryMs, this, [this] { m_listener.resume(); });
        });
    }

    ~AdminServer() override
    {
        const std::lock_guard<std::mutex> guard(m_shared->lock);
        m_shared->server = nullptr;
    }

    bool listen(const QHostAddress& address, quint16 port, QString* error)
    {
        return m_listener.listen(address, port, error);
    }
    quint16 port() const { return m_listener.port(); }

    void metricsGathered(quint64 ticket, const ServerMetrics& metrics)
    {
        const QPointer<AdminConnection> connection = m_waiting.take(ticket);
        if (connection && connection->awaitingMetrics) {
            connection->awaitingMetrics = false;
            answer(connection, 200, "text/plain; version=0.0.4; charset=utf-8",
                   renderMetrics(metrics));
        }
    }

private:
    void accepted(qintptr descriptor)
    {
        // Past the bound the oldest goes, so that idle or slow connections never keep a
        // balancer's health check out.
        if (m_open.size() >= MaxConnections) {
            QTcpSocket* oldest = m_open.takeFirst()->socket;
            logLimited("admin busy",
                       QStringLiteral("admin endpoint: %1 connections open; closed the oldest, "
                                      "from %2")
                           .arg(m_open.size() + 1)
                           .arg(oldest->peerAddress().toString()),
                       LogLevel::Warning);
            oldest->abort();
        }
        auto* socket = new QTcpSocket;
        if (!socket->setSocketDescriptor(descriptor)) {
            ::close(int(descriptor));
            delete socket;
            return;
        }
        auto* connection = new AdminConnection(socket, this);
        m_open.append(connection);
        connect(socket, &QTcpSocket::readyRead, connection,
                [this, connection] { readRequest(connection); });
        connect(socket, &QTcpSocket::disconnected, connection, [this, connection] {
            m_open.removeOne(connection);
            connection->deleteLater();
            connection->socket->disconnect(connection);
        });
        connect(&connection->deadline, &QTimer::timeout, connection, [this, connection] {
            if (connection->awaitingMetrics) {
                connection->awaitingMetrics = false;
                answer(connection, 503, "text/plain; charset=utf-8",
                       "metrics not available in time\n");
                return;
            }
            if (!connection->answered)
                logLimited("admin slow",
                           QStringLiteral("admin endpoint: %1 sent no whole request in %2 ms; "
                                          "closed")
                               .arg(connection->socket->peerAddress().toString())
                               .arg(RequestTimeoutMs),
                           LogLevel::Notice);
            connection->socket->abort();
        });
        connection->deadline.start(RequestTimeoutMs);
        readRequest(connection);
    }

    void readRequest(AdminConnection* connection)
    {
        if (connection->answered)
            return void(connection->socket->readAll());
        const qint64 room = MaxRequestBytes + 1 - connection->request.size();
        connection->request += connection->socket->read(room);
        const int end = connection->request.indexOf("\r\n\r\n");
        if (end < 0) {
            if (connection->request.size() > MaxRequestBytes) {
                logLimited("admin large",
                           QStringLiteral("admin endpoint: %1 sent a request over %2 bytes; "
                                          "refused")
                               .arg(connection->socket->peerAddress().toString())
                               .arg(MaxRequestBytes),
                           LogLevel::Notice);
                answer(connection, 431, "text/plain; charset=utf-8", "request too large\n");
            }
            return;
        }
        const QList<QByteArray> line =
            connection->request.left(connection->request.indexOf("\r\n")).split(' ');
        if (line.size() != 3 || !line.at(2).startsWith("HTTP/1."))
            return answer(connection, 400, "text/plain; charset=utf-8", "bad request\n");
        const QByteArray& method = line.at(0);
        connection->head = method == "HEAD";
        if (method != "GET" && !connection->head)
            return answer(connection, 405, "text/plain; charset=utf-8", "GET or HEAD only\n");
        QByteArray path = line.at(1);
        path = path.left(path.indexOf('?') < 0 ? path.size() : path.indexOf('?'));
        if (path == "/health") {
            const ServiceState state = m_shared->state;
            return answer(connection, state == ServiceState::Serving ? 200 : 503,
                          "application/json",
                          QByteArray("{\"state\":\"") + stateName(state) + "\"}\n");
        }
        if (path == "/metrics")
            return askForMetrics(connection);
        answer(connection, 404, "text/plain; charset=utf-8", "not found\n");
    }

    void askForMetrics(AdminConnection* connection)
    {
        const quint64 ticket = ++m_nextTicket;
        {
            const std::lock_guard<std::mutex> guard(m_shared->lock);
            // While starting the logic's thread is busy with that; it answers once serving.
            if (m_shared->context && m_shared->state != ServiceState::Starting) {
                connection->awaitingMetrics = true;
                m_waiting.insert(ticket, connection);
                auto gather = m_shared->gather;
                std::shared_ptr<AdminShared> shared = m_shared;
                // Posted while the lock keeps the context alive; an event for a context that
                // goes meanwhile goes with it.
                QMetaObject::invokeMethod(
                    m_shared->context,
                    [shared, gather, ticket] {
                        const ServerMetrics metrics = gather();
                        const std::lock_guard<std::mutex> guard(shared->lock);
                        if (auto* server = static_cast<AdminServer*>(shared->server))
                            QMetaObject::invokeMethod(
                                server,
                                [server, ticket, metrics] {
                                    server->metricsGathered(ticket, metrics);
                                },
                                Qt::QueuedConnection);
                    },
                    Qt::QueuedConnection);
            }
        }
        if (!connection->awaitingMetrics)
            return answer(connection, 503, "text/plain; charset=utf-8",
                          "metrics not available now\n");
        connection->deadline.start(MetricsTimeoutMs);
    }

    void answer(AdminConnection* connection, int status, const char* type, const QByteArray& body)
    {
        static const QHash<int, QByteArray> reasons{{200, "OK"},
                                                    {400, "Bad Request"},
                                                    {404, "Not Found"},
                                                    {405, "Method Not Allowed"},
                                                    {431, "Request Header Fields Too Large"},
                                                    {503, "Service Unavailable"}};
        connection->answered = true;
        QByteArray response = "HTTP/1.1 " + QByteArray::number(status) + ' ' +
                              reasons.value(status) + "\r\nContent-Type: " + type +
                              "\r\nContent-Length: " + QByteArray::number(body.size()) +
                              "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";
        if (!connection->head)
            response += body;
        // Only our side closes once the answer is out: closing the socket with a request still
        // arriving would reset the connection and lose the answer with it. What comes
        // meanwhile is read and dropped until the peer closes or the time is up.
        QTcpSocket* socket = connection->socket;
        connect(socket, &QTcpSocket::bytesWritten, connection, [socket] {
            if (socket->bytesToWrite() == 0)
                ::shutdown(int(socket->socketDescriptor()), SHUT_WR);
        });
        socket->write(response);
        // A peer that does not take the answer is dropped like a slow one.
        connection->deadline.start(RequestTimeoutMs);
    }

    std::shared_ptr<AdminShared> m_shared;
    Listener m_listener;
    QList<AdminConnection*> m_open; // oldest first
    quint64 m_nextTicket = 0;
    QHash<quint64, QPointer<AdminConnection>> m_waiting;
};

class AdminThread : public QThread
{
public:
    AdminThread(const QHostAddress& address, quint16 port)
        : shared(std::make_shared<AdminShared>()), m_address(address), m_port(port)
    {}

    // Starts the thread and waits until it listens or failed to.
    bool startListening(QString* error)
    {
        start();
        m_ready.acquire();
        *error = m_error;
        return m_listening;
    }

    std::shared_ptr<AdminShared> shared;
    std::atomic<quint16> port{0}; // set by the thread, read by the hub

protected:
    void run() override
    {
        AdminServer server(shared);
        m_listening = server.listen(m_address, m_port, &m_error);
        if (m_listening) {
            port = server.port();
            const std::lock_guard<std::mutex> guard(shared->lock);
            shared->server = &server;
        }
        m_ready.release();
        if (m_listening)
            exec();
    }

private:
    QHostAddress m_address;
    quint16 m_port;
    QSemaphore m_ready;
    bool m_listening = false;
    QString m_error;
};

AdminEndpoint::AdminEndpoint() = default;

AdminEndpoint::~AdminEndpoint()
{
    if (m_thread) {
        m_thread->quit();
        m_thread->wait();
    }
}

bool AdminEndpoint::listen(const QHostAddress& address, quint16 port, QString* error)
{
    m_thread = std::make_unique<AdminThread>(address, port);
    if (m_thread->startListening(error))
        return true;
    m_thread->wait();
    m_thread.reset();
    return false;
}

quint16 AdminEndpoint::port() const
{
    return m_thread ? m_thread->port.load() : quint16(0);
}

void AdminEndpoint::setState(ServiceState state)
{
    if (m_thread)
        m_thread->shared->state = state;
}

void AdminEndpoint::setMetricsSource(QObject* context, std::function<ServerMetrics()> gather)
{
    if (!m_thread)
        return;
    const std::lock_guard<std::mutex> guard(m_thread->shared->lock);
    m_thread->shared->context = gather ? context : nullptr;
    m_thread->shared->gather = std::move(gather);
}

} // namespace voiceserver

// SPDX-License-Identifier: MIT
#pragma once

#include <QHostAddress>
#include <QObject>

#include <functional>
#include <memory>

namespace voiceserver {

// What /metrics reports of the logic, gathered in its thread when asked.
struct ServerMetrics
{
    qint64 clients = 0; // past the hello
    qint64 channels = 0;
    qint64 pendingConnections = 0; // before the hello
    qint64 storeBytes = 0;
    quint64 texts = 0;
    quint64 voiceFrames = 0;
    quint64 uploadBytes = 0;
    quint64 downloadBytes = 0;
    quint64 droppedIdle = 0;
    quint64 droppedFlood = 0;
    quint64 droppedOutput = 0;
    quint64 droppedProtocol = 0;
    // In a cluster: whether Redis is reached (1) or the instance serves alone (0), and the
    // clients of the whole service; -1: not in a cluster.
    int clusterConnected = -1;
    qint64 clusterClients = 0;
    // Texts for other instances not confirmed yet, and their bytes.
    qint64 clusterHeldTexts = 0;
    qint64 clusterHeldBytes = 0;
};

enum class ServiceState { Starting, Serving, Draining, Stopping };

class AdminThread;

// /health and /metrics over plain HTTP on a socket of their own, served by a thread of their
// own: the endpoint answers while the logic is busy starting or stopping, and whatever arrives
// on it (floods, slow or huge requests) is bounded there and never reaches the voice port.
class AdminEndpoint
{
public:
    AdminEndpoint();
    ~AdminEndpoint();
    AdminEndpoint(const AdminEndpoint&) = delete;
    AdminEndpoint& operator=(const AdminEndpoint&) = delete;

    // Binds and starts serving; the state is Starting until told otherwise.
    bool listen(const QHostAddress& address, quint16 port, QString* error);
    quint16 port() const;

    // Any thread.
    void setState(ServiceState state);
    // Each /metrics request runs gather in context's thread; without it, /metrics is 503.
    // Cleared before context goes.
    void setMetricsSource(QObject* context, std::function<ServerMetrics()> gather);

private:
    std::unique_ptr<AdminThread> m_thread;
};

// The Prometheus text of the metrics and of this process's CPU and memory.
QByteArray renderMetrics(const ServerMetrics& metrics);

} // namespace voiceserver

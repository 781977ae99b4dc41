// SPDX-License-Identifier: MIT
#pragma once

#include <QHostAddress>
#include <QObject>

class QSocketNotifier;

namespace voiceserver {

// The server's listening socket. It accepts by itself rather than through QTcpServer, so that
// running out of descriptors is always reported and accepting stops until resume(), instead of
// the event loop waking again and again for a connection it cannot take.
class Listener : public QObject
{
    Q_OBJECT
public:
    explicit Listener(QObject* parent = nullptr);
    ~Listener() override;

    bool listen(const QHostAddress& address, quint16 port, QString* error);
    QHostAddress address() const { return m_address; }
    quint16 port() const { return m_port; }

    void pause();
    void resume();
    // Stops listening: new connections are refused from now on.
    void close();

signals:
    // A new connection's descriptor, non-blocking; the receiver owns it.
    void accepted(qintptr descriptor);
    // Accepting failed for want of resources (errno EMFILE, ENFILE, ENOBUFS, ENOMEM, or another
    // error that would repeat); accepting is paused.
    void cannotAccept(int error);

private:
    void acceptPending();

    int m_fd = -1;
    QSocketNotifier* m_notifier = nullptr;
    QHostAddress m_address;
    quint16 m_port = 0;
};

} // namespace voiceserver

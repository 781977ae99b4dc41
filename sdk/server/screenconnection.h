// SPDX-License-Identifier: MIT
#pragma once

#include "screenpacket.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>

class QSocketNotifier;

namespace voicesdk::protocol {
class TlsStream;
}

namespace voiceserver {

// One client's screen connection after its key was accepted, in the server's thread: its
// descriptor (with TLS) watched for readiness, packets read and handed on, packets queued for
// it. The relay decides what to queue: backlog() tells how far the peer is behind, counting
// what the kernel has not sent yet, so that a slow watcher is seen before anything piles up
// here. Ends with finished(); the relay then forgets it.
class ScreenConnection : public QObject
{
    Q_OBJECT
public:
    using Handler = std::function<void(const voicesdk::protocol::screen::PacketReader::Body&)>;

    ScreenConnection(std::unique_ptr<voicesdk::protocol::TlsStream> stream,
                     const QByteArray& pending, QObject* parent);
    ~ScreenConnection() override;

    // Each packet read; set before the loop runs again.
    void setHandler(Handler handler) { m_handler = std::move(handler); }
    // Packets larger than this are a fault: only a sharer sends pictures.
    void setMaxPacket(int bytes) { m_maxPacket = bytes; }

    // Queues a whole packet.
    void send(const QByteArray& packet);
    // Bytes not yet sent: queued here, sealed and waiting, and in the kernel's send queue.
    qint64 backlog() const;
    // Ends at once, with the reason in the log.
    void abort(const QString& reason);

signals:
    void finished(const QString& reason);

private:
    void onReadable();
    void onWritable();
    void pump();
    void watch();
    void end(const QString& reason);

    std::unique_ptr<voicesdk::protocol::TlsStream> m_stream;
    QSocketNotifier* m_readable = nullptr;
    QSocketNotifier* m_writable = nullptr;
    voicesdk::protocol::screen::PacketReader m_reader;
    Handler m_handler;
    int m_maxPacket = 64 * 1024;
    std::deque<QByteArray> m_queue; // the front from m_sent on
    int m_sent = 0;
    qint64 m_queued = 0;
    QByteArray m_buffer;
    // A peer that takes nothing while output waits goes after a while.
    QTimer m_stall;
    bool m_ended = false;
};

} // namespace voiceserver

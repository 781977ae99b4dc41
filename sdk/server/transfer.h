// SPDX-License-Identifier: MIT
#pragma once

#include <QFile>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <memory>

class QSocketNotifier;

namespace voicesdk::protocol {
class TlsStream;
}

namespace voiceserver {

class Session;

// What a one-time key allows: set up on the control connection, used by one transfer
// connection before it expires.
struct TransferTicket
{
    Session* owner = nullptr; // the control connection that asked; cleared when it goes
    quint16 transferId = 0;   // the client's ID for the transfer
    bool upload = false;
    quint64 channel = 0;
    QStringList path;
    qint64 size = 0;
    bool overwrite = false;
    qint64 expiresAt = 0;          // msecs since the epoch
    std::shared_ptr<QFile> source; // downloads: opened when asked, so the bytes cannot change
};

// One transfer connection after its key was accepted, in the server's thread: its descriptor
// (with TLS) watched for readiness, the file's bytes going between it and one buffer. Uploads
// stream raw bytes into a file in the incoming directory, which the server puts in place once
// complete; downloads send a transferData frame and then the file's bytes. An unfinished
// upload's file is removed when the connection goes. Ends with finished(); the server then
// deletes it.
class TransferConnection : public QObject
{
    Q_OBJECT
public:
    TransferConnection(std::unique_ptr<voicesdk::protocol::TlsStream> stream,
                       const QByteArray& pending, TransferTicket ticket,
                       const QString& incomingDirectory, int idleTimeoutMs, QObject* parent);
    ~TransferConnection() override;

    const TransferTicket& ticket() const { return m_ticket; }
    qint64 transferred() const { return m_done; }
    bool isUpload() const { return m_ticket.upload; }

    // Called by the server once an upload is complete and put in place (or not): tells the
    // client and closes. The outcome is the transfer's even when the connection ended while
    // the file was put in place: the file is kept or not by this answer alone.
    void finishUpload(unsigned int code, const QString& message);
    // Between takeReceivedFile() and finishUpload(): the file is being put in place.
    bool isCommitting() const { return m_committing; }
    // Its control connection went; a committing upload still gets its answer.
    void forgetOwner() { m_ticket.owner = nullptr; }
    // Ends at once; an upload's partial file is removed.
    void abort(const QString& reason);

signals:
    // An upload has all its bytes in its file; the server answers with finishUpload.
    void uploadReceived();
    void finished(const QString& outcome);

public:
    // Hands the complete upload's file to the caller, who puts it in place or removes it and
    // then calls finishUpload(). The connection may end meanwhile; finished() waits for that
    // answer, and the object stays until it comes.
    QString takeReceivedFile();

private:
    void start(const QByteArray& pending);
    void onReadable();
    void onWritable();
    void readUpload();
    void onPeerGone();
    // Sends what waits: a frame, then (downloads) the file; false when the stream ended.
    bool pump();
    bool consume(const char* data, qint64 size);
    void end(const QString& outcome);
    // Once everything is out: goodbye, then the peer's end is awaited (bounded).
    void closeWhenSent();
    void watch();
    void dispose();

    std::unique_ptr<voicesdk::protocol::TlsStream> m_stream;
    QSocketNotifier* m_readable = nullptr;
    QSocketNotifier* m_writable = nullptr;
    TransferTicket m_ticket;
    QFile m_file; // upload target in the incoming directory
    qint64 m_done = 0;
    bool m_received = false;
    bool m_committing = false;
    QString m_endedEarly;   // why the connection ended while committing
    bool m_started = false; // bytes that arrive before start() wait in the socket
    bool m_ended = false;
    bool m_closing = false;   // ended: what is queued goes out, then goodbye
    bool m_lingering = false; // said goodbye; the peer's end is awaited
    QTimer m_idle;
    QTimer m_closeTimer;
    QByteArray m_frame; // a frame to send, from m_frameSent on
    int m_frameSent = 0;
    QByteArray m_buffer;  // uploads: what was read; downloads: the file's next bytes
    int m_chunkStart = 0; // downloads: m_buffer[m_chunkStart, m_chunkEnd) is still to send
    int m_chunkEnd = 0;
};

} // namespace voiceserver

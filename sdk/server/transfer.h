// SPDX-License-Identifier: MIT
#pragma once

#include <QFile>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <memory>

class QTcpSocket;

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

// One transfer connection after its key was accepted. Uploads stream raw bytes into a file in
// the incoming directory, which the server puts in place once complete; downloads send a
// transferData frame and then the file's bytes. An unfinished upload's file is removed when the
// connection goes. Ends with finished(); the server then deletes it.
class TransferConnection : public QObject
{
    Q_OBJECT
public:
    TransferConnection(QTcpSocket* socket, const QByteArray& pending, TransferTicket ticket,
                       const QString& incomingDirectory, int idleTimeoutMs, QObject* parent);
    ~TransferConnection() override;

    const TransferTicket& ticket() const { return m_ticket; }
    qint64 transferred() const { return m_done; }
    bool isUpload() const { return m_ticket.upload; }

    // Called by the server once an upload is complete and put in place (or not): tells the
    // client and closes.
    void finishUpload(unsigned int code, const QString& message);
    // Ends at once; an upload's partial file is removed.
    void abort(const QString& reason);

signals:
    // An upload has all its bytes in its file; the server answers with finishUpload.
    void uploadReceived();
    void finished(const QString& outcome);

public:
    // Hands the complete upload's file to the caller, who puts it in place or removes it; the
    // connection may end meanwhile and no longer removes it.
    QString takeReceivedFile();

private:
    void start(const QByteArray& pending);
    void onReadyRead();
    void readAvailable();
    void onPeerGone();
    void pumpDownload();
    bool consume(const char* data, qint64 size);
    void end(const QString& outcome);

    QTcpSocket* m_socket;
    TransferTicket m_ticket;
    QFile m_file; // upload target in the incoming directory
    qint64 m_done = 0;
    bool m_received = false;
    bool m_started = false; // bytes that arrive before start() wait in the socket
    bool m_ended = false;
    bool m_reading = false;          // inside onReadyRead
    bool m_goneWhileReading = false; // the socket closed inside onReadyRead
    QTimer m_idle;
    QByteArray m_buffer;
};

} // namespace voiceserver

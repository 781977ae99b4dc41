// SPDX-License-Identifier: MIT
#pragma once

#include "frame.h"
#include "tlssocket.h"
#include "voicesdk.h"

#include <QCborMap>
#include <QFile>
#include <QObject>
#include <QSslCertificate>
#include <QTimer>

namespace voicesdk {

// An upload or download as the caller asked for it; the paths are already checked.
struct TransferRequest
{
    anyID id = 0;
    bool upload = false;
    uint64 channel = 0;
    QString password;   // empty: none
    QString remotePath; // as the caller wrote it; the server judges it
    QString localPath;  // the source file, or the final name of the downloaded file
    bool overwrite = false;
    QString returnCode;
};

// One file transfer of a connection handler, on the network thread. The control connection
// asks the server for a key (request()); begin() then opens the transfer connection, sends the
// key and streams. A download goes to a hidden temporary file in the destination directory that
// is renamed only once every byte is in; any failure removes it. finished() comes exactly once.
class Transfer : public QObject
{
    Q_OBJECT
public:
    Transfer(const TransferRequest& request, QObject* parent);
    ~Transfer() override;

    const TransferRequest& request() const { return m_request; }
    // Opens the local side. ERROR_ok, or the code with *message.
    unsigned int prepare(QString* message);
    // The control message asking the server for a key.
    QCborMap requestMessage() const;
    // The transfer connection goes without TLS (plain), or with it to a server that shows the
    // certificate of the control connection, or one that verifies; resuming the control
    // connection's session when there is one, which skips the full handshake.
    void setServer(bool plain, const QSslCertificate& certificate, TlsSession session);
    void begin(const QString& host, quint16 port, const QByteArray& key, qint64 size);
    // Ends with that outcome (a refusal by the server, the control connection going away).
    void fail(unsigned int code, const QString& message);

signals:
    // Bytes moved so far and the file's size; a download reports from the moment the server
    // announced the size.
    void progressed(qint64 done, qint64 size);
    void finished(unsigned int code, const QString& message, qint64 size);

private:
    void onConnected();
    void onReadyRead();
    // Bytes of the one frame the server sends first; false when the transfer ended.
    bool readHeader(const char* data, qint64 size);
    void onSocketGone();
    void pumpUpload();
    bool writeDownload(const char* data, qint64 size);
    void complete();
    void end(unsigned int code, const QString& message);
    void dropTarget();
    void reportProgress();

    TransferRequest m_request;
    QFile m_source; // uploads
    QFile m_target; // downloads: the temporary file
    bool m_committed = false;
    TlsSocket* m_socket = nullptr;
    bool m_plain = false;
    QSslCertificate m_certificate;
    TlsSession m_session;
    protocol::FrameDecoder m_decoder;
    QByteArray m_key;
    qint64 m_size = 0;
    qint64 m_done = 0;         // uploads: bytes read from the file; downloads: bytes written
    qint64 m_reported = -1;    // the last done value reported
    bool m_headerSeen = false; // downloads: the transferData frame has arrived
    bool m_ended = false;
    QTimer m_idle;
    QTimer m_nextTurn;
    QByteArray m_buffer;  // the file's bytes on their way
    int m_chunkStart = 0; // uploads: m_buffer[m_chunkStart, m_chunkEnd) is still to send
    int m_chunkEnd = 0;
};

} // namespace voicesdk

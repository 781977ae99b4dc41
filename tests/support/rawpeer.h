// SPDX-License-Identifier: MIT
#pragma once

#include "frame.h"
#include "protocol.h"

#include <QCborMap>
#include <QSslSocket>

// A connection to voice-server spoken frame by frame (over TLS unless asked otherwise), for tests
// that talk the protocol by hand: a control connection, a transfer connection, or a peer that
// misbehaves.
class RawPeer
{
public:
    // TLS as clients speak it (any certificate accepted), or plain TCP bytes.
    bool open(quint16 port, bool tls = true);
    // Says hello as nickname with the test servers' password; true once the server's state
    // has arrived.
    bool hello(const QString& nickname);

    void send(const QCborMap& message);
    void write(const QByteArray& bytes);
    // The next frame of that type (others are skipped), or an empty map.
    QCborMap next(QLatin1String type, int timeoutMs = 5000);
    // Every frame up to and including the next one of that type; empty when it never came.
    QList<QCborMap> until(QLatin1String type, int timeoutMs = 5000);
    // Raw bytes after the frames read so far (a download's file).
    QByteArray rawAfterFrame();
    // Whether the server closes the connection within the time; what it sends meanwhile is
    // read and kept.
    bool closedByServer(int timeoutMs = 5000);

    QSslSocket& socket() { return m_socket; }

private:
    QSslSocket m_socket;
    voicesdk::protocol::FrameDecoder m_decoder;
};

// A hello as a client sends it, with the test servers' password.
QCborMap helloMessage(const QString& nickname);
// The 4-byte big-endian length that opens a frame, and a frame around body as it is.
QByteArray frameHeader(quint32 length);
QByteArray rawFrame(const QByteArray& body);

// SPDX-License-Identifier: MIT
#pragma once

#include "frame.h"

#include <QByteArray>
#include <QCborMap>
#include <QString>

#include <memory>

typedef struct ssl_st SSL;
typedef struct ssl_session_st SSL_SESSION;
typedef struct bio_st BIO;

// A TLS client to voice-server on OpenSSL's memory BIOs, for tests of what a peer may do to the
// TLS layer itself: renegotiate, send alerts, odd records, vanish without a word. Every record
// passes through here, so the test decides what reaches the wire. Calls wait (bounded).
class TlsPeer
{
public:
    TlsPeer() = default;
    ~TlsPeer();
    TlsPeer(const TlsPeer&) = delete;
    TlsPeer& operator=(const TlsPeer&) = delete;

    // Connects and completes the handshake; tls12: no more than TLS 1.2 (which can
    // renegotiate); resume: a session of an earlier peer.
    bool open(quint16 port, bool tls12 = false, SSL_SESSION* resume = nullptr);
    bool isResumed() const;
    // The session to resume later (read something first: TLS 1.3 sends it after the handshake).
    SSL_SESSION* session() const;
    // The server's certificate, "SHA256:...".
    QString fingerprint() const;

    bool send(const QCborMap& message);
    // Says hello; true once the server's state has arrived.
    bool hello(const QString& nickname);
    // The next frame of that type (others are skipped), or an empty map.
    QCborMap next(QLatin1String type, int timeoutMs = 5000);

    // Starts a second handshake (TLS 1.2 renegotiation).
    bool renegotiate();
    // Makes this side send the server a sealed fatal alert (bad_record_mac), as a peer does that
    // got a record it could not open.
    bool sendFatalAlert();
    // Bytes straight to the socket, outside TLS.
    bool writeRaw(const QByteArray& bytes);
    // The first part of a sealed record of size plain bytes, the rest never.
    bool writeHalfRecord(int size);
    // Closes the socket without close_notify.
    void vanish();
    // Whether the server closes the connection within the time.
    bool closedByServer(int timeoutMs = 5000);

private:
    // Sends what OpenSSL wrote; reads what arrives within timeoutMs into OpenSSL. False once
    // the socket is closed.
    bool pumpOut();
    bool pumpIn(int timeoutMs);

    int m_fd = -1;
    SSL* m_ssl = nullptr;
    BIO* m_in = nullptr;  // owned by m_ssl
    BIO* m_out = nullptr; // owned by m_ssl
    bool m_closed = false;
    voicesdk::protocol::FrameDecoder m_decoder;
};

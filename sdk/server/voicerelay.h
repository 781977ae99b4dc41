// SPDX-License-Identifier: MIT
#pragma once

#include "voicepacket.h"
#include "voicesdk.h"

#include <QHash>
#include <QHostAddress>
#include <QMap>
#include <QObject>
#include <QVector>

#include <functional>
#include <memory>

class QCborMap;
class QUdpSocket;

namespace voiceserver {

class Session;

struct VoiceStats
{
    quint64 received = 0;  // frames taken from clients
    quint64 forwarded = 0; // copies handed to the network
    quint64 dropped = 0;   // bad, unknown, over the rate, muted or not sent
};

// What the welcome hands a client for its datagrams: the token that names it, and with sealing
// on, the keys of both directions (empty otherwise).
struct VoiceCredentials
{
    QByteArray token;
    QByteArray upKey;
    QByteArray downKey;
};

// Forwards voice frames between the members of a channel, never decoding the Opus in them.
// Datagrams arrive on a UDP socket on the server's port and name their sender by a token that
// the control connection handed out; tunnelled frames arrive on the control connection. With
// sealing on, every datagram is encrypted and authenticated under keys of its client, handed
// out over TLS: the relay opens each incoming one and seals a copy for every listener. Nothing
// is queued here: a frame that the network does not take at once is dropped.
class VoiceRelay : public QObject
{
    Q_OBJECT
public:
    // clients: the server's sessions past the hello, by client ID. sealed: datagrams are sealed
    // (the connections use TLS); else they travel in clear.
    VoiceRelay(const QMap<anyID, Session*>& clients, bool sealed, QObject* parent = nullptr);
    ~VoiceRelay() override;

    // Binds the UDP socket beside the control port; false with the reason when that fails.
    bool listen(const QHostAddress& address, quint16 port, QString* error);
    bool udpEnabled() const { return m_socket != nullptr; }

    // A new client: its token and keys, for the welcome.
    VoiceCredentials addClient(Session* session);
    void removeClient(Session* session);
    // Someone joined, moved or left: the channel index is rebuilt before the next frame.
    void membershipChanged() { m_indexDirty = true; }

    // A "voice", "voicePath" or "voiceReport" message on the control connection. False when it
    // is malformed: a protocol error for the caller.
    bool handleControl(Session* session, const QString& type, const QCborMap& message);

    const VoiceStats& stats() const { return m_stats; }

    // In a cluster: every frame taken from a client here is also handed to this (channel, frame
    // with its speaker set), for the listeners on other instances.
    void setCrossing(std::function<void(quint64, const QByteArray&)> crossing)
    {
        m_crossing = std::move(crossing);
    }
    // A frame of another instance's client, for the listeners here in its channel.
    void deliver(quint64 channel, const QByteArray& frame);

private:
    struct Peer;
    void readDatagrams();
    void take(Peer* from, voicesdk::protocol::voice::Frame& frame, QByteArray frameBytes);
    void forward(const Peer* from, quint64 channel, const QByteArray& frameBytes);
    void report(Session* listener, Peer* listenerPeer, anyID speaker, int loss, int burst);
    void rebuildIndex();
    void drop(const char* why, const QString& who);

    const QMap<anyID, Session*>& m_clients;
    bool m_sealed;
    QUdpSocket* m_socket = nullptr;
    QHash<QByteArray, Peer*> m_byToken;
    QHash<Session*, std::shared_ptr<Peer>> m_bySession;
    QHash<quint64, QVector<Peer*>> m_channels;
    bool m_indexDirty = true;
    VoiceStats m_stats;
    QByteArray m_buffer;
    std::function<void(quint64, const QByteArray&)> m_crossing;
};

} // namespace voiceserver

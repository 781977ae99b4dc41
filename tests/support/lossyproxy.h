// SPDX-License-Identifier: MIT
#pragma once

#include <QHostAddress>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUdpSocket>

#include <map>

// Stands between a client and the server on one port, in this process: control connections
// pass untouched, datagrams are lost, delayed, swapped, altered or blocked as asked, on their way
// up (client to server), down, or both. The random choices come from a seed, so a run repeats.
class LossyProxy : public QObject
{
public:
    enum Ways { Up = 1, Down = 2, Both = Up | Down };

    explicit LossyProxy(quint32 seed = 1) : m_random(seed) {}

    int ways = Both;    // which directions suffer
    double loss = 0;    // share of datagrams dropped
    int jitterMs = 0;   // each datagram held for 0 to jitterMs, so some overtake others
    double reorder = 0; // share held back and sent after the next one
    double tamper = 0;  // share with one bit flipped after the version and kind
    bool blocked = false;
    int dropped = 0;
    int passed = 0;
    int tampered = 0;
    int downstream = 0; // datagrams passed from the server

    bool start(quint16 serverPort)
    {
        m_serverPort = serverPort;
        if (!m_tcp.listen(QHostAddress::LocalHost, 0) ||
            !m_udp.bind(QHostAddress::LocalHost, m_tcp.serverPort()))
            return false;
        connect(&m_tcp, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* in = m_tcp.nextPendingConnection()) {
                auto* out = new QTcpSocket(in);
                out->connectToHost(QHostAddress::LocalHost, m_serverPort);
                connect(in, &QTcpSocket::readyRead, out, [in, out] { out->write(in->readAll()); });
                connect(out, &QTcpSocket::readyRead, in, [in, out] { in->write(out->readAll()); });
                connect(in, &QTcpSocket::disconnected, out, &QTcpSocket::disconnectFromHost);
                connect(out, &QTcpSocket::disconnected, in, &QTcpSocket::disconnectFromHost);
            }
        });
        connect(&m_udp, &QUdpSocket::readyRead, this, [this] {
            while (m_udp.hasPendingDatagrams()) {
                QHostAddress from;
                quint16 port = 0;
                QByteArray bytes(int(m_udp.pendingDatagramSize()), Qt::Uninitialized);
                m_udp.readDatagram(bytes.data(), bytes.size(), &from, &port);
                QUdpSocket*& up = m_upstream[port];
                if (!up) {
                    up = new QUdpSocket(this);
                    up->bind(QHostAddress(QHostAddress::LocalHost), 0);
                    connect(up, &QUdpSocket::readyRead, this, [this, up, from, port] {
                        while (up->hasPendingDatagrams()) {
                            QByteArray back(int(up->pendingDatagramSize()), Qt::Uninitialized);
                            up->readDatagram(back.data(), back.size());
                            pass(Down, back, [this, from, port](const QByteArray& b) {
                                ++downstream;
                                m_udp.writeDatagram(b, from, port);
                            });
                        }
                    });
                }
                pass(Up, bytes, [this, up](const QByteArray& b) {
                    up->writeDatagram(b, QHostAddress::LocalHost, m_serverPort);
                });
            }
        });
        return true;
    }
    quint16 port() const { return m_tcp.serverPort(); }

private:
    template <typename Send> void pass(Ways way, QByteArray bytes, Send send)
    {
        if (!(ways & way)) {
            send(bytes);
            return;
        }
        if (blocked || m_random.generateDouble() < loss) {
            ++dropped;
            return;
        }
        ++passed;
        if (bytes.size() > 2 && m_random.generateDouble() < tamper) {
            const int at = 2 + int(m_random.bounded(bytes.size() - 2));
            bytes[at] = char(bytes[at] ^ (1 << m_random.bounded(8)));
            ++tampered;
        }
        if (jitterMs > 0) {
            QTimer::singleShot(int(m_random.bounded(jitterMs + 1)), Qt::PreciseTimer, this,
                               [send, bytes] { send(bytes); });
            return;
        }
        if (m_held.isEmpty() && m_random.generateDouble() < reorder) {
            m_held = bytes;
            return;
        }
        send(bytes);
        if (!m_held.isEmpty()) {
            send(m_held);
            m_held.clear();
        }
    }

    QRandomGenerator m_random;
    quint16 m_serverPort = 0;
    QTcpServer m_tcp;
    QUdpSocket m_udp;
    std::map<quint16, QUdpSocket*> m_upstream;
    QByteArray m_held;
};

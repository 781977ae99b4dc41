// SPDX-License-Identifier: MIT
#pragma once

#include <QHostAddress>
#include <QMutex>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QUdpSocket>
#include <QVector>

#include <atomic>
#include <functional>
#include <map>

// Stands between a client and the server on one port, in this process: control connections
// pass untouched, datagrams are lost, delayed, swapped, altered or blocked as asked, on their way
// up (client to server), down, or both. It runs on a thread of its own, so it passes datagrams
// the moment they come whatever the test's thread is doing; the settings may change meanwhile.
// The random choices come from a seed, so a run repeats.
class LossyProxy : public QObject
{
public:
    enum Ways { Up = 1, Down = 2, Both = Up | Down };

    explicit LossyProxy(quint32 seed = 1) : m_random(seed) {}
    ~LossyProxy() override
    {
        if (!m_thread.isRunning())
            return;
        QMetaObject::invokeMethod(
            this,
            [this] {
                qDeleteAll(children());
                moveToThread(m_home);
            },
            Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }

    std::atomic<int> ways{Both}; // which directions suffer
    std::atomic<double> loss{0}; // share of datagrams dropped
    // Above 1: losses come in bursts of this many datagrams on average (Gilbert–Elliott: a good
    // state that loses nothing and a bad one that loses all, left after 1/burst datagrams on
    // average), with `loss` still the share lost in the long run.
    std::atomic<double> burst{0};
    std::atomic<int> loseNext{0};   // so many datagrams of voice in a row are lost on their way up
    std::atomic<int> jitterMs{0};   // each datagram held for 0 to jitterMs, so some overtake
    std::atomic<double> reorder{0}; // share held back and sent after the next one
    std::atomic<double> tamper{0};  // share with one bit flipped after the version and kind
    std::atomic<bool> blocked{false};
    std::atomic<int> dropped{0};
    std::atomic<int> passed{0};
    std::atomic<int> tampered{0};
    std::atomic<int> downstream{0}; // datagrams passed from the server
    std::atomic<qint64> upBytes{0}; // bytes of the datagrams the client sent, lost ones too

    // A ping has one of two sizes, clear or sealed; what else goes up is voice (sealed voice is
    // never as short, clear voice only with an Opus packet of 19 bytes).
    static bool isPing(int bytes) { return bytes == 2 + 16 + 4 || bytes == 2 + 16 + 8 + 4 + 16; }

    // Whether each datagram of voice on its way up was lost, in order; for repeating the same
    // losses elsewhere.
    void recordLosses()
    {
        QMutexLocker lock(&m_recordMutex);
        m_recording = true;
        m_record.clear();
    }
    QVector<bool> recordedLosses()
    {
        QMutexLocker lock(&m_recordMutex);
        return m_record;
    }

    // One step of the loss model: whether the next datagram is lost.
    static bool lose(QRandomGenerator& random, double loss, double burst, bool* bad)
    {
        if (burst <= 1)
            return random.generateDouble() < loss;
        const double leave = 1.0 / burst;
        const double enter = loss >= 1 ? 1 : leave * loss / (1 - loss);
        *bad = random.generateDouble() < (*bad ? 1 - leave : enter);
        return *bad;
    }

    bool start(quint16 serverPort)
    {
        m_serverPort = serverPort;
        m_home = thread();
        moveToThread(&m_thread);
        m_thread.start();
        bool ok = false;
        QMetaObject::invokeMethod(
            this, [this, &ok] { ok = listen(); }, Qt::BlockingQueuedConnection);
        return ok;
    }
    quint16 port() const { return m_port; }

private:
    bool listen()
    {
        m_tcp = new QTcpServer(this);
        m_udp = new QUdpSocket(this);
        if (!m_tcp->listen(QHostAddress::LocalHost, 0) ||
            !m_udp->bind(QHostAddress::LocalHost, m_tcp->serverPort()))
            return false;
        m_port = m_tcp->serverPort();
        connect(m_tcp, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* in = m_tcp->nextPendingConnection()) {
                auto* out = new QTcpSocket(in);
                out->connectToHost(QHostAddress::LocalHost, m_serverPort);
                connect(in, &QTcpSocket::readyRead, out, [in, out] { out->write(in->readAll()); });
                connect(out, &QTcpSocket::readyRead, in, [in, out] { in->write(out->readAll()); });
                connect(in, &QTcpSocket::disconnected, out, &QTcpSocket::disconnectFromHost);
                connect(out, &QTcpSocket::disconnected, in, &QTcpSocket::disconnectFromHost);
            }
        });
        connect(m_udp, &QUdpSocket::readyRead, this, [this] {
            while (m_udp->hasPendingDatagrams()) {
                QHostAddress from;
                quint16 port = 0;
                QByteArray bytes(int(m_udp->pendingDatagramSize()), Qt::Uninitialized);
                m_udp->readDatagram(bytes.data(), bytes.size(), &from, &port);
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
                                m_udp->writeDatagram(b, from, port);
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

    using Send = std::function<void(const QByteArray&)>;

    void pass(Ways way, QByteArray bytes, const Send& send)
    {
        if (way == Up)
            upBytes += bytes.size();
        if (!(ways & way)) {
            send(bytes);
            return;
        }
        bool lost = blocked || lose(m_random, loss, burst, &m_bad[way == Up ? 0 : 1]);
        if (way == Up && !isPing(bytes.size()) && loseNext > 0) {
            --loseNext;
            lost = true;
        }
        if (way == Up) {
            QMutexLocker lock(&m_recordMutex);
            if (m_recording && !isPing(bytes.size()))
                m_record.append(lost);
        }
        if (lost) {
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
        // Held back until the next datagram the same way.
        Held& held = m_held[way == Up ? 0 : 1];
        if (held.bytes.isEmpty() && m_random.generateDouble() < reorder) {
            held = {bytes, send};
            return;
        }
        send(bytes);
        if (!held.bytes.isEmpty()) {
            held.send(held.bytes);
            held = {};
        }
    }

    struct Held
    {
        QByteArray bytes;
        Send send;
    };

    QThread m_thread;
    QThread* m_home = nullptr; // where the proxy goes back to before it is deleted
    QRandomGenerator m_random;
    quint16 m_serverPort = 0;
    std::atomic<quint16> m_port{0};
    QTcpServer* m_tcp = nullptr;
    QUdpSocket* m_udp = nullptr;
    std::map<quint16, QUdpSocket*> m_upstream;
    Held m_held[2];
    bool m_bad[2] = {false, false}; // the loss model's state, each way
    QMutex m_recordMutex;
    bool m_recording = false;
    QVector<bool> m_record;
};

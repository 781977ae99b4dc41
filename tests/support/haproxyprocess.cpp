// SPDX-License-Identifier: MIT
#include "haproxyprocess.h"

#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

HaproxyProcess::~HaproxyProcess()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished(5000);
}

bool HaproxyProcess::start(const QList<QPair<quint16, quint16>>& instances, int timeoutMs)
{
    QTcpServer probe; // a free port, given back at once
    if (!probe.listen(QHostAddress::LocalHost))
        return false;
    m_port = probe.serverPort();
    probe.close();
    QString servers;
    for (int i = 0; i < instances.size(); ++i)
        servers += QStringLiteral("  server i%1 127.0.0.1:%2 check port %3\n")
                       .arg(i)
                       .arg(instances.at(i).first)
                       .arg(instances.at(i).second);
    QFile config(m_dir.filePath(QStringLiteral("haproxy.cfg")));
    if (!config.open(QIODevice::WriteOnly))
        return false;
    // A failed connection is tried on another instance; one that stops answering /health is
    // taken out within a second.
    config.write(QStringLiteral("global\n  maxconn 4000\n"
                                "defaults\n  mode tcp\n  timeout connect 2s\n"
                                "  timeout client 1h\n  timeout server 1h\n"
                                "  retries 2\n  option redispatch\n"
                                "frontend voice\n  bind 127.0.0.1:%1\n"
                                "  default_backend instances\n"
                                "backend instances\n  balance roundrobin\n"
                                "  option httpchk GET /health\n"
                                "  http-check expect status 200\n"
                                "  default-server inter 500ms fall 2 rise 1\n%2")
                     .arg(m_port)
                     .arg(servers)
                     .toUtf8());
    config.close();
    // Its notices (servers going down and up) are for the reader of a failure, not the output.
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.setStandardOutputFile(m_dir.filePath(QStringLiteral("haproxy.log")));
    // Debian puts it in /usr/sbin, which a user's PATH may lack.
    QString program = QStandardPaths::findExecutable(QStringLiteral("haproxy"));
    if (program.isEmpty())
        program = QStandardPaths::findExecutable(
            QStringLiteral("haproxy"), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
    m_process.start(program, {QStringLiteral("-db"), QStringLiteral("-f"), config.fileName()});
    if (!m_process.waitForStarted(timeoutMs))
        return false;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs && m_process.state() == QProcess::Running) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, m_port);
        if (socket.waitForConnected(200))
            return true;
        QThread::msleep(50);
    }
    return false;
}

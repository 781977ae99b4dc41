// SPDX-License-Identifier: MIT
#pragma once

#include <QList>
#include <QPair>
#include <QProcess>
#include <QTemporaryDir>

// A real haproxy in TCP mode before voice-server instances, each checked on its admin
// endpoint's /health (as docs/cluster.md configures it); killed on destruction.
class HaproxyProcess
{
public:
    ~HaproxyProcess();
    // instances: each one's voice port and admin port. Waits until the front takes connections.
    bool start(const QList<QPair<quint16, quint16>>& instances, int timeoutMs = 5000);
    quint16 port() const { return m_port; }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
};

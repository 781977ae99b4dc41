// SPDX-License-Identifier: MIT
#pragma once

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

// A real redis-server for a cluster test: on a unix socket in its own temporary folder, with a
// password, keeping nothing on disk; killed on destruction.
//
//   RedisProcess redis;
//   QVERIFY2(redis.start(), qPrintable(redis.log()));
//   VoiceServerProcess a({"--cluster", redis.url()}) ...   (with redis.password() in the env)
class RedisProcess
{
public:
    RedisProcess();
    ~RedisProcess();
    RedisProcess(const RedisProcess&) = delete;
    RedisProcess& operator=(const RedisProcess&) = delete;

    // Starts and waits until it answers. On a restart the socket stays the same, the data
    // does not (as after a crash without persistence) unless it is persistent.
    bool start(int timeoutMs = 10000);
    // From the next start on: every write goes to an append-only file first, so the data
    // survives kill() and start().
    void setPersistent(bool persistent) { m_persistent = persistent; }
    // SIGKILL, as a crash.
    void kill();
    // SIGSTOP and SIGCONT: Redis frozen, as on a machine that stalls, and waking.
    void pause();
    void resume();
    bool isRunning() const { return m_process.state() == QProcess::Running; }
    qint64 processId() const { return m_process.processId(); }

    QString url() const { return QStringLiteral("unix:") + socketPath(); }
    QString socketPath() const { return m_dir.filePath(QStringLiteral("redis.sock")); }
    static QString password() { return QStringLiteral("cluster-test-secret"); }
    // Runs redis-cli with these arguments; its output, or a null string when it failed.
    QString cli(const QStringList& arguments) const;
    QString log() const;

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    bool m_persistent = false;
};

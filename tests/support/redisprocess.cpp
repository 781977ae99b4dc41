// SPDX-License-Identifier: MIT
#include "redisprocess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <csignal>

RedisProcess::RedisProcess()
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.setStandardOutputFile(m_dir.filePath(QStringLiteral("redis.log")), QIODevice::Append);
}

RedisProcess::~RedisProcess()
{
    kill();
}

bool RedisProcess::start(int timeoutMs)
{
    if (isRunning() || !m_dir.isValid())
        return false;
    QFile::remove(socketPath());
    m_process.start(QStringLiteral("redis-server"),
                    {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--unixsocket"),
                     socketPath(), QStringLiteral("--unixsocketperm"), QStringLiteral("700"),
                     QStringLiteral("--requirepass"), password(), QStringLiteral("--save"),
                     QString(), QStringLiteral("--appendonly"),
                     m_persistent ? QStringLiteral("yes") : QStringLiteral("no"),
                     QStringLiteral("--appendfsync"), QStringLiteral("always"),
                     QStringLiteral("--dir"), m_dir.path()});
    if (!m_process.waitForStarted(timeoutMs))
        return false;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs && isRunning()) {
        if (cli({QStringLiteral("PING")}).trimmed() == QLatin1String("PONG"))
            return true;
        QThread::msleep(20);
    }
    return false;
}

void RedisProcess::kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished(5000);
}

void RedisProcess::pause()
{
    if (isRunning())
        ::kill(pid_t(m_process.processId()), SIGSTOP);
}

void RedisProcess::resume()
{
    if (isRunning())
        ::kill(pid_t(m_process.processId()), SIGCONT);
}

QString RedisProcess::cli(const QStringList& arguments) const
{
    QProcess cli;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("REDISCLI_AUTH"), password());
    cli.setProcessEnvironment(environment);
    cli.start(QStringLiteral("redis-cli"),
              QStringList{QStringLiteral("-s"), socketPath()} + arguments);
    if (!cli.waitForFinished(5000) || cli.exitStatus() != QProcess::NormalExit ||
        cli.exitCode() != 0)
        return QString();
    return QString::fromUtf8(cli.readAllStandardOutput());
}

QString RedisProcess::log() const
{
    QFile file(m_dir.filePath(QStringLiteral("redis.log")));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// SPDX-License-Identifier: MIT
#include "voiceserverprocess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>

VoiceServerProcess::VoiceServerProcess(const QStringList& extraArguments,
                                       const QStringList& launcher, Certificate certificate)
    : m_extra(extraArguments), m_launcher(launcher), m_certificate(certificate)
{
    m_process.setStandardErrorFile(QDir(m_data.path()).filePath(QStringLiteral("server.log")),
                                   QIODevice::Append);
}

VoiceServerProcess::~VoiceServerProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

void VoiceServerProcess::setEnvironmentVariable(const QString& name, const QString& value)
{
    QProcessEnvironment environment = m_process.processEnvironment();
    if (environment.isEmpty())
        environment = QProcessEnvironment::systemEnvironment();
    environment.insert(name, value);
    m_process.setProcessEnvironment(environment);
}

QString VoiceServerProcess::binary(const QString& name)
{
    QString dir = qEnvironmentVariable("MEETING_BIN_DIR");
    if (dir.isEmpty())
        dir = QStringLiteral(MEETING_DEFAULT_BIN_DIR);
    return QDir(dir).filePath(name);
}

QString VoiceServerProcess::tlsFile(const QString& name)
{
    return QDir(QStringLiteral(MEETING_TEST_TLS_DIR)).filePath(name);
}

bool VoiceServerProcess::launch(int timeoutMs)
{
    if (m_process.state() != QProcess::NotRunning || !m_data.isValid())
        return false;
    const QDir data(m_data.path());
    if (m_certificate == Certificate::Shared && !m_extra.contains(QStringLiteral("--no-tls")) &&
        !m_extra.contains(QStringLiteral("--cert")) &&
        !QFile::exists(data.filePath(QStringLiteral("server.crt")))) {
        if (!QFile::copy(tlsFile(QStringLiteral("server.crt")),
                         data.filePath(QStringLiteral("server.crt"))) ||
            !QFile::copy(tlsFile(QStringLiteral("server.key")),
                         data.filePath(QStringLiteral("server.key"))))
            return false;
    }
    QStringList arguments{QStringLiteral("--listen"), QStringLiteral("127.0.0.1"),
                          QStringLiteral("--port"),   QString::number(m_port),
                          QStringLiteral("--data"),   m_data.path()};
    arguments += m_extra;
    if (m_launcher.isEmpty()) {
        m_process.start(binary(QStringLiteral("voice-server")), arguments);
    } else {
        m_process.start(m_launcher.first(),
                        m_launcher.mid(1) + QStringList{binary(QStringLiteral("voice-server"))} +
                            arguments);
    }
    if (!m_process.waitForStarted(timeoutMs))
        return false;
    if (!m_extra.contains(QStringLiteral("--admin-listen")))
        return true;
    const QStringList words = nextLine(timeoutMs);
    m_adminPort = words.size() == 3 && words.at(0) == QLatin1String("admin")
                      ? quint16(words.at(2).toUInt())
                      : 0;
    return m_adminPort != 0;
}

QStringList VoiceServerProcess::nextLine(int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!m_process.canReadLine()) {
        const qint64 left = timeoutMs - timer.elapsed();
        if (left <= 0 || m_process.state() != QProcess::Running)
            return {};
        m_process.waitForReadyRead(int(qMin<qint64>(left, 100)));
    }
    return QString::fromUtf8(m_process.readLine()).trimmed().split(QLatin1Char(' '));
}

bool VoiceServerProcess::waitListening(int timeoutMs)
{
    const QStringList words = nextLine(timeoutMs);
    if (words.size() != 3 || words.at(0) != QLatin1String("listening"))
        return false;
    m_port = quint16(words.at(2).toUInt());
    return m_port != 0;
}

bool VoiceServerProcess::waitForExit(int timeoutMs)
{
    return m_process.waitForFinished(timeoutMs) && m_process.exitStatus() == QProcess::NormalExit &&
           m_process.exitCode() == 0;
}

bool VoiceServerProcess::stop(int timeoutMs)
{
    if (m_process.state() == QProcess::NotRunning)
        return true;
    m_process.terminate();
    if (!m_process.waitForFinished(timeoutMs)) {
        m_process.kill();
        m_process.waitForFinished(timeoutMs);
        return false;
    }
    return m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
}

QString VoiceServerProcess::log() const
{
    QFile file(QDir(m_data.path()).filePath(QStringLiteral("server.log")));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

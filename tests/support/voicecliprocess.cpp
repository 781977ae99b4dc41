// SPDX-License-Identifier: MIT
#include "voicecliprocess.h"

#include "voiceserverprocess.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QTest>

VoiceCliProcess::VoiceCliProcess()
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] { readLines(); });
}

VoiceCliProcess::~VoiceCliProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

void VoiceCliProcess::setEnvironmentVariable(const QString& name, const QString& value)
{
    QProcessEnvironment environment = m_process.processEnvironment().isEmpty()
                                          ? QProcessEnvironment::systemEnvironment()
                                          : m_process.processEnvironment();
    environment.insert(name, value);
    m_process.setProcessEnvironment(environment);
}

bool VoiceCliProcess::start(int timeoutMs)
{
    m_process.start(VoiceServerProcess::binary(QStringLiteral("voice-cli")), QStringList());
    if (!m_process.waitForStarted(timeoutMs))
        return false;
    const QJsonObject started = waitForResult(QStringLiteral("start"), timeoutMs);
    return !started.isEmpty() && started.value(QStringLiteral("error")).toInt() == 0;
}

void VoiceCliProcess::send(const QJsonArray& command)
{
    m_process.write(QJsonDocument(command).toJson(QJsonDocument::Compact) + '\n');
}

void VoiceCliProcess::readLines()
{
    m_buffer.append(m_process.readAllStandardOutput());
    int newline;
    while ((newline = m_buffer.indexOf('\n')) >= 0) {
        const QJsonDocument line = QJsonDocument::fromJson(m_buffer.left(newline));
        m_buffer.remove(0, newline + 1);
        if (line.isObject()) {
            m_lines.append(line.object());
            m_times.append(QDateTime::currentMSecsSinceEpoch());
            m_claimed.append(false);
        }
    }
}

QJsonObject VoiceCliProcess::waitFor(const Predicate& predicate, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        readLines();
        for (int i = 0; i < m_lines.size(); ++i) {
            if (!m_claimed.at(i) && predicate(m_lines.at(i))) {
                m_claimed[i] = true;
                return m_lines.at(i);
            }
        }
        if (timer.elapsed() >= timeoutMs)
            return {};
        // Keeps every other process's pipes and the test's own event loop moving.
        QTest::qWait(5);
    }
}

QJsonObject VoiceCliProcess::waitForResult(const QString& command, int timeoutMs)
{
    return waitFor(
        [&](const QJsonObject& line) {
            return line.value(QStringLiteral("result")).toString() == command;
        },
        timeoutMs);
}

QJsonObject VoiceCliProcess::waitForEvent(const QString& event, const Predicate& also,
                                          int timeoutMs)
{
    return waitFor(
        [&](const QJsonObject& line) {
            return line.value(QStringLiteral("event")).toString() == event && (!also || also(line));
        },
        timeoutMs);
}

QJsonObject VoiceCliProcess::command(const QJsonArray& command, int timeoutMs)
{
    send(command);
    return waitForResult(command.at(0).toString(), timeoutMs);
}

bool VoiceCliProcess::connectTo(quint16 port, const QString& nickname, const QString& password)
{
    const QJsonObject result =
        command({QStringLiteral("connect"), QStringLiteral("127.0.0.1"), port, nickname, password});
    if (result.value(QStringLiteral("error")).toInt() != 0)
        return false;
    const QJsonObject status =
        waitForEvent(QStringLiteral("onConnectStatusChangeEvent"), [](const QJsonObject& line) {
            const int s = line.value(QStringLiteral("newStatus")).toInt();
            return s == 4 || s == 0;
        });
    return status.value(QStringLiteral("newStatus")).toInt() == 4;
}

bool VoiceCliProcess::quit(int timeoutMs)
{
    if (m_process.state() == QProcess::NotRunning)
        return true;
    send({QStringLiteral("quit")});
    return m_process.waitForFinished(timeoutMs) && m_process.exitCode() == 0;
}

VoiceCliProcess::Predicate is(const char* key, const QJsonValue& value)
{
    return
        [key, value](const QJsonObject& line) { return line.value(QLatin1String(key)) == value; };
}

VoiceCliProcess::Predicate both(VoiceCliProcess::Predicate a, VoiceCliProcess::Predicate b)
{
    return [a, b](const QJsonObject& line) { return a(line) && b(line); };
}

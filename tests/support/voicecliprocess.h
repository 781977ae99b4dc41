// SPDX-License-Identifier: MIT
#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QProcess>

#include <functional>

// A real voice-cli as the "other user" of a test. Every line it prints is kept; the wait
// functions return the first line not returned before that matches, so a test can wait for
// events in any order without losing one.
//
//   VoiceCliProcess bob;
//   QVERIFY(bob.start());
//   QVERIFY(bob.connectTo(server.port(), "bob"));
//   bob.send({"sendchannel", "hello"});
//   QVERIFY(!bob.waitForEvent("onTextMessageEvent").isEmpty());
class VoiceCliProcess
{
public:
    using Predicate = std::function<bool(const QJsonObject&)>;

    VoiceCliProcess();
    ~VoiceCliProcess();
    VoiceCliProcess(const VoiceCliProcess&) = delete;
    VoiceCliProcess& operator=(const VoiceCliProcess&) = delete;

    // For the next start, e.g. DISPLAY for a sharer.
    void setEnvironmentVariable(const QString& name, const QString& value);
    bool start(int timeoutMs = 10000);
    void send(const QJsonArray& command);

    // The first unclaimed line matching, or an empty object after the timeout. Claims it.
    QJsonObject waitFor(const Predicate& predicate, int timeoutMs = 10000);
    QJsonObject waitForResult(const QString& command, int timeoutMs = 10000);
    QJsonObject waitForEvent(const QString& event, const Predicate& also = {},
                             int timeoutMs = 10000);
    // send() and waitForResult().
    QJsonObject command(const QJsonArray& command, int timeoutMs = 10000);
    // Connects and waits for status 4; false on any other outcome.
    bool connectTo(quint16 port, const QString& nickname,
                   const QString& password = QStringLiteral("mossel"));

    // Every line so far, claimed or not, and when each was read (ms since the epoch).
    QList<QJsonObject> lines() const { return m_lines; }
    QList<qint64> times() const { return m_times; }
    // "quit" and wait for the process to end.
    bool quit(int timeoutMs = 10000);
    qint64 pid() const { return m_process.processId(); }

private:
    void readLines();

    QProcess m_process;
    QByteArray m_buffer;
    QList<QJsonObject> m_lines;
    QList<qint64> m_times;
    QList<bool> m_claimed;
};

// Predicates for the waits: a line whose key has this value; lines both predicates take.
VoiceCliProcess::Predicate is(const char* key, const QJsonValue& value);
VoiceCliProcess::Predicate both(VoiceCliProcess::Predicate a, VoiceCliProcess::Predicate b);

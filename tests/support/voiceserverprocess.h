// SPDX-License-Identifier: MIT
#pragma once

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

// A real voice-server for a test: started on a free port (--port 0) with its own temporary
// data directory, killed on destruction. Its log (stderr) goes to a file readable by log().
//
//   VoiceServerProcess server;
//   QVERIFY2(server.start(), qPrintable(server.log()));
//   connect to 127.0.0.1:server.port() ...
class VoiceServerProcess
{
public:
    // Shared: the server starts with the test certificate (tests/support/tls/server.crt), put
    // in its data directory, so clients that remember certificates by host and port never see
    // two test servers differ. Own: it makes one of its own, as at any first start.
    enum class Certificate { Shared, Own };

    // Extra command-line options, e.g. {"--password", ""} or {"--max-output-kib", "64"}; a
    // launcher runs the server, e.g. {"prlimit", "--nofile=64", "--"}.
    explicit VoiceServerProcess(const QStringList& extraArguments = {},
                                const QStringList& launcher = {},
                                Certificate certificate = Certificate::Shared);
    ~VoiceServerProcess();
    VoiceServerProcess(const VoiceServerProcess&) = delete;
    VoiceServerProcess& operator=(const VoiceServerProcess&) = delete;

    // Starts and waits for the "listening" line. On a restart the port stays the same.
    bool start(int timeoutMs = 10000) { return launch(timeoutMs) && waitListening(timeoutMs); }
    // The two halves of start(): the process, then its "listening" line. An "admin" line before
    // it gives adminPort() (with --admin-listen).
    bool launch(int timeoutMs = 10000);
    bool waitListening(int timeoutMs = 10000);
    // Waits for the process to end by itself; true when it exited with status 0.
    bool waitForExit(int timeoutMs);
    // Ends the server with SIGTERM; true when it exited cleanly with status 0.
    bool stop(int timeoutMs = 10000);
    bool restart() { return stop() && start(); }
    bool isRunning() const { return m_process.state() == QProcess::Running; }

    // For the next start.
    void setEnvironmentVariable(const QString& name, const QString& value);

    quint16 port() const { return m_port; }
    quint16 adminPort() const { return m_adminPort; }
    qint64 processId() const { return m_process.processId(); }
    QString dataDirectory() const { return m_data.path(); }
    QString log() const;

    // Where voice-server and voice-cli are: $MEETING_BIN_DIR, else the build's bin directory.
    static QString binary(const QString& name);
    // A file of tests/support/tls.
    static QString tlsFile(const QString& name);

private:
    QStringList nextLine(int timeoutMs);

    QStringList m_extra;
    QStringList m_launcher;
    Certificate m_certificate;
    QTemporaryDir m_data;
    QProcess m_process;
    quint16 m_port = 0;
    quint16 m_adminPort = 0;
};

// SPDX-License-Identifier: MIT
// voice-server as a service: its config file and what --check-config finds, exit statuses,
// version, secrets in files, names to listen on, its admin endpoint (health through start, drain
// and stop; metrics; hostile requests that never reach the voice port), SIGHUP with a replaced
// certificate and SIGTERM with clients connected.
#include "rawpeer.h"
#include "voicecliprocess.h"
#include "voiceserverprocess.h"

#include "tls.h"

#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace voicesdk::protocol;

namespace {

struct Reply
{
    int status = 0; // 0: no answer
    QByteArray body;
};

// One HTTP exchange; request is sent as it is.
Reply exchange(quint16 port, const QByteArray& request, int timeoutMs = 5000)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(timeoutMs))
        return {};
    socket.write(request);
    QByteArray response;
    QElapsedTimer timer;
    timer.start();
    while (socket.state() == QAbstractSocket::ConnectedState && timer.elapsed() < timeoutMs) {
        socket.waitForReadyRead(100);
        response += socket.readAll();
    }
    response += socket.readAll();
    Reply reply;
    const QList<QByteArray> statusLine = response.left(response.indexOf("\r\n")).split(' ');
    if (statusLine.size() >= 2)
        reply.status = statusLine.at(1).toInt();
    reply.body = response.mid(response.indexOf("\r\n\r\n") + 4);
    return reply;
}

Reply get(quint16 port, const QByteArray& path)
{
    return exchange(port, "GET " + path + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
}

qint64 gauge(quint16 adminPort, const QByteArray& name)
{
    const QByteArray body = get(adminPort, "/metrics").body;
    for (const QByteArray& line : body.split('\n')) {
        if (line.startsWith(name + ' '))
            return line.mid(name.size() + 1).toLongLong();
    }
    return -1;
}

// Runs voice-server to its end; the exit code and what it wrote to standard error.
int runServer(const QStringList& arguments, QString* errors = nullptr)
{
    QProcess process;
    process.start(VoiceServerProcess::binary(QStringLiteral("voice-server")), arguments);
    if (!process.waitForFinished(10000))
        return -1;
    if (errors)
        *errors = QString::fromUtf8(process.readAllStandardError()).trimmed();
    return process.exitCode();
}

QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& content)
{
    QFile file(dir.filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(file.fileName()));
    return file.fileName();
}

QString fingerprintSeenBy(quint16 port)
{
    RawPeer peer;
    return peer.open(port) ? certificateFingerprint(peer.socket().peerCertificate()) : QString();
}

// A socket where systemd would hear sd_notify: what the server says, one datagram at a time.
class NotifySocket
{
public:
    explicit NotifySocket(const QString& path) : m_path(path)
    {
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, qPrintable(path), sizeof address.sun_path);
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            qFatal("cannot bind %s", qPrintable(path));
    }
    ~NotifySocket() { ::close(m_fd); }

    // Everything said so far, one line per datagram.
    QByteArray said()
    {
        char buffer[4096];
        for (ssize_t size; (size = ::recv(m_fd, buffer, sizeof buffer, 0)) > 0;)
            m_said += QByteArray(buffer, int(size)) + '\n';
        return m_said;
    }

private:
    QString m_path;
    int m_fd = -1;
    QByteArray m_said;
};

} // namespace

class tst_VoiceServerOperations : public QObject
{
    Q_OBJECT
private slots:
    void exampleConfigFollowsHelp();
    void badConfigLinesAreNamed_data();
    void badConfigLinesAreNamed();
    void checkFindsWhatAStartWould_data();
    void checkFindsWhatAStartWould();
    void exitStatusTellsWhatMayPass();
    void versionIsEverywhere();
    void secretsNamesAndStamps();
    void commandLineWinsOverFile();
    void journalSeesLevels();
    void healthFollowsStart();
    void metricsAndHostileRequests();
    void sighupReplacesTheCertificate();
    void sigtermDrains();
};

void tst_VoiceServerOperations::exampleConfigFollowsHelp()
{
    QProcess help;
    help.start(VoiceServerProcess::binary(QStringLiteral("voice-server")), {"--help"});
    QVERIFY(help.waitForFinished(10000));
    // "--name <value>  text (default: x)", wrapped over several lines.
    const QString text =
        QString::fromUtf8(help.readAllStandardOutput()).simplified().replace(" --", "\n--");
    QMap<QString, QString> options; // name to its default ("" for none)
    const QRegularExpression entry(QStringLiteral("^--([a-z-]+)(?: <[^>]+>)? (.*)$"));
    const QRegularExpression defaultValue(QStringLiteral("\\(default: (.*)\\)$"));
    for (const QString& line : text.split('\n')) {
        const auto match = entry.match(line.trimmed());
        if (!match.hasMatch() || match.captured(1).startsWith(QLatin1String("help")) ||
            match.captured(1) == QLatin1String("version") ||
            match.captured(1) == QLatin1String("config") ||
            match.captured(1) == QLatin1String("check-config"))
            continue;
        options.insert(match.captured(1), defaultValue.match(match.captured(2)).captured(1));
    }
    QVERIFY(options.size() > 25);

    QFile example(QStringLiteral(MEETING_SOURCE_DIR "/packaging/voice-server.ini"));
    QVERIFY(example.open(QIODevice::ReadOnly));
    QMap<QString, QString> shown;
    const QRegularExpression key(QStringLiteral("^# ([a-z-]+) =(?: (.*))?$"));
    for (const QString& line : QString::fromUtf8(example.readAll()).split('\n')) {
        const auto match = key.match(line);
        if (match.hasMatch())
            shown.insert(match.captured(1), match.captured(2));
    }
    for (auto it = options.cbegin(); it != options.cend(); ++it) {
        QVERIFY2(shown.contains(it.key()), qPrintable(it.key() + " is not in the example"));
        if (!it.value().isEmpty())
            QCOMPARE(shown.value(it.key()), it.value());
    }
    for (const QString& name : shown.keys())
        QVERIFY2(options.contains(name), qPrintable(name + " is not an option"));
    // As shipped it is a valid file, also as an editor on Windows saves it.
    QTemporaryDir dir;
    QCOMPARE(runServer({"--config", example.fileName(), "--data", dir.path(), "--check-config"}),
             0);
    QVERIFY(example.seek(0));
    const QString windows =
        writeFile(dir, "windows.ini", "\xEF\xBB\xBF" + example.readAll().replace("\n", "\r\n"));
    QString errors;
    QCOMPARE(runServer({"--config", windows, "--data", dir.path(), "--check-config"}, &errors), 0);
    QVERIFY2(errors.isEmpty(), qPrintable(errors));
}

void tst_VoiceServerOperations::badConfigLinesAreNamed_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expected"); // after "FILE:"
    QTest::newRow("unknown key") << QByteArray("port = 1\n\nmax-client = 5\n")
                                 << "3: max-client: unknown key";
    QTest::newRow("not a number") << QByteArray("# a comment\nmax-clients = many\n")
                                  << "2: max-clients: 'many' is not a whole number";
    QTest::newRow("out of range") << QByteArray("flood-rate = 0\n")
                                  << "1: flood-rate: 0 is out of range (1 to 1000000)";
    QTest::newRow("not a flag") << QByteArray("no-udp = perhaps\n")
                                << "1: no-udp: 'perhaps' is neither true nor false";
    QTest::newRow("bad address") << QByteArray("listen = 999.1.1.1\n")
                                 << "1: listen: '999.1.1.1' is neither an address nor a host name";
    QTest::newRow("password twice") << QByteArray("password = a\n\npassword-file = /etc/hostname\n")
                                    << "3: password-file: password is set on line 1; give one of "
                                       "them";
    QTest::newRow("twice") << QByteArray("port = 1\nport = 2\n")
                           << "2: port: already set on line 1";
    QTest::newRow("no value") << QByteArray("port\n") << "1: expected 'key = value'";
    QTest::newRow("group") << QByteArray("[limits]\nport = 1\n")
                           << "1: groups are not used: every key stands on its own";
    QTest::newRow("cluster") << QByteArray("cluster = http://10.0.0.5\n")
                             << "1: cluster: 'http://10.0.0.5' is neither redis://HOST[:PORT][/DB] "
                                "nor unix:PATH";
    QTest::newRow("public address") << QByteArray("public-address = voice.example:10087\n")
                                    << "1: public-address: 'voice.example:10087' is not "
                                       "ADDRESS[:PORT] (an IP address)";
}

void tst_VoiceServerOperations::badConfigLinesAreNamed()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    const QString file = writeFile(dir, "voice-server.ini", content);
    QString errors;
    // A bad file stops the start too, not only the check.
    QCOMPARE(runServer({"--config", file, "--check-config"}, &errors), 2);
    QCOMPARE(errors, QStringLiteral("voice-server: %1:%2").arg(file, expected));
    QCOMPARE(runServer({"--config", file, "--port", "0", "--data", dir.path()}), 2);
}

void tst_VoiceServerOperations::checkFindsWhatAStartWould_data()
{
    // DIR: a temporary folder holding "file", a plain file; TLS: the test certificates.
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("expected");
    QTest::newRow("no certificate")
        << QStringList{"--cert", "DIR/none.crt", "--key", "TLS/server.key"}
        << "cannot read DIR/none.crt";
    QTest::newRow("certificate unreadable")
        << QStringList{"--cert", "DIR", "--key", "TLS/server.key"} << "cannot read DIR";
    QTest::newRow("key of another certificate")
        << QStringList{"--cert", "TLS/server.crt", "--key", "TLS/ca-server.key"}
        << "the key does not belong to the certificate";
    QTest::newRow("data folder under a file")
        << QStringList{"--data", "DIR/file/data"} << "DIR/file is not a directory";
    QTest::newRow("admin on the voice port")
        << QStringList{"--port", "10087", "--admin-listen", "10087"}
        << "admin-listen: port 10087 is the voice port";
    QTest::newRow("name nowhere") << QStringList{"--listen", "nowhere.invalid"}
                                  << "listen: cannot resolve 'nowhere.invalid'";
}

void tst_VoiceServerOperations::checkFindsWhatAStartWould()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    writeFile(dir, "file", "not a folder\n");
    const QString tls = QFileInfo(VoiceServerProcess::tlsFile("server.crt")).path();
    for (QString& argument : arguments)
        argument.replace("DIR", dir.path()).replace("TLS", tls);
    expected.replace("DIR", dir.path());
    arguments = QStringList{"--port", "0", "--data", dir.filePath("data")} + arguments;
    // Like the start, the check exits 2 for what is wrong with the setup; a name server that
    // cannot be reached may make the name a failure that may pass (1).
    const int status = expected.contains("nowhere") ? -1 : 2;
    QString errors;
    const int checked = runServer(arguments + QStringList{"--check-config"}, &errors);
    QVERIFY2(status < 0 ? checked == 1 || checked == 2 : checked == status, qPrintable(errors));
    QVERIFY2(errors.contains(expected), qPrintable(errors));
    QCOMPARE(runServer(arguments, &errors), checked);
    QVERIFY2(errors.contains(expected), qPrintable(errors));
}

void tst_VoiceServerOperations::exitStatusTellsWhatMayPass()
{
    // A port that is taken may be free at the next try: 1, which the unit retries.
    VoiceServerProcess taken;
    QVERIFY2(taken.start(), qPrintable(taken.log()));
    QTemporaryDir dir;
    const QString port = QString::number(taken.port());
    QString errors;
    QCOMPARE(runServer({"--port", port, "--data", dir.path()}, &errors), 1);
    QVERIFY2(errors.contains("cannot listen on 127.0.0.1:" + port), qPrintable(errors));
    QCOMPARE(runServer({"--port", "0", "--data", dir.path(), "--admin-listen", port}, &errors), 1);
    QVERIFY2(errors.contains("cannot serve the admin endpoint"), qPrintable(errors));
    // What the unit says of them.
    QFile unit(QStringLiteral(MEETING_SOURCE_DIR "/packaging/voice-server.service"));
    QVERIFY(unit.open(QIODevice::ReadOnly));
    const QByteArray text = unit.readAll();
    QVERIFY(text.contains("\nRestart=on-failure\n") &&
            text.contains("\nRestartPreventExitStatus=2\n"));
}

void tst_VoiceServerOperations::versionIsEverywhere()
{
    QProcess version;
    version.start(VoiceServerProcess::binary(QStringLiteral("voice-server")), {"--version"});
    QVERIFY(version.waitForFinished(10000));
    QCOMPARE(version.readAllStandardOutput(),
             QByteArray("voice-server " MEETING_PACKAGE_VERSION "\n"));
    QCOMPARE(version.exitCode(), 0);

    VoiceServerProcess server({"--admin-listen", "0"});
    QVERIFY2(server.start(), qPrintable(server.log()));
    QVERIFY2(server.log()
                 .section('\n', 0, 0)
                 .endsWith(" voice-server " MEETING_PACKAGE_VERSION " starting"),
             qPrintable(server.log()));
    QVERIFY(get(server.adminPort(), "/metrics")
                .body.contains("\nvoice_server_build_info{version=\"" MEETING_PACKAGE_VERSION
                               "\"} 1\n"));
}

void tst_VoiceServerOperations::secretsNamesAndStamps()
{
    QTemporaryDir dir;
    const QString secret = writeFile(dir, "password", "from a file\n");
    // A host name is resolved; the password comes from its file; every line is stamped with
    // the local time and its offset from UTC (here an hour and a half east).
    VoiceServerProcess server({"--listen", "localhost", "--password-file", secret});
    server.setEnvironmentVariable("TZ", "EAST-1:30");
    QVERIFY2(server.start(), qPrintable(server.log()));
    QVERIFY2(server.log().contains(" listen: localhost is 127.0.0.1\n"), qPrintable(server.log()));
    VoiceCliProcess bob;
    QVERIFY(bob.start());
    QVERIFY(bob.connectTo(server.port(), "bob", "from a file"));
    const QRegularExpression stamped(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\+01:30 \\S"));
    const QStringList lines = server.log().trimmed().split('\n');
    QVERIFY(lines.size() > 3);
    for (const QString& line : lines)
        QVERIFY2(stamped.match(line).hasMatch(), qPrintable(line));
    QVERIFY(!server.log().contains("default password"));

    // The password everyone can read, on an address others reach: a warning at every start.
    VoiceServerProcess open({"--listen", "0.0.0.0"});
    QVERIFY2(open.start(), qPrintable(open.log()));
    QVERIFY2(
        open.log().contains("warning: listening on 0.0.0.0 with the default password \"mossel\""),
        qPrintable(open.log()));

    // One way for each secret, and a file that is there.
    QString errors;
    QCOMPARE(runServer({"--password", "x", "--password-file", secret, "--check-config"}, &errors),
             2);
    QCOMPARE(errors,
             QStringLiteral("voice-server: --password and --password-file: give one of them"));
    QCOMPARE(
        runServer({"--cluster-password-file", dir.filePath("none"), "--check-config"}, &errors), 2);
    QVERIFY2(errors.contains("--cluster-password-file: cannot read"), qPrintable(errors));
    writeFile(dir, "two", "one\ntwo\n");
    QCOMPARE(runServer({"--password-file", dir.filePath("two"), "--check-config"}, &errors), 2);
    QVERIFY2(errors.contains("must hold one line"), qPrintable(errors));
}

void tst_VoiceServerOperations::commandLineWinsOverFile()
{
    QTemporaryDir dir;
    // The port in the file could not be taken; the one on the command line (0) wins.
    const QString file = writeFile(dir, "voice-server.ini",
                                   "port = 1\npassword = from-file\nmax-clients = 1\n"
                                   "welcome = \"  spaced  \"\n");
    VoiceServerProcess server({"--config", file, "--password", "from-line"});
    QVERIFY2(server.start(), qPrintable(server.log()));
    VoiceCliProcess bob, carol;
    QVERIFY(bob.start() && carol.start());
    QVERIFY(!bob.connectTo(server.port(), "bob", "from-file"));
    QVERIFY(bob.connectTo(server.port(), "bob", "from-line"));
    // max-clients from the file holds.
    QVERIFY(!carol.connectTo(server.port(), "carol", "from-line"));
    // Redis's password never goes on the command line, where every process list shows it.
    QString errors;
    QCOMPARE(
        runServer({"--cluster", "unix:/nowhere", "--cluster-password", "secret", "--check-config"},
                  &errors),
        2);
    QVERIFY2(errors.contains("VOICE_SERVER_REDIS_PASSWORD") && !errors.contains("secret"),
             qPrintable(errors));
}

void tst_VoiceServerOperations::journalSeesLevels()
{
    // Under systemd standard error is the journal, named in JOURNAL_STREAM.
    QTemporaryDir dir;
    const QString log = writeFile(dir, "stderr", {});
    struct stat status = {};
    QCOMPARE(::stat(qPrintable(log), &status), 0);
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(
        "JOURNAL_STREAM",
        QStringLiteral("%1:%2").arg(quint64(status.st_dev)).arg(quint64(status.st_ino)));
    process.setProcessEnvironment(environment);
    process.setStandardErrorFile(log);
    process.start(
        VoiceServerProcess::binary(QStringLiteral("voice-server")),
        {"--port", "0", "--listen", "127.0.0.1", "--data", dir.path(), "--max-clients", "100000"});
    QVERIFY(process.waitForFinished());
    QFile file(log);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(),
             QByteArray("<3>voice-server: --max-clients: 100000 is out of range (1 to 65535)\n"));
}

void tst_VoiceServerOperations::healthFollowsStart()
{
    // A key the server has to wait for keeps it starting: the endpoint answers meanwhile.
    QTemporaryDir dir;
    const QString certificate = dir.filePath("server.crt"), key = dir.filePath("server.key");
    QCOMPARE(::mkfifo(qPrintable(certificate), 0600), 0);
    QCOMPARE(::mkfifo(qPrintable(key), 0600), 0);
    VoiceServerProcess server(
        {"--admin-listen", "127.0.0.1:0", "--cert", certificate, "--key", key});
    QVERIFY2(server.launch(), qPrintable(server.log()));
    Reply health = get(server.adminPort(), "/health");
    QCOMPARE(health.status, 503);
    QCOMPARE(health.body, QByteArray("{\"state\":\"starting\"}\n"));
    QCOMPARE(get(server.adminPort(), "/metrics").status, 503);
    for (const auto& [fifo, source] : {std::pair{certificate, QStringLiteral("server.crt")},
                                       std::pair{key, QStringLiteral("server.key")}}) {
        QFile in(VoiceServerProcess::tlsFile(source)), out(fifo);
        QVERIFY(in.open(QIODevice::ReadOnly) && out.open(QIODevice::WriteOnly));
        out.write(in.readAll());
    }
    QVERIFY2(server.waitListening(), qPrintable(server.log()));
    health = get(server.adminPort(), "/health");
    QCOMPARE(health.status, 200);
    QCOMPARE(health.body, QByteArray("{\"state\":\"serving\"}\n"));
}

void tst_VoiceServerOperations::metricsAndHostileRequests()
{
    VoiceServerProcess server({"--admin-listen", "0"});
    QVERIFY2(server.start(), qPrintable(server.log()));
    const quint16 admin = server.adminPort();
    QCOMPARE(gauge(admin, "voice_server_clients"), 0);
    VoiceCliProcess bob, carol;
    QVERIFY(bob.start() && carol.start());
    QVERIFY(bob.connectTo(server.port(), "bob"));
    QCOMPARE(gauge(admin, "voice_server_clients"), 1);
    QVERIFY(carol.connectTo(server.port(), "carol"));
    QCOMPARE(gauge(admin, "voice_server_clients"), 2);

    // Hostile requests, all at once: one that never ends, one too large, a crowd of idle
    // connections beyond the endpoint's bound; meanwhile the voice port serves as ever, and
    // the endpoint answers a request that comes after them.
    QTcpSocket slow;
    slow.connectToHost(QHostAddress::LocalHost, admin);
    QVERIFY(slow.waitForConnected());
    slow.write("GET /health HTTP/1.1\r\nHost: x\r\n");
    std::vector<std::unique_ptr<QTcpSocket>> crowd;
    for (int i = 0; i < 40; ++i) {
        crowd.push_back(std::make_unique<QTcpSocket>());
        crowd.back()->connectToHost(QHostAddress::LocalHost, admin);
        QVERIFY(crowd.back()->waitForConnected());
    }
    QElapsedTimer relay;
    relay.start();
    bob.send({"sendchannel", "still here"});
    QVERIFY(!carol.waitForEvent("onTextMessageEvent").isEmpty());
    QVERIFY(relay.elapsed() < 2000);
    QCOMPARE(get(admin, "/health").status, 200);
    QTRY_VERIFY(server.log().contains("connections open; closed the oldest, from 127.0.0.1"));
    const Reply large = exchange(admin, "GET /health HTTP/1.1\r\nX: " + QByteArray(9000, 'a'));
    QCOMPARE(large.status, 431);
    QCOMPARE(get(admin, "/nothing-here").status, 404);
    QCOMPARE(exchange(admin, "DELETE /health HTTP/1.1\r\n\r\n").status, 405);
    crowd.clear();
    // The slow one was cut off, at its time or to make room, never answered.
    QTRY_COMPARE_WITH_TIMEOUT(slow.state(), QAbstractSocket::UnconnectedState, 8000);
    QVERIFY(slow.readAll().isEmpty());

    QVERIFY(bob.quit());
    QTRY_COMPARE(gauge(admin, "voice_server_clients"), 1);
    QCOMPARE(gauge(admin, "voice_server_texts_total"), 1);

    // Prometheus' own checker finds nothing to complain about.
    QProcess promtool;
    promtool.start(QStringLiteral("promtool"), {"check", "metrics"});
    QVERIFY2(promtool.waitForStarted(), "promtool (Debian's prometheus) is missing");
    promtool.write(get(admin, "/metrics").body);
    promtool.closeWriteChannel();
    QVERIFY(promtool.waitForFinished());
    QVERIFY2(promtool.exitCode() == 0, promtool.readAll().constData());
    QVERIFY(QString::fromUtf8(promtool.readAll()).trimmed().isEmpty());
}

void tst_VoiceServerOperations::sighupReplacesTheCertificate()
{
    // The server makes its own pair at the first start; the shared test pair replaces it.
    QTemporaryDir dir;
    const QString config = writeFile(dir, "voice-server.ini", "welcome = before\n");
    VoiceServerProcess server({"--config", config}, {}, VoiceServerProcess::Certificate::Own);
    QVERIFY2(server.start(), qPrintable(server.log()));
    const auto welcomeText = [&] {
        RawPeer peer;
        peer.open(server.port());
        peer.send(helloMessage(QStringLiteral("reader")));
        return peer.next(type::Welcome).value(field::WelcomeMessage).toString();
    };
    QCOMPARE(welcomeText(), QStringLiteral("before"));
    const QString before = fingerprintSeenBy(server.port());
    RawPeer open;
    QVERIFY(open.open(server.port()));
    QVERIFY(open.hello(QStringLiteral("open")));

    const QDir data(server.dataDirectory());
    for (const QString& name : {QStringLiteral("server.crt"), QStringLiteral("server.key")}) {
        QVERIFY(QFile::remove(data.filePath(name)));
        QVERIFY(QFile::copy(VoiceServerProcess::tlsFile(name), data.filePath(name)));
    }
    QFile shared(VoiceServerProcess::tlsFile(QStringLiteral("server.crt")));
    QVERIFY(shared.open(QIODevice::ReadOnly));
    const QString after = certificateFingerprint(QSslCertificate(shared.readAll()));
    QVERIFY(after != before);
    writeFile(dir, "voice-server.ini", "welcome = after\n");
    QCOMPARE(::kill(pid_t(server.processId()), SIGHUP), 0);
    QTRY_VERIFY(server.log().contains("reloaded: TLS certificate"));
    QCOMPARE(fingerprintSeenBy(server.port()), after);
    QCOMPARE(welcomeText(), QStringLiteral("after"));
    // The connection made before keeps talking.
    open.send(QCborMap{{TypeKey, type::Ping}});
    QVERIFY(!open.next(type::Pong).isEmpty());
    QCOMPARE(certificateFingerprint(open.socket().peerCertificate()), before);

    // A broken key keeps the pair in use, and says why.
    QFile key(data.filePath("server.key"));
    QVERIFY(key.open(QIODevice::WriteOnly | QIODevice::Truncate));
    key.write("not a key\n");
    key.close();
    QCOMPARE(::kill(pid_t(server.processId()), SIGHUP), 0);
    QTRY_VERIFY(server.log().contains("the certificate in use stays"));
    QVERIFY(server.log().contains("no unencrypted PEM private key"));
    QCOMPARE(fingerprintSeenBy(server.port()), after);
}

void tst_VoiceServerOperations::sigtermDrains()
{
    VoiceServerProcess server({"--admin-listen", "0", "--drain-timeout-ms", "1500"});
    QTemporaryDir dir;
    NotifySocket systemd(dir.filePath("notify"));
    server.setEnvironmentVariable("NOTIFY_SOCKET", dir.filePath("notify"));
    QVERIFY2(server.start(), qPrintable(server.log()));
    QTRY_VERIFY(systemd.said().startsWith("READY=1\nSTATUS=listening"));
    VoiceCliProcess bob;
    QVERIFY(bob.start());
    QVERIFY(bob.connectTo(server.port(), "bob"));
    // A client that ignores the notice keeps the drain going to its end.
    RawPeer stubborn;
    QVERIFY(stubborn.open(server.port()));
    QVERIFY(stubborn.hello(QStringLiteral("stubborn")));

    QElapsedTimer timer;
    timer.start();
    QCOMPARE(::kill(pid_t(server.processId()), SIGTERM), 0);
    const QJsonObject gone =
        bob.waitForEvent("onConnectStatusChangeEvent",
                         [](const QJsonObject& line) { return line.value("newStatus") == 0; });
    QCOMPARE(gone.value("errorNumber").toInt(), int(ERROR_server_going_away));
    QVERIFY(!stubborn.next(type::GoingAway).isEmpty());
    const Reply health = get(server.adminPort(), "/health");
    QCOMPARE(health.status, 503);
    QCOMPARE(health.body, QByteArray("{\"state\":\"draining\"}\n"));
    QTcpSocket newcomer;
    newcomer.connectToHost(QHostAddress::LocalHost, server.port());
    QVERIFY(!newcomer.waitForConnected(2000));
    QVERIFY(stubborn.closedByServer(3000));
    QVERIFY(server.waitForExit(5000));
    QVERIFY2(timer.elapsed() < 4000, qPrintable(QString::number(timer.elapsed())));
    // The drain and 10 s more: a stop of systemd's never cuts it short.
    QVERIFY(systemd.said().contains("\nSTOPPING=1\nEXTEND_TIMEOUT_USEC=11500000\n"));
    QCOMPARE(get(server.adminPort(), "/health").status, 0);
}

QTEST_GUILESS_MAIN(tst_VoiceServerOperations)
#include "tst_voiceserver_operations.moc"

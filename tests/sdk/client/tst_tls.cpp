// SPDX-License-Identifier: MIT
// TLS between the library and a real voice-server: the server's certificate made once and
// kept, trust on first use with a changed certificate refused until forgotten, certificates of
// an authority, and the clear mode that both sides must ask for.
#include "eventrecorder.h"
#include "voiceserverprocess.h"

#include <QDir>
#include <QFile>
#include <QSslConfiguration>
#include <QTest>

class tst_Tls : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void certificateIsKeptAndAChangedOneRefused();
    void certificateOfAnAuthorityIsAccepted();
    void clearOnlyWhenBothSidesAsk_data();
    void clearOnlyWhenBothSidesAsk();

private:
    // Connects a new handler; the status it ended in (4 or 0) and the error of a 0.
    int connectOnce(quint16 port, unsigned int* error = nullptr);
    static QByteArray fileBytes(const QString& path);
    static QString knownServers() { return QString::fromUtf8(fileBytes("known_servers.txt")); }
};

void tst_Tls::initTestCase()
{
    // The test authority joins the system's, as an administrator would install it.
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    QVERIFY(configuration.addCaCertificates(VoiceServerProcess::tlsFile("ca.crt")));
    QSslConfiguration::setDefaultConfiguration(configuration);
    QFile::remove("known_servers.txt"); // left by an earlier run in this folder
    const ClientUIFunctions functions = EventRecorder::callbacks();
    QCOMPARE(ts3client_initClientLib(&functions, nullptr, LogType_USERLOGGING, nullptr, nullptr),
             unsigned(ERROR_ok));
}

void tst_Tls::cleanupTestCase()
{
    QCOMPARE(ts3client_destroyClientLib(), unsigned(ERROR_ok));
}

QByteArray tst_Tls::fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int tst_Tls::connectOnce(quint16 port, unsigned int* error)
{
    uint64 h = 0;
    if (ts3client_spawnNewServerConnectionHandler(0, &h) != ERROR_ok)
        return -1;
    const bool established = connectHandler(h, port, "tess");
    const Event last = EventRecorder::instance().events(h, "onConnectStatusChangeEvent").last();
    if (error)
        *error = unsigned(last.value("errorNumber"));
    ts3client_destroyServerConnectionHandler(h);
    return established ? STATUS_CONNECTION_ESTABLISHED : STATUS_DISCONNECTED;
}

void tst_Tls::certificateIsKeptAndAChangedOneRefused()
{
    VoiceServerProcess server({}, {}, VoiceServerProcess::Certificate::Own);
    QVERIFY2(server.start(), qPrintable(server.log()));
    const QDir data(server.dataDirectory());
    const QByteArray made = fileBytes(data.filePath("server.crt"));
    QVERIFY(made.startsWith("-----BEGIN CERTIFICATE-----"));
    QCOMPARE(QFile::permissions(data.filePath("server.key")) & 0x0077, QFileDevice::Permissions());

    // The first contact remembers the certificate; a restart shows the same one.
    QCOMPARE(connectOnce(server.port()), int(STATUS_CONNECTION_ESTABLISHED));
    const QString fingerprint =
        QString::fromLatin1(QSslCertificate(made).digest(QCryptographicHash::Sha256).toHex());
    const QString line =
        QStringLiteral("127.0.0.1:%1 SHA256:%2").arg(server.port()).arg(fingerprint);
    QVERIFY2(knownServers().contains(line), qPrintable(knownServers()));
    QVERIFY(server.restart());
    QCOMPARE(fileBytes(data.filePath("server.crt")), made);
    QCOMPARE(connectOnce(server.port()), int(STATUS_CONNECTION_ESTABLISHED));

    // A new certificate on the same host and port is refused, with a line saying what to do.
    QVERIFY(server.stop());
    QVERIFY(QFile::remove(data.filePath("server.crt")) &&
            QFile::remove(data.filePath("server.key")));
    QVERIFY2(server.start(), qPrintable(server.log()));
    QVERIFY(fileBytes(data.filePath("server.crt")) != made);
    unsigned int error = 0;
    QCOMPARE(connectOnce(server.port(), &error), int(STATUS_DISCONNECTED));
    QCOMPARE(error, unsigned(ERROR_connection_certificate_changed));
    const Event refused =
        EventRecorder::instance().wait(0, "onUserLoggingMessageEvent", [](const Event& e) {
            return e.text("logMessage").contains("REFUSED");
        });
    QVERIFY2(refused.text("logMessage").contains("remove the line of 127.0.0.1:"),
             qPrintable(refused.text("logMessage")));
    QCOMPARE(server.log().count("joined as"), 2); // the refused one never said hello

    // Forgetting the server, as the line says, lets the new certificate in.
    QString text = knownServers();
    text.remove(line + QLatin1Char('\n'));
    QFile file("known_servers.txt");
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text.toUtf8());
    file.close();
    QCOMPARE(connectOnce(server.port()), int(STATUS_CONNECTION_ESTABLISHED));
}

void tst_Tls::certificateOfAnAuthorityIsAccepted()
{
    VoiceServerProcess server({"--cert", VoiceServerProcess::tlsFile("ca-server.crt"), "--key",
                               VoiceServerProcess::tlsFile("ca-server.key")});
    QVERIFY2(server.start(), qPrintable(server.log()));
    // Whatever was remembered for the address, a certificate that verifies is the server's.
    QFile file("known_servers.txt");
    QVERIFY(file.open(QIODevice::Append));
    file.write(QStringLiteral("127.0.0.1:%1 SHA256:%2\n")
                   .arg(server.port())
                   .arg(QString(64, '0'))
                   .toUtf8());
    file.close();
    const QString before = knownServers();
    QCOMPARE(connectOnce(server.port()), int(STATUS_CONNECTION_ESTABLISHED));
    QCOMPARE(knownServers(), before);
}

void tst_Tls::clearOnlyWhenBothSidesAsk_data()
{
    QTest::addColumn<bool>("clearServer");
    QTest::addColumn<bool>("clearClient");
    QTest::addColumn<bool>("connects");
    QTest::newRow("both clear") << true << true << true;
    QTest::newRow("clear server") << true << false << false;
    QTest::newRow("clear client") << false << true << false;
}

void tst_Tls::clearOnlyWhenBothSidesAsk()
{
    QFETCH(bool, clearServer);
    QFETCH(bool, clearClient);
    QFETCH(bool, connects);
    VoiceServerProcess server(clearServer ? QStringList{"--no-tls"} : QStringList());
    QVERIFY2(server.start(), qPrintable(server.log()));
    if (clearClient)
        qputenv("VOICESDK_PLAIN", "1");
    unsigned int error = 0;
    const int status = connectOnce(server.port(), &error);
    qunsetenv("VOICESDK_PLAIN");
    QCOMPARE(status, int(connects ? STATUS_CONNECTION_ESTABLISHED : STATUS_DISCONNECTED));
    if (!connects)
        QCOMPARE(error, unsigned(ERROR_failed_connection_initialisation));
}

QTEST_GUILESS_MAIN(tst_Tls)
#include "tst_tls.moc"

// SPDX-License-Identifier: MIT
// TLS between the library and a real voice-server: the server's certificate made once and
// kept, its key trusted on first use (a certificate renewed for it accepted, another key
// refused until forgotten, lines of earlier versions still read), certificates of an authority
// accepted without a pin, and the clear mode that both sides must ask for.
#include "eventrecorder.h"
#include "voiceserverprocess.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {

// Runs the openssl program in dir; false when it fails.
bool openssl(const QString& dir, const QStringList& arguments, QByteArray* output = nullptr)
{
    QProcess process;
    process.setWorkingDirectory(dir);
    process.start(QStringLiteral("openssl"), arguments);
    if (!process.waitForFinished(30000) || process.exitCode() != 0) {
        qWarning("openssl %s: %s", qPrintable(arguments.join(' ')),
                 process.readAllStandardError().constData());
        return false;
    }
    if (output)
        *output = process.readAllStandardOutput();
    return true;
}

// A new P-256 key, and a certificate for it: signed by the authority in dir ("ca") or by
// itself; for the names in subjectAltName form ("IP:127.0.0.1").
bool makeCertificate(const QString& dir, const QString& name, const QString& names,
                     bool byAuthority, const QString& existingKey = QString())
{
    const QString key = existingKey.isEmpty() ? name + ".key" : existingKey;
    if (existingKey.isEmpty() && !openssl(dir, {"genpkey", "-algorithm", "EC", "-pkeyopt",
                                                "ec_paramgen_curve:P-256", "-out", key}))
        return false;
    QStringList request{"req",   "-new",        "-key",    key,
                        "-subj", "/CN=" + name, "-addext", "subjectAltName=" + names};
    if (!byAuthority)
        return openssl(dir, request + QStringList{"-x509", "-days", "2", "-out", name + ".crt"});
    return openssl(dir, request + QStringList{"-out", name + ".csr"}) &&
           openssl(dir, {"x509", "-req", "-in", name + ".csr", "-CA", "ca.crt", "-CAkey", "ca.key",
                         "-CAcreateserial", "-days", "2", "-copy_extensions", "copy", "-out",
                         name + ".crt"});
}

// What a client pins: the SHA-256 of the certificate's public key, read by openssl.
QString keyPin(const QString& certificate)
{
    QByteArray pem;
    if (!openssl(QDir::currentPath(), {"x509", "-in", certificate, "-noout", "-pubkey"}, &pem))
        return QString();
    const QByteArray der = QByteArray::fromBase64(
        pem.replace("-----BEGIN PUBLIC KEY-----", "").replace("-----END PUBLIC KEY-----", ""));
    return "SPKI-SHA256:" + QCryptographicHash::hash(der, QCryptographicHash::Sha256).toHex();
}

} // namespace

class tst_Tls : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void certificateIsKeptAndAChangedOneRefused();
    void renewalForTheSameKeyIsAccepted();
    void certificateOfAnAuthorityIsAccepted();
    void authorityOfTheSystemNeedsNoPin();
    void clearOnlyWhenBothSidesAsk_data();
    void clearOnlyWhenBothSidesAsk();

private:
    // Connects a new handler; the status it ended in (4 or 0) and the error of a 0.
    int connectOnce(quint16 port, unsigned int* error = nullptr);
    static QByteArray fileBytes(const QString& path);
    static QString knownServers() { return QString::fromUtf8(fileBytes("known_servers.txt")); }
    static void writeKnownServers(const QString& text);

    QTemporaryDir m_authority; // a throwaway one, trusted through SSL_CERT_FILE
};

void tst_Tls::initTestCase()
{
    // An authority of the test's own, in a bundle as the system keeps them; the library reads
    // SSL_CERT_FILE when it makes its TLS context, at its first connection.
    QVERIFY(openssl(m_authority.path(),
                    {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                     "-nodes", "-keyout", "ca.key", "-out", "ca.crt", "-days", "2", "-subj",
                     "/CN=Throwaway test authority"}));
    qputenv("SSL_CERT_FILE", QFile::encodeName(m_authority.filePath("ca.crt")));
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

void tst_Tls::writeKnownServers(const QString& text)
{
    QFile file("known_servers.txt");
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text.toUtf8());
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

    // The first contact remembers the certificate's key; a restart shows the same one.
    QCOMPARE(connectOnce(server.port()), int(STATUS_CONNECTION_ESTABLISHED));
    const QString line = QStringLiteral("127.0.0.1:%1 %2")
                             .arg(server.port())
                             .arg(keyPin(data.filePath("server.crt")));
    QVERIFY2(knownServers().contains(line + '\n'), qPrintable(knownServers()));
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
    QVERIFY2(refused.text("logMessage").contains("remove the lines of 127.0.0.1:"),
             qPrintable(refused.text("logMessage")));
    QCOMPARE(server.log().count("joined as"), 2); // the refused one never said hello

    // Forgetting the server, as the line says, lets the new certificate in.
    writeKnownServers(knownServers().remove(line + QLatin1Char('\n')));
    QCOMPARE(connectOnce(server.port()), int(STATUS_CONNECTION_ESTABLISHED));
}

void tst_Tls::renewalForTheSameKeyIsAccepted()
{
    VoiceServerProcess server({}, {}, VoiceServerProcess::Certificate::Own);
    QVERIFY2(server.start(), qPrintable(server.log()));
    const QDir data(server.dataDirectory());
    const QString name = QStringLiteral("127.0.0.1:%1").arg(server.port());
    // A line as earlier versions wrote it, the whole certificate's digest, is still read; the
    // key joins it.
    const auto digestOf = [&] {
        return QString::fromLatin1(QSslCertificate(fileBytes(data.filePath("server.crt")))
                                       .digest(QCryptographicHash::Sha256)
                                       .toHex());
    };
    const QString digest = digestOf();
    writeKnownServers(QStringLiteral("%1 SHA256:%2\n").arg(name, digest));
    QCOMPARE(connectOnce(server.port()), int(STATUS_CONNECTION_ESTABLISHED));
    const QString pin = keyPin(data.filePath("server.crt"));
    QCOMPARE(knownServers(), QStringLiteral("%1 SHA256:%2\n%1 %3\n").arg(name, digest, pin));

    // The certificate renewed for the same key, as a renewal keeps it: nobody notices.
    QVERIFY(makeCertificate(data.path(), "server", "IP:127.0.0.1", false, "server.key"));
    QCOMPARE(::kill(pid_t(server.processId()), SIGHUP), 0);
    QTRY_VERIFY(server.log().contains("reloaded: TLS certificate"));
    QVERIFY(digestOf() != digest);
    QCOMPARE(connectOnce(server.port()), int(STATUS_CONNECTION_ESTABLISHED));
    QCOMPARE(knownServers().count(name), 2);
    // Its log names the key as clients pin it.
    QVERIFY2(server.log().contains("key " + pin + ")"), qPrintable(server.log()));
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

void tst_Tls::authorityOfTheSystemNeedsNoPin()
{
    // A certificate of an authority in the system's store that names the host: accepted with
    // no line, before and after a renewal that brings a new key (as an ACME client's does).
    const QString dir = m_authority.path();
    QVERIFY(makeCertificate(dir, "first", "IP:127.0.0.1,DNS:localhost", true));
    QVERIFY(makeCertificate(dir, "renewed", "IP:127.0.0.1,DNS:localhost", true));
    const QString data = dir + "/data";
    QVERIFY(QDir().mkpath(data));
    QVERIFY(QFile::copy(dir + "/first.crt", data + "/server.crt") &&
            QFile::copy(dir + "/first.key", data + "/server.key"));
    VoiceServerProcess server({"--cert", data + "/server.crt", "--key", data + "/server.key"});
    QVERIFY2(server.start(), qPrintable(server.log()));
    const QString name = QStringLiteral("127.0.0.1:%1 ").arg(server.port());
    QCOMPARE(connectOnce(server.port()), int(STATUS_CONNECTION_ESTABLISHED));
    QVERIFY2(!knownServers().contains(name), qPrintable(knownServers()));
    for (const char* file : {"server.crt", "server.key"})
        QVERIFY(QFile::remove(data + '/' + file));
    QVERIFY(QFile::copy(dir + "/renewed.crt", data + "/server.crt") &&
            QFile::copy(dir + "/renewed.key", data + "/server.key"));
    QCOMPARE(::kill(pid_t(server.processId()), SIGHUP), 0);
    QTRY_VERIFY(server.log().contains("reloaded: TLS certificate"));
    QCOMPARE(connectOnce(server.port()), int(STATUS_CONNECTION_ESTABLISHED));
    QVERIFY2(!knownServers().contains(name), qPrintable(knownServers()));

    // One for another host verifies for nothing here: its key is trusted on first use.
    QVERIFY(makeCertificate(dir, "elsewhere", "DNS:voice.example.org", true));
    VoiceServerProcess other({"--cert", dir + "/elsewhere.crt", "--key", dir + "/elsewhere.key"});
    QVERIFY2(other.start(), qPrintable(other.log()));
    QCOMPARE(connectOnce(other.port()), int(STATUS_CONNECTION_ESTABLISHED));
    QVERIFY2(knownServers().contains(QStringLiteral("127.0.0.1:%1 %2\n")
                                         .arg(other.port())
                                         .arg(keyPin(dir + "/elsewhere.crt"))),
             qPrintable(knownServers()));
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

// SPDX-License-Identifier: MIT
// Two voice-cli users share files through a channel's store, as in a demo: one uploads, the
// other lists, downloads byte-identical and deletes.
#include "voicecliprocess.h"
#include "voiceserverprocess.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

namespace {

QJsonObject transferEnd(VoiceCliProcess& cli, int id)
{
    return cli.waitForEvent(QStringLiteral("onFileTransferStatusEvent"),
                            [id](const QJsonObject& line) {
                                return line.value(QStringLiteral("transferID")).toInt() == id;
                            });
}

QByteArray contentOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class tst_VoiceCliFiles : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void shareAFile();
    void refusalsAreReported();
    void badArguments_data();
    void badArguments();

private:
    VoiceServerProcess m_server;
    VoiceCliProcess m_alice;
    VoiceCliProcess m_bob;
    QTemporaryDir m_work;
};

void tst_VoiceCliFiles::initTestCase()
{
    QVERIFY2(m_server.start(), qPrintable(m_server.log()));
    QVERIFY(m_alice.start());
    QVERIFY(m_bob.start());
    QVERIFY(m_alice.connectTo(m_server.port(), QStringLiteral("alice")));
    QVERIFY(m_bob.connectTo(m_server.port(), QStringLiteral("bob")));
}

void tst_VoiceCliFiles::shareAFile()
{
    const QString outbox = QDir(m_work.path()).filePath("outbox");
    const QString inbox = QDir(m_work.path()).filePath("inbox");
    QVERIFY(QDir().mkpath(outbox) && QDir().mkpath(inbox));
    QByteArray content(300 * 1024 + 5, Qt::Uninitialized);
    for (char& c : content)
        c = char(QRandomGenerator::global()->bounded(256));
    const QString name = QStringLiteral("Protokoll – März.pdf");
    QFile file(QDir(outbox).filePath(name));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
    file.close();

    QCOMPARE(m_alice.command({"mkdir", 1, "", "/meeting/files"}).value("error").toInt(), 0);
    const QJsonObject started =
        m_alice.command({"upload", 1, "", "/meeting/files/" + name, outbox});
    QCOMPARE(started.value("error").toInt(), 0);
    const int up = started.value("transferID").toInt();
    QVERIFY(up > 0);
    const QJsonObject upEnd = transferEnd(m_alice, up);
    QCOMPARE(upEnd.value("status").toInt(), 2065);
    QCOMPARE(upEnd.value("isSender").toInt(), 1);
    QCOMPARE(upEnd.value("remotefileSize").toDouble(), double(content.size()));
    QCOMPARE(m_alice.command({"issender", up}).value("isSender").toInt(), 1);

    QCOMPARE(m_bob.command({"listfiles", 1, "", "/meeting/files"}).value("error").toInt(), 0);
    const QJsonObject entry = m_bob.waitForEvent("onFileListEvent");
    QCOMPARE(entry.value("name").toString(), name);
    QCOMPARE(entry.value("path").toString(), QStringLiteral("/meeting/files"));
    QCOMPARE(entry.value("size").toDouble(), double(content.size()));
    QCOMPARE(entry.value("type").toInt(), 1);
    QCOMPARE(m_bob.waitForEvent("onFileListFinishedEvent").value("path").toString(),
             QStringLiteral("/meeting/files"));

    const QJsonObject fetch = m_bob.command({"download", 1, "", "/meeting/files/" + name, inbox});
    QCOMPARE(fetch.value("error").toInt(), 0);
    const QJsonObject downEnd = transferEnd(m_bob, fetch.value("transferID").toInt());
    QCOMPARE(downEnd.value("status").toInt(), 2065);
    QCOMPARE(downEnd.value("isSender").toInt(), 0);
    QCOMPARE(contentOf(QDir(inbox).filePath(name)), content);

    QCOMPARE(m_bob.command({"deletefiles", 1, "", QJsonArray{"/meeting/files/" + name}})
                 .value("error")
                 .toInt(),
             0);
    QCOMPARE(m_alice.command({"listfiles", 1, "", "/meeting/files"}).value("error").toInt(), 0);
    QVERIFY(!m_alice.waitForEvent("onFileListFinishedEvent").isEmpty());
    // The listing finished without an entry: the file is gone.
    for (const QJsonObject& line : m_alice.lines())
        QVERIFY(line.value("event").toString() != QLatin1String("onFileListEvent"));
}

void tst_VoiceCliFiles::refusalsAreReported()
{
    const QJsonObject started =
        m_bob.command({"download", 1, "", "/nothing/here.txt", m_work.path()});
    QCOMPARE(started.value("error").toInt(), 0);
    const QJsonObject end = transferEnd(m_bob, started.value("transferID").toInt());
    QCOMPARE(end.value("status").toInt(), 0x0802);
    QVERIFY(!end.value("statusMessage").toString().isEmpty());
    QCOMPARE(m_bob.command({"download", 1, "", "/x/..", m_work.path()}).value("error").toInt(),
             0x0800);
    QCOMPARE(m_bob.command({"mkdir", 1, "", "/../up"}).value("error").toInt(), 0);
    QCOMPARE(m_bob.waitForEvent("onServerErrorEvent").value("error").toInt(), 0x0801);
}

void tst_VoiceCliFiles::badArguments_data()
{
    QTest::addColumn<QJsonArray>("command");
    QTest::newRow("upload without file") << QJsonArray{"upload", 1, ""};
    QTest::newRow("channel as text") << QJsonArray{"listfiles", "1", "", "/"};
    QTest::newRow("negative channel") << QJsonArray{"mkdir", -1, "", "/a"};
    QTest::newRow("delete list not an array") << QJsonArray{"deletefiles", 1, "", "/a"};
    QTest::newRow("delete list of numbers") << QJsonArray{"deletefiles", 1, "", QJsonArray{1}};
    QTest::newRow("issender without ID") << QJsonArray{"issender"};
}

void tst_VoiceCliFiles::badArguments()
{
    QFETCH(QJsonArray, command);
    QCOMPARE(m_alice.command(command).value("error").toInt(), 0x0600);
}

QTEST_GUILESS_MAIN(tst_VoiceCliFiles)
#include "tst_voicecli_files.moc"

// SPDX-License-Identifier: MIT
#include "checkupdatedlg.h"
#include "singleapplication.h"

#include <QProcess>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <memory>

// Drives the real RylUpdater program and the check dialog that watches it.
class TestUpdater : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    static QString updaterPath()
    {
        return QString::fromLocal8Bit(qgetenv("MEETING_BIN_DIR")) + QStringLiteral("/RylUpdater");
    }

    // A product name of our own per test, so concurrent runs never share a key.
    static QString uniqueProduct()
    {
        return QStringLiteral("Meeting") + QUuid::createUuid().toString(QUuid::Id128).left(12);
    }

    std::unique_ptr<QProcess> startUpdater(const QStringList& args, const QString& feed)
    {
        auto process = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("RYL_UPDATE_FEED"), feed);
        process->setProcessEnvironment(env);
        process->start(updaterPath(), args);
        if (!process->waitForStarted(5000))
            return nullptr;
        return process;
    }

    QString writeFeed(const QByteArray& content)
    {
        const QString path =
            m_dir.filePath(QUuid::createUuid().toString(QUuid::Id128) + QStringLiteral(".json"));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return QString();
        file.write(content);
        return path;
    }

    static QStringList args(const QString& product, const QString& build, bool check)
    {
        QStringList list{QStringLiteral("/opt/meeting/Meeting"), product, QStringLiteral("10"),
                         build};
        if (check)
            list << QStringLiteral("checkupdates");
        list << QStringLiteral("en_US");
        return list;
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void refusesAMalformedCommandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("none") << QStringList();
        QTest::newRow("too few") << QStringList{QStringLiteral("/x/Meeting"),
                                                QStringLiteral("Meeting"), QStringLiteral("10")};
        QTest::newRow("version not a number")
            << QStringList{QStringLiteral("/x/Meeting"), QStringLiteral("Meeting"),
                           QStringLiteral("ten"), QStringLiteral("5"), QStringLiteral("en_US")};
        QTest::newRow("unknown flag") << QStringList{
            QStringLiteral("/x/Meeting"), QStringLiteral("Meeting"),      QStringLiteral("10"),
            QStringLiteral("5"),          QStringLiteral("checknothing"), QStringLiteral("en_US")};
    }

    void refusesAMalformedCommandLine()
    {
        QFETCH(QStringList, arguments);
        auto updater = startUpdater(arguments, QString());
        QVERIFY(updater);
        QVERIFY(updater->waitForFinished(5000));
        QCOMPARE(updater->exitCode(), 2);
    }

    void reportsTheFeedsVerdict_data()
    {
        QTest::addColumn<QByteArray>("feed");
        QTest::addColumn<QString>("build");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("output");
        QTest::newRow("newer")
            << QByteArray(
                   "{\"product\":\"%P\",\"build\":120,\"url\":\"http://example.invalid/m.zip\"}")
            << "100" << 0 << "update available";
        QTest::newRow("same") << QByteArray("{\"build\":\"100\"}") << "100" << 0 << "is up to date";
        QTest::newRow("older") << QByteArray("{\"build\":99}") << "100" << 0 << "is up to date";
        QTest::newRow("other product")
            << QByteArray("{\"product\":\"Spreadsheet\",\"build\":500}") << "1" << 3 << "not";
        QTest::newRow("not json") << QByteArray("<html>") << "1" << 3 << "not a JSON object";
        QTest::newRow("no build") << QByteArray("{\"product\":\"%P\"}") << "1" << 3
                                  << "no build number";
    }

    void reportsTheFeedsVerdict()
    {
        QFETCH(QByteArray, feed);
        QFETCH(QString, build);
        QFETCH(int, exitCode);
        QFETCH(QString, output);
        const QString product = uniqueProduct();
        feed.replace("%P", product.toUtf8());
        auto updater = startUpdater(args(product, build, true), writeFeed(feed));
        QVERIFY(updater);
        QVERIFY(updater->waitForFinished(10000));
        QCOMPARE(updater->exitCode(), exitCode);
        QVERIFY2(QString::fromUtf8(updater->readAllStandardOutput()).contains(output),
                 qPrintable(output));
    }

    void missingFeedIsReportedNotFatal()
    {
        auto updater = startUpdater(args(uniqueProduct(), QStringLiteral("1"), false),
                                    m_dir.filePath(QStringLiteral("absent.json")));
        QVERIFY(updater);
        QVERIFY(updater->waitForFinished(10000));
        QCOMPARE(updater->exitStatus(), QProcess::NormalExit);
        QCOMPARE(updater->exitCode(), 3);
        QVERIFY(QString::fromUtf8(updater->readAllStandardOutput())
                    .contains(QStringLiteral("no update feed at")));
    }

    // A feed server that accepts and never answers keeps the check running until it is cancelled.
    void cancelMessageStopsARunningCheck()
    {
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        const QString product = uniqueProduct();
        auto updater =
            startUpdater(args(product, QStringLiteral("1"), true),
                         QStringLiteral("http://127.0.0.1:%1/feed.json").arg(silent.serverPort()));
        QVERIFY(updater);

        RylSystem::SingleApplication instance(QStringLiteral("RYL Auto Updater") + product, false);
        QTRY_VERIFY_WITH_TIMEOUT(instance.isRunning() || updater->state() != QProcess::Running,
                                 5000);
        QVERIFY2(updater->state() == QProcess::Running, updater->readAll().constData());
        QVERIFY(instance.isRunning());

        QVERIFY(instance.sendMessage(QStringLiteral("cancel"), 500));
        QVERIFY(updater->waitForFinished(5000));
        QCOMPARE(updater->exitCode(), 0);
        QVERIFY(QString::fromUtf8(updater->readAllStandardOutput())
                    .contains(QStringLiteral("cancelled")));
        QTRY_VERIFY_WITH_TIMEOUT(!instance.isRunning(), 2000);
    }

    void secondUpdaterLeavesTheFirstAlone()
    {
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        const QString product = uniqueProduct();
        const QString feed =
            QStringLiteral("http://127.0.0.1:%1/feed.json").arg(silent.serverPort());
        auto first = startUpdater(args(product, QStringLiteral("1"), false), feed);
        QVERIFY(first);
        RylSystem::SingleApplication instance(QStringLiteral("RYL Auto Updater") + product, false);
        QTRY_VERIFY_WITH_TIMEOUT(instance.isRunning(), 5000);

        auto second = startUpdater(args(product, QStringLiteral("1"), true), feed);
        QVERIFY(second);
        QVERIFY(second->waitForFinished(5000));
        QVERIFY(QString::fromUtf8(second->readAllStandardOutput())
                    .contains(QStringLiteral("already running")));
        QVERIFY(first->state() == QProcess::Running);
        QVERIFY(instance.sendMessage(QStringLiteral("cancel"), 500));
        QVERIFY(first->waitForFinished(5000));
    }

    void checkDialogAcceptsWhenTheCheckEnds()
    {
        QTcpServer slow;
        QVERIFY(slow.listen(QHostAddress::LocalHost));
        const QString product = uniqueProduct();
        auto updater =
            startUpdater(args(product, QStringLiteral("1"), true),
                         QStringLiteral("http://127.0.0.1:%1/feed.json").arg(slow.serverPort()));
        QVERIFY(updater);

        RylSystem::CheckUpdateDlg dialog(QStringLiteral("RYL Auto Updater") + product, nullptr);
        // Answer the feed request a little later, so the dialog sees the updater running first.
        connect(&slow, &QTcpServer::newConnection, this, [&slow] {
            QTcpSocket* client = slow.nextPendingConnection();
            QTimer::singleShot(600, client, [client] {
                client->write(
                    "HTTP/1.0 200 OK\r\nContent-Type: application/json\r\n\r\n{\"build\":1}");
                client->disconnectFromHost();
            });
        });
        QCOMPARE(dialog.exec(), int(QDialog::Accepted));
        QVERIFY(updater->state() == QProcess::NotRunning || updater->waitForFinished(5000));
        QCOMPARE(updater->exitCode(), 0);
    }

    void checkDialogCancelRejects()
    {
        RylSystem::CheckUpdateDlg dialog(QStringLiteral("RYL Auto Updater") + uniqueProduct(),
                                         nullptr);
        QTimer::singleShot(100, &dialog, [&dialog] {
            const auto buttons = dialog.findChildren<QPushButton*>();
            QVERIFY(!buttons.isEmpty());
            buttons.first()->click();
        });
        QCOMPARE(dialog.exec(), int(QDialog::Rejected));
    }
};

QTEST_MAIN(TestUpdater)
#include "tst_updater.moc"

// SPDX-License-Identifier: MIT
#include "errors.h"
#include "tsclient/programfolder.h"
#include "tsclient/tsparameters.h"

#include <QDir>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

using RylSystem::AssertionError;

class TestTsParameters : public QObject
{
    Q_OBJECT

    // Runs read and expects the "Invalid Operation" assertion naming accessor.
    static bool raisesInvalidOperation(const std::function<void()>& read, const char* accessor)
    {
        try {
            read();
        } catch (const AssertionError& error) {
            return QByteArray(error.what()) == "Invalid Operation" &&
                   RylSystem::throwLine(error) > 0 &&
                   QByteArray(RylSystem::throwFunction(error)).contains(accessor) &&
                   QByteArray(RylSystem::throwFile(error)).endsWith("tsparameters.cpp");
        }
        return false;
    }

    QTemporaryDir m_dir;

    TsParameters fromFile(const QByteArray* content)
    {
        QFile::remove(m_dir.filePath(QStringLiteral("ts3_server.dat")));
        if (content) {
            QFile file(m_dir.filePath(QStringLiteral("ts3_server.dat")));
            if (file.open(QIODevice::WriteOnly))
                file.write(*content);
        }
        // No system-wide file from the machine running the test.
        return TsParameters::fromServerFile(QStringLiteral("anna"), m_dir.path(),
                                            m_dir.filePath(QStringLiteral("none")));
    }

private slots:
    void requiredParametersRaiseWhenMissing()
    {
        const TsParameters empty;
        QVERIFY(raisesInvalidOperation([&] { empty.ip(); }, "ip"));
        QVERIFY(raisesInvalidOperation([&] { empty.port(); }, "port"));
        QVERIFY(raisesInvalidOperation([&] { empty.nickname(); }, "nickname"));
        QVERIFY(raisesInvalidOperation([&] { empty.serverPwd(); }, "serverPwd"));
        QVERIFY(raisesInvalidOperation([&] { empty.channelId(); }, "channelId"));
        QCOMPARE(empty.channel(), QString());
        QCOMPARE(empty.channelPwd(), QString());
        QCOMPARE(empty.supporter(), QString());
    }

    void portZeroRaises()
    {
        TsParameters params;
        params.setPort(0);
        QVERIFY(raisesInvalidOperation([&] { params.port(); }, "port"));
    }

    void settersAndCopies()
    {
        TsParameters params;
        params.setIp(QStringLiteral("10.0.0.5"));
        params.setPort(9987);
        params.setServerPwd(QString());
        params.setNickname(QStringLiteral("Zoë"));
        params.setChannel(QStringLiteral("room"));
        params.setChannelId(QStringLiteral("12"));
        params.setChannelPwd(QStringLiteral("secret"));
        params.setSupporter(QStringLiteral("helpdesk"));
        TsParameters copy = params;
        params.setNickname(QStringLiteral("changed"));
        QCOMPARE(copy.ip(), QStringLiteral("10.0.0.5"));
        QCOMPARE(copy.port(), 9987);
        QCOMPARE(copy.serverPwd(), QString());
        QCOMPARE(copy.nickname(), QStringLiteral("Zoë"));
        QCOMPARE(copy.channel(), QStringLiteral("room"));
        QCOMPARE(copy.channelId(), QStringLiteral("12"));
        QCOMPARE(copy.channelPwd(), QStringLiteral("secret"));
        QCOMPARE(copy.supporter(), QStringLiteral("helpdesk"));
        QCOMPARE(params.nickname(), QStringLiteral("changed"));
        // The whole state is one JSON object under fixed keys.
        QCOMPARE(copy.toJson().value(QStringLiteral("nick_name")).toString(),
                 QStringLiteral("Zoë"));
        QCOMPARE(copy.toJson().value(QStringLiteral("server_pwd")).toString(), QString());
    }

    void channelWithoutIdRaisesOnlyWhenRead()
    {
        TsParameters params;
        params.setChannel(QStringLiteral("room"));
        QCOMPARE(params.channel(), QStringLiteral("room"));
        QVERIFY(raisesInvalidOperation([&] { params.channelId(); }, "channelId"));
    }

    void serverFile_data()
    {
        QTest::addColumn<bool>("present");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port"); // 0: port() raises
        QTest::addColumn<QString>("password");
        QTest::newRow("missing") << false << QByteArray() << "localhost" << 10087 << "mossel";
        QTest::newRow("only a port")
            << true << QByteArray("{\"port\": 9999}") << "localhost" << 9999 << "mossel";
        QTest::newRow("host and empty password")
            << true << QByteArray("{\"domain\": \"10.0.0.5\", \"server_pwd\": \"\"}") << "10.0.0.5"
            << 10087 << "";
        QTest::newRow("port as a string")
            << true << QByteArray("{\"port\": \"9999\"}") << "localhost" << 0 << "mossel";
        QTest::newRow("array") << true << QByteArray("[1,2]") << "localhost" << 10087 << "mossel";
        QTest::newRow("not json") << true << QByteArray("domain=example") << "localhost" << 10087
                                  << "mossel";
        QTest::newRow("wrong types")
            << true << QByteArray("{\"domain\": 7, \"server_pwd\": false}") << "" << 10087 << "";
        QTest::newRow("other keys ignored")
            << true << QByteArray("{\"ip\": \"1.2.3.4\", \"password\": \"x\", \"port\": 1}")
            << "localhost" << 1 << "mossel";
    }

    void serverFile()
    {
        QFETCH(bool, present);
        QFETCH(QByteArray, content);
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(QString, password);
        const TsParameters params = fromFile(present ? &content : nullptr);
        QCOMPARE(params.nickname(), QStringLiteral("anna"));
        QCOMPARE(params.ip(), host);
        QCOMPARE(params.serverPwd(), password);
        if (port == 0)
            QVERIFY(raisesInvalidOperation([&] { params.port(); }, "port"));
        else
            QCOMPARE(params.port(), port);
        // Never a default channel from the file.
        QCOMPARE(params.channel(), QString());
        QCOMPARE(params.supporter(), QString());
    }

    // An installed program: the file beside it first, then the system-wide one.
    void serverFileBesideThenSystemWide()
    {
        QTemporaryDir program, system;
        const auto write = [](const QTemporaryDir& dir, const QByteArray& content) {
            QFile file(dir.filePath(QStringLiteral("ts3_server.dat")));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
        };
        write(system, "{\"domain\": \"system.example\", \"port\": 2}");
        const auto read = [&] {
            return TsParameters::fromServerFile(QStringLiteral("anna"), program.path(),
                                                system.path());
        };
        QCOMPARE(read().ip(), QStringLiteral("system.example"));
        QCOMPARE(read().port(), 2);
        write(program, "{\"domain\": \"beside.example\"}");
        QCOMPARE(read().ip(), QStringLiteral("beside.example"));
        QCOMPARE(read().port(), TsParameters::DefaultPort);

        // No system-wide folder (Windows), or a relative one: never the working directory's
        // file, which any user who chose that directory may have put there.
#ifdef Q_OS_UNIX
        QCOMPARE(TsParameters::systemServerDirectory(), QStringLiteral("/etc/meeting"));
#else
        QVERIFY(TsParameters::systemServerDirectory().isEmpty());
#endif
        QTemporaryDir empty, working;
        write(working, "{\"domain\": \"planted.example\"}");
        const QString before = QDir::currentPath();
        QVERIFY(QDir::setCurrent(working.path()));
        const auto restore = qScopeGuard([&] { QDir::setCurrent(before); });
        for (const QString& system : {QString(), QStringLiteral(".")}) {
            const TsParameters params =
                TsParameters::fromServerFile(QStringLiteral("anna"), empty.path(), system);
            QCOMPARE(params.ip(), QString::fromLatin1(TsParameters::DefaultHost));
        }
    }

    // Logs and the case history go beside the program while its folder takes them (a build
    // folder), else to the user's own data folder.
    void writableFolders()
    {
        QTemporaryDir program, user;
        QCOMPARE(programDataFolder(QStringLiteral("data/message"), program.path(), user.path()),
                 program.filePath(QStringLiteral("data/message")));
        // A folder that cannot be made there: the program's "folder" is a file.
        QFile blocker(program.filePath(QStringLiteral("installed")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        const QString logs =
            programDataFolder(QStringLiteral("logs"), blocker.fileName(), user.path());
        QCOMPARE(logs, user.filePath(QStringLiteral("logs")));
        QVERIFY(QFileInfo(logs).isDir());
    }
};

QTEST_GUILESS_MAIN(TestTsParameters)
#include "tst_tsparameters.moc"

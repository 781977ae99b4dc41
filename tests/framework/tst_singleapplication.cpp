// SPDX-License-Identifier: MIT
#include "singleapplication.h"

#include <QLocalSocket>
#include <QProcess>
#include <QUuid>
#include <QtTest>

#include <memory>

using RylSystem::SingleApplication;

class TestSingleApplication : public QObject
{
    Q_OBJECT

private:
    static QString uniqueKey()
    {
        return QStringLiteral("Meeting test ") + QUuid::createUuid().toString();
    }

    std::unique_ptr<QProcess> startPeer(const QStringList& args)
    {
        auto peer = std::make_unique<QProcess>();
        peer->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        peer->start(QCoreApplication::applicationDirPath() + QStringLiteral("/singleapp_peer"),
                    args);
        if (!peer->waitForStarted(5000))
            return nullptr;
        return peer;
    }

    static bool waitForLine(QProcess* process, const QString& line, int timeout = 5000)
    {
        QElapsedTimer timer;
        timer.start();
        QByteArray seen;
        while (timer.elapsed() < timeout) {
            while (process->canReadLine()) {
                const QString got = QString::fromUtf8(process->readLine()).trimmed();
                if (got == line)
                    return true;
                seen += got.toUtf8() + '|';
            }
            if (process->state() == QProcess::NotRunning && !process->canReadLine())
                break;
            process->waitForReadyRead(100);
        }
        qWarning() << "expected" << line << "saw" << seen;
        return false;
    }

private slots:
    void secondProcessDetectsAndMessagesTheFirst()
    {
        const QString key = uniqueKey();
        auto primary = startPeer({key});
        QVERIFY(primary);
        QVERIFY(waitForLine(primary.get(), QStringLiteral("primary")));

        SingleApplication observer(key, false);
        QVERIFY(observer.isRunning());
        QVERIFY(!observer.isPrimary());
        QVERIFY(observer.sendMessage(QStringLiteral("hello, wörld"), 3000));
        QVERIFY(waitForLine(primary.get(), QStringLiteral("message hello, wörld")));

        auto secondary = startPeer({key, QStringLiteral("from the second")});
        QVERIFY(secondary);
        QVERIFY(waitForLine(secondary.get(), QStringLiteral("secondary running")));
        QVERIFY(waitForLine(secondary.get(), QStringLiteral("sent yes")));
        QVERIFY(secondary->waitForFinished(5000));
        QCOMPARE(secondary->exitCode(), 0);
        QVERIFY(waitForLine(primary.get(), QStringLiteral("message from the second")));

        QVERIFY(observer.sendMessage(QStringLiteral("quit"), 3000));
        QVERIFY(primary->waitForFinished(5000));
        QCOMPARE(primary->exitStatus(), QProcess::NormalExit);
        QVERIFY(!observer.isRunning());
        QVERIFY(!observer.sendMessage(QStringLiteral("nobody listens"), 500));
    }

    void keyOfACrashedInstanceCanBeClaimedAgain()
    {
        const QString key = uniqueKey();
        auto primary = startPeer({key});
        QVERIFY(primary);
        QVERIFY(waitForLine(primary.get(), QStringLiteral("primary")));
        primary->kill();
        QVERIFY(primary->waitForFinished(5000));

        SingleApplication observer(key, false);
        QVERIFY(!observer.isRunning());

        SingleApplication successor(key, true);
        QVERIFY(successor.isPrimary());
        QSignalSpy received(&successor, &SingleApplication::messageReceived);

        auto sender = startPeer({key, QStringLiteral("after the crash")});
        QVERIFY(sender);
        QTRY_COMPARE_WITH_TIMEOUT(received.count(), 1, 5000);
        QCOMPARE(received.at(0).at(0).toString(), QStringLiteral("after the crash"));
        QVERIFY(sender->state() == QProcess::NotRunning || sender->waitForFinished(5000));
    }

    void distinctKeysDoNotInterfere()
    {
        const QString key = uniqueKey();
        SingleApplication first(key, true);
        QVERIFY(first.isPrimary());
        SingleApplication other(key + QStringLiteral("x"), true);
        QVERIFY(other.isPrimary());
        QVERIFY(SingleApplication::serverName(key) !=
                SingleApplication::serverName(key + QStringLiteral("x")));
    }

    void oversizedMessageIsRefused()
    {
        const QString key = uniqueKey();
        auto primary = startPeer({key});
        QVERIFY(primary);
        QVERIFY(waitForLine(primary.get(), QStringLiteral("primary")));
        SingleApplication observer(key, false);
        QVERIFY(!observer.sendMessage(QString(70 * 1024, QLatin1Char('x')), 1000));

        // A raw client announcing a huge message is cut off instead of being buffered.
        QLocalSocket raw;
        raw.connectToServer(SingleApplication::serverName(key));
        QVERIFY(raw.waitForConnected(3000));
        raw.write(QByteArray::fromHex("7fffffff") + QByteArray(1024, 'y'));
        QVERIFY(raw.waitForBytesWritten(3000));
        QVERIFY(raw.state() == QLocalSocket::UnconnectedState || raw.waitForDisconnected(3000));

        // The instance is unharmed and still answers.
        QVERIFY(observer.sendMessage(QStringLiteral("quit"), 3000));
        QVERIFY(primary->waitForFinished(5000));
    }
};

QTEST_GUILESS_MAIN(TestSingleApplication)
#include "tst_singleapplication.moc"

// SPDX-License-Identifier: MIT
#include "application.h"
#include "mainwindow.h"
#include "queuedspy.h"
#include "tsclient/tssdkclient.h"
#include "tsclient/tssdkinterface.h"
#include "voicecliprocess.h"
#include "voiceserverprocess.h"
#include "widgethelpers.h"

#include <QDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>

// Needs the real application object, so it brings its own main.
class TestApplication : public QObject
{
    Q_OBJECT

    static MeetingSupport::MainWindow* mainWindow()
    {
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* window = qobject_cast<MeetingSupport::MainWindow*>(widget))
                return window;
        return nullptr;
    }

    // Closes every message box that comes up, remembering title and text.
    std::unique_ptr<MessageBoxAnswerer> m_boxes;
    VoiceServerProcess m_server;
    quint16 m_deadPort = 0;

    static void writeServerFile(quint16 port)
    {
        QFile file(QCoreApplication::applicationDirPath() + QStringLiteral("/ts3_server.dat"));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QStringLiteral("{\"domain\": \"127.0.0.1\", \"port\": %1}").arg(port).toUtf8());
    }

    static void onLoginDialog(const std::function<void(QDialog*)>& action)
    {
        onNextDialog(action, QStringLiteral("LoginDialog"));
    }

    static void loginAs(const QString& name)
    {
        auto* app = qobject_cast<MeetingSupport::Application*>(qApp);
        onLoginDialog([name](QDialog* dialog) {
            dialog->findChild<QLineEdit*>(QStringLiteral("lineEditUsername"))->setText(name);
            dialog->findChild<QPushButton*>(QStringLiteral("pushButtonLogin"))->click();
        });
        QVERIFY(app->login());
    }

    static bool waitForStatus(QueuedSpy& spy, int status, int timeout)
    {
        return spy.waitFor([status](const QList<QVariant>& args) { return args.at(0) == status; },
                           timeout);
    }

private slots:
    void initTestCase()
    {
        m_boxes = std::make_unique<MessageBoxAnswerer>();
        // Until a test says otherwise, logins connect to a port where nothing listens.
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        m_deadPort = probe.serverPort();
        writeServerFile(m_deadPort);
    }

    void cleanupTestCase()
    {
        QFile::remove(QCoreApplication::applicationDirPath() + QStringLiteral("/ts3_server.dat"));
    }

    void startUpSettings()
    {
        QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("Meeting"));
        QCOMPARE(QCoreApplication::organizationName(), QStringLiteral("RYL System 7"));
        QCOMPARE(QSettings::defaultFormat(), QSettings::IniFormat);
        QVERIFY(!qApp->styleSheet().isEmpty());
        QVERIFY(!RylSystem::RylCoreApplication::instance()->buildNumber().isEmpty());
    }

    void cancelledLoginShowsNoWindow()
    {
        auto* app = qobject_cast<MeetingSupport::Application*>(qApp);
        onLoginDialog([](QDialog* dialog) { dialog->reject(); });
        QVERIFY(!app->login());
        QVERIFY(!mainWindow());
        QVERIFY(!QSettings().contains(QStringLiteral("login/username")));
    }

    void acceptedLoginShowsTheMainWindowAndRemembersTheName()
    {
        auto* app = qobject_cast<MeetingSupport::Application*>(qApp);
        onLoginDialog([](QDialog* dialog) {
            dialog->findChild<QLineEdit*>(QStringLiteral("lineEditUsername"))
                ->setText(QStringLiteral("linus"));
            dialog->findChild<QPushButton*>(QStringLiteral("pushButtonLogin"))->click();
        });
        QVERIFY(app->login());
        MeetingSupport::MainWindow* window = mainWindow();
        QVERIFY(window);
        QVERIFY(window->isVisible());
        QCOMPARE(window->windowTitle(), QStringLiteral("Meeting"));
        QVERIFY(!window->windowIcon().isNull());
        QCOMPARE(QSettings().value(QStringLiteral("login/username")).toString(),
                 QStringLiteral("linus"));

        // A second login reuses the window.
        onLoginDialog([](QDialog* dialog) {
            dialog->findChild<QPushButton*>(QStringLiteral("pushButtonLogin"))->click();
        });
        QVERIFY(app->login());
        QCOMPARE(mainWindow(), window);
    }

    void unreachableServerIsFatal()
    {
        QueuedSpy status(TsSDKClient::instance(), &TsSDKClient::onConnectStatusChanged);
        // The earlier logins' attempts end first.
        QTest::qWait(500);
        m_boxes->seen.clear();
        status.clear();
        loginAs(QStringLiteral("linus"));
        QVERIFY(waitForStatus(status, 0, 10000));
        QTRY_COMPARE(m_boxes->seen, QStringList{QStringLiteral(
                                        "Fatal Error: Failed to log in to TeamSpeak3 server")});
        QCOMPARE(TsSDKClient::instance()->role(), 3);
        // No retry follows a connection that never came up.
        QTest::qWait(300);
        QCOMPARE(status.count(), 2); // connecting, then disconnected
    }

    void portOutOfRangeIsFatalToo()
    {
        QFile file(QCoreApplication::applicationDirPath() + QStringLiteral("/ts3_server.dat"));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("{\"domain\": \"127.0.0.1\", \"port\": 70000}");
        file.close();
        QueuedSpy status(TsSDKClient::instance(), &TsSDKClient::onConnectStatusChanged);
        m_boxes->seen.clear();
        loginAs(QStringLiteral("linus"));
        QVERIFY(waitForStatus(status, 0, 10000));
        QTRY_COMPARE(m_boxes->seen, QStringList{QStringLiteral(
                                        "Fatal Error: Failed to log in to TeamSpeak3 server")});
        writeServerFile(m_deadPort);
    }

    void lostConnectionIsRetriedUntilTheServerIsBack()
    {
        QVERIFY2(m_server.start(), qPrintable(m_server.log()));
        writeServerFile(m_server.port());
        m_boxes->seen.clear();
        TsSDKClient* client = TsSDKClient::instance();
        QueuedSpy status(client, &TsSDKClient::onConnectStatusChanged);
        loginAs(QStringLiteral("linus"));
        QVERIFY(waitForStatus(status, 4, 10000));
        QCOMPARE(client->nickname(), QStringLiteral("linus"));
        QCOMPARE(client->role(), 3);
        // Connected means muted in the lobby.
        QTRY_VERIFY(client->sdk()->getClientSelfVariableAsInt(CLIENT_INPUT_MUTED));
        QTRY_VERIFY(client->sdk()->getClientSelfVariableAsInt(CLIENT_OUTPUT_MUTED));

        VoiceCliProcess watcher;
        QVERIFY(watcher.start());
        QVERIFY(watcher.connectTo(m_server.port(), QStringLiteral("watcher")));

        status.clear();
        QVERIFY(m_server.stop());
        QVERIFY(waitForStatus(status, 0, 10000));
        QTest::qWait(1000);
        QVERIFY(m_server.start());
        // The retry runs 5 s after the loss, without anyone doing anything.
        QVERIFY(waitForStatus(status, 4, 15000));
        QVERIFY(m_boxes->seen.isEmpty());
        QVERIFY(client->isConnected());
        QCOMPARE(client->clientList().value(client->ownClientID()), QStringLiteral("linus"));
    }

    void nameAlreadyOnlineQuitsWithZero()
    {
        TsSDKClient* client = TsSDKClient::instance();
        QueuedSpy status(client, &TsSDKClient::onConnectStatusChanged);
        client->disconnectFromServer();
        QVERIFY(waitForStatus(status, 0, 10000));

        VoiceCliProcess grace;
        QVERIFY(grace.start());
        QVERIFY(grace.connectTo(m_server.port(), QStringLiteral("grace")));

        status.clear();
        loginAs(QStringLiteral("grace"));
        QTimer watchdog;
        watchdog.setSingleShot(true);
        connect(&watchdog, &QTimer::timeout, qApp, [] { QCoreApplication::exit(42); });
        // Generous: other tests may be loading the machine with large file transfers.
        watchdog.start(45000);
        QCOMPARE(QCoreApplication::exec(), 0);
        QVERIFY(waitForStatus(status, 4, 5000));
        // The server gave us another name; grace is still the other user.
        QVERIFY(client->clientList().value(client->ownClientID()) != QStringLiteral("grace"));
    }
};

int main(int argc, char** argv)
{
    QTemporaryDir settingsDir;
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir.path());
    MeetingSupport::Application app(argc, argv);
    TestApplication test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_application.moc"

// SPDX-License-Identifier: MIT
#include "application.h"
#include "mainwindow.h"

#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>

// Needs the real application object, so it brings its own main.
class TestApplication : public QObject
{
    Q_OBJECT

    // Runs action on the login dialog once it is up.
    static void onLoginDialog(const std::function<void(QDialog*)>& action)
    {
        auto* poll = new QTimer(qApp);
        poll->setInterval(20);
        QObject::connect(poll, &QTimer::timeout, qApp, [poll, action] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (!dialog || dialog->objectName() != QLatin1String("LoginDialog"))
                return;
            poll->deleteLater();
            poll->stop();
            action(dialog);
        });
        poll->start();
    }

    static MeetingSupport::MainWindow* mainWindow()
    {
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* window = qobject_cast<MeetingSupport::MainWindow*>(widget))
                return window;
        return nullptr;
    }

private slots:
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
            dialog->findChild<QLineEdit*>(QStringLiteral("lineEditUsername"))->setText(QStringLiteral("linus"));
            dialog->findChild<QPushButton*>(QStringLiteral("pushButtonLogin"))->click();
        });
        QVERIFY(app->login());
        MeetingSupport::MainWindow* window = mainWindow();
        QVERIFY(window);
        QVERIFY(window->isVisible());
        QCOMPARE(window->windowTitle(), QStringLiteral("Meeting"));
        QVERIFY(!window->windowIcon().isNull());
        QCOMPARE(QSettings().value(QStringLiteral("login/username")).toString(), QStringLiteral("linus"));

        // A second login reuses the window.
        onLoginDialog([](QDialog* dialog) { dialog->findChild<QPushButton*>(QStringLiteral("pushButtonLogin"))->click(); });
        QVERIFY(app->login());
        QCOMPARE(mainWindow(), window);
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

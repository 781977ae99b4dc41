// SPDX-License-Identifier: MIT
#include "application.h"

#include "application_p.h"
#include "errors.h"
#include "logindialog.h"
#include "mainwindow.h"
#include "stylesheet.h"
#include "tsclient/tsparameters.h"
#include "tsclient/tssdkclient.h"
#include "tsclient/tssdkinterface.h"

#include <QDebug>
#include <QMessageBox>
#include <QSettings>

namespace MeetingSupport {

ApplicationPrivate::ApplicationPrivate(Application* q) : QTimer(nullptr), q(q) {}

ApplicationPrivate::~ApplicationPrivate() = default;

void ApplicationPrivate::init()
{
    applyStyleSheetResource(QStringLiteral(":/qml/casetable.css"),
                            [](const QString& css) { qApp->setStyleSheet(css); });

    QSettings::setDefaultFormat(QSettings::IniFormat);
    QCoreApplication::setApplicationName(QStringLiteral("Meeting"));
    QCoreApplication::setOrganizationName(QStringLiteral("RYL System 7"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("rylsystem7.example"));
    QCoreApplication::setApplicationVersion(QStringLiteral(MEETING_VERSION));

    setInterval(5000);
    setSingleShot(true);

    TsSDKClient* client = TsSDKClient::instance();
    connect(client, &TsSDKClient::onConnectStatusChanged, this,
            &ApplicationPrivate::teamSpeakConnected);
    connect(client, &TsSDKClient::onServerErrorEvent, q, &Application::serverError);
    connect(client, &TsSDKClient::onUserLoggingMessageEvent, q, &Application::userLoggingMessage);
    connect(this, &QTimer::timeout, this, &ApplicationPrivate::connectTeamSpeak);
}

void ApplicationPrivate::connectTeamSpeak()
{
    if (userName.isEmpty())
        return;
    // Read at every attempt, so a reconnection picks up a changed file.
    const TsParameters params =
        TsParameters::fromServerFile(userName, QCoreApplication::applicationDirPath());
    TsSDKClient* client = TsSDKClient::instance();
    client->connectToServer(params);
    client->setRole(3);
}

void ApplicationPrivate::teamSpeakConnected(int newStatus, const QString& msg)
{
    Q_UNUSED(msg)
    try {
        TsSDKClient* client = TsSDKClient::instance();
        switch (newStatus) {
        case STATUS_DISCONNECTED:
            if (client->ownClientID() != 0) {
                start();
            } else {
                QMessageBox::critical(mainWindow, tr("Fatal Error"),
                                      tr("Failed to log in to TeamSpeak3 server"), QMessageBox::Ok);
            }
            break;
        case STATUS_CONNECTED:
            client->requestSubscribeAll();
            if (mainWindow) {
                MainWindow::setMuted(true);
                mainWindow->refreshLists();
            }
            break;
        case STATUS_CONNECTION_ESTABLISHED: {
            // A name already online is given to us with a number appended, so it is the own
            // entry that must carry the name typed at login.
            if (client->clientList().value(client->ownClientID()) != userName) {
                // The program ends here; the user learns why before it does.
                QMessageBox::warning(
                    mainWindow, tr("Login"),
                    tr("Someone is already online as \"%1\". Meeting closes now; start it again "
                       "and log in with another name.")
                        .arg(userName));
                RYL_THROW(RylSystem::FatalError(
                    tr("\"%1\" is login, can't repeat login!").arg(userName)));
            }
            if (mainWindow)
                mainWindow->refreshLists();
            break;
        }
        default:
            break;
        }
    } catch (const std::exception& error) {
        qDebug().noquote() << "Leaving:" << QString::fromUtf8(error.what());
        QCoreApplication::exit(0);
    } catch (...) {
        QCoreApplication::exit(0);
    }
}

Application::Application(int& argc, char** argv)
    : RylSystem::RylCoreApplication(argc, argv), d(new ApplicationPrivate(this))
{
    d->init();
}

Application::~Application()
{
    TsSDKClient* client = TsSDKClient::instance();
    client->disconnect(this);
    client->disconnect(d);
    // With no own ID the status 0 that follows does not schedule a reconnection.
    client->setOwnClientID(0);
    client->sdk()->disconnectFromServer();
    delete d->mainWindow;
    delete d;
}

void Application::serverError(const QString& errorMsg, const QString& extraMsg)
{
    Q_UNUSED(errorMsg)
    Q_UNUSED(extraMsg)
}

void Application::userLoggingMessage(int logLevel, const QString& logMsg, const QString& logTime,
                                     const QString& completeLogString)
{
    Q_UNUSED(logLevel)
    Q_UNUSED(logMsg)
    Q_UNUSED(logTime)
    Q_UNUSED(completeLogString)
}

bool Application::login()
{
    LoginDialog dialog;
    if (dialog.exec() != QDialog::Accepted)
        return false;
    d->userName = dialog.userName();
    d->connectTeamSpeak();
    if (!d->mainWindow)
        d->mainWindow = new MainWindow();
    d->mainWindow->show();
    return true;
}

} // namespace MeetingSupport

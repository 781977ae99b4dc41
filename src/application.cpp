// SPDX-License-Identifier: MIT
#include "application.h"

#include "application_p.h"
#include "logindialog.h"
#include "mainwindow.h"
#include "stylesheet.h"

#include <QSettings>

namespace MeetingSupport {

ApplicationPrivate::ApplicationPrivate(Application* q)
    : QTimer(nullptr)
    , q(q)
{
}

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
    connect(this, &QTimer::timeout, this, &ApplicationPrivate::connectTeamSpeak);
}

void ApplicationPrivate::connectTeamSpeak()
{
    if (userName.isEmpty())
        return;
    // The voice connection is started here once the voice client layer exists.
}

void ApplicationPrivate::teamSpeakConnected(int newStatus, const QString& msg)
{
    Q_UNUSED(newStatus)
    Q_UNUSED(msg)
}

Application::Application(int& argc, char** argv)
    : RylSystem::RylCoreApplication(argc, argv)
    , d(new ApplicationPrivate(this))
{
    d->init();
}

Application::~Application()
{
    delete d->mainWindow;
    delete d;
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

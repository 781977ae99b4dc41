// SPDX-License-Identifier: MIT
#pragma once

#include <QCoreApplication>
#include <QString>
#include <QTimer>

namespace MeetingSupport {

class Application;
class MainWindow;

// The application's state; itself the reconnect timer.
class ApplicationPrivate : public QTimer
{
    Q_DECLARE_TR_FUNCTIONS(MeetingSupport::Application)

public:
    explicit ApplicationPrivate(Application* q);
    ~ApplicationPrivate() override;

    void init();

    // Starts the connection with userName; also the timer's retry.
    void connectTeamSpeak();
    void teamSpeakConnected(int newStatus, const QString& msg);

    QString userName;
    MainWindow* mainWindow = nullptr;
    Application* q;
};

} // namespace MeetingSupport

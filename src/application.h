// SPDX-License-Identifier: MIT
#pragma once

#include "rylcoreapplication.h"

namespace MeetingSupport {

class ApplicationPrivate;

// Owns the start of the program: login, the voice-server connection and its supervision, and
// the main window.
class Application : public RylSystem::RylCoreApplication
{
    Q_OBJECT
public:
    Application(int& argc, char** argv);
    ~Application() override;

    // Runs the login dialog; true when the user logged in and the main window is shown.
    virtual bool login();

private:
    // The voice client's server errors and log lines need no action here.
    void serverError(const QString& errorMsg, const QString& extraMsg);
    void userLoggingMessage(int logLevel, const QString& logMsg, const QString& logTime,
                            const QString& completeLogString);

    ApplicationPrivate* d;
    friend class ApplicationPrivate;
};

} // namespace MeetingSupport

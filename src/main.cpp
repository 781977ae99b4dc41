// SPDX-License-Identifier: MIT
#include "application.h"
#include "exceptionreport.h"
#include "launchupdater.h"

#include <QLocale>
#include <QSettings>

#include <memory>

int main(int argc, char** argv)
{
    std::unique_ptr<MeetingSupport::Application> app;
    try {
        app = std::make_unique<MeetingSupport::Application>(argc, argv);
        if (!app->login())
            return -1;
        const QString language =
            QSettings().value(QStringLiteral("language"), QLocale::system().name()).toString();
        MeetingSupport::launchUpdater(app->buildNumber(), language, false);
        return app->exec();
    } catch (...) {
        // Start-up failures end here; those of event handlers are reported by the application.
        RylSystem::reportException(std::current_exception());
        return RylSystem::ExceptionExitCode;
    }
}

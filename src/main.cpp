// SPDX-License-Identifier: MIT
#include "application.h"
#include "exceptionreport.h"
#include "launchupdater.h"

#include <QLocale>
#include <QSettings>

#include <cstdio>
#include <cstring>
#include <memory>

int main(int argc, char** argv)
{
    // Answered before anything starts: no display, no login, no second instance is asked for.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("Meeting %s\n", MEETING_PACKAGE_VERSION);
            return 0;
        }
    }
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

// SPDX-License-Identifier: MIT
// RylUpdater: checks the update feed for the program that started it. While it runs it holds the
// single-instance key "RYL Auto Updater" + product, so the program can cancel it with "cancel".
#include "singleapplication.h"
#include "updatecheck.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTextStream>

#include <cstdio>

namespace {

QUrl feedUrl(const UpdaterArguments& args)
{
    const QString configured = qEnvironmentVariable("RYL_UPDATE_FEED");
    if (!configured.isEmpty()) {
        const QUrl url(configured);
        return url.scheme().isEmpty() || QFileInfo(configured).isAbsolute()
                   ? QUrl::fromLocalFile(configured)
                   : url;
    }
    return QUrl::fromLocalFile(
        QFileInfo(args.program).absoluteDir().filePath(QStringLiteral("update.json")));
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);

    UpdaterArguments args;
    QString error;
    if (!UpdaterArguments::parse(app.arguments(), &args, &error)) {
        std::fprintf(stderr, "RylUpdater: %s\n", qPrintable(error));
        return 2;
    }

    RylSystem::SingleApplication instance(QStringLiteral("RYL Auto Updater") + args.product, true);
    if (!instance.isPrimary()) {
        out << "another update check is already running" << Qt::endl;
        return 0;
    }
    QObject::connect(&instance, &RylSystem::SingleApplication::messageReceived, &app,
                     [&](const QString& message) {
                         if (message == QLatin1String("cancel")) {
                             out << "cancelled" << Qt::endl;
                             app.exit(0);
                         }
                     });

    UpdateCheck check(args, feedUrl(args));
    QObject::connect(&check, &UpdateCheck::finished, &app, [&](UpdateCheck::Outcome outcome) {
        out << check.summary() << Qt::endl;
        app.exit(outcome == UpdateCheck::UpToDate || outcome == UpdateCheck::UpdateAvailable ? 0
                                                                                             : 3);
    });
    bool timeoutSet = false;
    const int timeout = qEnvironmentVariableIntValue("RYL_UPDATE_TIMEOUT_MS", &timeoutSet);
    check.start(timeoutSet && timeout > 0 ? timeout : 30000);
    return app.exec();
}

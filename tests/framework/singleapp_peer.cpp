// SPDX-License-Identifier: MIT
// A second process for the single-instance tests: claims the key given as argument, says whether
// it got it, prints every message it receives and quits on "quit". A secondary sends its second
// argument, if any, to the primary and exits.
#include "singleapplication.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2)
        return 2;
    QTextStream out(stdout);
    RylSystem::SingleApplication instance(args.at(1), true);
    if (!instance.isPrimary()) {
        out << "secondary " << (instance.isRunning() ? "running" : "not-running") << Qt::endl;
        if (args.size() > 2)
            out << "sent " << (instance.sendMessage(args.at(2), 3000) ? "yes" : "no") << Qt::endl;
        return 0;
    }
    out << "primary" << Qt::endl;
    QObject::connect(&instance, &RylSystem::SingleApplication::messageReceived, &app,
                     [&](const QString& message) {
                         out << "message " << message << Qt::endl;
                         if (message == QLatin1String("quit"))
                             app.quit();
                     });
    return app.exec();
}

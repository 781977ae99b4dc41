// SPDX-License-Identifier: MIT
#include "commandline.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments().mid(1);
    if (arguments.contains(QLatin1String("--help")) || arguments.contains(QLatin1String("-h"))) {
        std::fputs(CommandLine::usage().toUtf8().constData(), stdout);
        return 0;
    }
    if (!arguments.isEmpty()) {
        std::fprintf(stderr, "voice-cli: unknown argument %s (see --help)\n",
                     arguments.first().toLocal8Bit().constData());
        return 2;
    }
    CommandLine commandLine;
    if (!commandLine.start())
        return 1;
    return app.exec();
}

// SPDX-License-Identifier: MIT
#include "commandline.h"

#include <QCoreApplication>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    CommandLine commandLine;
    if (!commandLine.start())
        return 1;
    return app.exec();
}

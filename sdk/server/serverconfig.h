// SPDX-License-Identifier: MIT
#pragma once

#include "server.h"

#include <QStringList>

namespace voiceserver {

// The options of one start: the server's, and what the command line asks beyond them.
struct StartOptions
{
    ServerOptions server;
    QString configFile; // empty: none
    bool checkOnly = false;
};

// Reads the command line and, with --config, the INI file it names: its keys are the long
// option names, and an option given on the command line wins over the file. False with one
// line naming the option (and for the file, the file, line and key) when anything is wrong;
// nothing falls back to a default silently. --help prints and exits.
bool loadStartOptions(const QStringList& arguments, StartOptions* options, QString* error);

} // namespace voiceserver

// SPDX-License-Identifier: MIT
#pragma once

#include "server.h"

#include <QStringList>

namespace voiceserver {

// Exit statuses systemd can act on: a configuration that cannot work is not retried
// (RestartPreventExitStatus), a failure that may pass (a port still taken, a name server that
// does not answer yet) is.
constexpr int ExitMayPass = 1;
constexpr int ExitBadConfig = 2;

// The options of one start: the server's, and what the command line asks beyond them.
struct StartOptions
{
    ServerOptions server;
    QString configFile; // empty: none
    bool checkOnly = false;
    QString listenName; // "listen" as a host name, resolved into server.address at the start
};

// Reads the command line and, with --config, the INI file it names: its keys are the long
// option names, and an option given on the command line wins over the file. False with one
// line naming the option (and for the file, the file, line and key) when anything is wrong;
// nothing falls back to a default silently. --help prints and exits.
bool loadStartOptions(const QStringList& arguments, StartOptions* options, QString* error);

// Everything a start needs beyond reading the options, short of binding: the listen name
// resolved, the data directory made (or, for a check, found possible to make) and writable, the
// admin port apart from the voice port; for a check also the certificate and key read and
// matched. Warns of the default password on an address others reach. 0, or the exit status
// with *error.
int prepareStart(StartOptions* start, QString* error);

} // namespace voiceserver

// SPDX-License-Identifier: MIT
#pragma once

#include <QStringList>

namespace MeetingSupport {

// The updater's product word: the application name's first blank-separated part, or the second
// when the first is "ryl".
QString updaterProductWord(const QString& applicationName);

// The application version as a whole number of tenths ("1.2" gives "12"); "0" when it is not a
// number.
QString updaterVersionNumber(const QString& applicationVersion);

// The updater's command line: own program, product word, version, build, ["checkupdates"],
// language.
QStringList updaterArguments(const QString& buildNumber, const QString& language, bool withCheck);

// Starts "RylUpdater" beside the program, detached; true when the process started.
bool launchUpdater(const QString& buildNumber, const QString& language, bool withCheck);

} // namespace MeetingSupport

// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

namespace voiceserver {

// syslog's levels, which the journal reads from a "<N>" prefix.
enum class LogLevel { Error = 3, Warning = 4, Notice = 5, Info = 6 };

// One line on standard error: stamped with the local time and its offset from UTC, or under
// systemd with the level prefix the journal understands (it stamps lines itself). Any thread
// may log.
void logLine(const QString& line);
void logLine(LogLevel level, const QString& line);
// Why the server cannot start, as one plain line (with the level prefix under systemd).
void logFailure(const QString& line);
// The same for lines a peer can cause at will: at most a few a second of each kind; how many
// were left out is told with the next one that passes.
void logLimited(const char* kind, const QString& line, LogLevel level = LogLevel::Info);

} // namespace voiceserver

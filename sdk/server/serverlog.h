// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

namespace voiceserver {

// One line on standard error, stamped with the local time.
void logLine(const QString& line);
// The same for lines a peer can cause at will: at most a few a second of each kind; how many
// were left out is told with the next one that passes.
void logLimited(const char* kind, const QString& line);

} // namespace voiceserver

// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

namespace voiceserver {

// One line on standard error, stamped with the local time.
void logLine(const QString& line);

} // namespace voiceserver

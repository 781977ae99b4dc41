// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

// A folder the client writes that lives beside the program ("logs", "data/message"): there when
// the program's folder takes it, as in a build folder; in the user's own data folder when it
// does not, as for an installed program. The folder is made; empty when neither place takes it.
QString programDataFolder(const QString& relative);
QString programDataFolder(const QString& relative, const QString& programDirectory,
                          const QString& userDirectory);

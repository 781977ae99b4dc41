// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

// Reading the sound settings, which a user may have edited by hand: a value that is not what
// its key holds gives the fallback, a number outside the widget's range is clamped to it. Both
// are logged. A missing key gives the fallback silently.
namespace MeetingSupport::OptionSettings {

bool readBool(const QString& key, bool fallback);
double readNumber(const QString& key, double fallback, double min, double max);
QString readString(const QString& key, const QString& fallback);

} // namespace MeetingSupport::OptionSettings

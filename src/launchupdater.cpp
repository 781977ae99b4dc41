// SPDX-License-Identifier: MIT
#include "launchupdater.h"

#include <QCoreApplication>
#include <QLocale>
#include <QProcess>

#include <cmath>

namespace MeetingSupport {

QString updaterProductWord(const QString& applicationName)
{
    const QStringList parts = applicationName.split(QLatin1Char(' '), Qt::KeepEmptyParts);
    if (parts.first().compare(QLatin1String("ryl"), Qt::CaseInsensitive) == 0)
        return parts.value(1);
    return parts.first();
}

QString updaterVersionNumber(const QString& applicationVersion)
{
    bool ok = false;
    const double version = QLocale::c().toDouble(applicationVersion, &ok);
    if (!ok || !std::isfinite(version))
        return QStringLiteral("0");
    // Rounded to micro-units before truncating, so 2.3 (22.999... in binary) gives 23.
    const double tenths = std::round(version * 10.0 * 1e6) / 1e6;
    if (std::fabs(tenths) >= 9.2e18)
        return QStringLiteral("0");
    return QString::number(qint64(std::trunc(tenths)));
}

QStringList updaterArguments(const QString& buildNumber, const QString& language, bool withCheck)
{
    QStringList args{QCoreApplication::applicationFilePath(),
                     updaterProductWord(QCoreApplication::applicationName()),
                     updaterVersionNumber(QCoreApplication::applicationVersion()), buildNumber};
    if (withCheck)
        args << QStringLiteral("checkupdates");
    args << language;
    return args;
}

bool launchUpdater(const QString& buildNumber, const QString& language, bool withCheck)
{
    const QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/RylUpdater");
    return QProcess::startDetached(program, updaterArguments(buildNumber, language, withCheck));
}

} // namespace MeetingSupport

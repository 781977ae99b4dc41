// SPDX-License-Identifier: MIT
#include "optionsettings.h"

#include <QDebug>
#include <QSettings>
#include <QVariant>

#include <cmath>

namespace MeetingSupport::OptionSettings {

bool readBool(const QString& key, bool fallback)
{
    const QVariant value = QSettings().value(key);
    if (!value.isValid())
        return fallback;
    if (value.type() == QVariant::Bool)
        return value.toBool();
    const QString text = value.toString().trimmed().toLower();
    if (text == QLatin1String("true") || text == QLatin1String("1"))
        return true;
    if (text == QLatin1String("false") || text == QLatin1String("0"))
        return false;
    qDebug().noquote() << "Settings:" << key << "is not a yes or no:" << value.toString();
    return fallback;
}

double readNumber(const QString& key, double fallback, double min, double max)
{
    const QVariant value = QSettings().value(key);
    if (!value.isValid())
        return fallback;
    bool ok = false;
    const double number = value.toDouble(&ok);
    if (!ok || !std::isfinite(number)) {
        qDebug().noquote() << "Settings:" << key << "is not a number:" << value.toString();
        return fallback;
    }
    if (number < min || number > max) {
        const double clamped = qBound(min, number, max);
        qDebug().noquote() << "Settings:" << key << number << "is out of range, using" << clamped;
        return clamped;
    }
    return number;
}

QString readString(const QString& key, const QString& fallback)
{
    return QSettings().value(key, fallback).toString();
}

} // namespace MeetingSupport::OptionSettings

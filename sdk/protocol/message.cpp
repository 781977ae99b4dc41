// SPDX-License-Identifier: MIT
#include "message.h"

#include <QCborArray>
#include <QCborValue>

namespace voicesdk::protocol {

void MessageReader::fail(QLatin1String key, const char* what)
{
    if (m_error.isEmpty())
        m_error = QStringLiteral("field '%1' %2").arg(key).arg(QLatin1String(what));
}

qint64 MessageReader::readInteger(QLatin1String key, qint64 min, qint64 max)
{
    const QCborValue value = m_message.value(key);
    if (!value.isInteger()) {
        fail(key, "is not an integer");
        return min;
    }
    const qint64 number = value.toInteger();
    if (number < min || number > max) {
        fail(key, "is out of range");
        return min;
    }
    return number;
}

QString MessageReader::readString(QLatin1String key, int maxLength)
{
    const QCborValue value = m_message.value(key);
    if (!value.isString()) {
        fail(key, "is not a string");
        return {};
    }
    QString text = value.toString();
    if (text.size() > maxLength) {
        fail(key, "is too long");
        return {};
    }
    return text;
}

qint64 MessageReader::integer(QLatin1String key, qint64 min, qint64 max)
{
    return ok() ? readInteger(key, min, max) : min;
}

qint64 MessageReader::optionalInteger(QLatin1String key, qint64 min, qint64 max, qint64 fallback)
{
    if (!ok() || !m_message.contains(key))
        return fallback;
    return readInteger(key, min, max);
}

QString MessageReader::string(QLatin1String key, int maxLength)
{
    return ok() ? readString(key, maxLength) : QString();
}

QString MessageReader::optionalString(QLatin1String key, int maxLength)
{
    if (!ok() || !m_message.contains(key))
        return {};
    return readString(key, maxLength);
}

bool MessageReader::boolean(QLatin1String key)
{
    if (!ok())
        return false;
    const QCborValue value = m_message.value(key);
    if (!value.isBool()) {
        fail(key, "is not a boolean");
        return false;
    }
    return value.toBool();
}

bool MessageReader::optionalBoolean(QLatin1String key, bool fallback)
{
    if (!ok() || !m_message.contains(key))
        return fallback;
    return boolean(key);
}

QStringList MessageReader::optionalStringList(QLatin1String key, int maxItems, int maxLength)
{
    if (!ok() || !m_message.contains(key))
        return {};
    const QCborValue value = m_message.value(key);
    if (!value.isArray()) {
        fail(key, "is not an array");
        return {};
    }
    const QCborArray array = value.toArray();
    if (array.size() > maxItems) {
        fail(key, "has too many items");
        return {};
    }
    QStringList items;
    for (const QCborValue& item : array) {
        if (!item.isString() || item.toString().size() > maxLength) {
            fail(key, "holds an item that is not a short string");
            return {};
        }
        items.append(item.toString());
    }
    return items;
}

QByteArray MessageReader::bytes(QLatin1String key, int minSize, int maxSize)
{
    if (!ok())
        return {};
    const QCborValue value = m_message.value(key);
    if (!value.isByteArray()) {
        fail(key, "is not a byte string");
        return {};
    }
    QByteArray data = value.toByteArray();
    if (data.size() < minSize || data.size() > maxSize) {
        fail(key, "has the wrong size");
        return {};
    }
    return data;
}

} // namespace voicesdk::protocol

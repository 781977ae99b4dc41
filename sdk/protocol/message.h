// SPDX-License-Identifier: MIT
#pragma once

#include <QCborMap>
#include <QString>
#include <QStringList>

namespace voicesdk::protocol {

// Reads typed fields from a received message. The first missing or ill-typed field is recorded
// and every later read returns a neutral value, so a handler reads all fields and checks ok()
// once. Optional fields yield their default when absent but must have the right type if present.
class MessageReader
{
public:
    explicit MessageReader(const QCborMap& message) : m_message(message) {}

    qint64 integer(QLatin1String key, qint64 min, qint64 max);
    qint64 optionalInteger(QLatin1String key, qint64 min, qint64 max, qint64 fallback = 0);
    // maxLength is in UTF-16 code units; longer strings are an error.
    QString string(QLatin1String key, int maxLength);
    QString optionalString(QLatin1String key, int maxLength);
    bool boolean(QLatin1String key);
    bool optionalBoolean(QLatin1String key, bool fallback = false);
    QStringList optionalStringList(QLatin1String key, int maxItems, int maxLength);
    // A byte string of minSize to maxSize bytes.
    QByteArray bytes(QLatin1String key, int minSize, int maxSize);

    bool ok() const { return m_error.isEmpty(); }
    QString errorString() const { return m_error; }

private:
    void fail(QLatin1String key, const char* what);
    qint64 readInteger(QLatin1String key, qint64 min, qint64 max);
    QString readString(QLatin1String key, int maxLength);

    const QCborMap& m_message;
    QString m_error;
};

} // namespace voicesdk::protocol

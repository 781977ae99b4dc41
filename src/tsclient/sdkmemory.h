// SPDX-License-Identifier: MIT
#pragma once

#include "voicesdk.h"

#include <QByteArray>
#include <QString>

#include <memory>

// Strings on their way into and out of the voice SDK.

// A string argument for the SDK: null for an empty string, else a UTF-8 copy that lives as long
// as this handle.
class SdkString
{
public:
    explicit SdkString(const QString& text) : m_bytes(text.toUtf8()), m_null(text.isEmpty()) {}
    const char* get() const { return m_null ? nullptr : m_bytes.constData(); }
    operator const char*() const { return get(); }

private:
    QByteArray m_bytes;
    bool m_null;
};

inline SdkString toSdkString(const QString& text)
{
    return SdkString(text);
}

// Takes over a string the SDK handed out: its text, with the SDK's memory released. Null gives
// an empty string.
inline QString takeSdkString(char* raw)
{
    if (!raw)
        return QString();
    const QString value = QString::fromUtf8(raw);
    ts3client_freeMemory(raw);
    return value;
}

// Releases any other SDK allocation (arrays of IDs, of strings) when it goes out of scope.
struct SdkFree
{
    void operator()(void* pointer) const
    {
        if (pointer)
            ts3client_freeMemory(pointer);
    }
};
template <typename T> using SdkPtr = std::unique_ptr<T, SdkFree>;

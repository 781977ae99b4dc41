// SPDX-License-Identifier: MIT
// Contributors: read CONTRIBUTING.md at the top of the tree first.
#pragma once

#include <QByteArray>
#include <QList>

#include <cstdlib>
#include <cstring>

// Everything the library hands out goes through malloc, so ts3client_freeMemory is free().
namespace voicesdk {

inline char* dupString(const QByteArray& bytes)
{
    auto* out = static_cast<char*>(std::malloc(size_t(bytes.size()) + 1));
    if (!out)
        return nullptr;
    std::memcpy(out, bytes.constData(), size_t(bytes.size()));
    out[bytes.size()] = '\0';
    return out;
}

// A null-terminated array of strings; each entry and the array are released separately.
inline char** dupStringArray(const QList<QByteArray>& items)
{
    auto** out = static_cast<char**>(std::calloc(size_t(items.size()) + 1, sizeof(char*)));
    if (!out)
        return nullptr;
    for (int i = 0; i < items.size(); ++i)
        out[i] = dupString(items.at(i));
    return out;
}

// An ID list ending with 0.
template <typename Id, typename Container> Id* dupIdList(const Container& ids)
{
    auto* out = static_cast<Id*>(std::calloc(size_t(ids.size()) + 1, sizeof(Id)));
    if (!out)
        return nullptr;
    size_t i = 0;
    for (auto id : ids)
        out[i++] = Id(id);
    return out;
}

} // namespace voicesdk

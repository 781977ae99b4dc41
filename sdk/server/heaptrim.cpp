// SPDX-License-Identifier: MIT
#include "heaptrim.h"

#include <malloc.h>

#include <cstdio>
#include <unistd.h>

namespace voiceserver {

qint64 HeapTrimmer::anonymousResidentBytes()
{
    long size = 0, resident = 0, shared = 0;
    FILE* statm = std::fopen("/proc/self/statm", "re");
    const bool read = statm && std::fscanf(statm, "%ld %ld %ld", &size, &resident, &shared) == 3;
    if (statm)
        std::fclose(statm);
    return read ? qint64(resident - shared) * ::sysconf(_SC_PAGESIZE) : -1;
}

bool HeapTrimmer::trimIfWorthIt()
{
#ifdef __GLIBC__
    const qint64 free = qint64(::mallinfo2().fordblks);
    const qint64 resident = anonymousResidentBytes();
    if (m_lowestFree < 0 || free < m_lowestFree)
        m_lowestFree = free;
    if (m_settledResident < 0)
        m_settledResident = resident; // the first look after a trim, or ever
    const bool freed = free - m_lowestFree >= Slack;
    const bool crept = resident >= 0 && resident - m_settledResident >= Slack && free >= Slack;
    if (!freed && !crept)
        return false;
    ::malloc_trim(0);
    m_lowestFree = qint64(::mallinfo2().fordblks);
    // What the next second brings in again is the working set, not creep.
    m_settledResident = -1;
    return true;
#else
    return false;
#endif
}

} // namespace voiceserver

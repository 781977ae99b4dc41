// SPDX-License-Identifier: MIT
#include "heaptrim.h"

#include <malloc.h>

namespace voiceserver {

bool HeapTrimmer::trimIfWorthIt()
{
#ifdef __GLIBC__
    const qint64 free = qint64(::mallinfo2().fordblks);
    if (m_lowestFree < 0 || free < m_lowestFree)
        m_lowestFree = free;
    if (free - m_lowestFree < Slack)
        return false;
    ::malloc_trim(0);
    m_lowestFree = qint64(::mallinfo2().fordblks);
    return true;
#else
    return false;
#endif
}

} // namespace voiceserver

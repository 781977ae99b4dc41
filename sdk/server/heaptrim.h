// SPDX-License-Identifier: MIT
#pragma once

#include <QtGlobal>

namespace voiceserver {

// Hands the heap's free pages back to the system after a burst, or once they crept back in, but
// not on every look: glibc's malloc_trim walks every free chunk and advises the kernel of each
// free page on every call, those given back before too, which held the server's logic for
// 10-35 ms each second once a crowd had come and gone. Creep: blocks made and freed between two
// looks are carved from the free chunks a burst left, further along each time, so given-back
// pages come back into memory while the free bytes stay as they were.
class HeapTrimmer
{
public:
    // How much the heap's free memory must have grown above its lowest since the last trim (that
    // much was in use, so resident, and is free now), or the resident memory above what it was
    // a look after the last trim.
    static constexpr qint64 Slack = 16 * 1024 * 1024;

    // Trims when either grew by Slack; true when it did.
    bool trimIfWorthIt();

    // Resident memory not backed by a file; -1 when unknown.
    static qint64 anonymousResidentBytes();

private:
    qint64 m_lowestFree = -1;      // the heap's free bytes, lowest seen since the last trim
    qint64 m_settledResident = -1; // resident bytes at the first look after the last trim
};

} // namespace voiceserver

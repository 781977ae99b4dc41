// SPDX-License-Identifier: MIT
#pragma once

#include <QtGlobal>

namespace voiceserver {

// Hands the heap's free pages back to the system after a burst, but only after one: glibc's
// malloc_trim walks every free chunk and advises the kernel of each free page on every call,
// those given back before too, which held the server's logic for 10-35 ms each second once a
// crowd had come and gone.
class HeapTrimmer
{
public:
    // How much the heap's free memory must have grown above its lowest since the last trim:
    // that much was in use, so resident, and is free now.
    static constexpr qint64 Slack = 16 * 1024 * 1024;

    // Trims when the free memory grew by Slack; true when it did.
    bool trimIfWorthIt();

private:
    qint64 m_lowestFree = -1; // the heap's free bytes, lowest seen since the last trim
};

} // namespace voiceserver

// SPDX-License-Identifier: MIT
#pragma once

#include <QtGlobal>

// What another process has used so far, read from /proc, for benchmarks that weigh a server:
// CPU seconds (user and system), and resident memory now and at its peak in KiB.
struct ProcessUse
{
    double cpuSeconds = 0;
    long rssKiB = 0;
    long peakKiB = 0;
};

ProcessUse processUse(qint64 pid);

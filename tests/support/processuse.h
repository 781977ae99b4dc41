// SPDX-License-Identifier: MIT
#pragma once

#include <QMap>
#include <QString>
#include <QtGlobal>

// What another process has used so far, read from /proc, for benchmarks that weigh a server:
// CPU seconds (user and system), resident memory now and at its peak in KiB, and its threads.
struct ProcessUse
{
    double cpuSeconds = 0;
    long rssKiB = 0;
    long peakKiB = 0;
    int threads = 0;
};

ProcessUse processUse(qint64 pid);

// Run time of each thread of a process (by thread ID), from the scheduler's nanosecond
// counters, with the thread's name.
struct ThreadUse
{
    QString name;
    qint64 ns = 0;
};

QMap<qint64, ThreadUse> threadUse(qint64 pid);

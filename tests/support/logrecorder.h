// SPDX-License-Identifier: MIT
#pragma once

// Keeps every line written to Qt's debug stream, from any thread, for tests that look for the
// client's log lines. Warnings and worse are also printed, so a failing run shows them.

#include <QMutex>
#include <QStringList>
#include <QtGlobal>

#include <cstdio>
#include <utility>

namespace LogRecorder {

inline QMutex& mutex()
{
    static QMutex m;
    return m;
}

inline QStringList& lines()
{
    static QStringList l;
    return l;
}

inline void record(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    QMutexLocker locker(&mutex());
    lines() << message;
    if (type != QtDebugMsg)
        fprintf(stderr, "%s\n", qPrintable(message));
}

inline void install()
{
    qInstallMessageHandler(record);
}

// The lines since the last take.
inline QStringList take()
{
    QMutexLocker locker(&mutex());
    return std::exchange(lines(), {});
}

// Whether a line since the last take contains part.
inline bool has(const QString& part)
{
    QMutexLocker locker(&mutex());
    return !lines().filter(part).isEmpty();
}

} // namespace LogRecorder

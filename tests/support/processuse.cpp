// SPDX-License-Identifier: MIT
#include "processuse.h"

#include <QFile>
#include <QList>

#include <unistd.h>

ProcessUse processUse(qint64 pid)
{
    ProcessUse use;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (stat.open(QIODevice::ReadOnly)) {
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 13)
            use.cpuSeconds = (fields.at(11).toDouble() + fields.at(12).toDouble()) /
                             double(::sysconf(_SC_CLK_TCK));
    }
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                use.rssKiB = line.mid(6).trimmed().split(' ').first().toLong();
            else if (line.startsWith("VmHWM:"))
                use.peakKiB = line.mid(6).trimmed().split(' ').first().toLong();
        }
    }
    return use;
}

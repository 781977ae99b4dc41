// SPDX-License-Identifier: MIT
#include "processuse.h"

#include <QDir>
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
            else if (line.startsWith("Threads:"))
                use.threads = line.mid(8).trimmed().toInt();
        }
    }
    return use;
}

QMap<qint64, ThreadUse> threadUse(qint64 pid)
{
    QMap<qint64, ThreadUse> out;
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString& tid : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat(tasks + QLatin1Char('/') + tid + QStringLiteral("/schedstat"));
        QFile comm(tasks + QLatin1Char('/') + tid + QStringLiteral("/comm"));
        if (!stat.open(QIODevice::ReadOnly) || !comm.open(QIODevice::ReadOnly))
            continue;
        ThreadUse use;
        use.ns = stat.readAll().split(' ').value(0).toLongLong();
        use.name = QString::fromUtf8(comm.readAll().trimmed());
        out.insert(tid.toLongLong(), use);
    }
    return out;
}

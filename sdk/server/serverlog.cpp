// SPDX-License-Identifier: MIT
#include "serverlog.h"

#include <QDateTime>
#include <QHash>

#include <cstdio>
#include <mutex>
#include <sys/stat.h>

namespace voiceserver {

namespace {

// systemd names the stream it connected to standard error in JOURNAL_STREAM ("device:inode").
bool stderrIsJournal()
{
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    struct stat status = {};
    if (stream.isEmpty() || ::fstat(2, &status) != 0)
        return false;
    return stream == QByteArray::number(quint64(status.st_dev)) + ':' +
                         QByteArray::number(quint64(status.st_ino));
}

bool journal()
{
    static const bool toJournal = stderrIsJournal();
    return toJournal;
}

// The local time with its offset from UTC, as RFC 3339 writes it: lines from machines in other
// zones, or from before a change of summer time, still compare.
QByteArray timestamp()
{
    const QDateTime now = QDateTime::currentDateTime();
    const int offset = now.offsetFromUtc();
    const int minutes = qAbs(offset) / 60;
    return now.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")).toLatin1() +
           (offset < 0 ? '-' : '+') + QByteArray::number(minutes / 60).rightJustified(2, '0') +
           ':' + QByteArray::number(minutes % 60).rightJustified(2, '0');
}

} // namespace

void logFailure(const QString& line)
{
    const QByteArray text = (journal() ? QByteArray("<3>") : QByteArray()) + line.toUtf8() + '\n';
    std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
}

void logLine(const QString& line)
{
    logLine(LogLevel::Info, line);
}

void logLine(LogLevel level, const QString& line)
{
    QByteArray text;
    if (journal()) {
        text = '<' + QByteArray::number(int(level)) + '>' + line.toUtf8() + '\n';
    } else {
        text = timestamp() + ' ';
        if (level == LogLevel::Error)
            text += "error: ";
        else if (level == LogLevel::Warning)
            text += "warning: ";
        text += line.toUtf8() + '\n';
    }
    std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
}

void logLimited(const char* kind, const QString& line, LogLevel level)
{
    constexpr int PerSecond = 5;
    struct Budget
    {
        qint64 second = 0;
        int used = 0;
        int suppressed = 0;
    };
    static std::mutex lock; // the admin endpoint logs from its own thread
    static QHash<QByteArray, Budget> budgets;
    int suppressed = 0;
    {
        const std::lock_guard<std::mutex> guard(lock);
        Budget& budget = budgets[QByteArray(kind)];
        const qint64 second = QDateTime::currentMSecsSinceEpoch() / 1000;
        if (second != budget.second) {
            budget.second = second;
            budget.used = 0;
        }
        if (budget.used >= PerSecond) {
            ++budget.suppressed;
            return;
        }
        ++budget.used;
        suppressed = budget.suppressed;
        budget.suppressed = 0;
    }
    if (suppressed > 0)
        logLine(level, QStringLiteral("%1 (%2 more like it left out)").arg(line).arg(suppressed));
    else
        logLine(level, line);
}

} // namespace voiceserver

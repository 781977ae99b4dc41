// SPDX-License-Identifier: MIT
#include "serverlog.h"

#include <QDateTime>
#include <QHash>

#include <cstdio>

namespace voiceserver {

void logLine(const QString& line)
{
    const QByteArray text = QDateTime::currentDateTime().toString(Qt::ISODateWithMs).toUtf8() +
                            ' ' + line.toUtf8() + '\n';
    std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
}

void logLimited(const char* kind, const QString& line)
{
    constexpr int PerSecond = 5;
    struct Budget
    {
        qint64 second = 0;
        int used = 0;
        int suppressed = 0;
    };
    static QHash<QByteArray, Budget> budgets; // the server's one thread logs
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
    if (budget.suppressed > 0) {
        logLine(QStringLiteral("%1 (%2 more like it left out)").arg(line).arg(budget.suppressed));
        budget.suppressed = 0;
    } else {
        logLine(line);
    }
}

} // namespace voiceserver

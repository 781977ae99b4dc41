// SPDX-License-Identifier: MIT
#include "serverlog.h"

#include <QDateTime>

#include <cstdio>

namespace voiceserver {

void logLine(const QString& line)
{
    const QByteArray text = QDateTime::currentDateTime().toString(Qt::ISODateWithMs).toUtf8() +
                            ' ' + line.toUtf8() + '\n';
    std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
}

} // namespace voiceserver

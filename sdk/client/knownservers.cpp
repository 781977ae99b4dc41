// SPDX-License-Identifier: MIT
#include "knownservers.h"

#include <QDir>
#include <QFile>
#include <QSslSocket>

namespace voicesdk::knownservers {

namespace {
constexpr qint64 MaxFileBytes = 4 * 1024 * 1024; // some ten thousand servers
constexpr int MaxLineBytes = 1024;
} // namespace

QString filePath()
{
    return QDir::current().absoluteFilePath(QStringLiteral("known_servers.txt"));
}

QString serverName(const QString& host, quint16 port)
{
    QString name = host.trimmed().toLower();
    if (name.contains(QLatin1Char(':')) && !name.startsWith(QLatin1Char('[')))
        name = QLatin1Char('[') + name + QLatin1Char(']');
    return name + QLatin1Char(':') + QString::number(port);
}

QString lookup(const QString& server)
{
    QFile file(filePath());
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QByteArray wanted = server.toUtf8();
    qint64 read = 0;
    while (!file.atEnd() && read < MaxFileBytes) {
        const QByteArray line = file.readLine(MaxLineBytes);
        read += line.size();
        const QByteArray text = line.trimmed();
        if (text.isEmpty() || text.startsWith('#'))
            continue;
        const QList<QByteArray> words = text.simplified().split(' ');
        if (words.size() == 2 && words.at(0) == wanted && words.at(1).startsWith("SHA256:"))
            return QString::fromLatin1(words.at(1)); // the first line of a server counts
    }
    return QString();
}

bool remember(const QString& server, const QString& fingerprint, QString* error)
{
    QFile file(filePath());
    const bool fresh = !file.exists();
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        *error = file.errorString();
        return false;
    }
    QByteArray text;
    if (fresh)
        text = "# Certificates of the voice servers met so far, trusted from the first "
               "connection on.\n# Remove a server's line to accept a new certificate of it.\n";
    text += server.toUtf8() + ' ' + fingerprint.toLatin1() + '\n';
    // One write with O_APPEND: lines of other processes never interleave with it.
    if (file.write(text) != text.size()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

} // namespace voicesdk::knownservers

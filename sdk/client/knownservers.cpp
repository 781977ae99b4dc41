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

QStringList lookup(const QString& server)
{
    QStringList pins;
    QFile file(filePath());
    if (!file.open(QIODevice::ReadOnly))
        return pins;
    const QByteArray wanted = server.toUtf8();
    qint64 read = 0;
    while (!file.atEnd() && read < MaxFileBytes) {
        const QByteArray line = file.readLine(MaxLineBytes);
        read += line.size();
        const QByteArray text = line.trimmed();
        if (text.isEmpty() || text.startsWith('#'))
            continue;
        const QList<QByteArray> words = text.simplified().split(' ');
        if (words.size() == 2 && words.at(0) == wanted &&
            (words.at(1).startsWith("SPKI-SHA256:") || words.at(1).startsWith("SHA256:")))
            pins.append(QString::fromLatin1(words.at(1)));
    }
    return pins;
}

bool remember(const QString& server, const QString& pin, QString* error)
{
    QFile file(filePath());
    const bool fresh = !file.exists();
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        *error = file.errorString();
        return false;
    }
    QByteArray text;
    if (fresh)
        text = "# Keys of the voice servers met so far, trusted from the first connection on.\n"
               "# Remove a server's lines to accept a new key of it.\n";
    text += server.toUtf8() + ' ' + pin.toLatin1() + '\n';
    // One write with O_APPEND: lines of other processes never interleave with it.
    if (file.write(text) != text.size()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

} // namespace voicesdk::knownservers

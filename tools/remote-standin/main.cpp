// SPDX-License-Identifier: MIT
// A stand-in for the remote-desktop program that Meeting starts for remote help, so the whole
// exchange can be followed on one machine:
//
//   AnyDesk_S.exe --get-id   prints this desktop's ID (the same for the same user on the same
//                            machine: it is kept in the user's configuration folder)
//   AnyDesk_S.exe            waits to be reached, until it is ended
//   AnyDesk_S.exe ID         "connects" to desktop ID: stays running and records the ID
//
// What it does is recorded line by line in a log file beside it, named after it
// (AnyDesk_S.log), and on standard error.
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTextStream>

#include <cstdio>

namespace {

bool isDesktopId(const QString& text)
{
    if (text.isEmpty() || text.size() > 20)
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    bool ok = false;
    return text.toULongLong(&ok) > 0 && ok;
}

// The ID of this user's desktop: made up once, then read back.
QString desktopId(QString* error)
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                           QStringLiteral("/meeting-remote-standin");
    if (!QDir().mkpath(folder)) {
        *error = QStringLiteral("cannot create %1").arg(folder);
        return QString();
    }
    // Two first starts at once must agree on one ID.
    const QString lockName = folder + QStringLiteral("/id.lock");
    QLockFile lock(lockName);
    if (!lock.tryLock(10000)) {
        *error = QStringLiteral("cannot lock %1").arg(lockName);
        return QString();
    }
    const QString path = folder + QStringLiteral("/id");
    QFile stored(path);
    if (stored.open(QIODevice::ReadOnly)) {
        const QString id = QString::fromLatin1(stored.read(64)).trimmed();
        if (isDesktopId(id))
            return id;
    }
    const QString id = QString::number(QRandomGenerator::system()->bounded(100000000, 1000000000));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(id.toLatin1() + '\n') < 0 ||
        !file.commit()) {
        *error = QStringLiteral("cannot write %1").arg(path);
        return QString();
    }
    return id;
}

void record(const QString& line)
{
    const QFileInfo self(QCoreApplication::applicationFilePath());
    const QString text = QStringLiteral("%1 [%2] %3\n")
                             .arg(QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs))
                             .arg(QCoreApplication::applicationPid())
                             .arg(line);
    QFile log(self.dir().filePath(self.completeBaseName() + QStringLiteral(".log")));
    if (log.open(QIODevice::WriteOnly | QIODevice::Append))
        log.write(text.toUtf8());
    fputs(qPrintable(text), stderr);
}

void usage(FILE* to)
{
    fputs("usage: AnyDesk_S.exe [--get-id | ID]\n"
          "  --get-id  print this desktop's ID\n"
          "  ID        connect to that desktop (a plain decimal number) and keep running\n"
          "  (none)    keep running until ended, waiting to be reached\n",
          to);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments().mid(1);
    if (arguments == QStringList{QStringLiteral("--help")}) {
        usage(stdout);
        return 0;
    }
    if (arguments.size() > 1 ||
        (arguments.size() == 1 && arguments.first() != QLatin1String("--get-id") &&
         !isDesktopId(arguments.first()))) {
        usage(stderr);
        return 2;
    }
    QString error;
    const QString id = desktopId(&error);
    if (id.isEmpty()) {
        fprintf(stderr, "AnyDesk stand-in: %s\n", qPrintable(error));
        return 1;
    }
    if (arguments == QStringList{QStringLiteral("--get-id")}) {
        fprintf(stdout, "%s\n", qPrintable(id));
        return 0;
    }
    if (arguments.isEmpty())
        record(QStringLiteral("desktop %1 is waiting to be reached").arg(id));
    else
        record(QStringLiteral("desktop %1 connects to %2").arg(id, arguments.first()));
    return app.exec();
}

// SPDX-License-Identifier: MIT
#include "anydeskhandle.h"

#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <memory>

namespace MeetingSupport {

namespace {

constexpr int StartTimeoutMs = 30000;
constexpr int IdAttempts = 20;
constexpr int IdTimeoutMs = 1000;
constexpr int IdPauseMs = 1000;
// An ID is a few digits; more output than this is no ID.
constexpr qint64 MaxIdOutput = 256;
// 64-bit IDs have at most 20 digits.
constexpr int MaxIdDigits = 20;

QString commandText(const QString& program, const QStringList& arguments)
{
    QStringList quoted{QLatin1Char('"') + program + QLatin1Char('"')};
    for (const QString& argument : arguments)
        quoted << QLatin1Char('"') + argument + QLatin1Char('"');
    return quoted.join(QLatin1Char(' '));
}

// A second of waiting in which windows repaint and events (deletions included) are handled.
// False when the launcher was destroyed meanwhile.
bool waitKeepingGuiAlive(const std::shared_ptr<bool>& alive)
{
    if (!QCoreApplication::instance()) {
        QThread::msleep(IdPauseMs);
        return *alive;
    }
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < IdPauseMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, IdPauseMs);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (!*alive)
            return false;
        QThread::msleep(10);
    }
    return *alive;
}

// Asks the program for the local desktop's ID until it gives one; *id gets the last answer.
// False when the launcher was destroyed meanwhile.
bool readLocalId(const QString& program, const std::shared_ptr<bool>& alive, QString* id)
{
    for (int attempt = 1; attempt <= IdAttempts; ++attempt) {
        QProcess query;
        query.setStandardErrorFile(QProcess::nullDevice());
        query.start(program, {QStringLiteral("--get-id")}, QIODevice::ReadWrite);
        if (query.waitForFinished(IdTimeoutMs)) {
            const QByteArray output = query.read(MaxIdOutput + 1);
            *id =
                output.size() > MaxIdOutput ? QString() : QString::fromLocal8Bit(output).trimmed();
            if (AnyDeskHandle::isDesktopId(*id))
                return true;
        } else {
            query.kill();
            query.waitForFinished(IdTimeoutMs);
        }
        qDebug().noquote() << "No desktop ID from" << program << "at attempt" << attempt;
        if (attempt < IdAttempts && !waitKeepingGuiAlive(alive))
            return false;
    }
    return true;
}

} // namespace

class AnyDeskHandlePrivate
{
public:
    AnyDeskHandlePrivate(AnyDeskHandle* q, bool variant) : variant(variant), q(q) {}

    void start(const QStringList& arguments);
    QString processError() const;

    QProcess* process = nullptr;
    QString id;
    bool variant;
    // Cleared when the launcher goes, for a wait that pumped the event loop to find out.
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
    AnyDeskHandle* q;
};

void AnyDeskHandlePrivate::start(const QStringList& arguments)
{
    const QString program = q->programFile();
    // Program and arguments as a list: nothing of an ID ever reaches a shell or a splitter.
    process->start(program, arguments, QIODevice::ReadWrite);
    process->waitForStarted(StartTimeoutMs);
    qDebug().noquote() << QStringLiteral("start [%1] state: ").arg(commandText(program, arguments))
                       << process->state();
}

QString AnyDeskHandlePrivate::processError() const
{
    switch (process->error()) {
    case QProcess::FailedToStart:
        return AnyDeskHandle::tr(
            "The \"AnyDesk\" process failed to start. Either the invoked program is missing, or "
            "you may have insufficient permissions to invoke the program.");
    case QProcess::Crashed:
        return AnyDeskHandle::tr(
            "The \"AnyDesk\" process crashed some time after starting successfully.");
    case QProcess::Timedout:
        return AnyDeskHandle::tr("The \"AnyDesk\" process start timed out.");
    case QProcess::ReadError:
        return AnyDeskHandle::tr(
            "An error occurred when attempting to read from the \"AnyDesk\" process.");
    case QProcess::WriteError:
        return AnyDeskHandle::tr(
            "An error occurred when attempting to write to the \"AnyDesk\" process.");
    case QProcess::UnknownError:
        return AnyDeskHandle::tr("An unknown error occurred from the \"AnyDesk\" process.");
    }
    return QString();
}

AnyDeskHandle::AnyDeskHandle(bool variant) : d(new AnyDeskHandlePrivate(this, variant))
{
    d->process = new QProcess();
    // The program's own output is of no use here, and unread it would pile up in memory.
    d->process->setStandardOutputFile(QProcess::nullDevice());
    d->process->setStandardErrorFile(QProcess::nullDevice());
}

AnyDeskHandle::~AnyDeskHandle()
{
    *d->alive = false;
    if (d->process->state() != QProcess::NotRunning) {
        d->process->kill();
        d->process->waitForFinished(StartTimeoutMs);
    }
    delete d->process;
    delete d;
}

QJsonObject AnyDeskHandle::handleRequest()
{
    QJsonObject reply{{QStringLiteral("app_name"), QStringLiteral("AnyDesk")}};
    if (!QFileInfo(programFile()).isFile()) {
        reply.insert(
            QStringLiteral("error"),
            tr("Invoke AnyDesk failed.\nPlease confirm with the user whether Anydesk exists!"));
        return reply;
    }
    if (d->process->state() != QProcess::Running)
        d->start({});
    // Also a program started for a reply, or one whose ID could not be read before: an
    // answer without the ID would be no answer.
    if (d->process->state() == QProcess::Running && !isDesktopId(d->id)) {
        const std::shared_ptr<bool> alive = d->alive;
        QString id;
        if (!readLocalId(programFile(), alive, &id))
            return reply; // nobody is left to read it
        d->id = id;
    }
    if (d->process->state() == QProcess::Running)
        reply.insert(QStringLiteral("cid"), d->id);
    else
        reply.insert(QStringLiteral("error"), d->processError());
    return reply;
}

bool AnyDeskHandle::handleReply(const QJsonObject& reply, QString* message)
{
    if (reply.contains(QStringLiteral("error"))) {
        if (message)
            *message = reply.value(QStringLiteral("error")).toString();
        return false;
    }
    const QString cid = reply.value(QStringLiteral("cid")).toString();
    if (message) {
        // The ID comes from another client: a long one is shown cut.
        constexpr int Shown = 64;
        *message = QStringLiteral("cid: %1").arg(
            cid.size() > Shown ? cid.left(Shown) + QStringLiteral("...") : cid);
    }
    const QString program = programFile();
    if (!QFileInfo(program).isFile()) {
        qDebug().noquote() << "AnyDesk: " << program;
        if (message)
            *message = tr("AnyDesk App not exists...");
        return false;
    }
    if (d->process->state() != QProcess::Running) {
        // Anything but a plain ID starts the program without one.
        QStringList arguments;
        if (isDesktopId(cid))
            arguments << cid;
        else if (!cid.isEmpty())
            qDebug() << "Not passing on a desktop ID that is no plain number";
        d->start(arguments);
    }
    if (d->process->state() == QProcess::Running)
        return true;
    if (message)
        *message = d->processError();
    return false;
}

QString AnyDeskHandle::programFile() const
{
    return programFile(d->variant);
}

QString AnyDeskHandle::localId() const
{
    return d->id;
}

bool AnyDeskHandle::variantForRole(int role)
{
    return role == 1 || role == 3;
}

QString AnyDeskHandle::programFile(bool variant)
{
    return QDir(QCoreApplication::applicationDirPath())
        .absoluteFilePath(
            QStringLiteral("AnyDesk_%1.exe").arg(variant ? QLatin1Char('S') : QLatin1Char('C')));
}

bool AnyDeskHandle::isDesktopId(const QString& text)
{
    if (text.isEmpty() || text.size() > MaxIdDigits)
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    bool ok = false;
    const qulonglong value = text.toULongLong(&ok);
    return ok && value > 0;
}

} // namespace MeetingSupport

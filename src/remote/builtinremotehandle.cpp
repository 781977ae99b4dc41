// SPDX-License-Identifier: MIT
#include "builtinremotehandle.h"

#include "anydeskhandle.h"
#include "screensession.h"
#include "screenviewer.h"
#include "tsclient/tssdkclient.h"

#include <QApplication>
#include <QDebug>
#include <QFileInfo>
#include <QJsonObject>
#include <QMessageBox>
#include <QSettings>

namespace MeetingSupport {

BuiltinRemoteHandle::BuiltinRemoteHandle(ScreenSession* session) : m_session(session) {}

QString BuiltinRemoteHandle::appName()
{
    return QStringLiteral("MeetingScreen");
}

void BuiltinRemoteHandle::setRequester(const QString& name)
{
    m_requester = name;
}

QJsonObject BuiltinRemoteHandle::handleRequest()
{
    QJsonObject reply{{QStringLiteral("app_name"), appName()}};
    const QString requester = std::exchange(m_requester, QString());
    TsSDKClient* client = TsSDKClient::instance();
    if (!requester.isEmpty()) {
        // Someone else wants to see and drive this screen: the person in front of it decides.
        QMessageBox question(QMessageBox::Question, tr("Remote help"),
                             tr("%1 asks to see and control your screen. Share your screen with "
                                "the meeting?")
                                 .arg(requester),
                             QMessageBox::Yes | QMessageBox::No, QApplication::activeWindow());
        question.setDefaultButton(QMessageBox::No);
        const bool yes = question.exec() == QMessageBox::Yes;
        if (!yes) {
            reply.insert(QStringLiteral("error"),
                         tr("%1 did not share the screen.").arg(client->nickname()));
            return reply;
        }
    }
    QString error;
    if (!m_session || !m_session->startSharing(true, requester, &error)) {
        reply.insert(QStringLiteral("error"),
                     error.isEmpty() ? tr("Screen sharing is not available.") : error);
        return reply;
    }
    reply.insert(QStringLiteral("cid"), QString::number(client->ownClientID()));
    return reply;
}

bool BuiltinRemoteHandle::handleReply(const QJsonObject& reply, QString* message)
{
    if (reply.contains(QStringLiteral("error"))) {
        if (message)
            *message = reply.value(QStringLiteral("error")).toString();
        return false;
    }
    quint16 sharer = 0;
    if (!parseClientId(reply.value(QStringLiteral("cid")), &sharer)) {
        if (message)
            *message = tr("The reply names no screen to show.");
        return false;
    }
    if (sharer == TsSDKClient::instance()->ownClientID()) {
        if (message)
            *message = tr("The reply names this program's own screen.");
        return false;
    }
    ScreenViewer* viewer = m_session ? m_session->openViewer(sharer) : nullptr;
    if (!viewer) {
        if (message)
            *message = tr("Screen sharing is not available.");
        return false;
    }
    if (message)
        *message = QLatin1Char(' ') +
                   tr("Showing %1's screen: click it to take control.").arg(viewer->sharerName());
    return true;
}

bool BuiltinRemoteHandle::parseClientId(const QJsonValue& cid, quint16* id)
{
    const QString text = cid.toString();
    if (text.isEmpty() || text.size() > 5)
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    const uint value = text.toUInt();
    if (value == 0 || value > 0xffff)
        return false;
    *id = quint16(value);
    return true;
}

RemoteLauncher chosenRemoteLauncher(int role)
{
    QString forced = qEnvironmentVariable("MEETING_REMOTE_LAUNCHER").trimmed().toLower();
    if (forced.isEmpty())
        forced =
            QSettings().value(QStringLiteral("remote/launcher")).toString().trimmed().toLower();
    if (forced == QLatin1String("builtin"))
        return RemoteLauncher::BuiltIn;
    if (forced == QLatin1String("external"))
        return RemoteLauncher::External;
    if (!forced.isEmpty() && forced != QLatin1String("auto"))
        qDebug().noquote() << "Unknown remote launcher" << forced.left(32)
                           << "- choosing by itself";
    const QString program = AnyDeskHandle::programFile(AnyDeskHandle::variantForRole(role));
    return QFileInfo(program).isFile() ? RemoteLauncher::External : RemoteLauncher::BuiltIn;
}

} // namespace MeetingSupport

// SPDX-License-Identifier: MIT
#pragma once

#include "remotehandle.h"

#include <QCoreApplication>
#include <QJsonValue>
#include <QPointer>

namespace MeetingSupport {

class ScreenSession;

// Remote help with the program's own live screens, for when no remote-desktop program lies
// beside it. The side that answers shares its screen with the meeting, control open to the
// first member who acts on it, and replies {"app_name": appName(), "cid": its client ID}; the
// side that gets the reply opens a viewer on that share, where a click takes control and lands.
// Asked by another member (not by the own user), it first asks the user whether to share.
class BuiltinRemoteHandle : public RemoteHandle
{
    Q_DECLARE_TR_FUNCTIONS(BuiltinRemoteHandle)
public:
    explicit BuiltinRemoteHandle(ScreenSession* session);

    static QString appName();
    // Who sent the request answered next (asked whether to share); empty when the own user asked.
    void setRequester(const QString& name);

    QJsonObject handleRequest() override;
    bool handleReply(const QJsonObject& reply, QString* message) override;

    // A client ID as a reply carries it: plain decimal digits, 1 to 65535.
    static bool parseClientId(const QJsonValue& cid, quint16* id);

private:
    QPointer<ScreenSession> m_session;
    QString m_requester;
};

// Which launcher answers remote-desktop requests on this side.
enum class RemoteLauncher { BuiltIn, External };
// The remote-desktop program when it lies beside Meeting (the file for role), else the built-in
// screens. "builtin" or "external" in the environment variable MEETING_REMOTE_LAUNCHER, or else
// in the setting "remote/launcher", forces one.
RemoteLauncher chosenRemoteLauncher(int role);

} // namespace MeetingSupport

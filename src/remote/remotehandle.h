// SPDX-License-Identifier: MIT
#pragma once

#include <QJsonObject>
#include <QString>

namespace MeetingSupport {

// A remote-desktop launcher: answers the other side's request with the local desktop's ID and
// connects to the ID the other side's reply carries. Not re-entrant: the caller hands it one
// exchange at a time.
class RemoteHandle
{
public:
    virtual ~RemoteHandle() = default;

    // Starts the local program if needed; {"app_name", and "cid" or "error"}.
    virtual QJsonObject handleRequest() = 0;
    // Starts the local program towards the reply's "cid"; true when it runs. *message (when
    // given) gets a text for the user.
    virtual bool handleReply(const QJsonObject& reply, QString* message) = 0;
};

} // namespace MeetingSupport

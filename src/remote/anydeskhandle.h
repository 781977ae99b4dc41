// SPDX-License-Identifier: MIT
#pragma once

#include "remotehandle.h"

#include <QCoreApplication>

namespace MeetingSupport {

class AnyDeskHandlePrivate;

// Drives the remote-desktop program beside the executable through its command line:
// "AnyDesk_S.exe" for ordinary users, "AnyDesk_C.exe" for supporters. "--get-id" prints the
// local desktop's ID; started without arguments the program waits to be reached, started with
// an ID it connects to that desktop. The program keeps running between exchanges and is ended
// with the launcher.
//
// Reading the ID may take up to about 40 seconds, during which the event loop runs: the
// launcher (and whoever owns it) may be destroyed meanwhile, and then returns without touching
// anything.
class AnyDeskHandle : public RemoteHandle
{
    Q_DECLARE_TR_FUNCTIONS(AnyDeskHandle)
public:
    // variant: true for ordinary users (roles 1 and 3), false for supporters.
    explicit AnyDeskHandle(bool variant);
    ~AnyDeskHandle() override;
    AnyDeskHandle(const AnyDeskHandle&) = delete;
    AnyDeskHandle& operator=(const AnyDeskHandle&) = delete;

    QJsonObject handleRequest() override;
    bool handleReply(const QJsonObject& reply, QString* message) override;

    QString programFile() const;
    // The local desktop's ID as last read; empty until read.
    QString localId() const;

    static bool variantForRole(int role);
    static QString programFile(bool variant);
    // Whether text is an ID we hand to the program: plain decimal digits, greater than 0.
    static bool isDesktopId(const QString& text);

private:
    AnyDeskHandlePrivate* d;
    friend class AnyDeskHandlePrivate;
};

} // namespace MeetingSupport

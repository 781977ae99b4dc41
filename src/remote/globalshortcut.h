// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>
#include <QString>

namespace MeetingSupport {

class GlobalShortcutPrivate;

// A key combination that reaches this program whichever window has the keyboard: the person
// whose screen is shared and controlled must be able to stop it even while the helper types into
// another program. X11 only (a grab on the root window through a connection of its own); where
// there is none, or another program holds the combination, isActive() is false and the one-click
// button remains.
class GlobalShortcut : public QObject
{
    Q_OBJECT
public:
    // Ctrl+Alt+Shift and the key of keysym.
    explicit GlobalShortcut(quint32 keysym, QObject* parent = nullptr);
    ~GlobalShortcut() override;

    bool isActive() const;

signals:
    void activated();

private:
    GlobalShortcutPrivate* d;
    friend class GlobalShortcutPrivate;
};

} // namespace MeetingSupport

// SPDX-License-Identifier: MIT
#pragma once

#include <QList>
#include <QObject>
#include <QSize>
#include <QString>

namespace MeetingSupport {

class ScreenSessionPrivate;
class ScreenViewer;

// The live screens of the own meeting, as a chat pane sees them: the own share (started from
// the pane's button or for remote help) with its banner, the members' shares with a viewer each,
// and who controls which. It follows the library's screen events on the GUI thread and says in
// status lines what changed and why a share ended (stopped, the sharer left, the connection was
// lost). Destroyed with its pane (the meeting closes), it stops the own share and closes every
// viewer.
class ScreenSession : public QObject
{
    Q_OBJECT
public:
    // How long a viewer opened before its share was announced waits for it.
    static constexpr int ShareWaitMs = 15000;

    explicit ScreenSession(QObject* parent = nullptr);
    ~ScreenSession() override;

    // The own share. forHelp opens control to the first member who acts on it (remote help);
    // helper names whoever asked for it (may be empty). False with a text for the user when it
    // cannot start.
    bool startSharing(bool forHelp, const QString& helper, QString* error);
    void stopSharing();
    // Sharing, or about to.
    bool isSharing() const;
    // The own share's control: to member, or (0) back to nobody.
    void giveControl(quint16 member);
    quint16 ownController() const;

    // Members (not the own client) sharing now in the own channel.
    QList<quint16> sharers() const;
    // Who controls sharer's screen (the own client's too); 0 for nobody.
    quint16 controllerOf(quint16 sharer) const;
    QSize shareSize(quint16 sharer) const;
    // The viewer of sharer's screen, opened if there is none; a share not announced yet (a
    // remote-help reply can come first) is waited for.
    ScreenViewer* openViewer(quint16 sharer);
    ScreenViewer* viewer(quint16 sharer) const;

    // What the user is told about an error code of the library's screen calls.
    static QString errorText(unsigned int error);

signals:
    // A viewer was made: whoever places viewers takes it now; without a parent afterwards it is
    // shown as a window of its own.
    void viewerOpened(MeetingSupport::ScreenViewer* viewer);
    void sharingChanged(bool sharing);
    // Who shares or controls changed.
    void sharesChanged();
    // A status line: 0 information, 1 warning, 2 error.
    void status(const QString& text, int level);

private:
    ScreenSessionPrivate* d;
    friend class ScreenSessionPrivate;
};

} // namespace MeetingSupport

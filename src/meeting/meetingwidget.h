// SPDX-License-Identifier: MIT
#pragma once

#include <QStringList>
#include <QWidget>

class QModelIndex;

namespace MeetingSupport {

class MeetingWidgetPrivate;

// The page shown while the own client is in a meeting: title with name and head count, the
// meeting's chat pane, and the members with an "Add" tile to invite more people. Deletes
// itself when closed. Closing it takes the own client back to "Default Channel": the move is
// asked for when the view closes, so a move asked for right after it reaches the server later.
class MeetingWidget : public QWidget
{
    Q_OBJECT
public:
    explicit MeetingWidget(QWidget* parent = nullptr);
    ~MeetingWidget() override;

    // Rebuilds the members from the own channel; the view is reset only on a change.
    void refreshMembers();
    // Offers everyone online who is not a member and invites the ticked ones.
    void invite();
    // The keyboard to the chat pane's message editor.
    void focusChat();
    // A status line for the chat pane (the main window's loggerMessage).
    void onLogerMessage(const QString& messag, QtMsgType type);

protected:
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void onClicked(const QModelIndex& index);

    MeetingWidgetPrivate* d;
    friend class MeetingWidgetPrivate;
};

// Sends one meeting invitation per name, each as its own message addressed to that client. The
// invitations name channelName, or the own current channel when it is empty. Nothing is sent
// for an empty list.
void sendMeetingInvitations(const QStringList& names, const QString& channelName = QString());

} // namespace MeetingSupport

// SPDX-License-Identifier: MIT
#pragma once

#include <QStringList>
#include <QWidget>

class QModelIndex;

namespace MeetingSupport {

class MeetingListPrivate;

// The meetings on the server as a grid of tiles plus a "New Meeting" tile. A click joins, a
// double click on the tile creates a meeting, the context menu joins or deletes. Follows the
// server's channel events and refreshes itself every 5 seconds.
class MeetingList : public QWidget
{
    Q_OBJECT
public:
    explicit MeetingList(QWidget* parent = nullptr);
    ~MeetingList() override;

    // Rebuilds the meetings from the server's channels; the view is reset only on a change.
    void refresh();
    // The full channel names of the meetings, in row order.
    QStringList meetingNames() const;

signals:
    // The full channel name; empty for the "New Meeting" tile.
    void requestJoinMeeting(QString name);

private:
    void newMeeting();
    void createMeeting(const QString& name);
    void deleteMeetings(const QStringList& names);
    void onClicked(const QModelIndex& index);
    void onDoubleClicked(const QModelIndex& index);
    void onContextMenu(const QPoint& pos);

    MeetingListPrivate* d;
    friend class MeetingListPrivate;
};

} // namespace MeetingSupport

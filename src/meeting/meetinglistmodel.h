// SPDX-License-Identifier: MIT
#pragma once

#include <QAbstractListModel>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QVariant>

namespace MeetingSupport {

// Channels whose name starts with this are meetings.
extern const QString MeetingPrefix;
// The channel name without MeetingPrefix; unchanged when it does not start with it.
QString meetingShortName(const QString& channelName);

// The meetings on the server as tiles: one row per meeting channel, then fixed extra tiles
// (the "New Meeting" tile). A meeting record is {"CHANNEL_NAME", optional "CHANNEL_PASSWORD"}.
class MeetingListModel : public QAbstractListModel
{
    Q_OBJECT
public:
    enum Roles {
        ChannelNameRole = Qt::UserRole + 1, // the full channel name
        IsExtraRole = Qt::UserRole + 3,     // true on the extra tiles
        ExtraIdRole = Qt::UserRole + 4,     // names an extra tile
    };

    explicit MeetingListModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    QList<QJsonObject> meetings() const { return m_meetings; }
    // Replaces the meetings with a model reset, but only when they differ; true when they did.
    bool setMeetings(const QList<QJsonObject>& meetings);

    void appendExtraItem(const QMap<int, QVariant>& item);
    QList<QMap<int, QVariant>> extraItems() const { return m_extraItems; }

    // The "New Meeting" tile.
    static QMap<int, QVariant> newMeetingItem();

private:
    QList<QJsonObject> m_meetings;
    QList<QMap<int, QVariant>> m_extraItems;
};

} // namespace MeetingSupport

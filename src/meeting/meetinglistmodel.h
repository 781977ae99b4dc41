// SPDX-License-Identifier: MIT
#pragma once

#include <QAbstractListModel>
#include <QFontMetrics>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QVariant>
#include <QVector>

namespace MeetingSupport {

// Channels whose name starts with this are meetings.
extern const QString MeetingPrefix;
// The channel name without MeetingPrefix; unchanged when it does not start with it.
QString meetingShortName(const QString& channelName);
// A tile's text as it fits width: the name on the first line elided, the head count on the
// second (after '\n' or a line separator) kept whole.
QString elideTileText(const QString& text, const QFontMetrics& metrics, int width);

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
    // The head counts are taken anew with a reset.
    bool setMeetings(const QList<QJsonObject>& meetings);
    // Counts the people in every meeting again and reports the rows whose count changed, so
    // views show a move at once.
    void updateCounts();

    void appendExtraItem(const QMap<int, QVariant>& item);
    QList<QMap<int, QVariant>> extraItems() const { return m_extraItems; }

    // The "New Meeting" tile.
    static QMap<int, QVariant> newMeetingItem();

private:
    QVector<int> countMembers() const;

    QList<QJsonObject> m_meetings;
    QVector<int> m_counts; // per meeting row, as last reported
    QList<QMap<int, QVariant>> m_extraItems;
};

} // namespace MeetingSupport

// SPDX-License-Identifier: MIT
#include "meetinglistmodel.h"

#include "tsclient/tssdkclient.h"

#include <QBrush>
#include <QFont>
#include <QHash>
#include <QPixmap>

namespace MeetingSupport {

const QString MeetingPrefix = QStringLiteral("tolvane_");

QString meetingShortName(const QString& channelName)
{
    if (channelName.startsWith(MeetingPrefix))
        return channelName.mid(MeetingPrefix.size());
    return channelName;
}

QString elideTileText(const QString& text, const QFontMetrics& metrics, int width)
{
    // Views show the model's '\n' as a line separator.
    const int lineBreak =
        qMax(text.lastIndexOf(QLatin1Char('\n')), text.lastIndexOf(QChar::LineSeparator));
    if (lineBreak < 0 || width <= 0)
        return text;
    // The name fits its line now; word wrapping must not break it onto a second one.
    QString name = metrics.elidedText(text.left(lineBreak), Qt::ElideRight, width);
    name.replace(QLatin1Char(' '), QChar::Nbsp);
    return name + text.mid(lineBreak);
}

MeetingListModel::MeetingListModel(QObject* parent) : QAbstractListModel(parent) {}

int MeetingListModel::rowCount(const QModelIndex& parent) const
{
    if (parent.isValid())
        return 0;
    return m_meetings.size() + m_extraItems.size();
}

QVariant MeetingListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() < 0 || index.row() >= rowCount())
        return QVariant();
    const int row = index.row();
    if (row >= m_meetings.size())
        return m_extraItems.at(row - m_meetings.size()).value(role);

    const QJsonObject& meeting = m_meetings.at(row);
    const QString name = meeting.value(QStringLiteral("CHANNEL_NAME")).toString();
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
    case Qt::ToolTipRole:
        return tr("%1\n(%2)").arg(meetingShortName(name)).arg(m_counts.value(row));
    case Qt::DecorationRole:
        if (!meeting.value(QStringLiteral("CHANNEL_PASSWORD")).toString().isEmpty())
            return QPixmap(QStringLiteral(":/images/room_lock.png"));
        return QPixmap(QStringLiteral(":/images/room.png"));
    case Qt::FontRole: {
        QFont font;
        font.setPixelSize(18);
        return font;
    }
    case Qt::TextAlignmentRole:
        return int(Qt::AlignCenter);
    case Qt::ForegroundRole:
        return QBrush(Qt::blue);
    case ChannelNameRole:
        return name;
    case IsExtraRole:
        return false;
    default:
        return QVariant();
    }
}

bool MeetingListModel::setMeetings(const QList<QJsonObject>& meetings)
{
    if (meetings == m_meetings)
        return false;
    beginResetModel();
    m_meetings = meetings;
    m_counts = countMembers();
    endResetModel();
    return true;
}

void MeetingListModel::updateCounts()
{
    const QVector<int> counts = countMembers();
    for (int row = 0; row < counts.size(); ++row) {
        if (counts.at(row) == m_counts.at(row))
            continue;
        m_counts[row] = counts.at(row);
        emit dataChanged(index(row), index(row), {Qt::DisplayRole, Qt::EditRole, Qt::ToolTipRole});
    }
}

QVector<int> MeetingListModel::countMembers() const
{
    TsSDKClient* client = TsSDKClient::instance();
    // One channel list for all rows; a name given twice counts as its first channel.
    const QMap<quint64, QString> channels = client->channelList();
    QHash<QString, quint64> ids;
    for (auto it = channels.cbegin(); it != channels.cend(); ++it) {
        if (!ids.contains(it.value()))
            ids.insert(it.value(), it.key());
    }
    QVector<int> counts;
    counts.reserve(m_meetings.size());
    for (const QJsonObject& meeting : m_meetings) {
        const quint64 channel = ids.value(meeting.value(QStringLiteral("CHANNEL_NAME")).toString());
        counts.append(channel == 0 ? 0 : client->channelClientList(channel).size());
    }
    return counts;
}

void MeetingListModel::appendExtraItem(const QMap<int, QVariant>& item)
{
    const int row = rowCount();
    beginInsertRows(QModelIndex(), row, row);
    m_extraItems.append(item);
    endInsertRows();
}

QMap<int, QVariant> MeetingListModel::newMeetingItem()
{
    QMap<int, QVariant> item;
    item.insert(Qt::DecorationRole, QPixmap(QStringLiteral(":/images/create_room.png")));
    item.insert(Qt::ToolTipRole, tr("New Meeting"));
    item.insert(Qt::DisplayRole, tr("New Meeting"));
    item.insert(IsExtraRole, true);
    item.insert(ExtraIdRole, QStringLiteral("New Meeting"));
    return item;
}

} // namespace MeetingSupport

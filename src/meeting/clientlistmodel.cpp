// SPDX-License-Identifier: MIT
#include "clientlistmodel.h"

#include <QIcon>

namespace MeetingSupport {

ClientListModel::ClientListModel(QObject* parent) : QAbstractListModel(parent) {}

int ClientListModel::rowCount(const QModelIndex& parent) const
{
    if (parent.isValid())
        return 0;
    return m_extraItems.size() + m_clients.size();
}

QVariant ClientListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() < 0 || index.row() >= rowCount())
        return QVariant();
    const int row = index.row();
    if (row < m_extraItems.size())
        return m_extraItems.at(row).value(role);

    const ClientEntry& client = m_clients.at(row - m_extraItems.size());
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
        return client.nickname;
    case Qt::DecorationRole:
        // Anywhere but the lobby counts as a meeting, an unknown channel (0) too.
        if (client.channelID == LobbyChannelID)
            return QIcon(QStringLiteral(":/images/normal.png"));
        return QIcon(QStringLiteral(":/images/meetting.png"));
    case ChannelIdRole:
        return QVariant::fromValue<quint64>(client.channelID);
    case IsExtraRole:
        return false;
    default:
        return QVariant();
    }
}

bool ClientListModel::setClients(const QVector<ClientEntry>& clients)
{
    if (clients == m_clients)
        return false;
    beginResetModel();
    m_clients = clients;
    endResetModel();
    return true;
}

void ClientListModel::appendExtraItem(const QMap<int, QVariant>& item)
{
    const int row = m_extraItems.size();
    beginInsertRows(QModelIndex(), row, row);
    m_extraItems.append(item);
    endInsertRows();
}

} // namespace MeetingSupport

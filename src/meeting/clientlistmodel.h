// SPDX-License-Identifier: MIT
#pragma once

#include <QAbstractListModel>
#include <QList>
#include <QMap>
#include <QString>
#include <QVariant>
#include <QVector>

namespace MeetingSupport {

// One client on the server: its nickname and the channel it is in (0 when unknown).
struct ClientEntry
{
    QString nickname;
    quint64 channelID = 0;

    bool operator==(const ClientEntry& other) const
    {
        return nickname == other.nickname && channelID == other.channelID;
    }
    bool operator!=(const ClientEntry& other) const { return !(*this == other); }
};

// Clients as rows: fixed extra items first, then one row per client entry, in the order given.
class ClientListModel : public QAbstractListModel
{
    Q_OBJECT
public:
    enum Roles {
        ChannelIdRole = Qt::UserRole + 2, // quint64
        IsExtraRole = Qt::UserRole + 3,   // true on the extra items
        ExtraIdRole = Qt::UserRole + 4,   // names an extra item
    };

    // The lobby: the server's default channel.
    static constexpr quint64 LobbyChannelID = 1;

    explicit ClientListModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    QVector<ClientEntry> clients() const { return m_clients; }
    // Replaces the entries with a model reset, but only when they differ; true when they did.
    bool setClients(const QVector<ClientEntry>& clients);

    void appendExtraItem(const QMap<int, QVariant>& item);
    QList<QMap<int, QVariant>> extraItems() const { return m_extraItems; }

private:
    QList<QMap<int, QVariant>> m_extraItems;
    QVector<ClientEntry> m_clients;
};

} // namespace MeetingSupport

// SPDX-License-Identifier: MIT
#include "clientlistmodel.h"

#include "tsclient/tssdkclient.h"
#include "tsclient/tssdkinterface.h"

#include <QIcon>
#include <QPainter>
#include <QPixmap>
#include <QPixmapCache>
#include <QStringList>

namespace MeetingSupport {

ClientStatus readClientStatus(quint16 clientID)
{
    TsSDKClient* client = TsSDKClient::instance();
    TsSDKInterface* sdk = client->sdk();
    ClientStatus status;
    if (clientID == client->ownClientID()) {
        status.talking = sdk->getClientSelfVariableAsInt(CLIENT_FLAG_TALKING);
        status.inputMuted = sdk->getClientSelfVariableAsInt(CLIENT_INPUT_MUTED);
        status.outputMuted = sdk->getClientSelfVariableAsInt(CLIENT_OUTPUT_MUTED);
        return status;
    }
    sdk->getClientFlag(clientID, CLIENT_FLAG_TALKING, &status.talking);
    sdk->getClientFlag(clientID, CLIENT_INPUT_MUTED, &status.inputMuted);
    sdk->getClientFlag(clientID, CLIENT_OUTPUT_MUTED, &status.outputMuted);
    return status;
}

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
        return clientIcon(client.channelID, client.status);
    case Qt::ToolTipRole:
    case Qt::AccessibleDescriptionRole: {
        // What the tile's ring and badges show, in words for a tool tip and a screen reader.
        QStringList states;
        if (client.status.talking)
            states << tr("talking");
        if (client.status.inputMuted)
            states << tr("microphone off");
        if (client.status.outputMuted)
            states << tr("speakers off");
        if (states.isEmpty())
            return QVariant();
        const QString list = states.join(QStringLiteral(", "));
        return role == Qt::ToolTipRole ? QVariant(client.nickname + QStringLiteral(": ") + list)
                                       : QVariant(list);
    }
    case ChannelIdRole:
        return QVariant::fromValue<quint64>(client.channelID);
    case IsExtraRole:
        return false;
    case TalkingRole:
        return client.status.talking;
    case InputMutedRole:
        return client.status.inputMuted;
    case OutputMutedRole:
        return client.status.outputMuted;
    default:
        return QVariant();
    }
}

bool ClientListModel::setClients(const QVector<ClientEntry>& clients)
{
    if (clients != m_clients) {
        beginResetModel();
        m_clients = clients;
        endResetModel();
        return true;
    }
    // The same people in the same places: only rows whose status moved are repainted, so a
    // view keeps its selection and scroll position while someone talks.
    const int offset = m_extraItems.size();
    static const QVector<int> roles{
        Qt::DecorationRole, Qt::ToolTipRole, Qt::AccessibleDescriptionRole,
        TalkingRole,        InputMutedRole,  OutputMutedRole};
    for (int i = 0; i < clients.size(); ++i) {
        if (clients.at(i).status == m_clients.at(i).status)
            continue;
        m_clients[i].status = clients.at(i).status;
        const QModelIndex changed = index(offset + i);
        emit dataChanged(changed, changed, roles);
    }
    return false;
}

QIcon ClientListModel::clientIcon(quint64 channelID, const ClientStatus& status)
{
    // Anywhere but the lobby counts as a meeting, an unknown channel (0) too.
    const bool inLobby = channelID == LobbyChannelID;
    const QString base =
        inLobby ? QStringLiteral(":/images/normal.png") : QStringLiteral(":/images/meetting.png");
    if (status == ClientStatus())
        return QIcon(base);
    const QString key = QStringLiteral("meeting-client-%1%2%3%4")
                            .arg(int(inLobby))
                            .arg(int(status.talking))
                            .arg(int(status.inputMuted))
                            .arg(int(status.outputMuted));
    QPixmap pixmap;
    if (QPixmapCache::find(key, &pixmap))
        return QIcon(pixmap);
    constexpr int Size = 64;
    pixmap = QPixmap(Size, Size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawPixmap(0, 0, QIcon(base).pixmap(Size, Size));
    if (status.talking)
        painter.drawPixmap(0, 0, QIcon(QStringLiteral(":/images/talking.png")).pixmap(Size, Size));
    // Badges in the lower corners: microphone left, speakers right.
    const int badge = Size / 2;
    if (status.inputMuted)
        painter.drawPixmap(0, Size - badge,
                           QIcon(QStringLiteral(":/images/muted_microphone.png")).pixmap(badge));
    if (status.outputMuted)
        painter.drawPixmap(Size - badge, Size - badge,
                           QIcon(QStringLiteral(":/images/muted_speakers.png")).pixmap(badge));
    painter.end();
    QPixmapCache::insert(key, pixmap);
    return QIcon(pixmap);
}

void ClientListModel::appendExtraItem(const QMap<int, QVariant>& item)
{
    const int row = m_extraItems.size();
    beginInsertRows(QModelIndex(), row, row);
    m_extraItems.append(item);
    endInsertRows();
}

} // namespace MeetingSupport

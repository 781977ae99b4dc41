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

namespace {

// A device that is on where the program turns it off: its pictogram on a disc like the one of
// the muted badges, ringed in green, so that it reads at the list's icon size.
QPixmap onBadge(const QString& pictogram, int size)
{
    QPixmap badge(size, size);
    badge.fill(Qt::transparent);
    QPainter painter(&badge);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const qreal pen = size / 12.0;
    painter.setPen(QPen(QColor(0x4e, 0x9a, 0x06), pen));
    painter.setBrush(Qt::white);
    painter.drawEllipse(QRectF(pen / 2, pen / 2, size - pen, size - pen));
    const int inner = size * 3 / 4;
    painter.drawPixmap((size - inner) / 2, (size - inner) / 2, QIcon(pictogram).pixmap(inner));
    return badge;
}

} // namespace

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

ClientListModel::ClientListModel(QObject* parent, Marking marking)
    : QAbstractListModel(parent), m_marking(marking)
{}

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
        return clientIcon(client.channelID, marksOf(client));
    case Qt::ToolTipRole:
    case Qt::AccessibleDescriptionRole: {
        // What the tile's ring and badges show, in words for a tool tip and a screen reader.
        const TileMarks marks = marksOf(client);
        QStringList states;
        if (marks.ring)
            states << tr("talking");
        if (marks.microphone != DeviceMark::None)
            states << (marks.microphone == DeviceMark::Off ? tr("microphone off")
                                                           : tr("microphone on"));
        if (marks.speakers != DeviceMark::None)
            states << (marks.speakers == DeviceMark::Off ? tr("speakers off") : tr("speakers on"));
        if (client.status.sharing)
            states << tr("sharing the screen");
        if (client.status.controlling)
            states << tr("controlling a shared screen");
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
    case SharingRole:
        return client.status.sharing;
    case ControllingRole:
        return client.status.controlling;
    case ClientIdRole:
        return QVariant::fromValue<quint16>(client.clientID);
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
        TalkingRole,        InputMutedRole,  OutputMutedRole,
        SharingRole,        ControllingRole};
    for (int i = 0; i < clients.size(); ++i) {
        if (clients.at(i).status == m_clients.at(i).status)
            continue;
        m_clients[i].status = clients.at(i).status;
        const QModelIndex changed = index(offset + i);
        emit dataChanged(changed, changed, roles);
    }
    return false;
}

TileMarks ClientListModel::marksOf(const ClientEntry& client) const
{
    const ClientStatus& status = client.status;
    TileMarks marks;
    marks.sharing = status.sharing;
    if (m_marking == Marking::Members) {
        marks.ring = status.talking;
        marks.microphone = status.inputMuted ? DeviceMark::Off : DeviceMark::None;
        marks.speakers = status.outputMuted ? DeviceMark::Off : DeviceMark::None;
        return marks;
    }
    // The lobby mutes everyone in it, a meeting unmutes its members.
    const bool mutedHere = client.channelID == LobbyChannelID;
    const auto departure = [mutedHere](bool muted) {
        if (muted == mutedHere)
            return DeviceMark::None;
        return muted ? DeviceMark::Off : DeviceMark::On;
    };
    marks.microphone = departure(status.inputMuted);
    marks.speakers = departure(status.outputMuted);
    return marks;
}

QIcon ClientListModel::clientIcon(quint64 channelID, const TileMarks& marks)
{
    // Anywhere but the lobby counts as a meeting, an unknown channel (0) too.
    const bool inLobby = channelID == LobbyChannelID;
    const QString base =
        inLobby ? QStringLiteral(":/images/normal.png") : QStringLiteral(":/images/meetting.png");
    if (marks.isPlain())
        return QIcon(base);
    const QString key = QStringLiteral("meeting-client-%1%2%3%4%5")
                            .arg(int(inLobby))
                            .arg(int(marks.ring))
                            .arg(int(marks.microphone))
                            .arg(int(marks.speakers))
                            .arg(int(marks.sharing));
    QPixmap pixmap;
    if (QPixmapCache::find(key, &pixmap))
        return QIcon(pixmap);
    constexpr int Size = 64;
    pixmap = QPixmap(Size, Size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawPixmap(0, 0, QIcon(base).pixmap(Size, Size));
    if (marks.ring)
        painter.drawPixmap(0, 0, QIcon(QStringLiteral(":/images/talking.png")).pixmap(Size, Size));
    // Badges in the lower corners: microphone left, speakers right; struck through when off.
    const int badge = Size / 2;
    if (marks.microphone != DeviceMark::None)
        painter.drawPixmap(
            0, Size - badge,
            marks.microphone == DeviceMark::Off
                ? QIcon(QStringLiteral(":/images/muted_microphone.png")).pixmap(badge)
                : onBadge(QStringLiteral(":/qml/images/micro_o.png"), badge));
    if (marks.speakers != DeviceMark::None)
        painter.drawPixmap(Size - badge, Size - badge,
                           marks.speakers == DeviceMark::Off
                               ? QIcon(QStringLiteral(":/images/muted_speakers.png")).pixmap(badge)
                               : onBadge(QStringLiteral(":/qml/images/volume_o.png"), badge));
    // A shared screen in the upper right corner.
    if (marks.sharing)
        painter.drawPixmap(Size - badge, 0,
                           QIcon(QStringLiteral(":/images/sharing_screen.png")).pixmap(badge));
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

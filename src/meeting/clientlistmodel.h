// SPDX-License-Identifier: MIT
#pragma once

#include <QAbstractListModel>
#include <QIcon>
#include <QList>
#include <QMap>
#include <QString>
#include <QVariant>
#include <QVector>

namespace MeetingSupport {

// What others can tell of a client's voice right now.
struct ClientStatus
{
    bool talking = false;
    bool inputMuted = false;  // the microphone is off
    bool outputMuted = false; // the speakers are off
    bool sharing = false;     // shares their screen with the meeting
    bool controlling = false; // controls a member's shared screen

    bool operator==(const ClientStatus& other) const
    {
        return talking == other.talking && inputMuted == other.inputMuted &&
               outputMuted == other.outputMuted && sharing == other.sharing &&
               controlling == other.controlling;
    }
    bool operator!=(const ClientStatus& other) const { return !(*this == other); }
};

// The status of a client as the voice layer mirrors it; the own client's from its own flags.
// The talking state is known only of members of the own channel.
ClientStatus readClientStatus(quint16 clientID);

// One client on the server: its nickname, the channel it is in (0 when unknown) and its ID
// (0 when not known). The status changes all the time and is not part of what makes two
// entries the same client.
struct ClientEntry
{
    QString nickname;
    quint64 channelID = 0;
    ClientStatus status = {};
    quint16 clientID = 0;

    bool operator==(const ClientEntry& other) const
    {
        return nickname == other.nickname && channelID == other.channelID &&
               clientID == other.clientID;
    }
    bool operator!=(const ClientEntry& other) const { return !(*this == other); }
};

// What a tile shows of a device beside the client's place.
enum class DeviceMark {
    None,
    Off, // a badge: the microphone or speakers are off
    On,  // a badge: they are on
};

// The marks on a client's tile: the ring while it is heard, a badge per device, one for a share.
struct TileMarks
{
    bool ring = false;
    DeviceMark microphone = DeviceMark::None;
    DeviceMark speakers = DeviceMark::None;
    bool sharing = false; // a badge: shares their screen

    bool isPlain() const
    {
        return !ring && microphone == DeviceMark::None && speakers == DeviceMark::None && !sharing;
    }
};

// Clients as rows: fixed extra items first, then one row per client entry, in the order given.
class ClientListModel : public QAbstractListModel
{
    Q_OBJECT
public:
    // Which states a tile marks.
    enum class Marking {
        // A meeting's members: who is heard, and each microphone or speakers that are off.
        Members,
        // The people online: only a device that departs from what the program sets where its
        // owner is. The lobby turns both off, so there a badge says a device is on; in a
        // meeting both are on, so there it says a device is off.
        Departures,
    };
    enum Roles {
        ChannelIdRole = Qt::UserRole + 2, // quint64
        IsExtraRole = Qt::UserRole + 3,   // true on the extra items
        ExtraIdRole = Qt::UserRole + 4,   // names an extra item
        TalkingRole = Qt::UserRole + 5,   // bool
        InputMutedRole = Qt::UserRole + 6,
        OutputMutedRole = Qt::UserRole + 7,
        SharingRole = Qt::UserRole + 8,     // bool: shares their screen
        ControllingRole = Qt::UserRole + 9, // bool: controls a shared screen
        ClientIdRole = Qt::UserRole + 10,   // quint16
    };

    // The lobby: the server's default channel.
    static constexpr quint64 LobbyChannelID = 1;

    explicit ClientListModel(QObject* parent = nullptr, Marking marking = Marking::Members);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    QVector<ClientEntry> clients() const { return m_clients; }
    // Replaces the entries with a model reset, but only when they differ; true when they did.
    // When only statuses changed, just those rows are announced as changed.
    bool setClients(const QVector<ClientEntry>& clients);

    // What the tile of this client marks, by the model's marking.
    TileMarks marksOf(const ClientEntry& client) const;
    // The tile of a client: its place (lobby or meeting), ringed while it is heard, with a
    // small badge per marked device, and one for a shared screen.
    static QIcon clientIcon(quint64 channelID, const TileMarks& marks);

    void appendExtraItem(const QMap<int, QVariant>& item);
    QList<QMap<int, QVariant>> extraItems() const { return m_extraItems; }

private:
    const Marking m_marking;
    QList<QMap<int, QVariant>> m_extraItems;
    QVector<ClientEntry> m_clients;
};

} // namespace MeetingSupport

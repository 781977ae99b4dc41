// SPDX-License-Identifier: MIT
#pragma once

#include "chatmessage.h"
#include "filetransfer.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

namespace MeetingSupport {

class TeamSpeak3ServerInterfacePrivate;

// One shared file as the voice server lists it.
struct FileEntry
{
    QString name;
    QString path; // the directory the list was asked for
    quint64 size = 0;
    quint64 incompleteSize = 0; // bytes still missing
    quint64 dateTime = 0;
    int type = 0;

    // {"file_name", "file_path", "file_size", "incomplete_size", "date_time", "type"}, the three
    // large numbers as decimal strings.
    QJsonObject toJson() const;
    // Name, size, date and type; the path and the missing bytes do not count.
    bool operator==(const FileEntry& other) const;
    bool operator!=(const FileEntry& other) const { return !(*this == other); }
};

// The engine behind one chat pane: sends chat messages as voice-server texts and turns received
// ones back into messages, keeps the room's list of shared files in step with the server,
// uploads, downloads and deletes them with notices to the others, reports members coming and
// going, and toggles the own microphone and speakers.
//
// Room set-up (both strings empty): messages go to the own channel and the files live in
// "/<channel>/files". Case set-up: messages go to the peer, the files live in "/<case>/files",
// and the chat history is kept in "data/message/<case>.json" beside the program and uploaded
// to "/<case>/data" when the engine ends.
class TeamSpeak3ServerInterface : public QObject
{
    Q_OBJECT
public:
    explicit TeamSpeak3ServerInterface(const QString& caseUuid = QString(),
                                       const QString& peerName = QString());
    ~TeamSpeak3ServerInterface() override;

    // The header of an outgoing message: now, and sender and receiver by the client role.
    MessageInfo makeInfo() const;
    // Asks the server for the shared-file list again.
    void updateCaseFiles();

    QList<ChatMessage> history() const;
    int memberCount() const;
    QString caseUuid() const;
    QString peerName() const;
    QString sharedFilesPath() const;
    QString dataPath() const;
    // The last complete shared-file list, as filesChanged sent it.
    QJsonArray files() const;

    // "data/message" in the program's directory, with its "images" folder created; empty when
    // it cannot be created.
    static QString messageCacheDirectory();
    // At most this many chat messages are kept in the history, taking at most this much on the
    // wire together (so that the saved history can be read again); older ones go first.
    static constexpr int MaxHistory = 1000;
    static constexpr qint64 MaxHistoryBytes = 48 * 1024 * 1024;

signals:
    void started();
    void finished();
    void newMessage(const QList<ChatMessage>& messages);
    void filesChanged(const QJsonArray& arr);
    void connectStatusChanged(int status);
    void channelMemberChanged(int count);
    // A shared-file upload or download started, moved on, completed or failed; also a request
    // refused before it started (id 0, Failed).
    void transferChanged(const MeetingSupport::FileTransfer& transfer);

public slots:
    void uploadChatImages(const QStringList& filePaths);
    void downloadChatImages(const QStringList& filePaths, const QString& savePath);
    void uploadFiles(const QStringList& files);
    void downloadFiles(const QStringList& files, const QString& path);
    // True when the server was asked to delete them; the list shown then lacks them at once.
    bool deleteFiles(const QStringList& filenames);
    void enableDevice(int device_number);
    void sendMessage(const MeetingSupport::ChatMessage& message);
    void connected(bool connected);

private slots:
    void onNewMessage(QString sender_name, QString textmsg);
    void onConnectStatusChanged(int newStatus, QString msg);
    void onClientMoveMovedEvent(bool _self_moved, QString oldChannelName, QString newChannelName,
                                bool _self_mover, QString moverName);
    void onFileListEvent(QString path, QString name, qulonglong size, qulonglong datetime, int type,
                         qulonglong incompletesize);
    void onFileListFinishedEvent(QString path);
    void onFileTransferStatusEvent(ushort transferID, uint status, QString statusMessage,
                                   qulonglong remotefileSize);
    void onClientMoveEvent(QString client_name, bool is_login, int visibility);

private:
    TeamSpeak3ServerInterfacePrivate* d;
    friend class TeamSpeak3ServerInterfacePrivate;
};

} // namespace MeetingSupport

// SPDX-License-Identifier: MIT
#include "teamspeak3serverinterface.h"

#include "tsclient/programfolder.h"
#include "tsclient/sdkmemory.h"
#include "tsclient/tsparameters.h"
#include "tsclient/tssdkclient.h"
#include "tsclient/tssdkinterface.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QMap>
#include <QMutex>
#include <QMutexLocker>
#include <QPair>
#include <QTimer>
#include <QVector>

#include <algorithm>

namespace MeetingSupport {

namespace {

// The engine's log: every line indented by four spaces per open "begin ... {" line.
int logDepth = 0;

QDebug logLine()
{
    QDebug line = qDebug().noquote();
    if (logDepth > 0)
        line.nospace() << QString(logDepth * 4, QLatin1Char(' '));
    return line.space();
}

void logOpen(const QString& line)
{
    logLine() << line;
    ++logDepth;
}

void logClose(const QString& line)
{
    logDepth = qMax(0, logDepth - 1);
    logLine() << line;
}

void logBegin(const QString& name)
{
    logOpen(QStringLiteral("begin %1 { ").arg(name));
}

void logEnd(const QString& name)
{
    logClose(QStringLiteral("} end %1").arg(name));
}

void logBeginLoop()
{
    logOpen(QStringLiteral("BEGIN FOREACH {"));
}

void logEndLoop()
{
    logClose(QStringLiteral("} END FOREACH"));
}

// Texts and messages may carry pictures of megabytes; the log keeps their beginning.
constexpr int LoggedLength = 2048;

QString clippedText(const QString& text)
{
    if (text.size() <= LoggedLength)
        return text;
    return text.left(LoggedLength) + QStringLiteral("... (%1 characters)").arg(text.size());
}

QString debugForm(const ChatMessage& message, int textLength)
{
    if (textLength > LoggedLength)
        return QStringLiteral("{ MessageType: %1, %2 characters on the wire }")
            .arg(int(message.type))
            .arg(textLength);
    QString form;
    QDebug(&form) << message;
    return form;
}

QString sdkErrorText(unsigned int error)
{
    char* text = nullptr;
    if (ts3client_getErrorMessage(error, &text) == ERROR_ok && text)
        return takeSdkString(text);
    return QStringLiteral("error %1").arg(error);
}

// {"result": []} and the like: a history written by a session without messages.
bool isEmptyMessageList(const QByteArray& json)
{
    const QJsonDocument document = QJsonDocument::fromJson(json);
    return document.isObject() && document.object().value(QStringLiteral("result")).isArray() &&
           document.object().value(QStringLiteral("result")).toArray().isEmpty();
}

bool isUserRole(int role)
{
    return role == 1 || role == 3;
}

// A case identifier names a local file; one that could leave the cache directory is not used.
bool isSafeFileName(const QString& name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
           !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')) &&
           !name.contains(QChar(0));
}

// Nothing valid lists more entries than the server keeps in one store.
constexpr int MaxListedFiles = 10000;
constexpr int ProgressIntervalMs = 200;

} // namespace

QJsonObject FileEntry::toJson() const
{
    return QJsonObject{{QStringLiteral("file_name"), name},
                       {QStringLiteral("file_path"), path},
                       {QStringLiteral("file_size"), QString::number(size)},
                       {QStringLiteral("incomplete_size"), QString::number(incompleteSize)},
                       {QStringLiteral("date_time"), QString::number(dateTime)},
                       {QStringLiteral("type"), type}};
}

bool FileEntry::operator==(const FileEntry& other) const
{
    return name == other.name && size == other.size && dateTime == other.dateTime &&
           type == other.type;
}

class TeamSpeak3ServerInterfacePrivate
{
public:
    explicit TeamSpeak3ServerInterfacePrivate(TeamSpeak3ServerInterface* q) : q(q) {}

    TsSDKClient* client() const { return TsSDKClient::instance(); }
    TsSDKInterface* sdk() const { return client()->sdk(); }
    quint64 ownChannel() const { return client()->channelOfClient(client()->ownClientID()); }
    int role() const { return client()->role(); }

    void startWorking();
    void setPathsFromChannel();
    quint64 transferChannel() const;
    QString channelPassword() const { return client()->parameters().channelPwd(); }
    void countMembers();
    void sendText(const QString& text);
    void sendSystemMessage(const QString& text);
    void appendHistory(const ChatMessage& message);
    QString historyFile() const;
    void loadHistory();
    void saveHistory();
    bool keepUnreadHistory(const QString& path);
    QJsonArray filesJson() const;

    // Transfers shown to the files pane.
    void startedTransfer(anyID id, const QString& name, bool upload, const QString& folder);
    void refusedTransfer(const QString& name, bool upload, const QString& folder,
                         const QString& error);
    void endTransfer(anyID id, bool complete, quint64 size, const QString& error);
    void pollProgress();

    TeamSpeak3ServerInterface* q;
    anyID peerId = 0;
    QString nickname;
    QString sharedFilesPath;
    QString dataPath;
    QString peerName;
    QString caseUuid;
    QMutex listMutex;
    QVector<FileEntry> pendingFiles;
    QVector<FileEntry> files;
    // Listings asked for and not finished yet: a new request must not cut one that is arriving.
    int listsOutstanding = 0;
    // Running shared-file uploads: where they go, for the notice at their end.
    QMap<anyID, QPair<QString, QString>> transferMap;
    QMap<anyID, FileTransfer> running;
    QTimer progressTimer;
    QList<ChatMessage> history;
    // The history file exists but was not read (too large, unreadable, not messages).
    bool historyUnread = false;
    int memberCount = 0;
};

void TeamSpeak3ServerInterfacePrivate::setPathsFromChannel()
{
    const QString channel = client()->currentChannelName();
    if (channel.isEmpty())
        return; // not in a channel yet: filled in when the own client shows up
    sharedFilesPath = QLatin1Char('/') + channel + QStringLiteral("/files");
    dataPath = QLatin1Char('/') + channel + QStringLiteral("/data");
}

quint64 TeamSpeak3ServerInterfacePrivate::transferChannel() const
{
    uint64 channel = 0;
    const unsigned int error =
        ts3client_getChannelOfClient(sdk()->handlerId(), client()->ownClientID(), &channel);
    if (error != ERROR_ok) {
        TsSDKInterface::printError(QStringLiteral("Error getting the own channel:"), error);
        return 0;
    }
    return channel;
}

void TeamSpeak3ServerInterfacePrivate::startWorking()
{
    nickname = client()->nickname();
    q->updateCaseFiles();
    emit q->started();
}

void TeamSpeak3ServerInterfacePrivate::countMembers()
{
    memberCount = client()->channelClientList(ownChannel()).size();
}

void TeamSpeak3ServerInterfacePrivate::sendText(const QString& text)
{
    if (!peerName.isEmpty() && peerId == 0 && sdk()->getClientIdByName(peerName, &peerId) != 0)
        peerId = 0;
    logLine() << "peerID:" << peerId;
    logLine() << "text:" << clippedText(text);
    client()->sendTextMessage(peerId, text);
}

void TeamSpeak3ServerInterfacePrivate::sendSystemMessage(const QString& text)
{
    logBegin(QStringLiteral("sendSystemMessage"));
    ChatMessage message(SystemMessage);
    message.package.appendText(text);
    emit q->newMessage(QList<ChatMessage>{message});
    logEnd(QStringLiteral("sendSystemMessage"));
}

void TeamSpeak3ServerInterfacePrivate::appendHistory(const ChatMessage& message)
{
    history.append(message);
    while (history.size() > TeamSpeak3ServerInterface::MaxHistory)
        history.removeFirst();
}

QString TeamSpeak3ServerInterfacePrivate::historyFile() const
{
    if (caseUuid.isEmpty())
        return QString();
    if (!isSafeFileName(caseUuid)) {
        logLine() << "The case" << caseUuid << "names no file: no history is kept.";
        return QString();
    }
    const QString directory = TeamSpeak3ServerInterface::messageCacheDirectory();
    if (directory.isEmpty())
        return QString();
    return QDir(directory).filePath(caseUuid + QStringLiteral(".json"));
}

void TeamSpeak3ServerInterfacePrivate::loadHistory()
{
    const QString path = historyFile();
    if (path.isEmpty() || !QFile::exists(path))
        return;
    // Until it is read whole, the file holds more than this session knows of: it must not be
    // replaced by this session's messages alone.
    historyUnread = true;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        logLine() << "Cannot read the history" << path << ":" << file.errorString();
        return;
    }
    if (file.size() > maxMessageDocumentBytes) {
        logLine() << "The history" << path << "is too large to read:" << file.size() << "bytes";
        return;
    }
    const QByteArray bytes = file.readAll();
    history = parseMessages(bytes);
    if (history.isEmpty() && !isEmptyMessageList(bytes)) {
        logLine() << "The history" << path << "holds no messages that can be read";
        return;
    }
    historyUnread = false;
    while (history.size() > TeamSpeak3ServerInterface::MaxHistory)
        history.removeFirst();
}

// A history that could not be read stays, under a name of its own; the session's messages
// then start a new one. When it cannot be moved, nothing is written.
bool TeamSpeak3ServerInterfacePrivate::keepUnreadHistory(const QString& path)
{
    if (!historyUnread || !QFile::exists(path))
        return true;
    const QString stamp =
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString aside = path + QLatin1Char('.') + stamp + QStringLiteral(".unread");
    for (int n = 1; QFile::exists(aside); ++n)
        aside = path + QLatin1Char('.') + stamp + QLatin1Char('-') + QString::number(n) +
                QStringLiteral(".unread");
    if (!QFile::rename(path, aside)) {
        logLine() << "Cannot move the unread history" << path << "aside: this session's messages"
                  << "are not written";
        return false;
    }
    logLine() << "The unread history" << path << "was moved to" << aside;
    historyUnread = false;
    return true;
}

void TeamSpeak3ServerInterfacePrivate::saveHistory()
{
    const QString path = historyFile();
    if (path.isEmpty() || !keepUnreadHistory(path))
        return;
    QFile file(path);
    const QByteArray bytes = serializeMessages(history);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(bytes) != bytes.size() || !file.flush()) {
        logLine() << "Cannot write the history" << path << ":" << file.errorString();
        return;
    }
    file.close();
    TsSDKClient* const voice = TsSDKClient::eventTarget();
    if (!voice || !voice->isConnected() || !isUserRole(voice->role()))
        return;
    const QFileInfo info(path);
    anyID id = 0;
    voice->sendFile(QLatin1Char('/') + caseUuid + QStringLiteral("/data/") + info.fileName(),
                    info.absolutePath() + QDir::separator(), &id);
}

QJsonArray TeamSpeak3ServerInterfacePrivate::filesJson() const
{
    QJsonArray array;
    for (const FileEntry& entry : files)
        array.append(entry.toJson());
    return array;
}

void TeamSpeak3ServerInterfacePrivate::startedTransfer(anyID id, const QString& name, bool upload,
                                                       const QString& folder)
{
    FileTransfer transfer;
    transfer.id = id;
    transfer.name = name;
    transfer.upload = upload;
    transfer.folder = folder;
    running.insert(id, transfer);
    emit q->transferChanged(transfer);
    if (!progressTimer.isActive())
        progressTimer.start();
}

void TeamSpeak3ServerInterfacePrivate::refusedTransfer(const QString& name, bool upload,
                                                       const QString& folder, const QString& error)
{
    FileTransfer transfer;
    transfer.name = name;
    transfer.upload = upload;
    transfer.folder = folder;
    transfer.state = FileTransfer::Failed;
    transfer.error = error;
    emit q->transferChanged(transfer);
}

void TeamSpeak3ServerInterfacePrivate::endTransfer(anyID id, bool complete, quint64 size,
                                                   const QString& error)
{
    auto it = running.find(id);
    if (it == running.end())
        return;
    FileTransfer transfer = it.value();
    running.erase(it);
    if (running.isEmpty())
        progressTimer.stop();
    transfer.state = complete ? FileTransfer::Complete : FileTransfer::Failed;
    if (complete) {
        transfer.size = size;
        transfer.done = size;
    }
    transfer.error = error;
    emit q->transferChanged(transfer);
}

void TeamSpeak3ServerInterfacePrivate::pollProgress()
{
    const uint64 handler = sdk()->handlerId();
    for (auto it = running.begin(); it != running.end(); ++it) {
        uint64 size = 0, done = 0;
        if (ts3client_getTransferFileSize(handler, it.key(), &size) != ERROR_ok ||
            ts3client_getTransferFileSizeDone(handler, it.key(), &done) != ERROR_ok)
            continue;
        if (size == it->size && done == it->done)
            continue;
        it->size = size;
        it->done = done;
        emit q->transferChanged(it.value());
    }
}

TeamSpeak3ServerInterface::TeamSpeak3ServerInterface(const QString& caseUuid,
                                                     const QString& peerName)
    : d(new TeamSpeak3ServerInterfacePrivate(this))
{
    qRegisterMetaType<FileTransfer>();
    d->caseUuid = caseUuid;
    d->peerName = peerName;
    if (!caseUuid.isEmpty()) {
        d->sharedFilesPath = QLatin1Char('/') + caseUuid + QStringLiteral("/files");
        d->dataPath = QLatin1Char('/') + caseUuid + QStringLiteral("/data");
    } else {
        d->setPathsFromChannel();
    }
    d->progressTimer.setInterval(ProgressIntervalMs);
    connect(&d->progressTimer, &QTimer::timeout, this, [this] { d->pollProgress(); });

    TsSDKClient* const client = d->client();
    connect(client, &TsSDKClient::onReceiveTextMessage, this,
            &TeamSpeak3ServerInterface::onNewMessage);
    connect(client, &TsSDKClient::onConnectStatusChanged, this,
            &TeamSpeak3ServerInterface::onConnectStatusChanged);
    connect(client, &TsSDKClient::onClientMoveMovedEvent, this,
            &TeamSpeak3ServerInterface::onClientMoveMovedEvent);
    connect(client, &TsSDKClient::onFileListEvent, this,
            &TeamSpeak3ServerInterface::onFileListEvent);
    connect(client, &TsSDKClient::onFileListFinishedEvent, this,
            &TeamSpeak3ServerInterface::onFileListFinishedEvent);
    connect(client, &TsSDKClient::onFileTransferStatusEvent, this,
            &TeamSpeak3ServerInterface::onFileTransferStatusEvent);
    connect(client, &TsSDKClient::onClientMoveEvent, this,
            &TeamSpeak3ServerInterface::onClientMoveEvent);

    if (!isUserRole(d->role())) {
        d->loadHistory();
        return;
    }
    d->startWorking();
    // A user starts muted both ways.
    for (int flag : {int(CLIENT_INPUT_MUTED), int(CLIENT_OUTPUT_MUTED)}) {
        if (!d->sdk()->getClientSelfVariableAsInt(flag))
            d->sdk()->setClientSelfVariableAsInt(flag, 1);
    }
    d->countMembers();
    d->loadHistory();
}

TeamSpeak3ServerInterface::~TeamSpeak3ServerInterface()
{
    emit finished();
    d->saveHistory();
    delete d;
}

MessageInfo TeamSpeak3ServerInterface::makeInfo() const
{
    MessageInfo info;
    info.setTime(QDateTime::currentDateTimeUtc());
    switch (d->role()) {
    case 2:
        info.setSender(d->caseUuid);
        info.setReceiver(d->peerName);
        break;
    case 1:
    case 3:
        info.setSender(d->nickname);
        info.setReceiver(d->caseUuid);
        break;
    default:
        break;
    }
    return info;
}

void TeamSpeak3ServerInterface::updateCaseFiles()
{
    if (d->sharedFilesPath.isEmpty())
        return;
    logBegin(QStringLiteral("updateCaseFiles"));
    logLine() << "case_uuid:" << d->caseUuid;
    {
        QMutexLocker locker(&d->listMutex);
        if (d->listsOutstanding == 0)
            d->pendingFiles.clear();
        if (d->client()->requestFileList(d->sharedFilesPath) == 0)
            ++d->listsOutstanding;
    }
    logEnd(QStringLiteral("updateCaseFiles"));
}

QList<ChatMessage> TeamSpeak3ServerInterface::history() const
{
    return d->history;
}

int TeamSpeak3ServerInterface::memberCount() const
{
    return d->memberCount;
}

QString TeamSpeak3ServerInterface::caseUuid() const
{
    return d->caseUuid;
}

QString TeamSpeak3ServerInterface::peerName() const
{
    return d->peerName;
}

QString TeamSpeak3ServerInterface::sharedFilesPath() const
{
    return d->sharedFilesPath;
}

QString TeamSpeak3ServerInterface::dataPath() const
{
    return d->dataPath;
}

QJsonArray TeamSpeak3ServerInterface::files() const
{
    return d->filesJson();
}

QString TeamSpeak3ServerInterface::messageCacheDirectory()
{
    // Beside the program, or the user's own when an installed program's folder is read-only.
    const QString directory = programDataFolder(QStringLiteral("data/message"));
    if (directory.isEmpty() || !QDir().mkpath(QDir(directory).filePath(QStringLiteral("images"))))
        return QString();
    return directory;
}

void TeamSpeak3ServerInterface::connected(bool connected)
{
    if (connected)
        d->startWorking();
    else
        emit finished();
}

void TeamSpeak3ServerInterface::sendMessage(const ChatMessage& message)
{
    logBegin(QStringLiteral("sendMessage"));
    const QString text = messagesToText(QList<ChatMessage>{message});
    logLine() << "msgByte:" << debugForm(message, text.size());
    if (!isUserRole(d->role()) || d->memberCount > 1) {
        d->sendText(text);
    } else if (!d->caseUuid.isEmpty()) {
        // Alone in the case: held back.
        logBegin(QStringLiteral("leaving"));
        logEnd(QStringLiteral("leaving"));
    }
    if (!d->caseUuid.isEmpty() && (message.type == TextMessage || message.type == GroupMessage))
        d->appendHistory(message);
    logEnd(QStringLiteral("sendMessage"));
}

void TeamSpeak3ServerInterface::onNewMessage(QString sender_name, QString textmsg)
{
    logBegin(QStringLiteral("NewMessage"));
    if (!d->peerName.isEmpty() && sender_name != d->peerName) {
        logEnd(QStringLiteral("NewMessage"));
        return;
    }
    const QByteArray bytes = QByteArray::fromBase64(textmsg.toUtf8(), base64Options);
    logLine() << "txt_msg:" << clippedText(QString::fromUtf8(bytes.left(LoggedLength + 1)));
    const QList<ChatMessage> messages = parseMessages(bytes);
    for (const ChatMessage& message : messages) {
        if (message.type == TextMessage || message.type == GroupMessage)
            d->appendHistory(message);
    }
    emit newMessage(messages);
    logEnd(QStringLiteral("NewMessage"));
}

void TeamSpeak3ServerInterface::onConnectStatusChanged(int newStatus, QString msg)
{
    logBegin(QStringLiteral("onConnectStatusChanged"));
    logLine() << "newStatus:" << newStatus;
    logLine() << "msg      :" << msg;
    if (newStatus == STATUS_DISCONNECTED) {
        // A listing cut by the lost connection never finishes.
        QMutexLocker locker(&d->listMutex);
        d->listsOutstanding = 0;
        d->pendingFiles.clear();
    }
    if (newStatus == STATUS_CONNECTED) {
        d->startWorking();
        if (!d->peerName.isEmpty() && d->sdk()->getClientIdByName(d->peerName, &d->peerId) != 0)
            d->peerId = 0;
        if (!msg.isEmpty()) {
            d->sendSystemMessage(msg);
            if (!d->peerName.isEmpty())
                d->sendSystemMessage(d->peerName + QStringLiteral(" - ") +
                                     tr(" Start dealing with your problems"));
        }
    }
    emit connectStatusChanged(newStatus);
    logEnd(QStringLiteral("onConnectStatusChanged"));
}

void TeamSpeak3ServerInterface::onClientMoveEvent(QString client_name, bool is_login, int)
{
    logBegin(QStringLiteral("onClientMoveEvent"));
    if (d->caseUuid.isEmpty() || d->caseUuid == client_name) {
        const QString word = is_login ? tr("login") : tr("logout");
        logLine() << "(" << client_name << word << ")";
        if (!d->peerName.isEmpty())
            d->sendSystemMessage(client_name + QStringLiteral(" - ") + word);
    }
    if (d->sharedFilesPath.isEmpty() && client_name == d->client()->nickname())
        d->setPathsFromChannel();
    d->countMembers();
    emit channelMemberChanged(d->memberCount);
    logLine() << "client_size:" << d->memberCount;
    logEnd(QStringLiteral("onClientMoveEvent"));
}

void TeamSpeak3ServerInterface::onClientMoveMovedEvent(bool _self_moved, QString,
                                                       QString newChannelName, bool,
                                                       QString moverName)
{
    if (_self_moved && !d->peerName.isEmpty())
        d->peerName = moverName;
    onClientMoveEvent(moverName, !newChannelName.isEmpty(), 0);
}

void TeamSpeak3ServerInterface::onFileListEvent(QString path, QString name, qulonglong size,
                                                qulonglong datetime, int type,
                                                qulonglong incompletesize)
{
    logBegin(QStringLiteral("onFileListEvent"));
    logLine() << "path:" << path;
    logLine() << "name:" << name;
    logLine() << "size:" << size;
    logLine() << "incompletesize:" << incompletesize;
    logLine() << "datetime:" << datetime;
    logLine() << "type:" << type;
    // Listings of other directories of the channel (asked for by others in this program) are
    // no shared files of this room.
    if (path != d->sharedFilesPath) {
        logLine() << "not the shared files: ignored";
    } else if (d->pendingFiles.size() >= MaxListedFiles) {
        logLine() << "more than" << MaxListedFiles << "files listed: dropped";
    } else {
        FileEntry entry;
        entry.name = name;
        entry.path = path;
        entry.size = size;
        entry.incompleteSize = incompletesize;
        entry.dateTime = datetime;
        entry.type = type;
        d->pendingFiles.append(entry);
    }
    logEnd(QStringLiteral("onFileListEvent"));
}

void TeamSpeak3ServerInterface::onFileListFinishedEvent(QString path)
{
    logBegin(QStringLiteral("onFileListFinishedEvent"));
    logLine() << "path:" << path;
    if (path == d->sharedFilesPath) {
        {
            QMutexLocker locker(&d->listMutex);
            d->listsOutstanding = qMax(0, d->listsOutstanding - 1);
        }
        const bool changed = d->pendingFiles != d->files;
        if (changed)
            d->files = d->pendingFiles;
        d->pendingFiles.clear();
        if (changed)
            emit filesChanged(d->filesJson());
    }
    logEnd(QStringLiteral("onFileListFinishedEvent"));
}

void TeamSpeak3ServerInterface::uploadFiles(const QStringList& files)
{
    if (d->sharedFilesPath.isEmpty()) {
        logLine() << "The target path is empty.";
        for (const QString& file : files)
            d->refusedTransfer(QFileInfo(file).fileName(), true, QFileInfo(file).absolutePath(),
                               tr("The room's shared folder is not known yet."));
        return;
    }
    logBegin(QStringLiteral("uploadFiles"));
    logLine() << "files:" << files;
    logBeginLoop();
    const quint64 channel = d->transferChannel();
    const QString password = d->channelPassword();
    for (const QString& file : files) {
        const QFileInfo local(QDir::toNativeSeparators(file));
        const QString remote = d->sharedFilesPath + QLatin1Char('/') + local.fileName();
        const QString source = local.absolutePath() + QDir::separator();
        anyID id = 0;
        const unsigned int error = d->sdk()->sendFile(channel, password, remote, source, &id);
        if (error == ERROR_ok) {
            d->transferMap.insert(id, qMakePair(d->sharedFilesPath, local.fileName()));
            logLine() << "file:" << file;
            d->startedTransfer(id, local.fileName(), true, local.absolutePath());
        } else {
            logLine() << tr("Failed to upload file %1").arg(file);
            d->refusedTransfer(local.fileName(), true, local.absolutePath(), sdkErrorText(error));
        }
    }
    logEndLoop();
    logEnd(QStringLiteral("uploadFiles"));
}

void TeamSpeak3ServerInterface::downloadFiles(const QStringList& files, const QString& path)
{
    logBegin(QStringLiteral("downloadFiles"));
    logLine() << "files:" << files;
    logLine() << "path :" << path;
    logBeginLoop();
    const quint64 channel = d->transferChannel();
    const QString password = d->channelPassword();
    for (const QString& name : files) {
        unsigned int error = ERROR_ok;
        anyID id = 0;
        // A name with a separator is no file of the shared folder; the SDK refuses the rest of
        // what could leave the chosen folder ("..", empty names, control characters).
        if (d->sharedFilesPath.isEmpty())
            error = ERROR_file_invalid_path;
        else if (name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')))
            error = ERROR_file_invalid_name;
        const QString remote = d->sharedFilesPath + QLatin1Char('/') + name;
        if (error == ERROR_ok)
            error = d->sdk()->requestFile(channel, password, remote, path, &id);
        if (error == ERROR_ok) {
            logLine() << "file     :" << remote;
            logLine() << "file_name:" << name;
            d->startedTransfer(id, name, false, path);
        } else {
            logLine() << tr("Download File(s) Failed to download file %1").arg(name);
            d->refusedTransfer(name, false, path, sdkErrorText(error));
        }
    }
    logEndLoop();
    logEnd(QStringLiteral("downloadFiles"));
}

bool TeamSpeak3ServerInterface::deleteFiles(const QStringList& filenames)
{
    if (d->sharedFilesPath.isEmpty()) {
        logLine() << "The target path is empty.";
        return false;
    }
    logBegin(QStringLiteral("deleteFiles"));
    logLine() << "filenames:" << filenames;
    QVector<FileEntry> remaining = d->files;
    QStringList remote;
    for (const QString& name : filenames) {
        logLine() << "file:" << name;
        remote << d->sharedFilesPath + QLatin1Char('/') + name;
        const auto it =
            std::find_if(remaining.begin(), remaining.end(),
                         [&name](const FileEntry& entry) { return entry.name == name; });
        if (it != remaining.end())
            remaining.erase(it);
    }
    logLine() << "files:" << remote;
    const unsigned int error =
        d->sdk()->requestDeleteFile(d->transferChannel(), d->channelPassword(), remote);
    logEnd(QStringLiteral("deleteFiles"));
    if (error != ERROR_ok)
        return false;
    d->files = remaining;
    emit filesChanged(d->filesJson());
    // The server's own list follows: a file it could not delete comes back.
    updateCaseFiles();
    return true;
}

void TeamSpeak3ServerInterface::uploadChatImages(const QStringList& filePaths)
{
    if (d->dataPath.isEmpty()) {
        logLine() << "The target path is empty.";
        return;
    }
    const quint64 channel = d->transferChannel();
    const QString password = d->channelPassword();
    for (const QString& file : filePaths) {
        const QFileInfo local(QDir::toNativeSeparators(file));
        anyID id = 0;
        if (d->sdk()->sendFile(channel, password, d->dataPath + QLatin1Char('/') + local.fileName(),
                               local.absolutePath() + QDir::separator(), &id) != ERROR_ok)
            return;
    }
}

void TeamSpeak3ServerInterface::downloadChatImages(const QStringList& filePaths,
                                                   const QString& savePath)
{
    const quint64 channel = d->transferChannel();
    const QString password = d->channelPassword();
    for (const QString& name : filePaths) {
        anyID id = 0;
        if (d->sdk()->requestFile(channel, password, d->dataPath + QLatin1Char('/') + name,
                                  savePath, &id) != ERROR_ok)
            return;
    }
}

void TeamSpeak3ServerInterface::onFileTransferStatusEvent(ushort transferID, uint status,
                                                          QString statusMessage,
                                                          qulonglong remotefileSize)
{
    logBegin(QStringLiteral("onFileTransferStatusEvent"));
    logLine() << "transferID:" << transferID;
    logLine() << "status:" << status;
    logLine() << "statusMessage:" << statusMessage;
    logLine() << "remotefileSize:" << remotefileSize;
    if (status == ERROR_file_transfer_complete) {
        int sender = -1;
        if (ts3client_isTransferSender(d->sdk()->handlerId(), transferID, &sender) != ERROR_ok)
            sender = -1;
        if (sender == 0) {
            logLine() << "download successfully";
        } else if (sender == 1) {
            logLine() << "upload successfully";
            const auto it = d->transferMap.find(transferID);
            if (it != d->transferMap.end()) {
                const QPair<QString, QString> target = it.value();
                d->transferMap.erase(it);
                if (target.first == d->sharedFilesPath) {
                    ChatMessage notice(FileMessage);
                    notice.info = makeInfo();
                    notice.package.appendFileNotice(target.second, true);
                    sendMessage(notice);
                    updateCaseFiles();
                }
            }
        } else {
            logLine() << "Unkown";
        }
        d->endTransfer(transferID, true, remotefileSize, QString());
    } else if (d->running.contains(transferID)) {
        // An upload that failed is no longer awaited; its half file leaves the server's list.
        if (d->transferMap.remove(transferID) > 0)
            updateCaseFiles();
        d->endTransfer(transferID, false, 0,
                       statusMessage.isEmpty() ? sdkErrorText(status) : statusMessage);
    }
    logEnd(QStringLiteral("onFileTransferStatusEvent"));
}

void TeamSpeak3ServerInterface::enableDevice(int device_number)
{
    logBegin(QStringLiteral("enableDevice"));
    logLine() << "device_number" << device_number;
    const bool muted = d->sdk()->getClientSelfVariableAsInt(device_number);
    d->sdk()->setClientSelfVariableAsInt(device_number, muted ? 0 : 1);
    logLine() << "muted:" << muted;
    logEnd(QStringLiteral("enableDevice"));
}

} // namespace MeetingSupport

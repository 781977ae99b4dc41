// SPDX-License-Identifier: MIT
#include "tssdkevents.h"

#include "screenframes.h"
#include "textframing.h"
#include "tsparameters.h"
#include "tssdkclient.h"
#include "tssdkinterface.h"

#include <QDebug>

namespace {

QString text(const char* utf8)
{
    return utf8 ? QString::fromUtf8(utf8) : QString();
}

quint64 ownChannel(TsSDKClient* self)
{
    return self->channelOfClient(self->ownClientID());
}

// A pointer's picture larger than this is no pointer.
constexpr int MaxCursorSide = 256;
// Error texts from the library are shown to the user: a long one is cut.
constexpr int MaxScreenErrorText = 512;

QMutex nicknameCacheMutex;
QMap<anyID, QString> nicknameCache;

} // namespace

void TsSDKEvents::fillCallbacks(ClientUIFunctions* functions)
{
    functions->onConnectStatusChangeEvent = onConnectStatusChangeEvent;
    functions->onNewChannelEvent = onNewChannelEvent;
    functions->onNewChannelCreatedEvent = onNewChannelCreatedEvent;
    functions->onDelChannelEvent = onDelChannelEvent;
    functions->onUpdateClientEvent = onUpdateClientEvent;
    functions->onClientMoveEvent = onClientMoveEvent;
    functions->onClientMoveSubscriptionEvent = onClientMoveSubscriptionEvent;
    functions->onClientMoveTimeoutEvent = onClientMoveTimeoutEvent;
    functions->onClientMoveMovedEvent = onClientMoveMovedEvent;
    functions->onServerErrorEvent = onServerErrorEvent;
    functions->onTextMessageEvent = onTextMessageEvent;
    functions->onTalkStatusChangeEvent = onTalkStatusChangeEvent;
    functions->onIgnoredWhisperEvent = onIgnoredWhisperEvent;
    functions->onServerConnectionInfoEvent = onServerConnectionInfoEvent;
    functions->onUserLoggingMessageEvent = onUserLoggingMessageEvent;
    functions->onFileTransferStatusEvent = onFileTransferStatusEvent;
    functions->onFileListEvent = onFileListEvent;
    functions->onFileListFinishedEvent = onFileListFinishedEvent;
    functions->onFileInfoEvent = onFileInfoEvent;
}

void TsSDKEvents::fillScreenCallbacks(VoiceScreenFunctions* functions)
{
    functions->onScreenShareEvent = onScreenShareEvent;
    functions->onScreenFrameEvent = onScreenFrameEvent;
    functions->onScreenCursorEvent = onScreenCursorEvent;
    functions->onScreenCursorShapeEvent = onScreenCursorShapeEvent;
    functions->onScreenControlEvent = onScreenControlEvent;
    functions->onScreenErrorEvent = onScreenErrorEvent;
}

TextFraming::Reassembler& TsSDKEvents::reassembler()
{
    static TextFraming::Reassembler instance;
    return instance;
}

QString TsSDKEvents::cachedNickname(anyID clientID, const QString& current, bool known)
{
    QMutexLocker locker(&nicknameCacheMutex);
    if (known) {
        if (!nicknameCache.contains(clientID))
            nicknameCache.insert(clientID, current);
        return current;
    }
    if (nicknameCache.contains(clientID))
        return nicknameCache.take(clientID);
    return QStringLiteral("client %1").arg(clientID);
}

void TsSDKEvents::onConnectStatusChangeEvent(uint64, int newStatus, unsigned int errorNumber)
{
    TsSDKClient* const self = TsSDKClient::eventTarget();
    if (!self)
        return;
    if (newStatus == STATUS_DISCONNECTED && errorNumber == ERROR_failed_connection_initialisation)
        qDebug() << "Looks like there is no server running.";

    QString message;
    if (newStatus == STATUS_CONNECTED) {
        qDebug() << "The server has accepted us, we can talk and hear and we got a clientID, but "
                    "we don't have the "
                    "channels and clients yet, we can get server infos (welcome msg etc.)";
        char* welcome = nullptr;
        const unsigned int error = ts3client_getServerVariableAsString(
            self->sdk()->handlerId(), VIRTUALSERVER_WELCOMEMESSAGE, &welcome);
        if (error != ERROR_ok) {
            TsSDKInterface::printError(QStringLiteral("Error getting server welcome message:"),
                                       error);
            return;
        }
        message = takeSdkString(welcome);
    }

    if (newStatus == STATUS_CONNECTED && errorNumber == ERROR_ok) {
        self->m_connected = true;
        anyID ownId = 0;
        const unsigned int error = ts3client_getClientID(self->sdk()->handlerId(), &ownId);
        if (error != ERROR_ok) {
            TsSDKInterface::printError(QStringLiteral("Error querying own client ID:"), error);
            qDebug().noquote() << QStringLiteral("Error querying own client ID: %1").arg(error);
            return;
        }
        self->m_ownClientID = ownId;
    } else if (newStatus == STATUS_DISCONNECTED || newStatus == STATUS_CONNECTING) {
        self->m_connected = false;
        // Half-received texts of the lost connection can never complete.
        reassembler().clear();
    }
    emit self->onConnectStatusChanged(newStatus, message);
}

void TsSDKEvents::onNewChannelEvent(uint64, uint64 channelID, uint64 channelParentID)
{
    TsSDKClient* const self = TsSDKClient::eventTarget();
    if (!self)
        return;
    char* name = nullptr;
    const unsigned int error = ts3client_getChannelVariableAsString(self->sdk()->handlerId(),
                                                                    channelID, CHANNEL_NAME, &name);
    if (error != ERROR_ok) {
        TsSDKInterface::printError(
            QStringLiteral("Error getting channel name in onNewChannelEvent:"), error);
        return;
    }
    takeSdkString(name);
    emit self->onNewChannelEvent(channelID, channelParentID);
}

void TsSDKEvents::onNewChannelCreatedEvent(uint64, uint64 channelID, uint64 channelParentID,
                                           anyID invokerID, const char*, const char*)
{
    TsSDKClient* const self = TsSDKClient::eventTarget();
    if (!self)
        return;
    char* name = nullptr;
    if (ts3client_getChannelVariableAsString(self->sdk()->handlerId(), channelID, CHANNEL_NAME,
                                             &name) != ERROR_ok)
        return;
    takeSdkString(name);

    if (invokerID == self->ownClientID())
        self->sdk()->moveClient(self->ownClientID(), channelID, self->parameters().channelPwd());
    emit self->onNewChannelCreatedEvent(channelID, channelParentID);
    if (self->role() == 1) {
        const unsigned int error =
            ts3client_requestChannelSubscribeAll(self->sdk()->handlerId(), nullptr);
        if (error != ERROR_ok)
            TsSDKInterface::printError(QStringLiteral("Error request channel subscribe all:"),
                                       error);
    }
}

void TsSDKEvents::onDelChannelEvent(uint64, uint64 channelID, anyID, const char*, const char*)
{
    TsSDKClient* const self = TsSDKClient::eventTarget();
    if (!self)
        return;
    emit self->onDelChannelEvent(channelID);
}

void TsSDKEvents::onUpdateClientEvent(uint64, anyID clientID, anyID, const char*, const char*)
{
    TsSDKClient* const self = TsSDKClient::eventTarget();
    if (!self)
        return;
    QString name;
    if (self->sdk()->getClientNickname(clientID, &name) == ERROR_ok)
        emit self->onUpdateClientEvent(name);
}

void TsSDKEvents::onClientMoveEvent(uint64, anyID clientID, uint64, uint64 newChannelID,
                                    int visibility, const char*)
{
    TsSDKClient* const self = TsSDKClient::eventTarget();
    if (!self)
        return;
    const quint64 own = ownChannel(self);
    QString name;
    const bool known = self->sdk()->getClientNickname(clientID, &name) == ERROR_ok;
    const bool isLogin = known && newChannelID == own;
    name = cachedNickname(clientID, name, known);
    emit self->onClientMoveEvent(name, isLogin, visibility);
}

void TsSDKEvents::onClientMoveSubscriptionEvent(uint64, anyID clientID, uint64, uint64,
                                                int visibility)
{
    TsSDKClient* const self = TsSDKClient::eventTarget();
    if (!self)
        return;
    QString name;
    if (self->sdk()->getClientNickname(clientID, &name) == ERROR_ok)
        emit self->onClientMoveSubscriptionEvent(name, visibility);
}

void TsSDKEvents::onClientMoveTimeoutEvent(uint64, anyID clientID, uint64, uint64, int,
                                           const char* timeoutMessage)
{
    TsSDKClient* const self = TsSDKClient::eventTarget();
    if (!self)
        return;
    QString name;
    if (self->sdk()->getClientNickname(clientID, &name) == ERROR_ok)
        emit self->onClientMoveTimeoutEvent(name, text(timeoutMessage));
}

void TsSDKEvents::onClientMoveMovedEvent(uint64, anyID clientID, uint64 oldChannelID,
                                         uint64 newChannelID, int, anyID moverID,
                                         const char* moverName, const char* moverUniqueIdentifier,
                                         const char* moveMessage)
{
    TsSDKClient* const self = TsSDKClient::eventTarget();
    if (!self)
        return;
    qDebug().noquote() << "Mover:" << text(moverName);
    qDebug().noquote() << "Mover unique identifier:" << text(moverUniqueIdentifier);
    qDebug().noquote() << "Move message:" << text(moveMessage);
    QString oldName, newName;
    if (self->sdk()->getChannelName(oldChannelID, &oldName) != ERROR_ok ||
        self->sdk()->getChannelName(newChannelID, &newName) != ERROR_ok)
        return;
    const anyID own = self->ownClientID();
    emit self->onClientMoveMovedEvent(clientID == own, oldName, newName, moverID == own,
                                      text(moverName));
}

void TsSDKEvents::onServerErrorEvent(uint64, const char* errorMessage, unsigned int error,
                                     const char*, const char* extraMessage)
{
    TsSDKClient* const self = TsSDKClient::eventTarget();
    if (!self)
        return;
    emit self->onServerErrorEvent(text(errorMessage), text(extraMessage));
    if (error == ERROR_server_text_not_delivered)
        emit self->textNotDelivered(text(extraMessage));
}

void TsSDKEvents::onTextMessageEvent(uint64, anyID targetMode, anyID toID, anyID fromID,
                                     const char* fromName, const char*, const char* message)
{
    TsSDKClient* const self = TsSDKClient::eventTarget();
    if (!self)
        return;
    QString complete;
    if (!reassembler().feed(fromID, text(message), &complete))
        return;
    const anyID own = self->ownClientID();
    if (fromID == own)
        return;
    const bool forUs = (targetMode == TextMessageTarget_CLIENT && toID == own) ||
                       targetMode == TextMessageTarget_CHANNEL ||
                       targetMode == TextMessageTarget_SERVER;
    if (forUs)
        emit self->onReceiveTextMessage(text(fromName), complete);
}

void TsSDKEvents::onTalkStatusChangeEvent(uint64, int status, int isReceivedWhisper, anyID clientID)
{
    TsSDKClient* const self = TsSDKClient::eventTarget();
    if (!self)
        return;
    QString name;
    if (self->sdk()->getClientNickname(clientID, &name) != ERROR_ok)
        return;
    emit self->onTalkStatusChangeEvent(name,
                                       status == STATUS_TALKING ? QStringLiteral("starts talking.")
                                                                : QStringLiteral("stops talking."),
                                       isReceivedWhisper);
}

void TsSDKEvents::onIgnoredWhisperEvent(uint64 handler, anyID clientID)
{
    TsSDKClient* const self = TsSDKClient::eventTarget();
    if (!self)
        return;
    const unsigned int error = ts3client_allowWhispersFrom(handler, clientID);
    if (error != ERROR_ok)
        TsSDKInterface::printError(QStringLiteral("Error setting client on whisper allow list:"),
                                   error);
}

void TsSDKEvents::onServerConnectionInfoEvent(uint64) {}

void TsSDKEvents::onUserLoggingMessageEvent(const char* logMessage, int logLevel, const char*,
                                            uint64, const char* logTime,
                                            const char* completeLogString)
{
    TsSDKClient* const self = TsSDKClient::eventTarget();
    if (!self)
        return;
    emit self->onUserLoggingMessageEvent(logLevel, text(logMessage), text(logTime),
                                         text(completeLogString));
    if (logLevel == LogLevel_CRITICAL)
        qDebug().noquote() << text(completeLogString);
}

void TsSDKEvents::onFileTransferStatusEvent(anyID transferID, unsigned int status,
                                            const char* statusMessage, uint64 remotefileSize,
                                            uint64)
{
    TsSDKClient* const self = TsSDKClient::eventTarget();
    if (!self)
        return;
    emit self->onFileTransferStatusEvent(transferID, status, text(statusMessage), remotefileSize);
}

void TsSDKEvents::onFileListEvent(uint64, uint64 channelID, const char* path, const char* name,
                                  uint64 size, uint64 datetime, int type, uint64 incompletesize,
                                  const char*)
{
    TsSDKClient* const self = TsSDKClient::eventTarget();
    if (!self)
        return;
    if (channelID == ownChannel(self))
        emit self->onFileListEvent(text(path), text(name), size, datetime, type, incompletesize);
}

void TsSDKEvents::onFileListFinishedEvent(uint64, uint64 channelID, const char* path)
{
    TsSDKClient* const self = TsSDKClient::eventTarget();
    if (!self)
        return;
    if (channelID == ownChannel(self))
        emit self->onFileListFinishedEvent(text(path));
}

void TsSDKEvents::onFileInfoEvent(uint64, uint64 channelID, const char* name, uint64 size,
                                  uint64 datetime)
{
    TsSDKClient* const self = TsSDKClient::eventTarget();
    if (!self)
        return;
    if (channelID == ownChannel(self))
        emit self->onFileInfoEvent(text(name), size, datetime);
}

void TsSDKEvents::onScreenShareEvent(uint64, anyID clientID, int sharing, int width, int height)
{
    TsSDKClient* const self = TsSDKClient::eventTarget();
    if (!self)
        return;
    emit self->onScreenShareEvent(clientID, sharing != 0, sharing ? QSize(width, height) : QSize());
}

void TsSDKEvents::onScreenFrameEvent(uint64, anyID clientID, unsigned int frameNumber, int width,
                                     int height, int stride, const unsigned char* pixels,
                                     unsigned int)
{
    TsSDKClient* const self = TsSDKClient::eventTarget();
    if (!self)
        return;
    // The one copy of the frame, scaled for its viewer; the GUI thread only paints it.
    if (self->screenFrames()->deliver(clientID, frameNumber, width, height, stride, pixels))
        emit self->onScreenFrameReady(clientID);
}

void TsSDKEvents::onScreenCursorEvent(uint64, anyID clientID, int x, int y, int visible)
{
    TsSDKClient* const self = TsSDKClient::eventTarget();
    if (!self)
        return;
    emit self->onScreenCursorEvent(clientID, QPoint(x, y), visible != 0);
}

void TsSDKEvents::onScreenCursorShapeEvent(uint64, anyID clientID, int width, int height, int hotX,
                                           int hotY, const unsigned char* pixels)
{
    TsSDKClient* const self = TsSDKClient::eventTarget();
    if (!self)
        return;
    if (!pixels || width <= 0 || height <= 0 || width > MaxCursorSide || height > MaxCursorSide) {
        qDebug() << "Dropping a pointer shape of" << width << "x" << height << "from client"
                 << clientID;
        return;
    }
    // Copied: the pixels are the library's only during the call.
    const QImage shape =
        QImage(pixels, width, height, width * 4, QImage::Format_ARGB32_Premultiplied).copy();
    emit self->onScreenCursorShapeEvent(clientID, shape, QPoint(hotX, hotY));
}

void TsSDKEvents::onScreenControlEvent(uint64, anyID sharerID, anyID controllerID, int open)
{
    TsSDKClient* const self = TsSDKClient::eventTarget();
    if (!self)
        return;
    emit self->onScreenControlEvent(sharerID, controllerID, open != 0);
}

void TsSDKEvents::onScreenErrorEvent(uint64, anyID clientID, unsigned int error,
                                     const char* message)
{
    TsSDKClient* const self = TsSDKClient::eventTarget();
    if (!self)
        return;
    emit self->onScreenErrorEvent(clientID, error, text(message).left(MaxScreenErrorText));
}

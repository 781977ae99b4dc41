// SPDX-License-Identifier: MIT
#pragma once

#include "sounddevice.h"
#include "voicesdk.h"

#include <QImage>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QPoint>
#include <QSize>
#include <QStringList>

#include <atomic>
#include <memory>

class ScreenFrames;
class TsParameters;
class TsSDKInterface;

// The voice client as the program sees it: a process-wide singleton that owns the SDK wrapper
// and the connection parameters, knows the own client ID, turns the SDK's events into signals
// (emitted on the SDK's thread, received queued on the GUI thread) and offers the server
// operations.
class TsSDKClient : public QObject
{
    Q_OBJECT
public:
    // Created on first use, which must happen on the GUI thread before any connection starts.
    static TsSDKClient* instance();
    ~TsSDKClient() override;

    TsSDKInterface* sdk() const { return m_sdk.get(); }
    // Watched screens' frames on their way from the SDK's thread to the viewers.
    ScreenFrames* screenFrames() const { return m_screenFrames.get(); }

    // The client for the SDK's event handlers: null before it exists and once it is being
    // destroyed, so a late event neither creates it anew nor touches it half torn down.
    static TsSDKClient* eventTarget();

    int connectToServer(const TsParameters& params);
    int disconnectFromServer();

    bool isConnected() const { return m_connected; }
    anyID ownClientID() const { return m_ownClientID; }
    void setOwnClientID(anyID id) { m_ownClientID = id; }
    int role() const { return m_role; }
    void setRole(int role) { m_role = role; }
    TsParameters parameters() const;
    QString nickname() const;

    // Queries.
    quint64 channelOfClient(anyID clientID);
    QString currentChannelName();
    QMap<anyID, QString> clientList();
    QMap<anyID, QString> channelClientList(quint64 channelID);
    QMap<quint64, QString> channelList();
    quint64 channelIdByName(const QString& name);

    // Commands.
    int moveToChannel(const QString& channelName, const QString& password);
    bool deleteChannel(const QString& name);
    int requestSubscribeAll();
    int sendTextMessage(anyID receiverID, const QString& text);
    static bool sendTextMessageTo(const QString& receiverName, const QString& text);

    // The own channel's file store.
    int sendFile(const QString& file, const QString& sourceDirectory, anyID* transferID);
    int requestFileList(const QString& path);
    int requestCreateDirectory(const QString& path);

    // Sound systems and devices.
    QStringList captureModeList();
    QStringList playbackModeList();
    QList<SoundDevice> captureDeviceList(const QString& mode);
    QList<SoundDevice> playbackDeviceList(const QString& mode);
    QString currentCaptureMode();
    QString currentPlaybackMode();
    QString currentCaptureDeviceName();
    QString currentPlaybackDeviceName();

signals:
    void onConnectStatusChanged(int newStatus, QString msg);
    void onNewChannelEvent(quint64 channelID, quint64 channelParentID);
    void onNewChannelCreatedEvent(quint64 channelID, quint64 channelParentID);
    void onDelChannelEvent(quint64 channelID);
    void onReceiveTextMessage(QString name, QString msg);
    void onTalkStatusChangeEvent(QString name, QString status, int isReceivedWhisper);
    void onUpdateClientEvent(QString name);
    void onClientMoveEvent(QString name, bool is_login, int visibility);
    void onClientMoveMovedEvent(bool _self_moved, QString oldChannelName, QString newChannelName,
                                bool _self_mover, QString moverName);
    void onClientMoveSubscriptionEvent(QString name, int visibility);
    void onClientMoveTimeoutEvent(QString name, QString timeoutMessage);
    void onServerErrorEvent(QString errorMsg, QString extraMsg);
    // The server could not deliver a text of ours to every recipient (its instances lost touch
    // for too long); where names the channel or client it was for.
    void textNotDelivered(QString where);
    void onUserLoggingMessageEvent(int logLevel, QString logMsg, QString logTime,
                                   QString completeLogString);
    void onFileInfoEvent(QString name, quint64 size, quint64 datetime);
    void onFileListFinishedEvent(QString path);
    void onFileListEvent(QString path, QString name, quint64 size, quint64 datetime, int type,
                         quint64 incompletesize);
    void onFileTransferStatusEvent(quint16 transferID, quint32 status, QString statusMessage,
                                   quint64 remotefileSize);

    // Live screens in the own channel (the own client's share included).
    void onScreenShareEvent(quint16 clientID, bool sharing, QSize size);
    // A frame of a watched share waits in screenFrames(); told once until it is taken.
    void onScreenFrameReady(quint16 clientID);
    void onScreenCursorEvent(quint16 clientID, QPoint position, bool visible);
    void onScreenCursorShapeEvent(quint16 clientID, QImage shape, QPoint hotSpot);
    void onScreenControlEvent(quint16 sharerID, quint16 controllerID, bool open);
    void onScreenErrorEvent(quint16 clientID, quint32 error, QString message);

private:
    TsSDKClient();
    friend class TsSDKEvents;

    std::atomic<anyID> m_ownClientID{0};
    std::atomic<bool> m_connected{false};
    std::atomic<int> m_role{2};
    std::unique_ptr<ScreenFrames> m_screenFrames;
    std::unique_ptr<TsSDKInterface> m_sdk;
    std::unique_ptr<TsParameters> m_parameters;
    // The parameters are read by the SDK's thread too.
    mutable QMutex m_parametersMutex;
};

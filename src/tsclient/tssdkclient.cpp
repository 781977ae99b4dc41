// SPDX-License-Identifier: MIT
#include "tssdkclient.h"

#include "screenframes.h"
#include "textframing.h"
#include "tsparameters.h"
#include "tssdkinterface.h"

#include <QCoreApplication>
#include <QDebug>

#include <atomic>
#include <cstdio>

namespace {

std::atomic<TsSDKClient*> theInstance{nullptr};
std::atomic<bool> shuttingDown{false};

// The voice client goes down with the application object, while Qt is still fully alive, rather
// than among the static destructors at exit.
void destroyInstance()
{
    shuttingDown = true;
    delete theInstance.load();
    theInstance = nullptr;
}

QStringList modeList(unsigned int (*list)(char***))
{
    char** raw = nullptr;
    if (list(&raw) != ERROR_ok || !raw)
        return {};
    const SdkPtr<char*> modes(raw);
    QStringList result;
    for (char** mode = modes.get(); *mode; ++mode) {
        std::printf("Mode: %s\n", *mode);
        result << takeSdkString(*mode);
    }
    return result;
}

QList<SoundDevice> deviceList(unsigned int (*list)(const char*, char****), const QString& mode,
                              const char* what)
{
    char*** raw = nullptr;
    if (list(toSdkString(mode), &raw) != ERROR_ok || !raw) {
        std::printf("Error getting %s device list\n", what);
        return {};
    }
    const SdkPtr<char**> devices(raw);
    const char* const direction = what[0] == 'p' ? "Playback" : "Capture";
    QList<SoundDevice> result;
    for (char*** entry = devices.get(); *entry; ++entry) {
        const SdkPtr<char*> pair(*entry);
        std::printf("%s device name: %s\n", direction, pair.get()[0]);
        std::printf("%s device ID: %s\n", direction, pair.get()[1]);
        SoundDevice device;
        device.setName(takeSdkString(pair.get()[0]));
        device.setId(takeSdkString(pair.get()[1]));
        device.setMode(mode);
        result << device;
    }
    return result;
}

} // namespace

TsSDKClient* TsSDKClient::instance()
{
    if (!theInstance && !shuttingDown) {
        auto* client = new TsSDKClient();
        client->m_parameters = std::make_unique<TsParameters>();
        client->m_screenFrames = std::make_unique<ScreenFrames>();
        theInstance = client;
        // The SDK's handlers may run as soon as the library is up; they find the client set.
        client->m_sdk = std::make_unique<TsSDKInterface>();
        qAddPostRoutine(destroyInstance);
    }
    return theInstance;
}

TsSDKClient* TsSDKClient::eventTarget()
{
    return shuttingDown ? nullptr : theInstance.load();
}

TsSDKClient::TsSDKClient() = default;

TsSDKClient::~TsSDKClient()
{
    shuttingDown = true;
    if (m_sdk) {
        m_sdk->disconnectFromServer();
        // Ends the SDK's thread while this object and the wrapper are still whole.
        m_sdk->tearDown();
    }
}

int TsSDKClient::connectToServer(const TsParameters& params)
{
    TsParameters stored;
    {
        QMutexLocker locker(&m_parametersMutex);
        *m_parameters = params;
        stored = *m_parameters;
    }
    m_role = stored.supporter().isEmpty() ? 1 : 2;
    const unsigned int error = m_sdk->connectToServer(stored);
    if (error != ERROR_ok) {
        // Refused before it began (a port out of range in the server file): no status event
        // follows from the SDK, so report the failed connection as it would.
        QMetaObject::invokeMethod(
            this, [this] { emit onConnectStatusChanged(STATUS_DISCONNECTED, QString()); },
            Qt::QueuedConnection);
    }
    return int(error);
}

int TsSDKClient::disconnectFromServer()
{
    m_ownClientID = 0;
    return int(m_sdk->disconnectFromServer());
}

TsParameters TsSDKClient::parameters() const
{
    QMutexLocker locker(&m_parametersMutex);
    return *m_parameters;
}

QString TsSDKClient::nickname() const
{
    return parameters().nickname();
}

quint64 TsSDKClient::channelOfClient(anyID clientID)
{
    uint64 channel = 0;
    const unsigned int error = ts3client_getChannelOfClient(m_sdk->handlerId(), clientID, &channel);
    if (error != ERROR_ok) {
        TsSDKInterface::printError(QString(), error);
        return 0;
    }
    return channel;
}

QString TsSDKClient::currentChannelName()
{
    const quint64 channel = channelOfClient(m_ownClientID);
    QString name;
    if (channel == 0 || m_sdk->getChannelName(channel, &name) != ERROR_ok)
        return QString();
    return name;
}

QMap<anyID, QString> TsSDKClient::clientList()
{
    QMap<anyID, QString> clients;
    if (m_sdk->getClientList(&clients) != ERROR_ok)
        return {};
    return clients;
}

QMap<anyID, QString> TsSDKClient::channelClientList(quint64 channelID)
{
    QMap<anyID, QString> clients;
    if (m_sdk->getChannelClientList(channelID, &clients) != ERROR_ok)
        return {};
    return clients;
}

QMap<quint64, QString> TsSDKClient::channelList()
{
    QMap<quint64, QString> channels;
    if (m_sdk->getChannelList(&channels) != ERROR_ok)
        return {};
    return channels;
}

quint64 TsSDKClient::channelIdByName(const QString& name)
{
    const QMap<quint64, QString> channels = channelList();
    for (auto it = channels.cbegin(); it != channels.cend(); ++it)
        if (it.value() == name)
            return it.key();
    return 0;
}

int TsSDKClient::moveToChannel(const QString& channelName, const QString& password)
{
    const quint64 id = channelIdByName(channelName);
    if (id == 0 || id == channelOfClient(m_ownClientID))
        return 0;
    return int(m_sdk->moveClient(m_ownClientID, id, password));
}

bool TsSDKClient::deleteChannel(const QString& name)
{
    quint64 id = 0;
    if (name == currentChannelName()) {
        id = channelOfClient(m_ownClientID);
    } else {
        id = channelIdByName(name);
        if (id == 0)
            return false;
    }
    const unsigned int error = ts3client_requestChannelDelete(m_sdk->handlerId(), id, 1, nullptr);
    if (error != ERROR_ok) {
        TsSDKInterface::printError(QStringLiteral("Error requesting channel delete:"), error);
        return false;
    }
    return true;
}

int TsSDKClient::requestSubscribeAll()
{
    const unsigned int error = ts3client_requestChannelSubscribeAll(m_sdk->handlerId(), nullptr);
    if (error != ERROR_ok)
        TsSDKInterface::printError(QStringLiteral("Error request channel subscribe all:"), error);
    return int(error);
}

int TsSDKClient::sendTextMessage(anyID receiverID, const QString& text)
{
    const bool privately = receiverID != 0 && (m_role == 1 || m_role == 3);
    auto send = [&](const QString& piece) -> unsigned int {
        if (privately)
            return m_sdk->sendPrivateTextMessage(receiverID, piece);
        return m_sdk->sendChannelTextMessage(channelOfClient(m_ownClientID), piece);
    };
    for (const QString& piece : TextFraming::frame(text)) {
        if (const unsigned int error = send(piece))
            return int(error);
    }
    return 0;
}

bool TsSDKClient::sendTextMessageTo(const QString& receiverName, const QString& text)
{
    TsSDKClient* self = instance();
    anyID receiver = 0;
    if (!receiverName.isEmpty() &&
        self->m_sdk->getClientIdByName(receiverName, &receiver) != ERROR_ok)
        receiver = 0;
    return self->sendTextMessage(receiver, text) == 0;
}

int TsSDKClient::sendFile(const QString& file, const QString& sourceDirectory, anyID* transferID)
{
    return int(m_sdk->sendFile(channelOfClient(m_ownClientID), parameters().channelPwd(), file,
                               sourceDirectory, transferID));
}

int TsSDKClient::requestFileList(const QString& path)
{
    return int(
        m_sdk->requestFileList(channelOfClient(m_ownClientID), parameters().channelPwd(), path));
}

int TsSDKClient::requestCreateDirectory(const QString& path)
{
    return int(m_sdk->requestCreateDirectory(channelOfClient(m_ownClientID),
                                             parameters().channelPwd(), path));
}

QStringList TsSDKClient::captureModeList()
{
    return modeList(ts3client_getCaptureModeList);
}

QStringList TsSDKClient::playbackModeList()
{
    return modeList(ts3client_getPlaybackModeList);
}

QList<SoundDevice> TsSDKClient::captureDeviceList(const QString& mode)
{
    return deviceList(ts3client_getCaptureDeviceList, mode, "capture");
}

QList<SoundDevice> TsSDKClient::playbackDeviceList(const QString& mode)
{
    return deviceList(ts3client_getPlaybackDeviceList, mode, "playback");
}

QString TsSDKClient::currentCaptureMode()
{
    char* mode = nullptr;
    if (ts3client_getCurrentCaptureMode(m_sdk->handlerId(), &mode) != ERROR_ok)
        return QString();
    return takeSdkString(mode);
}

QString TsSDKClient::currentPlaybackMode()
{
    char* mode = nullptr;
    if (ts3client_getCurrentPlayBackMode(m_sdk->handlerId(), &mode) != ERROR_ok)
        return QString();
    return takeSdkString(mode);
}

QString TsSDKClient::currentCaptureDeviceName()
{
    char* name = nullptr;
    int isDefault = 0;
    if (ts3client_getCurrentCaptureDeviceName(m_sdk->handlerId(), &name, &isDefault) != ERROR_ok)
        return QString();
    return takeSdkString(name);
}

QString TsSDKClient::currentPlaybackDeviceName()
{
    char* name = nullptr;
    int isDefault = 0;
    if (ts3client_getCurrentPlaybackDeviceName(m_sdk->handlerId(), &name, &isDefault) != ERROR_ok)
        return QString();
    return takeSdkString(name);
}

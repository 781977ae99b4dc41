// SPDX-License-Identifier: MIT
#include "tssdkinterface.h"

#include "errors.h"
#include "programfolder.h"
#include "tsparameters.h"
#include "tssdkevents.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// The identity as the SDK made it; presented on every connection of the process.
char identityBuffer[1024];
const char* const IdentityFile = "identity.txt";

RylSystem::AssertionError invalidOperation()
{
    return RylSystem::AssertionError(
        QCoreApplication::translate("RylSystem::RylApplication", "Invalid Operation"));
}

// Runs an SDK query that hands out a string and takes the string over.
template <typename Query, typename... Args>
unsigned int queryString(QString* out, Query query, Args... args)
{
    char* raw = nullptr;
    const unsigned int error = query(args..., &raw);
    if (error == ERROR_ok)
        *out = takeSdkString(raw);
    return error;
}

// The SDK's answer to a call, logged with message when the call failed.
unsigned int logFailure(unsigned int error, const QString& message)
{
    if (error != ERROR_ok)
        TsSDKInterface::printError(message, error);
    return error;
}

} // namespace

void TsSDKInterface::printError(const QString& message, unsigned int error)
{
    if (error != ERROR_ok) {
        char* text = nullptr;
        if (ts3client_getErrorMessage(error, &text) == ERROR_ok && text) {
            qDebug().noquote() << message + takeSdkString(text);
            return;
        }
    }
    qDebug().noquote() << message;
}

QString TsSDKInterface::errorMessage(unsigned int error)
{
    char* text = nullptr;
    if (ts3client_getErrorMessage(error, &text) != ERROR_ok)
        return QString();
    return takeSdkString(text);
}

TsSDKInterface::TsSDKInterface()
{
    initClientLib();

    const unsigned int error = ts3client_spawnNewServerConnectionHandler(0, &m_handlerId);
    if (error != ERROR_ok) {
        printError(QStringLiteral("Error spawning server connection handler:"), error);
        m_handlerId = 0;
    }
    openDefaultDevices();
    loadIdentity();
}

TsSDKInterface::~TsSDKInterface()
{
    tearDown();
}

void TsSDKInterface::tearDown()
{
    if (m_tornDown)
        return;
    m_tornDown = true;
    disconnectFromServer();
    logFailure(ts3client_destroyServerConnectionHandler(m_handlerId),
               QStringLiteral("Error destroying client library:"));
    logFailure(ts3client_destroyClientLib(), QStringLiteral("Failed to destroy client library:"));
}

unsigned int TsSDKInterface::initClientLib()
{
    ClientUIFunctions functions;
    std::memset(&functions, 0, sizeof functions);
    TsSDKEvents::fillCallbacks(&functions);

    QString resources = QDir::fromNativeSeparators(QCoreApplication::applicationDirPath());
    if (!resources.endsWith(QDir::separator()))
        resources += QDir::separator();
    // Beside the program, or the user's own when an installed program's folder is read-only.
    QString logs = programDataFolder(QStringLiteral("logs"));
    if (logs.isEmpty())
        logs = resources + QStringLiteral("logs");
    qDebug().noquote() << QStringLiteral("resource path: %1").arg(resources);

    const unsigned int error =
        logFailure(ts3client_initClientLib(
                       &functions, nullptr, LogType_FILE | LogType_CONSOLE | LogType_USERLOGGING,
                       logs.toUtf8().constData(), resources.toUtf8().constData()),
                   QStringLiteral("Error initializing server library:"));
    if (error != ERROR_ok)
        return error;
    VoiceScreenFunctions screens;
    std::memset(&screens, 0, sizeof screens);
    TsSDKEvents::fillScreenCallbacks(&screens);
    // Without them the program still talks and chats; screens just do not show.
    logFailure(voicescreen_setCallbacks(&screens),
               QStringLiteral("Error registering the screen callbacks:"));
    return error;
}

namespace {

// The SDK calls and log texts of one direction (capture or playback).
struct DeviceDirection
{
    const char* name; // "capture" or "playback"
    unsigned int (*defaultMode)(char**);
    unsigned int (*defaultDevice)(const char*, char***);
    unsigned int (*open)(uint64, const char*, const char*);
};

// Opens the default device of the default mode; false (after logging) on any failure.
bool openDefaultDevice(uint64 handler, const DeviceDirection& direction)
{
    const QString what = QString::fromLatin1(direction.name);
    char* rawMode = nullptr;
    unsigned int error = direction.defaultMode(&rawMode);
    SdkPtr<char> mode(rawMode);
    if (error != ERROR_ok) {
        TsSDKInterface::printError(QStringLiteral("Error getting default %1 mode:").arg(what),
                                   error);
        return false;
    }
    qDebug().noquote() << QStringLiteral("Default %1 mode:").arg(what)
                       << QString::fromUtf8(mode.get());

    char** rawDevice = nullptr;
    error = direction.defaultDevice(mode.get(), &rawDevice);
    if (error != ERROR_ok) {
        TsSDKInterface::printError(QStringLiteral("Error getting default %1 device:").arg(what),
                                   error);
        return false;
    }
    SdkPtr<char*> pair(rawDevice);
    SdkPtr<char> name(rawDevice[0]), id(rawDevice[1]);
    qDebug().noquote() << QStringLiteral("Default %1 device: %2 %3")
                              .arg(what, QString::fromUtf8(name.get()),
                                   QString::fromUtf8(id.get()));

    error = direction.open(handler, mode.get(), id.get());
    if (error != ERROR_ok) {
        TsSDKInterface::printError(QStringLiteral("Error opening %1 device:").arg(what), error);
        return false;
    }
    return true;
}

} // namespace

int TsSDKInterface::openDefaultDevices()
{
    static const DeviceDirection capture{"capture", ts3client_getDefaultCaptureMode,
                                         ts3client_getDefaultCaptureDevice,
                                         ts3client_openCaptureDevice};
    static const DeviceDirection playback{"playback", ts3client_getDefaultPlayBackMode,
                                          ts3client_getDefaultPlaybackDevice,
                                          ts3client_openPlaybackDevice};
    int failures = 0;
    for (const DeviceDirection* direction : {&capture, &playback})
        failures += openDefaultDevice(m_handlerId, *direction) ? 0 : 1;
    return failures;
}

const char* TsSDKInterface::identity()
{
    return identityBuffer;
}

int TsSDKInterface::readIdentity()
{
    QFile file(QString::fromLatin1(IdentityFile));
    if (!file.exists()) {
        // The first start here: not a failure, though the caller goes on the same way.
        qDebug() << "No identity yet in 'identity.txt': creating one.";
        return 1;
    }
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        qDebug() << "Could not open file 'identity.txt' for reading.";
        return 1;
    }
    const qint64 read = file.readLine(identityBuffer, sizeof identityBuffer);
    if (read < 0) {
        identityBuffer[0] = '\0';
        qDebug() << "Error reading identity from file 'identity.txt'.";
        return 1;
    }
    return 0;
}

int TsSDKInterface::writeIdentity()
{
    QFile file(QString::fromLatin1(IdentityFile));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        qDebug() << "Could not open file 'identity.txt' for writing.";
        return 1;
    }
    const qint64 length = qint64(std::strlen(identityBuffer));
    if (file.write(identityBuffer, length) != length || !file.flush()) {
        qDebug() << "Error writing identity to file 'identity.txt'.";
        return 1;
    }
    return 0;
}

unsigned int TsSDKInterface::loadIdentity()
{
    if (readIdentity() == 0)
        return ERROR_ok;

    char* raw = nullptr;
    const unsigned int error = ts3client_createIdentity(&raw);
    SdkPtr<char> created(raw);
    if (error != ERROR_ok) {
        printError(QStringLiteral("Error creating identity:"), error);
        return error;
    }
    if (std::strlen(created.get()) >= sizeof identityBuffer) {
        qDebug() << "Not enough buffer size for identity string.";
        return ERROR_undefined;
    }
    std::strcpy(identityBuffer, created.get());
    writeIdentity();
    return ERROR_ok;
}

unsigned int TsSDKInterface::connectToServer(const TsParameters& params)
{
    const SdkString host = toSdkString(params.ip());
    const SdkString nickname = toSdkString(params.nickname());
    const SdkString channelPassword = toSdkString(params.channelPwd());
    const SdkString serverPassword = toSdkString(params.serverPwd());
    // The SDK refuses ports out of range; narrowing here would connect somewhere else.
    const unsigned int port = unsigned(params.port());

    unsigned int error;
    if (!params.channel().isEmpty()) {
        const uint64 channelId = uint64(qint64(params.channelId().toInt()));
        error = ts3client_startConnectionWithChannelID(m_handlerId, identityBuffer, host, port,
                                                       nickname, channelId, channelPassword,
                                                       serverPassword);
    } else {
        error = ts3client_startConnection(m_handlerId, identityBuffer, host, port, nickname,
                                          nullptr, channelPassword, serverPassword);
    }
    if (error != ERROR_ok) {
        printError(QStringLiteral("Error connecting to server:"), error);
        return error;
    }
    char* version = nullptr;
    if (ts3client_getClientLibVersion(&version) != ERROR_ok)
        return 1;
    takeSdkString(version);
    return ERROR_ok;
}

unsigned int TsSDKInterface::disconnectFromServer()
{
    return logFailure(ts3client_stopConnection(m_handlerId, "leaving"),
                      QStringLiteral("Error stopping connection:"));
}

unsigned int TsSDKInterface::nicknamesOf(const anyID* ids, QMap<anyID, QString>* clients)
{
    unsigned int last = ERROR_ok;
    for (const anyID* id = ids; *id; ++id) {
        QString name;
        last = queryString(&name, ts3client_getClientVariableAsString, m_handlerId, *id,
                           size_t(CLIENT_NICKNAME));
        if (last != ERROR_ok) {
            printError(QStringLiteral("Error querying client nickname: %1\n").arg(*id), last);
            continue;
        }
        clients->insert(*id, name);
    }
    return last;
}

unsigned int TsSDKInterface::getClientList(QMap<anyID, QString>* clients)
{
    if (!clients)
        RYL_THROW(invalidOperation());
    anyID* raw = nullptr;
    if (const unsigned int error = logFailure(ts3client_getClientList(m_handlerId, &raw),
                                              QStringLiteral("Error getting client list:")))
        return error;
    SdkPtr<anyID> ids(raw);
    return nicknamesOf(ids.get(), clients);
}

unsigned int TsSDKInterface::getChannelClientList(quint64 channelID, QMap<anyID, QString>* clients)
{
    if (!clients)
        RYL_THROW(invalidOperation());
    anyID* raw = nullptr;
    if (const unsigned int error =
            logFailure(ts3client_getChannelClientList(m_handlerId, channelID, &raw),
                       QStringLiteral("Error getting client list for channel.")))
        return error;
    SdkPtr<anyID> ids(raw);
    return nicknamesOf(ids.get(), clients);
}

unsigned int TsSDKInterface::getChannelList(QMap<quint64, QString>* channels)
{
    if (!channels)
        RYL_THROW(invalidOperation());
    uint64* raw = nullptr;
    unsigned int error = logFailure(ts3client_getChannelList(m_handlerId, &raw),
                                    QStringLiteral("Error getting channel list:"));
    if (error != ERROR_ok)
        return error;
    SdkPtr<uint64> ids(raw);
    for (const uint64* id = ids.get(); *id; ++id) {
        QString name;
        error = queryString(&name, ts3client_getChannelVariableAsString, m_handlerId, *id,
                            size_t(CHANNEL_NAME));
        if (error == ERROR_ok)
            channels->insert(*id, name);
    }
    return error;
}

unsigned int TsSDKInterface::getClientNickname(anyID clientID, QString* name)
{
    return logFailure(queryString(name, ts3client_getClientVariableAsString, m_handlerId, clientID,
                                  size_t(CLIENT_NICKNAME)),
                      QStringLiteral("Error querying client nickname:"));
}

unsigned int TsSDKInterface::getClientFlag(anyID clientID, int flag, bool* value)
{
    QString text;
    const unsigned int error = logFailure(queryString(&text, ts3client_getClientVariableAsString,
                                                      m_handlerId, clientID, size_t(flag)),
                                          QStringLiteral("Error querying client flag:"));
    *value = error == ERROR_ok && text == QLatin1String("1");
    return error;
}

unsigned int TsSDKInterface::getChannelName(quint64 channelID, QString* name)
{
    return logFailure(queryString(name, ts3client_getChannelVariableAsString, m_handlerId,
                                  uint64(channelID), size_t(CHANNEL_NAME)),
                      QStringLiteral("Error querying channel name:"));
}

unsigned int TsSDKInterface::getClientIdByName(const QString& name, anyID* clientID)
{
    anyID* raw = nullptr;
    if (const unsigned int error = logFailure(ts3client_getClientList(m_handlerId, &raw),
                                              QStringLiteral("Error getting client list:")))
        return error;
    {
        SdkPtr<anyID> ids(raw);
        for (const anyID* id = ids.get(); *id; ++id) {
            QString nickname;
            if (queryString(&nickname, ts3client_getClientVariableAsString, m_handlerId, *id,
                            size_t(CLIENT_NICKNAME)) != ERROR_ok)
                continue;
            if (nickname == name) {
                *clientID = *id;
                return ERROR_ok;
            }
        }
    }
    // Not in the server-wide list: look through every channel's clients.
    QMap<quint64, QString> channels;
    getChannelList(&channels);
    for (auto channel = channels.cbegin(); channel != channels.cend(); ++channel) {
        QMap<anyID, QString> clients;
        getChannelClientList(channel.key(), &clients);
        for (auto client = clients.cbegin(); client != clients.cend(); ++client) {
            if (client.value() == name) {
                *clientID = client.key();
                return ERROR_ok;
            }
        }
    }
    return ERROR_client_not_found;
}

bool TsSDKInterface::getClientSelfVariableAsInt(int flag)
{
    int value = 0;
    const unsigned int error =
        ts3client_getClientSelfVariableAsInt(m_handlerId, size_t(flag), &value);
    if (error != ERROR_ok) {
        printError(QStringLiteral("Error querying client self variable:"), error);
        return false;
    }
    return value == 1;
}

unsigned int TsSDKInterface::setClientSelfVariableAsInt(int flag, int value)
{
    if (const unsigned int error =
            logFailure(ts3client_setClientSelfVariableAsInt(m_handlerId, size_t(flag), value),
                       QStringLiteral("Error set client self variable:")))
        return error;
    return logFailure(ts3client_flushClientSelfUpdates(m_handlerId, nullptr),
                      QStringLiteral("Error flushing after set client self variable:"));
}

unsigned int TsSDKInterface::createChannel(const QString& name, const QString& password)
{
    struct Property
    {
        size_t flag;
        QString value;
    };
    std::vector<Property> properties{
        {CHANNEL_NAME, name},
        {CHANNEL_TOPIC, QStringLiteral("Test channel topic")},
        {CHANNEL_DESCRIPTION, QStringLiteral("Test channel description")}};
    if (!password.isEmpty())
        properties.push_back({CHANNEL_PASSWORD, password});

    unsigned int error = ERROR_ok;
    for (const Property& property : properties) {
        error = ts3client_setChannelVariableAsString(m_handlerId, 0, property.flag,
                                                     toSdkString(property.value));
        if (error != ERROR_ok)
            break;
    }
    if (error == ERROR_ok)
        error = ts3client_setChannelVariableAsInt(m_handlerId, 0, CHANNEL_FLAG_PERMANENT, 1);
    if (error == ERROR_ok)
        error = ts3client_setChannelVariableAsInt(m_handlerId, 0, CHANNEL_FLAG_SEMI_PERMANENT, 0);
    if (error == ERROR_ok)
        error = ts3client_flushChannelCreation(m_handlerId, 0, nullptr);
    return logFailure(error, QStringLiteral("Error creating channel:"));
}

unsigned int TsSDKInterface::moveClient(anyID clientID, quint64 channelID, const QString& password)
{
    return logFailure(ts3client_requestClientMove(m_handlerId, clientID, channelID,
                                                  toSdkString(password), nullptr),
                      QStringLiteral("Error moving client into channel:"));
}

unsigned int TsSDKInterface::sendPrivateTextMessage(anyID receiverID, const QString& text)
{
    return logFailure(ts3client_requestSendPrivateTextMsg(m_handlerId, text.toUtf8().constData(),
                                                          receiverID, nullptr),
                      QStringLiteral("Error send private text message to:"));
}

unsigned int TsSDKInterface::sendChannelTextMessage(quint64 channelID, const QString& text)
{
    return logFailure(ts3client_requestSendChannelTextMsg(m_handlerId, text.toUtf8().constData(),
                                                          channelID, nullptr),
                      QStringLiteral("Error send channel text message to %1").arg(channelID));
}

unsigned int TsSDKInterface::sendFile(quint64 channelID, const QString& channelPwd,
                                      const QString& file, const QString& sourceDirectory,
                                      anyID* transferID)
{
    return logFailure(ts3client_sendFile(m_handlerId, channelID, toSdkString(channelPwd),
                                         toSdkString(file), 1, 0, toSdkString(sourceDirectory),
                                         transferID, nullptr),
                      QStringLiteral("Sending file with error."));
}

unsigned int TsSDKInterface::requestFile(quint64 channelID, const QString& channelPwd,
                                         const QString& file, const QString& destinationDirectory,
                                         anyID* transferID)
{
    return logFailure(ts3client_requestFile(m_handlerId, channelID, toSdkString(channelPwd),
                                            toSdkString(file), 1, 0,
                                            toSdkString(destinationDirectory), transferID, nullptr),
                      QStringLiteral("Receiving file with transferID error"));
}

unsigned int TsSDKInterface::requestFileList(quint64 channelID, const QString& channelPwd,
                                             const QString& path)
{
    const unsigned int error = ts3client_requestFileList(
        m_handlerId, channelID, toSdkString(channelPwd), toSdkString(path), nullptr);
    if (error != ERROR_ok)
        std::printf("Error getting channel dir: %u\n", error);
    return error;
}

unsigned int TsSDKInterface::requestDeleteFile(quint64 channelID, const QString& channelPwd,
                                               const QStringList& files)
{
    QList<QByteArray> names;
    for (const QString& file : files)
        names << file.toUtf8();
    std::vector<const char*> array;
    for (const QByteArray& name : names)
        array.push_back(name.constData());
    array.push_back(nullptr);
    const unsigned int error = ts3client_requestDeleteFile(
        m_handlerId, channelID, toSdkString(channelPwd), array.data(), nullptr);
    if (error != ERROR_ok)
        std::printf("Error deleting file: %u\n", error);
    return error;
}

unsigned int TsSDKInterface::requestCreateDirectory(quint64 channelID, const QString& channelPwd,
                                                    const QString& path)
{
    const unsigned int error = ts3client_requestCreateDirectory(
        m_handlerId, channelID, toSdkString(channelPwd), toSdkString(path), nullptr);
    if (error != ERROR_ok)
        std::printf("%u\n", error);
    return error;
}

unsigned int TsSDKInterface::openCaptureDevice(const ISoundDevice& device)
{
    if (device.id().isEmpty() || device.mode().isEmpty() || device.name().isEmpty())
        return ERROR_ok;
    return ts3client_openCaptureDevice(m_handlerId, device.mode().toUtf8().constData(),
                                       device.id().toUtf8().constData());
}

unsigned int TsSDKInterface::openPlaybackDevice(const ISoundDevice& device)
{
    if (device.id().isEmpty() || device.mode().isEmpty() || device.name().isEmpty())
        return ERROR_ok;
    return ts3client_openPlaybackDevice(m_handlerId, device.mode().toUtf8().constData(),
                                        device.id().toUtf8().constData());
}

QString TsSDKInterface::configNumber(float value)
{
    return QString::number(double(value), 'g', 6);
}

void TsSDKInterface::setVad(bool on)
{
    const unsigned int error =
        ts3client_setPreProcessorConfigValue(m_handlerId, "vad", on ? "true" : "false");
    qDebug() << "set vad:" << error;
}

void TsSDKInterface::setVadLevel(float level)
{
    const unsigned int error = ts3client_setPreProcessorConfigValue(
        m_handlerId, "voiceactivation_level", configNumber(level).toUtf8().constData());
    qDebug() << "set voiceactivation_level:" << error;
}

void TsSDKInterface::setVolumeModifier(float value)
{
    const unsigned int error = ts3client_setPlaybackConfigValue(
        m_handlerId, "volume_modifier", configNumber(value).toUtf8().constData());
    qDebug() << "set volume_modifier:" << error;
}

void TsSDKInterface::setVolumeFactorWave(float value)
{
    const unsigned int error = ts3client_setPlaybackConfigValue(
        m_handlerId, "volume_factor_wave", configNumber(value).toUtf8().constData());
    qDebug() << "set volume_factor_wave:" << error;
}

unsigned int TsSDKInterface::startScreenShare()
{
    // The display this program runs on, all of it.
    return logFailure(voicescreen_startShare(m_handlerId, nullptr, -1, 0),
                      QStringLiteral("Error starting to share the screen:"));
}

unsigned int TsSDKInterface::stopScreenShare()
{
    return logFailure(voicescreen_stopShare(m_handlerId),
                      QStringLiteral("Error stopping the screen share:"));
}

unsigned int TsSDKInterface::watchScreen(anyID sharerID, bool watch)
{
    return logFailure(
        watch ? voicescreen_watch(m_handlerId, sharerID)
              : voicescreen_unwatch(m_handlerId, sharerID),
        QStringLiteral("Error %1 screen of client %2:")
            .arg(watch ? QStringLiteral("watching the") : QStringLiteral("leaving the"))
            .arg(sharerID));
}

unsigned int TsSDKInterface::requestScreenKeyFrame(anyID sharerID)
{
    return logFailure(
        voicescreen_requestKeyFrame(m_handlerId, sharerID),
        QStringLiteral("Error asking for a whole picture of client %1's screen:").arg(sharerID));
}

unsigned int TsSDKInterface::setScreenController(anyID clientID, bool open)
{
    return logFailure(voicescreen_setController(m_handlerId, clientID, open ? 1 : 0),
                      QStringLiteral("Error handing control of the screen:"));
}

unsigned int TsSDKInterface::takeScreenControl(anyID sharerID, bool take)
{
    return logFailure(voicescreen_takeControl(m_handlerId, sharerID, take ? 1 : 0),
                      QStringLiteral("Error asking for control of a screen:"));
}

unsigned int TsSDKInterface::sendScreenInput(anyID sharerID, const ScreenInput& input)
{
    unsigned int error = ERROR_ok;
    switch (input.kind) {
    case ScreenInput::Move:
        error = voicescreen_sendMouseMove(m_handlerId, sharerID, input.a, input.b);
        break;
    case ScreenInput::Button:
        error = voicescreen_sendMouseButton(m_handlerId, sharerID, input.a, input.b);
        break;
    case ScreenInput::Wheel:
        error = voicescreen_sendWheel(m_handlerId, sharerID, input.a, input.b);
        break;
    case ScreenInput::Key:
        error = voicescreen_sendKey(m_handlerId, sharerID, input.keysym, input.b);
        break;
    case ScreenInput::Text:
        error = voicescreen_sendText(m_handlerId, sharerID, input.text.toUtf8().constData());
        break;
    }
    // Too fast is dropped by the library and said once by the caller, not per event.
    if (error != ERROR_screen_limit_reached)
        logFailure(error, QStringLiteral("Error sending input to a screen:"));
    return error;
}

unsigned int TsSDKInterface::getScreenSharers(QList<anyID>* sharers)
{
    anyID* raw = nullptr;
    if (const unsigned int error = logFailure(voicescreen_getSharingClients(m_handlerId, &raw),
                                              QStringLiteral("Error listing the shared screens:")))
        return error;
    SdkPtr<anyID> ids(raw);
    for (const anyID* id = ids.get(); id && *id; ++id)
        sharers->append(*id);
    return ERROR_ok;
}

unsigned int TsSDKInterface::getScreenShareSize(anyID sharerID, QSize* size)
{
    int width = 0;
    int height = 0;
    const unsigned int error = voicescreen_getShareSize(m_handlerId, sharerID, &width, &height);
    *size = error == ERROR_ok ? QSize(width, height) : QSize();
    return error;
}

unsigned int TsSDKInterface::getScreenController(anyID sharerID, anyID* controllerID, bool* open)
{
    int isOpen = 0;
    *controllerID = 0;
    const unsigned int error =
        voicescreen_getController(m_handlerId, sharerID, controllerID, &isOpen);
    *open = error == ERROR_ok && isOpen != 0;
    return error;
}

// SPDX-License-Identifier: MIT
#pragma once

#include "sdkmemory.h"
#include "sounddevice.h"
#include "voicesdk.h"

#include <QList>
#include <QMap>
#include <QObject>
#include <QSize>
#include <QStringList>

class TsParameters;

// One input event for a shared screen: a move to (a, b), button a pressed (b 1) or released,
// wheel steps (a right, b up), keysym pressed (b 1) or released, or text typed as it stands.
struct ScreenInput
{
    enum Kind { Move, Button, Wheel, Key, Text };
    Kind kind = Move;
    int a = 0;
    int b = 0;
    quint32 keysym = 0;
    QString text;

    bool operator==(const ScreenInput& other) const
    {
        return kind == other.kind && a == other.a && b == other.b && keysym == other.keysym &&
               text == other.text;
    }
};

// The one object that calls the voice SDK: it owns the library's lifetime in this process and the
// single connection handler, and wraps every call with the handler ID, logging failures.
class TsSDKInterface : public QObject
{
    Q_OBJECT
public:
    TsSDKInterface();
    ~TsSDKInterface() override;

    uint64 handlerId() const { return m_handlerId; }

    static void printError(const QString& message, unsigned int error);
    // The SDK's text for an error code; empty when it has none.
    static QString errorMessage(unsigned int error);

    // Start-up steps, run by the constructor.
    static unsigned int initClientLib();
    int openDefaultDevices();
    static unsigned int loadIdentity();
    static int readIdentity();
    static int writeIdentity();
    static const char* identity();

    // Stops the connection and releases the handler and the library; the destructor does it
    // when nobody did before.
    void tearDown();

    unsigned int connectToServer(const TsParameters& params);
    unsigned int disconnectFromServer();

    // Queries.
    unsigned int getClientList(QMap<anyID, QString>* clients);
    unsigned int getChannelClientList(quint64 channelID, QMap<anyID, QString>* clients);
    unsigned int getChannelList(QMap<quint64, QString>* channels);
    unsigned int getClientNickname(anyID clientID, QString* name);
    unsigned int getChannelName(quint64 channelID, QString* name);
    unsigned int getClientIdByName(const QString& name, anyID* clientID);
    bool getClientSelfVariableAsInt(int flag);
    // A flag of another client (CLIENT_FLAG_TALKING, CLIENT_INPUT_MUTED, ...) as the server
    // last announced it.
    unsigned int getClientFlag(anyID clientID, int flag, bool* value);

    // Commands.
    unsigned int setClientSelfVariableAsInt(int flag, int value);
    unsigned int createChannel(const QString& name, const QString& password);
    unsigned int moveClient(anyID clientID, quint64 channelID, const QString& password);
    unsigned int sendPrivateTextMessage(anyID receiverID, const QString& text);
    unsigned int sendChannelTextMessage(quint64 channelID, const QString& text);

    // The channel file store.
    unsigned int sendFile(quint64 channelID, const QString& channelPwd, const QString& file,
                          const QString& sourceDirectory, anyID* transferID);
    unsigned int requestFile(quint64 channelID, const QString& channelPwd, const QString& file,
                             const QString& destinationDirectory, anyID* transferID);
    unsigned int requestFileList(quint64 channelID, const QString& channelPwd, const QString& path);
    unsigned int requestDeleteFile(quint64 channelID, const QString& channelPwd,
                                   const QStringList& files);
    unsigned int requestCreateDirectory(quint64 channelID, const QString& channelPwd,
                                        const QString& path);

    // Live screens in the own channel.
    unsigned int startScreenShare();
    unsigned int stopScreenShare();
    // Starts (watch) or stops receiving sharerID's frames.
    unsigned int watchScreen(anyID sharerID, bool watch);
    // A whole new picture of a watched share, soon.
    unsigned int requestScreenKeyFrame(anyID sharerID);
    // As the sharer: control to clientID (0: to nobody), and whether the first watcher who
    // asks may take it.
    unsigned int setScreenController(anyID clientID, bool open);
    unsigned int takeScreenControl(anyID sharerID, bool take);
    unsigned int sendScreenInput(anyID sharerID, const ScreenInput& input);
    unsigned int getScreenSharers(QList<anyID>* sharers);
    unsigned int getScreenShareSize(anyID sharerID, QSize* size);
    unsigned int getScreenController(anyID sharerID, anyID* controllerID, bool* open);

    // Sound.
    unsigned int openCaptureDevice(const ISoundDevice& device);
    unsigned int openPlaybackDevice(const ISoundDevice& device);
    void setVad(bool on);
    void setVadLevel(float level);
    void setVolumeModifier(float value);
    void setVolumeFactorWave(float value);

    // Numbers go to the SDK as text with six significant digits.
    static QString configNumber(float value);

private:
    unsigned int nicknamesOf(const anyID* ids, QMap<anyID, QString>* clients);

    uint64 m_handlerId = 0;
    bool m_tornDown = false;
};

// SPDX-License-Identifier: MIT
// Connection control and requests. Each checks its arguments, queues the work to the network
// thread and returns; the outcome arrives as events.
#include "connection.h"
#include "core.h"
#include "frame.h"
#include "protocol.h"
#include "sound/sound.h"
#include "textmessagecodec.h"

#include <QCborArray>
#include <QCryptographicHash>

#include <cstring>

using namespace voicesdk;
using namespace voicesdk::protocol;

namespace {

// Texts longer than the server's limit still travel, so that the server's refusal reaches the
// caller as an event; only texts that cannot fit a frame are refused here.
constexpr int MaxRequestTextLength = 8 * limits::TextLength;

QString uniqueIdentifierOf(const QByteArray& identity)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(identity, QCryptographicHash::Sha1).toBase64());
}

unsigned int startConnection(uint64 handler, const char* identity, const char* ip,
                             unsigned int port, const char* nickname, QCborMap hello)
{
    if (!isLibraryInitialised())
        return ERROR_lib_not_initialized;
    if (!identity || !ip || !*ip || !nickname || !*nickname)
        return ERROR_parameter_missing;
    if (port == 0 || port > 65535)
        return ERROR_parameter_invalid;
    const QString name = QString::fromUtf8(nickname);
    if (name.size() > limits::NicknameLength)
        return ERROR_parameter_too_long;
    hello.insert(TypeKey, type::Hello);
    hello.insert(field::Version, Version);
    hello.insert(field::Nickname, name);
    hello.insert(field::UniqueId, uniqueIdentifierOf(identity));
    hello.insert(field::VoiceLossAware, true);
    hello.insert(field::VoiceBurstAware, true);
    return withHandler(handler, [&](HandlerState& state) -> unsigned int {
        if (state.active)
            return ERROR_connection_already_connected;
        hello.insert(field::InputMuted, state.self.inputMuted);
        hello.insert(field::OutputMuted, state.self.outputMuted);
        hello.insert(field::InputDeactivated, state.self.inputDeactivated);
        Connection::Start start;
        start.generation = ++state.generation;
        start.host = QString::fromUtf8(ip);
        start.port = quint16(port);
        start.hello = hello;
        // Only for a server started with --no-tls, in tests that read the wire.
        start.plain = qEnvironmentVariable("VOICESDK_PLAIN") == QLatin1String("1");
        if (!post([handler, start](Core& core) {
                if (Connection* connection = core.connection(handler))
                    connection->start(start);
            }))
            return ERROR_lib_not_initialized;
        state.active = true;
        return ERROR_ok;
    });
}

void addPasswords(QCborMap* hello, const char* channelPassword, const char* serverPassword)
{
    if (serverPassword)
        hello->insert(field::ServerPassword, QString::fromUtf8(serverPassword));
    if (channelPassword)
        hello->insert(field::ChannelPassword, QString::fromUtf8(channelPassword));
}

unsigned int sendText(uint64 handler, const char* message, int mode, qint64 target,
                      const char* returnCode)
{
    if (!message)
        return isLibraryInitialised() ? ERROR_parameter_missing : ERROR_lib_not_initialized;
    // Valid UTF-8 goes into the frame as it is; anything that QString would change takes the
    // generic path below, which makes the same bytes out of the rest.
    const size_t size = std::strlen(message);
    const size_t codeSize = returnCode ? std::strlen(returnCode) : 0;
    if (size <= size_t(MaxFrameSize) && codeSize <= size_t(MaxFrameSize)) {
        const Utf8View text{message, int(size)};
        const Utf8View code{returnCode, int(codeSize)};
        const int textLength = utf16LengthOfUtf8(text.data, text.size);
        const int codeLength = codeSize ? utf16LengthOfUtf8(code.data, code.size) : 0;
        if (textLength >= 0 && codeLength >= 0) {
            if (textLength > MaxRequestTextLength || codeLength > limits::ReturnCodeLength)
                return ERROR_parameter_too_long;
            return queueFrame(
                handler, encodeTextRequestFrame(mode, target, text, codeSize ? &code : nullptr));
        }
    }
    const QString text = QString::fromUtf8(message);
    if (text.size() > MaxRequestTextLength)
        return ERROR_parameter_too_long;
    return queueRequest(handler, returnCode,
                        QCborMap{{TypeKey, type::Text},
                                 {field::TargetMode, mode},
                                 {field::Target, target},
                                 {field::Message, text}});
}

} // namespace

namespace voicesdk {

unsigned int queueFrame(uint64 handler, const QByteArray& frame)
{
    if (frame.isEmpty())
        return ERROR_parameter_too_long;
    return withHandler(handler, [&](HandlerState& state) -> unsigned int {
        if (!state.mirror.connected)
            return ERROR_connection_not_connected;
        const bool queued = post([handler, frame](Core& core) {
            if (Connection* connection = core.connection(handler))
                connection->send(frame);
        });
        return queued ? ERROR_ok : ERROR_lib_not_initialized;
    });
}

unsigned int queueRequest(uint64 handler, const char* returnCode, QCborMap message)
{
    const QString code = fromUtf8(returnCode);
    if (code.size() > limits::ReturnCodeLength)
        return ERROR_parameter_too_long;
    if (!code.isEmpty())
        message.insert(field::ReturnCode, code);
    return queueFrame(handler, encodeFrame(message));
}

} // namespace voicesdk

extern "C" {

unsigned int ts3client_startConnection(uint64 serverConnectionHandlerID, const char* identity,
                                       const char* ip, unsigned int port, const char* nickname,
                                       const char** defaultChannelArray,
                                       const char* defaultChannelPassword,
                                       const char* serverPassword)
{
    QCborMap hello;
    if (defaultChannelArray && defaultChannelArray[0]) {
        QCborArray path;
        for (const char** name = defaultChannelArray; *name; ++name) {
            if (path.size() == limits::ChannelPathDepth)
                return ERROR_parameter_invalid;
            path.append(QString::fromUtf8(*name));
        }
        hello.insert(field::DefaultChannelPath, path);
    }
    addPasswords(&hello, defaultChannelPassword, serverPassword);
    return startConnection(serverConnectionHandlerID, identity, ip, port, nickname, hello);
}

unsigned int ts3client_startConnectionWithChannelID(uint64 serverConnectionHandlerID,
                                                    const char* identity, const char* ip,
                                                    unsigned int port, const char* nickname,
                                                    uint64 defaultChannelId,
                                                    const char* defaultChannelPassword,
                                                    const char* serverPassword)
{
    QCborMap hello;
    if (defaultChannelId > uint64(std::numeric_limits<qint64>::max()))
        return ERROR_parameter_invalid;
    if (defaultChannelId != 0)
        hello.insert(field::DefaultChannel, qint64(defaultChannelId));
    addPasswords(&hello, defaultChannelPassword, serverPassword);
    return startConnection(serverConnectionHandlerID, identity, ip, port, nickname, hello);
}

unsigned int ts3client_stopConnection(uint64 serverConnectionHandlerID, const char* quitMessage)
{
    const QString message = fromUtf8(quitMessage).left(limits::QuitMessageLength);
    return withHandler(serverConnectionHandlerID, [&](HandlerState& state) -> unsigned int {
        if (!state.active)
            return ERROR_connection_not_connected;
        const quint64 generation = state.generation;
        if (!post([serverConnectionHandlerID, generation, message](Core& core) {
                if (Connection* connection = core.connection(serverConnectionHandlerID))
                    connection->stop(generation, message);
            }))
            return ERROR_lib_not_initialized;
        state.active = false;
        return ERROR_ok;
    });
}

unsigned int ts3client_setClientSelfVariableAsInt(uint64 serverConnectionHandlerID, size_t flag,
                                                  int value)
{
    if (value != 0 && value != 1)
        return isLibraryInitialised() ? ERROR_parameter_invalid : ERROR_lib_not_initialized;
    const unsigned int code =
        withHandler(serverConnectionHandlerID, [&](HandlerState& state) -> unsigned int {
            switch (flag) {
            case CLIENT_INPUT_MUTED:
                state.self.inputMuted = value;
                return ERROR_ok;
            case CLIENT_OUTPUT_MUTED:
                state.self.outputMuted = value;
                return ERROR_ok;
            case CLIENT_INPUT_DEACTIVATED:
                state.self.inputDeactivated = value;
                return ERROR_ok;
            default:
                return ERROR_parameter_invalid;
            }
        });
    // The voice path rests while muted: it starts again now, not at its next look.
    if (code == ERROR_ok)
        sound::selfFlagsChanged();
    return code;
}

unsigned int ts3client_flushClientSelfUpdates(uint64 serverConnectionHandlerID,
                                              const char* returnCode)
{
    SelfFlags flags;
    const unsigned int code =
        withHandler(serverConnectionHandlerID, [&](HandlerState& state) -> unsigned int {
            flags = state.self;
            return ERROR_ok;
        });
    if (code != ERROR_ok)
        return code;
    return queueRequest(serverConnectionHandlerID, returnCode,
                        QCborMap{{TypeKey, type::SelfUpdate},
                                 {field::InputMuted, flags.inputMuted},
                                 {field::OutputMuted, flags.outputMuted},
                                 {field::InputDeactivated, flags.inputDeactivated}});
}

unsigned int ts3client_setChannelVariableAsString(uint64 serverConnectionHandlerID,
                                                  uint64 channelID, size_t flag, const char* value)
{
    const QString text = fromUtf8(value);
    return withHandler(serverConnectionHandlerID, [&](HandlerState& state) -> unsigned int {
        if (channelID != 0)
            return ERROR_not_implemented; // editing existing channels is not offered
        PendingChannel& pending = state.pending;
        switch (flag) {
        case CHANNEL_NAME:
            pending.name = text;
            return ERROR_ok;
        case CHANNEL_TOPIC:
            pending.topic = text;
            return ERROR_ok;
        case CHANNEL_DESCRIPTION:
            pending.description = text;
            return ERROR_ok;
        case CHANNEL_PASSWORD:
            pending.password = text;
            return ERROR_ok;
        case CHANNEL_FLAG_PERMANENT:
            pending.permanent = text.toInt() != 0;
            return ERROR_ok;
        case CHANNEL_FLAG_SEMI_PERMANENT:
            pending.semiPermanent = text.toInt() != 0;
            return ERROR_ok;
        default:
            return ERROR_parameter_invalid;
        }
    });
}

unsigned int ts3client_setChannelVariableAsInt(uint64 serverConnectionHandlerID, uint64 channelID,
                                               size_t flag, int value)
{
    return withHandler(serverConnectionHandlerID, [&](HandlerState& state) -> unsigned int {
        if (channelID != 0)
            return ERROR_not_implemented; // editing existing channels is not offered
        switch (flag) {
        case CHANNEL_FLAG_PERMANENT:
            state.pending.permanent = value != 0;
            return ERROR_ok;
        case CHANNEL_FLAG_SEMI_PERMANENT:
            state.pending.semiPermanent = value != 0;
            return ERROR_ok;
        default:
            return ERROR_parameter_invalid;
        }
    });
}

unsigned int ts3client_flushChannelCreation(uint64 serverConnectionHandlerID,
                                            uint64 channelParentID, const char* returnCode)
{
    if (channelParentID > uint64(std::numeric_limits<qint64>::max()))
        return ERROR_channel_invalid_id;
    PendingChannel pending;
    const unsigned int code =
        withHandler(serverConnectionHandlerID, [&](HandlerState& state) -> unsigned int {
            if (!state.mirror.connected)
                return ERROR_connection_not_connected;
            if (state.pending.name.trimmed().isEmpty())
                return ERROR_channel_invalid_name;
            pending = state.pending;
            state.pending = PendingChannel();
            return ERROR_ok;
        });
    if (code != ERROR_ok)
        return code;
    QCborMap message{{TypeKey, type::ChannelCreate},
                     {field::ParentId, qint64(channelParentID)},
                     {field::Name, pending.name},
                     {field::Topic, pending.topic},
                     {field::Description, pending.description},
                     {field::Permanent, pending.permanent},
                     {field::SemiPermanent, pending.semiPermanent}};
    if (!pending.password.isEmpty())
        message.insert(field::Password, pending.password);
    return queueRequest(serverConnectionHandlerID, returnCode, message);
}

unsigned int ts3client_requestChannelDelete(uint64 serverConnectionHandlerID, uint64 channelID,
                                            int force, const char* returnCode)
{
    if (channelID == 0 || channelID > uint64(std::numeric_limits<qint64>::max()))
        return isLibraryInitialised() ? ERROR_channel_invalid_id : ERROR_lib_not_initialized;
    return queueRequest(serverConnectionHandlerID, returnCode,
                        QCborMap{{TypeKey, type::ChannelDelete},
                                 {field::ChannelId, qint64(channelID)},
                                 {field::Force, force != 0}});
}

unsigned int ts3client_requestClientMove(uint64 serverConnectionHandlerID, anyID clientID,
                                         uint64 newChannelID, const char* password,
                                         const char* returnCode)
{
    if (newChannelID == 0 || newChannelID > uint64(std::numeric_limits<qint64>::max()))
        return isLibraryInitialised() ? ERROR_channel_invalid_id : ERROR_lib_not_initialized;
    QCborMap message{{TypeKey, type::Move},
                     {field::ClientId, clientID},
                     {field::ChannelId, qint64(newChannelID)}};
    if (password)
        message.insert(field::Password, QString::fromUtf8(password));
    return queueRequest(serverConnectionHandlerID, returnCode, message);
}

unsigned int ts3client_requestSendPrivateTextMsg(uint64 serverConnectionHandlerID,
                                                 const char* message, anyID targetClientID,
                                                 const char* returnCode)
{
    return sendText(serverConnectionHandlerID, message, TextMessageTarget_CLIENT, targetClientID,
                    returnCode);
}

unsigned int ts3client_requestSendChannelTextMsg(uint64 serverConnectionHandlerID,
                                                 const char* message, uint64 targetChannelID,
                                                 const char* returnCode)
{
    if (targetChannelID > uint64(std::numeric_limits<qint64>::max()))
        return ERROR_channel_invalid_id;
    return sendText(serverConnectionHandlerID, message, TextMessageTarget_CHANNEL,
                    qint64(targetChannelID), returnCode);
}

unsigned int ts3client_requestChannelSubscribeAll(uint64 serverConnectionHandlerID,
                                                  const char* returnCode)
{
    return queueRequest(serverConnectionHandlerID, returnCode,
                        QCborMap{{TypeKey, type::SubscribeAll}});
}

unsigned int ts3client_allowWhispersFrom(uint64 serverConnectionHandlerID, anyID)
{
    // Whispers are part of voice, which this server does not relay yet; nobody is ignored.
    return withHandler(serverConnectionHandlerID, [](HandlerState&) { return unsigned(ERROR_ok); });
}

} // extern "C"

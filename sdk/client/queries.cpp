// SPDX-License-Identifier: MIT
// Queries read the mirror under the state mutex; they never wait for the network.
#include "core.h"
#include "memory.h"

using namespace voicesdk;

namespace {

// Runs fn on a connected handler's mirror.
template <typename F> unsigned int withMirror(uint64 handler, const void* result, F&& fn)
{
    if (!result)
        return isLibraryInitialised() ? ERROR_parameter_invalid : ERROR_lib_not_initialized;
    return withHandler(handler, [&](HandlerState& state) -> unsigned int {
        if (!state.mirror.connected)
            return ERROR_connection_not_connected;
        return fn(state.mirror);
    });
}

unsigned int handOut(const QString& text, char** result)
{
    *result = dupString(text.toUtf8());
    return *result ? ERROR_ok : ERROR_out_of_memory;
}

const char* flag(bool value)
{
    return value ? "1" : "0";
}

} // namespace

extern "C" {

unsigned int ts3client_getClientID(uint64 serverConnectionHandlerID, anyID* result)
{
    return withMirror(serverConnectionHandlerID, result, [&](const ServerMirror& mirror) {
        *result = mirror.ownId;
        return unsigned(ERROR_ok);
    });
}

unsigned int ts3client_getClientList(uint64 serverConnectionHandlerID, anyID** result)
{
    return withMirror(serverConnectionHandlerID, result, [&](const ServerMirror& mirror) {
        *result = dupIdList<anyID>(mirror.clients.keys());
        return *result ? unsigned(ERROR_ok) : unsigned(ERROR_out_of_memory);
    });
}

unsigned int ts3client_getChannelClientList(uint64 serverConnectionHandlerID, uint64 channelID,
                                            anyID** result)
{
    return withMirror(serverConnectionHandlerID, result, [&](const ServerMirror& mirror) {
        if (!mirror.channels.contains(channelID))
            return unsigned(ERROR_channel_invalid_id);
        QList<anyID> ids;
        for (const ClientState& client : mirror.clients) {
            if (client.channel == channelID)
                ids.append(client.id);
        }
        *result = dupIdList<anyID>(ids);
        return *result ? unsigned(ERROR_ok) : unsigned(ERROR_out_of_memory);
    });
}

unsigned int ts3client_getChannelList(uint64 serverConnectionHandlerID, uint64** result)
{
    return withMirror(serverConnectionHandlerID, result, [&](const ServerMirror& mirror) {
        *result = dupIdList<uint64>(mirror.channels.keys());
        return *result ? unsigned(ERROR_ok) : unsigned(ERROR_out_of_memory);
    });
}

unsigned int ts3client_getChannelOfClient(uint64 serverConnectionHandlerID, anyID clientID,
                                          uint64* result)
{
    return withMirror(serverConnectionHandlerID, result, [&](const ServerMirror& mirror) {
        auto it = mirror.clients.find(clientID);
        if (it == mirror.clients.end())
            return unsigned(ERROR_client_invalid_id);
        *result = it->channel;
        return unsigned(ERROR_ok);
    });
}

unsigned int ts3client_getClientVariableAsString(uint64 serverConnectionHandlerID, anyID clientID,
                                                 size_t flagNumber, char** result)
{
    return withMirror(serverConnectionHandlerID, result, [&](const ServerMirror& mirror) {
        auto it = mirror.clients.find(clientID);
        if (it == mirror.clients.end())
            return unsigned(ERROR_client_invalid_id);
        switch (flagNumber) {
        case CLIENT_UNIQUE_IDENTIFIER:
            return handOut(it->uniqueId, result);
        case CLIENT_NICKNAME:
            return handOut(it->nickname, result);
        case CLIENT_FLAG_TALKING:
            return handOut(QLatin1String(flag(it->talking)), result);
        case CLIENT_INPUT_MUTED:
            return handOut(QLatin1String(flag(it->inputMuted)), result);
        case CLIENT_OUTPUT_MUTED:
            return handOut(QLatin1String(flag(it->outputMuted)), result);
        case CLIENT_INPUT_DEACTIVATED:
            return handOut(QLatin1String(flag(it->inputDeactivated)), result);
        default:
            return unsigned(ERROR_parameter_invalid);
        }
    });
}

unsigned int ts3client_getChannelVariableAsString(uint64 serverConnectionHandlerID,
                                                  uint64 channelID, size_t flagNumber,
                                                  char** result)
{
    return withMirror(serverConnectionHandlerID, result, [&](const ServerMirror& mirror) {
        auto it = mirror.channels.find(channelID);
        if (it == mirror.channels.end())
            return unsigned(ERROR_channel_invalid_id);
        switch (flagNumber) {
        case CHANNEL_NAME:
            return handOut(it->name, result);
        case CHANNEL_TOPIC:
            return handOut(it->topic, result);
        case CHANNEL_DESCRIPTION:
            return handOut(it->description, result);
        case CHANNEL_PASSWORD:
            return handOut(QString(), result); // never sent to clients
        case CHANNEL_FLAG_PERMANENT:
            return handOut(QLatin1String(flag(it->permanent)), result);
        case CHANNEL_FLAG_SEMI_PERMANENT:
            return handOut(QLatin1String(flag(it->semiPermanent)), result);
        case CHANNEL_FLAG_PASSWORD:
            return handOut(QLatin1String(flag(it->hasPassword)), result);
        default:
            return unsigned(ERROR_parameter_invalid);
        }
    });
}

unsigned int ts3client_getServerVariableAsString(uint64 serverConnectionHandlerID,
                                                 size_t flagNumber, char** result)
{
    return withMirror(serverConnectionHandlerID, result, [&](const ServerMirror& mirror) {
        switch (flagNumber) {
        case VIRTUALSERVER_UNIQUE_IDENTIFIER:
            return handOut(mirror.serverUniqueId, result);
        case VIRTUALSERVER_NAME:
            return handOut(mirror.serverName, result);
        case VIRTUALSERVER_WELCOMEMESSAGE:
            return handOut(mirror.welcomeMessage, result);
        default:
            return unsigned(ERROR_parameter_invalid);
        }
    });
}

unsigned int ts3client_getClientSelfVariableAsInt(uint64 serverConnectionHandlerID,
                                                  size_t flagNumber, int* result)
{
    if (!result)
        return isLibraryInitialised() ? ERROR_parameter_invalid : ERROR_lib_not_initialized;
    // Own flags are local settings, readable before and between connections.
    return withHandler(serverConnectionHandlerID, [&](HandlerState& state) -> unsigned int {
        switch (flagNumber) {
        case CLIENT_FLAG_TALKING:
            *result = state.self.talking;
            return ERROR_ok;
        case CLIENT_INPUT_MUTED:
            *result = state.self.inputMuted;
            return ERROR_ok;
        case CLIENT_OUTPUT_MUTED:
            *result = state.self.outputMuted;
            return ERROR_ok;
        case CLIENT_INPUT_DEACTIVATED:
            *result = state.self.inputDeactivated;
            return ERROR_ok;
        default:
            return ERROR_parameter_invalid;
        }
    });
}

} // extern "C"

// SPDX-License-Identifier: MIT
#pragma once

#include "library.h"

#include <QCborMap>
#include <QMap>
#include <QRecursiveMutex>
#include <QSet>
#include <QString>

#include <functional>

// Internals of the client library shared by its translation units.
namespace voicesdk {

struct ChannelState
{
    uint64 id = 0;
    uint64 parent = 0;
    QString name;
    QString topic;
    QString description;
    bool hasPassword = false;
    bool permanent = false;
    bool semiPermanent = false;
};

struct ClientState
{
    anyID id = 0;
    uint64 channel = 0;
    QString nickname;
    QString uniqueId;
    bool inputMuted = false;
    bool outputMuted = false;
    bool inputDeactivated = false;
    bool talking = false; // heard by this client now
};

// The library's copy of what the server announced; written by the network thread only.
struct ServerMirror
{
    bool connected = false; // welcome and initial state received
    anyID ownId = 0;
    QString welcomeMessage;
    QString serverName;
    QString serverUniqueId;
    QMap<uint64, ChannelState> channels;
    QMap<anyID, ClientState> clients;
};

// Properties of the channel that the next flushChannelCreation creates.
struct PendingChannel
{
    QString name;
    QString topic;
    QString description;
    QString password;
    bool permanent = false;
    bool semiPermanent = false;
};

struct SelfFlags
{
    bool inputMuted = false;
    bool outputMuted = false;
    bool inputDeactivated = false;
    bool talking = false; // sending voice now; not a flag the client sets
};

// What isTransferSender and the progress queries answer: kept from the start of a transfer
// until well after its end.
struct TransferRecord
{
    bool sender = false;
    bool finished = false;
    qint64 size = 0; // 0 until known (a download learns it from the server)
    qint64 done = 0;
    qint64 finishedAt = 0; // msecs since the epoch
};

// What the own channel's shares look like to this client (docs/protocol.md, "Screens").
struct SharedScreen
{
    int width = 0;
    int height = 0;
    anyID controller = 0;
    bool open = false;
};

struct ScreenMirror
{
    QMap<anyID, SharedScreen> shares; // the own share too, once the server confirmed it
    bool sharing = false;             // the own share runs (from the request on)
    QSet<anyID> watching;
    QList<anyID> watchers; // of the own share
};

struct HandlerState
{
    ServerMirror mirror;
    PendingChannel pending;
    SelfFlags self;
    // Set by startConnection, cleared by stopConnection or when the connection ends. The
    // generation tells a connection's end apart from a newer start.
    bool active = false;
    quint64 generation = 0;
    QMap<anyID, TransferRecord> transfers;
    anyID nextTransferId = 1;
    ScreenMirror screens;
};

class Core;

// Guards every HandlerState and the handler registry. Never held while calling a callback.
QRecursiveMutex& stateMutex();
// The handler's state, or null when it does not exist or the library is down. Needs the mutex.
HandlerState* findHandler(uint64 handler);
// The callback table; fixed while the library is initialised.
const ClientUIFunctions& callbacks();
// Queues fn to the network thread. False when the library is down.
bool post(std::function<void(Core&)> fn);
bool onNetworkThread();

// Queues an encoded request on a connected handler; an empty frame (one that could not be
// encoded within the frame limit) is ERROR_parameter_too_long.
unsigned int queueFrame(uint64 handler, const QByteArray& frame);
// Adds the return code to a request, encodes it on the caller's thread (keeping the network
// thread free for the network) and queues it.
unsigned int queueRequest(uint64 handler, const char* returnCode, QCborMap message);

void log(LogLevel level, const char* channel, const QString& message, uint64 handler = 0);
const char* errorText(unsigned int code);

// Locks, finds the handler and runs fn on it; returns its result or the error.
template <typename F> unsigned int withHandler(uint64 handler, F&& fn)
{
    QMutexLocker locker(&stateMutex());
    HandlerState* state = findHandler(handler);
    if (!state)
        return isLibraryInitialised() ? ERROR_connection_handler_invalid
                                      : ERROR_lib_not_initialized;
    return fn(*state);
}

inline QString fromUtf8(const char* text)
{
    return text ? QString::fromUtf8(text) : QString();
}

} // namespace voicesdk

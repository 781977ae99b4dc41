// SPDX-License-Identifier: MIT
#include "commandline.h"
#include "filecommands.h"
#include "screencommands.h"
#include "soundcommands.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QMutex>

#include <cstdio>
#include <unistd.h>

namespace {

constexpr int MaxLineLength = 1024 * 1024;

QJsonValue text(const char* value)
{
    return value ? QJsonValue(QString::fromUtf8(value)) : QJsonValue(QJsonValue::Null);
}

QJsonValue id(uint64 value)
{
    return double(value);
}

QString errorMessage(unsigned int code)
{
    char* message = nullptr;
    if (ts3client_getErrorMessage(code, &message) != ERROR_ok)
        return QString();
    const QString result = QString::fromUtf8(message);
    ts3client_freeMemory(message);
    return result;
}

QString stringVariable(unsigned int (*get)(uint64, anyID, size_t, char**), uint64 handler,
                       anyID client, size_t flag)
{
    char* value = nullptr;
    if (get(handler, client, flag, &value) != ERROR_ok)
        return QString();
    const QString result = QString::fromUtf8(value);
    ts3client_freeMemory(value);
    return result;
}

QString channelVariable(uint64 handler, uint64 channel, size_t flag)
{
    char* value = nullptr;
    if (ts3client_getChannelVariableAsString(handler, channel, flag, &value) != ERROR_ok)
        return QString();
    const QString result = QString::fromUtf8(value);
    ts3client_freeMemory(value);
    return result;
}

QJsonObject event(const char* name, uint64 handler)
{
    return QJsonObject{{QStringLiteral("event"), QLatin1String(name)},
                       {QStringLiteral("serverConnectionHandlerID"), id(handler)}};
}

// Callbacks: each prints its parameters under their names in the C header.
void onConnectStatusChangeEvent(uint64 h, int newStatus, unsigned int errorNumber)
{
    QJsonObject line = event("onConnectStatusChangeEvent", h);
    line.insert(QStringLiteral("newStatus"), newStatus);
    line.insert(QStringLiteral("errorNumber"), int(errorNumber));
    CommandLine::print(line);
}

void onNewChannelEvent(uint64 h, uint64 channelID, uint64 channelParentID)
{
    QJsonObject line = event("onNewChannelEvent", h);
    line.insert(QStringLiteral("channelID"), id(channelID));
    line.insert(QStringLiteral("channelParentID"), id(channelParentID));
    CommandLine::print(line);
}

void onNewChannelCreatedEvent(uint64 h, uint64 channelID, uint64 channelParentID, anyID invokerID,
                              const char* invokerName, const char* invokerUniqueIdentifier)
{
    QJsonObject line = event("onNewChannelCreatedEvent", h);
    line.insert(QStringLiteral("channelID"), id(channelID));
    line.insert(QStringLiteral("channelParentID"), id(channelParentID));
    line.insert(QStringLiteral("invokerID"), invokerID);
    line.insert(QStringLiteral("invokerName"), text(invokerName));
    line.insert(QStringLiteral("invokerUniqueIdentifier"), text(invokerUniqueIdentifier));
    line.insert(QStringLiteral("channelName"), channelVariable(h, channelID, CHANNEL_NAME));
    CommandLine::print(line);
}

void onDelChannelEvent(uint64 h, uint64 channelID, anyID invokerID, const char* invokerName,
                       const char* invokerUniqueIdentifier)
{
    QJsonObject line = event("onDelChannelEvent", h);
    line.insert(QStringLiteral("channelID"), id(channelID));
    line.insert(QStringLiteral("invokerID"), invokerID);
    line.insert(QStringLiteral("invokerName"), text(invokerName));
    line.insert(QStringLiteral("invokerUniqueIdentifier"), text(invokerUniqueIdentifier));
    CommandLine::print(line);
}

void onUpdateClientEvent(uint64 h, anyID clientID, anyID invokerID, const char* invokerName,
                         const char* invokerUniqueIdentifier)
{
    QJsonObject line = event("onUpdateClientEvent", h);
    line.insert(QStringLiteral("clientID"), clientID);
    line.insert(QStringLiteral("invokerID"), invokerID);
    line.insert(QStringLiteral("invokerName"), text(invokerName));
    line.insert(QStringLiteral("invokerUniqueIdentifier"), text(invokerUniqueIdentifier));
    for (const auto& [key, flag] :
         {std::pair<const char*, size_t>{"inputMuted", CLIENT_INPUT_MUTED},
          {"outputMuted", CLIENT_OUTPUT_MUTED},
          {"inputDeactivated", CLIENT_INPUT_DEACTIVATED}})
        line.insert(QLatin1String(key),
                    stringVariable(ts3client_getClientVariableAsString, h, clientID, flag).toInt());
    CommandLine::print(line);
}

void onClientMoveEvent(uint64 h, anyID clientID, uint64 oldChannelID, uint64 newChannelID,
                       int visibility, const char* moveMessage)
{
    QJsonObject line = event("onClientMoveEvent", h);
    line.insert(QStringLiteral("clientID"), clientID);
    line.insert(QStringLiteral("oldChannelID"), id(oldChannelID));
    line.insert(QStringLiteral("newChannelID"), id(newChannelID));
    line.insert(QStringLiteral("visibility"), visibility);
    line.insert(QStringLiteral("moveMessage"), text(moveMessage));
    CommandLine::print(line);
}

void onClientMoveSubscriptionEvent(uint64 h, anyID clientID, uint64 oldChannelID,
                                   uint64 newChannelID, int visibility)
{
    QJsonObject line = event("onClientMoveSubscriptionEvent", h);
    line.insert(QStringLiteral("clientID"), clientID);
    line.insert(QStringLiteral("oldChannelID"), id(oldChannelID));
    line.insert(QStringLiteral("newChannelID"), id(newChannelID));
    line.insert(QStringLiteral("visibility"), visibility);
    CommandLine::print(line);
}

void onClientMoveTimeoutEvent(uint64 h, anyID clientID, uint64 oldChannelID, uint64 newChannelID,
                              int visibility, const char* timeoutMessage)
{
    QJsonObject line = event("onClientMoveTimeoutEvent", h);
    line.insert(QStringLiteral("clientID"), clientID);
    line.insert(QStringLiteral("oldChannelID"), id(oldChannelID));
    line.insert(QStringLiteral("newChannelID"), id(newChannelID));
    line.insert(QStringLiteral("visibility"), visibility);
    line.insert(QStringLiteral("timeoutMessage"), text(timeoutMessage));
    CommandLine::print(line);
}

void onClientMoveMovedEvent(uint64 h, anyID clientID, uint64 oldChannelID, uint64 newChannelID,
                            int visibility, anyID moverID, const char* moverName,
                            const char* moverUniqueIdentifier, const char* moveMessage)
{
    QJsonObject line = event("onClientMoveMovedEvent", h);
    line.insert(QStringLiteral("clientID"), clientID);
    line.insert(QStringLiteral("oldChannelID"), id(oldChannelID));
    line.insert(QStringLiteral("newChannelID"), id(newChannelID));
    line.insert(QStringLiteral("visibility"), visibility);
    line.insert(QStringLiteral("moverID"), moverID);
    line.insert(QStringLiteral("moverName"), text(moverName));
    line.insert(QStringLiteral("moverUniqueIdentifier"), text(moverUniqueIdentifier));
    line.insert(QStringLiteral("moveMessage"), text(moveMessage));
    CommandLine::print(line);
}

void onServerErrorEvent(uint64 h, const char* errorMessage, unsigned int error,
                        const char* returnCode, const char* extraMessage)
{
    QJsonObject line = event("onServerErrorEvent", h);
    line.insert(QStringLiteral("errorMessage"), text(errorMessage));
    line.insert(QStringLiteral("error"), int(error));
    line.insert(QStringLiteral("returnCode"), text(returnCode));
    line.insert(QStringLiteral("extraMessage"), text(extraMessage));
    CommandLine::print(line);
}

void onTextMessageEvent(uint64 h, anyID targetMode, anyID toID, anyID fromID, const char* fromName,
                        const char* fromUniqueIdentifier, const char* message)
{
    QJsonObject line = event("onTextMessageEvent", h);
    line.insert(QStringLiteral("targetMode"), targetMode);
    line.insert(QStringLiteral("toID"), toID);
    line.insert(QStringLiteral("fromID"), fromID);
    line.insert(QStringLiteral("fromName"), text(fromName));
    line.insert(QStringLiteral("fromUniqueIdentifier"), text(fromUniqueIdentifier));
    line.insert(QStringLiteral("message"), text(message));
    CommandLine::print(line);
}

void onTalkStatusChangeEvent(uint64 h, int status, int isReceivedWhisper, anyID clientID)
{
    QJsonObject line = event("onTalkStatusChangeEvent", h);
    line.insert(QStringLiteral("status"), status);
    line.insert(QStringLiteral("isReceivedWhisper"), isReceivedWhisper);
    line.insert(QStringLiteral("clientID"), clientID);
    CommandLine::print(line);
}

QMutex g_outputMutex;

// Integer argument i, or fallback when absent; *ok turns false on a wrong type.
qint64 integer(const QJsonArray& args, int i, bool* ok, qint64 fallback = 0)
{
    if (i >= args.size())
        return fallback;
    const QJsonValue value = args.at(i);
    if (value.isBool())
        return value.toBool();
    if (!value.isDouble() || value.toDouble() != double(qint64(value.toDouble()))) {
        *ok = false;
        return fallback;
    }
    return qint64(value.toDouble());
}

QByteArray string(const QJsonArray& args, int i, bool* ok)
{
    if (i >= args.size() || args.at(i).isNull())
        return QByteArray();
    if (!args.at(i).isString()) {
        *ok = false;
        return QByteArray();
    }
    return args.at(i).toString().toUtf8();
}

struct CommandHelp
{
    const char* name;
    const char* arguments;
    const char* description;
};

// Every command with its arguments, for "help" and --help. IDs are numbers, the rest strings;
// arguments in brackets may be left out.
const CommandHelp Commands[] = {
    {"connect", "host, port, nickname[, serverPassword[, channelID[, channelPassword]]]",
     "connect to a server (status 4 in onConnectStatusChangeEvent: ready)"},
    {"disconnect", "[message]", "leave the server"},
    {"whoami", "", "the own client ID, nickname and channel ID"},
    {"clients", "", "everyone on the server with client ID, nickname and channel ID"},
    {"channels", "", "every channel with its ID, name and flags"},
    {"move", "clientID, channelID[, channelPassword]", "move yourself into a channel"},
    {"createchannel", "name, password, permanent[, parentID[, topic[, description]]]",
     "create a channel; permanent 1 keeps it when empty"},
    {"deletechannel", "channelID, force", "delete a channel; force 1 moves its clients out"},
    {"sendchannel", "message[, channelID]", "a text to the own channel"},
    {"sendprivate", "message, clientID", "a text to one client"},
    {"setflag", "flag, value",
     "an own flag: 5 microphone muted, 6 speakers muted, 10 microphone deactivated"},
    {"subscribeall", "", "subscribe to all channels"},
    {"upload", "channelID, channelPassword, file, sourceDirectory",
     "upload sourceDirectory/file to the channel's file store as file (a path there)"},
    {"download", "channelID, channelPassword, file, targetDirectory",
     "download file (a path in the store) into targetDirectory"},
    {"listfiles", "channelID, channelPassword, path", "list a folder of the channel's store"},
    {"deletefiles", "channelID, channelPassword, [path, ...]", "delete files or folders"},
    {"mkdir", "channelID, channelPassword, path", "create a folder in the channel's store"},
    {"issender", "transferID", "whether this side sends that transfer"},
    {"modes", "", "the sound systems for capture and playback"},
    {"devices", "mode", "the capture and playback devices of a sound system"},
    {"opendevice", "capture|playback, mode, deviceID", "open a sound device"},
    {"getconfig", "identifier", "a preprocessor or playback value"},
    {"setconfig", "identifier, value", "set a preprocessor or playback value"},
    {"screenshare", "\"start\"|\"stop\"[, monitor[, maxKbps]]",
     "share the X11 display of DISPLAY (monitor -1: all of it) with the own channel, or stop"},
    {"screens", "",
     "the shares in the own channel with their size and who controls them; who watches the own"},
    {"screenwatch", "clientID[, x, y]",
     "watch a share: onScreenFrame per picture, with the pixel at x, y (in the share's pixels) "
     "as probe [r, g, b]"},
    {"screenunwatch", "clientID", "stop watching a share"},
    {"screensave", "clientID, path", "write the share's last picture as PNG (absolute path)"},
    {"screencontrol", "\"grant\", clientID | \"revoke\" | \"open\"",
     "on the sharer's side: give control to a member, take it back, or let the first watcher "
     "who acts take it"},
    {"screentake", "sharerID[, 1|0]", "take control of a share (when open) or let go of it"},
    {"screeninput",
     "sharerID, \"move\", x, y | \"button\", n, 1|0 | \"wheel\", dx, dy | \"key\", "
     "keysym, 1|0 | \"text\", string",
     "input for a share you control: pixels of the share, X buttons (1 left, 3 right), wheel "
     "steps (positive up), X keysyms as numbers, text typed as it stands"},
    {"help", "", "this list"},
    {"quit", "", "disconnect and exit"},
};

// Null for an empty string: the C API takes null as "no value".
const char* orNull(const QByteArray& value)
{
    return value.isEmpty() ? nullptr : value.constData();
}

} // namespace

CommandLine::CommandLine() : m_input(STDIN_FILENO, QSocketNotifier::Read)
{
    connect(&m_input, &QSocketNotifier::activated, this, &CommandLine::readInput);
}

CommandLine::~CommandLine()
{
    finish();
}

bool CommandLine::start()
{
    ClientUIFunctions functions = {};
    functions.onConnectStatusChangeEvent = onConnectStatusChangeEvent;
    functions.onNewChannelEvent = onNewChannelEvent;
    functions.onNewChannelCreatedEvent = onNewChannelCreatedEvent;
    functions.onDelChannelEvent = onDelChannelEvent;
    functions.onUpdateClientEvent = onUpdateClientEvent;
    functions.onClientMoveEvent = onClientMoveEvent;
    functions.onClientMoveSubscriptionEvent = onClientMoveSubscriptionEvent;
    functions.onClientMoveTimeoutEvent = onClientMoveTimeoutEvent;
    functions.onClientMoveMovedEvent = onClientMoveMovedEvent;
    functions.onServerErrorEvent = onServerErrorEvent;
    functions.onTextMessageEvent = onTextMessageEvent;
    functions.onTalkStatusChangeEvent = onTalkStatusChangeEvent;
    setFileCallbacks(&functions, &CommandLine::print);
    const QByteArray logs = qgetenv("VOICE_CLI_LOG_DIR");
    unsigned int error = ts3client_initClientLib(
        &functions, nullptr, logs.isEmpty() ? LogType_NONE : LogType_FILE, orNull(logs), nullptr);
    if (error == ERROR_ok && !startScreenCommands(&CommandLine::print))
        error = ERROR_undefined;
    if (error == ERROR_ok)
        error = ts3client_spawnNewServerConnectionHandler(0, &m_handler);
    print(QJsonObject{{QStringLiteral("result"), QStringLiteral("start")},
                      {QStringLiteral("error"), int(error)},
                      {QStringLiteral("serverConnectionHandlerID"), id(m_handler)}});
    return error == ERROR_ok;
}

void CommandLine::print(const QJsonObject& line)
{
    const QByteArray bytes = QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';
    QMutexLocker lock(&g_outputMutex);
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

void CommandLine::readInput()
{
    char chunk[65536];
    const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (got <= 0) {
        // End of input: leave as "quit" would.
        m_input.setEnabled(false);
        if (!m_buffer.trimmed().isEmpty())
            execute(m_buffer);
        m_buffer.clear();
        if (!m_finished)
            execute(QByteArrayLiteral("[\"quit\"]"));
        return;
    }
    m_buffer.append(chunk, int(got));
    int newline;
    while (!m_finished && (newline = m_buffer.indexOf('\n')) >= 0) {
        const QByteArray line = m_buffer.left(newline);
        m_buffer.remove(0, newline + 1);
        if (!line.trimmed().isEmpty())
            execute(line);
    }
    if (m_buffer.size() > MaxLineLength) {
        print(QJsonObject{{QStringLiteral("result"), QJsonValue::Null},
                          {QStringLiteral("error"), int(ERROR_parameter_too_long)},
                          {QStringLiteral("message"), QStringLiteral("line too long")}});
        m_buffer.clear();
    }
}

void CommandLine::execute(const QByteArray& line)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(line, &parseError);
    const QJsonArray command = document.array();
    if (!document.isArray() || command.isEmpty() || !command.at(0).isString()) {
        print(QJsonObject{{QStringLiteral("result"), QJsonValue::Null},
                          {QStringLiteral("error"), int(ERROR_parameter_invalid)},
                          {QStringLiteral("message"),
                           QStringLiteral("expected a JSON array starting with a command")}});
        return;
    }
    const QString name = command.at(0).toString();
    QJsonObject result = run(command);
    result.insert(QStringLiteral("result"), name);
    const int error = result.value(QStringLiteral("error")).toInt();
    if (error != ERROR_ok && !result.contains(QStringLiteral("message")))
        result.insert(QStringLiteral("message"), errorMessage(unsigned(error)));
    print(result);
    if (name == QLatin1String("quit"))
        QCoreApplication::quit();
}

QJsonObject CommandLine::run(const QJsonArray& line)
{
    const QString command = line.at(0).toString();
    QJsonArray args = line;
    args.removeFirst();
    bool ok = true;
    QJsonObject result;
    unsigned int error = ERROR_ok;
    const uint64 h = m_handler;
    auto invalid = [] {
        return QJsonObject{{QStringLiteral("error"), int(ERROR_parameter_invalid)},
                           {QStringLiteral("message"), QStringLiteral("bad arguments")}};
    };

    if (command == QLatin1String("connect")) {
        // host, port, nickname[, serverPassword[, defaultChannelId[, channelPassword]]]
        const QByteArray host = string(args, 0, &ok);
        const qint64 port = integer(args, 1, &ok);
        const QByteArray nickname = string(args, 2, &ok);
        const QByteArray password = string(args, 3, &ok);
        const qint64 channel = integer(args, 4, &ok);
        const QByteArray channelPassword = string(args, 5, &ok);
        if (!ok || port < 0 || port > 65535 || channel < 0)
            return invalid();
        char* identity = nullptr;
        error = ts3client_createIdentity(&identity);
        if (error == ERROR_ok)
            error = ts3client_startConnectionWithChannelID(
                h, identity, orNull(host), unsigned(port), orNull(nickname), uint64(channel),
                orNull(channelPassword), orNull(password));
        ts3client_freeMemory(identity);
    } else if (command == QLatin1String("disconnect")) {
        const QByteArray message = string(args, 0, &ok);
        if (!ok)
            return invalid();
        error = ts3client_stopConnection(h, message.constData());
    } else if (command == QLatin1String("sendchannel")) {
        // message[, channelID]: the own channel when absent
        const QByteArray message = string(args, 0, &ok);
        qint64 channel = integer(args, 1, &ok, -1);
        if (!ok || args.isEmpty())
            return invalid();
        if (channel < 0) {
            anyID self = 0;
            uint64 own = 0;
            if (ts3client_getClientID(h, &self) == ERROR_ok &&
                ts3client_getChannelOfClient(h, self, &own) == ERROR_ok)
                channel = qint64(own);
            else
                channel = 0;
        }
        error =
            ts3client_requestSendChannelTextMsg(h, message.constData(), uint64(channel), nullptr);
    } else if (command == QLatin1String("sendprivate")) {
        const QByteArray message = string(args, 0, &ok);
        const qint64 target = integer(args, 1, &ok);
        if (!ok || args.size() < 2 || target < 0 || target > 0xFFFF)
            return invalid();
        error = ts3client_requestSendPrivateTextMsg(h, message.constData(), anyID(target), nullptr);
    } else if (command == QLatin1String("move")) {
        const qint64 client = integer(args, 0, &ok);
        const qint64 channel = integer(args, 1, &ok);
        const QByteArray password = string(args, 2, &ok);
        if (!ok || args.size() < 2 || client < 0 || client > 0xFFFF || channel < 0)
            return invalid();
        error = ts3client_requestClientMove(h, anyID(client), uint64(channel), orNull(password),
                                            nullptr);
    } else if (command == QLatin1String("createchannel")) {
        // name, password, permanent[, parentID[, topic[, description]]]
        const QByteArray name = string(args, 0, &ok);
        const QByteArray password = string(args, 1, &ok);
        const qint64 permanent = integer(args, 2, &ok);
        const qint64 parent = integer(args, 3, &ok);
        const QByteArray topic = string(args, 4, &ok);
        const QByteArray description = string(args, 5, &ok);
        if (!ok || args.isEmpty() || parent < 0)
            return invalid();
        error = ts3client_setChannelVariableAsString(h, 0, CHANNEL_NAME, name.constData());
        if (error == ERROR_ok && !password.isEmpty())
            error =
                ts3client_setChannelVariableAsString(h, 0, CHANNEL_PASSWORD, password.constData());
        if (error == ERROR_ok && !topic.isEmpty())
            error = ts3client_setChannelVariableAsString(h, 0, CHANNEL_TOPIC, topic.constData());
        if (error == ERROR_ok && !description.isEmpty())
            error = ts3client_setChannelVariableAsString(h, 0, CHANNEL_DESCRIPTION,
                                                         description.constData());
        if (error == ERROR_ok)
            error = ts3client_setChannelVariableAsInt(h, 0, CHANNEL_FLAG_PERMANENT, permanent != 0);
        if (error == ERROR_ok)
            error = ts3client_flushChannelCreation(h, uint64(parent), nullptr);
    } else if (command == QLatin1String("deletechannel")) {
        const qint64 channel = integer(args, 0, &ok);
        const qint64 force = integer(args, 1, &ok);
        if (!ok || args.isEmpty() || channel < 0)
            return invalid();
        error = ts3client_requestChannelDelete(h, uint64(channel), int(force), nullptr);
    } else if (command == QLatin1String("setflag")) {
        const qint64 flag = integer(args, 0, &ok);
        const qint64 value = integer(args, 1, &ok);
        if (!ok || args.size() < 2 || flag < 0)
            return invalid();
        error = ts3client_setClientSelfVariableAsInt(h, size_t(flag), int(value));
        if (error == ERROR_ok)
            error = ts3client_flushClientSelfUpdates(h, nullptr);
    } else if (command == QLatin1String("subscribeall")) {
        error = ts3client_requestChannelSubscribeAll(h, nullptr);
    } else if (command == QLatin1String("whoami")) {
        anyID self = 0;
        uint64 channel = 0;
        error = ts3client_getClientID(h, &self);
        if (error == ERROR_ok)
            error = ts3client_getChannelOfClient(h, self, &channel);
        if (error == ERROR_ok) {
            result.insert(QStringLiteral("clientID"), self);
            result.insert(
                QStringLiteral("nickname"),
                stringVariable(ts3client_getClientVariableAsString, h, self, CLIENT_NICKNAME));
            result.insert(QStringLiteral("channelID"), id(channel));
        }
    } else if (command == QLatin1String("clients")) {
        anyID* ids = nullptr;
        error = ts3client_getClientList(h, &ids);
        if (error == ERROR_ok) {
            QJsonArray clients;
            for (anyID* c = ids; *c; ++c) {
                uint64 channel = 0;
                ts3client_getChannelOfClient(h, *c, &channel);
                QJsonObject client{{QStringLiteral("clientID"), *c},
                                   {QStringLiteral("channelID"), id(channel)}};
                client.insert(
                    QStringLiteral("nickname"),
                    stringVariable(ts3client_getClientVariableAsString, h, *c, CLIENT_NICKNAME));
                client.insert(QStringLiteral("uniqueIdentifier"),
                              stringVariable(ts3client_getClientVariableAsString, h, *c,
                                             CLIENT_UNIQUE_IDENTIFIER));
                clients.append(client);
            }
            ts3client_freeMemory(ids);
            result.insert(QStringLiteral("clients"), clients);
        }
    } else if (command == QLatin1String("channels")) {
        uint64* ids = nullptr;
        error = ts3client_getChannelList(h, &ids);
        if (error == ERROR_ok) {
            QJsonArray channels;
            for (uint64* c = ids; *c; ++c) {
                channels.append(QJsonObject{
                    {QStringLiteral("channelID"), id(*c)},
                    {QStringLiteral("name"), channelVariable(h, *c, CHANNEL_NAME)},
                    {QStringLiteral("topic"), channelVariable(h, *c, CHANNEL_TOPIC)},
                    {QStringLiteral("hasPassword"),
                     channelVariable(h, *c, CHANNEL_FLAG_PASSWORD) == QLatin1String("1")},
                    {QStringLiteral("permanent"),
                     channelVariable(h, *c, CHANNEL_FLAG_PERMANENT) == QLatin1String("1")}});
            }
            ts3client_freeMemory(ids);
            result.insert(QStringLiteral("channels"), channels);
        }
    } else if (command == QLatin1String("help")) {
        QJsonArray commands;
        for (const CommandHelp& entry : Commands)
            commands.append(QJsonObject{{QStringLiteral("command"), entry.name},
                                        {QStringLiteral("arguments"), entry.arguments},
                                        {QStringLiteral("description"), entry.description}});
        result.insert(QStringLiteral("commands"), commands);
    } else if (command == QLatin1String("quit")) {
        finish();
    } else {
        if (handleFileCommand(line, h, &result))
            return result;
        if (handleSoundCommand(line, h, &result))
            return result;
        if (handleScreenCommand(line, h, &result))
            return result;
        return QJsonObject{{QStringLiteral("error"), int(ERROR_parameter_invalid)},
                           {QStringLiteral("message"), QStringLiteral("unknown command")}};
    }
    result.insert(QStringLiteral("error"), int(error));
    return result;
}

QString CommandLine::usage()
{
    QString text = QStringLiteral(
        "Usage: voice-cli\n"
        "A voice client on the SDK's C API. Reads one command per line on standard input, a JSON\n"
        "array such as [\"connect\",\"127.0.0.1\",10087,\"bob\",\"mossel\"], and prints one JSON\n"
        "object per line: {\"result\": command, \"error\": code, ...} for each command and\n"
        "{\"event\": callback, ...} for every event of the server. Live screens print\n"
        "onScreenShareEvent, onScreenFrame, onScreenCursorEvent, onScreenCursorShapeEvent,\n"
        "onScreenControlEvent, onScreenWatchEvent and onScreenErrorEvent.\n\nCommands:\n");
    for (const CommandHelp& entry : Commands) {
        text += QStringLiteral("  [\"%1\"%2]\n      %3\n")
                    .arg(QLatin1String(entry.name),
                         *entry.arguments ? QStringLiteral(", ") + QLatin1String(entry.arguments)
                                          : QString(),
                         QLatin1String(entry.description));
    }
    return text;
}

void CommandLine::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    m_input.setEnabled(false);
    ts3client_stopConnection(m_handler, "");
    ts3client_destroyServerConnectionHandler(m_handler);
    ts3client_destroyClientLib();
}

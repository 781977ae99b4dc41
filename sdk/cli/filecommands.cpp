// SPDX-License-Identifier: MIT
#include "filecommands.h"

#include <QByteArrayList>

#include <vector>

namespace {

void (*g_print)(const QJsonObject&) = nullptr;

QJsonValue text(const char* value)
{
    return value ? QJsonValue(QString::fromUtf8(value)) : QJsonValue(QJsonValue::Null);
}

QJsonObject event(const char* name, uint64 handler)
{
    return QJsonObject{{QStringLiteral("event"), QLatin1String(name)},
                       {QStringLiteral("serverConnectionHandlerID"), double(handler)}};
}

void onFileTransferStatusEvent(anyID transferID, unsigned int status, const char* statusMessage,
                               uint64 remotefileSize, uint64 h)
{
    QJsonObject line = event("onFileTransferStatusEvent", h);
    line.insert(QStringLiteral("transferID"), transferID);
    line.insert(QStringLiteral("status"), int(status));
    line.insert(QStringLiteral("statusMessage"), text(statusMessage));
    line.insert(QStringLiteral("remotefileSize"), double(remotefileSize));
    int sender = -1;
    if (ts3client_isTransferSender(h, transferID, &sender) == ERROR_ok)
        line.insert(QStringLiteral("isSender"), sender);
    g_print(line);
}

void onFileListEvent(uint64 h, uint64 channelID, const char* path, const char* name, uint64 size,
                     uint64 datetime, int type, uint64 incompletesize, const char* returnCode)
{
    QJsonObject line = event("onFileListEvent", h);
    line.insert(QStringLiteral("channelID"), double(channelID));
    line.insert(QStringLiteral("path"), text(path));
    line.insert(QStringLiteral("name"), text(name));
    line.insert(QStringLiteral("size"), double(size));
    line.insert(QStringLiteral("datetime"), double(datetime));
    line.insert(QStringLiteral("type"), type);
    line.insert(QStringLiteral("incompletesize"), double(incompletesize));
    line.insert(QStringLiteral("returnCode"), text(returnCode));
    g_print(line);
}

void onFileListFinishedEvent(uint64 h, uint64 channelID, const char* path)
{
    QJsonObject line = event("onFileListFinishedEvent", h);
    line.insert(QStringLiteral("channelID"), double(channelID));
    line.insert(QStringLiteral("path"), text(path));
    g_print(line);
}

void onFileInfoEvent(uint64 h, uint64 channelID, const char* name, uint64 size, uint64 datetime)
{
    QJsonObject line = event("onFileInfoEvent", h);
    line.insert(QStringLiteral("channelID"), double(channelID));
    line.insert(QStringLiteral("name"), text(name));
    line.insert(QStringLiteral("size"), double(size));
    line.insert(QStringLiteral("datetime"), double(datetime));
    g_print(line);
}

bool channelArg(const QJsonArray& args, qint64* channel)
{
    if (args.isEmpty() || !args.at(0).isDouble())
        return false;
    const double value = args.at(0).toDouble();
    if (value < 0 || value != double(qint64(value)))
        return false;
    *channel = qint64(value);
    return true;
}

// String argument i; absent or null gives a null QByteArray, another type fails.
bool stringArg(const QJsonArray& args, int i, QByteArray* out)
{
    if (i >= args.size() || args.at(i).isNull()) {
        *out = QByteArray();
        return true;
    }
    if (!args.at(i).isString())
        return false;
    *out = args.at(i).toString().toUtf8();
    return true;
}

const char* orNull(const QByteArray& value)
{
    return value.isEmpty() ? nullptr : value.constData();
}

QJsonObject invalid()
{
    return QJsonObject{{QStringLiteral("error"), int(ERROR_parameter_invalid)},
                       {QStringLiteral("message"), QStringLiteral("bad arguments")}};
}

} // namespace

void setFileCallbacks(ClientUIFunctions* functions, void (*print)(const QJsonObject&))
{
    g_print = print;
    functions->onFileTransferStatusEvent = onFileTransferStatusEvent;
    functions->onFileListEvent = onFileListEvent;
    functions->onFileListFinishedEvent = onFileListFinishedEvent;
    functions->onFileInfoEvent = onFileInfoEvent;
}

bool handleFileCommand(const QJsonArray& cmd, uint64 h, QJsonObject* result)
{
    const QString command = cmd.at(0).toString();
    QJsonArray args = cmd;
    args.removeFirst();
    if (command == QLatin1String("issender")) {
        if (args.isEmpty() || !args.at(0).isDouble()) {
            *result = invalid();
            return true;
        }
        int sender = -1;
        const unsigned int error =
            ts3client_isTransferSender(h, anyID(args.at(0).toInt()), &sender);
        result->insert(QStringLiteral("error"), int(error));
        if (error == ERROR_ok)
            result->insert(QStringLiteral("isSender"), sender);
        return true;
    }
    static const QStringList commands{QStringLiteral("upload"), QStringLiteral("download"),
                                      QStringLiteral("listfiles"), QStringLiteral("deletefiles"),
                                      QStringLiteral("mkdir")};
    if (!commands.contains(command))
        return false;
    qint64 channel = 0;
    QByteArray password;
    if (!channelArg(args, &channel) || !stringArg(args, 1, &password)) {
        *result = invalid();
        return true;
    }
    unsigned int error = ERROR_ok;
    if (command == QLatin1String("upload") || command == QLatin1String("download")) {
        QByteArray file, directory;
        if (args.size() < 3 || !stringArg(args, 2, &file) || !stringArg(args, 3, &directory)) {
            *result = invalid();
            return true;
        }
        anyID transfer = 0;
        auto start =
            command == QLatin1String("upload") ? ts3client_sendFile : ts3client_requestFile;
        // Overwrite, never resume: what the Meeting client always asks for.
        error = start(h, uint64(channel), orNull(password), file.constData(), 1, 0,
                      orNull(directory), &transfer, nullptr);
        if (error == ERROR_ok)
            result->insert(QStringLiteral("transferID"), transfer);
    } else if (command == QLatin1String("deletefiles")) {
        if (args.size() < 3 || !args.at(2).isArray()) {
            *result = invalid();
            return true;
        }
        QByteArrayList names;
        for (const QJsonValue& value : args.at(2).toArray()) {
            if (!value.isString()) {
                *result = invalid();
                return true;
            }
            names.append(value.toString().toUtf8());
        }
        std::vector<const char*> array;
        for (const QByteArray& name : qAsConst(names))
            array.push_back(name.constData());
        array.push_back(nullptr);
        error = ts3client_requestDeleteFile(h, uint64(channel), orNull(password), array.data(),
                                            nullptr);
    } else {
        QByteArray path;
        if (args.size() < 3 || !stringArg(args, 2, &path)) {
            *result = invalid();
            return true;
        }
        error = command == QLatin1String("listfiles")
                    ? ts3client_requestFileList(h, uint64(channel), orNull(password),
                                                path.constData(), nullptr)
                    : ts3client_requestCreateDirectory(h, uint64(channel), orNull(password),
                                                       path.constData(), nullptr);
    }
    result->insert(QStringLiteral("error"), int(error));
    return true;
}

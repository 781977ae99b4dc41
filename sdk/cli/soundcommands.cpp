// SPDX-License-Identifier: MIT
#include "soundcommands.h"

#include <QString>

namespace {

struct Arg
{
    bool ok = true;   // false: the argument has the wrong type
    bool null = true; // absent or JSON null: pass a null pointer
    QByteArray text;
};

Arg stringArg(const QJsonArray& cmd, int index)
{
    Arg arg;
    if (index >= cmd.size() || cmd.at(index).isNull() || cmd.at(index).isUndefined())
        return arg;
    arg.null = false;
    if (!cmd.at(index).isString())
        arg.ok = false;
    else
        arg.text = cmd.at(index).toString().toUtf8();
    return arg;
}

const char* ptr(const Arg& arg)
{
    return arg.null ? nullptr : arg.text.constData();
}

QString takeString(char* s)
{
    const QString out = QString::fromUtf8(s);
    ts3client_freeMemory(s);
    return out;
}

QJsonArray takeModeList(char** list)
{
    QJsonArray out;
    for (char** entry = list; *entry; ++entry)
        out.append(takeString(*entry));
    ts3client_freeMemory(list);
    return out;
}

QJsonArray takeDeviceList(char*** list, const QString& defaultId)
{
    QJsonArray out;
    for (char*** entry = list; *entry; ++entry) {
        const QString id = takeString((*entry)[1]);
        out.append(QJsonObject{
            {"name", takeString((*entry)[0])}, {"id", id}, {"default", id == defaultId}});
        ts3client_freeMemory(*entry);
    }
    ts3client_freeMemory(list);
    return out;
}

unsigned int modes(QJsonObject* result)
{
    struct Side
    {
        const char* key;
        unsigned int (*list)(char***);
        unsigned int (*deflt)(char**);
    };
    const Side sides[] = {
        {"capture", ts3client_getCaptureModeList, ts3client_getDefaultCaptureMode},
        {"playback", ts3client_getPlaybackModeList, ts3client_getDefaultPlayBackMode}};
    for (const Side& side : sides) {
        char** list = nullptr;
        if (const unsigned int code = side.list(&list))
            return code;
        QJsonObject data{{"modes", takeModeList(list)}};
        char* mode = nullptr;
        if (const unsigned int code = side.deflt(&mode))
            return code;
        data["default"] = takeString(mode);
        (*result)[side.key] = data;
    }
    return ERROR_ok;
}

// A mode may have devices in only one direction, so each side reports its own error; the
// command fails only when neither side has the mode.
unsigned int devices(const QJsonArray& cmd, QJsonObject* result)
{
    const Arg mode = stringArg(cmd, 1);
    if (!mode.ok)
        return ERROR_parameter_invalid;
    struct Side
    {
        const char* key;
        unsigned int (*list)(const char*, char****);
        unsigned int (*deflt)(const char*, char***);
    };
    const Side sides[] = {
        {"capture", ts3client_getCaptureDeviceList, ts3client_getDefaultCaptureDevice},
        {"playback", ts3client_getPlaybackDeviceList, ts3client_getDefaultPlaybackDevice}};
    unsigned int firstError = ERROR_ok;
    bool any = false;
    for (const Side& side : sides) {
        QString defaultId;
        char** pair = nullptr;
        if (side.deflt(ptr(mode), &pair) == ERROR_ok) {
            ts3client_freeMemory(pair[0]);
            defaultId = takeString(pair[1]);
            ts3client_freeMemory(pair);
        }
        char*** list = nullptr;
        const unsigned int code = side.list(ptr(mode), &list);
        if (code == ERROR_ok) {
            (*result)[side.key] = takeDeviceList(list, defaultId);
            any = true;
        } else {
            (*result)[QString(side.key) + "Error"] = int(code);
            if (firstError == ERROR_ok)
                firstError = code;
        }
    }
    return any ? unsigned(ERROR_ok) : firstError;
}

unsigned int openDevice(const QJsonArray& cmd, uint64 handler, QJsonObject* result)
{
    const QString direction = cmd.size() > 1 ? cmd.at(1).toString() : QString();
    const bool capture = direction == QLatin1String("capture");
    if (!capture && direction != QLatin1String("playback"))
        return cmd.size() > 1 ? ERROR_parameter_invalid : ERROR_parameter_missing;
    const Arg mode = stringArg(cmd, 2);
    const Arg device = stringArg(cmd, 3);
    if (!mode.ok || !device.ok)
        return ERROR_parameter_invalid;
    const unsigned int code = capture
                                  ? ts3client_openCaptureDevice(handler, ptr(mode), ptr(device))
                                  : ts3client_openPlaybackDevice(handler, ptr(mode), ptr(device));
    if (code != ERROR_ok)
        return code;
    char* current = nullptr;
    if ((capture ? ts3client_getCurrentCaptureMode(handler, &current)
                 : ts3client_getCurrentPlayBackMode(handler, &current)) == ERROR_ok)
        (*result)["mode"] = takeString(current);
    int isDefault = 0;
    if ((capture
             ? ts3client_getCurrentCaptureDeviceName(handler, &current, &isDefault)
             : ts3client_getCurrentPlaybackDeviceName(handler, &current, &isDefault)) == ERROR_ok) {
        (*result)["device"] = takeString(current);
        (*result)["isDefault"] = isDefault != 0;
    }
    return ERROR_ok;
}

// Preprocessor values come back as the library's text, playback values as numbers.
unsigned int getConfig(const QJsonArray& cmd, uint64 handler, QJsonObject* result)
{
    const Arg ident = stringArg(cmd, 1);
    if (ident.null)
        return ERROR_parameter_missing;
    if (!ident.ok)
        return ERROR_parameter_invalid;
    (*result)["ident"] = QString::fromUtf8(ident.text);
    char* text = nullptr;
    unsigned int code = ts3client_getPreProcessorConfigValue(handler, ptr(ident), &text);
    if (code == ERROR_ok) {
        (*result)["value"] = takeString(text);
        return code;
    }
    if (code != ERROR_sound_invalid_identifier)
        return code;
    float value = 0;
    code = ts3client_getPlaybackConfigValueAsFloat(handler, ptr(ident), &value);
    if (code == ERROR_ok)
        (*result)["value"] = double(value);
    return code;
}

unsigned int setConfig(const QJsonArray& cmd, uint64 handler, QJsonObject* result)
{
    const Arg ident = stringArg(cmd, 1);
    if (ident.null || cmd.size() < 3)
        return ERROR_parameter_missing;
    if (!ident.ok)
        return ERROR_parameter_invalid;
    const QJsonValue v = cmd.at(2);
    QByteArray value;
    if (v.isString())
        value = v.toString().toUtf8();
    else if (v.isBool())
        value = v.toBool() ? "true" : "false";
    else if (v.isDouble())
        value = QString::number(v.toDouble(), 'g', 6).toUtf8();
    else
        return ERROR_parameter_invalid;
    (*result)["ident"] = QString::fromUtf8(ident.text);
    unsigned int code =
        ts3client_setPreProcessorConfigValue(handler, ptr(ident), value.constData());
    if (code == ERROR_sound_invalid_identifier)
        code = ts3client_setPlaybackConfigValue(handler, ptr(ident), value.constData());
    return code;
}

} // namespace

bool handleSoundCommand(const QJsonArray& cmd, uint64 handler, QJsonObject* result)
{
    const QString name = cmd.isEmpty() ? QString() : cmd.at(0).toString();
    unsigned int code;
    if (name == QLatin1String("modes"))
        code = modes(result);
    else if (name == QLatin1String("devices"))
        code = devices(cmd, result);
    else if (name == QLatin1String("opendevice"))
        code = openDevice(cmd, handler, result);
    else if (name == QLatin1String("getconfig"))
        code = getConfig(cmd, handler, result);
    else if (name == QLatin1String("setconfig"))
        code = setConfig(cmd, handler, result);
    else
        return false;
    (*result)["error"] = int(code);
    return true;
}

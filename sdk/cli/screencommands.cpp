// SPDX-License-Identifier: MIT
#include "screencommands.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QImage>
#include <QMutex>
#include <QPoint>

#include <cstring>

namespace {

void (*g_print)(const QJsonObject&) = nullptr;

// Each watched share: where its probe looks, and its last picture for screensave.
struct Watched
{
    QPoint probe;
    QByteArray pixels;
    int width = 0;
    int height = 0;
};
QMutex g_lock;
QHash<anyID, Watched> g_watched;

QJsonObject event(const char* name, uint64 handler)
{
    return QJsonObject{{QStringLiteral("event"), QLatin1String(name)},
                       {QStringLiteral("serverConnectionHandlerID"), double(handler)}};
}

void onScreenShareEvent(uint64 h, anyID clientID, int sharing, int width, int height)
{
    QJsonObject line = event("onScreenShareEvent", h);
    line.insert(QStringLiteral("clientID"), clientID);
    line.insert(QStringLiteral("sharing"), sharing);
    line.insert(QStringLiteral("width"), width);
    line.insert(QStringLiteral("height"), height);
    g_print(line);
}

void onScreenFrameEvent(uint64 h, anyID clientID, unsigned int frameNumber, int width, int height,
                        int stride, const unsigned char* pixels, unsigned int encodedBytes)
{
    QJsonArray probe;
    // The probe is in the share's pixels; a slow link's pictures are scaled down.
    int shareWidth = width, shareHeight = height;
    voicescreen_getShareSize(h, clientID, &shareWidth, &shareHeight);
    {
        QMutexLocker lock(&g_lock);
        Watched& watched = g_watched[clientID];
        const QPoint at(watched.probe.x() * width / qMax(1, shareWidth),
                        watched.probe.y() * height / qMax(1, shareHeight));
        if (at.x() < width && at.y() < height) {
            const unsigned char* pixel = pixels + at.y() * stride + at.x() * 4;
            probe = QJsonArray{pixel[2], pixel[1], pixel[0]};
        }
        watched.width = width;
        watched.height = height;
        watched.pixels.resize(width * height * 4);
        for (int row = 0; row < height; ++row)
            std::memcpy(watched.pixels.data() + row * width * 4, pixels + row * stride,
                        size_t(width) * 4);
    }
    QJsonObject line = event("onScreenFrame", h);
    line.insert(QStringLiteral("clientID"), clientID);
    line.insert(QStringLiteral("frame"), double(frameNumber));
    line.insert(QStringLiteral("width"), width);
    line.insert(QStringLiteral("height"), height);
    line.insert(QStringLiteral("bytes"), double(encodedBytes));
    line.insert(QStringLiteral("probe"), probe);
    g_print(line);
}

void onScreenCursorEvent(uint64 h, anyID clientID, int x, int y, int visible)
{
    QJsonObject line = event("onScreenCursorEvent", h);
    line.insert(QStringLiteral("clientID"), clientID);
    line.insert(QStringLiteral("x"), x);
    line.insert(QStringLiteral("y"), y);
    line.insert(QStringLiteral("visible"), visible);
    g_print(line);
}

void onScreenCursorShapeEvent(uint64 h, anyID clientID, int width, int height, int hotX, int hotY,
                              const unsigned char*)
{
    QJsonObject line = event("onScreenCursorShapeEvent", h);
    line.insert(QStringLiteral("clientID"), clientID);
    line.insert(QStringLiteral("width"), width);
    line.insert(QStringLiteral("height"), height);
    line.insert(QStringLiteral("hotX"), hotX);
    line.insert(QStringLiteral("hotY"), hotY);
    g_print(line);
}

void onScreenControlEvent(uint64 h, anyID sharerID, anyID controllerID, int open)
{
    QJsonObject line = event("onScreenControlEvent", h);
    line.insert(QStringLiteral("sharerID"), sharerID);
    line.insert(QStringLiteral("controllerID"), controllerID);
    line.insert(QStringLiteral("open"), open);
    g_print(line);
}

void onScreenWatchEvent(uint64 h, anyID watcherID, int watching)
{
    QJsonObject line = event("onScreenWatchEvent", h);
    line.insert(QStringLiteral("watcherID"), watcherID);
    line.insert(QStringLiteral("watching"), watching);
    g_print(line);
}

void onScreenErrorEvent(uint64 h, anyID clientID, unsigned int error, const char* message)
{
    QJsonObject line = event("onScreenErrorEvent", h);
    line.insert(QStringLiteral("clientID"), clientID);
    line.insert(QStringLiteral("error"), int(error));
    line.insert(QStringLiteral("message"), QString::fromUtf8(message ? message : ""));
    g_print(line);
}

bool integer(const QJsonArray& args, int i, qint64* value)
{
    if (i >= args.size() || !args.at(i).isDouble())
        return false;
    const double number = args.at(i).toDouble();
    if (number != double(qint64(number)))
        return false;
    *value = qint64(number);
    return true;
}

bool clientId(const QJsonArray& args, int i, anyID* id)
{
    qint64 value = 0;
    if (!integer(args, i, &value) || value < 1 || value > 0xFFFF)
        return false;
    *id = anyID(value);
    return true;
}

} // namespace

bool startScreenCommands(void (*print)(const QJsonObject&))
{
    g_print = print;
    VoiceScreenFunctions functions = {};
    functions.onScreenShareEvent = onScreenShareEvent;
    functions.onScreenFrameEvent = onScreenFrameEvent;
    functions.onScreenCursorEvent = onScreenCursorEvent;
    functions.onScreenCursorShapeEvent = onScreenCursorShapeEvent;
    functions.onScreenControlEvent = onScreenControlEvent;
    functions.onScreenErrorEvent = onScreenErrorEvent;
    functions.onScreenWatchEvent = onScreenWatchEvent;
    return voicescreen_setCallbacks(&functions) == ERROR_ok;
}

bool handleScreenCommand(const QJsonArray& cmd, uint64 h, QJsonObject* result)
{
    const QString command = cmd.at(0).toString();
    if (!command.startsWith(QLatin1String("screen")))
        return false;
    QJsonArray args = cmd;
    args.removeFirst();
    const auto invalid = [result](const QString& why) {
        *result = QJsonObject{{QStringLiteral("error"), int(ERROR_parameter_invalid)},
                              {QStringLiteral("message"), why}};
        return true;
    };
    unsigned int error = ERROR_ok;
    anyID client = 0;
    if (command == QLatin1String("screenshare")) {
        const QString what = args.at(0).toString();
        qint64 monitor = -1, kbps = 0;
        if (args.size() > 1 && !integer(args, 1, &monitor))
            return invalid(QStringLiteral("monitor: a number, -1 for the whole display"));
        if (args.size() > 2 && (!integer(args, 2, &kbps) || kbps < 0 || kbps > 100000))
            return invalid(QStringLiteral("maxKbps: a number of kbit/s"));
        if (what == QLatin1String("start"))
            error = voicescreen_startShare(h, nullptr, int(monitor), unsigned(kbps));
        else if (what == QLatin1String("stop"))
            error = voicescreen_stopShare(h);
        else
            return invalid(QStringLiteral("\"start\" or \"stop\""));
    } else if (command == QLatin1String("screenwatch")) {
        qint64 x = 0, y = 0;
        if (!clientId(args, 0, &client) || (args.size() > 1 && !integer(args, 1, &x)) ||
            (args.size() > 2 && !integer(args, 2, &y)) || x < 0 || y < 0)
            return invalid(QStringLiteral("clientID[, x, y]"));
        {
            QMutexLocker lock(&g_lock);
            g_watched[client].probe = QPoint(int(x), int(y));
        }
        error = voicescreen_watch(h, client);
    } else if (command == QLatin1String("screenunwatch")) {
        if (!clientId(args, 0, &client))
            return invalid(QStringLiteral("clientID"));
        error = voicescreen_unwatch(h, client);
        QMutexLocker lock(&g_lock);
        g_watched.remove(client);
    } else if (command == QLatin1String("screensave")) {
        const QString path = args.at(1).toString();
        if (!clientId(args, 0, &client) || !QDir::isAbsolutePath(path))
            return invalid(QStringLiteral("clientID, an absolute path"));
        QImage image;
        {
            QMutexLocker lock(&g_lock);
            const Watched watched = g_watched.value(client);
            if (watched.pixels.isEmpty()) {
                *result = QJsonObject{
                    {QStringLiteral("error"), int(ERROR_screen_not_watching)},
                    {QStringLiteral("message"), QStringLiteral("no picture of that client yet")}};
                return true;
            }
            image = QImage(reinterpret_cast<const uchar*>(watched.pixels.constData()),
                           watched.width, watched.height, watched.width * 4, QImage::Format_RGB32)
                        .copy();
        }
        if (!image.save(path, "PNG")) {
            *result = QJsonObject{
                {QStringLiteral("error"), int(ERROR_file_io_error)},
                {QStringLiteral("message"), QStringLiteral("cannot write %1").arg(path)}};
            return true;
        }
    } else if (command == QLatin1String("screencontrol")) {
        const QString what = args.at(0).toString();
        if (what == QLatin1String("grant")) {
            if (!clientId(args, 1, &client))
                return invalid(QStringLiteral("\"grant\", clientID"));
            error = voicescreen_setController(h, client, 0);
        } else if (what == QLatin1String("revoke")) {
            error = voicescreen_setController(h, 0, 0);
        } else if (what == QLatin1String("open")) {
            error = voicescreen_setController(h, 0, 1);
        } else {
            return invalid(QStringLiteral("\"grant\", \"revoke\" or \"open\""));
        }
    } else if (command == QLatin1String("screentake")) {
        qint64 take = 1;
        if (!clientId(args, 0, &client) || (args.size() > 1 && !integer(args, 1, &take)))
            return invalid(QStringLiteral("sharerID[, 1|0]"));
        error = voicescreen_takeControl(h, client, take != 0);
    } else if (command == QLatin1String("screeninput")) {
        const QString what = args.at(1).toString();
        qint64 a = 0, b = 0;
        if (!clientId(args, 0, &client))
            return invalid(QStringLiteral("sharerID, kind, ..."));
        if (what == QLatin1String("text")) {
            if (!args.at(2).isString())
                return invalid(QStringLiteral("\"text\", a string"));
            error = voicescreen_sendText(h, client, args.at(2).toString().toUtf8().constData());
        } else {
            if (!integer(args, 2, &a) || !integer(args, 3, &b) || qAbs(a) > 0x1FFFFFFF ||
                qAbs(b) > 0xFFFF)
                return invalid(QStringLiteral("two numbers after the kind"));
            if (what == QLatin1String("move"))
                error = voicescreen_sendMouseMove(h, client, int(a), int(b));
            else if (what == QLatin1String("button"))
                error = voicescreen_sendMouseButton(h, client, int(a), int(b));
            else if (what == QLatin1String("wheel"))
                error = voicescreen_sendWheel(h, client, int(a), int(b));
            else if (what == QLatin1String("key"))
                error = voicescreen_sendKey(h, client, unsigned(a), int(b));
            else
                return invalid(QStringLiteral("move, button, wheel, key or text"));
        }
    } else if (command == QLatin1String("screens")) {
        anyID* ids = nullptr;
        error = voicescreen_getSharingClients(h, &ids);
        if (error == ERROR_ok) {
            QJsonArray shares;
            for (anyID* id = ids; *id; ++id) {
                int width = 0, height = 0, open = 0;
                anyID controller = 0;
                voicescreen_getShareSize(h, *id, &width, &height);
                voicescreen_getController(h, *id, &controller, &open);
                shares.append(QJsonObject{{QStringLiteral("clientID"), *id},
                                          {QStringLiteral("width"), width},
                                          {QStringLiteral("height"), height},
                                          {QStringLiteral("controllerID"), controller},
                                          {QStringLiteral("open"), open}});
            }
            ts3client_freeMemory(ids);
            result->insert(QStringLiteral("shares"), shares);
            anyID* watchers = nullptr;
            if (voicescreen_getWatchers(h, &watchers) == ERROR_ok) {
                QJsonArray list;
                for (anyID* id = watchers; *id; ++id)
                    list.append(*id);
                ts3client_freeMemory(watchers);
                result->insert(QStringLiteral("watchers"), list);
            }
        }
    } else {
        return false;
    }
    result->insert(QStringLiteral("error"), int(error));
    return true;
}

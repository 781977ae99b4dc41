// SPDX-License-Identifier: MIT
// The C API of live screens: arguments checked on the caller's thread against the mirror, the
// work queued to the network thread. Sharing opens the display here, so that a display that
// cannot be captured is told by the call itself.
#include "connection.h"
#include "core.h"
#include "memory.h"
#include "screenlink.h"
#include "x11screen.h"

#include <QMutex>

namespace voicesdk {

namespace {
QMutex g_screenLock;
VoiceScreenFunctions g_screenCallbacks = {};

using protocol::screen::Input;
using protocol::screen::InputType;

// The handler exists and is connected; fn checks the rest under the state mutex.
template <typename F> unsigned int connected(uint64 handler, F&& fn)
{
    return withHandler(handler, [&](HandlerState& state) -> unsigned int {
        if (!state.mirror.connected)
            return ERROR_connection_not_connected;
        return fn(state);
    });
}

bool post(uint64 handler, std::function<void(ScreenLink&)> work)
{
    return voicesdk::post([handler, work](Core& core) {
        if (ScreenLink* link = core.screenLink(handler))
            work(*link);
    });
}

unsigned int sendInput(uint64 handler, anyID sharer, Input input)
{
    const unsigned int code = connected(handler, [&](HandlerState& state) -> unsigned int {
        const auto share = state.screens.shares.constFind(sharer);
        if (share == state.screens.shares.constEnd() || sharer == state.mirror.ownId)
            return ERROR_screen_not_sharing;
        if (input.type == InputType::Move &&
            (input.a < 0 || input.b < 0 || input.a >= share->width || input.b >= share->height))
            return ERROR_parameter_invalid;
        return ERROR_ok;
    });
    if (code != ERROR_ok)
        return code;
    input.client = sharer;
    return post(handler, [input](ScreenLink& link) { link.input(input); })
               ? unsigned(ERROR_ok)
               : unsigned(ERROR_lib_not_initialized);
}
} // namespace

VoiceScreenFunctions screenCallbacks()
{
    QMutexLocker lock(&g_screenLock);
    return g_screenCallbacks;
}

void forgetScreenCallbacks()
{
    QMutexLocker lock(&g_screenLock);
    g_screenCallbacks = VoiceScreenFunctions{};
}

} // namespace voicesdk

using namespace voicesdk;

unsigned int voicescreen_setCallbacks(const struct VoiceScreenFunctions* functions)
{
    if (!isLibraryInitialised())
        return ERROR_lib_not_initialized;
    QMutexLocker lock(&g_screenLock);
    g_screenCallbacks = functions ? *functions : VoiceScreenFunctions{};
    return ERROR_ok;
}

unsigned int voicescreen_startShare(uint64 serverConnectionHandlerID, const char* display,
                                    int monitor, unsigned int maxKbps)
{
    const uint64 h = serverConnectionHandlerID;
    if (monitor < -1)
        return ERROR_parameter_invalid;
    unsigned int code = connected(h, [](HandlerState& state) -> unsigned int {
        return state.screens.sharing ? ERROR_screen_already_sharing : ERROR_ok;
    });
    if (code != ERROR_ok)
        return code;
    const QByteArray name = display ? QByteArray(display) : QByteArray();
    QString error;
    std::unique_ptr<screen::X11Capture> capture =
        screen::X11Capture::open(name, monitor, &code, &error);
    std::unique_ptr<screen::X11Input> input;
    if (capture) {
        input = screen::X11Input::open(name, capture->area(), &error);
        if (!input)
            code = ERROR_screen_no_display;
    }
    if (!capture || !input) {
        log(LogLevel_WARNING, "Screen", QStringLiteral("cannot share: %1").arg(error), h);
        return code;
    }
    code = connected(h, [](HandlerState& state) -> unsigned int {
        if (state.screens.sharing)
            return ERROR_screen_already_sharing;
        state.screens.sharing = true;
        return ERROR_ok;
    });
    if (code != ERROR_ok)
        return code;
    auto parts = std::make_shared<
        std::pair<std::unique_ptr<screen::X11Capture>, std::unique_ptr<screen::X11Input>>>(
        std::move(capture), std::move(input));
    if (!post(h, [parts, name, monitor, maxKbps](ScreenLink& link) {
            link.share(std::move(parts->first), std::move(parts->second), name, monitor, maxKbps);
        }))
        return ERROR_lib_not_initialized;
    return ERROR_ok;
}

unsigned int voicescreen_stopShare(uint64 serverConnectionHandlerID)
{
    const unsigned int code =
        connected(serverConnectionHandlerID, [](HandlerState& state) -> unsigned int {
            return state.screens.sharing ? ERROR_ok : ERROR_screen_not_sharing;
        });
    if (code != ERROR_ok)
        return code;
    return post(serverConnectionHandlerID,
                [](ScreenLink& link) { link.stopShare(QStringLiteral("stopped")); })
               ? unsigned(ERROR_ok)
               : unsigned(ERROR_lib_not_initialized);
}

unsigned int voicescreen_watch(uint64 serverConnectionHandlerID, anyID clientID)
{
    bool already = false;
    const unsigned int code =
        connected(serverConnectionHandlerID, [&](HandlerState& state) -> unsigned int {
            if (!state.screens.shares.contains(clientID) || clientID == state.mirror.ownId)
                return ERROR_screen_not_sharing;
            already = state.screens.watching.contains(clientID);
            state.screens.watching.insert(clientID);
            return ERROR_ok;
        });
    if (code != ERROR_ok || already)
        return code;
    return post(serverConnectionHandlerID,
                [clientID](ScreenLink& link) { link.watch(clientID, true); })
               ? unsigned(ERROR_ok)
               : unsigned(ERROR_lib_not_initialized);
}

unsigned int voicescreen_unwatch(uint64 serverConnectionHandlerID, anyID clientID)
{
    const unsigned int code =
        connected(serverConnectionHandlerID, [&](HandlerState& state) -> unsigned int {
            return state.screens.watching.remove(clientID) ? ERROR_ok : ERROR_screen_not_watching;
        });
    if (code != ERROR_ok)
        return code;
    return post(serverConnectionHandlerID,
                [clientID](ScreenLink& link) { link.watch(clientID, false); })
               ? unsigned(ERROR_ok)
               : unsigned(ERROR_lib_not_initialized);
}

unsigned int voicescreen_requestKeyFrame(uint64 serverConnectionHandlerID, anyID clientID)
{
    const unsigned int code =
        connected(serverConnectionHandlerID, [&](HandlerState& state) -> unsigned int {
            return state.screens.watching.contains(clientID) ? ERROR_ok : ERROR_screen_not_watching;
        });
    if (code != ERROR_ok)
        return code;
    return post(serverConnectionHandlerID,
                [clientID](ScreenLink& link) { link.requestKeyFrame(clientID); })
               ? unsigned(ERROR_ok)
               : unsigned(ERROR_lib_not_initialized);
}

unsigned int voicescreen_setController(uint64 serverConnectionHandlerID, anyID clientID, int open)
{
    const unsigned int code =
        connected(serverConnectionHandlerID, [&](HandlerState& state) -> unsigned int {
            if (!state.screens.sharing)
                return ERROR_screen_not_sharing;
            if (clientID == 0)
                return ERROR_ok;
            const ServerMirror& mirror = state.mirror;
            if (clientID == mirror.ownId || !mirror.clients.contains(clientID) ||
                mirror.clients[clientID].channel != mirror.clients.value(mirror.ownId).channel)
                return ERROR_client_invalid_id;
            return ERROR_ok;
        });
    if (code != ERROR_ok)
        return code;
    const bool isOpen = open != 0;
    return post(serverConnectionHandlerID,
                [clientID, isOpen](ScreenLink& link) { link.setController(clientID, isOpen); })
               ? unsigned(ERROR_ok)
               : unsigned(ERROR_lib_not_initialized);
}

unsigned int voicescreen_takeControl(uint64 serverConnectionHandlerID, anyID sharerID, int take)
{
    const unsigned int code =
        connected(serverConnectionHandlerID, [&](HandlerState& state) -> unsigned int {
            return state.screens.shares.contains(sharerID) && sharerID != state.mirror.ownId
                       ? ERROR_ok
                       : ERROR_screen_not_sharing;
        });
    if (code != ERROR_ok)
        return code;
    const bool on = take != 0;
    return post(serverConnectionHandlerID,
                [sharerID, on](ScreenLink& link) { link.take(sharerID, on); })
               ? unsigned(ERROR_ok)
               : unsigned(ERROR_lib_not_initialized);
}

unsigned int voicescreen_sendMouseMove(uint64 serverConnectionHandlerID, anyID sharerID, int x,
                                       int y)
{
    Input input;
    input.type = InputType::Move;
    input.a = x;
    input.b = y;
    return sendInput(serverConnectionHandlerID, sharerID, input);
}

unsigned int voicescreen_sendMouseButton(uint64 serverConnectionHandlerID, anyID sharerID,
                                         int button, int pressed)
{
    if (button < 1 || button > 9)
        return ERROR_parameter_invalid;
    Input input;
    input.type = InputType::Button;
    input.a = button;
    input.b = pressed ? 1 : 0;
    return sendInput(serverConnectionHandlerID, sharerID, input);
}

unsigned int voicescreen_sendWheel(uint64 serverConnectionHandlerID, anyID sharerID, int dx, int dy)
{
    if (dx < -100 || dx > 100 || dy < -100 || dy > 100)
        return ERROR_parameter_invalid;
    if (dx == 0 && dy == 0)
        return ERROR_ok;
    Input input;
    input.type = InputType::Wheel;
    input.a = dx;
    input.b = dy;
    return sendInput(serverConnectionHandlerID, sharerID, input);
}

unsigned int voicescreen_sendKey(uint64 serverConnectionHandlerID, anyID sharerID,
                                 unsigned int keysym, int pressed)
{
    if (keysym == 0 || keysym > 0x1FFFFFFF)
        return ERROR_parameter_invalid;
    Input input;
    input.type = InputType::Key;
    input.a = qint32(keysym);
    input.b = pressed ? 1 : 0;
    return sendInput(serverConnectionHandlerID, sharerID, input);
}

unsigned int voicescreen_sendText(uint64 serverConnectionHandlerID, anyID sharerID,
                                  const char* text)
{
    if (!text || !*text)
        return ERROR_parameter_invalid;
    const QByteArray bytes(text);
    if (bytes.size() > protocol::screen::MaxText)
        return ERROR_parameter_too_long;
    Input input;
    input.type = InputType::Text;
    input.text = bytes;
    return sendInput(serverConnectionHandlerID, sharerID, input);
}

unsigned int voicescreen_getSharingClients(uint64 serverConnectionHandlerID, anyID** result)
{
    if (!result)
        return ERROR_parameter_invalid;
    return connected(serverConnectionHandlerID, [&](HandlerState& state) -> unsigned int {
        *result = dupIdList<anyID>(state.screens.shares.keys());
        return *result ? unsigned(ERROR_ok) : unsigned(ERROR_out_of_memory);
    });
}

unsigned int voicescreen_getShareSize(uint64 serverConnectionHandlerID, anyID clientID, int* width,
                                      int* height)
{
    if (!width || !height)
        return ERROR_parameter_invalid;
    return connected(serverConnectionHandlerID, [&](HandlerState& state) -> unsigned int {
        const auto share = state.screens.shares.constFind(clientID);
        if (share == state.screens.shares.constEnd())
            return ERROR_screen_not_sharing;
        *width = share->width;
        *height = share->height;
        return ERROR_ok;
    });
}

unsigned int voicescreen_getController(uint64 serverConnectionHandlerID, anyID sharerID,
                                       anyID* controllerID, int* open)
{
    if (!controllerID)
        return ERROR_parameter_invalid;
    return connected(serverConnectionHandlerID, [&](HandlerState& state) -> unsigned int {
        const auto share = state.screens.shares.constFind(sharerID);
        if (share == state.screens.shares.constEnd())
            return ERROR_screen_not_sharing;
        *controllerID = share->controller;
        if (open)
            *open = share->open ? 1 : 0;
        return ERROR_ok;
    });
}

unsigned int voicescreen_getWatchers(uint64 serverConnectionHandlerID, anyID** result)
{
    if (!result)
        return ERROR_parameter_invalid;
    return connected(serverConnectionHandlerID, [&](HandlerState& state) -> unsigned int {
        if (!state.screens.sharing)
            return ERROR_screen_not_sharing;
        *result = dupIdList<anyID>(state.screens.watchers);
        return *result ? unsigned(ERROR_ok) : unsigned(ERROR_out_of_memory);
    });
}

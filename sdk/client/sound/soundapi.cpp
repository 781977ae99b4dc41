// SPDX-License-Identifier: MIT
// The ts3client_* sound functions and the hooks the library core calls.
#include "sound.h"

#include "soundmanager.h"
#include "voiceengine.h"

#include "../library.h"
#include "../memory.h"

#include <QMutex>

#include <cstdlib>

namespace voicesdk::sound {

namespace {

QMutex g_mutex;
std::shared_ptr<SoundManager> g_manager;

QByteArray text(const char* s)
{
    return s ? QByteArray(s) : QByteArray();
}

// {name, id}: a two-element array, released element by element.
char** dupPair(const DeviceInfo& device)
{
    auto** pair = static_cast<char**>(std::malloc(2 * sizeof(char*)));
    if (!pair)
        return nullptr;
    pair[0] = dupString(device.name);
    pair[1] = dupString(device.id);
    if (!pair[0] || !pair[1]) {
        std::free(pair[0]);
        std::free(pair[1]);
        std::free(pair);
        return nullptr;
    }
    return pair;
}

void freePairList(char*** list)
{
    for (char*** entry = list; *entry; ++entry) {
        std::free((*entry)[0]);
        std::free((*entry)[1]);
        std::free(*entry);
    }
    std::free(list);
}

// The manager for calls without a handler.
unsigned int libraryManager(std::shared_ptr<SoundManager>* out)
{
    if (!isLibraryInitialised())
        return ERROR_lib_not_initialized;
    *out = manager();
    return *out ? ERROR_ok : ERROR_lib_not_initialized;
}

// The manager for calls on a handler, after checking the handler.
unsigned int handlerManager(uint64 handler, std::shared_ptr<SoundManager>* out)
{
    if (const unsigned int code = libraryManager(out))
        return code;
    return handlerExists(handler) ? ERROR_ok : ERROR_connection_handler_invalid;
}

unsigned int modeList(Direction direction, char*** result)
{
    std::shared_ptr<SoundManager> m;
    if (const unsigned int code = libraryManager(&m))
        return code;
    if (!result)
        return ERROR_parameter_invalid;
    const QList<QByteArray> modes = m->modes(direction);
    char** list = dupStringArray(modes);
    if (!list)
        return ERROR_out_of_memory;
    for (int i = 0; i < modes.size(); ++i) {
        if (!list[i]) {
            // dupStringArray leaves a null where an entry failed; free every slot.
            for (int j = 0; j < modes.size(); ++j)
                std::free(list[j]);
            std::free(list);
            return ERROR_out_of_memory;
        }
    }
    *result = list;
    return ERROR_ok;
}

unsigned int defaultMode(Direction direction, char** result)
{
    std::shared_ptr<SoundManager> m;
    if (const unsigned int code = libraryManager(&m))
        return code;
    if (!result)
        return ERROR_parameter_invalid;
    char* mode = dupString(m->defaultMode(direction));
    if (!mode)
        return ERROR_out_of_memory;
    *result = mode;
    return ERROR_ok;
}

unsigned int defaultDevice(Direction direction, const char* mode, char*** result)
{
    std::shared_ptr<SoundManager> m;
    if (const unsigned int code = libraryManager(&m))
        return code;
    if (!result)
        return ERROR_parameter_invalid;
    DeviceInfo device;
    if (const unsigned int code = m->defaultDevice(direction, text(mode), &device))
        return code;
    char** pair = dupPair(device);
    if (!pair)
        return ERROR_out_of_memory;
    *result = pair;
    return ERROR_ok;
}

unsigned int deviceList(Direction direction, const char* mode, char**** result)
{
    std::shared_ptr<SoundManager> m;
    if (const unsigned int code = libraryManager(&m))
        return code;
    if (!result)
        return ERROR_parameter_invalid;
    QList<DeviceInfo> devices;
    if (const unsigned int code = m->devices(direction, text(mode), &devices))
        return code;
    auto*** list = static_cast<char***>(std::calloc(size_t(devices.size()) + 1, sizeof(char**)));
    if (!list)
        return ERROR_out_of_memory;
    for (int i = 0; i < devices.size(); ++i) {
        list[i] = dupPair(devices.at(i));
        if (!list[i]) {
            freePairList(list);
            return ERROR_out_of_memory;
        }
    }
    *result = list;
    return ERROR_ok;
}

unsigned int currentMode(uint64 handler, Direction direction, char** result)
{
    std::shared_ptr<SoundManager> m;
    if (const unsigned int code = handlerManager(handler, &m))
        return code;
    if (!result)
        return ERROR_parameter_invalid;
    QByteArray mode;
    if (const unsigned int code = m->current(handler, direction, &mode, nullptr, nullptr))
        return code;
    char* out = dupString(mode);
    if (!out)
        return ERROR_out_of_memory;
    *result = out;
    return ERROR_ok;
}

unsigned int currentDevice(uint64 handler, Direction direction, char** result, int* isDefault)
{
    std::shared_ptr<SoundManager> m;
    if (const unsigned int code = handlerManager(handler, &m))
        return code;
    if (!result)
        return ERROR_parameter_invalid;
    QByteArray device;
    bool deflt = false;
    if (const unsigned int code = m->current(handler, direction, nullptr, &device, &deflt))
        return code;
    char* out = dupString(device);
    if (!out)
        return ERROR_out_of_memory;
    *result = out;
    if (isDefault)
        *isDefault = deflt ? 1 : 0;
    return ERROR_ok;
}

unsigned int openDevice(uint64 handler, Direction direction, const char* mode, const char* device)
{
    std::shared_ptr<SoundManager> m;
    if (const unsigned int code = handlerManager(handler, &m))
        return code;
    const unsigned int code = m->open(handler, direction, text(mode), text(device));
    if (code == ERROR_ok) {
        voicethread::engine(handler); // an open device runs from now on, connected or not
        voicethread::wake();
    }
    return code;
}

} // namespace

std::shared_ptr<SoundManager> manager()
{
    QMutexLocker lock(&g_mutex);
    return g_manager;
}

void initialise()
{
    std::shared_ptr<SoundManager> created = SoundManager::create();
    std::shared_ptr<SoundManager> previous;
    {
        QMutexLocker lock(&g_mutex);
        previous = std::move(g_manager);
        g_manager = std::move(created);
    }
    voicethread::start();
}

void shutdown()
{
    voicethread::stop();
    std::shared_ptr<SoundManager> previous;
    {
        QMutexLocker lock(&g_mutex);
        previous = std::move(g_manager);
    }
    // Streams close when the last holder lets go, outside the lock.
}

void selfFlagsChanged()
{
    voicethread::wake();
}

void releaseHandler(uint64 serverConnectionHandlerID)
{
    voicethread::remove(serverConnectionHandlerID);
    if (std::shared_ptr<SoundManager> m = manager())
        m->releaseHandler(serverConnectionHandlerID);
}

} // namespace voicesdk::sound

using namespace voicesdk::sound;
using voicesdk::dupString;

extern "C" {

unsigned int ts3client_getDefaultCaptureMode(char** result)
{
    return defaultMode(Direction::Capture, result);
}

unsigned int ts3client_getDefaultPlayBackMode(char** result)
{
    return defaultMode(Direction::Playback, result);
}

unsigned int ts3client_getDefaultCaptureDevice(const char* modeID, char*** result)
{
    return defaultDevice(Direction::Capture, modeID, result);
}

unsigned int ts3client_getDefaultPlaybackDevice(const char* modeID, char*** result)
{
    return defaultDevice(Direction::Playback, modeID, result);
}

unsigned int ts3client_getCaptureModeList(char*** result)
{
    return modeList(Direction::Capture, result);
}

unsigned int ts3client_getPlaybackModeList(char*** result)
{
    return modeList(Direction::Playback, result);
}

unsigned int ts3client_getCaptureDeviceList(const char* modeID, char**** result)
{
    return deviceList(Direction::Capture, modeID, result);
}

unsigned int ts3client_getPlaybackDeviceList(const char* modeID, char**** result)
{
    return deviceList(Direction::Playback, modeID, result);
}

unsigned int ts3client_getCurrentCaptureMode(uint64 serverConnectionHandlerID, char** result)
{
    return currentMode(serverConnectionHandlerID, Direction::Capture, result);
}

unsigned int ts3client_getCurrentPlayBackMode(uint64 serverConnectionHandlerID, char** result)
{
    return currentMode(serverConnectionHandlerID, Direction::Playback, result);
}

unsigned int ts3client_getCurrentCaptureDeviceName(uint64 serverConnectionHandlerID, char** result,
                                                   int* isDefault)
{
    return currentDevice(serverConnectionHandlerID, Direction::Capture, result, isDefault);
}

unsigned int ts3client_getCurrentPlaybackDeviceName(uint64 serverConnectionHandlerID, char** result,
                                                    int* isDefault)
{
    return currentDevice(serverConnectionHandlerID, Direction::Playback, result, isDefault);
}

unsigned int ts3client_openCaptureDevice(uint64 serverConnectionHandlerID, const char* modeID,
                                         const char* captureDevice)
{
    return openDevice(serverConnectionHandlerID, Direction::Capture, modeID, captureDevice);
}

unsigned int ts3client_openPlaybackDevice(uint64 serverConnectionHandlerID, const char* modeID,
                                          const char* playbackDevice)
{
    return openDevice(serverConnectionHandlerID, Direction::Playback, modeID, playbackDevice);
}

unsigned int ts3client_getPreProcessorConfigValue(uint64 serverConnectionHandlerID,
                                                  const char* ident, char** result)
{
    std::shared_ptr<SoundManager> m;
    if (const unsigned int code = handlerManager(serverConnectionHandlerID, &m))
        return code;
    if (!ident || !result)
        return ERROR_parameter_invalid;
    QByteArray value;
    if (const unsigned int code = m->preProcessorValue(serverConnectionHandlerID, ident, &value))
        return code;
    char* out = dupString(value);
    if (!out)
        return ERROR_out_of_memory;
    *result = out;
    return ERROR_ok;
}

unsigned int ts3client_setPreProcessorConfigValue(uint64 serverConnectionHandlerID,
                                                  const char* ident, const char* value)
{
    std::shared_ptr<SoundManager> m;
    if (const unsigned int code = handlerManager(serverConnectionHandlerID, &m))
        return code;
    if (!ident || !value)
        return ERROR_parameter_invalid;
    return m->setPreProcessorValue(serverConnectionHandlerID, ident, value);
}

unsigned int ts3client_getPreProcessorInfoValueFloat(uint64 serverConnectionHandlerID,
                                                     const char* ident, float* result)
{
    std::shared_ptr<SoundManager> m;
    if (const unsigned int code = handlerManager(serverConnectionHandlerID, &m))
        return code;
    if (!ident || !result)
        return ERROR_parameter_invalid;
    if (QByteArray(ident) != "decibel_last_period")
        return ERROR_sound_invalid_identifier;
    const std::shared_ptr<VoiceEngine> engine = voicethread::existing(serverConnectionHandlerID);
    *result = engine ? engine->inputLevel() : VoiceEngine::LevelFloor;
    return ERROR_ok;
}

unsigned int ts3client_getPlaybackConfigValueAsFloat(uint64 serverConnectionHandlerID,
                                                     const char* ident, float* result)
{
    std::shared_ptr<SoundManager> m;
    if (const unsigned int code = handlerManager(serverConnectionHandlerID, &m))
        return code;
    if (!ident || !result)
        return ERROR_parameter_invalid;
    return m->playbackValue(serverConnectionHandlerID, ident, result);
}

unsigned int ts3client_setPlaybackConfigValue(uint64 serverConnectionHandlerID, const char* ident,
                                              const char* value)
{
    std::shared_ptr<SoundManager> m;
    if (const unsigned int code = handlerManager(serverConnectionHandlerID, &m))
        return code;
    if (!ident || !value)
        return ERROR_parameter_invalid;
    return m->setPlaybackValue(serverConnectionHandlerID, ident, value);
}

} // extern "C"

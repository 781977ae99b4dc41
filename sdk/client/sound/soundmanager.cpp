// SPDX-License-Identifier: MIT
#include "soundmanager.h"

#include "virtualdevices.h"
#if VOICESDK_WITH_PORTAUDIO
#include "portaudiosystem.h"
#endif

namespace voicesdk::sound {

SoundManager::SoundManager(std::vector<std::unique_ptr<SoundSystem>> systems)
    : m_systems(std::move(systems))
{
    m_systems.push_back(std::make_unique<VirtualSoundSystem>());
}

std::unique_ptr<SoundManager> SoundManager::create()
{
    std::vector<std::unique_ptr<SoundSystem>> systems;
#if VOICESDK_WITH_PORTAUDIO
    systems = createPortAudioSystems();
#endif
    return std::make_unique<SoundManager>(std::move(systems));
}

// A system is a mode of a direction only when it has devices there.
QList<QByteArray> SoundManager::modes(Direction direction) const
{
    QList<QByteArray> out;
    for (const auto& system : m_systems)
        if (!system->devices(direction).isEmpty())
            out.append(system->id());
    return out;
}

// The first system in preference order with a default device; the virtual one always has one.
QByteArray SoundManager::defaultMode(Direction direction) const
{
    for (const auto& system : m_systems)
        if (!system->defaultDevice(direction).isEmpty())
            return system->id();
    return {};
}

SoundSystem* SoundManager::findSystem(Direction direction, const QByteArray& mode) const
{
    const QByteArray wanted = mode.isEmpty() ? defaultMode(direction) : mode;
    for (const auto& system : m_systems)
        if (system->id() == wanted && !system->devices(direction).isEmpty())
            return system.get();
    return nullptr;
}

unsigned int SoundManager::devices(Direction direction, const QByteArray& mode,
                                   QList<DeviceInfo>* out) const
{
    const SoundSystem* system = findSystem(direction, mode);
    if (!system)
        return ERROR_sound_invalid_mode;
    *out = system->devices(direction);
    return ERROR_ok;
}

unsigned int SoundManager::defaultDevice(Direction direction, const QByteArray& mode,
                                         DeviceInfo* out) const
{
    const SoundSystem* system = findSystem(direction, mode);
    if (!system)
        return ERROR_sound_invalid_mode;
    const QByteArray id = system->defaultDevice(direction);
    for (const DeviceInfo& device : system->devices(direction)) {
        if (device.id == id) {
            *out = device;
            return ERROR_ok;
        }
    }
    return ERROR_sound_invalid_device;
}

unsigned int SoundManager::openOn(SoundSystem* system, Direction direction,
                                  const QByteArray& device, HandlerState& state)
{
    unsigned int code;
    if (direction == Direction::Capture) {
        std::unique_ptr<CaptureSource> source;
        code = system->openCapture(device, &source);
        if (code == ERROR_ok) {
            state.capture = std::move(source);
            state.captureName = {system->id(), device, std::chrono::steady_clock::now()};
        }
    } else {
        std::unique_ptr<PlaybackSink> sink;
        code = system->openPlayback(device, &sink);
        if (code == ERROR_ok) {
            state.playback = std::move(sink);
            state.playbackName = {system->id(), device, std::chrono::steady_clock::now()};
        }
    }
    return code;
}

unsigned int SoundManager::open(uint64 handler, Direction direction, const QByteArray& mode,
                                const QByteArray& device)
{
    QMutexLocker lock(&m_mutex);
    SoundSystem* system = findSystem(direction, mode);
    if (!system)
        return ERROR_sound_invalid_mode;
    const QByteArray id = device.isEmpty() ? system->defaultDevice(direction) : device;
    if (id.isEmpty())
        return ERROR_sound_invalid_device;

    HandlerState& state = m_handlers[handler];
    unsigned int code = openOn(system, direction, id, state);
    Opened& name = direction == Direction::Capture ? state.captureName : state.playbackName;
    if (code != ERROR_sound_device_open_failed || name.device.isEmpty())
        return code;

    // Hardware that takes one stream at a time may be busy with this handler's own old stream:
    // close it and try again, and bring the old one back when the new one still fails.
    const Opened old = name;
    name = {};
    if (direction == Direction::Capture)
        state.capture.reset();
    else
        state.playback.reset();
    code = openOn(system, direction, id, state);
    if (code != ERROR_ok) {
        if (SoundSystem* oldSystem = findSystem(direction, old.mode))
            openOn(oldSystem, direction, old.device, state);
    }
    return code;
}

unsigned int SoundManager::current(uint64 handler, Direction direction, QByteArray* mode,
                                   QByteArray* device, bool* isDefault) const
{
    QMutexLocker lock(&m_mutex);
    const auto it = m_handlers.find(handler);
    if (it == m_handlers.end())
        return ERROR_sound_invalid_device;
    const Opened& name =
        direction == Direction::Capture ? it->second.captureName : it->second.playbackName;
    if (name.device.isEmpty())
        return ERROR_sound_invalid_device;
    if (mode)
        *mode = name.mode;
    if (device)
        *device = name.device;
    if (isDefault) {
        const SoundSystem* system = findSystem(direction, name.mode);
        *isDefault = system && system->defaultDevice(direction) == name.device;
    }
    return ERROR_ok;
}

std::shared_ptr<CaptureSource>
SoundManager::captureSource(uint64 handler, std::chrono::steady_clock::time_point* openedAt) const
{
    QMutexLocker lock(&m_mutex);
    const auto it = m_handlers.find(handler);
    if (it == m_handlers.end())
        return nullptr;
    if (openedAt)
        *openedAt = it->second.captureName.at;
    return it->second.capture;
}

std::shared_ptr<PlaybackSink>
SoundManager::playbackSink(uint64 handler, std::chrono::steady_clock::time_point* openedAt) const
{
    QMutexLocker lock(&m_mutex);
    const auto it = m_handlers.find(handler);
    if (it == m_handlers.end())
        return nullptr;
    if (openedAt)
        *openedAt = it->second.playbackName.at;
    return it->second.playback;
}

unsigned int SoundManager::setPreProcessorValue(uint64 handler, const QByteArray& ident,
                                                const QByteArray& value)
{
    QMutexLocker lock(&m_mutex);
    SoundConfig config = m_handlers.count(handler) ? m_handlers[handler].config : SoundConfig();
    const unsigned int code = config.setPreProcessorValue(ident, value);
    if (code == ERROR_ok)
        m_handlers[handler].config = config;
    return code;
}

unsigned int SoundManager::preProcessorValue(uint64 handler, const QByteArray& ident,
                                             QByteArray* text) const
{
    return config(handler).preProcessorValue(ident, text);
}

unsigned int SoundManager::setPlaybackValue(uint64 handler, const QByteArray& ident,
                                            const QByteArray& value)
{
    QMutexLocker lock(&m_mutex);
    SoundConfig config = m_handlers.count(handler) ? m_handlers[handler].config : SoundConfig();
    const unsigned int code = config.setPlaybackValue(ident, value);
    if (code == ERROR_ok)
        m_handlers[handler].config = config;
    return code;
}

unsigned int SoundManager::playbackValue(uint64 handler, const QByteArray& ident,
                                         float* value) const
{
    return config(handler).playbackValue(ident, value);
}

SoundConfig SoundManager::config(uint64 handler) const
{
    QMutexLocker lock(&m_mutex);
    const auto it = m_handlers.find(handler);
    return it == m_handlers.end() ? SoundConfig() : it->second.config;
}

void SoundManager::releaseHandler(uint64 handler)
{
    HandlerState released;
    {
        QMutexLocker lock(&m_mutex);
        const auto it = m_handlers.find(handler);
        if (it == m_handlers.end())
            return;
        released = std::move(it->second);
        m_handlers.erase(it);
    }
    // The devices close here, outside the lock.
}

} // namespace voicesdk::sound

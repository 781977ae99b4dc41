// SPDX-License-Identifier: MIT
#pragma once

#include "soundconfig.h"
#include "soundsystem.h"

#include "voicesdk.h"

#include <QMutex>

#include <chrono>

#include <map>
#include <memory>
#include <vector>

namespace voicesdk::sound {

// The sound systems and, per connection handler, the open devices and the configuration values.
// Handler IDs are taken as given; the C API checks them against the library first. All members
// are thread-safe.
class SoundManager
{
public:
    // The systems in preference order; the virtual system is appended.
    explicit SoundManager(std::vector<std::unique_ptr<SoundSystem>> systems);
    // PortAudio's host APIs (when built with them) and the virtual system.
    static std::unique_ptr<SoundManager> create();

    // An empty mode or device below means the default one.
    QList<QByteArray> modes(Direction direction) const;
    QByteArray defaultMode(Direction direction) const;
    unsigned int devices(Direction direction, const QByteArray& mode, QList<DeviceInfo>* out) const;
    unsigned int defaultDevice(Direction direction, const QByteArray& mode, DeviceInfo* out) const;

    // Replaces the handler's device. When the new device cannot be opened the old one stays.
    unsigned int open(uint64 handler, Direction direction, const QByteArray& mode,
                      const QByteArray& device);
    // ERROR_sound_invalid_device while nothing is open in that direction.
    unsigned int current(uint64 handler, Direction direction, QByteArray* mode, QByteArray* device,
                         bool* isDefault) const;
    // For the voice path; null while nothing is open. Holding one keeps the device open.
    // openedAt receives when it was opened: devices without a clock of their own run from then.
    std::shared_ptr<CaptureSource>
    captureSource(uint64 handler, std::chrono::steady_clock::time_point* openedAt = nullptr) const;
    std::shared_ptr<PlaybackSink>
    playbackSink(uint64 handler, std::chrono::steady_clock::time_point* openedAt = nullptr) const;

    unsigned int setPreProcessorValue(uint64 handler, const QByteArray& ident,
                                      const QByteArray& value);
    unsigned int preProcessorValue(uint64 handler, const QByteArray& ident, QByteArray* text) const;
    unsigned int setPlaybackValue(uint64 handler, const QByteArray& ident, const QByteArray& value);
    unsigned int playbackValue(uint64 handler, const QByteArray& ident, float* value) const;
    SoundConfig config(uint64 handler) const;

    // Closes the handler's devices and forgets its values.
    void releaseHandler(uint64 handler);

private:
    struct Opened
    {
        QByteArray mode;
        QByteArray device;
        std::chrono::steady_clock::time_point at;
    };
    struct HandlerState
    {
        Opened captureName;
        Opened playbackName;
        std::shared_ptr<CaptureSource> capture;
        std::shared_ptr<PlaybackSink> playback;
        SoundConfig config;
    };

    SoundSystem* findSystem(Direction direction, const QByteArray& mode) const;
    unsigned int openOn(SoundSystem* system, Direction direction, const QByteArray& device,
                        HandlerState& state);

    mutable QMutex m_mutex;
    std::vector<std::unique_ptr<SoundSystem>> m_systems;
    std::map<uint64, HandlerState> m_handlers;
};

// The library-wide manager while the library is initialised, else null.
std::shared_ptr<SoundManager> manager();

} // namespace voicesdk::sound

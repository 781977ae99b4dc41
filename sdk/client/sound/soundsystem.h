// SPDX-License-Identifier: MIT
#pragma once

#include "audioio.h"

#include "voicesdk.h"

#include <QByteArray>
#include <QList>

#include <memory>

namespace voicesdk::sound {

enum class Direction { Capture, Playback };

struct DeviceInfo
{
    QByteArray id;   // what open takes; stable across runs
    QByteArray name; // for display
};

// One sound system ("mode"): a PortAudio host API or the virtual system.
class SoundSystem
{
public:
    virtual ~SoundSystem() = default;
    virtual QByteArray id() const = 0;
    virtual QList<DeviceInfo> devices(Direction direction) const = 0;
    // Empty when the system has no device in that direction.
    virtual QByteArray defaultDevice(Direction direction) const = 0;
    // ERROR_ok, ERROR_sound_invalid_device or ERROR_sound_device_open_failed.
    virtual unsigned int openCapture(const QByteArray& deviceId,
                                     std::unique_ptr<CaptureSource>* out) = 0;
    virtual unsigned int openPlayback(const QByteArray& deviceId,
                                      std::unique_ptr<PlaybackSink>* out) = 0;
};

} // namespace voicesdk::sound

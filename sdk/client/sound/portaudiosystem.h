// SPDX-License-Identifier: MIT
#pragma once

#include "soundsystem.h"

#include <memory>
#include <vector>

namespace voicesdk::sound {

// One sound system per PortAudio host API that has at least one device, the host API PortAudio
// calls its default first. Empty when PortAudio does not initialise. Device IDs are the device
// names, which stay the same across runs while indices do not; a repeated name gets " (2)", " (3)"
// in enumeration order.
std::vector<std::unique_ptr<SoundSystem>> createPortAudioSystems();

} // namespace voicesdk::sound

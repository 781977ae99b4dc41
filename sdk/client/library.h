// SPDX-License-Identifier: MIT
// Contributors: read CONTRIBUTING.md at the top of the tree first.
#pragma once

#include "voicesdk.h"

// What the library core offers to its other modules (sound, file transfer).
namespace voicesdk {

bool isLibraryInitialised();
bool handlerExists(uint64 serverConnectionHandlerID);

// The own flags the voice path obeys at once, before the server hears of them.
struct VoiceSelfFlags
{
    bool inputMuted = false;
    bool outputMuted = false;
    bool inputDeactivated = false;
};
VoiceSelfFlags voiceSelfFlags(uint64 serverConnectionHandlerID);

} // namespace voicesdk

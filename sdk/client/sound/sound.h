// SPDX-License-Identifier: MIT
// Contributors: read CONTRIBUTING.md at the top of the tree first.
#pragma once

#include "voicesdk.h"

// Hooks the library core calls into the sound module. The ts3client_* sound functions
// themselves live in the sound module.
namespace voicesdk::sound {

void initialise(); // from ts3client_initClientLib
void shutdown();   // from ts3client_destroyClientLib
void releaseHandler(
    uint64 serverConnectionHandlerID); // from ts3client_destroyServerConnectionHandler
void selfFlagsChanged();               // from ts3client_setClientSelfVariableAsInt

} // namespace voicesdk::sound

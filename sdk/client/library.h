// SPDX-License-Identifier: MIT
#pragma once

#include "voicesdk.h"

// What the library core offers to its other modules (sound, file transfer).
namespace voicesdk {

bool isLibraryInitialised();
bool handlerExists(uint64 serverConnectionHandlerID);

} // namespace voicesdk

// SPDX-License-Identifier: MIT
#pragma once

#include "voicesdk.h"

#include <QtGlobal>

// The speech table: each link once per seed through a lossy relay to the server at serverPort,
// heard by `listener`. Returns the exit code.
int runSpeech(quint16 serverPort, uint64 listener, int seconds, int settle, int seeds);

// SPDX-License-Identifier: MIT
#pragma once

#include "voicesdk.h"

#include <QJsonArray>
#include <QJsonObject>

// voice-cli's live-screen commands (see the usage text) and events. Registers the screen
// callbacks; print writes one event line (from any thread).
bool startScreenCommands(void (*print)(const QJsonObject&));
// Returns false when cmd[0] is no screen command; otherwise fills result with "error" (the
// code) and the data.
bool handleScreenCommand(const QJsonArray& cmd, uint64 handler, QJsonObject* result);

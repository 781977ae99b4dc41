// SPDX-License-Identifier: MIT
#pragma once

#include "voicesdk.h"

#include <QJsonArray>
#include <QJsonObject>

// voice-cli's sound commands, arguments in the C functions' order:
//   ["modes"]                                   capture and playback modes and their defaults
//   ["devices", mode?]                          capture and playback devices of a mode
//   ["opendevice", "capture"|"playback", mode?, device?]
//   ["getconfig", ident]                        a preprocessor or playback value
//   ["setconfig", ident, value]                 value as text, number or boolean
// A missing or null mode or device means the default one. Returns false when cmd[0] is no sound
// command; otherwise fills result with "error" (the code) and the data.
bool handleSoundCommand(const QJsonArray& cmd, uint64 handler, QJsonObject* result);

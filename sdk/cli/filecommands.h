// SPDX-License-Identifier: MIT
#pragma once

#include "voicesdk.h"

#include <QJsonArray>
#include <QJsonObject>

// voice-cli's file store commands, arguments in the C functions' order:
//   ["upload", channelID, channelPW, file, sourceDirectory]        result: transferID
//   ["download", channelID, channelPW, file, destinationDirectory] result: transferID
//   ["listfiles", channelID, channelPW, path]
//   ["deletefiles", channelID, channelPW, [file, ...]]
//   ["mkdir", channelID, channelPW, path]
//   ["issender", transferID]                                       result: isSender
// A null or empty channel password means none. Transfers end with onFileTransferStatusEvent
// (with isSender), listings arrive as onFileListEvent lines and one onFileListFinishedEvent.
// Returns false when cmd[0] is no file command; otherwise fills result with "error" and data.
bool handleFileCommand(const QJsonArray& cmd, uint64 handler, QJsonObject* result);

// Sets the file callbacks, which print through print.
void setFileCallbacks(ClientUIFunctions* functions, void (*print)(const QJsonObject&));

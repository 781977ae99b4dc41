// SPDX-License-Identifier: MIT
#pragma once

#include "textframing.h"
#include "voicesdk.h"

#include <QString>

// The SDK's event callbacks: they run on the SDK's thread, look up what they need there and emit
// the signals of TsSDKClient.
class TsSDKEvents
{
public:
    static void fillCallbacks(ClientUIFunctions* functions);
    static void fillScreenCallbacks(VoiceScreenFunctions* functions);

    // Framed texts being put together, per sender.
    static TextFraming::Reassembler& reassembler();
    // Client ID to the first nickname seen for it while it was known.
    static QString cachedNickname(anyID clientID, const QString& current, bool known);

    static void onConnectStatusChangeEvent(uint64 handler, int newStatus, unsigned int errorNumber);
    static void onNewChannelEvent(uint64 handler, uint64 channelID, uint64 channelParentID);
    static void onNewChannelCreatedEvent(uint64 handler, uint64 channelID, uint64 channelParentID,
                                         anyID invokerID, const char* invokerName,
                                         const char* invokerUniqueIdentifier);
    static void onDelChannelEvent(uint64 handler, uint64 channelID, anyID invokerID,
                                  const char* invokerName, const char* invokerUniqueIdentifier);
    static void onUpdateClientEvent(uint64 handler, anyID clientID, anyID invokerID,
                                    const char* invokerName, const char* invokerUniqueIdentifier);
    static void onClientMoveEvent(uint64 handler, anyID clientID, uint64 oldChannelID,
                                  uint64 newChannelID, int visibility, const char* moveMessage);
    static void onClientMoveSubscriptionEvent(uint64 handler, anyID clientID, uint64 oldChannelID,
                                              uint64 newChannelID, int visibility);
    static void onClientMoveTimeoutEvent(uint64 handler, anyID clientID, uint64 oldChannelID,
                                         uint64 newChannelID, int visibility,
                                         const char* timeoutMessage);
    static void onClientMoveMovedEvent(uint64 handler, anyID clientID, uint64 oldChannelID,
                                       uint64 newChannelID, int visibility, anyID moverID,
                                       const char* moverName, const char* moverUniqueIdentifier,
                                       const char* moveMessage);
    static void onServerErrorEvent(uint64 handler, const char* errorMessage, unsigned int error,
                                   const char* returnCode, const char* extraMessage);
    static void onTextMessageEvent(uint64 handler, anyID targetMode, anyID toID, anyID fromID,
                                   const char* fromName, const char* fromUniqueIdentifier,
                                   const char* message);
    static void onTalkStatusChangeEvent(uint64 handler, int status, int isReceivedWhisper,
                                        anyID clientID);
    static void onIgnoredWhisperEvent(uint64 handler, anyID clientID);
    static void onServerConnectionInfoEvent(uint64 handler);
    static void onUserLoggingMessageEvent(const char* logMessage, int logLevel,
                                          const char* logChannel, uint64 logID, const char* logTime,
                                          const char* completeLogString);
    static void onFileTransferStatusEvent(anyID transferID, unsigned int status,
                                          const char* statusMessage, uint64 remotefileSize,
                                          uint64 handler);
    static void onFileListEvent(uint64 handler, uint64 channelID, const char* path,
                                const char* name, uint64 size, uint64 datetime, int type,
                                uint64 incompletesize, const char* returnCode);
    static void onFileListFinishedEvent(uint64 handler, uint64 channelID, const char* path);
    static void onFileInfoEvent(uint64 handler, uint64 channelID, const char* name, uint64 size,
                                uint64 datetime);

    // Live screens. Frames go into TsSDKClient::screenFrames(), scaled for their viewer.
    static void onScreenShareEvent(uint64 handler, anyID clientID, int sharing, int width,
                                   int height);
    static void onScreenFrameEvent(uint64 handler, anyID clientID, unsigned int frameNumber,
                                   int width, int height, int stride, const unsigned char* pixels,
                                   unsigned int encodedBytes);
    static void onScreenCursorEvent(uint64 handler, anyID clientID, int x, int y, int visible);
    static void onScreenCursorShapeEvent(uint64 handler, anyID clientID, int width, int height,
                                         int hotX, int hotY, const unsigned char* pixels);
    static void onScreenControlEvent(uint64 handler, anyID sharerID, anyID controllerID, int open);
    static void onScreenErrorEvent(uint64 handler, anyID clientID, unsigned int error,
                                   const char* message);
};

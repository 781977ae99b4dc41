/* SPDX-License-Identifier: MIT
 * SPDX-FileCopyrightText: Meeting developers
 *
 * The voice SDK's C API: connection handlers, server state queries, commands, the channel file
 * store and sound devices. This is the only interface the Meeting client uses to reach a voice
 * server.
 *
 * Conventions
 * - Every function returns an error code: ERROR_ok (0) on success, one of the ERROR_* values
 *   otherwise; ts3client_getErrorMessage() turns a code into text.
 * - Strings are NUL-terminated UTF-8. A null pointer means "no value".
 * - Ownership: every string and array handed out through an out-pointer is allocated by the
 *   library and belongs to the caller, who releases it with ts3client_freeMemory(). For nested
 *   arrays (device lists) each inner string, each inner array and the outer array are released
 *   one by one.
 * - ID lists end with 0; device lists end with a null entry; device entries are {name, id} pairs.
 * - Callbacks are called on the library's own network thread, one at a time, in the order the
 *   events happened. They may call the query functions of this header.
 * - Request functions only check their arguments and queue the request; the outcome arrives as
 *   events. The returnCode argument is accepted for compatibility and may be null.
 */
#ifndef VOICESDK_H
#define VOICESDK_H

#include <stddef.h>

#if defined(_WIN32)
#if defined(VOICESDK_BUILDING)
#define VOICESDK_EXPORT __declspec(dllexport)
#else
#define VOICESDK_EXPORT __declspec(dllimport)
#endif
#else
#define VOICESDK_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef unsigned short anyID;
typedef unsigned long long uint64;

/* ---- Constants --------------------------------------------------------------------------- */

enum ConnectStatus {
    STATUS_DISCONNECTED = 0,
    STATUS_CONNECTING = 1,
    STATUS_CONNECTED = 2, /* own client ID and welcome message readable */
    STATUS_CONNECTION_ESTABLISHING = 3,
    STATUS_CONNECTION_ESTABLISHED = 4 /* all channels and clients announced */
};

enum Visibility { ENTER_VISIBILITY = 0, RETAIN_VISIBILITY = 1, LEAVE_VISIBILITY = 2 };

enum TextMessageTargetMode {
    TextMessageTarget_CLIENT = 1,
    TextMessageTarget_CHANNEL = 2,
    TextMessageTarget_SERVER = 3
};

enum TalkStatus { STATUS_NOT_TALKING = 0, STATUS_TALKING = 1 };

enum ClientProperties {
    CLIENT_UNIQUE_IDENTIFIER = 0,
    CLIENT_NICKNAME = 1,
    CLIENT_FLAG_TALKING = 4,
    CLIENT_INPUT_MUTED = 5,
    CLIENT_OUTPUT_MUTED = 6,
    CLIENT_INPUT_DEACTIVATED = 10
};

enum ChannelProperties {
    CHANNEL_NAME = 0,
    CHANNEL_TOPIC = 1,
    CHANNEL_DESCRIPTION = 2,
    CHANNEL_PASSWORD = 3,
    CHANNEL_FLAG_PERMANENT = 9,
    CHANNEL_FLAG_SEMI_PERMANENT = 10,
    CHANNEL_FLAG_PASSWORD = 12 /* read-only: "1" when the channel has a password */
};

enum VirtualServerProperties {
    VIRTUALSERVER_UNIQUE_IDENTIFIER = 0,
    VIRTUALSERVER_NAME = 1,
    VIRTUALSERVER_WELCOMEMESSAGE = 2
};

enum LogTypes { LogType_NONE = 0, LogType_FILE = 1, LogType_CONSOLE = 2, LogType_USERLOGGING = 4 };

enum LogLevel {
    LogLevel_CRITICAL = 0,
    LogLevel_ERROR = 1,
    LogLevel_WARNING = 2,
    LogLevel_DEBUG = 3,
    LogLevel_INFO = 4,
    LogLevel_DEVEL = 5
};

enum FileListType { FileListType_Directory = 0, FileListType_File = 1 };

enum Errors {
    ERROR_ok = 0x0000,
    ERROR_undefined = 0x0001,
    ERROR_not_implemented = 0x0002,
    ERROR_lib_not_initialized = 0x0003,
    ERROR_lib_already_initialized = 0x0004,
    ERROR_out_of_memory = 0x0005,

    ERROR_client_invalid_id = 0x0200,
    ERROR_client_nickname_inuse = 0x0201,
    ERROR_client_not_found = 0x0206, /* 518: no client with that name or ID */
    ERROR_client_not_allowed = 0x0207,
    ERROR_client_is_flooding = 0x0208, /* more requests than the server takes: wait, then retry */

    ERROR_channel_invalid_id = 0x0300,
    ERROR_channel_name_inuse = 0x0301,
    ERROR_channel_not_empty = 0x0302,
    ERROR_channel_invalid_password = 0x0303,
    ERROR_channel_is_default = 0x0304,
    ERROR_channel_already_in = 0x0305,
    ERROR_channel_invalid_name = 0x0306,
    ERROR_channel_limit_reached = 0x0307, /* too many channels, or nested too deep */

    ERROR_server_invalid_password = 0x0400,
    ERROR_server_full = 0x0401,
    ERROR_server_going_away = 0x0402, /* the server shut down: connect again (maybe elsewhere) */
    /* a text did not reach every recipient: in a cluster, the instance of some of them could not
     * be reached in time (onServerErrorEvent; extra names the channel or client) */
    ERROR_server_text_not_delivered = 0x0403,

    ERROR_parameter_invalid = 0x0600,
    ERROR_parameter_missing = 0x0601,
    ERROR_parameter_too_long = 0x0602,

    ERROR_connection_not_connected = 0x0700,
    ERROR_connection_already_connected = 0x0701,
    ERROR_connection_handler_invalid = 0x0702,
    ERROR_connection_protocol = 0x0703,
    ERROR_connection_lost = 0x0704,
    ERROR_failed_connection_initialisation = 0x0705, /* 1797: the server could not be reached */
    ERROR_connection_output_overflow = 0x0706,
    ERROR_connection_limit_reached = 0x0707, /* the server announced more than the library keeps */
    /* 1800: the server's certificate is not the one remembered at the first connection (see
     * ts3client_startConnection) */
    ERROR_connection_certificate_changed = 0x0708,

    ERROR_file_invalid_name = 0x0800,
    ERROR_file_invalid_path = 0x0801,
    ERROR_file_not_found = 0x0802,
    ERROR_file_already_exists = 0x0803,
    ERROR_file_io_error = 0x0804,
    ERROR_file_invalid_transfer_id = 0x0805,
    ERROR_file_too_large = 0x0806,
    ERROR_file_quota_exceeded = 0x0807,
    ERROR_file_transfer_aborted = 0x0808,
    ERROR_file_transfer_connection_failed = 0x0809,
    ERROR_file_not_a_directory = 0x080A,
    ERROR_file_directory_not_empty = 0x080B,
    ERROR_file_transfer_limit_reached = 0x080C, /* too many transfers at once */
    ERROR_file_transfer_complete = 0x0811,      /* 2065: a transfer finished successfully */

    ERROR_sound_invalid_mode = 0x0A00,
    ERROR_sound_invalid_device = 0x0A01,
    ERROR_sound_device_open_failed = 0x0A02,
    ERROR_sound_invalid_identifier = 0x0A03,
    ERROR_sound_invalid_value = 0x0A04,

    /* Live screens (the voicescreen_ functions below) */
    ERROR_screen_no_display = 0x0C00,  /* no X11 display to capture (none, or a Wayland session) */
    ERROR_screen_not_sharing = 0x0C01, /* that client shares no screen in the own channel */
    ERROR_screen_already_sharing = 0x0C02,
    ERROR_screen_not_watching = 0x0C03,
    ERROR_screen_not_controller = 0x0C04, /* input from a member the sharer has not given control */
    ERROR_screen_codec = 0x0C05,          /* the video encoder or decoder failed */
    ERROR_screen_limit_reached = 0x0C06,  /* a screen too large, or input or requests too fast */
    ERROR_screen_ended = 0x0C07 /* the share ended: stopped, left, or the display closed */
};

/* ---- Callbacks --------------------------------------------------------------------------- */

struct ClientUIFunctions
{
    void (*onConnectStatusChangeEvent)(uint64 serverConnectionHandlerID, int newStatus,
                                       unsigned int errorNumber);
    void (*onServerProtocolVersionEvent)(uint64 serverConnectionHandlerID, int protocolVersion);
    void (*onNewChannelEvent)(uint64 serverConnectionHandlerID, uint64 channelID,
                              uint64 channelParentID);
    void (*onNewChannelCreatedEvent)(uint64 serverConnectionHandlerID, uint64 channelID,
                                     uint64 channelParentID, anyID invokerID,
                                     const char* invokerName, const char* invokerUniqueIdentifier);
    void (*onDelChannelEvent)(uint64 serverConnectionHandlerID, uint64 channelID, anyID invokerID,
                              const char* invokerName, const char* invokerUniqueIdentifier);
    void (*onUpdateClientEvent)(uint64 serverConnectionHandlerID, anyID clientID, anyID invokerID,
                                const char* invokerName, const char* invokerUniqueIdentifier);
    void (*onClientMoveEvent)(uint64 serverConnectionHandlerID, anyID clientID, uint64 oldChannelID,
                              uint64 newChannelID, int visibility, const char* moveMessage);
    void (*onClientMoveSubscriptionEvent)(uint64 serverConnectionHandlerID, anyID clientID,
                                          uint64 oldChannelID, uint64 newChannelID, int visibility);
    void (*onClientMoveTimeoutEvent)(uint64 serverConnectionHandlerID, anyID clientID,
                                     uint64 oldChannelID, uint64 newChannelID, int visibility,
                                     const char* timeoutMessage);
    void (*onClientMoveMovedEvent)(uint64 serverConnectionHandlerID, anyID clientID,
                                   uint64 oldChannelID, uint64 newChannelID, int visibility,
                                   anyID moverID, const char* moverName,
                                   const char* moverUniqueIdentifier, const char* moveMessage);
    void (*onServerErrorEvent)(uint64 serverConnectionHandlerID, const char* errorMessage,
                               unsigned int error, const char* returnCode,
                               const char* extraMessage);
    void (*onTextMessageEvent)(uint64 serverConnectionHandlerID, anyID targetMode, anyID toID,
                               anyID fromID, const char* fromName, const char* fromUniqueIdentifier,
                               const char* message);
    /* STATUS_TALKING when a member of the own channel starts being heard (or the own client
     * starts sending), STATUS_NOT_TALKING when it stops; isReceivedWhisper is always 0. */
    void (*onTalkStatusChangeEvent)(uint64 serverConnectionHandlerID, int status,
                                    int isReceivedWhisper, anyID clientID);
    void (*onIgnoredWhisperEvent)(uint64 serverConnectionHandlerID, anyID clientID);
    void (*onServerConnectionInfoEvent)(uint64 serverConnectionHandlerID);
    void (*onUserLoggingMessageEvent)(const char* logMessage, int logLevel, const char* logChannel,
                                      uint64 logID, const char* logTime,
                                      const char* completeLogString);
    void (*onFileTransferStatusEvent)(anyID transferID, unsigned int status,
                                      const char* statusMessage, uint64 remotefileSize,
                                      uint64 serverConnectionHandlerID);
    void (*onFileListEvent)(uint64 serverConnectionHandlerID, uint64 channelID, const char* path,
                            const char* name, uint64 size, uint64 datetime, int type,
                            uint64 incompletesize, const char* returnCode);
    void (*onFileListFinishedEvent)(uint64 serverConnectionHandlerID, uint64 channelID,
                                    const char* path);
    void (*onFileInfoEvent)(uint64 serverConnectionHandlerID, uint64 channelID, const char* name,
                            uint64 size, uint64 datetime);
    /* Room for events this library does not raise; callers zero the whole table, and the
     * library never calls these. Keeps the table at 50 entries. */
    void (*reserved[30])(void);
};

/* Rarely used callbacks; none are raised by this library. The pointer may be null. */
struct ClientUIFunctionsRare
{
    void (*reserved[8])(void);
};

/* ---- Library and connection -------------------------------------------------------------- */

/* The table is copied. usedLogTypes is a mask of LogTypes; logFileFolder may be null for no
 * file log. */
VOICESDK_EXPORT unsigned int
ts3client_initClientLib(const struct ClientUIFunctions* functionPointers,
                        const struct ClientUIFunctionsRare* functionRarePointers, int usedLogTypes,
                        const char* logFileFolder, const char* resourcesFolder);
VOICESDK_EXPORT unsigned int ts3client_destroyClientLib(void);
/* port is a local port hint for voice; 0 chooses one. */
VOICESDK_EXPORT unsigned int ts3client_spawnNewServerConnectionHandler(int port, uint64* result);
VOICESDK_EXPORT unsigned int
ts3client_destroyServerConnectionHandler(uint64 serverConnectionHandlerID);
/* A new random identity string; the unique identifier others see is derived from it. */
VOICESDK_EXPORT unsigned int ts3client_createIdentity(char** result);
/* defaultChannelArray is a null-terminated path of channel names from the top level, or null.
 * Connections use TLS. A certificate that verifies against the system's authorities for the
 * host is accepted; any other is trusted on first use: its public key is remembered for that
 * host and port in "known_servers.txt" in the working directory (beside the identity file), so
 * a certificate renewed for the same key is accepted, and another key later ends the connection
 * with ERROR_connection_certificate_changed. Removing the server's lines from that file makes
 * the next connection trust the new key. */
VOICESDK_EXPORT unsigned int
ts3client_startConnection(uint64 serverConnectionHandlerID, const char* identity, const char* ip,
                          unsigned int port, const char* nickname, const char** defaultChannelArray,
                          const char* defaultChannelPassword, const char* serverPassword);
VOICESDK_EXPORT unsigned int
ts3client_startConnectionWithChannelID(uint64 serverConnectionHandlerID, const char* identity,
                                       const char* ip, unsigned int port, const char* nickname,
                                       uint64 defaultChannelId, const char* defaultChannelPassword,
                                       const char* serverPassword);
VOICESDK_EXPORT unsigned int ts3client_stopConnection(uint64 serverConnectionHandlerID,
                                                      const char* quitMessage);
VOICESDK_EXPORT unsigned int ts3client_getClientLibVersion(char** result);
VOICESDK_EXPORT unsigned int ts3client_getErrorMessage(unsigned int errorCode, char** error);
VOICESDK_EXPORT unsigned int ts3client_freeMemory(void* pointer);

/* ---- Queries (read the library's mirror of the server; callable from any thread) ---------- */

VOICESDK_EXPORT unsigned int ts3client_getClientID(uint64 serverConnectionHandlerID, anyID* result);
VOICESDK_EXPORT unsigned int ts3client_getClientList(uint64 serverConnectionHandlerID,
                                                     anyID** result);
VOICESDK_EXPORT unsigned int ts3client_getChannelClientList(uint64 serverConnectionHandlerID,
                                                            uint64 channelID, anyID** result);
VOICESDK_EXPORT unsigned int ts3client_getChannelList(uint64 serverConnectionHandlerID,
                                                      uint64** result);
VOICESDK_EXPORT unsigned int ts3client_getChannelOfClient(uint64 serverConnectionHandlerID,
                                                          anyID clientID, uint64* result);
VOICESDK_EXPORT unsigned int ts3client_getClientVariableAsString(uint64 serverConnectionHandlerID,
                                                                 anyID clientID, size_t flag,
                                                                 char** result);
VOICESDK_EXPORT unsigned int ts3client_getChannelVariableAsString(uint64 serverConnectionHandlerID,
                                                                  uint64 channelID, size_t flag,
                                                                  char** result);
VOICESDK_EXPORT unsigned int ts3client_getServerVariableAsString(uint64 serverConnectionHandlerID,
                                                                 size_t flag, char** result);
VOICESDK_EXPORT unsigned int ts3client_getClientSelfVariableAsInt(uint64 serverConnectionHandlerID,
                                                                  size_t flag, int* result);

/* ---- Commands ---------------------------------------------------------------------------- */

/* Own flags (CLIENT_INPUT_MUTED, CLIENT_OUTPUT_MUTED, CLIENT_INPUT_DEACTIVATED) are set locally
 * and sent to the server by ts3client_flushClientSelfUpdates. */
VOICESDK_EXPORT unsigned int ts3client_setClientSelfVariableAsInt(uint64 serverConnectionHandlerID,
                                                                  size_t flag, int value);
VOICESDK_EXPORT unsigned int ts3client_flushClientSelfUpdates(uint64 serverConnectionHandlerID,
                                                              const char* returnCode);
/* With channelID 0 these set properties of the pending new channel, created by
 * ts3client_flushChannelCreation. */
VOICESDK_EXPORT unsigned int ts3client_setChannelVariableAsString(uint64 serverConnectionHandlerID,
                                                                  uint64 channelID, size_t flag,
                                                                  const char* value);
VOICESDK_EXPORT unsigned int ts3client_setChannelVariableAsInt(uint64 serverConnectionHandlerID,
                                                               uint64 channelID, size_t flag,
                                                               int value);
VOICESDK_EXPORT unsigned int ts3client_flushChannelCreation(uint64 serverConnectionHandlerID,
                                                            uint64 channelParentID,
                                                            const char* returnCode);
VOICESDK_EXPORT unsigned int ts3client_requestChannelDelete(uint64 serverConnectionHandlerID,
                                                            uint64 channelID, int force,
                                                            const char* returnCode);
VOICESDK_EXPORT unsigned int ts3client_requestClientMove(uint64 serverConnectionHandlerID,
                                                         anyID clientID, uint64 newChannelID,
                                                         const char* password,
                                                         const char* returnCode);
VOICESDK_EXPORT unsigned int ts3client_requestSendPrivateTextMsg(uint64 serverConnectionHandlerID,
                                                                 const char* message,
                                                                 anyID targetClientID,
                                                                 const char* returnCode);
VOICESDK_EXPORT unsigned int ts3client_requestSendChannelTextMsg(uint64 serverConnectionHandlerID,
                                                                 const char* message,
                                                                 uint64 targetChannelID,
                                                                 const char* returnCode);
VOICESDK_EXPORT unsigned int ts3client_requestChannelSubscribeAll(uint64 serverConnectionHandlerID,
                                                                  const char* returnCode);
VOICESDK_EXPORT unsigned int ts3client_allowWhispersFrom(uint64 serverConnectionHandlerID,
                                                         anyID clientID);

/* ---- File transfer ----------------------------------------------------------------------- */

/* The local file is the last path segment of `file` inside sourceDirectory or
 * destinationDirectory. *result receives the transfer ID; the end of the transfer arrives as
 * onFileTransferStatusEvent with ERROR_file_transfer_complete or another code. */
VOICESDK_EXPORT unsigned int ts3client_sendFile(uint64 serverConnectionHandlerID, uint64 channelID,
                                                const char* channelPW, const char* file,
                                                int overwrite, int resume,
                                                const char* sourceDirectory, anyID* result,
                                                const char* returnCode);
VOICESDK_EXPORT unsigned int ts3client_requestFile(uint64 serverConnectionHandlerID,
                                                   uint64 channelID, const char* channelPW,
                                                   const char* file, int overwrite, int resume,
                                                   const char* destinationDirectory, anyID* result,
                                                   const char* returnCode);
VOICESDK_EXPORT unsigned int ts3client_isTransferSender(uint64 serverConnectionHandlerID,
                                                        anyID transferID, int* result);
/* Progress of a transfer, known from its start until 10 minutes after its end: the file's size
 * in bytes (0 until a download has heard it from the server) and the bytes moved so far (equal
 * to the size once complete; a failed transfer keeps what it had). Poll them while it runs. */
VOICESDK_EXPORT unsigned int ts3client_getTransferFileSize(uint64 serverConnectionHandlerID,
                                                           anyID transferID, uint64* result);
VOICESDK_EXPORT unsigned int ts3client_getTransferFileSizeDone(uint64 serverConnectionHandlerID,
                                                               anyID transferID, uint64* result);
VOICESDK_EXPORT unsigned int ts3client_requestFileList(uint64 serverConnectionHandlerID,
                                                       uint64 channelID, const char* channelPW,
                                                       const char* path, const char* returnCode);
/* file is a null-terminated array of paths. */
VOICESDK_EXPORT unsigned int ts3client_requestDeleteFile(uint64 serverConnectionHandlerID,
                                                         uint64 channelID, const char* channelPW,
                                                         const char** file, const char* returnCode);
VOICESDK_EXPORT unsigned int ts3client_requestCreateDirectory(uint64 serverConnectionHandlerID,
                                                              uint64 channelID,
                                                              const char* channelPW,
                                                              const char* directoryPath,
                                                              const char* returnCode);

/* ---- Sound ------------------------------------------------------------------------------- */

/* Modes are PortAudio's host APIs (device IDs are the device names, stable across runs) and the
 * "virtual" mode, which always exists and is the default where the machine has no sound device:
 *   capture  "silence", "tone" (440 Hz sine), "loopback" (what "loopback" plays, 40 ms later
 *            and 6 dB quieter: a speaker beside the microphone), "file:<path>" (reads the
 *            file's samples)
 *   playback "discard", "loopback", "file:<path>" (creates or truncates the file and writes
 *            what it plays)
 * Virtual devices run in real time from the moment they are opened: a file microphone gives a
 * frame every 20 ms and a file speaker records one every 20 ms (silence when nothing plays), so
 * a sample's position in the file is its time.
 * A path ending in ".wav" is a 48 kHz mono 16-bit PCM WAV file, any other raw 48 kHz mono 16-bit
 * little-endian samples; relative paths start at the working directory. A null or empty mode or
 * device means the default one. Opening replaces the handler's previous device; when the new
 * one fails the previous one stays. getCurrent* fail with ERROR_sound_invalid_device while
 * nothing is open. */

VOICESDK_EXPORT unsigned int ts3client_getDefaultCaptureMode(char** result);
VOICESDK_EXPORT unsigned int ts3client_getDefaultPlayBackMode(char** result);
/* result: a {name, id} pair. */
VOICESDK_EXPORT unsigned int ts3client_getDefaultCaptureDevice(const char* modeID, char*** result);
VOICESDK_EXPORT unsigned int ts3client_getDefaultPlaybackDevice(const char* modeID, char*** result);
/* result: a null-terminated list of mode identifiers. */
VOICESDK_EXPORT unsigned int ts3client_getCaptureModeList(char*** result);
VOICESDK_EXPORT unsigned int ts3client_getPlaybackModeList(char*** result);
/* result: a null-terminated list of {name, id} pairs. */
VOICESDK_EXPORT unsigned int ts3client_getCaptureDeviceList(const char* modeID, char**** result);
VOICESDK_EXPORT unsigned int ts3client_getPlaybackDeviceList(const char* modeID, char**** result);
VOICESDK_EXPORT unsigned int ts3client_getCurrentCaptureMode(uint64 serverConnectionHandlerID,
                                                             char** result);
VOICESDK_EXPORT unsigned int ts3client_getCurrentPlayBackMode(uint64 serverConnectionHandlerID,
                                                              char** result);
/* result: the device ID in use; isDefault (may be null) tells whether it is the mode's default. */
VOICESDK_EXPORT unsigned int ts3client_getCurrentCaptureDeviceName(uint64 serverConnectionHandlerID,
                                                                   char** result, int* isDefault);
VOICESDK_EXPORT unsigned int
ts3client_getCurrentPlaybackDeviceName(uint64 serverConnectionHandlerID, char** result,
                                       int* isDefault);
VOICESDK_EXPORT unsigned int ts3client_openCaptureDevice(uint64 serverConnectionHandlerID,
                                                         const char* modeID,
                                                         const char* captureDevice);
VOICESDK_EXPORT unsigned int ts3client_openPlaybackDevice(uint64 serverConnectionHandlerID,
                                                          const char* modeID,
                                                          const char* playbackDevice);
/* Identifiers: "vad" ("true"/"false"), "voiceactivation_level" (decibels), "echo_canceling"
 * ("true"/"false"). */
VOICESDK_EXPORT unsigned int ts3client_getPreProcessorConfigValue(uint64 serverConnectionHandlerID,
                                                                  const char* ident, char** result);
VOICESDK_EXPORT unsigned int ts3client_setPreProcessorConfigValue(uint64 serverConnectionHandlerID,
                                                                  const char* ident,
                                                                  const char* value);
/* Identifier: "decibel_last_period", the level of the last captured 20 ms frame after
 * preprocessing, on the scale of "voiceactivation_level": a frame counts as speech when its level
 * is at least the level set there. A level L is an RMS of L - 50 dBFS, never below -50 (-100 dBFS
 * or silence); -50 while no capture device runs. Measured whether or not the input is muted. */
VOICESDK_EXPORT unsigned int
ts3client_getPreProcessorInfoValueFloat(uint64 serverConnectionHandlerID, const char* ident,
                                        float* result);
/* Identifiers: "volume_modifier" and "volume_factor_wave" (decibels). */
VOICESDK_EXPORT unsigned int
ts3client_getPlaybackConfigValueAsFloat(uint64 serverConnectionHandlerID, const char* ident,
                                        float* result);
VOICESDK_EXPORT unsigned int ts3client_setPlaybackConfigValue(uint64 serverConnectionHandlerID,
                                                              const char* ident, const char* value);

/* ---- Live screens ------------------------------------------------------------------------ */

/* Beyond the voice SDK: a member shares its X11 screen with its own channel, the others watch
 * it, and one member at a time may drive the sharer's mouse and keyboard. The picture and the
 * input travel through the server (encrypted like everything else) on a connection of their own,
 * so a share never delays texts or voice. Only members of the sharer's channel see a share;
 * leaving the channel, moving, or the connection ending ends a client's share and its watching.
 *
 * Callbacks: onScreenShareEvent, onScreenControlEvent and onScreenErrorEvent are called on the
 * library's network thread, in order with the ClientUIFunctions events; onScreenFrameEvent and
 * the cursor events on the library's screen thread, one at a time, in the order of the frames.
 * Pointers passed to callbacks are valid only during the call. */
struct VoiceScreenFunctions
{
    /* clientID (the own client too) started sharing (sharing 1, with the screen's size in
     * pixels; again when the size changes) or stopped (0). Entering a channel announces the
     * shares running there; leaving it ends them for this client. */
    void (*onScreenShareEvent)(uint64 serverConnectionHandlerID, anyID clientID, int sharing,
                               int width, int height);
    /* A decoded frame of a watched share: width x height pixels, 4 bytes each in the order B, G,
     * R, A (A is 255), rows stride bytes apart. A watcher whose link cannot take the share gets
     * it scaled down to half its size (width and height say so; scale to the share's size).
     * frameNumber counts the sharer's frames (gaps: frames dropped on the way); encodedBytes is
     * the size of the frame on the wire. */
    void (*onScreenFrameEvent)(uint64 serverConnectionHandlerID, anyID clientID,
                               unsigned int frameNumber, int width, int height, int stride,
                               const unsigned char* pixels, unsigned int encodedBytes);
    /* The sharer's mouse pointer, in the share's pixels; visible 0 while it is off the shared
     * area. Drawn by the watcher, so that its movement costs no video. */
    void (*onScreenCursorEvent)(uint64 serverConnectionHandlerID, anyID clientID, int x, int y,
                                int visible);
    /* The pointer's shape: width x height pixels in the order B, G, R, A (premultiplied), rows
     * width * 4 bytes apart, with its hot spot. */
    void (*onScreenCursorShapeEvent)(uint64 serverConnectionHandlerID, anyID clientID, int width,
                                     int height, int hotX, int hotY, const unsigned char* pixels);
    /* Who controls sharerID's screen now: controllerID (0: nobody), and whether the sharer lets
     * the first member who asks take it (open 1). Every member of the channel hears it. */
    void (*onScreenControlEvent)(uint64 serverConnectionHandlerID, anyID sharerID,
                                 anyID controllerID, int open);
    /* Something about clientID's share went wrong for this client: a watch or input refused by
     * the server, or the own share ended because the display closed (the share's end follows as
     * onScreenShareEvent). One line of text says what. */
    void (*onScreenErrorEvent)(uint64 serverConnectionHandlerID, anyID clientID, unsigned int error,
                               const char* message);
    /* For the sharer: watcherID started (watching 1) or stopped (0) watching the own share;
     * leaving or moving away stops it. */
    void (*onScreenWatchEvent)(uint64 serverConnectionHandlerID, anyID watcherID, int watching);
    /* Room for later events; zero them. */
    void (*reserved[9])(void);
};

/* Registers the screen callbacks (the table is copied; null removes them). Call after
 * ts3client_initClientLib; ts3client_destroyClientLib forgets them. */
VOICESDK_EXPORT unsigned int voicescreen_setCallbacks(const struct VoiceScreenFunctions* functions);

/* Shares an X11 display with the own channel: display names it (null: the DISPLAY variable),
 * monitor -1 shares the whole display, 0, 1, ... one monitor of it (as RandR lists them).
 * maxKbps caps the video's bit rate (0: 3000). The size is at most 7680 x 4320. Fails with
 * ERROR_screen_no_display where there is no X11 display to capture (a Wayland session without
 * X11 access included), ERROR_screen_already_sharing, ERROR_connection_not_connected. */
VOICESDK_EXPORT unsigned int voicescreen_startShare(uint64 serverConnectionHandlerID,
                                                    const char* display, int monitor,
                                                    unsigned int maxKbps);
/* Ends the own share; watchers hear of it. ERROR_screen_not_sharing when there is none. */
VOICESDK_EXPORT unsigned int voicescreen_stopShare(uint64 serverConnectionHandlerID);

/* Starts or stops receiving clientID's frames (onScreenFrameEvent). ERROR_screen_not_sharing
 * when clientID shares nothing in the own channel; unwatch: ERROR_screen_not_watching. */
VOICESDK_EXPORT unsigned int voicescreen_watch(uint64 serverConnectionHandlerID, anyID clientID);
VOICESDK_EXPORT unsigned int voicescreen_unwatch(uint64 serverConnectionHandlerID, anyID clientID);
/* Asks for a whole picture of a watched share soon (a key frame, rate-limited by the server),
 * for a viewer that needs one again, say after it changed size and kept no full-size copy.
 * ERROR_screen_not_watching when clientID's share is not watched. */
VOICESDK_EXPORT unsigned int voicescreen_requestKeyFrame(uint64 serverConnectionHandlerID,
                                                         anyID clientID);

/* The sharer gives control of its screen to one member of its channel (0: to nobody, taking it
 * back); one member at a time. With open 1 any watcher may take control while nobody holds it
 * (voicescreen_takeControl). Stopping the share, or the controller leaving, ends control. May
 * be called right after voicescreen_startShare: the requests reach the server in order. */
VOICESDK_EXPORT unsigned int voicescreen_setController(uint64 serverConnectionHandlerID,
                                                       anyID clientID, int open);
/* A watcher asks for control of sharerID's screen (take 1; granted while control is open and
 * nobody holds it) or lets go of it (take 0). The outcome arrives as onScreenControlEvent, or
 * onScreenErrorEvent with ERROR_screen_not_controller. */
VOICESDK_EXPORT unsigned int voicescreen_takeControl(uint64 serverConnectionHandlerID,
                                                     anyID sharerID, int take);

/* Input for sharerID's screen, injected there only while this client controls it (else the
 * server answers with onScreenErrorEvent, ERROR_screen_not_controller). Coordinates are the
 * share's pixels (outside it: ERROR_parameter_invalid); buttons are X's (1 left, 2 middle,
 * 3 right); wheel steps are positive up and right; keys are X keysyms; text is UTF-8 typed as
 * it stands (at most 1024 bytes). Input beyond 1000 events a second is dropped
 * (ERROR_screen_limit_reached). */
VOICESDK_EXPORT unsigned int voicescreen_sendMouseMove(uint64 serverConnectionHandlerID,
                                                       anyID sharerID, int x, int y);
VOICESDK_EXPORT unsigned int voicescreen_sendMouseButton(uint64 serverConnectionHandlerID,
                                                         anyID sharerID, int button, int pressed);
VOICESDK_EXPORT unsigned int voicescreen_sendWheel(uint64 serverConnectionHandlerID, anyID sharerID,
                                                   int dx, int dy);
VOICESDK_EXPORT unsigned int voicescreen_sendKey(uint64 serverConnectionHandlerID, anyID sharerID,
                                                 unsigned int keysym, int pressed);
VOICESDK_EXPORT unsigned int voicescreen_sendText(uint64 serverConnectionHandlerID, anyID sharerID,
                                                  const char* text);

/* Queries (callable from any thread, the callbacks included). The clients sharing in the own
 * channel (0-terminated; release with ts3client_freeMemory); a share's size; who controls it
 * (0: nobody) and whether control is open. ERROR_screen_not_sharing for a client that shares
 * nothing there. */
VOICESDK_EXPORT unsigned int voicescreen_getSharingClients(uint64 serverConnectionHandlerID,
                                                           anyID** result);
VOICESDK_EXPORT unsigned int voicescreen_getShareSize(uint64 serverConnectionHandlerID,
                                                      anyID clientID, int* width, int* height);
VOICESDK_EXPORT unsigned int voicescreen_getController(uint64 serverConnectionHandlerID,
                                                       anyID sharerID, anyID* controllerID,
                                                       int* open);
/* Who watches the own share (0-terminated; release with ts3client_freeMemory);
 * ERROR_screen_not_sharing without one. */
VOICESDK_EXPORT unsigned int voicescreen_getWatchers(uint64 serverConnectionHandlerID,
                                                     anyID** result);

#ifdef __cplusplus
}
#endif

#endif /* VOICESDK_H */

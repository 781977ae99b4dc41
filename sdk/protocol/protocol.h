// SPDX-License-Identifier: MIT
#pragma once

#include "voicesdk.h" // error codes travel as the API's ERROR_* values

#include <QLatin1String>

// Message types, field names and limits of the control protocol (docs/protocol.md).
namespace voicesdk::protocol {

constexpr int Version = 1;

// A frame is a 4-byte big-endian length followed by that many bytes of one CBOR map.
constexpr int FrameHeaderSize = 4;
constexpr int MaxFrameSize = 64 * 1024;

namespace limits {
constexpr int TextLength = 1024; // UTF-16 code units per text message
constexpr int NicknameLength = 64;
constexpr int ChannelNameLength = 40;
constexpr int ChannelTopicLength = 255;
constexpr int ChannelDescriptionLength = 8192;
constexpr int PasswordLength = 128;
constexpr int QuitMessageLength = 255;
constexpr int WelcomeMessageLength = 1024;
constexpr int UniqueIdentifierLength = 64;
constexpr int ReturnCodeLength = 64;
constexpr int ChannelPathDepth = 16;
constexpr int ChannelDepth = 8;      // levels of nested channels
constexpr int FilePathLength = 1024; // UTF-16 code units of a path in a channel's file store
constexpr int FileNameBytes = 255;   // UTF-8 bytes of one path segment
constexpr int FilePathDepth = 32;    // segments of a path
constexpr int FilesPerDelete = 256;  // paths in one delete request
constexpr int TransferKeySize = 32;  // bytes of a one-time transfer key
} // namespace limits

// Every frame's map carries the message type under this key.
inline constexpr QLatin1String TypeKey("type");

namespace type {
// client -> server
inline constexpr QLatin1String Hello("hello");
inline constexpr QLatin1String Quit("quit");
inline constexpr QLatin1String Move("move");
inline constexpr QLatin1String Text("text");
inline constexpr QLatin1String ChannelCreate("channelCreate");
inline constexpr QLatin1String ChannelDelete("channelDelete");
inline constexpr QLatin1String SelfUpdate("selfUpdate");
inline constexpr QLatin1String SubscribeAll("subscribeAll");
inline constexpr QLatin1String Ping("ping");
inline constexpr QLatin1String FtList("ftList");
inline constexpr QLatin1String FtDelete("ftDelete");
inline constexpr QLatin1String FtMkdir("ftMkdir");
inline constexpr QLatin1String FtUpload("ftUpload");
inline constexpr QLatin1String FtDownload("ftDownload");
// opens a file transfer connection instead of a control connection
inline constexpr QLatin1String Transfer("transfer");
// voice (docs/protocol.md, "Voice"): a tunnelled frame, both ways; the client's choice of path
inline constexpr QLatin1String Voice("voice");
inline constexpr QLatin1String VoicePath("voicePath");
// voice loss: a listener's share of a speaker's frames that did not arrive (client -> server),
// the worst of a speaker's listeners (server -> client)
inline constexpr QLatin1String VoiceReport("voiceReport");
inline constexpr QLatin1String VoiceLoss("voiceLoss");
// screens (docs/protocol.md, "Screens"), client -> server: a key for a screen connection; the
// own share starting, resized or ending; watching a share; who controls the own share; a
// watcher taking or letting go of control
inline constexpr QLatin1String ScreenOpen("screenOpen");
inline constexpr QLatin1String ScreenShare("screenShare");
inline constexpr QLatin1String ScreenWatch("screenWatch");
inline constexpr QLatin1String ScreenControl("screenControl");
inline constexpr QLatin1String ScreenTake("screenTake");
// opens a screen connection instead of a control connection
inline constexpr QLatin1String Screen("screen");
// server -> client
inline constexpr QLatin1String Welcome("welcome");
inline constexpr QLatin1String Refused("refused");
inline constexpr QLatin1String Channel("channel"); // initial state
inline constexpr QLatin1String Client("client");   // initial state
inline constexpr QLatin1String Synced("synced");   // end of initial state
inline constexpr QLatin1String ClientJoined("clientJoined");
inline constexpr QLatin1String ClientMoved("clientMoved");
inline constexpr QLatin1String ClientLeft("clientLeft");
inline constexpr QLatin1String ClientUpdated("clientUpdated");
inline constexpr QLatin1String ChannelCreated("channelCreated");
inline constexpr QLatin1String ChannelDeleted("channelDeleted");
inline constexpr QLatin1String TextMessage("textMessage");
inline constexpr QLatin1String Error("error");
inline constexpr QLatin1String Pong("pong");
// the server shuts down: leave now, and connect again (to another instance where there is one)
inline constexpr QLatin1String GoingAway("goingAway");
inline constexpr QLatin1String FtEntry("ftEntry");     // one entry of a listing
inline constexpr QLatin1String FtListEnd("ftListEnd"); // end of a listing
inline constexpr QLatin1String FtReady("ftReady");     // a transfer may start: its key
inline constexpr QLatin1String FtFailed("ftFailed");   // a transfer was refused
// on a transfer connection
inline constexpr QLatin1String TransferData("transferData"); // download: size, then the bytes
inline constexpr QLatin1String TransferDone("transferDone"); // upload: the outcome
// screens: the key of a screen connection; a share in the own channel started, changed or
// ended; who controls a share; how many watch the own share; a screen request refused
inline constexpr QLatin1String ScreenReady("screenReady");
inline constexpr QLatin1String ScreenShared("screenShared");
inline constexpr QLatin1String ScreenControlled("screenControlled");
inline constexpr QLatin1String ScreenWatchers("screenWatchers");
inline constexpr QLatin1String ScreenError("screenError");
} // namespace type

namespace field {
inline constexpr QLatin1String Version("version");
inline constexpr QLatin1String Nickname("nickname");
inline constexpr QLatin1String UniqueId("uniqueId");
inline constexpr QLatin1String ServerPassword("serverPassword");
inline constexpr QLatin1String DefaultChannel("defaultChannel");
inline constexpr QLatin1String DefaultChannelPath("defaultChannelPath");
inline constexpr QLatin1String ChannelPassword("channelPassword");
inline constexpr QLatin1String InputMuted("inputMuted");
inline constexpr QLatin1String OutputMuted("outputMuted");
inline constexpr QLatin1String InputDeactivated("inputDeactivated");
inline constexpr QLatin1String ClientId("clientId");
inline constexpr QLatin1String ChannelId("channelId");
inline constexpr QLatin1String ParentId("parentId");
inline constexpr QLatin1String FromChannel("fromChannel");
inline constexpr QLatin1String ToChannel("toChannel");
inline constexpr QLatin1String Name("name");
inline constexpr QLatin1String Topic("topic");
inline constexpr QLatin1String Description("description");
inline constexpr QLatin1String Password("password");
inline constexpr QLatin1String HasPassword("hasPassword");
inline constexpr QLatin1String Permanent("permanent");
inline constexpr QLatin1String SemiPermanent("semiPermanent");
inline constexpr QLatin1String Force("force");
inline constexpr QLatin1String WelcomeMessage("welcomeMessage");
inline constexpr QLatin1String ServerName("serverName");
inline constexpr QLatin1String ServerUniqueId("serverUniqueId");
inline constexpr QLatin1String IdleTimeout("idleTimeoutMs");
inline constexpr QLatin1String FloodBurst("floodBurst");
inline constexpr QLatin1String FloodRate("floodRate");
inline constexpr QLatin1String Message("message");
inline constexpr QLatin1String TargetMode("targetMode");
inline constexpr QLatin1String Target("target");
inline constexpr QLatin1String FromId("fromId");
inline constexpr QLatin1String FromName("fromName");
inline constexpr QLatin1String FromUniqueId("fromUniqueId");
inline constexpr QLatin1String InvokerId("invokerId");
inline constexpr QLatin1String InvokerName("invokerName");
inline constexpr QLatin1String InvokerUniqueId("invokerUniqueId");
inline constexpr QLatin1String Reason("reason");
inline constexpr QLatin1String Code("code");
inline constexpr QLatin1String ReturnCode("returnCode");
inline constexpr QLatin1String Extra("extra");
inline constexpr QLatin1String Key("key");
inline constexpr QLatin1String Path("path");
inline constexpr QLatin1String Paths("paths");
inline constexpr QLatin1String Size("size");
inline constexpr QLatin1String Datetime("datetime");
inline constexpr QLatin1String FileType("fileType");
inline constexpr QLatin1String Incomplete("incomplete");
inline constexpr QLatin1String TransferId("transferId");
inline constexpr QLatin1String Overwrite("overwrite");
inline constexpr QLatin1String Resume("resume");
// voice
inline constexpr QLatin1String VoiceToken("voiceToken"); // welcome: the datagrams' token
inline constexpr QLatin1String VoiceUdp("voiceUdp");     // welcome: whether UDP is offered
// welcome, optional: where this client's datagrams go ("ADDRESS:PORT"), when not to the address
// of the control connection (an instance behind a front that carries only TCP)
inline constexpr QLatin1String VoiceAddress("voiceAddress");
// welcome, over TLS only: the keys of the client's sealed datagrams, one per direction
inline constexpr QLatin1String VoiceKeyUp("voiceKeyUp");     // client to server
inline constexpr QLatin1String VoiceKeyDown("voiceKeyDown"); // server to client
inline constexpr QLatin1String VoiceFrame("frame");          // voice: the frame's bytes
inline constexpr QLatin1String Udp("udp");                   // voicePath: true for datagrams
// hello and welcome: the side speaks voice loss (reports, voiceLoss, frames with a copy)
inline constexpr QLatin1String VoiceLossAware("voiceLoss");
inline constexpr QLatin1String Loss("loss"); // voiceReport, voiceLoss: per cent of frames lost
// hello and welcome: the side also speaks bursts (burst in reports and voiceLoss, frames with
// copies of older frames too)
inline constexpr QLatin1String VoiceBurstAware("voiceBursts");
// voiceReport, voiceLoss, optional: how lost frames cluster, the run length that covers most of
// them (0: no loss, 1: one at a time)
inline constexpr QLatin1String Burst("burst");
// screens
inline constexpr QLatin1String On("on");       // screenShare, screenWatch, screenShared, screenTake
inline constexpr QLatin1String Width("width"); // screenShare, screenShared
inline constexpr QLatin1String Height("height");         // screenShare, screenShared
inline constexpr QLatin1String Controller("controller"); // screenControl, screenControlled
inline constexpr QLatin1String Open("open");             // screenControl, screenControlled
inline constexpr QLatin1String Count("count");           // screenWatchers
inline constexpr QLatin1String Clients("clients");       // screenWatchers: who
} // namespace field

// Why a client left (clientLeft.reason).
enum class LeaveReason { Quit = 0, Dropped = 1 };

} // namespace voicesdk::protocol

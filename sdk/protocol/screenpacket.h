// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QString>

// The packets of a screen connection (docs/protocol.md, "Screens"): after its opening frame, a
// screen connection carries packets of a 4-byte big-endian length, one kind byte and a body in
// exactly the layout below. Everything is read from untrusted bytes: sizes are checked before a
// byte is touched, and anything else is refused.
namespace voicesdk::protocol::screen {

constexpr int MaxWidth = 7680;
constexpr int MaxHeight = 4320;
constexpr int MaxEncodedFrame = 4 * 1024 * 1024; // bytes of one encoded picture
constexpr int MaxCursorSide = 256;
constexpr int MaxText = 1024; // UTF-8 bytes of one typed text
constexpr int LengthBytes = 4;
// The largest body of any packet: a video packet's header and its picture.
constexpr int MaxPacket = 16 + MaxEncodedFrame;

enum class Kind : quint8 {
    Video = 1,       // both ways: sharer -> server, server -> watcher
    Cursor = 2,      // both ways: the pointer's position
    CursorShape = 3, // both ways: the pointer's picture
    Input = 4,       // watcher -> server (client: the sharer), server -> sharer (the controller)
    KeyRequest = 5,  // server -> sharer: a key frame, please; watcher -> server (client: sharer)
    LowStream = 6,   // server -> sharer: run the scaled-down stream at this rate, or stop it
};

// VP8 travels; VP9 is measured beside it (bench/screen_codec) and not taken from the wire.
enum class Codec : quint8 { Vp8 = 1, Vp9 = 2 };

// A share travels as one stream of full pictures, and while some watcher's link cannot take it,
// beside it a second one scaled down to half the size, at the rate of the slowest such link.
enum VideoFlags : quint8 { KeyFrame = 0x01, LowFrame = 0x02 };
constexpr quint8 FullStream = 0;
constexpr quint8 ScaledStream = 1;

// client: the sharer's ID, set by the server (anything from the sharer is overwritten).
struct Video
{
    quint16 client = 0;
    quint32 frame = 0; // counts the sharer's pictures
    quint8 flags = 0;
    Codec codec = Codec::Vp8;
    quint16 width = 0;
    quint16 height = 0;
    QByteArray data;
};

struct Cursor
{
    quint16 client = 0;
    quint16 x = 0;
    quint16 y = 0;
    bool visible = false;
};

struct CursorShape
{
    quint16 client = 0;
    quint16 width = 0;
    quint16 height = 0;
    quint16 hotX = 0;
    quint16 hotY = 0;
    QByteArray pixels; // width * height * 4 bytes, B G R A premultiplied
};

enum class InputType : quint8 { Move = 1, Button = 2, Wheel = 3, Key = 4, Text = 5 };

// client: the sharer on the way to the server, the controller on the way to the sharer.
struct Input
{
    quint16 client = 0;
    InputType type = InputType::Move;
    qint32 a = 0; // move: x; button: the button; wheel: dx; key: the keysym
    qint32 b = 0; // move: y; button and key: 1 pressed, 0 released; wheel: dy
    QByteArray text;
};

// Whole packets, with the length prefix.
QByteArray encodeVideo(const Video& video);
QByteArray encodeCursor(const Cursor& cursor);
QByteArray encodeCursorShape(const CursorShape& shape);
QByteArray encodeInput(const Input& input);
QByteArray encodeKeyRequest(quint16 client, quint8 stream);
// kbps: the bit rate of the scaled-down stream; 0: no watcher needs it.
QByteArray encodeLowStream(quint32 kbps);
// A video packet for another client: the same bytes with the sharer's ID in place.
QByteArray withClient(const QByteArray& packet, quint16 client);

// A body (after the length) as read from the wire; false with *error when it is not one of the
// layouts above or breaks a bound.
bool decodeVideo(const char* body, int size, Video* video, QString* error);
bool decodeCursor(const char* body, int size, Cursor* cursor, QString* error);
bool decodeCursorShape(const char* body, int size, CursorShape* shape, QString* error);
bool decodeInput(const char* body, int size, Input* input, QString* error);
bool decodeKeyRequest(const char* body, int size, quint16* client, quint8* stream, QString* error);
bool decodeLowStream(const char* body, int size, quint32* kbps, QString* error);

// Splits a stream into packet bodies. Error once a length breaks the bound; it stays so.
class PacketReader
{
public:
    enum Result { NeedMore, Packet, Error };
    struct Body
    {
        Kind kind = Kind::Video;
        const char* data = nullptr; // after the kind byte; valid until the next call
        int size = 0;
    };

    // Packets longer than this (kind and body) are an error.
    void setMaxLength(int bytes) { m_maxLength = bytes; }
    void append(const char* data, int size);
    Result next(Body* body);
    QString errorString() const { return m_error; }
    int buffered() const { return m_buffer.size() - m_offset; }

private:
    QByteArray m_buffer;
    int m_offset = 0;
    int m_maxLength = 1 + MaxPacket;
    QString m_error;
};

} // namespace voicesdk::protocol::screen

// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QtGlobal>

// Direct encoding and decoding of the two messages that carry chat: the client's `text` request
// and the server's `textMessage` event. They are by far the most frequent frames, and building a
// QCborMap for each costs more than moving its bytes. The output is byte for byte what
// encodeFrame() makes of the same map; the decoders accept only the layout our own encoders
// write and report anything else as "not mine", so the caller takes the generic path and every
// check and error stays the generic one.
namespace voicesdk::protocol {

// UTF-8 bytes owned by someone else.
struct Utf8View
{
    const char* data = nullptr;
    int size = 0;
};

// The UTF-16 length of `data` when it is valid UTF-8 that survives a QString round trip
// unchanged, else -1. Refused: malformed, overlong, surrogate and out-of-range sequences (Qt's
// CBOR decoder refuses them too) and a leading byte order mark (QString::fromUtf8 drops it).
int utf16LengthOfUtf8(const char* data, int size);

// `text` request. Strings must have passed utf16LengthOfUtf8(). Empty result when the frame
// would exceed MaxFrameSize.
QByteArray encodeTextRequestFrame(qint64 mode, qint64 target, Utf8View message,
                                  const Utf8View* returnCode);

// `textMessage` event, with its fields in the order the server has always sent them. Strings
// must have passed utf16LengthOfUtf8().
QByteArray encodeTextMessageFrame(qint64 mode, qint64 fromId, Utf8View fromName,
                                  Utf8View fromUniqueId, Utf8View message, qint64 target);

struct TextRequest
{
    qint64 mode = 0;
    qint64 target = 0;
    Utf8View message;      // points into the decoded body
    int messageLength = 0; // UTF-16 code units
    bool hasReturnCode = false;
    Utf8View returnCode;
    int returnCodeLength = 0;
};

struct TextMessageEvent
{
    qint64 mode = 0;
    qint64 fromId = 0;
    Utf8View fromName;
    int fromNameLength = 0;
    Utf8View fromUniqueId;
    int fromUniqueIdLength = 0;
    Utf8View message;
    int messageLength = 0;
    qint64 target = 0;
};

// Decode a frame body written in exactly our encoders' layout: a definite map with the fields in
// their order, non-negative integers up to INT64_MAX, definite text strings that pass
// utf16LengthOfUtf8(), and nothing after the map. False for anything else; the caller then
// decodes generically. Ranges are the caller's to check.
bool decodeTextRequest(const char* body, int size, TextRequest* request);
bool decodeTextMessage(const char* body, int size, TextMessageEvent* event);

} // namespace voicesdk::protocol

// SPDX-License-Identifier: MIT
#pragma once

#include "protocol.h"

#include <QByteArray>
#include <QCborMap>
#include <QString>

#include <memory>

class QIODevice;

namespace voicesdk::protocol {

// One frame: length prefix and the CBOR encoding of `message`. Returns an empty array when the
// encoding would exceed MaxFrameSize.
QByteArray encodeFrame(const QCborMap& message);

// Splits a byte stream into messages. Feed it whatever the socket delivered, then call next()
// until it returns NeedMore. Once it reported Error it stays in that state: the connection is
// beyond repair. It never buffers more than one frame beyond what was read at once.
//
// next() is nextFrame() followed by decode(). Callers with a faster way to read some messages
// take the body from nextFrame(), try theirs, and hand anything else to decode().
class FrameDecoder
{
public:
    enum Result { NeedMore, Message, Error };

    // The body of one frame, inside the decoder's buffer: valid until the next call of
    // append(), readFrom(), nextFrame() or takePending().
    struct Frame
    {
        const char* data = nullptr;
        int size = 0;
    };

    explicit FrameDecoder(int maxFrameSize = MaxFrameSize) : m_maxFrameSize(maxFrameSize) {}

    void append(const QByteArray& bytes);
    void append(const char* data, int size);
    // Reads up to maxBytes from the device straight into the buffer; the bytes read, or -1.
    qint64 readFrom(QIODevice* device, qint64 maxBytes);
    Result next(QCborMap* message);
    // The next complete frame, its length checked but its body not yet.
    Result nextFrame(Frame* frame);
    // The generic reading of a body: one CBOR map with a text type and nothing after it.
    Result decode(const Frame& frame, QCborMap* message);
    QString errorString() const { return m_error; }
    // Bytes received but not yet decoded.
    int pending() const { return m_size - m_offset; }
    // Hands out the bytes received but not yet decoded and forgets them: a transfer connection
    // switches from frames to raw bytes after its first frame.
    QByteArray takePending();

private:
    Result fail(const QString& reason);
    // Drops the bytes already handed out.
    void compact();
    void release();
    // Room for `bytes` more at the end of the buffer.
    char* reserveTail(int bytes);

    // Grown by hand: a vector would zero every byte before the socket overwrites it.
    std::unique_ptr<char[]> m_buffer;
    int m_capacity = 0;
    int m_size = 0;
    int m_offset = 0;
    int m_maxFrameSize;
    QString m_error;
};

} // namespace voicesdk::protocol

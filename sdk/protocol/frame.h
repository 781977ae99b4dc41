// SPDX-License-Identifier: MIT
#pragma once

#include "protocol.h"

#include <QByteArray>
#include <QCborMap>
#include <QString>

namespace voicesdk::protocol {

// One frame: length prefix and the CBOR encoding of `message`. Returns an empty array when the
// encoding would exceed MaxFrameSize.
QByteArray encodeFrame(const QCborMap& message);

// Splits a byte stream into messages. Feed it whatever the socket delivered, then call next()
// until it returns NeedMore. Once it reported Error it stays in that state: the connection is
// beyond repair. It never buffers more than one frame.
class FrameDecoder
{
public:
    enum Result { NeedMore, Message, Error };

    explicit FrameDecoder(int maxFrameSize = MaxFrameSize) : m_maxFrameSize(maxFrameSize) {}

    void append(const QByteArray& bytes)
    {
        if (m_error.isEmpty())
            m_buffer.append(bytes);
    }
    Result next(QCborMap* message);
    QString errorString() const { return m_error; }
    // Bytes received but not yet decoded.
    int pending() const { return m_buffer.size() - m_offset; }
    // Hands out the bytes received but not yet decoded and forgets them: a transfer connection
    // switches from frames to raw bytes after its first frame.
    QByteArray takePending();

private:
    Result fail(const QString& reason);

    QByteArray m_buffer;
    int m_offset = 0;
    int m_maxFrameSize;
    QString m_error;
};

} // namespace voicesdk::protocol

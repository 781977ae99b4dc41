// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QList>

struct iovec;

namespace voicesdk::protocol {

// Bytes waiting to leave a connection. Large frames stay as they were handed over, shared
// with every other connection they go to (a roster for a newcomer is not copied per
// connection); small ones are gathered into blocks of up to a TLS record's size, so that they
// are sealed as few records. Nothing is moved up when the front leaves, however long the queue.
class OutputQueue
{
public:
    void append(const QByteArray& bytes);
    qint64 size() const { return m_size; }
    bool isEmpty() const { return m_size == 0; }
    void clear();
    // The front block's unsent bytes; its size in *size.
    const char* front(int* size) const;
    // Up to max pieces from the front, for one sendmsg(); how many.
    int pieces(iovec* out, int max) const;
    // Drops the first bytes (at most size()).
    void consume(qint64 bytes);

private:
    static constexpr int GatherBelow = 4 * 1024;
    static constexpr int BlockSize = 16 * 1024;

    QList<QByteArray> m_blocks;
    int m_frontTaken = 0;          // of the first block
    qint64 m_size = 0;             // unsent bytes in all
    bool m_lastGathered = false;   // the last block is the queue's own, open for small frames
};

} // namespace voicesdk::protocol

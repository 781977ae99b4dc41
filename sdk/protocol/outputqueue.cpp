// SPDX-License-Identifier: MIT
#include "outputqueue.h"

#include <sys/uio.h>

namespace voicesdk::protocol {

void OutputQueue::append(const QByteArray& bytes)
{
    if (bytes.isEmpty())
        return;
    m_size += bytes.size();
    if (bytes.size() >= GatherBelow) {
        m_blocks.append(bytes);
        m_lastGathered = false;
        return;
    }
    if (m_lastGathered && m_blocks.last().size() + bytes.size() <= BlockSize) {
        m_blocks.last().append(bytes);
        return;
    }
    QByteArray block;
    block.reserve(BlockSize);
    block.append(bytes);
    m_blocks.append(block);
    m_lastGathered = true;
}

void OutputQueue::clear()
{
    m_blocks.clear();
    m_frontTaken = 0;
    m_size = 0;
    m_lastGathered = false;
}

const char* OutputQueue::front(int* size) const
{
    if (m_blocks.isEmpty()) {
        *size = 0;
        return nullptr;
    }
    *size = m_blocks.first().size() - m_frontTaken;
    return m_blocks.first().constData() + m_frontTaken;
}

int OutputQueue::pieces(iovec* out, int max) const
{
    int count = 0;
    for (const QByteArray& block : m_blocks) {
        if (count == max)
            break;
        const int skip = count == 0 ? m_frontTaken : 0;
        out[count].iov_base = const_cast<char*>(block.constData() + skip);
        out[count].iov_len = size_t(block.size() - skip);
        ++count;
    }
    return count;
}

void OutputQueue::consume(qint64 bytes)
{
    bytes = qMin(bytes, m_size);
    m_size -= bytes;
    while (bytes > 0) {
        const int left = m_blocks.first().size() - m_frontTaken;
        if (bytes < left) {
            m_frontTaken += int(bytes);
            return;
        }
        bytes -= left;
        m_blocks.removeFirst();
        m_frontTaken = 0;
    }
    if (m_blocks.isEmpty()) {
        m_lastGathered = false;
        m_blocks = QList<QByteArray>(); // an idle connection keeps no room
    }
}

} // namespace voicesdk::protocol

// SPDX-License-Identifier: MIT
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace voicesdk::sound {

// Bounded sample queue between one producer and one consumer thread (an audio callback and the
// voice path). Lock-free, because audio callbacks must not wait for a lock.
class SampleRing
{
public:
    explicit SampleRing(size_t capacity) : m_buffer(capacity + 1) {}

    size_t capacity() const { return m_buffer.size() - 1; }

    size_t available() const
    {
        const size_t head = m_head.load(std::memory_order_acquire);
        const size_t tail = m_tail.load(std::memory_order_acquire);
        return head >= tail ? head - tail : head + m_buffer.size() - tail;
    }

    // Producer side. Stores as many samples as fit and returns how many that was.
    size_t push(const int16_t* samples, size_t count)
    {
        const size_t head = m_head.load(std::memory_order_relaxed);
        const size_t tail = m_tail.load(std::memory_order_acquire);
        const size_t used = head >= tail ? head - tail : head + m_buffer.size() - tail;
        const size_t n = count < capacity() - used ? count : capacity() - used;
        size_t pos = head;
        for (size_t i = 0; i < n; ++i) {
            m_buffer[pos] = samples[i];
            if (++pos == m_buffer.size())
                pos = 0;
        }
        m_head.store(pos, std::memory_order_release);
        return n;
    }

    // Consumer side. Takes up to count samples and returns how many that was.
    size_t pop(int16_t* out, size_t count)
    {
        const size_t tail = m_tail.load(std::memory_order_relaxed);
        const size_t head = m_head.load(std::memory_order_acquire);
        const size_t used = head >= tail ? head - tail : head + m_buffer.size() - tail;
        const size_t n = count < used ? count : used;
        size_t pos = tail;
        for (size_t i = 0; i < n; ++i) {
            out[i] = m_buffer[pos];
            if (++pos == m_buffer.size())
                pos = 0;
        }
        m_tail.store(pos, std::memory_order_release);
        return n;
    }

private:
    std::vector<int16_t> m_buffer; // one slot stays empty to tell full from empty
    std::atomic<size_t> m_head{0};
    std::atomic<size_t> m_tail{0};
};

} // namespace voicesdk::sound

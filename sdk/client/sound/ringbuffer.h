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
    explicit SampleRing(size_t capacity) : buffer_(capacity + 1) {}

    size_t capacity() const { return buffer_.size() - 1; }

    size_t available() const
    {
        const size_t head = head_.load(std::memory_order_acquire);
        const size_t tail = tail_.load(std::memory_order_acquire);
        return head >= tail ? head - tail : head + buffer_.size() - tail;
    }

    // Producer side. Stores as many samples as fit and returns how many that was.
    size_t push(const int16_t* samples, size_t count)
    {
        const size_t head = head_.load(std::memory_order_relaxed);
        const size_t tail = tail_.load(std::memory_order_acquire);
        const size_t used = head >= tail ? head - tail : head + buffer_.size() - tail;
        const size_t n = count < capacity() - used ? count : capacity() - used;
        size_t pos = head;
        for (size_t i = 0; i < n; ++i) {
            buffer_[pos] = samples[i];
            if (++pos == buffer_.size())
                pos = 0;
        }
        head_.store(pos, std::memory_order_release);
        return n;
    }

    // Consumer side. Takes up to count samples and returns how many that was.
    size_t pop(int16_t* out, size_t count)
    {
        const size_t tail = tail_.load(std::memory_order_relaxed);
        const size_t head = head_.load(std::memory_order_acquire);
        const size_t used = head >= tail ? head - tail : head + buffer_.size() - tail;
        const size_t n = count < used ? count : used;
        size_t pos = tail;
        for (size_t i = 0; i < n; ++i) {
            out[i] = buffer_[pos];
            if (++pos == buffer_.size())
                pos = 0;
        }
        tail_.store(pos, std::memory_order_release);
        return n;
    }

private:
    std::vector<int16_t> buffer_; // one slot stays empty to tell full from empty
    std::atomic<size_t> head_{0};
    std::atomic<size_t> tail_{0};
};

} // namespace voicesdk::sound

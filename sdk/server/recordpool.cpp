// SPDX-License-Identifier: MIT
#include "recordpool.h"

#include <openssl/crypto.h>

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace voiceserver::recordpool {

namespace {

// Address space only: a page is resident while a slot on it is in use or ready.
constexpr size_t RegionBytes = size_t(1) << 30;
constexpr uint32_t Slots = uint32_t(RegionBytes / SlotBytes);

class Pool
{
public:
    bool reserve()
    {
        if (m_base)
            return true;
        void* region = ::mmap(nullptr, RegionBytes, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (region == MAP_FAILED)
            return false;
        m_base = static_cast<char*>(region);
        m_ready.reserve(ReadySlots);
        return true;
    }

    bool owns(const void* block) const
    {
        const auto* byte = static_cast<const char*>(block);
        return m_base && byte >= m_base && byte < m_base + RegionBytes;
    }

    // nullptr when every slot is in use.
    void* take()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        uint32_t slot;
        if (!m_ready.empty()) {
            slot = m_ready.back();
            m_ready.pop_back();
        } else if (!m_given.empty()) {
            slot = m_given.back();
            m_given.pop_back();
        } else if (m_fresh < Slots) {
            slot = m_fresh++;
        } else {
            return nullptr;
        }
        ++m_live;
        return m_base + size_t(slot) * SlotBytes;
    }

    void give(void* block)
    {
        const auto slot = uint32_t((static_cast<char*>(block) - m_base) / SlotBytes);
        {
            std::lock_guard<std::mutex> lock(m_lock);
            --m_live;
            if (m_ready.size() < size_t(ReadySlots)) {
                m_ready.push_back(slot);
                return;
            }
        }
        // Outside the lock: the slot belongs to nobody meanwhile.
        ::madvise(block, SlotBytes, MADV_DONTNEED);
        std::lock_guard<std::mutex> lock(m_lock);
        m_given.push_back(slot);
    }

    Use use()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        Use use;
        use.live = m_live;
        use.ready = qint64(m_ready.size());
        use.given = qint64(m_given.size());
        return use;
    }

private:
    std::mutex m_lock;
    char* m_base = nullptr;
    uint32_t m_fresh = 0; // slots below this were handed out at least once
    qint64 m_live = 0;
    std::vector<uint32_t> m_ready;
    std::vector<uint32_t> m_given;
};

// Never destroyed: OpenSSL frees its last blocks as the process ends.
Pool& pool()
{
    static Pool* const made = new Pool;
    return *made;
}

bool fitsSlot(size_t size)
{
    return size - LeastBytes <= SlotBytes - LeastBytes;
}

void* poolMalloc(size_t size, const char*, int)
{
    if (fitsSlot(size)) {
        if (void* slot = pool().take())
            return slot;
    }
    return std::malloc(size);
}

void* poolRealloc(void* block, size_t size, const char* file, int line)
{
    if (!block)
        return poolMalloc(size, file, line); // how OpenSSL starts its message buffer
    if (!pool().owns(block))
        return std::realloc(block, size);
    if (size <= SlotBytes)
        return block;
    void* moved = std::malloc(size);
    if (moved) {
        std::memcpy(moved, block, SlotBytes);
        pool().give(block);
    }
    return moved;
}

void poolFree(void* block, const char*, int)
{
    if (pool().owns(block))
        pool().give(block);
    else
        std::free(block);
}

} // namespace

bool install()
{
    Pool& shared = pool();
    if (!shared.reserve())
        return false;
    return CRYPTO_set_mem_functions(poolMalloc, poolRealloc, poolFree) == 1;
}

Use use()
{
    return pool().use();
}

} // namespace voiceserver::recordpool

#pragma once
// Large blocks kept between sweeps. A simulation allocates and frees the same
// few megabytes each time; fresh memory costs a page fault per 4 KiB, and the
// C library returns big blocks to the system on free, so every sweep would pay
// those faults again. A Recycler keeps the last blocks it was given (up to a
// limit, in one slot or a few) for the next requests, and lets the system
// reclaim their pages if memory runs short meanwhile. Lock-free: any thread may
// take and give, a request that finds the slots empty allocates, and fork()
// needs no care.
//
// Blocks of several megabytes are mapped on their own, aligned to 2 MiB and
// advised for transparent huge pages (where the system leaves that to
// madvise): a fresh block then costs one fault per 2 MiB instead of per 4 KiB.
// Such blocks above the recycler's fixed limit are still kept while all that
// it keeps stays within a share of the memory the system has available.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <sys/mman.h>
#include <unistd.h>

namespace strata {

// MemAvailable of /proc/meminfo in bytes; 0 where it cannot be read.
std::size_t available_memory_bytes();

class Recycler {
public:
    // Keeps up to `slots` blocks (at most max_slots).
    explicit constexpr Recycler(std::size_t limit, std::size_t slots = 1)
        : limit_(limit), slot_count_(slots < 1 ? 1 : slots > max_slots ? max_slots : slots) {}
    ~Recycler() {
        for (auto& slot : slots_) release(slot.exchange(nullptr));
    }

    // The recyclers for the sweep's result lists, its reused values and the
    // copies of a stack's arrays. Never destroyed, so a Data released during
    // exit can still give back its memory.
    static Recycler& transfer_lists();
    static Recycler& reuse_values();
    static Recycler& array_copies();
    Recycler(const Recycler&) = delete;
    Recycler& operator=(const Recycler&) = delete;

    // At least `bytes` of memory aligned for any scalar type (64 bytes), or
    // nullptr when it is not to be had. The smallest kept block that is large
    // enough serves; when none is, the smallest kept one makes room for a new one.
    void* take(std::size_t bytes) {
        Header* kept[max_slots] = {};
        std::size_t count = 0;
        for (std::size_t i = 0; i < slot_count_; ++i)
            if (Header* block = slots_[i].exchange(nullptr, std::memory_order_acquire)) {
                kept_bytes_.fetch_sub(block->capacity, std::memory_order_relaxed);
                kept[count++] = block;
            }
        Header* chosen = nullptr;
        for (std::size_t i = 0; i < count; ++i)
            if (kept[i]->capacity >= bytes && (chosen == nullptr || kept[i]->capacity < chosen->capacity))
                chosen = kept[i];
        Header* smallest = nullptr;
        if (chosen == nullptr)
            for (std::size_t i = 0; i < count; ++i)
                if (smallest == nullptr || kept[i]->capacity < smallest->capacity) smallest = kept[i];
        release(smallest);
        for (std::size_t i = 0; i < count; ++i)
            if (kept[i] != chosen && kept[i] != smallest) keep(kept[i]);
        if (chosen != nullptr) return chosen + 1;
        if (bytes > SIZE_MAX - 2 * sizeof(Header)) return nullptr;
        Header* fresh = bytes >= mapped_bytes ? map(bytes)
                                              : static_cast<Header*>(std::aligned_alloc(
                                                    alignof(Header), round_up(sizeof(Header) + bytes)));
        if (fresh == nullptr) return nullptr;
        if (bytes < mapped_bytes) fresh->mapping = nullptr;
        fresh->capacity = bytes;
        return fresh + 1;
    }

    // Takes back memory from take(); keeps it for a later request if it is
    // small enough and a slot is free, else frees it.
    void give(void* memory) {
        if (memory == nullptr) return;
        Header* block = static_cast<Header*>(memory) - 1;
        // Above the limit, only while all that is kept stays within a share of
        // the memory the system has available.
        if (block->capacity > limit_ &&
            (block->mapping == nullptr ||
             kept_bytes_.load(std::memory_order_relaxed) + block->capacity > available_memory_bytes() / kept_share))
            return release(block);
        // A large kept block's pages may go back to the system under memory
        // pressure; until then they stay mapped, and the next sweep writes
        // them without a fault (it writes before it reads). Not for smaller
        // blocks: marking each page dirty again cost them 5-13 %.
        if (block->capacity >= reclaimable_bytes) allow_reclaim(memory, block->capacity);
        keep(block);
    }

private:
    struct alignas(64) Header {
        std::size_t capacity;
        void* mapping;  // the block's own mapping, or nullptr for the C library's memory
        std::size_t mapped;
    };
    static std::size_t round_up(std::size_t bytes, std::size_t unit = alignof(Header)) {
        return (bytes + unit - 1) / unit * unit;
    }
    // A mapping with room for the block from a 2 MiB boundary on; the pages
    // before that boundary are never touched.
    static Header* map(std::size_t bytes) {
        if (bytes > SIZE_MAX / 2) return nullptr;
        const std::size_t length = round_up(sizeof(Header) + bytes, huge_page) + huge_page;
        void* mapping = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapping == MAP_FAILED) return nullptr;
        const std::uintptr_t start = round_up(reinterpret_cast<std::uintptr_t>(mapping), huge_page);
        auto* block = reinterpret_cast<Header*>(start);
#ifdef MADV_HUGEPAGE
        madvise(block, reinterpret_cast<std::uintptr_t>(mapping) + length - start, MADV_HUGEPAGE);  // a hint
#endif
        block->mapping = mapping;
        block->mapped = length;
        return block;
    }
    static void release(Header* block) {
        if (block == nullptr) return;
        if (block->mapping != nullptr)
            munmap(block->mapping, block->mapped);
        else
            std::free(block);
    }
    static void allow_reclaim(void* memory, std::size_t bytes) {
#ifdef MADV_FREE
        const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
        const auto begin = reinterpret_cast<std::uintptr_t>(memory);
        const std::uintptr_t first = (begin + page - 1) / page * page, last = (begin + bytes) / page * page;
        if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_FREE);  // a hint: errors ignored
#else
        (void)memory;
        (void)bytes;
#endif
    }

    static constexpr std::size_t reclaimable_bytes = std::size_t{16} << 20;
    static constexpr std::size_t mapped_bytes = std::size_t{4} << 20;
    static constexpr std::size_t huge_page = std::size_t{2} << 20;
    // Blocks above the limit are kept while all kept is at most this part of MemAvailable.
    static constexpr std::size_t kept_share = 8;

    // Into a free slot, else freed. Counted before it is in a slot, so that
    // a take() that finds it there never counts below zero.
    void keep(Header* block) {
        const std::size_t capacity = block->capacity;
        kept_bytes_.fetch_add(capacity, std::memory_order_relaxed);
        for (std::size_t i = 0; i < slot_count_; ++i) {
            Header* empty = nullptr;
            if (slots_[i].compare_exchange_strong(empty, block, std::memory_order_release)) return;
        }
        kept_bytes_.fetch_sub(capacity, std::memory_order_relaxed);
        release(block);
    }

    static constexpr std::size_t max_slots = 4;
    std::size_t limit_;
    std::size_t slot_count_;
    std::atomic<Header*> slots_[max_slots] = {};
    std::atomic<std::size_t> kept_bytes_{0};  // capacity of the blocks in the slots
};

}  // namespace strata

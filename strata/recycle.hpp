#pragma once
// Large blocks kept between sweeps. A simulation allocates and frees the same
// few megabytes each time; fresh memory costs a page fault per 4 KiB, and the
// C library returns big blocks to the system on free, so every sweep would pay
// those faults again. A Recycler keeps the last block it was given (up to a
// limit) for the next request, and lets the system reclaim its pages if memory
// runs short meanwhile. Lock-free: any thread may take and give, a
// sweep that finds the slot empty allocates, and fork() needs no care.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <sys/mman.h>
#include <unistd.h>

namespace strata {

class Recycler {
public:
    explicit constexpr Recycler(std::size_t limit) : limit_(limit) {}
    ~Recycler() { release(slot_.exchange(nullptr)); }

    // The recyclers for the sweep's result lists and its reused values. Never
    // destroyed, so a Data released during exit can still give back its list.
    static Recycler& transfer_lists();
    static Recycler& reuse_values();
    Recycler(const Recycler&) = delete;
    Recycler& operator=(const Recycler&) = delete;

    // At least `bytes` of memory aligned for any scalar type (64 bytes), or
    // nullptr when it is not to be had.
    void* take(std::size_t bytes) {
        Header* kept = slot_.exchange(nullptr, std::memory_order_acquire);
        if (kept != nullptr && kept->capacity >= bytes) return kept + 1;
        release(kept);
        if (bytes > SIZE_MAX - 2 * sizeof(Header)) return nullptr;
        auto* fresh = static_cast<Header*>(std::aligned_alloc(alignof(Header), round_up(sizeof(Header) + bytes)));
        if (fresh == nullptr) return nullptr;
        fresh->capacity = bytes;
        return fresh + 1;
    }

    // Takes back memory from take(); keeps it for the next request if it is
    // small enough and nothing is kept yet, else frees it.
    void give(void* memory) {
        if (memory == nullptr) return;
        Header* block = static_cast<Header*>(memory) - 1;
        Header* empty = nullptr;
        if (block->capacity > limit_) return release(block);
        // A large kept block's pages may go back to the system under memory
        // pressure; until then they stay mapped, and the next sweep writes
        // them without a fault (it writes before it reads). Not for smaller
        // blocks: marking each page dirty again cost them 5-13 %.
        if (block->capacity >= reclaimable_bytes) allow_reclaim(memory, block->capacity);
        if (!slot_.compare_exchange_strong(empty, block, std::memory_order_release)) release(block);
    }

private:
    struct alignas(64) Header {
        std::size_t capacity;
    };
    static std::size_t round_up(std::size_t bytes) {  // aligned_alloc wants a multiple of the alignment
        return (bytes + alignof(Header) - 1) / alignof(Header) * alignof(Header);
    }
    static void release(Header* block) { std::free(block); }
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

    std::size_t limit_;
    std::atomic<Header*> slot_{nullptr};
};

}  // namespace strata

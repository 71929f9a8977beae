#pragma once
// The process-wide worker pool. Started by the first parallel sweep, it lives
// until the process ends; a child created by fork() starts a fresh one.
#include <cstddef>
#include <type_traits>
#include <utility>

namespace strata {

// A non-owning reference to a callable `void(std::size_t begin, std::size_t end)`.
class RangeTask {
public:
    template <class F>
    RangeTask(F& body)  // NOLINT: implicit on purpose, like std::function_ref
        : object_(&body), call_([](void* object, std::size_t begin, std::size_t end) {
              (*static_cast<F*>(object))(begin, end);
          }) {}
    void operator()(std::size_t begin, std::size_t end) const { call_(object_, begin, end); }

private:
    void* object_;
    void (*call_)(void*, std::size_t, std::size_t);
};

// Runs `task` over disjoint contiguous ranges that together cover [0, count),
// on the pool's threads, while the calling thread waits. Returns when no
// worker computes for this call any more; the first failure of a worker is
// rethrown here, and the ranges not yet started are then skipped. A pool that
// could not start a single thread runs the whole range on the calling thread.
void parallel_for(std::size_t count, RangeTask task);

// Threads in the pool: 0 before the first parallel sweep of this process, and
// fewer than configured when the system would not start them all.
std::size_t pool_thread_count();

// The pool's size: RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS (each only when a
// positive integer), else the processors available to this process.
std::size_t configured_thread_count();

// Processors this process may run on: its affinity mask, capped by the cgroup
// CPU quota (rounded up) on the path from its own cgroup to the root, at least 1.
std::size_t available_processors();

}  // namespace strata

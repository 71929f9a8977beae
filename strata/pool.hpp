#pragma once
// The process-wide worker pool. Started by the first parallel sweep, it lives
// until the process ends; a child created by fork() starts a fresh one.
#include <chrono>
#include <cstddef>
#include <exception>
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
// rethrown here, and the ranges not yet started are then skipped (the ranges
// in hand stop at their next interruption_point()). A pool that could not
// start a single thread, or a call made while the same thread's pass is still
// running (from a StopCheck, or from a task), runs the whole range on the
// calling thread.
void parallel_for(std::size_t count, RangeTask task);

// Thrown by work that stopped because a StopCheck asked it to.
class Interrupted : public std::exception {
public:
    const char* what() const noexcept override;
};

// Stopping long work early, as Ctrl-C asks of an interpreter. A caller
// installs a check on its thread for the length of a call; the engine asks it
// on that thread at most every `interval` while the call's work runs (while
// the thread waits for a pass, and at the interruption points of work it
// computes itself). Once the check answers true, every thread's work stops at
// its next interruption point, the ranges not started are skipped, and the
// call throws Interrupted after the last worker has left its pass. Checks
// nest: the innermost installed one is asked.
class StopCheck {
public:
    using Ask = bool (*)(void* context) noexcept;
    static constexpr std::chrono::milliseconds interval{10};

    // `ask` null: installs nothing, the call cannot be stopped.
    StopCheck(Ask ask, void* context);
    ~StopCheck();
    StopCheck(const StopCheck&) = delete;
    StopCheck& operator=(const StopCheck&) = delete;

    // The innermost check installed on this thread, or null.
    static StopCheck* current();
    // Asks when the interval since the last question has passed; true once
    // the check said stop (and from then on, without asking again).
    bool stop_requested();
    // The time of the next question.
    std::chrono::steady_clock::time_point next_question() const { return next_; }

private:
    Ask ask_;
    void* context_;
    StopCheck* outer_ = nullptr;
    bool stopped_ = false;
    std::chrono::steady_clock::time_point next_;
};

// Called by work between pieces of a few microseconds or more (a block of
// wavelengths, a few points): throws Interrupted when the work is to stop. An
// atomic load on a worker of the pool, a clock read on a thread with a
// StopCheck, nothing otherwise.
void interruption_point();

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

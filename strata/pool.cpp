#include "strata/pool.hpp"

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "strata/cpu_quota.hpp"
#include "strata/fork.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace strata {
namespace {

// A sleeping thread takes tens of microseconds to wake, longer than a short
// pass takes to compute; so a thread with a processor to itself spins this
// long before it sleeps.
constexpr auto spin_limit = std::chrono::microseconds(60);

// A worker without a processor of its own spins only this long, enough to
// catch the second pass of a sweep without being woken again.
constexpr auto pass_gap = std::chrono::microseconds(10);

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#endif
}

// Spins until `ready()` or the spin limit; true when ready. Yields now and
// then, in case a thread with work shares this processor after all.
template <class Ready>
bool spin_until(Ready ready, std::chrono::microseconds limit = spin_limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (unsigned round = 1;; ++round) {
        if (ready()) return true;
        cpu_relax();
        if (round % 32 == 0) {
            sched_yield();
            if (std::chrono::steady_clock::now() >= deadline) return ready();
        }
    }
}

// Sleeps while `word` holds `expected`; may return early.
void futex_wait(std::atomic<std::uint32_t>& word, std::uint32_t expected) {
    static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}
// The same, waking at `deadline` at the latest.
void futex_wait_until(std::atomic<std::uint32_t>& word, std::uint32_t expected,
                      std::chrono::steady_clock::time_point deadline) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return;
    const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    timespec timeout{};
    timeout.tv_sec = static_cast<std::time_t>(nanoseconds / 1'000'000'000);
    timeout.tv_nsec = static_cast<long>(nanoseconds % 1'000'000'000);
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected, &timeout, nullptr, 0);
}
void futex_wake(std::atomic<std::uint32_t>& word, int threads) {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, threads, nullptr, nullptr, 0);
}

// The StopCheck installed on this thread, if any.
thread_local StopCheck* installed_check = nullptr;
// On a worker of the pool: its pool's flag that the pass is to end early.
thread_local const std::atomic<bool>* worker_stop = nullptr;
// This thread waits for a pass of its own.
thread_local bool in_pass = false;

// A pass is cut into ranges that the workers claim one at a time; the caller
// waits for the ranges to be finished, not for the workers, so a worker that
// wakes after every range is claimed finds nothing and goes back to sleep.
//
// `claim_` packs the pass number's low half (its high half) with the ranges
// still unclaimed (its low half): a worker claims by decrementing it only while
// it still names the pass the worker woke for. A claimed, unfinished range keeps the pass
// from ending, so the pass's plain fields stay valid while the worker reads them.
class Pool {
public:
    Pool(std::size_t wanted, std::size_t processors) : processors_(std::max<std::size_t>(1, processors)) {
        std::string reason;
        for (std::size_t k = 0; k < wanted; ++k) {
            try {
                // Only workers on processors the caller leaves free spin long.
                const bool may_spin = k + 1 < processors_;
                threads_.emplace_back([this, may_spin] { work(may_spin); });
            } catch (const std::system_error& error) {
                reason = error.what();
                break;
            } catch (const std::bad_alloc&) {
                reason = "out of memory";
                break;
            }
        }
        if (threads_.size() < wanted) {
            // Said once: the pool is made once per process and keeps what it got.
            if (threads_.empty())
                std::fprintf(stderr, "lamina: could not start a worker thread (%s); sweeping on the calling thread\n",
                             reason.c_str());
            else
                std::fprintf(stderr, "lamina: started %zu of %zu worker threads (%s); using those\n",
                             threads_.size(), wanted, reason.c_str());
        }
        // Wake only as many workers as there are processors to run them.
        helpers_ = std::min(threads_.size(), processors_);
        // The caller spins only when a processor is left over for it.
        caller_spins_ = threads_.size() < processors_;
    }
    ~Pool() { stop(); }
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    std::size_t size() const { return threads_.size(); }

    // `check` (may be null) is asked while the caller waits; a stop it asks
    // for ends the pass like a failure of a worker, and throws Interrupted.
    void run(std::size_t count, RangeTask task, StopCheck* check) {
        if (threads_.empty()) {
            task(0, count);
            return;
        }
        // Several ranges per helper so that a slow thread does not hold up the pass.
        const std::size_t ranges = std::min<std::size_t>({count, helpers_ * 8, std::size_t{1} << 30});
        task_ = &task;
        count_ = count;
        ranges_ = ranges;
        failure_ = nullptr;
        failed_.store(false, std::memory_order_relaxed);
        entered_.store(0, std::memory_order_relaxed);
        done_.store(0, std::memory_order_relaxed);
        const std::uint64_t pass = ++pass_;
        claim_.store((pass << 32) | ranges, std::memory_order_seq_cst);
        announced_pass_.store(pass, std::memory_order_seq_cst);
        announced_pass_low_.store(static_cast<std::uint32_t>(pass), std::memory_order_seq_cst);
        if (spinning_.load(std::memory_order_seq_cst) == 0 && sleeping_.load(std::memory_order_seq_cst) > 0)
            futex_wake(announced_pass_low_, 1);  // the workers wake each other as long as ranges are left

        const auto target = static_cast<std::uint32_t>(ranges);
        auto finished = [&] { return done_.load(std::memory_order_acquire) == target; };
        bool stopping = false, interrupted = false;
        if (!(caller_spins_ && spin_until(finished))) {
            for (;;) {
                caller_sleeping_.store(true, std::memory_order_seq_cst);
                const std::uint32_t seen = done_.load(std::memory_order_seq_cst);
                if (seen == target) break;
                if (check == nullptr || stopping) {
                    futex_wait(done_, seen);
                    continue;
                }
                futex_wait_until(done_, seen, check->next_question());
                // Unless a worker failed first, the pass ends as if the caller had.
                stopping = check->stop_requested();
                if (stopping) interrupted = !failed_.exchange(true, std::memory_order_relaxed);
            }
            caller_sleeping_.store(false, std::memory_order_relaxed);
        }
        task_ = nullptr;
        if (interrupted) throw Interrupted();
        if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
    }

private:
    void work(bool may_spin) {
        worker_stop = &failed_;
        std::uint64_t seen = 0;
        for (;;) {
            wait_for_pass(seen, may_spin);
            if (stopping_.load(std::memory_order_acquire)) return;
            help(static_cast<std::uint32_t>(seen));
        }
    }

    void wait_for_pass(std::uint64_t& seen, bool may_spin) {
        auto announced = [&] { return announced_pass_.load(std::memory_order_acquire) != seen; };
        spinning_.fetch_add(1, std::memory_order_seq_cst);
        const bool ready = spin_until(announced, may_spin ? spin_limit : pass_gap);
        spinning_.fetch_sub(1, std::memory_order_seq_cst);
        if (ready) {
            seen = announced_pass_.load(std::memory_order_acquire);
            return;
        }
        for (;;) {
            sleeping_.fetch_add(1, std::memory_order_seq_cst);
            if (announced_pass_.load(std::memory_order_seq_cst) == seen)
                futex_wait(announced_pass_low_, static_cast<std::uint32_t>(seen));
            sleeping_.fetch_sub(1, std::memory_order_seq_cst);
            if (announced()) {
                seen = announced_pass_.load(std::memory_order_acquire);
                return;
            }
        }
    }

    // Claims and runs ranges of pass `pass` until none is left.
    void help(std::uint32_t pass) {
        bool entered = false;
        for (;;) {
            std::uint64_t state = claim_.load(std::memory_order_acquire);
            do {
                if (static_cast<std::uint32_t>(state >> 32) != pass || static_cast<std::uint32_t>(state) == 0) return;
            } while (!claim_.compare_exchange_weak(state, state - 1, std::memory_order_acq_rel,
                                                   std::memory_order_acquire));
            const std::size_t left = static_cast<std::uint32_t>(state) - 1;
            // The range is ours and the pass cannot end before it is done.
            const std::size_t ranges = ranges_;
            if (!entered) {
                entered = true;
                const std::size_t helpers = entered_.fetch_add(1, std::memory_order_relaxed) + 1;
                if (left > 0 && helpers < helpers_ && spinning_.load(std::memory_order_seq_cst) == 0 &&
                    sleeping_.load(std::memory_order_seq_cst) > 0)
                    futex_wake(announced_pass_low_, 1);
            }
            const std::size_t index = ranges - 1 - left;
            const std::size_t base = count_ / ranges, extra = count_ % ranges;
            const std::size_t begin = index * base + std::min(index, extra);
            const std::size_t end = begin + base + (index < extra ? 1 : 0);
            if (!failed_.load(std::memory_order_relaxed)) {
                try {
                    (*task_)(begin, end);
                } catch (...) {
                    if (!failed_.exchange(true, std::memory_order_relaxed)) failure_ = std::current_exception();
                }
            }
            // Nothing of the pass is touched after this: the caller may be gone.
            if (done_.fetch_add(1, std::memory_order_seq_cst) + 1 == ranges &&
                caller_sleeping_.load(std::memory_order_seq_cst))
                futex_wake(done_, 1);
        }
    }

    void stop() {
        stopping_.store(true, std::memory_order_seq_cst);
        announced_pass_.fetch_add(1, std::memory_order_seq_cst);
        announced_pass_low_.fetch_add(1, std::memory_order_seq_cst);
        futex_wake(announced_pass_low_, static_cast<int>(std::min<std::size_t>(threads_.size(), 1 << 30)));
        for (std::thread& thread : threads_) thread.join();
    }

    const std::size_t processors_;
    std::size_t helpers_ = 0;
    bool caller_spins_ = false;
    // The pass: written by the caller before it is announced.
    const RangeTask* task_ = nullptr;
    std::size_t count_ = 0;
    std::size_t ranges_ = 0;
    std::exception_ptr failure_;  // written by the first failing worker only
    std::uint64_t pass_ = 0;
    std::atomic<bool> failed_{false};
    std::atomic<std::size_t> entered_{0};
    std::atomic<std::uint64_t> claim_{0};
    std::atomic<std::uint32_t> done_{0};       // ranges finished; the caller sleeps on it
    // The latest pass announced, and the low half of the same count as the
    // futex word the workers sleep on. Workers compare the whole count, so one
    // asleep through 2^32 passes still sees a new one.
    std::atomic<std::uint64_t> announced_pass_{0};
    std::atomic<std::uint32_t> announced_pass_low_{0};
    std::atomic<bool> caller_sleeping_{false};
    std::atomic<std::uint32_t> spinning_{0};
    std::atomic<std::uint32_t> sleeping_{0};
    std::atomic<bool> stopping_{false};
    std::vector<std::thread> threads_;
};

std::mutex pool_mutex;
std::unique_ptr<Pool> pool_instance;

// Parallel passes run one at a time, so callers on several threads share the pool.
std::mutex pass_mutex;

Pool& pool() {
    std::lock_guard lock(pool_mutex);
    if (!pool_instance) pool_instance = std::make_unique<Pool>(configured_thread_count(), available_processors());
    return *pool_instance;
}

std::optional<std::size_t> positive_integer(const char* text) {
    if (text == nullptr || *text == '\0') return std::nullopt;
    std::size_t value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return std::nullopt;
        if (value > (SIZE_MAX - 9) / 10) return std::nullopt;
        value = value * 10 + static_cast<std::size_t>(*p - '0');
    }
    if (value == 0) return std::nullopt;
    return value;
}

std::size_t affinity_processors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<std::size_t>(count);
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<std::size_t>(online) : 1;
}

}  // namespace

std::size_t available_processors() {
    std::size_t processors = affinity_processors();
    if (auto quota = cgroup_cpu_limit()) processors = std::min(processors, *quota);
    return std::max<std::size_t>(1, processors);
}

std::size_t configured_thread_count() {
    if (auto threads = positive_integer(std::getenv("RAYON_NUM_THREADS"))) return *threads;
    if (auto threads = positive_integer(std::getenv("RAYON_RS_NUM_CPUS"))) return *threads;
    return available_processors();
}

std::size_t pool_thread_count() {
    std::lock_guard lock(pool_mutex);
    return pool_instance ? pool_instance->size() : 0;
}

// A fork waits for a running pass to end. The child inherits the pool's
// memory but none of its threads: it abandons the old pool (its threads
// cannot be joined there) and starts anew at its first parallel sweep.
void fork_steps::hold_pool() {
    pass_mutex.lock();
    pool_mutex.lock();
}
void fork_steps::release_pool_in_parent() {
    pool_mutex.unlock();
    pass_mutex.unlock();
}
void fork_steps::release_pool_in_child() {
    static_cast<void>(pool_instance.release());
    pool_mutex.unlock();
    pass_mutex.unlock();
}

void parallel_for(std::size_t count, RangeTask task) {
    if (count == 0) return;
    // Called from within a pass of this thread: the pool is busy with it.
    if (in_pass || worker_stop != nullptr) {
        task(0, count);
        return;
    }
    Pool& workers = pool();
    struct Leave {
        ~Leave() { in_pass = false; }
    };
    std::unique_lock lock(pass_mutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        // Another caller's pass has the pool. Waiting for it could deadlock:
        // that caller may itself be waiting, to check for signals, for the
        // interpreter lock that this thread's caller holds. This thread computes
        // alone instead; the results do not depend on who computes them.
        in_pass = true;
        Leave leave;
        task(0, count);
        return;
    }
    in_pass = true;
    Leave leave;
    workers.run(count, task, installed_check);
}

const char* Interrupted::what() const noexcept { return "interrupted"; }

StopCheck::StopCheck(Ask ask, void* context) : ask_(ask), context_(context) {
    if (ask_ == nullptr) return;
    outer_ = std::exchange(installed_check, this);
    next_ = std::chrono::steady_clock::now() + interval;
}

StopCheck::~StopCheck() {
    if (ask_ != nullptr) installed_check = outer_;
}

StopCheck* StopCheck::current() { return installed_check; }

bool StopCheck::stop_requested() {
    if (stopped_) return true;
    if (std::chrono::steady_clock::now() < next_) return false;
    stopped_ = ask_(context_);
    // Counted from the answer: a signal handler may have taken a while.
    next_ = std::chrono::steady_clock::now() + interval;
    return stopped_;
}

void interruption_point() {
    if (const std::atomic<bool>* stop = worker_stop) {
        if (stop->load(std::memory_order_relaxed)) throw Interrupted();
        return;
    }
    if (installed_check != nullptr && installed_check->stop_requested()) throw Interrupted();
}

}  // namespace strata

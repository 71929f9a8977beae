#include "strata/pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace strata {
namespace {

// A sleeping thread takes tens of microseconds to wake, longer than a short
// pass takes to compute; so both sides spin this long before they sleep.
constexpr auto spin_limit = std::chrono::microseconds(60);

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#endif
}

// Spins until `ready()` or the spin limit; true when ready. The caller and
// the workers together outnumber the processors, so a spinning thread yields
// now and then to whichever of them has work.
template <class Ready>
bool spin_until(Ready ready) {
    const auto deadline = std::chrono::steady_clock::now() + spin_limit;
    for (unsigned round = 1;; ++round) {
        if (ready()) return true;
        cpu_relax();
        if (round % 32 == 0) {
            sched_yield();
            if (std::chrono::steady_clock::now() >= deadline) return ready();
        }
    }
}

class Pool {
public:
    explicit Pool(std::size_t thread_count) {
        threads_.reserve(thread_count);
        try {
            for (std::size_t k = 0; k < thread_count; ++k) threads_.emplace_back([this] { work(); });
        } catch (...) {
            stop();
            throw;
        }
    }
    ~Pool() { stop(); }
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    std::size_t size() const { return threads_.size(); }

    void run(std::size_t count, RangeTask task) {
        {
            std::lock_guard lock(mutex_);
            task_ = &task;
            count_ = count;
            // Several ranges per thread so a slow thread does not hold up the pass.
            chunk_ = std::max<std::size_t>(1, count / (threads_.size() * 8));
            next_.store(0, std::memory_order_relaxed);
            failed_.store(false, std::memory_order_relaxed);
            failure_ = nullptr;
            working_.store(threads_.size(), std::memory_order_relaxed);
            generation_.fetch_add(1, std::memory_order_release);
        }
        wake_.notify_all();
        auto all_done = [this] { return working_.load(std::memory_order_acquire) == 0; };
        if (!spin_until(all_done)) {
            std::unique_lock lock(mutex_);
            finished_.wait(lock, all_done);
        }
        std::exception_ptr failure;
        {
            std::lock_guard lock(mutex_);
            failure = std::exchange(failure_, nullptr);
            task_ = nullptr;
        }
        if (failure) std::rethrow_exception(failure);
    }

private:
    void work() {
        std::uint64_t seen = 0;
        for (;;) {
            auto new_job = [&] { return generation_.load(std::memory_order_acquire) != seen; };
            if (!spin_until(new_job)) {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, new_job);
            }
            seen = generation_.load(std::memory_order_acquire);
            if (stopping_.load(std::memory_order_acquire)) return;
            run_ranges();
            if (working_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
                std::lock_guard lock(mutex_);
                finished_.notify_one();
            }
        }
    }

    void run_ranges() {
        while (!failed_.load(std::memory_order_relaxed)) {
            const std::size_t begin = next_.fetch_add(chunk_, std::memory_order_relaxed);
            if (begin >= count_) return;
            const std::size_t end = std::min(count_, begin + chunk_);
            try {
                (*task_)(begin, end);
            } catch (...) {
                std::lock_guard lock(mutex_);
                if (!failure_) failure_ = std::current_exception();
                failed_.store(true, std::memory_order_relaxed);
            }
        }
    }

    void stop() {
        {
            std::lock_guard lock(mutex_);
            stopping_.store(true, std::memory_order_release);
            generation_.fetch_add(1, std::memory_order_release);
        }
        wake_.notify_all();
        for (std::thread& thread : threads_) thread.join();
    }

    std::mutex mutex_;
    std::condition_variable wake_;      // workers wait here for the next pass
    std::condition_variable finished_;  // the caller waits here for the pass to end
    std::atomic<std::uint64_t> generation_{0};
    std::atomic<bool> stopping_{false};
    const RangeTask* task_ = nullptr;
    std::size_t count_ = 0;
    std::size_t chunk_ = 1;
    std::atomic<std::size_t> next_{0};
    std::atomic<std::size_t> working_{0};
    std::atomic<bool> failed_{false};
    std::exception_ptr failure_;
    std::vector<std::thread> threads_;
};

std::mutex pool_mutex;
std::unique_ptr<Pool> pool_instance;
std::once_flag fork_handlers_installed;

// Parallel passes run one at a time, so callers on several threads share the pool.
std::mutex pass_mutex;

// A fork waits for a running pass to end. The child inherits the pool's
// memory but none of its threads: it abandons the old pool (its threads
// cannot be joined there) and starts anew at its first parallel sweep.
void before_fork() {
    pass_mutex.lock();
    pool_mutex.lock();
}
void after_fork_in_parent() {
    pool_mutex.unlock();
    pass_mutex.unlock();
}
void after_fork_in_child() {
    static_cast<void>(pool_instance.release());
    pool_mutex.unlock();
    pass_mutex.unlock();
}

Pool& pool() {
    std::call_once(fork_handlers_installed,
                   [] { pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child); });
    std::lock_guard lock(pool_mutex);
    if (!pool_instance) pool_instance = std::make_unique<Pool>(configured_thread_count());
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

std::optional<std::string> read_first_line(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    if (!file || !std::getline(file, line)) return std::nullopt;
    return line;
}

std::optional<std::size_t> quota_in_processors(double quota, double period) {
    if (quota <= 0 || period <= 0) return std::nullopt;
    // Rounded up: a quota of 1.5 processors still keeps two threads busy part of the time.
    const auto processors = static_cast<std::size_t>((quota + period - 1) / period);
    return std::max<std::size_t>(1, processors);
}

// This process's cgroup path for the unified (v2) hierarchy, from /proc/self/cgroup.
std::string cgroup_v2_path() {
    std::ifstream file("/proc/self/cgroup");
    std::string line;
    while (std::getline(file, line))
        if (line.rfind("0::", 0) == 0) return line.substr(3);
    return "/";
}

std::optional<std::size_t> cgroup_v2_quota() {
    for (const std::string& dir : {"/sys/fs/cgroup" + cgroup_v2_path(), std::string("/sys/fs/cgroup")}) {
        const auto line = read_first_line(dir + "/cpu.max");
        if (!line) continue;
        std::istringstream fields(*line);
        std::string quota;
        double period = 0;
        if (!(fields >> quota >> period)) continue;
        if (quota == "max") return std::nullopt;
        try {
            return quota_in_processors(std::stod(quota), period);
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

std::optional<std::size_t> cgroup_v1_quota() {
    for (const char* dir : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"}) {
        const auto quota = read_first_line(std::string(dir) + "/cpu.cfs_quota_us");
        const auto period = read_first_line(std::string(dir) + "/cpu.cfs_period_us");
        if (!quota || !period) continue;
        try {
            return quota_in_processors(std::stod(*quota), std::stod(*period));
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    return std::nullopt;
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
    if (auto quota = cgroup_v2_quota()) processors = std::min(processors, *quota);
    else if (auto quota_v1 = cgroup_v1_quota()) processors = std::min(processors, *quota_v1);
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

void parallel_for(std::size_t count, RangeTask task) {
    if (count == 0) return;
    Pool& workers = pool();
    std::lock_guard lock(pass_mutex);
    workers.run(count, task);
}

}  // namespace strata

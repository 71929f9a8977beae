// Several threads share the worker pool at once, for the thread sanitizer:
// passes short enough to find the workers still spinning and, after a pause,
// long enough to find them asleep; failures thrown on the workers; every
// index of every pass computed exactly once; pooled sweeps equal to the
// one-index form bit for bit, whichever caller got the pool first.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "drivers.hpp"
#include "strata/data.hpp"
#include "strata/pool.hpp"
#include "strata/sweep.hpp"

using namespace strata;
using drivers::same_bits;

namespace {

std::atomic<int> passes{0};
std::atomic<int> failures{0};

void check(bool ok, const std::string& what) {
    if (ok) {
        passes.fetch_add(1, std::memory_order_relaxed);
    } else {
        failures.fetch_add(1, std::memory_order_relaxed);
        std::fprintf(stderr, "FAILED: %s\n", what.c_str());
    }
}

// Bare passes: each index counted once, or, when the pass fails, at most once.
void counted_passes(int caller, std::mt19937_64& rng) {
    for (int round = 0; round < 400; ++round) {
        const std::size_t count = 1 + rng() % 2000;
        const bool failing = round % 5 == caller % 5;
        std::vector<std::atomic<int>> hits(count);
        auto body = [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) hits[i].fetch_add(1, std::memory_order_relaxed);
            if (failing && end == count) fail(index_out_of_bounds);
        };
        bool thrown = false;
        try {
            parallel_for(count, body);
        } catch (const Failure&) {
            thrown = true;
        }
        check(thrown == failing, "failure carried back");
        bool exact = true;
        for (const auto& hit : hits) {
            const int seen = hit.load(std::memory_order_relaxed);
            exact = exact && (failing ? seen <= 1 : seen == 1);
        }
        check(exact, "every index once, caller " + std::to_string(caller) + ", round " + std::to_string(round));
        if (round % 25 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));  // let the workers sleep
    }
}

// Whole sweeps through the engine, checked index by index.
void engine_sweeps(int caller, std::mt19937_64& rng) {
    for (int round = 0; round < 12; ++round) {
        const std::size_t waves = 101 + rng() % 400;
        Data data = drivers::random_stack(rng, 3 + rng() % 6, waves, 0.3, 0.6);
        const auto pooled = transfer_calc(data);
        bool same = pooled.size() == waves;
        for (std::size_t i = 0; same && i < waves; ++i)
            same = same_bits(pooled[i].s_matrix, data.transfer_for_wavelength(i, false)) &&
                   same_bits(pooled[i].p_matrix, data.transfer_for_wavelength(i, true));
        check(same, "pooled sweep, caller " + std::to_string(caller));
        check(data.get_r_power_vec().size() == waves && data.get_t_power_vec().size() == waves, "spectra");
    }
}

}  // namespace

int main() {
    constexpr int callers = 4;
    std::vector<std::thread> threads;
    for (int caller = 0; caller < callers; ++caller) {
        threads.emplace_back([caller] {
            std::mt19937_64 rng(1000 + caller);
            counted_passes(caller, rng);
            engine_sweeps(caller, rng);
        });
    }
    for (auto& thread : threads) thread.join();
    check(pool_thread_count() == configured_thread_count(), "one pool for all callers");
    std::printf("%d passed, %d failed\n", passes.load(), failures.load());
    return failures.load() == 0 ? 0 : 1;
}

// Drives the engine without an interpreter: every kernel copy the CPU runs
// against the one-index form bit for bit, with and without kept values,
// serial against pooled sweeps, and failures carried back from the workers. Also the program the thread sanitizer runs.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <sys/resource.h>
#if defined(__x86_64__)
#include <cpuid.h>
#endif

#include "strata/data.hpp"
#include "strata/kernel.hpp"
#include "strata/pool.hpp"
#include "strata/recycle.hpp"
#include "strata/sweep.hpp"
#include "strata/transfer.hpp"
#include "exact_atan2_compare.hpp"
#include "exact_math_compare.hpp"

using namespace strata;

namespace {

int passes = 0;
int failures = 0;

void check(bool ok, const std::string& what) {
    if (ok) {
        ++passes;
    } else {
        ++failures;
        std::fprintf(stderr, "FAILED: %s\n", what.c_str());
    }
}

bool same_bits(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b) || (std::isnan(a) && std::isnan(b));
}
bool same_bits(Complex a, Complex b) { return same_bits(a.re, b.re) && same_bits(a.im, b.im); }
bool same_bits(const Matrix2& a, const Matrix2& b) {
    return same_bits(a.m00, b.m00) && same_bits(a.m10, b.m10) && same_bits(a.m01, b.m01) && same_bits(a.m11, b.m11);
}

double special(std::mt19937_64& rng, double usual) {
    static const double values[] = {0.0, -0.0, INFINITY, -INFINITY, NAN, 1e300, 1e-300};
    std::uniform_int_distribution<int> pick(0, 60);
    const int k = pick(rng);
    return k < 7 ? values[k] : usual;
}

Data random_stack(std::mt19937_64& rng, std::size_t media, std::size_t waves, Order order) {
    std::uniform_real_distribution<double> real(1.0, 3.0), kappa(0.0, 0.5), thick(0.0, 400.0),
        wave(300.0, 1200.0), angle(-2.0, 2.0);
    std::vector<Complex> indices(media * waves);
    for (auto& index : indices) index = {special(rng, real(rng)), special(rng, kappa(rng))};
    std::vector<double> d(media > 2 ? media - 2 : 0), wl(waves);
    for (auto& t : d) t = special(rng, thick(rng));
    for (auto& w : wl) w = special(rng, wave(rng));
    return Data(Array1<double>(d), Array2<Complex>(media, waves, order, indices), Array1<double>(wl),
                angle(rng), angle(rng));
}

// A sweep's entry against the one-index form: matrix bits and exponent.
bool same_s(const Transfer& transfer, const Data& data, std::size_t i) {
    std::int32_t exponent = -1;
    return same_bits(transfer.s_matrix, data.transfer_for_wavelength(i, false, &exponent)) &&
           transfer.s_exponent == exponent;
}
bool same_p(const Transfer& transfer, const Data& data, std::size_t i) {
    std::int32_t exponent = -1;
    return same_bits(transfer.p_matrix, data.transfer_for_wavelength(i, true, &exponent)) &&
           transfer.p_exponent == exponent;
}

// Every kernel copy the CPU runs, with no reuse, a few kept groups and a
// budget for all of them, against the one-index form.
std::vector<std::size_t> budgets(const Data& data, const Kernel& kernel) {
    const std::size_t group = reuse_doubles_per_group(data.n().rows(), kernel.lanes) * sizeof(double);
    return {0, group, 3 * group + 1, reuse_budget_bytes};
}

void batched_equals_one_index(std::mt19937_64& rng) {
    for (int trial = 0; trial < 300; ++trial) {
        const std::size_t media = 2 + trial % 12, waves = 1 + trial % 23;
        const Data data = random_stack(rng, media, waves, trial % 2 ? Order::column_major : Order::row_major);
        for (const Kernel* kernel : runnable_kernels()) {
            for (std::size_t budget : budgets(data, *kernel)) {
                const TransferList transfers = transfer_calc(data, *kernel, budget);
                const std::string where = std::string(kernel->name) + ", budget " + std::to_string(budget);
                for (std::size_t i = 0; i < waves; ++i) {
                    check(same_s(transfers[i], data, i), "s matrix, batched, " + where);
                    check(same_p(transfers[i], data, i), "p matrix, batched, " + where);
                }
            }
        }
    }
}

void pooled_equals_serial(std::mt19937_64& rng) {
    for (std::size_t waves : {101u, 257u, 5000u}) {
        Data data = random_stack(rng, 9, waves, Order::row_major);
        for (const Kernel* kernel : runnable_kernels()) {
            for (std::size_t budget : budgets(data, *kernel)) {
                const TransferList pooled = transfer_calc(data, *kernel, budget);
                bool same = true;
                for (std::size_t i = 0; i < waves; ++i)
                    same = same && same_s(pooled[i], data, i) && same_p(pooled[i], data, i);
                check(same, "pooled sweep, " + std::string(kernel->name) + ", budget " + std::to_string(budget) +
                                ", " + std::to_string(waves) + " wavelengths");
            }
        }
        const auto r = data.get_r_power_vec();
        const auto t = data.get_t_power_vec();
        check(r.size() == waves && t.size() == waves, "spectra length");
    }
}

// The road for a C library whose sincos differs: separate sin and cos calls.
void passes_without_sincos(std::mt19937_64& rng) {
    for (int trial = 0; trial < 40; ++trial) {
        const std::size_t media = 2 + trial % 9, waves = 1 + trial % 19;
        const Data data = random_stack(rng, media, waves, Order::row_major);
        const PassInput input{data.d(), data.n(), data.wl(), data.theta(), false};
        for (const Kernel* kernel : runnable_kernels()) {
            std::vector<Transfer> out(waves);
            std::vector<double> kept(reuse_doubles_per_group(media, kernel->lanes) * waves);
            const Reuse reuse{kept.data(), (waves + kernel->lanes - 1) / kernel->lanes};
            kernel->s_pass(input, 0, waves, out.data(), reuse);
            kernel->p_pass(input, 0, waves, out.data(), reuse);
            for (std::size_t i = 0; i < waves; ++i)
                check(same_s(out[i], data, i) && same_p(out[i], data, i),
                      std::string("separate sin and cos, ") + kernel->name);
        }
    }
}

// Shapes that fail do so in every copy, before the p pass reads kept values.
void every_kernel_fails_short_shapes(std::mt19937_64& rng) {
    const Data narrow = random_stack(rng, 4, 150, Order::row_major);
    const Data short_d(Array1<double>(std::vector<double>{1.0}), narrow.n(), narrow.wl(), 0.1, 0.2);
    for (const Kernel* kernel : runnable_kernels()) {
        std::string message = "no failure";
        try {
            transfer_calc(short_d, *kernel, reuse_budget_bytes);
        } catch (const Failure& failure) {
            message = failure.what();
        }
        check(message == index_out_of_bounds, std::string("short d, ") + kernel->name);
    }
}

// Memory errors here show under the sanitizers, which run this program.
void recycler_keeps_one_block() {
    Recycler recycler(1000);
    void* first = recycler.take(800);
    check(first != nullptr && reinterpret_cast<std::uintptr_t>(first) % 64 == 0, "recycled block, alignment");
    std::memset(first, 0xab, 800);
    recycler.give(first);
    check(recycler.take(500) == first, "a smaller request reuses the kept block");
    void* second = recycler.take(500);  // the slot is empty while the first is lent
    check(second != nullptr && second != first, "a fresh block while the kept one is lent");
    recycler.give(first);
    recycler.give(second);  // the slot is full: freed
    void* larger = recycler.take(900);  // the kept block is too small: a fresh one
    std::memset(larger, 0, 900);
    recycler.give(larger);
    void* over = recycler.take(5000);
    std::memset(over, 0, 5000);
    recycler.give(over);  // over the limit: freed, not kept
    check(recycler.take(std::size_t(-1) - 8) == nullptr, "an impossible size is refused");
}

// Blocks of megabytes: mapped from a 2 MiB boundary (huge pages), and kept
// beyond the limit while they are a small share of the available memory.
void recycler_maps_large_blocks() {
    Recycler recycler(1000);
    const std::size_t bytes = std::size_t{24} << 20;
    char* block = static_cast<char*>(recycler.take(bytes));
    check(block != nullptr && (reinterpret_cast<std::uintptr_t>(block) - 64) % (std::size_t{2} << 20) == 0,
          "a large block starts on a 2 MiB boundary");
    std::memset(block, 1, bytes);
    recycler.give(block);
    char* again = static_cast<char*>(recycler.take(bytes));
    check(again == block || available_memory_bytes() / 8 < bytes, "a large block within the memory share is kept");
    std::memset(again, 2, bytes);
    recycler.give(again);
}

// The reuse budget: what a usual sweep needs, more while it is at most a
// quarter of the available memory, the fixed budget when that is unknown.
void reuse_budget_grows_with_the_sweep() {
    const std::size_t gib = std::size_t{1} << 30;
    check(reuse_budget(1000, 0) == 1000, "a small sweep keeps all");
    check(reuse_budget(10 * reuse_budget_bytes, 0) == reuse_budget_bytes, "unknown memory: the fixed budget");
    check(reuse_budget(gib, 8 * gib) == gib, "a large sweep keeps all within a quarter");
    check(reuse_budget(16 * gib, 8 * gib) == 2 * gib, "a quarter of the available memory");
    check(reuse_budget(16 * gib, gib / 16) == reuse_budget_bytes, "never below the fixed budget");
}

// A sweep as large as the previous one finds its blocks (result list, kept
// values) mapped: few page faults, where fresh memory takes one per page.
void recycled_sweeps_do_not_fault(std::mt19937_64& rng) {
    const std::size_t waves = 300000;
    auto faults = [] {
        rusage usage;
        getrusage(RUSAGE_SELF, &usage);
        return usage.ru_minflt;
    };
    long first = 0, second = 0;
    for (long* count : {&first, &second}) {
        const Data data = random_stack(rng, 8, waves, Order::row_major);
        const long before = faults();
        const TransferList transfers = transfer_calc(data);
        *count = faults() - before;
        check(transfers.size() == waves, "large sweep size");
    }
    // Fresh, the blocks would take 9,000 faults at 4 KiB a page (the list alone).
    std::printf("page faults of a sweep of %zu wavelengths: %ld fresh, %ld recycled\n", waves, first, second);
    check(second < 1000, "page faults of a recycled sweep: " + std::to_string(second) + " (first " +
                             std::to_string(first) + ")");
}

std::string failure_of(Data data) {
    try {
        data.get_t_power_vec();
    } catch (const Failure& failure) {
        return failure.what();
    }
    return "no failure";
}

void short_shapes_fail(std::mt19937_64& rng) {
    for (std::size_t waves : {5u, 150u}) {
        auto narrow = random_stack(rng, 4, waves, Order::row_major);
        Data too_few_columns(narrow.d(), Array2<Complex>(4, waves - 1, Order::row_major,
                                                         std::vector<Complex>(4 * (waves - 1), {1, 0})),
                             narrow.wl(), 0.1, 0.2);
        check(failure_of(too_few_columns) == index_out_of_bounds, "too few columns");
        Data short_d(Array1<double>(std::vector<double>{1.0}), narrow.n(), narrow.wl(), 0.1, 0.2);
        check(failure_of(short_d) == index_out_of_bounds, "short d");
        Data one_medium(narrow.d(), Array2<Complex>(1, waves, Order::row_major, std::vector<Complex>(waves, {1, 0})),
                        narrow.wl(), 0.1, 0.2);
        check(failure_of(one_medium) == index_out_of_bounds, "one medium");
    }
    // The pool stays usable after a failure.
    Data good = random_stack(rng, 5, 300, Order::row_major);
    check(good.get_r_power_vec().size() == 300, "pool after failure");
}

void cache_fills_once(std::mt19937_64& rng) {
    Data data = random_stack(rng, 3, 4, Order::row_major);
    std::string message;
    try {
        data.transfers([](Data& inner) {
            inner.transfers();  // a fill from inside the fill
            return transfer_calc(inner);
        });
    } catch (const Failure& failure) {
        message = failure.what();
    }
    check(message == reentrant_init, "reentrant init");
    check(data.has_transfers(), "the first fill stays");
}

// Wavelengths whose regular product fails on finite inputs, among ordinary ones
// in the same lanes and in the scalar tail: a layer exactly at its critical
// angle, and an absorbing layer far past the double range. Every result is
// finite, and the exponents agree between the batched and one-index forms.
void exceptional_wavelengths() {
    const std::size_t waves = 11;
    const double theta = std::asin(1.0 / 1.5);
    std::vector<Complex> indices;
    for (std::size_t medium = 0; medium < 4; ++medium)
        for (std::size_t i = 0; i < waves; ++i) {
            const Complex layer = i % 3 == 0 ? Complex{1.0, 0.0} : i % 3 == 1 ? Complex{1.5, 0.1} : Complex{1.3, 0.0};
            indices.push_back(medium == 0 ? Complex{1.5, 0.0} : medium == 3 ? Complex{1.5, 0.0}
                              : medium == 1 ? layer : Complex{2.0, 0.0});
        }
    Data data(Array1<double>(std::vector<double>{3e5, 100.0}), Array2<Complex>(4, waves, Order::row_major, indices),
              Array1<double>(std::vector<double>(waves, 500.0)), theta, 0.3);
    for (const Kernel* kernel : runnable_kernels()) {
        for (std::size_t budget : budgets(data, *kernel)) {
            const TransferList transfers = transfer_calc(data, *kernel, budget);
            const std::string where = std::string(", ") + kernel->name + ", budget " + std::to_string(budget);
            for (std::size_t i = 0; i < waves; ++i) {
                check(same_s(transfers[i], data, i) && same_p(transfers[i], data, i),
                      "exceptional wavelength " + std::to_string(i) + ", batched" + where);
                const std::int32_t s_exponent = transfers[i].s_exponent, p_exponent = transfers[i].p_exponent;
                if (i % 3 == 1) check(s_exponent > 500 && p_exponent > 500, "exponent where the product overflows");
                if (i % 3 == 2) check(s_exponent == 0 && p_exponent == 0, "no exponent on an ordinary wavelength");
            }
        }
    }
    const auto r = data.get_r_power_vec();
    const auto t = data.get_t_power_vec();
    for (std::size_t i = 0; i < waves; ++i)
        check(r[i] >= 0.0 && r[i] <= 1.0 && t[i] >= 0.0 && r[i] + t[i] <= 1.0 + 1e-12,
              "finite spectra at exceptional wavelength " + std::to_string(i));
}


#if defined(__x86_64__)
// XINUSE (XGETBV with ECX = 1): bit 2 for the upper halves of ymm0-15, bit 6
// for the upper halves of zmm0-15.
std::uint64_t upper_state_in_use() {
    std::uint32_t low, high;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(1));
    return ((std::uint64_t{high} << 32) | low) & 0x44;
}
#endif

// The lane-wide functions leave the upper register halves clean, as the
// compiler assumes of a call: legacy SSE code run while they are dirty (this
// baseline code, the C library's scalar calls) is many times slower. Every
// count, so that whole and partial lane groups both end a call.
void lane_math_leaves_upper_state_clean() {
#if defined(__x86_64__)
    unsigned eax, ebx, ecx, edx;
    if (!__get_cpuid_count(0xd, 1, &eax, &ebx, &ecx, &edx) || (eax & 4) == 0) return;
    const Kernel* wide = nullptr;
    for (const Kernel* kernel : runnable_kernels())
        if (kernel->exp_array != nullptr) wide = kernel;
    if (wide == nullptr) return;
    __asm__ volatile("vzeroupper");
    if (upper_state_in_use() != 0) return;  // a CPU that does not track it
    std::vector<double> x(20, 0.75), y(20, 0.5), first(20), second(20);
    x[3] = 1e9;  // a lane of the library's own sincos call
    for (const Kernel* kernel : runnable_kernels()) {
        if (kernel->exp_array == nullptr) continue;
        const std::string name = kernel->name;
        for (std::size_t count = 1; count <= 2 * kernel->lanes + 1; ++count) {
            const std::string of = " of " + std::to_string(count) + " leaves the upper halves clean";
            kernel->exp_array(x.data(), first.data(), count, lane_math(*kernel).exp_variant);
            check(upper_state_in_use() == 0, name + " exp" + of);
            kernel->hypot_array(x.data(), y.data(), first.data(), count);
            check(upper_state_in_use() == 0, name + " hypot" + of);
            for (const ExpVariant variant : {ExpVariant::fused, ExpVariant::unfused}) {
                if (variant == ExpVariant::fused && kernel->lanes == 4 && !__builtin_cpu_supports("fma")) continue;
                kernel->sincos_array(x.data(), first.data(), second.data(), count, variant);
                check(upper_state_in_use() == 0, name + " sincos" + of);
            }
        }
    }
#endif
}

}  // namespace

int main() {
    std::mt19937_64 rng(20261207);
    batched_equals_one_index(rng);
    pooled_equals_serial(rng);
    short_shapes_fail(rng);
    every_kernel_fails_short_shapes(rng);
    passes_without_sincos(rng);
    cache_fills_once(rng);
    exceptional_wavelengths();
    recycler_keeps_one_block();
    recycler_maps_large_blocks();
    reuse_budget_grows_with_the_sweep();
    recycled_sweeps_do_not_fault(rng);
    // Half a million arguments per distribution, function and copy here; the
    // long-run stage draws 10^8 per function and copy (exact_math_check).
    lane_math_leaves_upper_state_clean();
    check(drivers::compare_exact_math(500000, 7) == 0, "lane-wide exp, hypot and sincos against the C library");
    check(drivers::compare_atan2(500000, 7) == 0, "lane-wide atan2 against the C library");
    std::printf("kernels:");
    for (const Kernel* kernel : runnable_kernels()) std::printf(" %s", kernel->name);
    std::printf(" (sweeps use %s)\n", kernel().name);
    std::printf("%d passed, %d failed\n", passes, failures);
    return failures == 0 ? 0 : 1;
}

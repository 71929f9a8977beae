// Which copy of the kernel runs, and whether it may pair sin and cos.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numbers>

#include "strata/failure.hpp"
#include "strata/kernel.hpp"

namespace strata {

extern const Kernel kernel_baseline;
#ifdef STRATA_X86_VARIANTS
extern const Kernel kernel_avx2;
extern const Kernel kernel_avx512;
#endif

std::vector<const Kernel*> runnable_kernels() {
    std::vector<const Kernel*> kernels{&kernel_baseline};
#ifdef STRATA_X86_VARIANTS
    __builtin_cpu_init();
    // Both checks include the operating system's support for the registers.
    if (__builtin_cpu_supports("avx2")) kernels.push_back(&kernel_avx2);
    if (__builtin_cpu_supports("avx512f")) kernels.push_back(&kernel_avx512);
#endif
    return kernels;
}

namespace {

const Kernel& choose_kernel() {
    const std::vector<const Kernel*> kernels = runnable_kernels();
    // Tests run each copy through the whole module; only a runnable one can be named.
    if (const char* wanted = std::getenv("LAMINA_KERNEL")) {
        for (const Kernel* candidate : kernels)
            if (std::strcmp(candidate->name, wanted) == 0) return *candidate;
        std::fprintf(stderr, "lamina: LAMINA_KERNEL=%s is not a kernel this CPU runs; using %s\n", wanted,
                     kernels.back()->name);
    }
    // The widest: on AMD's Zen 4, which splits 512-bit operations in two, the
    // AVX-512 copy still measured 4-7 % faster than the AVX2 one.
    return *kernels.back();
}

bool same_bits(double a, double b) {
    std::uint64_t x, y;
    std::memcpy(&x, &a, sizeof x);
    std::memcpy(&y, &b, sizeof y);
    return x == y || (std::isnan(a) && std::isnan(b));
}

bool sincos_agrees(double x) {
    double paired_sin, paired_cos;
    ::sincos(x, &paired_sin, &paired_cos);
    return same_bits(paired_sin, std::sin(x)) && same_bits(paired_cos, std::cos(x));
}

// The kernel pairs sin and cos of half an atan2 result, in [-pi/2, pi/2], and
// of a layer's phase, any finite value (the non-finite ones take another road).
bool check_sincos() {
    std::uint64_t state = 0x9e3779b97f4a7c15u;
    auto next = [&state] {  // splitmix64
        std::uint64_t z = (state += 0x9e3779b97f4a7c15u);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
        return z ^ (z >> 31);
    };
    auto unit = [&next] { return static_cast<double>(next() >> 11) * 0x1p-53; };
    constexpr double half_pi = std::numbers::pi / 2;
    for (int k = 0; k < 2048; ++k) {
        const double pattern_bits = [&] {
            std::uint64_t bits = next() & 0x7fefffffffffffffu;  // finite, either sign below
            double value;
            std::memcpy(&value, &bits, sizeof value);
            return value;
        }();
        const double sign = (k & 1) ? -1.0 : 1.0;
        const double candidates[] = {
            (2 * unit() - 1) * half_pi,
            sign * unit() * 1e4,
            sign * std::ldexp(unit(), static_cast<int>(next() % 80) - 40),
            sign * pattern_bits,
            (k - 1024) * (std::numbers::pi / 4),
        };
        for (double x : candidates)
            if (!sincos_agrees(x)) return false;
    }
    for (double x : {0.0, -0.0, half_pi, -half_pi, 5e-324, 1e22, 0x1p1023, double{NAN}})
        if (!sincos_agrees(x)) return false;
    return true;
}

}  // namespace

void fail_index_out_of_bounds() { fail(index_out_of_bounds); }

std::size_t reuse_doubles_per_group(std::size_t media, std::size_t lanes) {
    return media < 2 ? 0 : 2 * (3 * media - 4) * lanes;
}

StackArrays stack_arrays(const Array1<double>& d, const Array2<Complex>& n, const Array1<double>& wl) {
    return {d.data(), d.size(), n.data(), n.rows(), n.cols(), n.row_stride(), n.col_stride(), wl.data(), wl.size()};
}

const Kernel& kernel() {
    static const Kernel& chosen = choose_kernel();
    return chosen;
}

bool sincos_matches_sin_and_cos() {
    static const bool matches = check_sincos();
    return matches;
}

}  // namespace strata

// Which copy of the kernel runs, whether it may pair sin and cos, and
// whether its lane-wide exp, hypot, sincos and atan2 stand in for the library's.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <random>
#include <string>
#include <utility>

#if defined(__GLIBC__)
#include <gnu/libc-version.h>
#if __has_include(<sys/platform/x86.h>)
#include <sys/platform/x86.h>
#endif
#endif

#include "strata/failure.hpp"
#include "strata/kernel.hpp"
#include "strata/once.hpp"

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

const Kernel* chosen_kernel() { return &choose_kernel(); }

bool same_bits(double a, double b) {
    std::uint64_t x, y;
    std::memcpy(&x, &a, sizeof x);
    std::memcpy(&y, &b, sizeof y);
    return x == y || (std::isnan(a) && std::isnan(b));
}

bool pairing_agrees(double x) {
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
            if (!pairing_agrees(x)) return false;
    }
    for (double x : {0.0, -0.0, half_pi, -half_pi, 5e-324, 1e22, 0x1p1023, double{NAN}})
        if (!pairing_agrees(x)) return false;
    return true;
}

// --- Lane-wide exp, hypot and sincos ----------------------------------------

double from_bits(std::uint64_t bits) {
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}
std::uint64_t to_bits(double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// Arguments that take every road of the library's exp: each of the 128 table
// entries at many exponents, the edges of its ranges (|x| below 2^-54, 512,
// the overflow and subnormal thresholds, 1024), subnormal results, zeros,
// subnormal and huge arguments, infinities and NaNs, random values and bits.
std::vector<double> exp_check_arguments() {
    std::vector<double> x;
    constexpr double ln2_over_n = 0x1.62e42fefa39efp-1 / 128;
    for (int m = -1090; m <= 1030; m += m > -10 && m < 10 ? 1 : 97)
        for (int i = 0; i < 128; ++i)
            for (double f : {-0.49, 0.0, 0.31})
                x.push_back((m * 128.0 + i + f) * ln2_over_n);
    const double edges[] = {0x1p-54, 0x1p-1074, 0x1p-1022, 0x1.fffffffffffffp1023, 511.99999999999994, 512.0, 1024.0,
                            1023.9999999999999, 709.782712893384, 709.7827128933841, 708.3964185322641,
                            745.1332191019411, 745.1332191019412, 744.4400719213812, 0x1.62e42fefa39efp-1};
    for (double edge : edges)
        for (double value : {edge, std::nextafter(edge, 0.0), std::nextafter(edge, INFINITY)})
            for (double sign : {1.0, -1.0}) x.push_back(sign * value);
    for (std::uint64_t bits : {0x0ull, 0x8000000000000000ull, 0x7ff0000000000000ull, 0xfff0000000000000ull,
                               0x7ff8000000000000ull, 0xfff8000000000000ull, 0x7ff0000000000001ull,
                               0xfff4000000000123ull, 0x7ff8dead0000beefull})
        x.push_back(from_bits(bits));
    std::mt19937_64 random(0x5eed);
    std::uniform_real_distribution<double> wide(-760.0, 760.0), subnormal(-745.2, -708.3), unit(-1.0, 1.0);
    // Few random arguments: extreme ones take slow (subnormal) roads in both.
    for (int k = 0; k < 1024; ++k) {
        x.push_back(from_bits(random()));
        x.push_back(wide(random));
        x.push_back(subnormal(random));
        x.push_back(std::ldexp(unit(random), static_cast<int>(random() % 80) - 75));
    }
    return x;
}

// Pairs that take every road of the library's hypot: each ordering, the
// scaling thresholds (2^511, 2^-459) and the ratio 2^54 at which the smaller
// part stops mattering, both branches of the correction, zeros, subnormals,
// infinities and quiet and signalling NaNs in either place, random bits.
std::pair<std::vector<double>, std::vector<double>> hypot_check_arguments() {
    std::vector<double> x, y;
    auto both = [&](double a, double b) {
        for (double sa : {1.0, -1.0})
            for (double sb : {1.0, -1.0}) {
                x.push_back(sa * a);
                y.push_back(sb * b);
                x.push_back(sb * b);
                y.push_back(sa * a);
            }
    };
    std::vector<double> specials;
    for (std::uint64_t bits : {0x0ull, 0x1ull, 0x000fffffffffffffull, 0x0010000000000000ull, 0x7fefffffffffffffull,
                               0x7ff0000000000000ull, 0x7ff8000000000000ull, 0x7ff0000000000001ull,
                               0x7ff4000000000abcull, 0x3ff0000000000000ull})
        specials.push_back(from_bits(bits));
    for (double a : specials)
        for (double b : specials) both(a, b);
    for (double edge : {0x1p511, 0x1p-459})
        for (double a : {edge, std::nextafter(edge, 0.0), std::nextafter(edge, INFINITY)})
            for (double ratio : {0x1p54, 0x1p53, 0x1.8p53, 0x1.0000000000001p54, 3.0, 1.0, 0.7})
                for (double b : {a / ratio, a * ratio, std::nextafter(a / ratio, 0.0), std::nextafter(a / ratio, 1e300)})
                    both(a, b);
    std::mt19937_64 random(0x4e7);
    std::uniform_real_distribution<double> ratio(0.0, 1.5), mantissa(1.0, 2.0);
    for (int k = 0; k < 512; ++k) {
        both(from_bits(random()), from_bits(random()));
        const double a = std::ldexp(mantissa(random), static_cast<int>(random() % 2098) - 1074);
        both(a, a * ratio(random));
        both(a, std::ldexp(mantissa(random), static_cast<int>(random() % 2098) - 1074));
    }
    return {x, y};
}

// Arguments that take every road of the library's sincos: each of the 110
// table entries from below and above its centre, through x itself (below
// 0.855469, sine and cosine), through pi/2 - |x| (below 2.426265) and through
// the reduction in each quadrant, near zero and far out; the edges of the
// ranges (2^-27, 0.126 where the sine's Taylor branch ends, 0.855469,
// 2.426265, 105414350), multiples of pi/2 and their neighbours, zeros,
// subnormals, huge arguments, infinities and NaNs, random values and bits.
std::vector<double> sincos_check_arguments() {
    std::vector<double> x;
    constexpr double half_pi = std::numbers::pi / 2;
    auto both_signs = [&x](double value) {
        x.push_back(value);
        x.push_back(-value);
    };
    for (int k = 0; k < 110; ++k)
        for (double f : {-0.49, -0.2, 0.0, 0.23, 0.49}) {
            const double offset = (k + f) / 128;
            if (offset < 0) continue;
            both_signs(offset);                   // x itself
            both_signs(half_pi - offset);         // pi/2 - |x| = offset
            both_signs(half_pi + offset);         // pi/2 - |x| = -offset
            for (double m : {1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 1001.0, 1002.0, 1003.0, 1004.0, 4.5e7})
                for (double side : {1.0, -1.0}) both_signs(m * half_pi + side * offset);
        }
    for (double edge : {0x1p-27, 0.126, 0x1.b6p-1, 0x1.368fdp1, 0x1.921fbp26, 1e4})
        for (double value : {edge, std::nextafter(edge, 0.0), std::nextafter(edge, INFINITY)}) both_signs(value);
    for (std::uint32_t top : {0x3e400000u, 0x3e500000u, 0x3feb6000u, 0x400368fdu, 0x419921fbu})
        for (std::uint64_t bits : {std::uint64_t{top} << 32, (std::uint64_t{top} << 32) - 1})
            both_signs(from_bits(bits));
    for (int m = -64; m <= 64; ++m) {
        const double multiple = m * half_pi;
        for (double value : {multiple, std::nextafter(multiple, -INFINITY), std::nextafter(multiple, INFINITY)})
            x.push_back(value);
    }
    for (double m : {1e3, 123456.0, 1e6, 33554432.0, 6.7e7})
        for (double value : {m * half_pi, std::nextafter(m * half_pi, 0.0), std::nextafter(m * half_pi, INFINITY)})
            both_signs(value);
    for (std::uint64_t bits : {0x0ull, 0x1ull, 0x000fffffffffffffull, 0x0010000000000000ull, 0x7fefffffffffffffull,
                               0x7ff0000000000000ull, 0x7ff8000000000000ull, 0x7ff0000000000001ull,
                               0x7ff4000000000abcull, 0x7ff8dead0000beefull})
        both_signs(from_bits(bits));
    for (double huge : {1e8, 1e22, 0x1p1023}) both_signs(huge);
    std::mt19937_64 random(0x51c05);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int k = 0; k < 1024; ++k) {
        x.push_back(from_bits(random()));
        both_signs(unit(random) * half_pi);
        both_signs(unit(random) * 1e4);
        both_signs(0x1p-27 + unit(random) * (2.426265 - 0x1p-27));
        both_signs(2.426265 + unit(random) * (105414350.0 - 2.426265));
        both_signs(std::ldexp(unit(random), static_cast<int>(random() % 1100) - 1074));
    }
    return x;
}

// Pairs (y, x) that take every road of the library's atan2: each table row
// in each quadrant (u just above and below every row's centre), both sides of
// 1/16 and of 1, the scalings at 2^-500 and 2^500, exponents 56, 57 and 58
// apart (where the library stops dividing), zeros, subnormals, huge values,
// infinities and NaNs in either place, random bits, and pairs like the
// kernel's: dielectrics (x 1..10, y 1e-6..1) and metals (x -50..-1, y 0.1..10).
std::pair<std::vector<double>, std::vector<double>> atan2_check_arguments() {
    std::vector<double> y, x;
    auto quadrants = [&](double small, double large) {
        for (double sy : {1.0, -1.0})
            for (double sx : {1.0, -1.0}) {
                y.push_back(sy * small);
                x.push_back(sx * large);
                y.push_back(sy * large);
                x.push_back(sx * small);
            }
    };
    for (int i = 16; i <= 256; ++i)
        for (double offset : {-0.49, -0.2, 0.0, 0.3, 0.49})
            for (int scale : {0, -3, 7}) {
                const double u = std::min(1.0, (i + offset) / 256.0);
                quadrants(std::ldexp(u, scale), std::ldexp(1.0, scale));
            }
    for (double u : {0.0625, std::nextafter(0.0625, 0.0), std::nextafter(0.0625, 1.0), 1.0, std::nextafter(1.0, 0.0),
                     0x1p-20, 0x1.8p-40, 0x1.fffffffffffffp-57})
        quadrants(u, 1.0);
    for (double edge : {0x1p-500, 0x1p500})
        for (double a : {edge, std::nextafter(edge, 0.0), std::nextafter(edge, INFINITY)})
            for (double ratio : {1.0, 0.7, 3e-5, 0x1p-55, 1e3})
                quadrants(a * ratio, a);
    for (int exponent : {-1070, -1022, -600, -1, 0, 1, 600, 966, 1023})
        for (int apart : {55, 56, 57, 58, 59})
            for (double mantissa : {1.0, 1.5, 1.9999999999999998})
                quadrants(std::ldexp(mantissa, exponent - apart), std::ldexp(1.75, exponent));
    std::vector<double> specials;
    for (std::uint64_t bits : {0x0ull, 0x1ull, 0x000fffffffffffffull, 0x0010000000000000ull, 0x7fefffffffffffffull,
                               0x7ff0000000000000ull, 0x7ff8000000000000ull, 0x7ff0000000000001ull,
                               0x7ff4000000000abcull, 0x3ff0000000000000ull, 0x3fb0000000000000ull})
        specials.push_back(from_bits(bits));
    for (double a : specials)
        for (double b : specials) quadrants(a, b);
    std::mt19937_64 random(0xa7a2);
    std::uniform_real_distribution<double> dielectric_x(1.0, 10.0), dielectric_y(-6.0, 0.0), metal_x(-50.0, -1.0),
        metal_y(0.1, 10.0), unit(-1.0, 1.0), ratio(0.0, 2.0);
    for (int k = 0; k < 2048; ++k) {
        y.push_back(from_bits(random()));
        x.push_back(from_bits(random()));
        y.push_back(std::pow(10.0, dielectric_y(random)));
        x.push_back(dielectric_x(random));
        y.push_back(metal_y(random));
        x.push_back(metal_x(random));
        const double a = std::ldexp(unit(random), static_cast<int>(random() % 2140) - 1090);
        y.push_back(a * ratio(random));
        x.push_back(k & 1 ? a : -a);
        y.push_back(std::ldexp(unit(random), static_cast<int>(random() % 2140) - 1090));
        x.push_back(std::ldexp(unit(random), static_cast<int>(random() % 2140) - 1090));
    }
    return {y, x};
}

std::pair<int, int> glibc_version() {
#if defined(__GLIBC__)
    int major = 0, minor = 0;
    if (std::sscanf(gnu_get_libc_version(), "%d.%d", &major, &minor) == 2) return {major, minor};
#endif
    return {0, 0};
}

// The exp and sincos variants this C library picked when it loaded, as its
// own selectors decide them: the FMA ones when they find FMA and AVX2 usable.
ExpVariant library_math_variant() {
#if defined(CPU_FEATURE_ACTIVE)
    return CPU_FEATURE_ACTIVE(FMA) && CPU_FEATURE_ACTIVE(AVX2) ? ExpVariant::fused : ExpVariant::unfused;
#elif defined(__x86_64__)
    __builtin_cpu_init();
    return __builtin_cpu_supports("fma") && __builtin_cpu_supports("avx2") ? ExpVariant::fused : ExpVariant::unfused;
#else
    return ExpVariant::unfused;
#endif
}

// Whether the copy's lane-wide function gives the library's bits (NaNs
// included) on every check argument. `nudged` (tests) moves one reference by
// an ulp, as a library differing in one result would.
bool exp_agrees(const Kernel& kernel, ExpVariant variant, bool nudged) {
    const std::vector<double> x = exp_check_arguments();
    std::vector<double> lanes(x.size());
    kernel.exp_array(x.data(), lanes.data(), x.size(), variant);
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double expected = nudged && i == 1000 ? std::nextafter(std::exp(x[i]), 0.0) : std::exp(x[i]);
        if (to_bits(lanes[i]) != to_bits(expected)) return false;
    }
    return true;
}

bool hypot_agrees(const Kernel& kernel, bool nudged) {
    const auto [x, y] = hypot_check_arguments();
    std::vector<double> lanes(x.size());
    kernel.hypot_array(x.data(), y.data(), lanes.data(), x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double expected =
            nudged && i == 1000 ? std::nextafter(std::hypot(x[i], y[i]), 0.0) : std::hypot(x[i], y[i]);
        if (to_bits(lanes[i]) != to_bits(expected)) return false;
    }
    return true;
}

bool sincos_agrees(const Kernel& kernel, ExpVariant variant) {
    const std::vector<double> x = sincos_check_arguments();
    std::vector<double> sin_lanes(x.size()), cos_lanes(x.size());
    kernel.sincos_array(x.data(), sin_lanes.data(), cos_lanes.data(), x.size(), variant);
    for (std::size_t i = 0; i < x.size(); ++i) {
        double sin_x, cos_x;
        ::sincos(x[i], &sin_x, &cos_x);
        if (to_bits(sin_lanes[i]) != to_bits(sin_x) || to_bits(cos_lanes[i]) != to_bits(cos_x)) return false;
    }
    return true;
}

bool atan2_agrees(const Kernel& kernel, ExpVariant variant, bool nudged) {
    if (kernel.atan2_array == nullptr) return false;
    const auto [y, x] = atan2_check_arguments();
    std::vector<double> lanes(x.size());
    kernel.atan2_array(y.data(), x.data(), lanes.data(), x.size(), variant);
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double expected =
            nudged && i == 1000 ? std::nextafter(std::atan2(y[i], x[i]), 0.0) : std::atan2(y[i], x[i]);
        if (!same_bits(lanes[i], expected)) return false;
    }
    return true;
}

using Decisions = std::vector<std::pair<const Kernel*, LaneMath>>;

Decisions decide_lane_math() {
    Decisions decisions;
    const char* setting = std::getenv("LAMINA_VECMATH");
    const std::string road = setting ? setting : "";
    if (road == "scalar") return decisions;
    if (!road.empty() && road != "vector" && road != "mistaken")
        std::fprintf(stderr, "lamina: LAMINA_VECMATH=%s is neither scalar nor vector; checking the vector road\n",
                     setting);
    // "mistaken" (tests): the check assumes the other exp, sincos and atan2
    // variant and a library whose hypot and atan2 differ in one result, so
    // that all must fail.
    const bool mistaken = road == "mistaken";
    const auto [major, minor] = glibc_version();
    // exp is Arm's algorithm since glibc 2.28, hypot this one since 2.35;
    // sincos lost its slow multi-precision roads in 2.28.
    const bool known_exp = major == 2 && minor >= 28;
    const bool known_hypot = major == 2 && minor >= 35;
    const bool known_sincos = major == 2 && minor >= 28;
    // atan2 is this single-stage form since glibc 2.34.
    const bool known_atan2 = major == 2 && minor >= 34;
    ExpVariant variant = library_math_variant();
    if (mistaken) variant = variant == ExpVariant::fused ? ExpVariant::unfused : ExpVariant::fused;
    bool fma_runs = false;
#if defined(__x86_64__)
    __builtin_cpu_init();
    fma_runs = __builtin_cpu_supports("fma");
#endif
    std::string refused;
    for (const Kernel* kernel : runnable_kernels()) {
        if (kernel->exp_array == nullptr || kernel->hypot_array == nullptr || kernel->sincos_array == nullptr)
            continue;
        LaneMath math;
        // The fused variant of the AVX2 copy needs FMA (AVX-512 has its own).
        const bool variant_runs = variant == ExpVariant::unfused || fma_runs || kernel->lanes == 8;
        math.exp = known_exp && variant_runs && exp_agrees(*kernel, variant, false);
        math.exp_variant = variant;
        math.hypot = known_hypot && hypot_agrees(*kernel, mistaken);
        math.sincos = known_sincos && variant_runs && sincos_agrees(*kernel, variant);
        math.sincos_variant = variant;
        math.atan2 = known_atan2 && variant_runs && atan2_agrees(*kernel, variant, mistaken);
        math.atan2_variant = variant;
        for (auto [wanted, name] : {std::pair{math.exp, "exp"}, std::pair{math.hypot, "hypot"},
                                    std::pair{math.sincos, "sincos"}, std::pair{math.atan2, "atan2"}})
            if (!wanted) refused += std::string(refused.empty() ? "" : ", ") + kernel->name + " " + name;
        decisions.emplace_back(kernel, math);
    }
    if (!refused.empty()) {
        const std::string library = major == 0 ? std::string("not glibc")
                                                : "glibc " + std::to_string(major) + "." + std::to_string(minor);
        std::fprintf(stderr,
                     "lamina: lane-wide %s would not give this C library's bits (%s, %s exp and sincos); using its "
                     "scalar calls there\n",
                     refused.c_str(), library.c_str(), variant == ExpVariant::fused ? "FMA" : "non-FMA");
    }
    return decisions;
}

}  // namespace

const LaneMath& lane_math(const Kernel& kernel) {
    static constexpr LaneMath none{};
    for (const auto& [decided, math] : made_once<Decisions, decide_lane_math>())
        if (decided == &kernel) return math;
    return none;
}

void fail_index_out_of_bounds() { fail(index_out_of_bounds); }

std::size_t reuse_doubles_per_group(std::size_t media, std::size_t lanes) {
    return media < 2 ? 0 : 2 * (3 * media - 4) * lanes;
}

StackArrays stack_arrays(const Array1<double>& d, const Array2<Complex>& n, const Array1<double>& wl) {
    return {d.data(), d.size(), n.data(), n.rows(), n.cols(), n.row_stride(), n.col_stride(), wl.data(), wl.size()};
}

const Kernel& kernel() { return *made_once<const Kernel*, chosen_kernel>(); }

bool sincos_matches_sin_and_cos() { return made_once<bool, check_sincos>(); }

}  // namespace strata

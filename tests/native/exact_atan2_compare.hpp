// The lane-wide atan2 of every kernel copy against the C library's scalar
// call, bit for bit, NaN payloads included, on random pairs (y, x): the
// kernel's (parts of n^2 - xi for dielectrics and metals), ratios near the
// table's rows and near 1, any exponents, random bit patterns.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <random>
#include <utility>
#include <vector>

#include "exact_math_compare.hpp"
#include "strata/kernel.hpp"

namespace drivers {

inline std::vector<Distribution> atan2_distributions() {
    return {
        {"engine squares",
         [](std::mt19937_64& rng, double& y, double& x) {
             std::uniform_real_distribution<double> real(0.05, 4.0), kappa(0.0, 5.0), angle(-1.57, 1.57),
                 outer(1.0, 2.5);
             const double n_re = real(rng), n_im = kappa(rng);
             const double s = outer(rng) * std::sin(angle(rng));
             x = (n_re * n_re - n_im * n_im) - s * s;
             y = 2.0 * (n_re * n_im);
         }},
        {"dielectrics (x 1..10, y 1e-6..1)",
         [](std::mt19937_64& rng, double& y, double& x) {
             x = std::uniform_real_distribution<double>(1.0, 10.0)(rng);
             y = std::pow(10.0, std::uniform_real_distribution<double>(-6.0, 0.0)(rng));
         }},
        {"metals (x -50..-1, y 0.1..10)",
         [](std::mt19937_64& rng, double& y, double& x) {
             x = std::uniform_real_distribution<double>(-50.0, -1.0)(rng);
             y = std::uniform_real_distribution<double>(0.1, 10.0)(rng);
         }},
        {"ratios up to 2, any quadrant",
         [](std::mt19937_64& rng, double& y, double& x) {
             x = std::ldexp(std::uniform_real_distribution<double>(-2.0, 2.0)(rng), int(rng() % 2000) - 1000);
             y = x * std::uniform_real_distribution<double>(-2.0, 2.0)(rng);
             if (rng() & 1) std::swap(x, y);
         }},
        {"any exponents",
         [](std::mt19937_64& rng, double& y, double& x) {
             std::uniform_real_distribution<double> mantissa(-2.0, 2.0);
             x = std::ldexp(mantissa(rng), int(rng() % 2100) - 1075);
             y = std::ldexp(mantissa(rng), int(rng() % 2100) - 1075);
         }},
        {"random bits",
         [](std::mt19937_64& rng, double& y, double& x) {
             y = random_bits(rng);
             x = random_bits(rng);
         }},
    };
}

// Compares `count` pairs of each distribution for every copy with a
// lane-wide atan2; returns the mismatches, printing the first few.
inline std::size_t compare_atan2(std::size_t count, std::uint64_t seed) {
    using namespace strata;
    std::size_t mismatches = 0;
    constexpr std::size_t chunk = std::size_t{1} << 16;
    std::vector<double> y(chunk), x(chunk), lanes(chunk);
    for (const Kernel* kernel : runnable_kernels()) {
        if (kernel->atan2_array == nullptr) continue;
        const LaneMath& math = lane_math(*kernel);
        // Compared even where the load-time check refused it: on the
        // machines this runs on, a refusal is itself a fault.
        if (!math.atan2) std::printf("%s atan2: refused by the load-time check\n", kernel->name);
        const bool fused = math.atan2_variant == ExpVariant::fused;
        __builtin_cpu_init();
        if (fused && kernel->lanes == 4 && !__builtin_cpu_supports("fma")) {
            std::printf("%s atan2: the fused variant needs FMA, which this CPU lacks\n", kernel->name);
            continue;
        }
        for (const Distribution& distribution : atan2_distributions()) {
            std::mt19937_64 rng(seed);
            std::size_t wrong = 0;
            for (std::size_t done = 0; done < count; done += chunk) {
                const std::size_t n = std::min(chunk, count - done);
                for (std::size_t i = 0; i < n; ++i) distribution.draw(rng, y[i], x[i]);
                kernel->atan2_array(y.data(), x.data(), lanes.data(), n, math.atan2_variant);
                for (std::size_t i = 0; i < n; ++i) {
                    const double expected = std::atan2(y[i], x[i]);
                    if (std::bit_cast<std::uint64_t>(expected) == std::bit_cast<std::uint64_t>(lanes[i])) continue;
                    if (++wrong <= 3)
                        std::fprintf(stderr, "MISMATCH %s atan2(%a, %a): library %a, lanes %a\n", kernel->name, y[i],
                                     x[i], expected, lanes[i]);
                }
            }
            std::printf("%s atan2 (%s variant), %s: %zu of %zu differ\n", kernel->name, fused ? "FMA" : "non-FMA",
                        distribution.name, wrong, count);
            mismatches += wrong;
        }
    }
    return mismatches;
}

}  // namespace drivers

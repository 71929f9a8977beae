// The lane-wide exp and hypot of every kernel copy against the C library's
// scalar calls, bit for bit, NaN payloads included, on random arguments:
// values the engine passes them, uniform ranges and random bit patterns.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "strata/kernel.hpp"

namespace drivers {

struct Distribution {
    const char* name;
    std::function<void(std::mt19937_64&, double&, double&)> draw;  // one argument (exp) or pair (hypot)
};

inline double random_bits(std::mt19937_64& rng) { return std::bit_cast<double>(rng()); }

// exp's arguments in the kernel are +-Im(k) d: up to a few hundred for thick
// absorbing layers, and exactly zero for lossless ones.
inline std::vector<Distribution> exp_distributions() {
    return {
        {"engine phases",
         [](std::mt19937_64& rng, double& x, double&) {
             std::uniform_real_distribution<double> wave(200.0, 2000.0), kappa(0.0, 3.0), thick(0.0, 3000.0);
             const double k = 6.283185307179586 / wave(rng) * (rng() % 4 == 0 ? 0.0 : kappa(rng));
             x = (rng() & 1 ? -k : k) * thick(rng);
         }},
        {"uniform [-760, 760]", [](std::mt19937_64& rng, double& x,
                                   double&) { x = std::uniform_real_distribution<double>(-760.0, 760.0)(rng); }},
        {"subnormal results", [](std::mt19937_64& rng, double& x,
                                 double&) { x = std::uniform_real_distribution<double>(-745.2, -708.3)(rng); }},
        {"all binades", [](std::mt19937_64& rng, double& x, double&) {
             x = std::ldexp(std::uniform_real_distribution<double>(-1.0, 1.0)(rng), int(rng() % 90) - 80);
         }},
        {"random bits", [](std::mt19937_64& rng, double& x, double&) { x = random_bits(rng); }},
    };
}

// hypot's arguments in the kernel are the parts of n^2 - (n_0 sin theta)^2.
inline std::vector<Distribution> hypot_distributions() {
    return {
        {"engine squares",
         [](std::mt19937_64& rng, double& x, double& y) {
             std::uniform_real_distribution<double> real(0.05, 4.0), kappa(0.0, 5.0), angle(-1.57, 1.57),
                 outer(1.0, 2.5);
             const double n_re = real(rng), n_im = rng() % 4 == 0 ? 0.0 : kappa(rng);
             const double s = outer(rng) * std::sin(angle(rng));
             x = (n_re * n_re - n_im * n_im) - s * s;
             y = 2.0 * (n_re * n_im);
         }},
        {"ratios near 1", [](std::mt19937_64& rng, double& x, double& y) {
             x = std::ldexp(std::uniform_real_distribution<double>(-2.0, 2.0)(rng), int(rng() % 2000) - 1000);
             y = x * std::uniform_real_distribution<double>(-3.0, 3.0)(rng);
         }},
        {"any exponents", [](std::mt19937_64& rng, double& x, double& y) {
             std::uniform_real_distribution<double> mantissa(-2.0, 2.0);
             x = std::ldexp(mantissa(rng), int(rng() % 2100) - 1075);
             y = std::ldexp(mantissa(rng), int(rng() % 2100) - 1075);
         }},
        {"random bits", [](std::mt19937_64& rng, double& x, double& y) {
             x = random_bits(rng);
             y = random_bits(rng);
         }},
    };
}

// Compares `count` arguments of each distribution for every copy with
// lane-wide functions; returns the mismatches, printing the first few.
inline std::size_t compare_exact_math(std::size_t count, std::uint64_t seed) {
    using namespace strata;
    std::size_t mismatches = 0;
    constexpr std::size_t chunk = std::size_t{1} << 16;
    std::vector<double> x(chunk), y(chunk), lanes(chunk);
    for (const Kernel* kernel : runnable_kernels()) {
        if (kernel->exp_array == nullptr) continue;
        const LaneMath& math = lane_math(*kernel);
        for (const bool is_exp : {true, false}) {
            // Compared even where the load-time check refused them: on the
            // machines this runs on, a refusal is itself a fault.
            if (!(is_exp ? math.exp : math.hypot))
                std::printf("%s %s: refused by the load-time check\n", kernel->name, is_exp ? "exp" : "hypot");
            __builtin_cpu_init();
            if (is_exp && math.exp_variant == ExpVariant::fused && kernel->lanes == 4 &&
                !__builtin_cpu_supports("fma")) {
                std::printf("%s exp: the fused variant needs FMA, which this CPU lacks\n", kernel->name);
                continue;
            }
            for (const Distribution& distribution : is_exp ? exp_distributions() : hypot_distributions()) {
                std::mt19937_64 rng(seed);
                std::size_t wrong = 0;
                for (std::size_t done = 0; done < count; done += chunk) {
                    const std::size_t n = std::min(chunk, count - done);
                    for (std::size_t i = 0; i < n; ++i) distribution.draw(rng, x[i], y[i]);
                    if (is_exp)
                        kernel->exp_array(x.data(), lanes.data(), n, math.exp_variant);
                    else
                        kernel->hypot_array(x.data(), y.data(), lanes.data(), n);
                    for (std::size_t i = 0; i < n; ++i) {
                        const double expected = is_exp ? std::exp(x[i]) : std::hypot(x[i], y[i]);
                        if (std::bit_cast<std::uint64_t>(expected) == std::bit_cast<std::uint64_t>(lanes[i]))
                            continue;
                        if (++wrong <= 3)
                            std::fprintf(stderr, "MISMATCH %s %s(%a, %a): library %a, lanes %a\n", kernel->name,
                                         is_exp ? "exp" : "hypot", x[i], y[i], expected, lanes[i]);
                    }
                }
                std::printf("%s %s%s, %s: %zu of %zu differ\n", kernel->name, is_exp ? "exp" : "hypot",
                            !is_exp ? "" : math.exp_variant == ExpVariant::fused ? " (FMA variant)" : " (non-FMA variant)",
                            distribution.name, wrong, count);
                mismatches += wrong;
            }
        }
    }
    return mismatches;
}

}  // namespace drivers

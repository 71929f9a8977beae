// The lane-wide exp, hypot and sincos of every kernel copy against the C
// library's scalar calls, bit for bit, NaN payloads included, on random
// arguments: values the engine passes them, uniform ranges and random bit
// patterns.
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
    std::function<void(std::mt19937_64&, double&, double&)> draw;  // one argument (exp, sincos) or pair (hypot)
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

// sincos's arguments in the kernel are layer phases Re(k) d, up to about 10^4
// radians, and half angles in [-pi/2, pi/2]; the rest covers each of the
// library's ranges (|x| below 2^-27, 0.855469, 2.426265, 105414350, beyond)
// uniformly, the neighbourhoods of multiples of pi/2 where the reduction
// cancels, every binade and random bits.
inline std::vector<Distribution> sincos_distributions() {
    auto uniform = [](double low, double high) {
        return [=](std::mt19937_64& rng, double& x, double&) {
            const double magnitude = std::uniform_real_distribution<double>(low, high)(rng);
            x = rng() & 1 ? -magnitude : magnitude;
        };
    };
    return {
        {"engine phases",
         [](std::mt19937_64& rng, double& x, double&) {
             std::uniform_real_distribution<double> wave(200.0, 2000.0), real(1.0, 4.0), thick(0.0, 3000.0);
             x = 6.283185307179586 / wave(rng) * real(rng) * thick(rng);
         }},
        {"half angles", uniform(0.0, 1.5707963267948966)},
        {"below 2^-27", uniform(0.0, 0x1p-27)},
        {"up to 0.855469", uniform(0x1p-27, 0.855469)},
        {"up to 2.426265", uniform(0.855469, 2.426265)},
        {"up to 10^4", uniform(2.426265, 1e4)},
        {"up to 105414350", uniform(1e4, 105414350.0)},
        {"near multiples of pi/2",
         [](std::mt19937_64& rng, double& x, double&) {
             const double k = static_cast<double>(rng() % 20000000) - 10000000.0;
             x = k * 1.5707963267948966 + std::ldexp(std::uniform_real_distribution<double>(-1.0, 1.0)(rng),
                                                     -static_cast<int>(rng() % 60));
         }},
        {"all binades",
         [](std::mt19937_64& rng, double& x, double&) {
             x = std::ldexp(std::uniform_real_distribution<double>(-1.0, 1.0)(rng), int(rng() % 1110) - 1075);
         }},
        {"random bits", [](std::mt19937_64& rng, double& x, double&) { x = random_bits(rng); }},
    };
}

// Compares `count` arguments of each distribution for every copy with
// lane-wide functions; returns the mismatches, printing the first few.
inline std::size_t compare_exact_math(std::size_t count, std::uint64_t seed) {
    using namespace strata;
    enum class Function { exp, hypot, sincos };
    std::size_t mismatches = 0;
    constexpr std::size_t chunk = std::size_t{1} << 16;
    std::vector<double> x(chunk), y(chunk), lanes(chunk), lanes_cos(chunk);
    for (const Kernel* kernel : runnable_kernels()) {
        if (kernel->exp_array == nullptr) continue;
        const LaneMath& math = lane_math(*kernel);
        for (const Function function : {Function::exp, Function::hypot, Function::sincos}) {
            const char* name = function == Function::exp ? "exp" : function == Function::hypot ? "hypot" : "sincos";
            const bool decided = function == Function::exp     ? math.exp
                                 : function == Function::hypot ? math.hypot
                                                               : math.sincos;
            // Compared even where the load-time check refused them: on the
            // machines this runs on, a refusal is itself a fault.
            if (!decided) std::printf("%s %s: refused by the load-time check\n", kernel->name, name);
            // A refused function's variant is the library's all the same.
            const ExpVariant variant = function == Function::sincos ? math.sincos_variant : math.exp_variant;
            __builtin_cpu_init();
            if (function != Function::hypot && variant == ExpVariant::fused && kernel->lanes == 4 &&
                !__builtin_cpu_supports("fma")) {
                std::printf("%s %s: the fused variant needs FMA, which this CPU lacks\n", kernel->name, name);
                continue;
            }
            const auto distributions = function == Function::exp     ? exp_distributions()
                                       : function == Function::hypot ? hypot_distributions()
                                                                     : sincos_distributions();
            for (const Distribution& distribution : distributions) {
                std::mt19937_64 rng(seed);
                std::size_t wrong = 0;
                for (std::size_t done = 0; done < count; done += chunk) {
                    const std::size_t n = std::min(chunk, count - done);
                    for (std::size_t i = 0; i < n; ++i) distribution.draw(rng, x[i], y[i]);
                    if (function == Function::exp)
                        kernel->exp_array(x.data(), lanes.data(), n, variant);
                    else if (function == Function::hypot)
                        kernel->hypot_array(x.data(), y.data(), lanes.data(), n);
                    else
                        kernel->sincos_array(x.data(), lanes.data(), lanes_cos.data(), n, variant);
                    for (std::size_t i = 0; i < n; ++i) {
                        double expected = 0.0, expected_cos = 0.0;
                        if (function == Function::exp)
                            expected = std::exp(x[i]);
                        else if (function == Function::hypot)
                            expected = std::hypot(x[i], y[i]);
                        else
                            ::sincos(x[i], &expected, &expected_cos);
                        const auto same = [](double a, double b) {
                            return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
                        };
                        const bool cos_same = function != Function::sincos || same(expected_cos, lanes_cos[i]);
                        if (same(expected, lanes[i]) && cos_same) continue;
                        if (++wrong > 3) continue;
                        if (function == Function::sincos)
                            std::fprintf(stderr, "MISMATCH %s sincos(%a): library %a %a, lanes %a %a\n", kernel->name,
                                         x[i], expected, expected_cos, lanes[i], lanes_cos[i]);
                        else
                            std::fprintf(stderr, "MISMATCH %s %s(%a, %a): library %a, lanes %a\n", kernel->name, name,
                                         x[i], y[i], expected, lanes[i]);
                    }
                }
                std::printf("%s %s%s, %s: %zu of %zu differ\n", kernel->name, name,
                            function == Function::hypot       ? ""
                            : variant == ExpVariant::fused ? " (FMA variant)"
                                                           : " (non-FMA variant)",
                            distribution.name, wrong, count);
                mismatches += wrong;
            }
        }
    }
    return mismatches;
}

}  // namespace drivers

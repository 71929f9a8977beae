// Helpers the native pool drivers share: bit-for-bit comparison (NaNs of any
// payload count as equal) and a random absorbing stack to sweep.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "strata/data.hpp"

namespace drivers {

inline bool same_bits(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b) || (std::isnan(a) && std::isnan(b));
}

inline bool same_bits(const strata::Matrix2& a, const strata::Matrix2& b) {
    const strata::Complex x[] = {a.m00, a.m10, a.m01, a.m11};
    const strata::Complex y[] = {b.m00, b.m10, b.m01, b.m11};
    for (int k = 0; k < 4; ++k)
        if (!same_bits(x[k].re, y[k].re) || !same_bits(x[k].im, y[k].im)) return false;
    return true;
}

inline strata::Data random_stack(std::mt19937_64& rng, std::size_t media, std::size_t waves, double theta,
                                 double phi) {
    using namespace strata;
    std::uniform_real_distribution<double> real(1.0, 3.0), kappa(0.0, 0.3), thick(0.0, 400.0), wave(300.0, 1200.0);
    std::vector<Complex> indices(media * waves);
    for (auto& index : indices) index = {real(rng), kappa(rng)};
    std::vector<double> d(media - 2), wl(waves);
    for (auto& t : d) t = thick(rng);
    for (auto& w : wl) w = wave(rng);
    return Data(Array1<double>(d), Array2<Complex>(media, waves, Order::row_major, indices), Array1<double>(wl), theta,
                phi);
}

}  // namespace drivers

#pragma once
// Lanes: several wavelengths computed side by side in one vector register.
// Every lane sees exactly the operations a scalar double would, so the bits of
// each result do not depend on which lane, or which batch, computed it.
#include <cstddef>

#include "strata/complex.hpp"

namespace strata {

inline constexpr std::size_t lane_width = 4;
typedef double Lanes __attribute__((vector_size(lane_width * sizeof(double))));

template <class Real>
inline constexpr std::size_t lanes_of = 1;
template <>
inline constexpr std::size_t lanes_of<Lanes> = lane_width;

inline double get_lane(double x, std::size_t) { return x; }
inline double get_lane(const Lanes& x, std::size_t lane) { return x[lane]; }
inline void set_lane(double& x, std::size_t, double value) { x = value; }
inline void set_lane(Lanes& x, std::size_t lane, double value) { x[lane] = value; }

// A Real whose lane l holds value_at(l).
template <class Real, class ValueAt>
inline Real gather(ValueAt value_at) {
    Real result{};
    for (std::size_t lane = 0; lane < lanes_of<Real>; ++lane) set_lane(result, lane, value_at(lane));
    return result;
}

// Applies a scalar complex function lane by lane: the C library is scalar.
template <class Real, class Function>
[[gnu::always_inline]] inline BasicComplex<Real> each_lane(BasicComplex<Real> z, Function function) {
    BasicComplex<Real> result{};
    for (std::size_t lane = 0; lane < lanes_of<Real>; ++lane) {
        const Complex value = function(Complex{get_lane(z.re, lane), get_lane(z.im, lane)});
        set_lane(result.re, lane, value.re);
        set_lane(result.im, lane, value.im);
    }
    return result;
}

// The complex numbers value_at(first), value_at(first + 1), ... side by side.
template <class Real, class ValueAt>
[[gnu::always_inline]] inline BasicComplex<Real> gather_complex(std::size_t first, ValueAt value_at) {
    return {gather<Real>([&](std::size_t lane) { return value_at(first + lane).re; }),
            gather<Real>([&](std::size_t lane) { return value_at(first + lane).im; })};
}

}  // namespace strata

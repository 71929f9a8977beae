#pragma once
// Lanes: several wavelengths computed side by side in one vector register.
// Every lane sees exactly the operations a scalar double would, so the bits of
// each result do not depend on which lane, or which batch, computed it.
#include <cstddef>
#include <utility>

#include "strata/complex.hpp"

// Each copy of the kernel picks the width that fills its registers.
#ifndef STRATA_LANE_WIDTH
#define STRATA_LANE_WIDTH 4
#endif

namespace strata {
inline namespace STRATA_ISA {

inline constexpr std::size_t lane_width = STRATA_LANE_WIDTH;
typedef double Lanes __attribute__((vector_size(lane_width * sizeof(double))));

template <class Real>
inline constexpr std::size_t lanes_of = 1;
template <>
inline constexpr std::size_t lanes_of<Lanes> = lane_width;

inline double get_lane(double x, std::size_t) { return x; }
inline double get_lane(const Lanes& x, std::size_t lane) { return x[lane]; }

// A Real whose lane l holds values[l], built in registers rather than through
// single-lane stores into memory that a vector load then reads back.
template <std::size_t... Lane>
[[gnu::always_inline]] inline Lanes lanes_from(const double* values, std::index_sequence<Lane...>) {
    return Lanes{values[Lane]...};
}
template <class Real>
[[gnu::always_inline]] inline Real from_values(const double* values) {
    if constexpr (lanes_of<Real> == 1)
        return values[0];
    else
        return lanes_from(values, std::make_index_sequence<lane_width>{});
}

// A Real whose lane l holds value_at(l).
template <class Real, class ValueAt>
[[gnu::always_inline]] inline Real gather(ValueAt value_at) {
    double values[lanes_of<Real>];
    for (std::size_t lane = 0; lane < lanes_of<Real>; ++lane) values[lane] = value_at(lane);
    return from_values<Real>(values);
}

// Applies a scalar complex function lane by lane: the C library is scalar.
template <class Real, class Function>
[[gnu::always_inline]] inline BasicComplex<Real> each_lane(BasicComplex<Real> z, Function function) {
    double re[lanes_of<Real>], im[lanes_of<Real>];
    for (std::size_t lane = 0; lane < lanes_of<Real>; ++lane) {
        const Complex value = function(Complex{get_lane(z.re, lane), get_lane(z.im, lane)});
        re[lane] = value.re;
        im[lane] = value.im;
    }
    return {from_values<Real>(re), from_values<Real>(im)};
}

// The complex numbers value_at(first), value_at(first + 1), ... side by side.
template <class Real, class ValueAt>
[[gnu::always_inline]] inline BasicComplex<Real> gather_complex(std::size_t first, ValueAt value_at) {
    double re[lanes_of<Real>], im[lanes_of<Real>];
    for (std::size_t lane = 0; lane < lanes_of<Real>; ++lane) {
        const Complex value = value_at(first + lane);
        re[lane] = value.re;
        im[lane] = value.im;
    }
    return {from_values<Real>(re), from_values<Real>(im)};
}

}  // namespace STRATA_ISA
}  // namespace strata

#pragma once
// exp, hypot and sincos of whole lane vectors, with the bits of this
// process's C library for every argument: the library's own algorithms (exp
// from Arm's optimized-routines, as glibc 2.28 and later carry it; hypot as
// glibc 2.35 and later have it; sincos from IBM's Accurate Mathematical
// Library as glibc 2.36 has it), operation for operation, eight or four lanes
// at a time.
// Only the AVX2 and AVX-512 copies have them (exact_math.cpp); which of the
// library's variants they follow, and whether they are used at all, is
// decided once per process by comparing them with the library (variant.cpp).
#include <cstddef>

#include "strata/kernel.hpp"
#include "strata/lanes.hpp"

namespace strata {
inline namespace STRATA_ISA {

#ifdef STRATA_LANE_MATH
// In their own object: the fused variant is the only code of the module that
// may contain fused multiply-adds (.ci/check_no_fma.sh).
[[gnu::nothrow]] Lanes exp_lanes_fused(Lanes x);
[[gnu::nothrow]] Lanes exp_lanes_unfused(Lanes x);
[[gnu::nothrow]] Lanes hypot_lanes(Lanes x, Lanes y);

struct SinCosLanes {
    Lanes sin;
    Lanes cos;
};
// sin and cos of each lane as the library's sincos gives them (sin returned,
// cos stored); its variants follow the same rule as exp's. The sine comes back
// in a register: GCC takes a call that returns no vector to leave the upper
// register halves clean, which a function with vector arguments does not do,
// and legacy SSE code run in that state is many times slower.
[[gnu::nothrow]] Lanes sincos_lanes_fused(Lanes x, Lanes& cos_x);
[[gnu::nothrow]] Lanes sincos_lanes_unfused(Lanes x, Lanes& cos_x);

[[gnu::always_inline]] inline Lanes exp_lanes(Lanes x, ExpVariant variant) {
    return variant == ExpVariant::fused ? exp_lanes_fused(x) : exp_lanes_unfused(x);
}

[[gnu::always_inline]] inline SinCosLanes sincos_lanes(Lanes x, ExpVariant variant) {
    SinCosLanes result;
    result.sin = variant == ExpVariant::fused ? sincos_lanes_fused(x, result.cos) : sincos_lanes_unfused(x, result.cos);
    return result;
}

// The same over arrays of any length (the checks and the tests use these).
void exp_array(const double* x, double* out, std::size_t count, ExpVariant variant);
void hypot_array(const double* x, const double* y, double* out, std::size_t count);
void sincos_array(const double* x, double* sin_out, double* cos_out, std::size_t count, ExpVariant variant);

// atan2(y, x) as the library's FMA or non-FMA variant computes it
// (exact_atan2.cpp); glibc picks between them as it does for exp.
[[gnu::nothrow]] Lanes atan2_lanes_fused(Lanes y, Lanes x);
[[gnu::nothrow]] Lanes atan2_lanes_unfused(Lanes y, Lanes x);

[[gnu::always_inline]] inline Lanes atan2_lanes(Lanes y, Lanes x, ExpVariant variant) {
    return variant == ExpVariant::fused ? atan2_lanes_fused(y, x) : atan2_lanes_unfused(y, x);
}

void atan2_array(const double* y, const double* x, double* out, std::size_t count, ExpVariant variant);
#endif

}  // namespace STRATA_ISA
}  // namespace strata

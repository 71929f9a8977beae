#pragma once
// Whole-vector building blocks of the lane-wide C-library functions
// (exact_math.cpp, exact_atan2.cpp): broadcasts, bit views, the one fused
// multiply-add, table gathers and lane tests. Included only by code compiled
// for a wide kernel copy; internal to each file that includes it.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "strata/lanes.hpp"

namespace strata {
inline namespace STRATA_ISA {
namespace {

typedef std::uint64_t Bits __attribute__((vector_size(sizeof(Lanes))));

template <class Vector, class Scalar>
[[gnu::always_inline]] inline Vector splat(Scalar value) {
    Vector v;
    for (std::size_t lane = 0; lane < lane_width; ++lane) v[lane] = value;
    return v;
}
[[gnu::always_inline]] inline Lanes all(double value) { return splat<Lanes>(value); }
[[gnu::always_inline]] inline Bits all_bits(std::uint64_t value) { return splat<Bits>(value); }
[[gnu::always_inline]] inline Bits bits_of(Lanes x) { return (Bits)x; }  // the same bits
[[gnu::always_inline]] inline Lanes double_of(Bits x) { return (Lanes)x; }
[[gnu::always_inline]] inline Lanes magnitude(Lanes x) { return double_of(bits_of(x) & 0x7fffffffffffffff); }

// a * b + c, rounded once.
[[gnu::always_inline]] inline Lanes fused(Lanes a, Lanes b, Lanes c) {
#if STRATA_LANE_WIDTH == 8
    return _mm512_fmadd_pd(a, b, c);
#else
    return _mm256_fmadd_pd(a, b, c);
#endif
}

// table[index] lane by lane.
[[gnu::always_inline]] inline Bits gather(const std::uint64_t* table, Bits index) {
#if STRATA_LANE_WIDTH == 8
    return (Bits)_mm512_mask_i64gather_epi64(_mm512_setzero_si512(), 0xff, (__m512i)index, table, 8);
#else
    return (Bits)_mm256_mask_i64gather_epi64(_mm256_setzero_si256(), reinterpret_cast<const long long*>(table),
                                             (__m256i)index, _mm256_set1_epi64x(-1), 8);
#endif
}

// Whether any lane of a comparison's result is set.
template <class Mask>
[[gnu::always_inline]] inline bool any(Mask mask) {
#if STRATA_LANE_WIDTH == 8
    return _mm512_test_epi64_mask((__m512i)mask, (__m512i)mask) != 0;
#else
    return _mm256_movemask_pd((__m256d)mask) != 0;
#endif
}

}  // namespace
}  // namespace STRATA_ISA
}  // namespace strata

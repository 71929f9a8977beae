// exp and hypot of a lane vector with the bits of the C library's scalar
// calls (exact_math.hpp). Compiled once per wide kernel copy (AVX2 with FMA,
// AVX-512), without contraction: the only fused multiply-adds are the
// explicit ones of the fused exp, each where the library's FMA variant has one.
//
// Sources. exp: Szabolcs Nagy's algorithm in Arm's optimized-routines
// (math/exp.c, math/exp_data.c; MIT licence), which glibc carries since 2.28
// as sysdeps/ieee754/dbl-64/e_exp.c and e_exp_data.c (LGPL-2.1+). glibc
// builds that file twice for x86-64: with -mfma -mavx2 (chosen when the CPU
// has both), where GCC contracts it into the nine fused operations written
// out below, and without, where every product and sum rounds on its own. The
// order of the operations is the one of the compiled library (glibc 2.36,
// read from its disassembly): the same as the C source. hypot: glibc's
// sysdeps/ieee754/dbl-64/e_hypot.c since 2.35 (Adhemerval Zanella; LGPL-2.1+)
// in its form without fused operations, the one x86-64 builds; GCC writes its
// doublings 2*v as v + v, which rounds the same.
#include "strata/exact_math.hpp"

#include <immintrin.h>

#include <cstdint>
#include <cstring>

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

// a * b + c, rounded once.
[[gnu::always_inline]] inline Lanes fused(Lanes a, Lanes b, Lanes c) {
#if STRATA_LANE_WIDTH == 8
    return _mm512_fmadd_pd(a, b, c);
#else
    return _mm256_fmadd_pd(a, b, c);
#endif
}

[[gnu::always_inline]] inline Lanes square_root(Lanes x) {
#if STRATA_LANE_WIDTH == 8
    return _mm512_mask_sqrt_pd(x, 0xff, x);
#else
    return _mm256_sqrt_pd(x);
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

// --- exp ---------------------------------------------------------------------
// exp(x) = 2^(k/N) exp(r), x = k ln2/N + r, |r| <= ln2/2N, N = 128; 2^(k/N) =
// 2^(k/N - i/N) H_i (1 + T_i) with i = k mod N, exp(r) - 1 a degree-5 polynomial.
constexpr double inv_ln2_n = 0x1.71547652b82fep0 * 128;  // N / ln2
constexpr double neg_ln2_hi_n = -0x1.62e42fefa0000p-8;   // -ln2 / N, in two parts
constexpr double neg_ln2_lo_n = -0x1.cf79abc9e3b3ap-47;
constexpr double shift = 0x1.8p52;  // rounds z to an integer in the low bits
constexpr double c2 = 0x1.ffffffffffdbdp-2, c3 = 0x1.555555555543cp-3, c4 = 0x1.55555cf172b91p-5,
                 c5 = 0x1.1111167a4d017p-7;

// For i < N: bits of T_i, then bits of H_i less i << 45 (i/N in the exponent
// field). The values of Arm's optimized-routines math/exp_data.c (MIT); the
// same numbers are glibc's __exp_data.tab. The check in variant.cpp reaches
// every entry.
alignas(64) constexpr std::uint64_t exp_table[2 * 128] = {
    0x0000000000000000, 0x3ff0000000000000,
    0x3c9b3b4f1a88bf6e, 0x3feff63da9fb3335,
    0xbc7160139cd8dc5d, 0x3fefec9a3e778061,
    0xbc905e7a108766d1, 0x3fefe315e86e7f85,
    0x3c8cd2523567f613, 0x3fefd9b0d3158574,
    0xbc8bce8023f98efa, 0x3fefd06b29ddf6de,
    0x3c60f74e61e6c861, 0x3fefc74518759bc8,
    0x3c90a3e45b33d399, 0x3fefbe3ecac6f383,
    0x3c979aa65d837b6d, 0x3fefb5586cf9890f,
    0x3c8eb51a92fdeffc, 0x3fefac922b7247f7,
    0x3c3ebe3d702f9cd1, 0x3fefa3ec32d3d1a2,
    0xbc6a033489906e0b, 0x3fef9b66affed31b,
    0xbc9556522a2fbd0e, 0x3fef9301d0125b51,
    0xbc5080ef8c4eea55, 0x3fef8abdc06c31cc,
    0xbc91c923b9d5f416, 0x3fef829aaea92de0,
    0x3c80d3e3e95c55af, 0x3fef7a98c8a58e51,
    0xbc801b15eaa59348, 0x3fef72b83c7d517b,
    0xbc8f1ff055de323d, 0x3fef6af9388c8dea,
    0x3c8b898c3f1353bf, 0x3fef635beb6fcb75,
    0xbc96d99c7611eb26, 0x3fef5be084045cd4,
    0x3c9aecf73e3a2f60, 0x3fef54873168b9aa,
    0xbc8fe782cb86389d, 0x3fef4d5022fcd91d,
    0x3c8a6f4144a6c38d, 0x3fef463b88628cd6,
    0x3c807a05b0e4047d, 0x3fef3f49917ddc96,
    0x3c968efde3a8a894, 0x3fef387a6e756238,
    0x3c875e18f274487d, 0x3fef31ce4fb2a63f,
    0x3c80472b981fe7f2, 0x3fef2b4565e27cdd,
    0xbc96b87b3f71085e, 0x3fef24dfe1f56381,
    0x3c82f7e16d09ab31, 0x3fef1e9df51fdee1,
    0xbc3d219b1a6fbffa, 0x3fef187fd0dad990,
    0x3c8b3782720c0ab4, 0x3fef1285a6e4030b,
    0x3c6e149289cecb8f, 0x3fef0cafa93e2f56,
    0x3c834d754db0abb6, 0x3fef06fe0a31b715,
    0x3c864201e2ac744c, 0x3fef0170fc4cd831,
    0x3c8fdd395dd3f84a, 0x3feefc08b26416ff,
    0xbc86a3803b8e5b04, 0x3feef6c55f929ff1,
    0xbc924aedcc4b5068, 0x3feef1a7373aa9cb,
    0xbc9907f81b512d8e, 0x3feeecae6d05d866,
    0xbc71d1e83e9436d2, 0x3feee7db34e59ff7,
    0xbc991919b3ce1b15, 0x3feee32dc313a8e5,
    0x3c859f48a72a4c6d, 0x3feedea64c123422,
    0xbc9312607a28698a, 0x3feeda4504ac801c,
    0xbc58a78f4817895b, 0x3feed60a21f72e2a,
    0xbc7c2c9b67499a1b, 0x3feed1f5d950a897,
    0x3c4363ed60c2ac11, 0x3feece086061892d,
    0x3c9666093b0664ef, 0x3feeca41ed1d0057,
    0x3c6ecce1daa10379, 0x3feec6a2b5c13cd0,
    0x3c93ff8e3f0f1230, 0x3feec32af0d7d3de,
    0x3c7690cebb7aafb0, 0x3feebfdad5362a27,
    0x3c931dbdeb54e077, 0x3feebcb299fddd0d,
    0xbc8f94340071a38e, 0x3feeb9b2769d2ca7,
    0xbc87deccdc93a349, 0x3feeb6daa2cf6642,
    0xbc78dec6bd0f385f, 0x3feeb42b569d4f82,
    0xbc861246ec7b5cf6, 0x3feeb1a4ca5d920f,
    0x3c93350518fdd78e, 0x3feeaf4736b527da,
    0x3c7b98b72f8a9b05, 0x3feead12d497c7fd,
    0x3c9063e1e21c5409, 0x3feeab07dd485429,
    0x3c34c7855019c6ea, 0x3feea9268a5946b7,
    0x3c9432e62b64c035, 0x3feea76f15ad2148,
    0xbc8ce44a6199769f, 0x3feea5e1b976dc09,
    0xbc8c33c53bef4da8, 0x3feea47eb03a5585,
    0xbc845378892be9ae, 0x3feea34634ccc320,
    0xbc93cedd78565858, 0x3feea23882552225,
    0x3c5710aa807e1964, 0x3feea155d44ca973,
    0xbc93b3efbf5e2228, 0x3feea09e667f3bcd,
    0xbc6a12ad8734b982, 0x3feea012750bdabf,
    0xbc6367efb86da9ee, 0x3fee9fb23c651a2f,
    0xbc80dc3d54e08851, 0x3fee9f7df9519484,
    0xbc781f647e5a3ecf, 0x3fee9f75e8ec5f74,
    0xbc86ee4ac08b7db0, 0x3fee9f9a48a58174,
    0xbc8619321e55e68a, 0x3fee9feb564267c9,
    0x3c909ccb5e09d4d3, 0x3feea0694fde5d3f,
    0xbc7b32dcb94da51d, 0x3feea11473eb0187,
    0x3c94ecfd5467c06b, 0x3feea1ed0130c132,
    0x3c65ebe1abd66c55, 0x3feea2f336cf4e62,
    0xbc88a1c52fb3cf42, 0x3feea427543e1a12,
    0xbc9369b6f13b3734, 0x3feea589994cce13,
    0xbc805e843a19ff1e, 0x3feea71a4623c7ad,
    0xbc94d450d872576e, 0x3feea8d99b4492ed,
    0x3c90ad675b0e8a00, 0x3feeaac7d98a6699,
    0x3c8db72fc1f0eab4, 0x3feeace5422aa0db,
    0xbc65b6609cc5e7ff, 0x3feeaf3216b5448c,
    0x3c7bf68359f35f44, 0x3feeb1ae99157736,
    0xbc93091fa71e3d83, 0x3feeb45b0b91ffc6,
    0xbc5da9b88b6c1e29, 0x3feeb737b0cdc5e5,
    0xbc6c23f97c90b959, 0x3feeba44cbc8520f,
    0xbc92434322f4f9aa, 0x3feebd829fde4e50,
    0xbc85ca6cd7668e4b, 0x3feec0f170ca07ba,
    0x3c71affc2b91ce27, 0x3feec49182a3f090,
    0x3c6dd235e10a73bb, 0x3feec86319e32323,
    0xbc87c50422622263, 0x3feecc667b5de565,
    0x3c8b1c86e3e231d5, 0x3feed09bec4a2d33,
    0xbc91bbd1d3bcbb15, 0x3feed503b23e255d,
    0x3c90cc319cee31d2, 0x3feed99e1330b358,
    0x3c8469846e735ab3, 0x3feede6b5579fdbf,
    0xbc82dfcd978e9db4, 0x3feee36bbfd3f37a,
    0x3c8c1a7792cb3387, 0x3feee89f995ad3ad,
    0xbc907b8f4ad1d9fa, 0x3feeee07298db666,
    0xbc55c3d956dcaeba, 0x3feef3a2b84f15fb,
    0xbc90a40e3da6f640, 0x3feef9728de5593a,
    0xbc68d6f438ad9334, 0x3feeff76f2fb5e47,
    0xbc91eee26b588a35, 0x3fef05b030a1064a,
    0x3c74ffd70a5fddcd, 0x3fef0c1e904bc1d2,
    0xbc91bdfbfa9298ac, 0x3fef12c25bd71e09,
    0x3c736eae30af0cb3, 0x3fef199bdd85529c,
    0x3c8ee3325c9ffd94, 0x3fef20ab5fffd07a,
    0x3c84e08fd10959ac, 0x3fef27f12e57d14b,
    0x3c63cdaf384e1a67, 0x3fef2f6d9406e7b5,
    0x3c676b2c6c921968, 0x3fef3720dcef9069,
    0xbc808a1883ccb5d2, 0x3fef3f0b555dc3fa,
    0xbc8fad5d3ffffa6f, 0x3fef472d4a07897c,
    0xbc900dae3875a949, 0x3fef4f87080d89f2,
    0x3c74a385a63d07a7, 0x3fef5818dcfba487,
    0xbc82919e2040220f, 0x3fef60e316c98398,
    0x3c8e5a50d5c192ac, 0x3fef69e603db3285,
    0x3c843a59ac016b4b, 0x3fef7321f301b460,
    0xbc82d52107b43e1f, 0x3fef7c97337b9b5f,
    0xbc892ab93b470dc9, 0x3fef864614f5a129,
    0x3c74b604603a88d3, 0x3fef902ee78b3ff6,
    0x3c83c5ec519d7271, 0x3fef9a51fbc74c83,
    0xbc8ff7128fd391f0, 0x3fefa4afa2a490da,
    0xbc8dae98e223747d, 0x3fefaf482d8e67f1,
    0x3c8ec3bc41aa2008, 0x3fefba1bee615a27,
    0x3c842b94c3a9eb32, 0x3fefc52b376bba97,
    0x3c8a64a931d185ee, 0x3fefd0765b6e4540,
    0xbc8e37bae43be3ed, 0x3fefdbfdad9cbe14,
    0x3c77893b4d91cd9d, 0x3fefe7c1819e90d8,
    0x3c5305c14160cc89, 0x3feff3c22b8f71f1,
};

// exp for lanes whose |x| is below 2^-54, at least 512, infinite or NaN: the
// library's special cases. `tmp`, `sbits` and `ki` are the regular road's.
template <bool with_fma>
[[gnu::always_inline]] inline Lanes exp_special(Lanes x, Lanes regular, Lanes tmp, Bits sbits, Bits ki) {
    const Bits abstop = (bits_of(x) >> 52) & 0x7ff;
    const Lanes one = all(1.0);
    // 512 <= |x| < 1024: 2^(k/N) may leave the double range; scale it by
    // 2^-1009 (k > 0) or 2^1022 (k < 0) first.
    const Lanes scale_up = double_of(sbits - all_bits(std::uint64_t{1009} << 52));
    const Lanes large = (with_fma ? fused(scale_up, tmp, scale_up) : scale_up + scale_up * tmp) * 0x1p1009;
    const Lanes scale_down = double_of(sbits + all_bits(std::uint64_t{1022} << 52));
    const Lanes scaled_tmp = scale_down * tmp;
    Lanes y = scale_down + scaled_tmp;
    // Results below 2^-1022 are rounded once, at the precision they end with.
    const Lanes lo = (scale_down - y) + scaled_tmp;
    const Lanes hi = one + y;
    const Lanes lo_sum = ((one - hi) + y) + lo;
    Lanes narrowed = (hi + lo_sum) - one;
    narrowed = narrowed == 0.0 ? all(0.0) : narrowed;
    y = y < one ? narrowed : y;
    const Lanes small = y * 0x1p-1022;
    const Lanes near = (ki & 0x80000000) == 0 ? large : small;
    // |x| >= 1024: exp(-inf) = 0, inf and NaN give 1 + x, other negatives
    // underflow to +0 and positives overflow to +inf.
    const Lanes far = bits_of(x) == all_bits(0xfff0000000000000u) ? all(0.0)
                      : abstop == 0x7ff                            ? one + x
                      : (bits_of(x) >> 63) != 0                    ? all(0.0)
                                                                   : all(__builtin_inf());
    const Lanes result = abstop < 0x3c9 ? one + x : abstop == 0x408 ? near : far;
    return (abstop - 0x3c9) >= 0x3f ? result : regular;
}

// Out of line, so the regular road stays short; the fused one in the section
// of fused code (see exp_lanes_fused).
[[gnu::noinline, gnu::nothrow, gnu::section("lamina_fused_math")]] Lanes exp_special_fused(Lanes x, Lanes regular, Lanes tmp,
                                                                            Bits sbits, Bits ki) {
    return exp_special<true>(x, regular, tmp, sbits, ki);
}
[[gnu::noinline, gnu::nothrow]] Lanes exp_special_unfused(Lanes x, Lanes regular, Lanes tmp, Bits sbits, Bits ki) {
    return exp_special<false>(x, regular, tmp, sbits, ki);
}

template <bool with_fma>
[[gnu::always_inline]] inline Lanes exp_of(Lanes x) {
    const Bits abstop = (bits_of(x) >> 52) & 0x7ff;
    const Lanes k_shifted = with_fma ? fused(x, all(inv_ln2_n), all(shift)) : inv_ln2_n * x + shift;
    const Bits ki = bits_of(k_shifted);
    const Lanes kd = k_shifted - shift;
    const Lanes r = with_fma ? fused(kd, all(neg_ln2_lo_n), fused(kd, all(neg_ln2_hi_n), x))
                             : (x + kd * neg_ln2_hi_n) + kd * neg_ln2_lo_n;
    const Bits index = (ki & 127) * 2;
    const Lanes tail = double_of(gather(exp_table, index));
    const Bits sbits = gather(exp_table + 1, index) + (ki << 45);
    const Lanes r2 = r * r;
    const Lanes tmp = with_fma ? fused(r2 * r2, fused(r, all(c5), all(c4)),
                                       fused(fused(r, all(c3), all(c2)), r2, tail + r))
                               : ((tail + r) + r2 * (c2 + r * c3)) + (r2 * r2) * (c4 + r * c5);
    const Lanes scale = double_of(sbits);
    const Lanes regular = with_fma ? fused(scale, tmp, scale) : scale + scale * tmp;
    if (__builtin_expect(any((abstop - 0x3c9) >= 0x3f), 0))
        return with_fma ? exp_special_fused(x, regular, tmp, sbits, ki)
                        : exp_special_unfused(x, regular, tmp, sbits, ki);
    return regular;
}

// --- hypot -------------------------------------------------------------------
// sqrt(ax^2 + ay^2) corrected by the rounding error of the squares, for
// ax >= ay >= 0 whose squares neither overflow nor underflow.
[[gnu::always_inline]] inline Lanes hypot_kernel(Lanes ax, Lanes ay) {
    const Lanes h = square_root(ax * ax + ay * ay);
    const Lanes near_delta = h - ay;
    const Lanes near_t1 = ax * ((near_delta + near_delta) - ax);
    const Lanes near_t2 = (near_delta - ((ax - ay) + (ax - ay))) * near_delta;
    const Lanes far_delta = h - ax;
    const Lanes far_t1 = (far_delta + far_delta) * (ax - (ay + ay));
    const Lanes far_t2 = (4.0 * far_delta - ay) * ay + far_delta * far_delta;
    const auto near = h <= ay + ay;
    const Lanes t1 = near ? near_t1 : far_t1;
    const Lanes t2 = near ? near_t2 : far_t2;
    return h - (t1 + t2) / (h + h);
}

// x or y infinite or NaN: +inf where one is infinite and neither a signalling
// NaN, else x + y, whose NaN is x's where x is one (x86's rule for the first operand).
[[gnu::noinline, gnu::nothrow]] Lanes hypot_not_finite(Lanes x, Lanes y, Lanes finite_result) {
    const Bits magnitude_x = bits_of(x) & 0x7fffffffffffffff, magnitude_y = bits_of(y) & 0x7fffffffffffffff;
    const Bits infinity = all_bits(0x7ff0000000000000);
    const Bits quiet = all_bits(std::uint64_t{1} << 51);
    const auto signalling_x = (magnitude_x > infinity) & ((bits_of(x) & quiet) == 0);
    const auto signalling_y = (magnitude_y > infinity) & ((bits_of(y) & quiet) == 0);
    const auto either_infinite = (magnitude_x == infinity) | (magnitude_y == infinity);
    const Lanes sum = magnitude_x > infinity ? x + x : y + y;
    const Lanes not_finite = (either_infinite & ~signalling_x & ~signalling_y) != 0 ? double_of(infinity) : sum;
    const auto finite = (magnitude_x < infinity) & (magnitude_y < infinity);
    return finite ? finite_result : not_finite;
}

[[gnu::always_inline]] inline Lanes hypot_of(Lanes x, Lanes y) {
    const Lanes abs_x = double_of(bits_of(x) & 0x7fffffffffffffff);
    const Lanes abs_y = double_of(bits_of(y) & 0x7fffffffffffffff);
    const auto swap = abs_x < abs_y;
    const Lanes ax = swap ? abs_y : abs_x;
    const Lanes ay = swap ? abs_x : abs_y;
    // Huge ax: both scaled down by 2^-600; tiny ay: both up by 2^600.
    const auto large = ax > 0x1p511;
    const auto tiny = ~large & (ay < 0x1p-459);
    const Lanes in_scale = large ? all(0x1p-600) : tiny ? all(0x1p600) : all(1.0);
    const Lanes out_scale = large ? all(0x1p600) : tiny ? all(0x1p-600) : all(1.0);
    const Lanes h = hypot_kernel(ax * in_scale, ay * in_scale) * out_scale;
    // ay too small to change ax: the sum.
    const auto negligible = tiny ? ax >= ay * 0x1p54 : ay <= ax * 0x1p-54;
    const Lanes result = negligible ? ax + ay : h;
    constexpr double largest = 0x1.fffffffffffffp1023;
    if (__builtin_expect(any(~((abs_x <= largest) & (abs_y <= largest))), 0)) return hypot_not_finite(x, y, result);
    return result;
}

}  // namespace

// Fused multiply-adds only in this section, which the FMA check scans apart:
// nine per copy, as many as the library's FMA variant of exp has.
[[gnu::noinline, gnu::nothrow, gnu::section("lamina_fused_math")]] Lanes exp_lanes_fused(Lanes x) { return exp_of<true>(x); }

[[gnu::noinline, gnu::nothrow]] Lanes exp_lanes_unfused(Lanes x) { return exp_of<false>(x); }

[[gnu::noinline, gnu::nothrow]] Lanes hypot_lanes(Lanes x, Lanes y) { return hypot_of(x, y); }

namespace {
template <class Function>
void for_groups(std::size_t count, Function function) {
    std::size_t i = 0;
    for (; i + lane_width <= count; i += lane_width) function(i, lane_width);
    if (i < count) function(i, count - i);
}
}  // namespace

void exp_array(const double* x, double* out, std::size_t count, ExpVariant variant) {
    for_groups(count, [&](std::size_t first, std::size_t lanes) {
        Lanes in{};
        std::memcpy(&in, x + first, lanes * sizeof(double));
        const Lanes result = exp_lanes(in, variant);
        std::memcpy(out + first, &result, lanes * sizeof(double));
    });
}

void hypot_array(const double* x, const double* y, double* out, std::size_t count) {
    for_groups(count, [&](std::size_t first, std::size_t lanes) {
        Lanes a{}, b{};
        std::memcpy(&a, x + first, lanes * sizeof(double));
        std::memcpy(&b, y + first, lanes * sizeof(double));
        const Lanes result = hypot_lanes(a, b);
        std::memcpy(out + first, &result, lanes * sizeof(double));
    });
}

}  // namespace STRATA_ISA
}  // namespace strata

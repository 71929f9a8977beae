// exp, hypot and sincos of a lane vector with the bits of the C library's
// scalar calls (exact_math.hpp). Compiled once per wide kernel copy (AVX2
// with FMA, AVX-512), without contraction: the only fused multiply-adds are
// the explicit ones of the fused exp and sincos, each where the library's FMA
// variant has one.
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
// doublings 2*v as v + v, which rounds the same. sincos: glibc's
// sysdeps/ieee754/dbl-64/s_sincos.c with s_sin.c, usncs.h and sincostab.c
// (IBM's Accurate Mathematical Library; LGPL-2.1+) as glibc 2.36 has it,
// built like exp twice; the FMA build's 28 fused operations (the reduction's
// seven, do_sin's eight and its Taylor branch's six, do_cos's seven) and
// their operands as the disassembly of glibc 2.36's __sincos_fma has them.
#include "strata/libm/exact_math.hpp"

#include <immintrin.h>

#include "strata/libm/lane_ops.hpp"

#include <cstdint>
#include <cstring>

namespace strata {
inline namespace STRATA_ISA {
namespace {

[[gnu::always_inline]] inline Lanes square_root(Lanes x) {
#if STRATA_LANE_WIDTH == 8
    return _mm512_mask_sqrt_pd(x, 0xff, x);
#else
    return _mm256_sqrt_pd(x);
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


// --- sincos ------------------------------------------------------------------
// |x| < 2^-27: sin x = x, cos x = 1. Otherwise sin and cos of a + da: of x
// itself below 0.855469, of pi/2 - |x| (in two parts) below 2.426265, of x
// less n pi/2 (pi/2 in four parts, the result in two) below 105414350, the
// quadrant n placing and signing the pair. Each from the table's sin and cos
// at the multiple of 1/128 nearest |a|, corrected by short polynomials of the
// rest; the sine of |a| < 0.126 from a Taylor polynomial alone. Larger
// arguments, infinities and NaNs take the library's own call.
constexpr double sn3 = -0x1.5555555555515p-3, sn5 = 0x1.11110e829872fp-7;  // sin of the rest
constexpr double cs2 = 0x1p-1, cs4 = -0x1.5555555555535p-5, cs6 = 0x1.6c16bedd9e239p-10;  // 1 - cos
constexpr double s1 = -0x1.5555555555555p-3, s2 = 0x1.1111111110ecep-7, s3 = -0x1.a01a019db08b8p-13,
                 s4 = 0x1.71de27b9a7ed9p-19, s5 = -0x1.addffc2fcdf59p-26;  // Taylor
constexpr double taylor_limit = 0.126;
constexpr double big = 0x1.8p45;  // big + |a|: |a| to the nearest 1/128 in the low bits
constexpr double hp0 = 0x1.921fb54442d18p0, hp1 = 0x1.1a62633145c07p-54;  // pi/2 = hp0 + hp1
constexpr double hpinv = 0x1.45f306dc9c883p-1;  // 2/pi
constexpr double toint = 0x1.8p52;
// pi/2 = mp1 + mp2 + pp3 + pp4, each part short enough that n times it is exact.
constexpr double mp1 = 0x1.921fb58000000p0, mp2 = -0x1.dde973c000000p-27, pp3 = -0x1.cb3b398000000p-55,
                 pp4 = -0x1.d747f23e32ed7p-83;
constexpr std::uint32_t tiny_top = 0x3e400000, near_top = 0x3feb6000, middle_top = 0x400368fd,
                        reducible_top = 0x419921fb;  // |x|'s upper 32 bits at 2^-27, 0.855469, ...

// For k <= 109: sin(k/128), its remainder, cos(k/128), its remainder. The
// values of glibc's __sincostab (sysdeps/ieee754/dbl-64/sincostab.c, from
// IBM's Accurate Mathematical Library; LGPL-2.1+), read from the libm of glibc
// 2.36. The check in variant.cpp reaches every entry.
alignas(64) constexpr std::uint64_t sincos_table[4 * 110] = {
    0x0000000000000000, 0x0000000000000000, 0x3ff0000000000000, 0x0000000000000000,
    0x3f7fffeaaaaeeeef, 0xbc1e45e2ec67b77c, 0x3fefffc000155552, 0x3c8f4a01a0196dae,
    0x3f8fffaaaaeeeed5, 0xbc02ab639a9f0777, 0x3fefff000155549f, 0x3c828a28a03a5ef3,
    0x3f97ff7001033255, 0x3bfefe2b51527336, 0x3feffdc006bff7e6, 0x3c8ae6dae86977bd,
    0x3f9ffeaaaeeee86f, 0xbc3cd406fb224ae2, 0x3feffc00155527d3, 0xbc83b54492d89b5b,
    0x3fa3feb2b12d45d5, 0x3c34ec54203d1c11, 0x3feff9c03414a7ba, 0x3c6991f4be6c59bf,
    0x3fa7fdc01032fba9, 0xbc4599bdf46e997a, 0x3feff7006bfdf99f, 0xbc78b3b560648d5f,
    0x3fabfc6d78586dac, 0x3c18e4fd03dbf236, 0x3feff3c0c8103a31, 0x3c74856dbddc0e66,
    0x3faffaaaeeed4edb, 0xbc42d16d32684b69, 0x3feff0015549f4d3, 0x3c8328387b99426f,
    0x3fb1fc343d808bef, 0xbc5f3d32e6f3be4f, 0x3fefebc222a8ef9f, 0x3c57934934f54c77,
    0x3fb3facb12d1755b, 0xbc5921915299468c, 0x3fefe7034129ef6f, 0xbc6cbf4337c96f97,
    0x3fb5f911fd10b737, 0xbc50184f02be9102, 0x3fefe1c4c3c873eb, 0xbc35a9c9057c4a02,
    0x3fb7f701032550e4, 0x3c3afc2d1800501a, 0x3fefdc06bf7e6b9b, 0x3c831902b535f8db,
    0x3fb9f4902d55d1f9, 0x3c52696d7eac1dc1, 0x3fefd5c94b43e000, 0xbc62e768cb4f92f9,
    0x3fbbf1b78568391d, 0x3c5e91841dea4cc8, 0x3fefcf0c800e99b1, 0x3c6ea3d786d186ac,
    0x3fbdee6f16c1cce6, 0xbc450f8e2fb71673, 0x3fefc7d078d1bc88, 0x3c8075d2447db685,
    0x3fbfeaaeee86ee36, 0xbc4afcb2bcc6f03b, 0x3fefc015527d5bd3, 0x3c8b68f35094efb8,
    0x3fc0f3378ddd71d1, 0x3c6d8468724f0f9e, 0x3fefb7db2bfe0695, 0x3c821dadf4f65ab1,
    0x3fc1f0d3d7afceaf, 0xbc66ef95099769a5, 0x3fefaf22263c4bd3, 0xbc552ace133a2769,
    0x3fc2ee285e4ab88f, 0xbc6e4d0f05dee058, 0x3fefa5ea641c36f2, 0x3c404da6ed17cc7c,
    0x3fc3eb312c5d66cb, 0x3c647d666b66cb91, 0x3fef9c340a7cc428, 0x3c8c5b6b063b7462,
    0x3fc4e7ea4dc5f27b, 0x3c5949db2ac072fc, 0x3fef91ff40374d01, 0xbc67d03f4d3a9e4c,
    0x3fc5e44fcfa126f3, 0xbc66f443063f89b6, 0x3fef874c2e1eecf6, 0xbc8c6514e1332b16,
    0x3fc6e05dc05a4d4c, 0xbbd32c5c8b81c940, 0x3fef7c1afeffde24, 0xbc78f55bc47540b1,
    0x3fc7dc102fbaf2b5, 0x3c45ab50e23c97c3, 0x3fef706bdf9ece1c, 0xbc8698c80c36dcb4,
    0x3fc8d7632efaa944, 0xbc620fa262cbb953, 0x3fef643efeb82acd, 0x3c76b00ac1fe28ac,
    0x3fc9d252d0cec312, 0x3c59c43d80b1137d, 0x3fef57948cff6797, 0x3c6e3a0d3e03b1d5,
    0x3fcaccdb297a0765, 0xbc59883b57d6cdeb, 0x3fef4a6cbd1e3a79, 0x3c813df0edaebb57,
    0x3fcbc6f84edc6199, 0x3c69c1a56a7b0cab, 0x3fef3cc7c3b3d16e, 0xbc621a3ad28a3494,
    0x3fccc0a6588289a3, 0xbc6868d09bc87c6b, 0x3fef2ea5d753ffed, 0x3c8cc4215f56d583,
    0x3fcdb9e15fb5a5d0, 0xbc632e20d6cc6fc2, 0x3fef20073086649f, 0x3c7b940416c1984b,
    0x3fceb2a57f8ae5a3, 0xbc60be06af572ceb, 0x3fef10ec09c5873b, 0x3c8d9072762c1283,
    0x3fcfaaeed4f31577, 0xbc615d88508e32b8, 0x3fef01549f7deea1, 0x3c8d3c1e99e5cafd,
    0x3fd0515cbf65155c, 0xbc79b8c29dfd8ec8, 0x3feef141300d2f26, 0xbc82aa1b08ded372,
    0x3fd0cd00cef36436, 0xbc79fb0a0c93e2b5, 0x3feee0b1fbc0f11c, 0xbc4bfd2380bbc3b1,
    0x3fd14861aa94ddeb, 0xbc6be881b5b615a4, 0x3feecfa744d5efa1, 0xbc556d0a4af541d0,
    0x3fd1c37d64c6b876, 0x3c746076fe0dcff5, 0x3feebe214f76efa8, 0xbc802f9f12ba543e,
    0x3fd23e52111aaf36, 0xbc74f080334eff18, 0x3feeac2061bbaf4f, 0x3c62c1d53e94658d,
    0x3fd2b8ddc43eb49f, 0x3c61553899f2d807, 0x3fee99a4c3a7cd83, 0xbc82264b1bc53ce8,
    0x3fd3331e94049f87, 0x3c7e0cb6b40c302c, 0x3fee86aebf29a9ed, 0x3c89397afdbb58a7,
    0x3fd3ad129769d3d8, 0x3c003d5504878398, 0x3fee733ea0193d40, 0xbc86428b3546ce13,
    0x3fd426b7e69ee697, 0xbc7f09c75705c59f, 0x3fee5f54b436e9d0, 0x3c87eb0fd02fc8bc,
    0x3fd4a00c9b0f3d20, 0x3c7823ba6bb08ead, 0x3fee4af14b2a449c, 0xbc868ca02e8a6833,
    0x3fd5190ecf68a77a, 0x3c7b357155eef0f3, 0x3fee3614b680d6a5, 0xbc727793aa015237,
    0x3fd591bc9fa2f597, 0x3c67c74bac3fe0cb, 0x3fee20bf49acd6c1, 0xbc5660aec7ef636c,
    0x3fd60a1429078775, 0x3c5b1fd80ba89133, 0x3fee0af15a03dbce, 0x3c5fe8e702771ae6,
    0x3fd682138a38d7f7, 0xbc7d889202444aad, 0x3fedf4ab3ebd875e, 0xbc8e2d8a7e6736c4,
    0x3fd6f9b8e33a0255, 0x3c742bc14ee9da0d, 0x3feddded50f228d6, 0xbc6e80c8d42ba2bf,
    0x3fd7710255764214, 0xbc66ead7314bb6ce, 0x3fedc6b7eb995912, 0x3c54b364776dcd35,
    0x3fd7e7ee03c86d4e, 0xbc7b63bcdabf5af2, 0x3fedaf0b6b888e83, 0x3c8a249e2b5e5cea,
    0x3fd85e7a12826949, 0x3c78a40e9b5face0, 0x3fed96e82f71a9dc, 0x3c8ff61bd5d2039d,
    0x3fd8d4a4a774992f, 0x3c744a02ea766326, 0x3fed7e4e97e17b4a, 0xbc63b770352bed94,
    0x3fd94a6be9f546c5, 0xbc769ce13e683f58, 0x3fed653f073e4040, 0xbc876236434bec37,
    0x3fd9bfce02e80510, 0x3c709e39a320b0a4, 0x3fed4bb9e1c619e0, 0x3c8f34bb77858f61,
    0x3fda34c91cc50cca, 0xbc5a310e3b50cecd, 0x3fed31bf8d8d7c06, 0x3c7e60dd3089cbdd,
    0x3fdaa95b63a09277, 0xbc66293eb13c0381, 0x3fed1750727d94f0, 0x3c80d52b1ec1a48e,
    0x3fdb1d8305321617, 0xbc7ae242cb99f519, 0x3fecfc6cfa52ad9f, 0x3c88b5b5508f2a0d,
    0x3fdb913e30dbac43, 0xbc7e38ad2f6c3ff1, 0x3fece115909a82e5, 0x3c81f139bb31109a,
    0x3fdc048b17b140a3, 0x3c619fe6757e9fa7, 0x3fecc54aa2b2972e, 0x3c64ee162ba83a98,
    0x3fdc7767ec7fd19e, 0xbc5eb14d1a3d5826, 0x3feca90c9fc67d0b, 0xbc646a81485e3462,
    0x3fdce9d2e3d4a51f, 0xbc62fc8a12dae298, 0x3fec8c5bf8ce1a84, 0x3c7ab3d1a1590123,
    0x3fdd5bca34047661, 0x3c728a44a75fc29c, 0x3fec6f39208be53b, 0xbc8741dbfbaadb42,
    0x3fddcd4c15329c9a, 0x3c70d4c6e171fd9a, 0x3fec51a48b8b175e, 0xbc61bbb43b9aa880,
    0x3fde3e56c1582a69, 0xbc50a4821099f88f, 0x3fec339eb01ddd81, 0xbc8caaf5ee82c5c0,
    0x3fdeaee8744b05f0, 0xbc5789b43c9b027d, 0x3fec1528065b7d50, 0xbc8892111312e828,
    0x3fdf1eff6bc4f97b, 0x3c717212f8a7525c, 0x3febf641081e7536, 0x3c8b7bd71628a9a1,
    0x3fdf8e99e76abc97, 0x3c59d950af2d00a3, 0x3febd6ea310294f5, 0x3c731bbcc88c109d,
    0x3fdffdb628d2f57a, 0x3c6f4a992e905b6a, 0x3febb723fe630f32, 0x3c772bd2452d0a39,
    0x3fe0362939c69955, 0xbc82d8cd78397b01, 0x3feb96eeef58840e, 0x3c545a3cc78fade0,
    0x3fe06d3686946e5b, 0x3c83f5ae4538ff1b, 0x3feb764b84b704c2, 0xbc8f5848c21b389b,
    0x3fe0a4021e9e1001, 0xbc86f643a13914f6, 0x3feb553a410c104e, 0x3c58ff7947027a16,
    0x3fe0da8b26b5672e, 0xbc8a58def0bee909, 0x3feb33bba89c8948, 0x3c8ea6a51d1f6ca9,
    0x3fe110d0c4b69c3b, 0x3c8d918998809981, 0x3feb11d04162a4c6, 0x3c71dd561efbc0c2,
    0x3fe146d21f8b7f82, 0x3c7bf9535e2739a8, 0x3feaef78930bd275, 0xbc7f836279746f94,
    0x3fe17c8e5f2eedb0, 0x3c635e57102e2488, 0x3feaccb526f69de5, 0x3c88fb6a8dd6b6cc,
    0x3fe1b204acb02fdd, 0xbc5f190c70cbb5ff, 0x3feaa98688308913, 0xbc0b83d607cd5070,
    0x3fe1e7343236574c, 0x3c722a3fa4f41d5a, 0x3fea85ed4373e02d, 0x3c69be06385ec792,
    0x3fe21c1c1b0394cf, 0x3c5e5b324b23aa31, 0x3fea61e9e72586af, 0x3c858330e2fd453f,
    0x3fe250bb93788bbb, 0x3c7ea3d02457bcce, 0x3fea3d7d0352bdcf, 0xbc868dbaeca19669,
    0x3fe28511c917a067, 0xbc801df1d9a16b70, 0x3fea18a729aee445, 0x3c395e25736c0358,
    0x3fe2b91dea88421e, 0xbc8fa371db216ab0, 0x3fe9f368ed912f85, 0xbc81d200c5791606,
    0x3fe2ecdf279a3082, 0x3c8d3557e0e7e37e, 0x3fe9cdc2e3f25e5c, 0x3c83f99112993f62,
    0x3fe32054b148bc4f, 0x3c8f6b42095a135b, 0x3fe9a7b5a36a6514, 0x3c8722cfcc9fa7a9,
    0x3fe3537db9be0367, 0x3c6b327e7af040f0, 0x3fe98141c42e1310, 0x3c8d1ff80488f08d,
    0x3fe386597456282b, 0xbc710fada93b07a8, 0x3fe95a67e00cb1fd, 0xbc80befda21f862d,
    0x3fe3b8e715a2840a, 0xbc797653a7d2f07b, 0x3fe93328926d9e92, 0xbc8bb77003600cda,
    0x3fe3eb25d36cd53a, 0xbc5be570e1570fc0, 0x3fe90b84784ddaf7, 0xbc70feb10ab93b87,
    0x3fe41d14e4ba6790, 0x3c84608fd287ecf5, 0x3fe8e37c303d9ad1, 0xbc6463a4b53d4bf8,
    0x3fe44eb381cf386b, 0xbc83ed6c1e6a5505, 0x3fe8bb105a5dc900, 0x3c8863e03e9474c1,
    0x3fe48000e431159f, 0xbc8b194a7463ed10, 0x3fe89241985d871f, 0x3c8c48d9c413ed84,
    0x3fe4b0fc46aab761, 0x3c20da05738cc59a, 0x3fe869108d77a6c6, 0x3c7338ffe2bfe9dd,
    0x3fe4e1a4e54ed51b, 0xbc8a492f89b7c76a, 0x3fe83f7dde701ca0, 0xbc4152cf609bc6e8,
    0x3fe511f9fd7b351c, 0xbc85c0e861c48831, 0x3fe8158a31916d5d, 0xbc6de8b90b8228de,
    0x3fe541facddbb724, 0x3c7232c28520d391, 0x3fe7eb362eaa1488, 0x3c5a1d65a4a5959f,
    0x3fe571a6966d59b3, 0x3c5c843b4d0fb198, 0x3fe7c0827f09e54f, 0xbc6c73d6d72aee68,
    0x3fe5a0fc98813a12, 0xbc8d82e2b7d4227b, 0x3fe7956fcd7f6543, 0xbc8ab276e9d45ae4,
    0x3fe5cffc16bf8f0d, 0x3c896cb370eb578a, 0x3fe769fec655211f, 0xbc6827d5cf8c68c5,
    0x3fe5fea4552a9e57, 0x3c80b6cef7ee20b7, 0x3fe73e30174efba1, 0xbc65d3ae3d94ad5f,
    0x3fe62cf49921ac79, 0xbc8edd9855b6241a, 0x3fe712046fa77678, 0x3c8425b0a5029c81,
    0x3fe65aec2963e755, 0x3c8126f96b71053c, 0x3fe6e57c800cf55e, 0x3c860286dedbd0a6,
    0x3fe6888a4e134b2f, 0xbc86b7d37644d5e6, 0x3fe6b898fa9efb5d, 0x3c715ac786ccf4b2,
    0x3fe6b5ce50b7821a, 0xbc65d5158f702e0f, 0x3fe68b5a92eb6253, 0xbc89a91ad985f89c,
    0x3fe6e2b77c40bde1, 0xbc70e729857fad53, 0x3fe65dc1fdeb8cba, 0xbc597c1b47337c77,
    0x3fe70f451d0a8c40, 0x3c697ede3885770d, 0x3fe62fcff20191c7, 0x3c6d9143895756ef,
    0x3fe73b7680dea578, 0xbc72248306dc12a2, 0x3fe6018526f563df, 0x3c846ca5e0e432d0,
    0x3fe7674af6f7b524, 0x3c7e9d3f94ac84a8, 0x3fe5d2e255f1f17a, 0x3c80314104c8892b,
    0x3fe792c1d0041d52, 0xbc8abf05eeb354eb, 0x3fe5a3e839824077, 0x3c8428aa2759be62,
    0x3fe7bdda5e28b3c2, 0x3c4ad1197ccd0393, 0x3fe574978d8e83f2, 0x3c8f4714af282d23,
    0x3fe7e893f5037959, 0x3c80eefbaa650c4c, 0x3fe544f10f592ca5, 0xbc8e7ae8e6c7a62f,
    0x3fe812ede9ae4ba4, 0xbc87830adf402dda, 0x3fe514f57d7bf3da, 0x3c747a108073c259,
};

// a * b + c: rounded once (as fused) or twice.
template <bool with_fma>
[[gnu::always_inline]] inline Lanes mul_add(Lanes a, Lanes b, Lanes c) {
    if constexpr (with_fma) {
        return fused(a, b, c);
    } else {
        return a * b + c;
    }
}

constexpr std::uint64_t sign_bit = 0x8000000000000000u;
[[gnu::always_inline]] inline Lanes with_sign_of(Lanes value, Lanes sign) {
    return double_of((bits_of(value) & ~sign_bit) | (bits_of(sign) & sign_bit));
}

// sin(a + da) and cos(a + da) for |a| below 0.86, from the table entry at
// |a| and the polynomials of the rest. The FMA variant fuses what GCC fused
// in the library's FMA build, operand for operand; without it the same
// expressions round each product and sum.
template <bool with_fma>
[[gnu::always_inline]] inline SinCosLanes sin_cos_near(Lanes a, Lanes da) {
    const Lanes abs_a = magnitude(a);
    const Lanes u = big + abs_a;
    const Bits index = (bits_of(u) & 0xffffffff) << 2;
    const Lanes sn = double_of(gather(sincos_table, index));
    const Lanes ssn = double_of(gather(sincos_table + 1, index));
    const Lanes cs = double_of(gather(sincos_table + 2, index));
    const Lanes ccs = double_of(gather(sincos_table + 3, index));
    const Lanes rest = abs_a - (u - big);
    // Inlined even unoptimised: its fused operations belong in the caller's section.
    const auto mad = [](Lanes p, Lanes q, Lanes r) __attribute__((always_inline)) {
        return mul_add<with_fma>(p, q, r);
    };

    // sin: sn + (ssn + s ccs - sn c + cs s), s and c the rest's sine and 1 - cos.
    const Lanes sin_dx = a <= 0.0 ? -da : da;
    const Lanes xx = rest * rest;
    const Lanes s = mad(rest * xx, mad(xx, all(sn5), all(sn3)), sin_dx) + rest;
    const Lanes c = mad(sin_dx, rest, xx * mad(mad(xx, all(cs6), all(cs4)), xx, all(cs2)));
    const Lanes sin_table = with_sign_of(mad(s, cs, mad(-c, sn, mad(s, ccs, ssn))) + sn, a);
    const Lanes aa = a * a;
    const Lanes taylor = mad(mad(mad(mad(all(s5), aa, all(s4)), aa, all(s3)), aa, all(s2)), aa, all(s1));
    const Lanes sin_taylor = a + mad(mad(taylor, a, -(0.5 * da)), aa, da);

    // cos: cs + (ccs - s ssn - cs c - sn s).
    const Lanes cos_rest = rest + (a < 0.0 ? -da : da);
    const Lanes yy = cos_rest * cos_rest;
    const Lanes cos_s = mad(cos_rest * yy, mad(yy, all(sn5), all(sn3)), cos_rest);
    const Lanes cos_c = yy * mad(mad(yy, all(cs6), all(cs4)), yy, all(cs2));
    const Lanes cosine = mad(-sn, cos_s, mad(-cs, cos_c, mad(-cos_s, ssn, ccs))) + cs;
    return {abs_a < taylor_limit ? sin_taylor : sin_table, cosine};
}

// Lanes with |x| >= 105414350, infinite or NaN: the library's call, lane by lane.
[[gnu::noinline, gnu::nothrow]] SinCosLanes sincos_far(Lanes x, SinCosLanes regular, Bits top) {
    for (std::size_t lane = 0; lane < lane_width; ++lane) {
        if (top[lane] < reducible_top) continue;
        double sin_x, cos_x;
        ::sincos(x[lane], &sin_x, &cos_x);
        regular.sin[lane] = sin_x;
        regular.cos[lane] = cos_x;
    }
    return regular;
}

template <bool with_fma>
[[gnu::always_inline]] inline SinCosLanes sincos_of(Lanes x) {
    // Inlined even unoptimised: its fused operations belong in the caller's section.
    const auto mad = [](Lanes p, Lanes q, Lanes r) __attribute__((always_inline)) {
        return mul_add<with_fma>(p, q, r);
    };
    const Bits top = (bits_of(x) >> 32) & 0x7fffffff;
    const auto tiny = top < tiny_top;
    const auto near = top < near_top;
    const auto middle = top < middle_top;
    const auto reducible = top < reducible_top;
    const Lanes zero = all(0.0);
    // pi/2 - |x| = middle_a + middle_da.
    const Lanes y = hp0 - magnitude(x);
    const Lanes middle_a = y + hp1;
    const Lanes middle_da = (y - middle_a) + hp1;
    // x - n pi/2 = b + db.
    const Lanes xr = reducible ? x : zero;
    const Lanes t = mad(xr, all(hpinv), all(toint));
    const Lanes xn = t - toint;
    const Bits n = bits_of(t) & 3;
    const Lanes yr = mad(-xn, all(mp2), mad(-xn, all(mp1), xr));
    const Lanes t2 = mad(-xn, all(pp3), yr);
    const Lanes db_part = mad(-xn, all(pp3), yr - t2);
    const Lanes b = mad(-xn, all(pp4), t2);
    const Lanes db = db_part + mad(-xn, all(pp4), t2 - b);
    const auto flip = (n == 1) | (n == 2);
    const Lanes a = tiny ? zero : near ? x : middle ? middle_a : reducible ? (flip ? -b : b) : zero;
    const Lanes da = near ? zero : middle ? middle_da : reducible ? (flip ? -db : db) : zero;
    const SinCosLanes p = sin_cos_near<with_fma>(a, da);
    const auto odd = (n & 1) != 0;
    const Lanes signed_cos = (n & 2) != 0 ? -p.cos : p.cos;
    SinCosLanes result;
    result.sin = tiny ? x : near ? p.sin : middle ? with_sign_of(p.cos, x) : odd ? signed_cos : p.sin;
    result.cos = tiny ? all(1.0) : near ? p.cos : middle ? p.sin : odd ? p.sin : signed_cos;
    if (__builtin_expect(any(~reducible), 0)) return sincos_far(x, result, top);
    return result;
}

}  // namespace

// Fused multiply-adds only in this section, which the FMA check scans apart:
// per copy exp's nine and sincos's 28, as many as the library's FMA variants
// have.
[[gnu::noinline, gnu::nothrow, gnu::section("lamina_fused_math")]] Lanes exp_lanes_fused(Lanes x) { return exp_of<true>(x); }

[[gnu::noinline, gnu::nothrow]] Lanes exp_lanes_unfused(Lanes x) { return exp_of<false>(x); }

[[gnu::noinline, gnu::nothrow]] Lanes hypot_lanes(Lanes x, Lanes y) { return hypot_of(x, y); }

[[gnu::noinline, gnu::nothrow, gnu::section("lamina_fused_math")]] Lanes sincos_lanes_fused(Lanes x, Lanes& cos_x) {
    const SinCosLanes result = sincos_of<true>(x);
    cos_x = result.cos;
    return result.sin;
}

[[gnu::noinline, gnu::nothrow]] Lanes sincos_lanes_unfused(Lanes x, Lanes& cos_x) {
    const SinCosLanes result = sincos_of<false>(x);
    cos_x = result.cos;
    return result.sin;
}

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

void sincos_array(const double* x, double* sin_out, double* cos_out, std::size_t count, ExpVariant variant) {
    for_groups(count, [&](std::size_t first, std::size_t lanes) {
        Lanes in{};
        std::memcpy(&in, x + first, lanes * sizeof(double));
        const SinCosLanes result = sincos_lanes(in, variant);
        std::memcpy(sin_out + first, &result.sin, lanes * sizeof(double));
        std::memcpy(cos_out + first, &result.cos, lanes * sizeof(double));
    });
}

}  // namespace STRATA_ISA
}  // namespace strata

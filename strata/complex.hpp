#pragma once
// Complex float64 arithmetic with fixed rounding: every product and every sum
// is rounded on its own, in the order written here. This is the only place the
// rules live; std::complex is not used because its operators add special cases
// and scaling that change the last bits.
#include <cmath>

#include "strata/isa.hpp"

namespace strata {

// `Real` is double, or a vector of doubles (lanes.hpp) that computes several
// wavelengths at once with exactly the same operations on each lane.
template <class Real>
struct BasicComplex {
    Real re;
    Real im;
};

using Complex = BasicComplex<double>;

inline namespace STRATA_ISA {

// The classifications as the compiler's built-ins: std::isfinite and its kin
// are inline functions outside this namespace, which no copy compiled for a
// wider instruction set may define.
inline bool is_finite(double x) { return __builtin_isfinite(x); }
inline bool is_inf(double x) { return __builtin_isinf(x); }
inline bool is_nan(double x) { return __builtin_isnan(x); }
inline bool sign_bit(double x) { return __builtin_signbit(x); }

template <class Real>
inline BasicComplex<Real> operator+(BasicComplex<Real> a, BasicComplex<Real> b) {
    return {a.re + b.re, a.im + b.im};
}
template <class Real>
inline BasicComplex<Real> operator-(BasicComplex<Real> a, BasicComplex<Real> b) {
    return {a.re - b.re, a.im - b.im};
}
template <class Real>
inline BasicComplex<Real> operator-(BasicComplex<Real> a) {
    return {-a.re, -a.im};
}

template <class Real>
inline BasicComplex<Real> operator*(BasicComplex<Real> a, BasicComplex<Real> b) {
    return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}

template <class Real>
inline BasicComplex<Real> square(BasicComplex<Real> x) {
    return {x.re * x.re - x.im * x.im, 2.0 * (x.re * x.im)};
}

// Scaling by a real number, `k` a double or a lane vector.
template <class Real, class Scale>
inline BasicComplex<Real> operator*(BasicComplex<Real> a, Scale k) {
    return {a.re * k, a.im * k};
}
template <class Real, class Scale>
inline BasicComplex<Real> operator/(BasicComplex<Real> a, Scale k) {
    return {a.re / k, a.im / k};
}

// Textbook quotient: no scaling, no special cases.
template <class Real>
inline BasicComplex<Real> operator/(BasicComplex<Real> a, BasicComplex<Real> b) {
    const Real norm = b.re * b.re + b.im * b.im;
    return {(a.re * b.re + a.im * b.im) / norm, (a.im * b.re - a.re * b.im) / norm};
}

// 1/b as the full quotient: the products by zero are kept, so a non-finite b
// gives NaN parts rather than signed zeros.
template <class Real>
inline BasicComplex<Real> reciprocal(BasicComplex<Real> b) {
    const Real zero{};
    return BasicComplex<Real>{zero + 1.0, zero} / b;
}

// A refractive index as the engine reads it. A negative-zero imaginary part is
// the same lossless material as +0, yet principal_sqrt would follow its sign to
// the growing evanescent branch; adding +0.0 clears it and changes no other value.
template <class Real>
inline BasicComplex<Real> canonical_index(BasicComplex<Real> n) {
    return {n.re, n.im + 0.0};
}

inline double modulus(Complex z) { return std::hypot(z.re, z.im); }

// sin x and cos x. glibc's sincos gives the bits of the two separate calls and
// costs little more than one of them; `paired` is false wherever a run-time
// check found a C library whose sincos differs (kernel.hpp).
inline void sin_cos(double x, bool paired, double& sin_x, double& cos_x) {
    if (paired) {
        ::sincos(x, &sin_x, &cos_x);
    } else {
        sin_x = std::sin(x);
        cos_x = std::cos(x);
    }
}

// Principal square root. "== 0" is numeric (true for -0.0); signbit treats -0.0
// as negative. `modulus()` gives hypot(z.re, z.im) and `angle()` atan2(z.im,
// z.re), asked for only where both parts are nonzero (the kernel's lanes hand
// in ones computed lane-wide).
//
// On an axis (z.re or z.im zero) the root without angles: true, and `root`.
inline bool principal_sqrt_on_axis(Complex z, Complex& root) {
    const double x = z.re;
    const double y = z.im;
    if (y == 0.0) {
        if (!sign_bit(x)) {
            root = {std::sqrt(x), y};
        } else {
            const double magnitude = std::sqrt(-x);
            root = {0.0, sign_bit(y) ? -magnitude : magnitude};
        }
        return true;
    }
    if (x == 0.0) {
        const double h = std::sqrt(std::fabs(y) * 0.5);
        root = {h, sign_bit(y) ? -h : h};
        return true;
    }
    return false;
}

template <class Modulus, class Angle>
inline Complex principal_sqrt_by(Complex z, bool paired_sin_cos, Modulus modulus, Angle angle) {
    Complex root;
    if (principal_sqrt_on_axis(z, root)) return root;
    const double r = modulus();
    const double alpha = angle();
    const double root_r = std::sqrt(r);
    double sin_half, cos_half;
    sin_cos(alpha * 0.5, paired_sin_cos, sin_half, cos_half);
    return {cos_half * root_r, sin_half * root_r};
}

inline Complex principal_sqrt(Complex z, bool paired_sin_cos = false) {
    return principal_sqrt_by(
        z, paired_sin_cos, [z] { return std::hypot(z.re, z.im); }, [z] { return std::atan2(z.im, z.re); });
}

inline Complex exponential(Complex z) {
    const double x = z.re;
    const double y = z.im;
    if (x == INFINITY && (y == 0.0 || !is_finite(y))) return {x, is_inf(y) ? NAN : y};
    if (x == -INFINITY && !is_finite(y)) return {0.0, 0.0};
    if (is_nan(x) && y == 0.0) return z;
    const double scale = std::exp(x);
    return {scale * std::cos(y), scale * std::sin(y)};
}

}  // namespace STRATA_ISA
}  // namespace strata

#pragma once
// The characteristic matrix of a stack, for one wavelength or for a lane
// group of them: the arithmetic shared by the kernel copies (kernel.cpp) and
// the one-index form (transfer.cpp). Internal to those files: everything here
// has internal linkage, so each instruction set keeps its own copy, and a
// failure leaves through a function of the baseline code. Nothing here calls
// an inline function outside the instruction-set namespace (the arrays' own
// accessors, std::isfinite, std::clamp): at -O0 a wider copy would define it
// too, and the linker may keep either (.ci/check_variant_symbols.sh).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "strata/array.hpp"
#include "strata/data.hpp"
#include "strata/libm/exact_math.hpp"
#include "strata/kernel.hpp"
#include "strata/lanes.hpp"
#include "strata/matrix.hpp"

namespace strata {
inline namespace STRATA_ISA {
namespace {

constexpr double two_pi = 6.283185307179586;

// Read-only access to one stack at one angle, after its shapes were checked
// for a range of wavelength indices.
class StackView {
public:
    StackView(const Array1<double>& d, const Array2<Complex>& n, const Array1<double>& wl, double theta,
              std::size_t end)
        : StackView(stack_arrays(d, n, wl), theta, end) {}
    StackView(const StackArrays& arrays, double theta, std::size_t end)
        : d_(arrays.d), n_(arrays.n), wl_(arrays.wl), media_(arrays.media), row_stride_(arrays.row_stride),
          col_stride_(arrays.col_stride), sin_theta_(std::sin(theta)) {
        // What reading indices below `end` needs: K >= 2 media, a column of n
        // and a wavelength for each index, a thickness for each inner layer.
        if (end > arrays.wavelengths || end > arrays.columns || arrays.media < 2 ||
            arrays.thicknesses < arrays.media - 2)
            fail_index_out_of_bounds();
    }

    std::size_t media() const { return media_; }
    double sin_theta() const { return sin_theta_; }
    double thickness(std::size_t layer) const { return d_[layer - 1]; }

    template <class Real>
    Real wavelengths(std::size_t first) const {
        return gather<Real>([&](std::size_t lane) { return wl_[first + lane]; });
    }
    template <class Real>
    BasicComplex<Real> index(std::size_t medium, std::size_t first) const {
        const Complex* row = n_ + medium * row_stride_;
        return canonical_index(gather_complex<Real>(first, [&](std::size_t i) { return row[i * col_stride_]; }));
    }
    // Everything wavelength i reads is finite.
    bool finite_inputs(std::size_t i) const;

private:
    const double* d_;
    const Complex* n_;
    const double* wl_;
    std::size_t media_;
    std::size_t row_stride_;
    std::size_t col_stride_;
    double sin_theta_;
};

// How a matrix computation reuses its polarisation-independent values: not
// at all, by storing them (s pass) or by loading them (p pass).
enum class ReuseMode { none, store, load };

// One lane group's record of reused values (kernel.hpp, Reuse): field f of a
// lane sits at f * lane_width. For a single wavelength `record` points at its
// lane, so the scalar and the lane forms share the layout.
template <class Real>
class ReuseRecord {
public:
    explicit ReuseRecord(double* record) : record_(record) {}

    BasicComplex<Real> load(std::size_t field) const { return {read(field), read(field + 1)}; }
    void store(std::size_t field, const BasicComplex<Real>& z) const {
        write(field, z.re);
        write(field + 1, z.im);
    }

    // Fields: c_j at 2j (j < K), then exp(-i delta_j), exp(+i delta_j) at
    // 2K + 4(j - 1) and 2K + 4(j - 1) + 2 (1 <= j <= K - 2).
    static std::size_t cosine_field(std::size_t medium) { return 2 * medium; }
    static std::size_t exponential_field(std::size_t media, std::size_t layer) {
        return 2 * media + 4 * (layer - 1);
    }

private:
    Real read(std::size_t field) const {
        Real value;
        std::memcpy(&value, record_ + field * lane_width, sizeof value);
        return value;
    }
    void write(std::size_t field, Real value) const {
        std::memcpy(record_ + field * lane_width, &value, sizeof value);
    }
    double* record_;
};

// c_j = sqrt(n_j^2 - xi) / n_j: the complex cosine of the propagation angle.
// The lanes' moduli and angles come from the lane-wide hypot and atan2, and
// the sine and cosine of their half angles from the lane-wide sincos, where
// `math` allows them (sincos only where sin and cos are paired at all).
template <class Real>
[[gnu::always_inline]] inline BasicComplex<Real> cosine_in_medium(BasicComplex<Real> index, BasicComplex<Real> xi,
                                                                  bool paired, const LaneMath& math = {}) {
    const BasicComplex<Real> z = square(index) - xi;
#ifdef STRATA_LANE_MATH
    if constexpr (lanes_of<Real> > 1) {
        const bool lane_sincos = paired && math.sincos;
        if (math.hypot || math.atan2 || lane_sincos) {
            // Only lanes with both parts nonzero use the modulus and the angle;
            // the others (lossless media) get (1, 1), which stays on the
            // lane-wide road instead of the library's call. Where no lane uses
            // them (a lossless medium at all the group's wavelengths) every
            // root lies on an axis, a square root alone: no modulus, angle or
            // sincos is computed.
            const auto used = (z.re != 0.0) & (z.im != 0.0);
            bool any_used = false;
            for (std::size_t lane = 0; lane < lane_width; ++lane) any_used |= used[lane] != 0;
            if (!any_used)
                return each_lane(z, [paired](Complex value) { return principal_sqrt(value, paired); }) / index;
            const Lanes r = math.hypot ? hypot_lanes(z.re, z.im) : Lanes{};
            const Lanes one = Lanes{} + 1.0;
            const Lanes alpha = math.atan2
                                    ? atan2_lanes(used ? z.im : one, used ? z.re : one, math.atan2_variant)
                                    : Lanes{};
            auto modulus_of = [&](std::size_t lane) {
                return math.hypot ? r[lane] : std::hypot(z.re[lane], z.im[lane]);
            };
            auto angle_of = [&](std::size_t lane) {
                return math.atan2 ? alpha[lane] : std::atan2(z.im[lane], z.re[lane]);
            };
            double re[lane_width], im[lane_width];
            if (!lane_sincos) {
                for (std::size_t lane = 0; lane < lane_width; ++lane) {
                    const Complex root = principal_sqrt_by(
                        Complex{z.re[lane], z.im[lane]}, paired, [&] { return modulus_of(lane); },
                        [&] { return angle_of(lane); });
                    re[lane] = root.re;
                    im[lane] = root.im;
                }
                return BasicComplex<Real>{from_values<Real>(re), from_values<Real>(im)} / index;
            }
            // Off the axes: sqrt(r) (cos, sin)(atan2(y, x) / 2), one sincos for all lanes.
            double half_angle[lane_width], root_r[lane_width];
            bool on_axis[lane_width];
            for (std::size_t lane = 0; lane < lane_width; ++lane) {
                Complex root{};
                on_axis[lane] = principal_sqrt_on_axis(Complex{z.re[lane], z.im[lane]}, root);
                re[lane] = root.re;
                im[lane] = root.im;
                half_angle[lane] = 0.0;
                root_r[lane] = 0.0;
                if (on_axis[lane]) continue;
                half_angle[lane] = angle_of(lane) * 0.5;
                root_r[lane] = std::sqrt(modulus_of(lane));
            }
            const SinCosLanes half = sincos_lanes(from_values<Lanes>(half_angle), math.sincos_variant);
            for (std::size_t lane = 0; lane < lane_width; ++lane) {
                if (on_axis[lane]) continue;
                re[lane] = half.cos[lane] * root_r[lane];
                im[lane] = half.sin[lane] * root_r[lane];
            }
            return BasicComplex<Real>{from_values<Real>(re), from_values<Real>(im)} / index;
        }
    }
#else
    (void)math;
#endif
    return each_lane(z, [paired](Complex value) { return principal_sqrt(value, paired); }) / index;
}

// D_j, the boundary between medium j (index, cosine) and medium j + 1. For s
// the term b_j = c_{j+1} n_{j+1} is the next boundary's a_{j+1}: it is formed
// once and handed on through `shared`.
template <bool p_polarised, class Real>
[[gnu::always_inline]] inline BasicMatrix2<Real> interface_matrix(BasicComplex<Real> n_j, BasicComplex<Real> c_j,
                                                                  BasicComplex<Real> n_next,
                                                                  BasicComplex<Real> c_next,
                                                                  BasicComplex<Real>& shared) {
    BasicComplex<Real> a, b;
    if constexpr (p_polarised) {
        a = c_j * n_next;
        b = c_next * n_j;
    } else {
        a = shared;
        b = c_next * n_next;
        shared = b;
    }
    const BasicComplex<Real> denominator = a + b;
    const BasicComplex<Real> r = (a - b) / denominator;
    const BasicComplex<Real> t = ((n_j + n_j) * c_j) / denominator;
    const BasicComplex<Real> inverse_t = reciprocal(t);
    const BasicComplex<Real> r_over_t = r / t;
    return {inverse_t, r_over_t, r_over_t, inverse_t};
}

// The same for a polarisation known only at run time (the exceptional road).
inline Matrix2 interface_matrix(Complex n_j, Complex c_j, Complex n_next, Complex c_next, bool p_polarised) {
    Complex shared = c_j * n_j;
    return p_polarised ? interface_matrix<true>(n_j, c_j, n_next, c_next, shared)
                       : interface_matrix<false>(n_j, c_j, n_next, c_next, shared);
}

// exp(-w) and exp(+w). For finite w they share one sin and one cos: the C
// library's sin is odd and cos even to the last bit (a test checks this), so
// the pair is what two calls of `exponential` give.
struct ExponentialPair {
    Complex backward;
    Complex forward;
};

// `sin_cos(s, c)` gives sin(w.im) and cos(w.im), `grow()` and `decay()`
// exp(-w.re) and exp(w.re); each is asked for only where w is finite.
template <class SinCos, class Grow, class Decay>
[[gnu::always_inline]] inline ExponentialPair exponential_pair_by(Complex w, SinCos sin_cos_of, Grow grow_of,
                                                                  Decay decay_of) {
    if (!is_finite(w.re) || !is_finite(w.im)) return {exponential(-w), exponential(w)};
    double sin_y, cos_y;
    sin_cos_of(sin_y, cos_y);
    const double grow = grow_of();
    const double decay = decay_of();
    return {{grow * cos_y, grow * -sin_y}, {decay * cos_y, decay * sin_y}};
}

[[gnu::always_inline]] inline ExponentialPair exponential_pair(Complex w, bool paired) {
    return exponential_pair_by(
        w, [w, paired](double& sin_y, double& cos_y) { sin_cos(w.im, paired, sin_y, cos_y); },
        [w] { return std::exp(-w.re); }, [w] { return std::exp(w.re); });
}

// The diagonal of P_j = diag(exp(-i delta_j), exp(+i delta_j)).
template <class Real>
struct Propagation {
    BasicComplex<Real> backward;
    BasicComplex<Real> forward;
};

template <class Real>
[[gnu::always_inline]] inline Propagation<Real> propagation(BasicComplex<Real> n_j, BasicComplex<Real> c_j,
                                                            Real wavelength, double thickness, bool paired,
                                                            const LaneMath& math = {}) {
    const BasicComplex<Real> k = (n_j * (c_j * two_pi)) / wavelength;
    const BasicComplex<Real> w{-k.im * thickness, k.re * thickness};  // i * k * thickness
    double backward_re[lanes_of<Real>], backward_im[lanes_of<Real>];
    double forward_re[lanes_of<Real>], forward_im[lanes_of<Real>];
    // The lane-wide exp, and sincos where sin and cos are paired, where
    // `math` allows them; lanes with a non-finite w ignore them and take
    // exponential's road.
    Real grow{}, decay{}, sin_w{}, cos_w{};
    bool lane_exp = false, lane_sincos = false;
#ifdef STRATA_LANE_MATH
    if constexpr (lanes_of<Real> > 1) {
        if (math.exp) {
            grow = exp_lanes(-w.re, math.exp_variant);
            decay = exp_lanes(w.re, math.exp_variant);
            lane_exp = true;
        }
        if (paired && math.sincos) {
            // Lanes whose w is not finite never read their phase's sine: zero
            // spares them the library's call (and its errno for infinities).
            const auto finite = ((w.re - w.re) == 0.0) & ((w.im - w.im) == 0.0);
            const SinCosLanes phase = sincos_lanes(finite ? w.im : Lanes{}, math.sincos_variant);
            sin_w = phase.sin;
            cos_w = phase.cos;
            lane_sincos = true;
        }
    }
#else
    (void)math;
#endif
    for (std::size_t lane = 0; lane < lanes_of<Real>; ++lane) {
        const Complex w_lane{get_lane(w.re, lane), get_lane(w.im, lane)};
        const auto pair = exponential_pair_by(
            w_lane,
            [&](double& sin_y, double& cos_y) {
                if (lane_sincos) {
                    sin_y = get_lane(sin_w, lane);
                    cos_y = get_lane(cos_w, lane);
                } else {
                    sin_cos(w_lane.im, paired, sin_y, cos_y);
                }
            },
            [&] { return lane_exp ? get_lane(grow, lane) : std::exp(-w_lane.re); },
            [&] { return lane_exp ? get_lane(decay, lane) : std::exp(w_lane.re); });
        backward_re[lane] = pair.backward.re;
        backward_im[lane] = pair.backward.im;
        forward_re[lane] = pair.forward.re;
        forward_im[lane] = pair.forward.im;
    }
    return {{from_values<Real>(backward_re), from_values<Real>(backward_im)},
            {from_values<Real>(forward_re), from_values<Real>(forward_im)}};
}

// M = D_0 (P_1 D_1) ... (P_{K-2} D_{K-2}), each new pair multiplied on the
// right as (M P_j) D_j, for the wavelengths first .. first + lanes - 1. With
// ReuseMode::load the cosines and exponentials come from the record at
// `values` as an earlier ReuseMode::store computation of the same wavelengths
// left them.
template <class Real, bool p_polarised, ReuseMode reuse>
BasicMatrix2<Real> stack_matrix(const StackView& stack, std::size_t first, double* values, bool paired,
                                const LaneMath& math = {}) {
    const std::size_t media = stack.media();
    const ReuseRecord<Real> record(values);
    const BasicComplex<Real> n_0 = stack.index<Real>(0, first);
    Real wavelength{};
    BasicComplex<Real> xi{};
    if constexpr (reuse != ReuseMode::load) {
        wavelength = stack.wavelengths<Real>(first);
        xi = square(n_0 * stack.sin_theta());  // (n_0 sin theta)^2
    }
    auto cosine = [&](std::size_t medium, BasicComplex<Real> index) {
        if constexpr (reuse == ReuseMode::load) {
            return record.load(ReuseRecord<Real>::cosine_field(medium));
        } else {
            const BasicComplex<Real> c = cosine_in_medium(index, xi, paired, math);
            if constexpr (reuse == ReuseMode::store) record.store(ReuseRecord<Real>::cosine_field(medium), c);
            return c;
        }
    };
    auto layer = [&](std::size_t j, BasicComplex<Real> n_j, BasicComplex<Real> c_j) {
        const std::size_t field = ReuseRecord<Real>::exponential_field(media, j);
        if constexpr (reuse == ReuseMode::load) {
            return Propagation<Real>{record.load(field), record.load(field + 2)};
        } else {
            const Propagation<Real> p = propagation(n_j, c_j, wavelength, stack.thickness(j), paired, math);
            if constexpr (reuse == ReuseMode::store) {
                record.store(field, p.backward);
                record.store(field + 2, p.forward);
            }
            return p;
        }
    };

    BasicComplex<Real> n_j = n_0;
    BasicComplex<Real> c_j = cosine(0, n_0);
    BasicComplex<Real> n_next = stack.index<Real>(1, first);
    BasicComplex<Real> c_next = cosine(1, n_next);
    BasicComplex<Real> shared{};
    if constexpr (!p_polarised) shared = c_j * n_j;
    BasicMatrix2<Real> m = interface_matrix<p_polarised>(n_j, c_j, n_next, c_next, shared);
    const BasicComplex<Real> zero{};
    for (std::size_t j = 1; j + 1 < media; ++j) {
        n_j = n_next;
        c_j = c_next;
        n_next = stack.index<Real>(j + 1, first);
        c_next = cosine(j + 1, n_next);
        const Propagation<Real> p = layer(j, n_j, c_j);
        m = (m * BasicMatrix2<Real>{p.backward, zero, zero, p.forward}) *
            interface_matrix<p_polarised>(n_j, c_j, n_next, c_next, shared);
    }
    return m;
}

// Per-lane truth value of a comparison: bool for double, a lane mask otherwise.
template <class Real>
using Mask = decltype(Real{} == Real{});

inline bool lane_set(const Mask<Lanes>& mask, std::size_t lane) { return mask[lane] != 0; }

// Lanes whose M00 or M10 is not finite, or so large that |.|^2 in the spectra
// could overflow: where an overflow is on its way, and where an inner layer is
// exactly at its critical angle (c_j = 0 makes D_j infinite, and nothing in
// the rest of the product makes an infinity finite again).
template <class Real>
Mask<Real> out_of_range(const BasicMatrix2<Real>& m) {
    constexpr double limit = 0x1p511;
    const auto inside = [](Real x) { return (x < limit) & (x > -limit); };
    return (inside(m.m00.re) & inside(m.m00.im) & inside(m.m10.re) & inside(m.m10.im)) == 0;
}

bool StackView::finite_inputs(std::size_t i) const {
    if (!is_finite(wl_[i]) || !is_finite(sin_theta_)) return false;
    for (std::size_t medium = 0; medium < media_; ++medium) {
        const Complex index = n_[medium * row_stride_ + i * col_stride_];
        if (!is_finite(index.re) || !is_finite(index.im)) return false;
    }
    for (std::size_t layer = 1; layer + 1 < media_; ++layer)
        if (!is_finite(thickness(layer))) return false;
    return true;
}

// --- Exceptional wavelengths ------------------------------------------------
// A wavelength whose regular product failed although its inputs are finite is
// computed again here, alone: an inner layer exactly at its critical angle
// takes its regular limit, and the running product carries a power-of-two
// exponent so that thick absorbing layers cannot overflow it.

std::int32_t add_exponents(std::int32_t a, std::int32_t b) {
    const std::int64_t sum = std::int64_t{a} + b;
    if (sum > transfer_exponent_limit) return transfer_exponent_limit;
    if (sum < -transfer_exponent_limit) return -transfer_exponent_limit;
    return static_cast<std::int32_t>(sum);
}

// Scales m by a power of two, exactly, so that its largest part lies in
// [0.5, 1); the power goes into `exponent`. A non-finite or zero m is left alone.
void normalise(Matrix2& m, std::int32_t& exponent) {
    Complex* entries[] = {&m.m00, &m.m10, &m.m01, &m.m11};
    double top = 0.0;
    for (const Complex* z : entries) {
        if (!is_finite(z->re) || !is_finite(z->im)) return;
        const double re = std::fabs(z->re);
        const double im = std::fabs(z->im);
        if (re > top) top = re;
        if (im > top) top = im;
    }
    if (top == 0.0) return;
    const int k = std::ilogb(top) + 1;
    if (k == 0) return;
    if (k >= -1023) {
        // 2^-k is a double, and a product by it rounds once, as ldexp does.
        const double scale = std::ldexp(1.0, -k);
        for (Complex* z : entries) *z = {z->re * scale, z->im * scale};
    } else {
        for (Complex* z : entries) *z = {std::ldexp(z->re, -k), std::ldexp(z->im, -k)};
    }
    exponent = add_exponents(exponent, k);
}

// P_j over 2^exponent. While exp(|Im delta|) fits a double these are the bits
// of propagation_matrix with a zero exponent; past that the growing factor is
// split into 2^E exp(r), and the decaying one, 2^-2E smaller, is lost. Such a
// layer is opaque to double precision: T is 0 and R that of the stack in front
// of it, whatever its phase; so a phase that does not fit a double is dropped,
// and so is growth beyond the saturated exponent.
Matrix2 scaled_propagation(Complex n_j, Complex c_j, double wavelength, double thickness,
                           std::int32_t& exponent) {
    constexpr double exp_limit = 708.0;
    constexpr double ln2 = 0.6931471805599453;
    const Complex k = (n_j * (c_j * two_pi)) / wavelength;
    const Complex w{-k.im * thickness, k.re * thickness};
    const Complex zero{};
    exponent = 0;
    const double a = std::fabs(w.re);
    if (!(a > exp_limit)) {
        const auto pair = exponential_pair(w, false);
        return {pair.backward, zero, zero, pair.forward};
    }
    const double e = std::fmin(std::nearbyint(a / ln2), double{transfer_exponent_limit});
    double big = std::exp(a - e * ln2);
    double small = std::exp(-a - e * ln2);
    if (is_inf(big)) {
        big = 1.0;
        small = 0.0;
    }
    const double grow = w.re < 0.0 ? big : small;  // exp(-w.re) / 2^e
    const double decay = w.re < 0.0 ? small : big;  // exp(w.re) / 2^e
    const bool phase_fits = is_finite(w.im);
    const double cos_y = phase_fits ? std::cos(w.im) : 1.0;
    const double sin_y = phase_fits ? std::sin(w.im) : 0.0;
    exponent = static_cast<std::int32_t>(e);
    return {{grow * cos_y, grow * -sin_y}, zero, zero, {decay * cos_y, decay * sin_y}};
}

// The matrices below are written row by row in the comments and built column
// by column (m00, m10, m01, m11), as Matrix2 stores them.
//
// W, taking (forward, backward) amplitudes in a medium to the tangential
// fields: s [[1, 1], [n c, -n c]], p [[c, -c], [n, n]]. D_j = W_j^-1 W_{j+1}.
Matrix2 fields_of_modes(Complex n, Complex c, bool p_polarised) {
    const Complex one{1.0, 0.0};
    if (p_polarised) return {c, n, -c, n};
    const Complex nc = c * n;
    return {one, nc, one, -nc};
}

Matrix2 modes_of_fields(Complex n, Complex c, bool p_polarised) {
    if (p_polarised) {
        const Complex u = reciprocal(c + c);
        const Complex v = reciprocal(n + n);
        return {u, -u, v, v};
    }
    const Complex half{0.5, 0.0};
    const Complex h = reciprocal(c * n + c * n);
    return {half, half, h, -h};
}

// W_j P_j W_j^-1 in the limit c_j -> 0, where the field is linear across the
// layer: s [[1, -i k0 d], [0, 1]], p [[1, 0], [-i k0 n^2 d, 1]].
Matrix2 critical_layer(Complex n_j, double wavelength, double thickness, bool p_polarised) {
    const Complex one{1.0, 0.0};
    const Complex zero{};
    const double g = (two_pi / wavelength) * thickness;
    if (p_polarised) {
        const Complex v = square(n_j) * g;
        return {one, {v.im, -v.re}, zero, one};
    }
    return {one, zero, {0.0, -g}, one};
}

// M for wavelength i as m * 2^exponent. The regular factors are those of
// stack_matrix; a run of critical layers j..k replaces D_{j-1} P_j ... P_k D_k
// with W_{j-1}^-1 A_j ... A_k W_{k+1}.
[[gnu::cold, gnu::noinline]] void exceptional_matrix(const StackView& stack, std::size_t i, bool p_polarised,
                                                     Matrix2& out, std::int32_t& exponent) {
    const auto critical = [](Complex c) { return c.re == 0.0 && c.im == 0.0; };
    const std::size_t last = stack.media() - 1;
    const double wavelength = stack.wavelengths<double>(i);
    const Complex n_0 = stack.index<double>(0, i);
    const Complex xi = square(n_0 * stack.sin_theta());

    Complex n_j = n_0;
    Complex c_j = cosine_in_medium(n_0, xi, false);
    Complex n_next = stack.index<double>(1, i);
    Complex c_next = cosine_in_medium(n_next, xi, false);
    bool next_critical = 1 < last && critical(c_next);
    Matrix2 m = next_critical ? modes_of_fields(n_j, c_j, p_polarised)
                              : interface_matrix(n_j, c_j, n_next, c_next, p_polarised);
    std::int32_t e = 0;
    normalise(m, e);
    for (std::size_t j = 1; j < last; ++j) {
        const bool this_critical = next_critical;
        n_j = n_next;
        c_j = c_next;
        n_next = stack.index<double>(j + 1, i);
        c_next = cosine_in_medium(n_next, xi, false);
        next_critical = j + 1 < last && critical(c_next);
        if (this_critical) {
            m = m * critical_layer(n_j, wavelength, stack.thickness(j), p_polarised);
            normalise(m, e);
            if (next_critical) continue;
            m = m * fields_of_modes(n_next, c_next, p_polarised);
        } else {
            std::int32_t layer_exponent;
            m = m * scaled_propagation(n_j, c_j, wavelength, stack.thickness(j), layer_exponent);
            e = add_exponents(e, layer_exponent);
            normalise(m, e);
            m = m * (next_critical ? modes_of_fields(n_j, c_j, p_polarised)
                                   : interface_matrix(n_j, c_j, n_next, c_next, p_polarised));
        }
        normalise(m, e);
    }
    out = m;
    exponent = e;
}

// The regular result of wavelength i, or its exceptional one where the regular
// road failed on finite inputs.
void recompute_if_exceptional(const StackView& stack, std::size_t i, bool p_polarised, bool exceptional, Matrix2& m,
            std::int32_t& exponent) {
    exponent = 0;
    if (exceptional && stack.finite_inputs(i)) exceptional_matrix(stack, i, p_polarised, m, exponent);
}

}  // namespace
}  // namespace STRATA_ISA
}  // namespace strata

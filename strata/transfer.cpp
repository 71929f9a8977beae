#include "strata/transfer.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "strata/data.hpp"
#include "strata/failure.hpp"
#include "strata/lanes.hpp"

namespace strata {
namespace {

constexpr double two_pi = 6.283185307179586;

// Read-only access to one stack at one angle, after its shapes were checked
// for a range of wavelength indices.
class Stack {
public:
    Stack(const Array1<double>& d, const Array2<Complex>& n, const Array1<double>& wl, double theta,
          std::size_t end)
        : d_(d.data()), n_(n.data()), wl_(wl.data()), media_(n.rows()),
          row_stride_(n.row_stride()), col_stride_(n.col_stride()), sin_theta_(std::sin(theta)) {
        // What reading indices below `end` needs: K >= 2 media, a column of n
        // and a wavelength for each index, a thickness for each inner layer.
        if (end > wl.size() || end > n.cols() || n.rows() < 2 || d.size() < n.rows() - 2)
            fail(index_out_of_bounds);
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

// c_j = sqrt(n_j^2 - xi) / n_j: the complex cosine of the propagation angle.
template <class Real>
[[gnu::always_inline]] inline BasicComplex<Real> cosine_in_medium(BasicComplex<Real> index,
                                                                  BasicComplex<Real> xi) {
    return each_lane(square(index) - xi, principal_sqrt) / index;
}

// D_j, the boundary between medium j (index, cosine) and medium j + 1.
template <class Real>
[[gnu::always_inline]] inline BasicMatrix2<Real> interface_matrix(BasicComplex<Real> n_j, BasicComplex<Real> c_j,
                                                                  BasicComplex<Real> n_next,
                                                                  BasicComplex<Real> c_next, bool p_polarised) {
    const BasicComplex<Real> a = p_polarised ? c_j * n_next : c_j * n_j;
    const BasicComplex<Real> b = p_polarised ? c_next * n_j : c_next * n_next;
    const BasicComplex<Real> denominator = a + b;
    const BasicComplex<Real> r = (a - b) / denominator;
    const BasicComplex<Real> t = ((n_j + n_j) * c_j) / denominator;
    const BasicComplex<Real> inverse_t = reciprocal(t);
    const BasicComplex<Real> r_over_t = r / t;
    return {inverse_t, r_over_t, r_over_t, inverse_t};
}

// exp(-w) and exp(+w). For finite w they share one sin and one cos: the C
// library's sin is odd and cos even to the last bit (a test checks this), so
// the pair is what two calls of `exponential` give.
struct ExponentialPair {
    Complex backward;
    Complex forward;
};

[[gnu::always_inline]] inline ExponentialPair exponential_pair(Complex w) {
    if (!std::isfinite(w.re) || !std::isfinite(w.im)) return {exponential(-w), exponential(w)};
    const double cos_y = std::cos(w.im);
    const double sin_y = std::sin(w.im);
    const double grow = std::exp(-w.re);
    const double decay = std::exp(w.re);
    return {{grow * cos_y, grow * -sin_y}, {decay * cos_y, decay * sin_y}};
}

// P_j = diag(exp(-i delta_j), exp(+i delta_j)) for a layer of the given thickness.
template <class Real>
[[gnu::always_inline]] inline BasicMatrix2<Real> propagation_matrix(BasicComplex<Real> n_j, BasicComplex<Real> c_j,
                                                                    Real wavelength, double thickness) {
    const BasicComplex<Real> k = (n_j * (c_j * two_pi)) / wavelength;
    const BasicComplex<Real> w{-k.im * thickness, k.re * thickness};  // i * k * thickness
    BasicComplex<Real> backward{}, forward{};
    for (std::size_t lane = 0; lane < lanes_of<Real>; ++lane) {
        const auto pair = exponential_pair(Complex{get_lane(w.re, lane), get_lane(w.im, lane)});
        set_lane(backward.re, lane, pair.backward.re);
        set_lane(backward.im, lane, pair.backward.im);
        set_lane(forward.re, lane, pair.forward.re);
        set_lane(forward.im, lane, pair.forward.im);
    }
    const BasicComplex<Real> zero{};
    return {backward, zero, zero, forward};
}

// Per-lane truth value of a comparison: bool for double, a lane mask otherwise.
template <class Real>
using Mask = decltype(Real{} == Real{});

// M = D_0 (P_1 D_1) ... (P_{K-2} D_{K-2}), each new pair multiplied on the
// right as (M P_j) D_j, for the wavelengths first .. first + lanes - 1. Out of
// line: inlined into the sweep's loop it measured a few percent slower.
template <class Real>
[[gnu::noinline]] BasicMatrix2<Real> stack_matrix(const Stack& stack, std::size_t first, bool p_polarised) {
    const Real wavelength = stack.wavelengths<Real>(first);
    const BasicComplex<Real> n_0 = stack.index<Real>(0, first);
    const BasicComplex<Real> xi = square(n_0 * stack.sin_theta());  // (n_0 sin theta)^2

    BasicComplex<Real> n_j = n_0;
    BasicComplex<Real> c_j = cosine_in_medium(n_0, xi);
    BasicComplex<Real> n_next = stack.index<Real>(1, first);
    BasicComplex<Real> c_next = cosine_in_medium(n_next, xi);
    BasicMatrix2<Real> m = interface_matrix(n_j, c_j, n_next, c_next, p_polarised);
    for (std::size_t j = 1; j + 1 < stack.media(); ++j) {
        n_j = n_next;
        c_j = c_next;
        n_next = stack.index<Real>(j + 1, first);
        c_next = cosine_in_medium(n_next, xi);
        m = (m * propagation_matrix(n_j, c_j, wavelength, stack.thickness(j))) *
            interface_matrix(n_j, c_j, n_next, c_next, p_polarised);
    }
    return m;
}

Complex lane_of(const BasicComplex<Lanes>& z, std::size_t lane) { return {z.re[lane], z.im[lane]}; }

bool lane_set(const Mask<Lanes>& mask, std::size_t lane) { return mask[lane] != 0; }

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

bool Stack::finite_inputs(std::size_t i) const {
    if (!std::isfinite(wl_[i]) || !std::isfinite(sin_theta_)) return false;
    for (std::size_t medium = 0; medium < media_; ++medium) {
        const Complex index = n_[medium * row_stride_ + i * col_stride_];
        if (!std::isfinite(index.re) || !std::isfinite(index.im)) return false;
    }
    for (std::size_t layer = 1; layer + 1 < media_; ++layer)
        if (!std::isfinite(thickness(layer))) return false;
    return true;
}

// --- Exceptional wavelengths ------------------------------------------------
// A wavelength whose regular product failed although its inputs are finite is
// computed again here, alone: an inner layer exactly at its critical angle
// takes its regular limit, and the running product carries a power-of-two
// exponent so that thick absorbing layers cannot overflow it.

constexpr std::int32_t exponent_limit = 1 << 30;  // far beyond any finite T or R

std::int32_t add_exponents(std::int32_t a, std::int32_t b) {
    const std::int64_t sum = std::int64_t{a} + b;
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(sum, -exponent_limit, exponent_limit));
}

// Scales m by a power of two, exactly, so that its largest part lies in
// [0.5, 1); the power goes into `exponent`. A non-finite or zero m is left alone.
void normalise(Matrix2& m, std::int32_t& exponent) {
    Complex* entries[] = {&m.m00, &m.m10, &m.m01, &m.m11};
    double top = 0.0;
    for (const Complex* z : entries) {
        if (!std::isfinite(z->re) || !std::isfinite(z->im)) return;
        for (const double part : {std::fabs(z->re), std::fabs(z->im)})
            if (part > top) top = part;
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
// split into 2^E exp(r), and the decaying one, 2^-2E smaller, is lost.
Matrix2 scaled_propagation(Complex n_j, Complex c_j, double wavelength, double thickness,
                           std::int32_t& exponent) {
    constexpr double exp_limit = 708.0;
    constexpr double ln2 = 0.6931471805599453;
    const Complex k = (n_j * (c_j * two_pi)) / wavelength;
    const Complex w{-k.im * thickness, k.re * thickness};
    const Complex zero{};
    exponent = 0;
    if (!std::isfinite(w.re) || !std::isfinite(w.im) || !(std::fabs(w.re) > exp_limit)) {
        const auto pair = exponential_pair(w);
        return {pair.backward, zero, zero, pair.forward};
    }
    const double a = std::fabs(w.re);
    const double e = std::fmin(std::nearbyint(a / ln2), double{exponent_limit});
    const double big = std::exp(a - e * ln2);
    const double small = std::exp(-a - e * ln2);
    const double grow = w.re < 0.0 ? big : small;  // exp(-w.re) / 2^e
    const double decay = w.re < 0.0 ? small : big;  // exp(w.re) / 2^e
    const double cos_y = std::cos(w.im);
    const double sin_y = std::sin(w.im);
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
[[gnu::cold, gnu::noinline]] void exceptional_matrix(const Stack& stack, std::size_t i, bool p_polarised,
                                                     Matrix2& out, std::int32_t& exponent) {
    const auto critical = [](Complex c) { return c.re == 0.0 && c.im == 0.0; };
    const std::size_t last = stack.media() - 1;
    const double wavelength = stack.wavelengths<double>(i);
    const Complex n_0 = stack.index<double>(0, i);
    const Complex xi = square(n_0 * stack.sin_theta());

    Complex n_j = n_0;
    Complex c_j = cosine_in_medium(n_0, xi);
    Complex n_next = stack.index<double>(1, i);
    Complex c_next = cosine_in_medium(n_next, xi);
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
        c_next = cosine_in_medium(n_next, xi);
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
void settle(const Stack& stack, std::size_t i, bool p_polarised, bool exceptional, Matrix2& m,
            std::int32_t& exponent) {
    exponent = 0;
    if (exceptional && stack.finite_inputs(i)) exceptional_matrix(stack, i, p_polarised, m, exponent);
}

Matrix2 transfer_at(const Stack& stack, std::size_t i, bool p_polarised, std::int32_t& exponent) {
    Matrix2 m = stack_matrix<double>(stack, i, p_polarised);
    settle(stack, i, p_polarised, out_of_range(m), m, exponent);
    return m;
}

}  // namespace

void transfer_for_wavelengths(const Array1<double>& d, const Array2<Complex>& n, const Array1<double>& wl,
                              double theta, std::size_t begin, std::size_t end, bool p_polarised,
                              Transfer* out, Matrix2 Transfer::*slot, std::int32_t Transfer::*exponent) {
    if (begin >= end) return;
    const Stack stack(d, n, wl, theta, end);
    std::size_t i = begin;
    for (; i + lane_width <= end; i += lane_width) {
        const BasicMatrix2<Lanes> m = stack_matrix<Lanes>(stack, i, p_polarised);
        const Mask<Lanes> exceptional = out_of_range(m);
        for (std::size_t lane = 0; lane < lane_width; ++lane) {
            Transfer& transfer = out[i + lane];
            transfer.*slot = {lane_of(m.m00, lane), lane_of(m.m10, lane), lane_of(m.m01, lane),
                              lane_of(m.m11, lane)};
            settle(stack, i + lane, p_polarised, lane_set(exceptional, lane), transfer.*slot, transfer.*exponent);
        }
    }
    for (; i < end; ++i) out[i].*slot = transfer_at(stack, i, p_polarised, out[i].*exponent);
}

Matrix2 transfer_for_wavelength_helper(const Array1<double>& d, const Array2<Complex>& n,
                                       const Array1<double>& wl, double theta, std::size_t i,
                                       bool p_polarised, std::int32_t* exponent) {
    if (i >= wl.size()) fail(index_out_of_bounds);  // before i + 1 can wrap around
    const Stack stack(d, n, wl, theta, i + 1);
    std::int32_t e;
    const Matrix2 m = transfer_at(stack, i, p_polarised, e);
    if (exponent) *exponent = e;
    return m;
}

Matrix2 Data::transfer_for_wavelength(std::size_t i, bool p_polarised, std::int32_t* exponent) const {
    return transfer_for_wavelength_helper(d_, n_, wl_, theta_, i, p_polarised, exponent);
}

}  // namespace strata

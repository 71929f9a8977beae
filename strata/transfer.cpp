#include "strata/transfer.hpp"

#include <cmath>

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
        return gather_complex<Real>(first, [&](std::size_t i) { return row[i * col_stride_]; });
    }

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

// M = D_0 (P_1 D_1) ... (P_{K-2} D_{K-2}), each new pair multiplied on the
// right as (M P_j) D_j, for the wavelengths first .. first + lanes - 1.
template <class Real>
BasicMatrix2<Real> stack_matrix(const Stack& stack, std::size_t first, bool p_polarised) {
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

}  // namespace

void transfer_for_wavelengths(const Array1<double>& d, const Array2<Complex>& n, const Array1<double>& wl,
                              double theta, std::size_t begin, std::size_t end, bool p_polarised,
                              Transfer* out, Matrix2 Transfer::*slot) {
    if (begin >= end) return;
    const Stack stack(d, n, wl, theta, end);
    std::size_t i = begin;
    for (; i + lane_width <= end; i += lane_width) {
        const BasicMatrix2<Lanes> m = stack_matrix<Lanes>(stack, i, p_polarised);
        for (std::size_t lane = 0; lane < lane_width; ++lane)
            out[i + lane].*slot = {lane_of(m.m00, lane), lane_of(m.m10, lane), lane_of(m.m01, lane),
                                   lane_of(m.m11, lane)};
    }
    for (; i < end; ++i) out[i].*slot = stack_matrix<double>(stack, i, p_polarised);
}

Matrix2 transfer_for_wavelength_helper(const Array1<double>& d, const Array2<Complex>& n,
                                       const Array1<double>& wl, double theta, std::size_t i,
                                       bool p_polarised) {
    if (i >= wl.size()) fail(index_out_of_bounds);  // before i + 1 can wrap around
    const Stack stack(d, n, wl, theta, i + 1);
    return stack_matrix<double>(stack, i, p_polarised);
}

Matrix2 Data::transfer_for_wavelength(std::size_t i, bool p_polarised) const {
    return transfer_for_wavelength_helper(d_, n_, wl_, theta_, i, p_polarised);
}

}  // namespace strata

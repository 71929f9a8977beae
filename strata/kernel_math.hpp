#pragma once
// The characteristic matrix of a stack, for one wavelength or for a lane
// group of them: the arithmetic shared by the kernel copies (kernel.cpp) and
// the one-index form (transfer.cpp). Internal to those files: everything here
// has internal linkage, so each instruction set keeps its own copy, and a
// failure leaves through a function of the baseline code.
#include <cmath>
#include <cstddef>
#include <cstring>

#include "strata/array.hpp"
#include "strata/kernel.hpp"
#include "strata/lanes.hpp"
#include "strata/matrix.hpp"

namespace strata {
inline namespace STRATA_ISA {
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

// Whether a matrix computation keeps its polarisation-independent values:
// not at all, by storing them (s pass) or by loading them (p pass).
enum class Keep { none, store, load };

// One lane group's record of kept values (kernel.hpp, Reuse): field f of a
// lane sits at f * lane_width. For a single wavelength `record` points at its
// lane, so the scalar and the lane forms share the layout.
template <class Real>
class Kept {
public:
    explicit Kept(double* record) : record_(record) {}

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
template <class Real>
[[gnu::always_inline]] inline BasicComplex<Real> cosine_in_medium(BasicComplex<Real> index,
                                                                  BasicComplex<Real> xi, bool paired) {
    return each_lane(square(index) - xi, [paired](Complex z) { return principal_sqrt(z, paired); }) / index;
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

// exp(-w) and exp(+w). For finite w they share one sin and one cos: the C
// library's sin is odd and cos even to the last bit (a test checks this), so
// the pair is what two calls of `exponential` give.
struct ExponentialPair {
    Complex backward;
    Complex forward;
};

[[gnu::always_inline]] inline ExponentialPair exponential_pair(Complex w, bool paired) {
    if (!std::isfinite(w.re) || !std::isfinite(w.im)) return {exponential(-w), exponential(w)};
    double sin_y, cos_y;
    sin_cos(w.im, paired, sin_y, cos_y);
    const double grow = std::exp(-w.re);
    const double decay = std::exp(w.re);
    return {{grow * cos_y, grow * -sin_y}, {decay * cos_y, decay * sin_y}};
}

// The diagonal of P_j = diag(exp(-i delta_j), exp(+i delta_j)).
template <class Real>
struct Propagation {
    BasicComplex<Real> backward;
    BasicComplex<Real> forward;
};

template <class Real>
[[gnu::always_inline]] inline Propagation<Real> propagation(BasicComplex<Real> n_j, BasicComplex<Real> c_j,
                                                            Real wavelength, double thickness, bool paired) {
    const BasicComplex<Real> k = (n_j * (c_j * two_pi)) / wavelength;
    const BasicComplex<Real> w{-k.im * thickness, k.re * thickness};  // i * k * thickness
    double backward_re[lanes_of<Real>], backward_im[lanes_of<Real>];
    double forward_re[lanes_of<Real>], forward_im[lanes_of<Real>];
    for (std::size_t lane = 0; lane < lanes_of<Real>; ++lane) {
        const auto pair = exponential_pair(Complex{get_lane(w.re, lane), get_lane(w.im, lane)}, paired);
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
// Keep::load the cosines and exponentials come from `record` as an earlier
// Keep::store computation of the same wavelengths left them.
template <class Real, bool p_polarised, Keep keep>
BasicMatrix2<Real> stack_matrix(const Stack& stack, std::size_t first, double* record, bool paired) {
    const std::size_t media = stack.media();
    const Kept<Real> kept(record);
    const BasicComplex<Real> n_0 = stack.index<Real>(0, first);
    Real wavelength{};
    BasicComplex<Real> xi{};
    if constexpr (keep != Keep::load) {
        wavelength = stack.wavelengths<Real>(first);
        xi = square(n_0 * stack.sin_theta());  // (n_0 sin theta)^2
    }
    auto cosine = [&](std::size_t medium, BasicComplex<Real> index) {
        if constexpr (keep == Keep::load) {
            return kept.load(Kept<Real>::cosine_field(medium));
        } else {
            const BasicComplex<Real> c = cosine_in_medium(index, xi, paired);
            if constexpr (keep == Keep::store) kept.store(Kept<Real>::cosine_field(medium), c);
            return c;
        }
    };
    auto layer = [&](std::size_t j, BasicComplex<Real> n_j, BasicComplex<Real> c_j) {
        const std::size_t field = Kept<Real>::exponential_field(media, j);
        if constexpr (keep == Keep::load) {
            return Propagation<Real>{kept.load(field), kept.load(field + 2)};
        } else {
            const Propagation<Real> p = propagation(n_j, c_j, wavelength, stack.thickness(j), paired);
            if constexpr (keep == Keep::store) {
                kept.store(field, p.backward);
                kept.store(field + 2, p.forward);
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

}  // namespace
}  // namespace STRATA_ISA
}  // namespace strata

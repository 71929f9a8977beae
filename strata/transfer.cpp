#include "strata/transfer.hpp"

#include <cmath>

#include "strata/data.hpp"
#include "strata/failure.hpp"

namespace strata {
namespace {

constexpr double two_pi = 6.283185307179586;

// c_j = sqrt(n_j^2 - xi) / n_j: the complex cosine of the propagation angle.
Complex cosine_in_medium(Complex index, Complex xi) { return principal_sqrt(square(index) - xi) / index; }

// D_j, the boundary between medium j (index, cosine) and medium j + 1.
Matrix2 interface_matrix(Complex n_j, Complex c_j, Complex n_next, Complex c_next, bool p_polarised) {
    const Complex a = p_polarised ? c_j * n_next : c_j * n_j;
    const Complex b = p_polarised ? c_next * n_j : c_next * n_next;
    const Complex denominator = a + b;
    const Complex r = (a - b) / denominator;
    const Complex t = ((n_j + n_j) * c_j) / denominator;
    const Complex inverse_t = reciprocal(t);
    const Complex r_over_t = r / t;
    return {inverse_t, r_over_t, r_over_t, inverse_t};
}

// P_j = diag(exp(-i delta_j), exp(+i delta_j)) for layer j of the given thickness.
Matrix2 propagation_matrix(Complex n_j, Complex c_j, double wavelength, double thickness) {
    const Complex k = (n_j * (c_j * two_pi)) / wavelength;
    const Complex w{-k.im * thickness, k.re * thickness};  // i * k * thickness
    const Complex zero{0.0, 0.0};
    return {exponential(-w), zero, zero, exponential(w)};
}

}  // namespace

Matrix2 transfer_for_wavelength_helper(const Array1<double>& d, const Array2<Complex>& n,
                                       const Array1<double>& wl, double theta, std::size_t i,
                                       bool p_polarised) {
    if (i >= wl.size() || i >= n.cols() || n.rows() < 2) fail(index_out_of_bounds);
    const double wavelength = wl(i);
    const Complex n_0 = n(0, i);
    const Complex xi = square(n_0 * std::sin(theta));  // (n_0 sin theta)^2, Snell's invariant squared

    Complex n_j = n_0;
    Complex c_j = cosine_in_medium(n_0, xi);
    Complex n_next = n(1, i);
    Complex c_next = cosine_in_medium(n_next, xi);
    Matrix2 m = interface_matrix(n_j, c_j, n_next, c_next, p_polarised);
    for (std::size_t j = 1; j + 1 < n.rows(); ++j) {
        n_j = n_next;
        c_j = c_next;
        const double thickness = d(j - 1);
        n_next = n(j + 1, i);
        c_next = cosine_in_medium(n_next, xi);
        m = (m * propagation_matrix(n_j, c_j, wavelength, thickness)) *
            interface_matrix(n_j, c_j, n_next, c_next, p_polarised);
    }
    return m;
}

Matrix2 Data::transfer_for_wavelength(std::size_t i, bool p_polarised) const {
    return transfer_for_wavelength_helper(d_, n_, wl_, theta_, i, p_polarised);
}

}  // namespace strata

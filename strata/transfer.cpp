#include "strata/transfer.hpp"

#include "strata/data.hpp"
#include "strata/failure.hpp"
#include "strata/kernel_math.hpp"

namespace strata {

// The reference for every kernel copy: one wavelength, separate sin and cos.
Matrix2 transfer_for_wavelength_helper(const Array1<double>& d, const Array2<Complex>& n,
                                       const Array1<double>& wl, double theta, std::size_t i,
                                       bool p_polarised, std::int32_t* exponent) {
    if (i >= wl.size()) fail(index_out_of_bounds);  // before i + 1 can wrap around
    const StackView stack(d, n, wl, theta, i + 1);
    Matrix2 m = p_polarised ? stack_matrix<double, true, ReuseMode::none>(stack, i, nullptr, false)
                            : stack_matrix<double, false, ReuseMode::none>(stack, i, nullptr, false);
    std::int32_t e;
    recompute_if_exceptional(stack, i, p_polarised, out_of_range(m), m, e);
    if (exponent) *exponent = e;
    return m;
}

Matrix2 Data::transfer_for_wavelength(std::size_t i, bool p_polarised, std::int32_t* exponent) const {
    return transfer_for_wavelength_helper(d_, n_, wl_, theta_, i, p_polarised, exponent);
}

}  // namespace strata

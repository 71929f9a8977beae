#pragma once
// The characteristic matrix of a stack for one wavelength and polarisation.
#include <cstddef>
#include <cstdint>

#include "strata/array.hpp"
#include "strata/complex.hpp"
#include "strata/matrix.hpp"

namespace strata {

// Free-standing form: reads only the arrays and the angle, never a Data record
// or its cache. Same bits as Data::transfer_for_wavelength, and as every
// kernel copy's passes (kernel.hpp) at the same index. The matrix is the
// characteristic matrix over 2^exponent, written to `exponent` when given.
Matrix2 transfer_for_wavelength_helper(const Array1<double>& d, const Array2<Complex>& n,
                                       const Array1<double>& wl, double theta, std::size_t i,
                                       bool p_polarised, std::int32_t* exponent = nullptr);

}  // namespace strata

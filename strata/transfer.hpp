#pragma once
// The characteristic matrix of a stack for one wavelength and polarisation.
#include <cstddef>
#include <cstdint>

#include "strata/array.hpp"
#include "strata/complex.hpp"
#include "strata/matrix.hpp"

namespace strata {

struct Transfer;

// Free-standing form for the pool's workers: reads only the arrays and the
// angle, never a Data record or its cache. Same bits as
// Data::transfer_for_wavelength. The matrix is the characteristic matrix over
// 2^exponent, written to `exponent` when given.
Matrix2 transfer_for_wavelength_helper(const Array1<double>& d, const Array2<Complex>& n,
                                       const Array1<double>& wl, double theta, std::size_t i,
                                       bool p_polarised, std::int32_t* exponent = nullptr);

// The same computation for every index in [begin, end), each matrix written to
// the `slot` (s_matrix or p_matrix) of out[i] and its power of two to `exponent`
// (s_exponent or p_exponent). Shapes are checked once, before anything is
// computed; the results are those of the one-index form, bit for bit.
void transfer_for_wavelengths(const Array1<double>& d, const Array2<Complex>& n, const Array1<double>& wl,
                              double theta, std::size_t begin, std::size_t end, bool p_polarised,
                              Transfer* out, Matrix2 Transfer::*slot, std::int32_t Transfer::*exponent);

}  // namespace strata

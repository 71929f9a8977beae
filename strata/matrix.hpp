#pragma once
// 2x2 complex matrix, stored column-major: (0,0), (1,0), (0,1), (1,1).
#include "strata/complex.hpp"

namespace strata {

template <class Real>
struct BasicMatrix2 {
    BasicComplex<Real> m00, m10, m01, m11;
};

using Matrix2 = BasicMatrix2<double>;

inline namespace STRATA_ISA {

// Row by column; zero entries are multiplied like any other, so infinities and
// NaNs spread exactly as the full product says.
template <class Real>
inline BasicMatrix2<Real> operator*(const BasicMatrix2<Real>& a, const BasicMatrix2<Real>& b) {
    return {
        a.m00 * b.m00 + a.m01 * b.m10,
        a.m10 * b.m00 + a.m11 * b.m10,
        a.m00 * b.m01 + a.m01 * b.m11,
        a.m10 * b.m01 + a.m11 * b.m11,
    };
}

}  // namespace STRATA_ISA
}  // namespace strata

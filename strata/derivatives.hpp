#pragma once
// Exact derivatives of the amplitudes r and t of one stack point.
//
// Thicknesses and indices: every characteristic matrix has determinant 1, so
// <x, Phi y> = <Phi^-1 x, y> for the pairing <x, y> = x.e y.h - x.h y.e, and
// the derivative of r with respect to anything inside layer j is the pairing
// of the physical fields on the layer's two sides through dPhi_j (a prefix
// and a suffix product, both built in one sweep each way); t needs, instead
// of the fields at the near side, those of the wave sent back towards the
// incidence medium (the forward sweep from the front). With the modes of the
// half-infinite media u_f, u_b, P = <u_b, u_f>, the exit mode e and F, Psi the
// two solutions (Psi = t Phi_<j^-1 u_b):
//   dr = -(sum_j <F_j-1, dPhi_j F_j> + <du_f + r du_b, F_0> + t^2 <e, de>) / P
//   dt =  (t dP - t <du_b, F_0> - sum_j <Psi_j-1, dPhi_j F_j> - t <Psi_exit, de>) / P
//
// The vacuum wavenumber k0: first and second derivatives by carrying
// (value, d/dk0, d^2/dk0^2) through the same sweep, material dispersion
// included through dn/dlambda and d^2n/dlambda^2.
#include <cstdint>
#include <vector>

#include "strata/fields.hpp"

namespace strata {

// The backward-travelling solution's vectors, reused between calls of one thread.
struct DerivativeWorkspace {
    std::vector<ScaledPair> reverse;
};

// d/dd_j at [j - 1] (j = 1 .. K-2) and d/dn_m at [m] (m = 0 .. K-1; the
// complex derivative, r and t being analytic in each index). Any output may
// be null.
void amplitude_derivatives(const FieldSolution& solution, const StackPoint& point, DerivativeWorkspace& work,
                           Complex* dr_dd, Complex* dt_dd, Complex* dr_dn, Complex* dt_dn);

// A value with its first and second derivative in one real variable.
struct Jet {
    Complex v;
    Complex d1;
    Complex d2;
};

// With the first two derivatives of log r and log t, whose imaginary parts are the phases'.
// They are formed from finite factors (t's decay and scale kept apart), so they stay exact where
// |t| is too small for t'/t to be taken from the jet, or t underflows to 0.
struct WavenumberJets {
    Jet r;
    Jet t;
    Complex dlog_r, d2log_r;
    Complex dlog_t, d2log_t;
};

// r and t with their first two derivatives in k0 = 2 pi / lambda, s at
// out[0] and p at out[1]. dn_dwl and d2n_dwl2 (each K values at this
// wavelength, or null for none) carry the material dispersion.
void wavenumber_jets(const StackPoint& point, const Complex* dn_dwl, const Complex* d2n_dwl2,
                     WavenumberJets (&out)[2]);

}  // namespace strata

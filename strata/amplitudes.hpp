#pragma once
// Complex amplitudes from the characteristic matrices, and what follows from
// them: lamina's R and T (the same formulas in the same order as
// Data::get_r_power_vec and get_t_power_vec), T as a power flux, Psi and Delta.
#include <cstddef>
#include <cstdint>

#include "strata/batch.hpp"
#include "strata/complex.hpp"
#include "strata/matrix.hpp"

namespace strata {

// r = M10 / M00; the matrix's power-of-two exponent cancels.
Complex reflection_amplitude(const Matrix2& m);

// t = 1 / M00 of the true matrix m * 2^exponent: the parts of 1 / m00 scaled
// by 2^-exponent (finite wherever T is; it may underflow to 0).
Complex transmission_amplitude(const Matrix2& m, std::int32_t exponent);

// Re(n_last cos theta_last) / Re(n_0 cos theta_0) in lamina's form (eta of
// Data::get_t_power_vec): Re(w / a), w = sqrt(n_last^2 - n_0^2 sin^2 theta),
// a = n_0 cos theta.
double transmission_ratio(Complex n_0, Complex n_last, double sin_theta, double cos_theta);

// Results per (polarisation, stack, angle, wavelength); null pointers are not
// computed. Polarisation-resolved arrays are (2, B, A, W), s first; the
// others (B, A, W), all C-contiguous.
struct AmplitudeOutputs {
    Complex* r = nullptr;
    Complex* t = nullptr;
    // lamina's mixed spectra at polarisation angle phi: the bits of
    // DataPy(d, n, wl, theta, phi).simulate() for each stack and angle.
    double* reflectance = nullptr;
    double* transmittance = nullptr;
    double phi = 0.0;
    // T for s and p: the power flux through the exit medium over the incident
    // one (tmm and PyMoosh: Re(n conj(cos)) for p), or with flux false
    // lamina's eta for both polarisations.
    double* polarised_transmittance = nullptr;
    bool flux = true;
    // R for s and p, |r|^2 with |r| as hypot gives it: spectra's reflectance
    // at phi = 0 (s) and pi / 2 (p), bit for bit.
    double* polarised_reflectance = nullptr;
    // tan Psi exp(i Delta) = -r_p / r_s, in radians (tmm's ellips).
    double* psi = nullptr;
    double* delta = nullptr;
};

void batch_amplitudes(const BatchInput& input, const AmplitudeOutputs& outputs, bool normal_shortcut);

}  // namespace strata

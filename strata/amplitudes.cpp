#include "strata/amplitudes.hpp"

#include <algorithm>
#include <cmath>

#include "strata/kernel.hpp"

namespace strata {
namespace {

// x * 2^exponent; a zero exponent leaves x as it is (Data's spectra scale so).
double times_power_of_two(double x, std::int32_t exponent) {
    return exponent == 0 ? x : std::ldexp(x, std::clamp(exponent, -4096, 4096));
}

// z over a power of two that brings its larger part near 1, for products
// that must neither overflow nor underflow.
Complex balanced(Complex z) {
    const double top = std::fmax(std::fabs(z.re), std::fabs(z.im));
    if (!(top > 0.0) || !std::isfinite(top)) return z;
    const int k = std::ilogb(top);
    return {std::ldexp(z.re, -k), std::ldexp(z.im, -k)};
}

// The power flux into the exit medium over the incident one, for each
// polarisation (tmm's T): Re(n_last cos_last) / Re(n_0 cos theta) for s and
// Re(n_last conj(cos_last)) / Re(n_0 conj(cos theta)) for p, where
// cos_last = w / n_last.
struct FluxRatios {
    double s;
    double p;
};

FluxRatios flux_ratios(Complex n_0, Complex n_last, double sin_theta, double cos_theta) {
    const Complex n_0_squared = square(n_0);
    const Complex n_last_squared = square(n_last);
    const double q = sin_theta * sin_theta;
    const Complex w = principal_sqrt(
        Complex{n_last_squared.re - n_0_squared.re * q, n_last_squared.im - n_0_squared.im * q});
    const Complex cos_last = w / n_last;
    // Re(n_0 cos theta) = Re(n_0 conj(cos theta)): the angle is real.
    const double incident = n_0.re * cos_theta;
    return {w.re / incident, (n_last.re * cos_last.re + n_last.im * cos_last.im) / incident};
}

}  // namespace

Complex reflection_amplitude(const Matrix2& m) { return m.m10 / m.m00; }

Complex transmission_amplitude(const Matrix2& m, std::int32_t exponent) {
    const Complex t = reciprocal(m.m00);
    return {times_power_of_two(t.re, -exponent), times_power_of_two(t.im, -exponent)};
}

// Data::get_t_power_vec's eta, operation for operation.
double transmission_ratio(Complex n_0, Complex n_last, double sin_theta, double cos_theta) {
    n_0 = canonical_index(n_0);
    n_last = canonical_index(n_last);
    const double q = sin_theta * sin_theta;
    const Complex n_0_squared = square(n_0);
    const Complex n_last_squared = square(n_last);
    const Complex z{n_last_squared.re - n_0_squared.re * q, n_last_squared.im - n_0_squared.im * q};
    const Complex w = principal_sqrt(z);
    const Complex a = n_0 * cos_theta;
    return (w.re * a.re + w.im * a.im) / (a.re * a.re + a.im * a.im);
}

void batch_amplitudes(const BatchInput& input, const AmplitudeOutputs& out, bool normal_shortcut) {
    const std::size_t B = input.stacks, A = input.angles, W = input.wavelengths;
    const double c = std::cos(out.phi);
    const double s = std::sin(out.phi);
    const bool needs_ratios = out.transmittance != nullptr || out.polarised_transmittance != nullptr;
    const bool needs_rho = out.reflectance != nullptr || out.polarised_reflectance != nullptr ||
                           out.psi != nullptr || out.delta != nullptr;
    const Kernel& chosen = kernel();
    const LaneMath& math = lane_math(chosen);
    auto sink = [&](const Block& block) {
        const double sin_theta = std::sin(block.theta);
        const double cos_theta = std::cos(block.theta);
        const std::size_t last = block.n.rows() - 1;
        const std::size_t count = block.end - block.begin;
        // |r| and |1 / m00| of the block, a lane group at a time as the sweep's spectra take them.
        double rho[2][block_wavelengths], inverse[2][block_wavelengths];
        if (needs_rho) chosen.moduli(block.transfers.data(), count, true, rho[0], rho[1], math);
        if (needs_ratios) chosen.moduli(block.transfers.data(), count, false, inverse[0], inverse[1], math);
        for (std::size_t i = 0; i < count; ++i) {
            const Transfer& transfer = block.transfers[i];
            const std::size_t at = (block.stack * A + block.angle) * W + block.begin + i;
            const std::size_t p_at = at + B * A * W;
            const Complex r_s = reflection_amplitude(transfer.s_matrix);
            const Complex r_p = reflection_amplitude(transfer.p_matrix);
            if (out.r) {
                out.r[at] = r_s;
                out.r[p_at] = r_p;
            }
            if (out.t) {
                out.t[at] = transmission_amplitude(transfer.s_matrix, transfer.s_exponent);
                out.t[p_at] = transmission_amplitude(transfer.p_matrix, transfer.p_exponent);
            }
            const double rho_s = needs_rho ? rho[0][i] : 0.0;
            const double rho_p = needs_rho ? rho[1][i] : 0.0;
            if (out.reflectance) out.reflectance[at] = (rho_s * rho_s) * (c * c) + (rho_p * rho_p) * (s * s);
            if (out.polarised_reflectance) {
                out.polarised_reflectance[at] = rho_s * rho_s;
                out.polarised_reflectance[p_at] = rho_p * rho_p;
            }
            if (needs_ratios) {
                const double tau_s = times_power_of_two(inverse[0][i], -transfer.s_exponent);
                const double tau_p = times_power_of_two(inverse[1][i], -transfer.p_exponent);
                const Complex n_0 = block.n(0, i);
                const Complex n_last = block.n(last, i);
                const double eta = transmission_ratio(n_0, n_last, sin_theta, cos_theta);
                if (out.transmittance) {
                    const double m = (c * c) * (tau_s * tau_s) + (s * s) * (tau_p * tau_p);
                    out.transmittance[at] = m * eta;
                }
                if (out.polarised_transmittance) {
                    if (out.flux) {
                        const FluxRatios ratio =
                            flux_ratios(canonical_index(n_0), canonical_index(n_last), sin_theta, cos_theta);
                        out.polarised_transmittance[at] = (tau_s * tau_s) * ratio.s;
                        out.polarised_transmittance[p_at] = (tau_p * tau_p) * ratio.p;
                    } else {
                        out.polarised_transmittance[at] = (tau_s * tau_s) * eta;
                        out.polarised_transmittance[p_at] = (tau_p * tau_p) * eta;
                    }
                }
            }
            if (out.psi) out.psi[at] = std::atan2(rho_p, rho_s);
            if (out.delta) {
                // -r_p conj(r_s), each scaled first: its argument is Delta.
                const Complex a = balanced(r_p);
                const Complex b = balanced(r_s);
                const Complex z{-(a.re * b.re + a.im * b.im), -(a.im * b.re - a.re * b.im)};
                out.delta[at] = std::atan2(z.im, z.re);
            }
        }
    };
    for_each_block(input, normal_shortcut, sink);
}

}  // namespace strata

#include "strata/data.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "strata/kernel.hpp"
#include "strata/once.hpp"
#include "strata/pool.hpp"
#include "strata/sweep.hpp"

namespace strata {
namespace {

// x * 2^exponent; a zero exponent leaves x as it is.
double times_power_of_two(double x, std::int32_t exponent) {
    return exponent == 0 ? x : std::ldexp(x, exponent);
}

}  // namespace

namespace {
Recycler* new_transfer_lists() { return new Recycler(std::size_t{16} << 20); }
// A simulation holds two copies of each large array at once (the instance's
// and the engine record's): n and wl, and room for one more.
Recycler* new_array_copies() { return new Recycler(std::size_t{64} << 20, 4); }
}  // namespace

Recycler& Recycler::transfer_lists() { return *made_once<Recycler*, new_transfer_lists>(); }
Recycler& Recycler::array_copies() { return *made_once<Recycler*, new_array_copies>(); }

const TransferList& Data::transfers() {
    return transfers([](const Data& data) { return transfer_calc(data); });
}

// The spectra's moduli, a block of wavelengths at a time, by the kernel copy
// the sweep uses (lane-wide hypot where its check allowed it). A sweep of
// millions of wavelengths takes a while here too: it may be interrupted.
template <class Combine>
void for_moduli(const TransferList& list, bool reflected, Combine combine) {
    constexpr std::size_t block = 512;
    const Kernel& chosen = kernel();
    const LaneMath& math = lane_math(chosen);
    double s_moduli[block], p_moduli[block];
    for (std::size_t first = 0; first < list.size(); first += block) {
        if (first % (16 * block) == 0) interruption_point();
        const std::size_t count = std::min(block, list.size() - first);
        chosen.moduli(list.data() + first, count, reflected, s_moduli, p_moduli, math);
        for (std::size_t k = 0; k < count; ++k) combine(first + k, s_moduli[k], p_moduli[k]);
    }
}

Spectrum Data::get_r_power_vec() {
    const TransferList& list = transfers();
    const double c = std::cos(phi_);
    const double s = std::sin(phi_);
    Spectrum reflectance;
    reflectance.reserve(list.size());
    // rho = |m10 / m00| of each polarisation.
    for_moduli(list, true, [&](std::size_t, double rho_s, double rho_p) {
        reflectance.push_back((rho_s * rho_s) * (c * c) + (rho_p * rho_p) * (s * s));
    });
    return reflectance;
}

Spectrum Data::get_t_power_vec() {
    const TransferList& list = transfers();
    const double c = std::cos(phi_);
    const double s = std::sin(phi_);
    const double sin_theta = std::sin(theta_);
    const double cos_theta = std::cos(theta_);
    const double q = sin_theta * sin_theta;
    Spectrum transmittance;
    transmittance.reserve(list.size());
    // |1 / m00| of each polarisation.
    for_moduli(list, false, [&](std::size_t i, double inverse_s, double inverse_p) {
        if (n_.rows() < 1 || i >= n_.cols()) fail(index_out_of_bounds);
        const Complex n_0 = canonical_index(n_(0, i));
        const Complex n_last = canonical_index(n_(n_.rows() - 1, i));
        const Complex n_0_squared = square(n_0);
        const Complex n_last_squared = square(n_last);
        // z = n_last^2 - n_0^2 sin^2 theta = (n_last cos theta_last)^2
        const Complex z{n_last_squared.re - n_0_squared.re * q, n_last_squared.im - n_0_squared.im * q};
        const Complex w = principal_sqrt(z);
        const Complex a = n_0 * cos_theta;
        const double eta = (w.re * a.re + w.im * a.im) / (a.re * a.re + a.im * a.im);  // Re(w / a)
        // |1/M00| scaled back before squaring, so a T that fits is not lost.
        const double tau_s = times_power_of_two(inverse_s, -list[i].s_exponent);
        const double tau_p = times_power_of_two(inverse_p, -list[i].p_exponent);
        const double m = (c * c) * (tau_s * tau_s) + (s * s) * (tau_p * tau_p);
        transmittance.push_back(m * eta);
    });
    return transmittance;
}

}  // namespace strata

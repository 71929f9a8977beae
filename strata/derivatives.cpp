#include "strata/derivatives.hpp"

#include <algorithm>
#include <cmath>

#include "strata/failure.hpp"
#include "strata/matrix.hpp"

namespace strata {
namespace {

constexpr double two_pi = 6.283185307179586;

Complex times_minus_i(Complex z) { return {z.im, -z.re}; }

// A matrix over 2^exponent.
struct ScaledMatrix {
    Matrix2 matrix;
    std::int32_t exponent;
};

// Written row by row, stored column by column as Matrix2 keeps it.
ScaledMatrix by_rows(Complex m00, Complex m01, Complex m10, Complex m11, std::int32_t exponent) {
    return {{m00, m10, m01, m11}, exponent};
}

// The derivatives of layer j's matrix in g = k0 d and, when asked for, in
// sigma and in nu; over 2^exponent like the layer's functions.
struct LayerDerivatives {
    ScaledMatrix by_g, by_sigma, by_nu;
};

LayerDerivatives layer_derivatives(const FieldSolution& solution, std::size_t j, bool indices) {
    const Medium& m = solution.medium[j];
    const LayerFunctions& lf = solution.layer[j];
    const double g = solution.g[j];
    const Complex gs = lf.s * g;
    const Complex sigma_gs = gs * m.sigma;
    const std::int32_t e = lf.exponent;
    const bool s_polarised = solution.pol == Polarisation::s;
    // Not zero-filled: filling it cost as much as the thickness derivatives
    // themselves; by_sigma and by_nu are read only when asked for here.
    LayerDerivatives out;
    out.by_g = by_rows(-sigma_gs, times_minus_i(s_polarised ? lf.f : lf.f * m.alpha),
                       times_minus_i(lf.f * (s_polarised ? m.sigma : m.nu)), -sigma_gs, e);
    if (!indices) return out;
    const Complex cubic = lf.ds * (g * g * g);                 // g^3 s'
    const Complex diagonal_sigma = lf.s * ((g * g) * -0.5);  // df/dsigma
    const Complex zero{};
    if (s_polarised) {
        out.by_sigma = by_rows(diagonal_sigma, times_minus_i(cubic), times_minus_i(gs + cubic * m.sigma),
                               diagonal_sigma, e);
        out.by_nu = by_rows(zero, zero, zero, zero, e);
    } else {
        out.by_sigma = by_rows(diagonal_sigma, times_minus_i((gs + cubic * m.sigma) / m.nu),
                               times_minus_i(cubic * m.nu), diagonal_sigma, e);
        out.by_nu = by_rows(zero, times_minus_i(-(sigma_gs / square(m.nu))), times_minus_i(gs), zero, e);
    }
    return out;
}

// How a medium's modes and P = <u_b, u_f> move when sigma and nu move by
// (d_sigma, d_nu). A zero move stays zero even where q = 0.
struct ModeMove {
    Complex forward_e, forward_h, backward_e, backward_h;
    Complex pairing;
};

ModeMove mode_move(const Medium& m, Polarisation pol, Complex d_sigma, Complex d_nu) {
    const auto is_zero = [](Complex z) { return z.re == 0.0 && z.im == 0.0; };
    const Complex zero{};
    const Complex dq = is_zero(d_sigma) ? zero : d_sigma / (m.q + m.q);
    if (pol == Polarisation::s) return {zero, dq, zero, -dq, dq + dq};
    const Complex dn = is_zero(d_nu) ? zero : d_nu / (m.n + m.n);
    const Complex dc = dq / m.n - (m.q * dn) / m.nu;
    return {dc, dn, -dc, dn, -(dq + dq)};
}

Complex to_double(Complex z, std::int64_t exponent) { return scale_by_power_of_two(z, exponent); }

}  // namespace

void amplitude_derivatives(const FieldSolution& solution, const StackPoint& point, DerivativeWorkspace& work,
                           Complex* dr_dd, Complex* dt_dd, Complex* dr_dn, Complex* dt_dn) {
    const std::size_t media = solution.media;
    const std::size_t last = media - 1;
    const Polarisation pol = solution.pol;
    const Complex r = solution.r;
    const Complex t = solution.t;
    const Complex p_value = solution.modes_pairing;
    if (p_value.re == 0.0 && p_value.im == 0.0) {
        // Grazing incidence: r = -1 and t = 0 whatever the stack, so every derivative is 0 (the
        // limit: they vanish with q_0).
        for (Complex* out : {dr_dd, dt_dd})
            if (out) std::fill(out, out + (media - 2), Complex{});
        for (Complex* out : {dr_dn, dt_dn})
            if (out) std::fill(out, out + media, Complex{});
        return;
    }
    const Complex minus_inverse_p = -reciprocal(p_value);  // -1 / P
    const bool want_n = dr_dn != nullptr || dt_dn != nullptr;
    if (want_n && !solution.z_derivatives) fail("index derivatives need the layers' z-derivatives");

    // The wave sent back towards the incidence medium, from the front to the exit side:
    // reverse[b] = Phi_<=b^-1 u_b at boundary b.
    work.reverse.resize(media - 1);
    ScaledPair w{solution.incidence.backward_e, solution.incidence.backward_h, 0};
    store(work.reverse[0], w);
    for (std::size_t j = 1; j < last; ++j) {
        const LayerMatrix& a = solution.matrix[j];
        // Phi^-1 = [[f, -upper], [-lower, f]]: the determinant is 1.
        w = {a.diagonal * w.e - a.upper * w.h, a.diagonal * w.h - a.lower * w.e, add_exponents(w.exponent, a.exponent)};
        keep_in_range(w);
        store(work.reverse[j], w);
    }

    // F and Psi are t times the stored vectors: t^2 and the exponents of t join every pairing.
    const Complex t_squared = square(solution.t_mantissa);
    const std::int64_t t_exponents = 2 * std::int64_t{solution.t_exponent};
    const Complex d_xi = (solution.kx * std::sin(point.theta)) * 2.0;  // dxi/dn_0
    Complex r_through_xi{}, t_through_xi{};                           // sum over layers of d/dsigma
    for (std::size_t j = 1; j < last; ++j) {
        const ScaledPair& near_side = solution.boundary[j - 1];
        const ScaledPair& far_side = solution.boundary[j];
        const ScaledPair& back = work.reverse[j - 1];
        const LayerDerivatives dm = layer_derivatives(solution, j, want_n);
        // <near side, M far side> for the physical wave and <back, M far side> for the one sent
        // back, both times t^2 and scaled back: M applied once for the two.
        auto through = [&](const ScaledMatrix& scaled, Complex& physical, Complex& sent_back) {
            const Matrix2& m = scaled.matrix;
            const Complex e = m.m00 * far_side.e + m.m01 * far_side.h;
            const Complex h = m.m10 * far_side.e + m.m11 * far_side.h;
            const std::int64_t common = std::int64_t{far_side.exponent} + scaled.exponent + t_exponents;
            physical = to_double(pairing(near_side.e, near_side.h, e, h) * t_squared, common + near_side.exponent);
            sent_back = to_double(pairing(back.e, back.h, e, h) * t_squared, common + back.exponent);
        };
        const double k0 = solution.k0;
        Complex r_g, t_g;
        through(dm.by_g, r_g, t_g);
        if (dr_dd) dr_dd[j - 1] = (r_g * k0) * minus_inverse_p;
        if (dt_dd) dt_dd[j - 1] = (t_g * k0) * minus_inverse_p;
        if (want_n) {
            const Complex two_n = solution.medium[j].n + solution.medium[j].n;
            Complex r_sigma, t_sigma, r_nu{}, t_nu{};
            through(dm.by_sigma, r_sigma, t_sigma);
            if (pol == Polarisation::p) through(dm.by_nu, r_nu, t_nu);
            if (dr_dn) dr_dn[j] = (two_n * (r_sigma + r_nu)) * minus_inverse_p;
            if (dt_dn) dt_dn[j] = (two_n * (t_sigma + t_nu)) * minus_inverse_p;
            r_through_xi = r_through_xi + r_sigma;
            t_through_xi = t_through_xi + t_sigma;
        }
    }
    if (!want_n) return;

    // The half-infinite media: their modes, and through xi every sigma.
    const ScaledPair front = solution.fields_at_boundary(0);
    const Complex f0_e = scale_by_power_of_two(front.e, front.exponent);
    const Complex f0_h = scale_by_power_of_two(front.h, front.exponent);
    const Modes& exit = solution.exit;
    const ScaledPair& psi_exit = work.reverse[last - 1];
    const Complex psi_e = to_double(solution.t_mantissa * psi_exit.e, std::int64_t{psi_exit.exponent} + solution.t_exponent);
    const Complex psi_h = to_double(solution.t_mantissa * psi_exit.h, std::int64_t{psi_exit.exponent} + solution.t_exponent);
    const Complex t2 = square(t);
    // Sums of the mode terms for given moves of the incidence and exit media.
    auto mode_terms = [&](const ModeMove& in, const ModeMove& out, Complex& dr, Complex& dt) {
        const Complex moved_e = in.forward_e + r * in.backward_e;
        const Complex moved_h = in.forward_h + r * in.backward_h;
        dr = pairing(moved_e, moved_h, f0_e, f0_h) + t2 * pairing(exit.forward_e, exit.forward_h, out.forward_e, out.forward_h);
        dt = t * pairing(in.backward_e, in.backward_h, f0_e, f0_h) + t * pairing(psi_e, psi_h, out.forward_e, out.forward_h) -
             t * in.pairing;
    };
    const Complex zero{};
    const ModeMove still{};
    {
        const Medium& m = solution.medium[last];
        const Complex two_n = m.n + m.n;
        const ModeMove out = mode_move(m, pol, two_n, two_n);
        Complex dr, dt;
        mode_terms(still, out, dr, dt);
        if (dr_dn) dr_dn[last] = dr * minus_inverse_p;
        if (dt_dn) dt_dn[last] = dt * minus_inverse_p;
    }
    {
        const Medium& m = solution.medium[0];
        const Complex two_n = m.n + m.n;
        const ModeMove in = mode_move(m, pol, two_n - d_xi, two_n);
        const ModeMove out = mode_move(solution.medium[last], pol, -d_xi, zero);
        Complex dr, dt;
        mode_terms(in, out, dr, dt);
        dr = dr - r_through_xi * d_xi;
        dt = dt - t_through_xi * d_xi;
        if (dr_dn) dr_dn[0] = dr * minus_inverse_p;
        if (dt_dn) dt_dn[0] = dt * minus_inverse_p;
    }
}

// --- derivatives in k0 ---------------------------------------------------------------------
namespace {

Jet operator+(const Jet& a, const Jet& b) { return {a.v + b.v, a.d1 + b.d1, a.d2 + b.d2}; }
Jet operator-(const Jet& a, const Jet& b) { return {a.v - b.v, a.d1 - b.d1, a.d2 - b.d2}; }
Jet operator-(const Jet& a) { return {-a.v, -a.d1, -a.d2}; }
Jet operator*(const Jet& a, const Jet& b) {
    return {a.v * b.v, a.d1 * b.v + a.v * b.d1, (a.d2 * b.v + (a.d1 * b.d1) * 2.0) + a.v * b.d2};
}
Jet operator/(const Jet& a, const Jet& b) {
    const Complex inverse = reciprocal(b.v);
    const Complex q = a.v * inverse;
    const Complex q1 = (a.d1 - q * b.d1) * inverse;
    const Complex q2 = ((a.d2 - (q1 * b.d1) * 2.0) - q * b.d2) * inverse;
    return {q, q1, q2};
}
Jet times_minus_i(const Jet& a) { return {times_minus_i(a.v), times_minus_i(a.d1), times_minus_i(a.d2)}; }
Jet constant(Complex z) { return {z, {}, {}}; }
Jet scaled(const Jet& a, std::int64_t exponent) {
    return {scale_by_power_of_two(a.v, exponent), scale_by_power_of_two(a.d1, exponent),
            scale_by_power_of_two(a.d2, exponent)};
}
// F(z) from F, F' and F'' at z.v.
Jet compose(Complex f, Complex df, Complex d2f, const Jet& z) {
    return {f, df * z.d1, d2f * square(z.d1) + df * z.d2};
}
Jet root(const Jet& sigma) {
    const Complex q = principal_sqrt(sigma.v);
    const auto zero = [](Complex z) { return z.re == 0.0 && z.im == 0.0; };
    // A medium at grazing incidence stays there as k0 moves (sigma_0 = (n_0 cos theta)^2 = 0).
    if (zero(q) && zero(sigma.d1) && zero(sigma.d2)) return {q, {}, {}};
    const Complex inverse_2q = reciprocal(q + q);
    const Complex q1 = sigma.d1 * inverse_2q;
    const Complex q2 = (sigma.d2 - square(q1) * 2.0) * inverse_2q;
    return {q, q1, q2};
}

struct JetPair {
    Jet e, h;
    std::int32_t exponent;
};

void normalise(JetPair& v) {
    double top = 0.0;
    for (const double part : {v.e.v.re, v.e.v.im, v.h.v.re, v.h.v.im}) {
        if (!std::isfinite(part)) return;
        top = std::max(top, std::fabs(part));
    }
    if (top == 0.0) return;
    const int k = std::ilogb(top) + 1;
    if (k == 0) return;
    v.e = scaled(v.e, -k);
    v.h = scaled(v.h, -k);
    v.exponent = add_exponents(v.exponent, k);
}

Jet times_i(const Jet& a) { return -times_minus_i(a); }
Jet scale(const Jet& a, double k) { return {a.v * k, a.d1 * k, a.d2 * k}; }

// exp(mu) / 2^exponent as a jet.
Jet exponential_jet(const Jet& mu, std::int64_t exponent) {
    constexpr double ln2 = 0.6931471805599453;
    const Complex value = exponential(Complex{mu.v.re - double(exponent) * ln2, mu.v.im});
    return {value, mu.d1 * value, (mu.d2 + square(mu.d1)) * value};
}

// (log a)' = a'/a and (log a)'' = a''/a - (a'/a)^2, a's value first scaled by a power of two
// to about 1: the quotients square it, which under- or overflows long before a does.
void log_derivatives(const Jet& a, Complex& first, Complex& second) {
    const double top = std::max(std::fabs(a.v.re), std::fabs(a.v.im));
    const Jet b = (top > 0.0 && std::isfinite(top)) ? scaled(a, -std::int64_t{std::ilogb(top)}) : a;
    first = b.d1 / b.v;
    second = b.d2 / b.v - square(first);
}

Jet jet_pairing(const Jet& xe, const Jet& xh, const Jet& ye, const Jet& yh) { return xe * yh - xh * ye; }

struct JetModes {
    Jet forward_e, forward_h, backward_e, backward_h;
};

JetModes jet_modes(const Jet& n, const Jet& q, Polarisation pol) {
    if (pol == Polarisation::s) return {constant({1.0, 0.0}), q, constant({1.0, 0.0}), -q};
    const Jet c = q / n;
    return {c, n, -c, n};
}

}  // namespace

void wavenumber_jets(const StackPoint& point, const Complex* dn_dwl, const Complex* d2n_dwl2,
                     WavenumberJets (&out)[2]) {
    constexpr Polarisation pols[2] = {Polarisation::s, Polarisation::p};
    const std::size_t media = point.media;
    if (media < 2) fail(index_out_of_bounds);
    const double wavelength = point.wavelength;
    const double k0 = two_pi / wavelength;
    // lambda = 2 pi / k0: dlambda/dk0 = -lambda^2 / 2 pi, d2lambda/dk0^2 = lambda^3 / 2 pi^2.
    const double dl = -(wavelength * wavelength) / two_pi;
    const double d2l = (wavelength * wavelength * wavelength) * 2.0 / (two_pi * two_pi);
    auto index = [&](std::size_t m) {
        const Complex n = canonical_index(point.n[m]);
        const Complex first = dn_dwl ? dn_dwl[m] : Complex{};
        const Complex second = d2n_dwl2 ? d2n_dwl2[m] : Complex{};
        return Jet{n, first * dl, second * (dl * dl) + first * d2l};
    };
    const double sin_theta = std::sin(point.theta);
    const Jet n_0 = index(0);
    const Jet kx{n_0.v * sin_theta, n_0.d1 * sin_theta, n_0.d2 * sin_theta};
    const Jet xi = kx * kx;
    auto medium = [&](std::size_t m, Jet& n, Jet& nu, Jet& sigma) {
        n = index(m);
        nu = n * n;
        sigma = nu - xi;
    };

    // Both polarisations in one sweep: they share every medium's and layer's functions.
    Jet n, nu, sigma;
    medium(media - 1, n, nu, sigma);
    const Jet q_exit = root(sigma);
    JetPair v[2];
    for (std::size_t k = 0; k < 2; ++k) {
        const JetModes exit = jet_modes(n, q_exit, pols[k]);
        v[k] = {exit.forward_e, exit.forward_h, 0};
        normalise(v[k]);
    }
    Jet log_factor{};  // the growing factors exp(-i delta_j) kept out of v, summed as logarithms
    for (std::size_t j = media - 2; j >= 1; --j) {
        medium(j, n, nu, sigma);
        const double d = point.d[j - 1];
        const Jet g{{k0 * d, 0.0}, {d, 0.0}, {}};
        Jet q = root(sigma);
        if (q.v.im < 0.0) q = -q;  // Phi is even in q: take the root that decays forwards
        Jet f, upper[2], lower[2];
        std::int32_t layer_exponent = 0;
        if (g.v.re * q.v.im > 2.0) {
            // An absorbing or evanescent layer: Phi = exp(-i delta) Phi~ with the growing factor
            // carried apart, so that its large derivatives (d/dk0 ~ q d) never cancel in Phi~'s.
            const Jet delta = g * q;
            const Jet decay = exponential_jet(times_i(scale(delta, 2.0)), 0);  // exp(2 i delta), small
            const Jet one = constant({1.0, 0.0});
            const Jet half_difference = scale(one - decay, 0.5);
            f = scale(one + decay, 0.5);
            upper[0] = half_difference / q;
            lower[0] = half_difference * q;
            upper[1] = half_difference * q / nu;
            lower[1] = half_difference * nu / q;
            log_factor = log_factor - times_i(delta);
        } else {
            const Jet z = sigma * (g * g);
            const LayerFunctions lf = layer_functions(q.v, g.v.re, true);
            f = compose(lf.f, lf.s * -0.5, lf.ds * -0.5, z);
            const Jet gs = g * compose(lf.s, lf.ds, lf.d2s, z);
            upper[0] = times_minus_i(gs);
            lower[0] = times_minus_i(gs * sigma);
            upper[1] = times_minus_i(gs * sigma / nu);
            lower[1] = times_minus_i(gs * nu);
            layer_exponent = lf.exponent;
        }
        for (std::size_t k = 0; k < 2; ++k) {
            JetPair& w = v[k];
            w = {f * w.e + upper[k] * w.h, lower[k] * w.e + f * w.h, add_exponents(w.exponent, layer_exponent)};
            normalise(w);
        }
    }
    medium(0, n, nu, sigma);
    const Jet q_0 = root(sigma);
    for (std::size_t k = 0; k < 2; ++k) {
        const JetModes in = jet_modes(n, q_0, pols[k]);
        const Jet g_value = jet_pairing(in.backward_e, in.backward_h, v[k].e, v[k].h);
        const Jet p_value = jet_pairing(in.backward_e, in.backward_h, in.forward_e, in.forward_h);
        out[k].r = -(jet_pairing(in.forward_e, in.forward_h, v[k].e, v[k].h) / g_value);
        const Jet t_over_decay = p_value / g_value;  // t without exp(-log_factor) / 2^exponent
        out[k].t = t_over_decay * exponential_jet(-log_factor, v[k].exponent);
        log_derivatives(out[k].r, out[k].dlog_r, out[k].d2log_r);
        // log t = log(P / G) - log_factor - exponent ln 2: no factor that can underflow.
        log_derivatives(t_over_decay, out[k].dlog_t, out[k].d2log_t);
        out[k].dlog_t = out[k].dlog_t - log_factor.d1;
        out[k].d2log_t = out[k].d2log_t - log_factor.d2;
    }
}

}  // namespace strata

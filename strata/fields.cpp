#include "strata/fields.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "strata/failure.hpp"
#include "strata/kernel.hpp"

namespace strata {
namespace {

constexpr double two_pi = 6.283185307179586;
constexpr std::size_t series_terms = 18;
// |z| below which f, s and their derivatives come from their power series:
// the closed forms divide by z and would cancel there.
constexpr double series_radius_squared = 16.0;

// (-1)^k / (2k+1)!, the coefficients of sin sqrt z / sqrt z.
constexpr std::array<double, series_terms> sine_coefficients = [] {
    std::array<double, series_terms> a{};
    double factorial = 1.0;
    for (std::size_t k = 0; k < series_terms; ++k) {
        factorial *= k == 0 ? 1.0 : double(2 * k) * double(2 * k + 1);
        a[k] = (k % 2 ? -1.0 : 1.0) / factorial;
    }
    return a;
}();

Complex times_minus_i(Complex z) { return {z.im, -z.re}; }

// z * 2^k, exactly; the series parts of a layer share its functions' scale
// (a scaled layer has |z| far beyond the series' reach, so k is 0 there).
Complex ldexp_complex(Complex z, int k) { return k == 0 ? z : Complex{std::ldexp(z.re, k), std::ldexp(z.im, k)}; }

// The principal square root (Re >= 0; on the negative real axis the sign of
// y's zero picks the side, as principal_sqrt does) from hypot and sqrt alone:
// to rounding, not to principal_sqrt's bits, and several times cheaper.
Complex root_of(Complex z) {
    const double x = z.re;
    const double y = z.im;
    if (y == 0.0 && !std::signbit(x)) return {std::sqrt(x), y};
    if (!std::isfinite(x) || !std::isfinite(y)) return principal_sqrt(z);
    const double r = std::hypot(x, y);
    if (x >= 0.0) {
        const double re = std::sqrt(0.5 * (r + x));
        return {re, y / (re + re)};
    }
    const double im = std::copysign(std::sqrt(0.5 * (r - x)), y);
    return {y / (im + im), im};  // y and im share their sign: Re >= 0
}

}  // namespace

double scaled_by_power_of_two(double x, std::int64_t exponent) {
    return std::ldexp(x, static_cast<int>(std::clamp<std::int64_t>(exponent, -100000, 100000)));
}

void bring_into_range(ScaledPair& v) {
    double top = 0.0;
    for (const double part : {v.e.re, v.e.im, v.h.re, v.h.im}) {
        if (!std::isfinite(part)) return;
        top = std::max(top, std::fabs(part));
    }
    if (top == 0.0 || (top > 0x1p-256 && top < 0x1p256)) return;
    const int k = std::ilogb(top) + 1;
    v.e = {std::ldexp(v.e.re, -k), std::ldexp(v.e.im, -k)};
    v.h = {std::ldexp(v.h.re, -k), std::ldexp(v.h.im, -k)};
    v.exponent = add_exponents(v.exponent, k);
}

namespace {

// Whether exp(y) is asked for (exp_of below): up to e^600 a layer's functions
// are unscaled, which leaves its matrix room for its factors q, n^2 / q.
bool unscaled(double y) { return std::fabs(y) <= 600.0 || !std::isfinite(y); }

// layer_functions with sincos(x) and exp(y), x + iy = q g, from `sin_cos_of(s, c)`
// and `exp_of()`: the library's calls, or the lane-wide ones' copies of them.
template <class SinCos, class Exp>
LayerFunctions layer_functions_by(Complex q, double g, bool z_derivatives, SinCos sin_cos_of, Exp exp_of) {
    LayerFunctions out{};
    const Complex delta = q * g;
    const double y = delta.im;
    double cosh_y, sinh_y;
    if (unscaled(y)) {
        const double grow = exp_of();
        const double fade = 1.0 / grow;
        cosh_y = 0.5 * (grow + fade);
        // sinh from its series where the difference would cancel.
        const double y2 = y * y;
        sinh_y = std::fabs(y) < 0.125
                     ? y * (1.0 + y2 * (1.0 / 6.0 + y2 * (1.0 / 120.0 + y2 * (1.0 / 5040.0 + y2 / 362880.0))))
                     : 0.5 * (grow - fade);
    } else {
        // cosh y and sinh y over 2^E; the decaying half is far below rounding.
        constexpr double ln2_high = 0.693147180369123816490;  // few bits: E * ln2_high is exact
        constexpr double ln2_low = 1.90821492927058770002e-10;
        const double a = std::fabs(y);
        const double e = std::nearbyint(a / 0.6931471805599453);
        const double big = 0.5 * std::exp((a - e * ln2_high) - e * ln2_low);
        cosh_y = big;
        sinh_y = y < 0.0 ? -big : big;
        out.exponent = static_cast<std::int32_t>(std::min(e, double{1 << 30}));
    }
    double sin_x, cos_x;
    sin_cos_of(sin_x, cos_x);
    out.f = {cos_x * cosh_y, -(sin_x * sinh_y)};
    const Complex sine{sin_x * cosh_y, cos_x * sinh_y};
    // sin delta / delta: exact to rounding down to delta = 0, its limit there.
    out.s = (delta.re == 0.0 && delta.im == 0.0) ? Complex{1.0, 0.0} : sine / delta;
    if (!z_derivatives) return out;
    const Complex z = square(delta);
    if (z.re * z.re + z.im * z.im < series_radius_squared) {
        // Horner from the highest term of s's series, differentiated once and twice.
        Complex ds{}, d2s{};
        for (std::size_t k = series_terms; k-- > 1;) {
            ds = ds * z + Complex{sine_coefficients[k] * double(k), 0.0};
            if (k >= 2) d2s = d2s * z + Complex{sine_coefficients[k] * double(k * (k - 1)), 0.0};
        }
        out.ds = ldexp_complex(ds, -out.exponent);
        out.d2s = ldexp_complex(d2s, -out.exponent);
        return out;
    }
    const Complex two_z = z + z;
    out.ds = (out.f - out.s) / two_z;
    out.d2s = (out.s * -0.5 - out.ds * 3.0) / two_z;
    return out;
}

}  // namespace

LayerFunctions layer_functions(Complex q, double g, bool z_derivatives) {
    const Complex delta = q * g;
    return layer_functions_by(
        q, g, z_derivatives, [&](double& sin_x, double& cos_x) { ::sincos(delta.re, &sin_x, &cos_x); },
        [&] { return std::exp(delta.im); });
}

Modes modes_of(const Medium& medium, Polarisation pol) {
    if (pol == Polarisation::s) return {{1.0, 0.0}, medium.q, {1.0, 0.0}, -medium.q};
    const Complex c = medium.q / medium.n;
    return {c, medium.n, -c, medium.n};
}

ScaledPair FieldSolution::fields_at_boundary(std::size_t b) const {
    const ScaledPair& v = boundary.at(b);
    ScaledPair out{t_mantissa * v.e, t_mantissa * v.h, 0};
    const std::int64_t e = std::int64_t{v.exponent} + t_exponent;
    out.exponent = static_cast<std::int32_t>(std::clamp<std::int64_t>(e, -(1 << 30), 1 << 30));
    return out;
}

void prepare_fields(const StackPoint& point, bool z_derivatives, FieldSolution& out) {
    const std::size_t media = point.media;
    if (media < 2) fail(index_out_of_bounds);
    out.media = media;
    out.k0 = two_pi / point.wavelength;
    out.z_derivatives = z_derivatives;
    const Complex n_0 = canonical_index(point.n[0]);
    out.kx = n_0 * std::sin(point.theta);
    out.xi = square(out.kx);
    out.medium.resize(media);
    out.g.resize(media);
    out.thickness.resize(media);
    out.layer.resize(media);
    out.boundary.resize(media - 1);
    for (std::size_t m = 0; m < media; ++m) {
        const Complex n = canonical_index(point.n[m]);
        const Complex nu = square(n);
        const Complex sigma = nu - out.xi;
        out.medium[m] = {n, nu, sigma, root_of(sigma), sigma / nu};
    }
    // Every layer's sincos and exp in one lane-wide call each, where the process
    // allows them (the library's bits); the library's calls otherwise.
    const Kernel& chosen = kernel();
    const LaneMath& math = lane_math(chosen);
    const bool lane_sincos = math.sincos && chosen.sincos_array != nullptr;
    const bool lane_exp = math.exp && chosen.exp_array != nullptr;
    std::vector<double>& x = out.arguments[0];
    std::vector<double>& y = out.arguments[1];
    std::vector<double>& sin_x = out.arguments[2];
    std::vector<double>& cos_x = out.arguments[3];
    std::vector<double>& grow = out.arguments[4];
    for (std::vector<double>* v : {&x, &y, &sin_x, &cos_x, &grow}) v->resize(media);
    for (std::size_t j = 1; j + 1 < media; ++j) {
        out.thickness[j] = point.d[j - 1];
        out.g[j] = out.k0 * point.d[j - 1];
        const Complex delta = out.medium[j].q * out.g[j];
        // Arguments the lane-wide functions do not take are left to the library.
        x[j] = std::isfinite(delta.re) ? delta.re : 0.0;
        y[j] = std::isfinite(delta.im) && unscaled(delta.im) ? delta.im : 0.0;
    }
    const std::size_t layers = media - 2;
    if (lane_sincos && layers > 0)
        chosen.sincos_array(x.data() + 1, sin_x.data() + 1, cos_x.data() + 1, layers, math.sincos_variant);
    if (lane_exp && layers > 0) chosen.exp_array(y.data() + 1, grow.data() + 1, layers, math.exp_variant);
    for (std::size_t j = 1; j + 1 < media; ++j) {
        const Complex q = out.medium[j].q;
        const Complex delta = q * out.g[j];
        out.layer[j] = layer_functions_by(
            q, out.g[j], z_derivatives,
            [&](double& s, double& c) {
                if (lane_sincos && std::isfinite(delta.re)) {
                    s = sin_x[j];
                    c = cos_x[j];
                } else {
                    ::sincos(delta.re, &s, &c);
                }
            },
            [&] { return lane_exp && std::isfinite(delta.im) ? grow[j] : std::exp(delta.im); });
    }
}

namespace {

LayerMatrix matrix_of(const Medium& m, const LayerFunctions& lf, double g, Polarisation pol) {
    const Complex gs = lf.s * g;
    if (pol == Polarisation::s) return {lf.f, times_minus_i(gs), times_minus_i(gs * m.sigma), lf.exponent};
    return {lf.f, times_minus_i(gs * m.alpha), times_minus_i(gs * m.nu), lf.exponent};
}

}  // namespace

void solve_prepared(Polarisation pol, FieldSolution& out) {
    const std::size_t media = out.media;
    out.pol = pol;
    out.incidence = modes_of(out.medium[0], pol);
    out.exit = modes_of(out.medium[media - 1], pol);

    // From the exit side, where only the forward mode runs, to the front.
    ScaledPair v{out.exit.forward_e, out.exit.forward_h, 0};
    keep_in_range(v);
    store(out.boundary[media - 2], v);
    out.matrix.resize(media);
    for (std::size_t j = media - 2; j >= 1; --j) {
        const LayerMatrix a = matrix_of(out.medium[j], out.layer[j], out.g[j], pol);
        store(out.matrix[j], a);
        v = {a.diagonal * v.e + a.upper * v.h, a.lower * v.e + a.diagonal * v.h, add_exponents(v.exponent, a.exponent)};
        keep_in_range(v);
        store(out.boundary[j - 1], v);
    }
    const Modes& in = out.incidence;
    const ScaledPair& front = out.boundary[0];
    out.modes_pairing = pairing(in.backward_e, in.backward_h, in.forward_e, in.forward_h);
    const Complex g_value = pairing(in.backward_e, in.backward_h, front.e, front.h);
    out.r = -pairing(in.forward_e, in.forward_h, front.e, front.h) / g_value;
    out.t_mantissa = out.modes_pairing / g_value;
    out.t_exponent = -front.exponent;
    out.t = scale_by_power_of_two(out.t_mantissa, out.t_exponent);
}

LayerMatrix layer_matrix(const FieldSolution& solution, std::size_t j, double distance) {
    const Medium& m = solution.medium.at(j);
    const double g = solution.k0 * distance;
    return matrix_of(m, layer_functions(m.q, g, false), g, solution.pol);
}

LayerMatrix layer_matrix(const FieldSolution& solution, std::size_t j) {
    return matrix_of(solution.medium.at(j), solution.layer.at(j), solution.g.at(j), solution.pol);
}

double incident_flux(const FieldSolution& solution) {
    const Modes& in = solution.incidence;
    // Re(conj(E) H) of the forward mode: Re(q_0) for s, Re(conj(c_0) n_0) for p.
    return in.forward_e.re * in.forward_h.re + in.forward_e.im * in.forward_h.im;
}

namespace {

// At grazing incidence (q_0 = 0) nothing enters: r = -1, t = 0, every field
// inside is 0, and so is every flux over the (zero) incident one, in the limit.
double over_incident_flux(const FieldSolution& solution, double value) {
    const double incident = incident_flux(solution);
    return incident == 0.0 && value == 0.0 ? 0.0 : value / incident;
}

// Re(conj(E) H) over the incident flux, (E, H) scaled by 2^exponent.
double flux_of(const FieldSolution& solution, Complex e, Complex h, std::int64_t exponent) {
    const double raw = e.re * h.re + e.im * h.im;
    return over_incident_flux(solution, scale_by_power_of_two(raw, 2 * exponent));
}

// Absorbed power density over the incident flux at fields (E, H) * 2^exponent
// in medium m: -dS/dz = k0 (Im(sigma) |E|^2) for s, k0 (Im(nu) |E|^2 +
// Im(sigma / nu) |H|^2) for p.
double absorption_of(const FieldSolution& solution, const Medium& m, Complex e, Complex h,
                     std::int64_t exponent) {
    const double e2 = e.re * e.re + e.im * e.im;
    double raw;
    if (solution.pol == Polarisation::s) {
        raw = m.sigma.im * e2;
    } else {
        const double h2 = h.re * h.re + h.im * h.im;
        raw = m.nu.im * e2 + (m.sigma / m.nu).im * h2;
    }
    return over_incident_flux(solution, scale_by_power_of_two(raw * solution.k0, 2 * exponent));
}

PointFields point_fields(const FieldSolution& solution, const Medium& m, Complex e, Complex h,
                         std::int64_t exponent) {
    PointFields out{};
    out.e_tangential = scale_by_power_of_two(e, exponent);
    if (solution.pol == Polarisation::p) {
        // E_z = -(n_0 sin theta / n^2) H: the normal E of a p wave.
        out.e_normal = scale_by_power_of_two(-(solution.kx * h) / m.nu, exponent);
    }
    out.poynting = flux_of(solution, e, h, exponent);
    out.absorption = absorption_of(solution, m, e, h, exponent);
    return out;
}

// Fields of a half-infinite medium with mode amplitudes (forward, backward) at
// distance x from its boundary (negative in the incidence medium).
// i k0 q x, the phase of a half-infinite medium's forward mode at distance x.
Complex half_infinite_phase(const FieldSolution& solution, const Medium& m, double x) {
    return Complex{0.0, solution.k0 * x} * m.q;
}

// The same with the modes' factors exp(phase) (grow) and exp(-phase) (fade) given.
PointFields half_infinite_by(const FieldSolution& solution, const Medium& m, const Modes& modes, Complex forward,
                             Complex backward, Complex grow, Complex fade) {
    const Complex f = forward * grow;
    const Complex b = backward * fade;
    const Complex e = modes.forward_e * f + modes.backward_e * b;
    const Complex h = modes.forward_h * f + modes.backward_h * b;
    return point_fields(solution, m, e, h, 0);
}

PointFields half_infinite(const FieldSolution& solution, const Medium& m, const Modes& modes, Complex forward,
                          Complex backward, double x) {
    const Complex phase = half_infinite_phase(solution, m, x);
    return half_infinite_by(solution, m, modes, forward, backward, exponential(phase), exponential(-phase));
}

// exp(w) * 2^exponent, the power of two joined before anything is rounded to a double.
Complex exponential_times_power_of_two(Complex w, std::int64_t exponent) {
    constexpr double ln2_high = 0.693147180369123816490;  // few bits: m * ln2_high is exact
    constexpr double ln2_low = 1.90821492927058770002e-10;
    if (!std::isfinite(w.re) || !std::isfinite(w.im)) return scale_by_power_of_two(exponential(w), exponent);
    // Beyond 2^40 the result is 0 or infinite anyway; the bound keeps the conversion defined.
    const double m = std::fmin(std::fmax(std::nearbyint(w.re / 0.6931471805599453), -0x1p40), 0x1p40);
    const double rest = (w.re - m * ln2_high) - m * ln2_low;
    double sin_y, cos_y;
    ::sincos(w.im, &sin_y, &cos_y);
    const double size = std::exp(rest);
    return scale_by_power_of_two(Complex{size * cos_y, size * sin_y}, exponent + static_cast<std::int64_t>(m));
}

// Inside a layer through which light fades by more than e^-2: the forward wave
// taken from the near side and the backward one from the far side, each
// decaying from there. Rebuilt from one side alone, the field would carry the
// rounding of the whole layer's phase, k0 q d, where the physics does not.
PointFields inside_opaque_layer(const FieldSolution& solution, std::size_t j, double from_near, double to_far) {
    const Medium& m = solution.medium[j];
    const Modes modes = modes_of(m, solution.pol);
    const Complex p = pairing(modes.backward_e, modes.backward_h, modes.forward_e, modes.forward_h);
    const ScaledPair near_side = solution.fields_at_boundary(j - 1);
    const ScaledPair far_side = solution.fields_at_boundary(j);
    // F = f u_f + b u_b: f = <u_b, F> / P, b = -<u_f, F> / P.
    const Complex forward = pairing(modes.backward_e, modes.backward_h, near_side.e, near_side.h) / p;
    const Complex backward = -pairing(modes.forward_e, modes.forward_h, far_side.e, far_side.h) / p;
    const Complex ik0q = Complex{0.0, solution.k0} * m.q;
    const Complex f = forward * exponential_times_power_of_two(ik0q * from_near, near_side.exponent);
    const Complex b = backward * exponential_times_power_of_two(ik0q * to_far, far_side.exponent);
    const Complex e = modes.forward_e * f + modes.backward_e * b;
    const Complex h = modes.forward_h * f + modes.backward_h * b;
    return point_fields(solution, m, e, h, 0);
}

// Inside layer j, `a` the matrix of the slice from the depth to the layer's far
// side: the field is built from there, the direction in which it is stable.
PointFields inside_layer(const FieldSolution& solution, std::size_t j, const LayerMatrix& a) {
    const ScaledPair right = solution.fields_at_boundary(j);
    const Complex e = a.diagonal * right.e + a.upper * right.h;
    const Complex h = a.lower * right.e + a.diagonal * right.h;
    return point_fields(solution, solution.medium[j], e, h, std::int64_t{right.exponent} + a.exponent);
}

// The inner layer holding `depth` and its far side's depth, or 0 where the
// depth lies in a half-infinite medium.
std::size_t layer_at(const FieldSolution& solution, double depth, double& end) {
    if (depth < 0.0) return 0;
    double start = 0.0;
    for (std::size_t j = 1; j + 1 < solution.media; ++j) {
        end = start + solution.thickness[j];
        if (depth < end) return j;
        start = end;
    }
    return 0;
}

}  // namespace

PointFields fields_at_depth(const FieldSolution& solution, double depth) {
    const std::size_t media = solution.media;
    if (depth < 0.0) return half_infinite(solution, solution.medium[0], solution.incidence, {1.0, 0.0}, solution.r, depth);
    double start = 0.0;
    for (std::size_t j = 1; j + 1 < media; ++j) {
        const double end = start + solution.thickness[j];
        if (depth < end) {  // a boundary belongs to the deeper medium, as z = 0 to layer 1
            const Medium& m = solution.medium[j];
            if (m.q.im > 0.0 && solution.g[j] * m.q.im > 2.0)
                return inside_opaque_layer(solution, j, depth - start, end - depth);
            return inside_layer(solution, j, layer_matrix(solution, j, std::max(end - depth, 0.0)));
        }
        start = end;
    }
    return half_infinite(solution, solution.medium[media - 1], solution.exit, solution.t, {0.0, 0.0}, depth - start);
}

double flux_at_boundary(const FieldSolution& solution, std::size_t b) {
    const ScaledPair v = solution.fields_at_boundary(b);
    return flux_of(solution, v.e, v.h, v.exponent);
}

void absorbed_in_layers(const FieldSolution& solution, double* absorbed) {
    for (std::size_t j = 1; j + 1 < solution.media; ++j)
        absorbed[j - 1] = flux_at_boundary(solution, j - 1) - flux_at_boundary(solution, j);
}

}  // namespace strata

namespace strata {

// Depths inside transparent enough layers and in the half-infinite media are
// gathered, their sincos and exp computed lane-wide (where those give the
// library's bits, as in the sweep), and each finished as fields_at_depth
// finishes it; depths in opaque layers go through fields_at_depth itself.
// The results are fields_at_depth's, bit for bit.
void fields_at_depths(const FieldSolution& solution, const double* depths, std::size_t count, PointFields* out,
                      DepthWork& work) {
    const Kernel& chosen = kernel();
    const LaneMath& math = lane_math(chosen);
    const bool half_lanes = math.sincos && math.exp && chosen.sincos_array != nullptr &&
                            chosen.exp_array != nullptr && sincos_matches_sin_and_cos();
    for (std::vector<double>* v : {&work.half_re, &work.half_minus_re, &work.half_im}) v->clear();
    work.half_point.clear();
    work.point.clear();
    work.layer.clear();
    work.g.clear();
    work.x.clear();
    work.y.clear();
    for (std::size_t i = 0; i < count; ++i) {
        const double depth = depths[i];
        double end = 0.0;
        const std::size_t j = layer_at(solution, depth, end);
        const Medium& m = solution.medium[j];
        if (j == 0) {
            // A half-infinite medium: exp(+-phase) share one sincos (sin odd and cos even to
            // the last bit) where the library's sincos is its sin and cos.
            const bool incident = depth < 0.0;
            const Medium& medium = solution.medium[incident ? 0 : solution.media - 1];
            const Complex phase = half_infinite_phase(solution, medium, incident ? depth : depth - end);
            if (!(half_lanes && std::isfinite(phase.re) && std::isfinite(phase.im))) {
                out[i] = fields_at_depth(solution, depth);
                continue;
            }
            work.half_point.push_back(i);
            work.half_re.push_back(phase.re);
            work.half_minus_re.push_back(-phase.re);
            work.half_im.push_back(phase.im);
            continue;
        }
        if (m.q.im > 0.0 && solution.g[j] * m.q.im > 2.0) {
            out[i] = fields_at_depth(solution, depth);
            continue;
        }
        const double g = solution.k0 * std::max(end - depth, 0.0);
        const Complex delta = m.q * g;
        work.point.push_back(i);
        work.layer.push_back(j);
        work.g.push_back(g);
        // Arguments the lane-wide functions do not take are left to the library.
        work.x.push_back(std::isfinite(delta.re) ? delta.re : 0.0);
        work.y.push_back(std::isfinite(delta.im) && unscaled(delta.im) ? delta.im : 0.0);
    }
    const std::size_t gathered = work.point.size();
    work.sin_x.resize(gathered);
    work.cos_x.resize(gathered);
    work.grow.resize(gathered);
    const bool lane_sincos = math.sincos && chosen.sincos_array != nullptr;
    const bool lane_exp = math.exp && chosen.exp_array != nullptr;
    if (lane_sincos)
        chosen.sincos_array(work.x.data(), work.sin_x.data(), work.cos_x.data(), gathered, math.sincos_variant);
    if (lane_exp) chosen.exp_array(work.y.data(), work.grow.data(), gathered, math.exp_variant);
    for (std::size_t k = 0; k < gathered; ++k) {
        const std::size_t j = work.layer[k];
        const Medium& m = solution.medium[j];
        const double g = work.g[k];
        const Complex delta = m.q * g;
        const LayerFunctions lf = layer_functions_by(
            m.q, g, false,
            [&](double& sin_x, double& cos_x) {
                if (lane_sincos && std::isfinite(delta.re)) {
                    sin_x = work.sin_x[k];
                    cos_x = work.cos_x[k];
                } else {
                    ::sincos(delta.re, &sin_x, &cos_x);
                }
            },
            [&] { return lane_exp && std::isfinite(delta.im) ? work.grow[k] : std::exp(delta.im); });
        out[work.point[k]] = inside_layer(solution, j, matrix_of(m, lf, g, solution.pol));
    }
    const std::size_t half = work.half_point.size();
    if (half == 0) return;
    work.sin_x.resize(half);
    work.cos_x.resize(half);
    work.grow.resize(half);
    work.fade.resize(half);
    chosen.sincos_array(work.half_im.data(), work.sin_x.data(), work.cos_x.data(), half, math.sincos_variant);
    chosen.exp_array(work.half_re.data(), work.grow.data(), half, math.exp_variant);
    chosen.exp_array(work.half_minus_re.data(), work.fade.data(), half, math.exp_variant);
    for (std::size_t k = 0; k < half; ++k) {
        const std::size_t i = work.half_point[k];
        const bool incident = depths[i] < 0.0;
        const Medium& m = solution.medium[incident ? 0 : solution.media - 1];
        const double sin_y = work.sin_x[k];
        const double cos_y = work.cos_x[k];
        // exponential(phase) and exponential(-phase), operation for operation.
        const Complex grow{work.grow[k] * cos_y, work.grow[k] * sin_y};
        const Complex fade{work.fade[k] * cos_y, work.fade[k] * -sin_y};
        out[i] = incident ? half_infinite_by(solution, m, solution.incidence, {1.0, 0.0}, solution.r, grow, fade)
                          : half_infinite_by(solution, m, solution.exit, solution.t, {0.0, 0.0}, grow, fade);
    }
}

}  // namespace strata

#pragma once
// Tangential fields layer by layer, for one stack at one wavelength, angle
// and polarisation: the common ground of the fields, the absorbed power and
// the exact derivatives (derivatives.hpp).
//
// Each inner layer is carried by its characteristic (Abelès) matrix
//   Phi_j = [[f, -i alpha g s], [-i beta g s, f]],
// which takes the tangential (E, H) at the layer's far side to its near side,
// with g = k0 d_j, z = sigma_j g^2, f = cos sqrt z, s = sin sqrt z / sqrt z,
// sigma_j = n_j^2 - xi (xi = (n_0 sin theta)^2), and (alpha, beta) = (1, sigma)
// for s, (sigma / nu, nu) for p (nu = n_j^2). f and s are entire in z, so a
// layer at its critical angle (sigma = 0) needs no special road; their
// exponentially large parts are carried as powers of two, so thick absorbers
// cannot overflow. The half-infinite media enter through their modes:
// forward (1, q) and backward (1, -q) for s, (c, n) and (-c, n) for p, with
// q = sqrt(sigma) = n c. r and t are those of the engine's characteristic
// matrix (tmm's conventions); H is in units of the vacuum admittance.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "strata/complex.hpp"

namespace strata {

enum class Polarisation { s, p };

// One stack at one wavelength and angle of incidence.
struct StackPoint {
    const double* d;   // the K - 2 inner thicknesses
    const Complex* n;  // the K indices at this wavelength, incidence medium first
    std::size_t media; // K >= 2
    double wavelength;
    double theta;
};

// (e, h) * 2^exponent.
struct ScaledPair {
    Complex e;
    Complex h;
    std::int32_t exponent;
};

// cos delta and sin delta / delta for delta = q g (z = delta^2 = sigma g^2),
// and, when asked for, the first two z-derivatives of the latter; all over
// 2^exponent (zero unless |Im delta| is large). Even in q: either root will do.
struct LayerFunctions {
    Complex f;
    Complex s;
    Complex ds;
    Complex d2s;
    std::int32_t exponent;
};

LayerFunctions layer_functions(Complex q, double g, bool z_derivatives);

// n, nu = n^2, sigma = n^2 - xi and q = sqrt(sigma) (principal root) of one medium.
struct Medium {
    Complex n;
    Complex nu;
    Complex sigma;
    Complex q;
    Complex alpha;  // sigma / nu: the p matrix's upper factor
};

// The forward and the backward mode of a half-infinite medium.
struct Modes {
    Complex forward_e, forward_h;
    Complex backward_e, backward_h;
};

Modes modes_of(const Medium& medium, Polarisation pol);

// <x, y> = x.e y.h - x.h y.e, preserved by every characteristic matrix.
inline Complex pairing(Complex xe, Complex xh, Complex ye, Complex yh) { return xe * yh - xh * ye; }

// a + b for power-of-two exponents, held within +-2^30 (far beyond any
// finite result) so that no sum of them can overflow.
inline std::int32_t add_exponents(std::int64_t a, std::int64_t b) {
    constexpr std::int64_t limit = std::int64_t{1} << 30;
    const std::int64_t sum = a + b;
    return static_cast<std::int32_t>(sum < -limit ? -limit : sum > limit ? limit : sum);
}

// x * 2^exponent with the exponent clamped; a zero exponent (the usual one)
// leaves x alone without a call.
double scaled_by_power_of_two(double x, std::int64_t exponent);
inline double scale_by_power_of_two(double x, std::int64_t exponent) {
    return exponent == 0 ? x : scaled_by_power_of_two(x, exponent);
}
inline Complex scale_by_power_of_two(Complex z, std::int64_t exponent) {
    if (exponent == 0) return z;
    return {scaled_by_power_of_two(z.re, exponent), scaled_by_power_of_two(z.im, exponent)};
}

// The characteristic matrix of an inner layer or a slice of one, over
// 2^exponent: diagonal f, upper -i alpha g s, lower -i beta g s.
struct LayerMatrix {
    Complex diagonal;
    Complex upper;  // takes H to E
    Complex lower;  // takes E to H
    std::int32_t exponent;
};

// The solution for unit incident amplitude, kept per boundary. Reused between
// calls of one thread, so the vectors are allocated once.
struct FieldSolution {
    Polarisation pol{};
    std::size_t media = 0;
    double k0 = 0.0;
    Complex kx{};  // n_0 sin theta
    Complex xi{};  // kx^2
    std::vector<Medium> medium;          // every medium, 0 .. K-1
    std::vector<double> thickness;       // d_j for inner j (index j)
    std::vector<double> g;               // k0 d_j for inner j (index j)
    std::vector<LayerFunctions> layer;   // inner j (index j)
    std::vector<double> arguments[5];    // the layers' sincos and exp, gathered
    bool z_derivatives = false;          // whether layer[j].ds and .d2s are there
    // Fields at boundary b (b = 0 the front of layer 1, b = K-2 the exit
    // side of layer K-2), over t: the true fields are t * vector.
    std::vector<ScaledPair> boundary;
    // Each inner layer's matrix (index j) for this polarisation, as
    // layer_matrix(*this, j) gives it; filled by solve_prepared.
    std::vector<LayerMatrix> matrix;
    Complex r{};
    Complex t{};            // t_mantissa * 2^t_exponent
    Complex t_mantissa{};
    std::int32_t t_exponent = 0;
    Complex modes_pairing{};  // <u_b, u_f> of the incidence medium
    Modes incidence{};
    Modes exit{};

    // The true fields at boundary b (t folded in), as mantissa and exponent.
    ScaledPair fields_at_boundary(std::size_t b) const;
};

// Copies member by member: a whole-struct copy moves the 32-bit exponent with
// its padding as one 64-bit word, a load that cannot be forwarded from the
// exponent's own 32-bit store just before, and stalls each sweep's every step.
inline void store(ScaledPair& to, const ScaledPair& from) {
    to.e = from.e;
    to.h = from.h;
    to.exponent = from.exponent;
}
inline void store(LayerMatrix& to, const LayerMatrix& from) {
    to.diagonal = from.diagonal;
    to.upper = from.upper;
    to.lower = from.lower;
    to.exponent = from.exponent;
}

// Fills `out` for one stack point: prepare_fields does what both
// polarisations share (the media, every layer's functions, with their
// z-derivatives when asked for), solve_prepared one polarisation's sweep.
void prepare_fields(const StackPoint& point, bool z_derivatives, FieldSolution& out);
void solve_prepared(Polarisation pol, FieldSolution& out);
inline void solve_fields(const StackPoint& point, Polarisation pol, FieldSolution& out) {
    prepare_fields(point, false, out);
    solve_prepared(pol, out);
}

// The characteristic matrix of a slice of inner layer j, `distance` thick,
// over 2^exponent (LayerMatrix, above).
LayerMatrix layer_matrix(const FieldSolution& solution, std::size_t j, double distance);
// The same over the whole layer, from the functions kept in `solution`.
LayerMatrix layer_matrix(const FieldSolution& solution, std::size_t j);

// Scales v by a power of two, into the exponent, when its largest part leaves
// [2^-256, 2^256]: the products of a sweep then never overflow or underflow.
void bring_into_range(ScaledPair& v);
inline void keep_in_range(ScaledPair& v) {
    // Usually in range, which one comparison of the largest part settles; a
    // NaN part (left alone either way) needs no test of its own here.
    const auto larger = [](double a, double b) { return a > b ? a : b; };
    const auto size = [](double x) { return x < 0.0 ? -x : x; };
    const double largest = larger(larger(size(v.e.re), size(v.e.im)), larger(size(v.h.re), size(v.h.im)));
    if (largest > 0x1p-256 && largest < 0x1p256) return;
    bring_into_range(v);
}

// What the caller asks for at one depth z (0 at the front of layer 1, negative
// in the incidence medium): the tangential E (s: E_y; p: E_x), the normal E
// (p: E_z, s: 0), the Poynting flux along z and the absorbed power density,
// both over the incident flux, as tmm's position_resolved reports them.
struct PointFields {
    Complex e_tangential;
    Complex e_normal;
    double poynting;
    double absorption;
};
PointFields fields_at_depth(const FieldSolution& solution, double depth);

// The same at depths[0 .. count), written to out[0 .. count), with the
// lane-wide sincos and exp where the process allows them: the same bits.
// `work` holds the gathered arguments, reused between calls of one thread.
struct DepthWork {
    std::vector<std::size_t> point, layer;
    std::vector<double> g, x, y, sin_x, cos_x, grow, fade;
    std::vector<std::size_t> half_point;  // depths in the half-infinite media
    std::vector<double> half_re, half_minus_re, half_im;
};
void fields_at_depths(const FieldSolution& solution, const double* depths, std::size_t count, PointFields* out,
                      DepthWork& work);

// The flux over the incident flux at boundary b, and the fraction of the
// incident power absorbed in each inner layer (written to absorbed[0 .. K-3]).
double flux_at_boundary(const FieldSolution& solution, std::size_t b);
void absorbed_in_layers(const FieldSolution& solution, double* absorbed);

// The incident flux for a unit amplitude: Re(q_0) for s, Re(n_0 conj(c_0)) for p.
double incident_flux(const FieldSolution& solution);

}  // namespace strata

// The C-library floor of one sweep: times only the sin, cos, exp, atan2, hypot
// and sqrt calls that the two passes and the two spectra make, on the arguments
// they really see, and none of the complex arithmetic around them.
//
// Per wavelength and polarisation: sin(theta) once; per medium one principal
// square root (hypot, atan2, sqrt, cos, sin); per layer two exp and one sin and
// one cos (e+ and e- share them). Per wavelength for the spectra: four hypot and
// one principal square root for the transmittance factor.
//
// Built by CMake it links the engine library and so inherits the engine's
// compile flags: whether GCC merges a sin/cos pair into sincos, or turns sqrt
// into the instruction, is then decided here exactly as in the engine.
//
// Usage: libm_floor [media=10] [wavelengths=10000] [repeats=7]
// Prints one line of key=value pairs, e.g.
//   libm_floor media=10 wavelengths=10000 calls_per_wavelength=175 ns_per_wavelength=812.3 ns_per_call=4.64
//
// The stack is the one benchmarks/compare.py measures (make_stack there): air,
// alternating absorbing Cauchy dielectrics with a thin Drude metal in the
// middle from 10 media on, glass. Keep the two in step.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

struct Cplx {
    double re;
    double im;
};

Cplx mul(Cplx a, Cplx b) { return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re}; }
Cplx sub(Cplx a, Cplx b) { return {a.re - b.re, a.im - b.im}; }
Cplx div(Cplx a, Cplx b) {
    const double norm = b.re * b.re + b.im * b.im;
    return {(a.re * b.re + a.im * b.im) / norm, (a.im * b.re - a.re * b.im) / norm};
}
// Only for building the arguments; the timed loop repeats its calls below.
Cplx principal_sqrt(Cplx z) {
    if (z.im == 0.0) {
        if (!std::signbit(z.re)) return {std::sqrt(z.re), z.im};
        const double root = std::sqrt(-z.re);
        return {0.0, std::signbit(z.im) ? -root : root};
    }
    const double r = std::hypot(z.re, z.im);
    const double alpha = std::atan2(z.im, z.re);
    return {std::cos(alpha * 0.5) * std::sqrt(r), std::sin(alpha * 0.5) * std::sqrt(r)};
}

constexpr double kTheta = 0.5;
constexpr double kTwoPi = 6.283185307179586;

// Refractive indices (rows = media) and inner thicknesses, in nm.
struct Stack {
    std::size_t media;
    std::size_t wavelengths;
    std::vector<double> wl;
    std::vector<double> d;
    std::vector<Cplx> n;  // n[j * wavelengths + i]

    Cplx index(std::size_t j, std::size_t i) const { return n[j * wavelengths + i]; }
};

Stack make_stack(std::size_t media, std::size_t wavelengths) {
    Stack stack{media, wavelengths, std::vector<double>(wavelengths), std::vector<double>(media - 2),
                std::vector<Cplx>(media * wavelengths)};
    const std::size_t metal_layer = media >= 10 ? (media - 1) / 2 : 0;
    for (std::size_t i = 0; i < wavelengths; ++i) {
        const double wl = wavelengths == 1 ? 400.0 : 400.0 + 600.0 * double(i) / double(wavelengths - 1);
        stack.wl[i] = wl;
        const double um2 = (wl / 1000.0) * (wl / 1000.0);
        const Cplx high{2.10 + 0.020 / um2, 1.5e-3 * 0.16 / um2};
        const Cplx low{1.46 + 0.0040 / um2, 2e-4 * 0.4 / std::sqrt(um2)};
        const double energy = 1239.841984 / wl;
        const Cplx epsilon = sub({1.0, 0.0}, div({81.0, 0.0}, mul({energy, 0.0}, {energy, 0.07})));
        const Cplx metal = principal_sqrt(epsilon);
        const Cplx glass{1.52 + 0.0042 / um2, 0.0};
        for (std::size_t j = 0; j < media; ++j) {
            Cplx value = j % 2 ? high : low;
            if (j == 0) value = {1.0, 0.0};
            else if (j == media - 1) value = glass;
            else if (j == metal_layer) value = metal;
            stack.n[j * wavelengths + i] = value;
        }
    }
    for (std::size_t j = 1; j + 1 < media; ++j) {
        const double base = j % 2 ? 600.0 / (4 * 2.1) : 600.0 / (4 * 1.46);
        stack.d[j - 1] = j == metal_layer ? 8.0 : base * (1 + 0.15 * std::sin(1.7 * double(j)));
    }
    return stack;
}

// The arguments each call sees, laid out in the order the loop reads them.
struct Arguments {
    std::vector<Cplx> z;        // per wavelength: K radicands n_j^2 - xi, then the one for T
    std::vector<Cplx> phase;    // per wavelength: K - 2 exponents i*k_j*d_j
    std::vector<Cplx> moduli;   // per wavelength: 4 complex numbers whose modulus the spectra take
};

Arguments make_arguments(const Stack& stack) {
    Arguments args;
    const std::size_t media = stack.media;
    const double s = std::sin(kTheta);
    for (std::size_t i = 0; i < stack.wavelengths; ++i) {
        const Cplx n0 = stack.index(0, i);
        const Cplx scaled{n0.re * s, n0.im * s};
        const Cplx xi = mul(scaled, scaled);
        std::vector<Cplx> q(media);
        for (std::size_t j = 0; j < media; ++j) {
            const Cplx nj = stack.index(j, i);
            const Cplx z = sub(mul(nj, nj), xi);
            args.z.push_back(z);
            q[j] = principal_sqrt(z);
        }
        const Cplx n_exit = stack.index(media - 1, i);
        const Cplx n0_squared = mul(n0, n0);
        args.z.push_back(sub(mul(n_exit, n_exit), {n0_squared.re * s * s, n0_squared.im * s * s}));
        for (std::size_t j = 1; j + 1 < media; ++j) {
            const Cplx k{kTwoPi * q[j].re / stack.wl[i], kTwoPi * q[j].im / stack.wl[i]};
            args.phase.push_back({-k.im * stack.d[j - 1], k.re * stack.d[j - 1]});
        }
        // Reflection and transmission amplitudes of the two polarisations are of
        // the size of these; hypot's speed does not depend on the exact values.
        args.moduli.push_back(div(sub(q[0], q[1]), {q[0].re + q[1].re, q[0].im + q[1].im}));
        args.moduli.push_back(div(sub(q[media - 2], q[media - 1]), {1.0 + q[media - 1].re, q[media - 1].im}));
        args.moduli.push_back(q[media - 1]);
        args.moduli.push_back(q[media - 2]);
    }
    return args;
}

volatile double theta_source = kTheta;
volatile double sink;

// Keeps the compiler from merging the two passes' identical calls.
inline void barrier() { asm volatile("" ::: "memory"); }

double run_once(const Arguments& args, std::size_t media, std::size_t wavelengths) {
    const std::size_t layers = media - 2;
    double acc_a = 0.0;
    double acc_b = 0.0;
    for (std::size_t i = 0; i < wavelengths; ++i) {
        const Cplx* z = &args.z[i * (media + 1)];
        const Cplx* phase = &args.phase[i * layers];
        for (int pass = 0; pass < 2; ++pass) {
            barrier();
            acc_a += std::sin(theta_source);
            for (std::size_t j = 0; j < media; ++j) {
                const double r = std::hypot(z[j].re, z[j].im);
                const double alpha = std::atan2(z[j].im, z[j].re);
                const double root_r = std::sqrt(r);
                acc_a += std::cos(alpha * 0.5) * root_r;
                acc_b += std::sin(alpha * 0.5) * root_r;
            }
            for (std::size_t j = 0; j < layers; ++j) {
                const double grow = std::exp(phase[j].re);
                const double decay = std::exp(-phase[j].re);
                acc_a += (grow - decay) * std::cos(phase[j].im);
                acc_b += (grow + decay) * std::sin(phase[j].im);
            }
        }
        const Cplx* moduli = &args.moduli[i * 4];
        for (int m = 0; m < 4; ++m) acc_a += std::hypot(moduli[m].re, moduli[m].im);
        const Cplx zt = z[media];
        const double r = std::hypot(zt.re, zt.im);
        const double alpha = std::atan2(zt.im, zt.re);
        const double root_r = std::sqrt(r);
        acc_b += std::cos(alpha * 0.5) * root_r + std::sin(alpha * 0.5) * root_r;
    }
    return acc_a + acc_b;
}

std::size_t parse_count(const char* text, const char* what) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 1) {
        std::fprintf(stderr, "libm_floor: %s must be a positive integer, got '%s'\n", what, text);
        std::exit(2);
    }
    return std::size_t(value);
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t media = argc > 1 ? parse_count(argv[1], "media") : 10;
    const std::size_t wavelengths = argc > 2 ? parse_count(argv[2], "wavelengths") : 10000;
    const std::size_t repeats = argc > 3 ? parse_count(argv[3], "repeats") : 7;
    if (media < 2) {
        std::fprintf(stderr, "libm_floor: a stack needs at least two media\n");
        return 2;
    }

    const Stack stack = make_stack(media, wavelengths);
    const Arguments args = make_arguments(stack);

    sink = run_once(args, media, wavelengths);  // warm caches and the branch predictor
    double best = INFINITY;
    for (std::size_t rep = 0; rep < repeats; ++rep) {
        const auto start = std::chrono::steady_clock::now();
        sink = run_once(args, media, wavelengths);
        const std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
        best = std::min(best, elapsed.count());
    }

    const std::size_t layers = media - 2;
    const std::size_t calls = 2 * (1 + 5 * media + 4 * layers) + 4 + 5;
    const double per_wavelength = best / double(wavelengths);
    std::printf("libm_floor media=%zu wavelengths=%zu calls_per_wavelength=%zu ns_per_wavelength=%.1f ns_per_call=%.2f\n",
                media, wavelengths, calls, per_wavelength, per_wavelength / double(calls));
    return 0;
}

// The C-library floor of one sweep: times only the C-library calls a sweep and
// its two spectra make, on the arguments they really see, and none of the
// complex arithmetic around them.
//
// The arguments come from benchmarks/stacks.py (write_floor_arguments), the one
// definition of the benchmark's stacks; this program builds no stack itself.
//
// Two call patterns are timed on the same arguments:
//
// * kernel (ns_per_wavelength): per wavelength one set of polarisation-
//   independent calls, shared by the s and p passes. Per medium the principal
//   square root, whose complex branch takes hypot, atan2, sqrt and one sincos of
//   alpha/2 (a radicand with a zero imaginary part takes sqrt alone); per layer
//   two exp and one sincos of the phase. The spectra: four hypot and the
//   principal root of the transmittance factor.
// * per pass (old_ns_per_wavelength): every call made once per polarisation,
//   sin and cos separate, every root through hypot and atan2 whatever its
//   radicand, sin(theta) per wavelength and pass; the spectra as above.
//
// A third figure times the real divisions the formulas prescribe, two lanes at
// a time: the part of the arithmetic around the calls that no kernel can avoid.
//
// Usage: libm_floor ARGUMENTS_FILE [repeats=7]
// Prints one line of key=value pairs.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <math.h>  // sincos (a GNU extension; glibc declares it here)

namespace {

struct Cplx {
    double re;
    double im;
};

constexpr char kMagic[] = "lamina-floor-arguments";

struct Arguments {
    std::size_t media = 0;
    std::size_t wavelengths = 0;
    std::vector<Cplx> values;  // per wavelength: media + 1 radicands, media - 2 phases, 4 amplitudes

    std::size_t record() const { return 2 * media + 3; }
    const Cplx* radicands(std::size_t i) const { return &values[i * record()]; }
    const Cplx* phases(std::size_t i) const { return radicands(i) + media + 1; }
    const Cplx* amplitudes(std::size_t i) const { return phases(i) + (media - 2); }
};

[[noreturn]] void fail(const char* what, const char* detail) {
    std::fprintf(stderr, "libm_floor: %s%s\n", what, detail);
    std::exit(2);
}

Arguments read_arguments(const char* path) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) fail("cannot open ", path);
    char header[256] = {};
    if (std::fgets(header, sizeof header, file) == nullptr) fail("empty arguments file ", path);
    Arguments args;
    char magic[64] = {};
    if (std::sscanf(header, "%63s media=%zu wavelengths=%zu", magic, &args.media, &args.wavelengths) != 3 ||
        std::strcmp(magic, kMagic) != 0 || args.media < 2 || args.wavelengths < 1) {
        fail("not an arguments file from stacks.py: ", path);
    }
    args.values.resize(args.wavelengths * args.record());
    const std::size_t count = std::fread(args.values.data(), sizeof(Cplx), args.values.size(), file);
    const bool trailing = std::fgetc(file) != EOF;
    std::fclose(file);
    if (count != args.values.size() || trailing) fail("wrong size of the arguments in ", path);
    return args;
}

volatile double theta_source = 0.5;
volatile double sink;

// Keeps the compiler from merging the two passes' identical calls.
inline void barrier() { asm volatile("" ::: "memory"); }

// A copy the compiler cannot see through, so that sin(x) and cos(x) stay two
// calls whatever the build flags say about pairing them into sincos.
inline double opaque(double x) {
    asm volatile("" : "+x"(x));
    return x;
}

// The principal root's calls as the kernel makes them.
inline double root_calls(Cplx z) {
    if (z.im == 0.0) return std::sqrt(std::fabs(z.re));
    const double r = std::hypot(z.re, z.im);
    const double alpha = std::atan2(z.im, z.re);
    const double root_r = std::sqrt(r);
    double s = 0.0;
    double c = 0.0;
    ::sincos(alpha * 0.5, &s, &c);
    return c * root_r + s * root_r;
}

double spectra_calls(const Arguments& args, std::size_t i) {
    const Cplx* amplitude = args.amplitudes(i);
    double acc = 0.0;
    for (int m = 0; m < 4; ++m) acc += std::hypot(amplitude[m].re, amplitude[m].im);
    return acc + root_calls(args.radicands(i)[args.media]);
}

// One sweep: `calls(z, phase, layers, acc_a, acc_b)` makes a wavelength's calls
// for its media and layers; the spectra's calls follow.
template <class Calls>
double sweep(const Arguments& args, Calls calls) {
    const std::size_t layers = args.media - 2;
    double acc_a = 0.0;
    double acc_b = 0.0;
    for (std::size_t i = 0; i < args.wavelengths; ++i) {
        calls(args.radicands(i), args.phases(i), layers, acc_a, acc_b);
        acc_b += spectra_calls(args, i);
    }
    return acc_a + acc_b;
}

double run_kernel(const Arguments& args) {
    return sweep(args, [&](const Cplx* z, const Cplx* phase, std::size_t layers, double& acc_a, double& acc_b) {
        for (std::size_t j = 0; j < args.media; ++j) acc_a += root_calls(z[j]);
        for (std::size_t j = 0; j < layers; ++j) {
            const double grow = std::exp(phase[j].re);
            const double decay = std::exp(-phase[j].re);
            double s = 0.0;
            double c = 0.0;
            ::sincos(phase[j].im, &s, &c);
            acc_a += (grow - decay) * c;
            acc_b += (grow + decay) * s;
        }
    });
}

double run_per_pass(const Arguments& args) {
    return sweep(args, [&](const Cplx* z, const Cplx* phase, std::size_t layers, double& acc_a, double& acc_b) {
        for (int pass = 0; pass < 2; ++pass) {
            barrier();
            acc_a += std::sin(theta_source);
            for (std::size_t j = 0; j < args.media; ++j) {
                const double r = std::hypot(z[j].re, z[j].im);
                const double alpha = std::atan2(z[j].im, z[j].re);
                const double root_r = std::sqrt(r);
                acc_a += std::cos(alpha * 0.5) * root_r;
                acc_b += std::sin(opaque(alpha * 0.5)) * root_r;
            }
            for (std::size_t j = 0; j < layers; ++j) {
                const double grow = std::exp(phase[j].re);
                const double decay = std::exp(-phase[j].re);
                acc_a += (grow - decay) * std::cos(phase[j].im);
                acc_b += (grow + decay) * std::sin(opaque(phase[j].im));
            }
        }
    });
}

// The real divisions the formulas prescribe per wavelength, s and p together,
// c_j shared: c_j = q_j / n_j (2 per medium); r_j, t_j, 1/t_j and r_j/t_j
// (8 per boundary and polarisation); k_j / lambda (2 per layer); the spectra's
// r_s, r_p, tau_s, tau_p (8) and eta (1). No division may become a product with
// a reciprocal (that changes bits), so they are a floor of their own.
std::size_t divisions_per_wavelength(std::size_t media) {
    return 2 * media + 16 * (media - 1) + 2 * (media - 2) + 9;
}

// Two lanes per instruction, as the engine's baseline-x86-64 lane vectors run.
using Lanes = double __attribute__((vector_size(16)));
constexpr std::size_t kOperands = 512;

double run_divisions(const Arguments& args) {
    // Operands of the sizes the quotients see (parts of the radicands, phases and
    // amplitudes), cycled through a small table so that memory does not count.
    static std::vector<Lanes> numerators;
    static std::vector<Lanes> divisors;
    if (numerators.empty()) {
        for (std::size_t k = 0; k < kOperands; ++k) {
            const Cplx a = args.values[(2 * k) % args.values.size()];
            const Cplx b = args.values[(2 * k + 1) % args.values.size()];
            numerators.push_back(Lanes{a.re, a.im});
            divisors.push_back(Lanes{b.re != 0.0 ? b.re : 1.0, b.im != 0.0 ? b.im : 1.0});
        }
    }
    const std::size_t total = divisions_per_wavelength(args.media) * args.wavelengths / 2;
    Lanes acc[8] = {};
    for (std::size_t k = 0; k < total; ++k) acc[k % 8] += numerators[k % kOperands] / divisors[k % kOperands];
    double sum = 0.0;
    for (const Lanes& lane : acc) sum += lane[0] + lane[1];
    return sum;
}

double elapsed_ns(double (*run)(const Arguments&), const Arguments& args) {
    const auto start = std::chrono::steady_clock::now();
    sink = run(args);
    const std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
    return elapsed.count();
}

std::size_t parse_count(const char* text, const char* what) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 1) fail(what, " must be a positive integer");
    return std::size_t(value);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: libm_floor ARGUMENTS_FILE [repeats]\n"
                             "(write the file with benchmarks/stacks.py: write_floor_arguments)\n");
        return 2;
    }
    const Arguments args = read_arguments(argv[1]);
    const std::size_t repeats = argc > 2 ? parse_count(argv[2], "repeats") : 7;
    const std::size_t media = args.media;
    const std::size_t layers = media - 2;

    // Calls per wavelength: a root with a zero imaginary part is one sqrt, else four.
    std::size_t media_root_calls = 0;
    std::size_t t_root_calls = 0;
    for (std::size_t i = 0; i < args.wavelengths; ++i) {
        for (std::size_t j = 0; j < media; ++j) media_root_calls += args.radicands(i)[j].im == 0.0 ? 1 : 4;
        t_root_calls += args.radicands(i)[media].im == 0.0 ? 1 : 4;
    }
    const double spectra_calls_per_wl = 4.0 + double(t_root_calls) / double(args.wavelengths);
    const double kernel_calls_per_wl =
        double(media_root_calls) / double(args.wavelengths) + double(3 * layers) + spectra_calls_per_wl;
    const double old_calls_per_wl = double(2 * (1 + 5 * media + 4 * layers)) + spectra_calls_per_wl;

    // Alternated, so that a burst of other work on the machine hits both alike.
    sink = run_kernel(args) + run_per_pass(args);  // warm caches and the branch predictor
    sink = run_divisions(args);
    double kernel = INFINITY;
    double per_pass = INFINITY;
    double divisions = INFINITY;
    for (std::size_t rep = 0; rep < repeats; ++rep) {
        kernel = std::min(kernel, elapsed_ns(run_kernel, args) / double(args.wavelengths));
        per_pass = std::min(per_pass, elapsed_ns(run_per_pass, args) / double(args.wavelengths));
        divisions = std::min(divisions, elapsed_ns(run_divisions, args) / double(args.wavelengths));
    }
    std::printf("libm_floor media=%zu wavelengths=%zu calls_per_wavelength=%.1f ns_per_wavelength=%.1f "
                "ns_per_call=%.2f old_calls_per_wavelength=%.1f old_ns_per_wavelength=%.1f "
                "divisions_per_wavelength=%zu division_ns_per_wavelength=%.1f\n",
                media, args.wavelengths, kernel_calls_per_wl, kernel, kernel / kernel_calls_per_wl,
                old_calls_per_wl, per_pass, divisions_per_wavelength(media), divisions);
    return 0;
}

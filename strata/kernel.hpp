#pragma once
// The sweep's kernel: one pass of one polarisation over a range of
// wavelengths. The same source is compiled for several instruction sets
// (baseline x86-64, AVX2, AVX-512, all without fused multiply-adds); each
// copy performs the same IEEE operations in the same order, so every copy
// gives the baseline's bits and the fastest one the CPU has is picked once.
#include <cstddef>
#include <vector>

#include "strata/array.hpp"
#include "strata/complex.hpp"

namespace strata {

struct Transfer;

// The C library variants that the lane-wide exp, sincos and hypot
// (exact_math.hpp) can follow. glibc picks its exp and its sincos when it
// loads: with fused multiply-adds where the CPU has FMA and AVX2, without them
// elsewhere; its hypot has one variant on x86-64, without them.
enum class ExpVariant { fused, unfused };

// What the passes take from the lane-wide functions: each one only where it
// gave the library's bits on the check's arguments (lane_math below).
struct LaneMath {
    bool exp = false;
    ExpVariant exp_variant = ExpVariant::unfused;
    bool hypot = false;
    bool sincos = false;  // only where the kernel pairs sin and cos at all
    ExpVariant sincos_variant = ExpVariant::unfused;
    // atan2 follows the library's variant, which glibc picks as it picks exp's.
    bool atan2 = false;
    ExpVariant atan2_variant = ExpVariant::unfused;
};

// What one pass reads: the record's arrays and angle, and whether sincos may
// stand in for separate sin and cos calls.
struct PassInput {
    const Array1<double>& d;
    const Array2<Complex>& n;
    const Array1<double>& wl;
    double theta;
    bool paired_sin_cos;
    LaneMath math{};
};

// What does not depend on the polarisation (each medium's cosine c_j, each
// layer's exp(-i delta_j) and exp(+i delta_j)) for the wavelengths of the
// first `groups` lane groups: written by the s pass, read by the p pass. A
// group's record holds 2 * (3K - 4) fields of `lanes` doubles each.
struct Reuse {
    double* values = nullptr;
    std::size_t groups = 0;
};

std::size_t reuse_doubles_per_group(std::size_t media, std::size_t lanes);

// One stack's arrays as plain pointers and sizes, taken in baseline code. The
// kernel copies read the arrays through this, so that none of them compiles,
// and defines, the arrays' own member functions: the linker could pick that
// wider copy for code that must run on any x86-64.
struct StackArrays {
    const double* d;
    std::size_t thicknesses;
    const Complex* n;
    std::size_t media;
    std::size_t columns;
    std::size_t row_stride;
    std::size_t col_stride;
    const double* wl;
    std::size_t wavelengths;
};

StackArrays stack_arrays(const Array1<double>& d, const Array2<Complex>& n, const Array1<double>& wl);

// The moduli the spectra square: |m10 / m00| (reflected) or |1 / m00| (not),
// of the s and p matrices of list[0 .. count), with the lane-wide hypot where
// `math` allows it.
using ModuliFunction = void (*)(const Transfer* list, std::size_t count, bool reflected, double* s_out,
                                double* p_out, const LaneMath& math);

// [begin, end) must start at a whole lane group (begin a multiple of lanes).
using PassFunction = void (*)(const PassInput& input, std::size_t begin, std::size_t end, Transfer* out,
                              const Reuse& reuse);

struct Kernel {
    const char* name;
    std::size_t lanes;
    PassFunction s_pass;
    PassFunction p_pass;
    // The copy's lane-wide exp, hypot and sincos over arrays of any length, or
    // nullptr where it has none (the baseline).
    void (*exp_array)(const double* x, double* out, std::size_t count, ExpVariant variant);
    void (*hypot_array)(const double* x, const double* y, double* out, std::size_t count);
    void (*sincos_array)(const double* x, double* sin_out, double* cos_out, std::size_t count, ExpVariant variant);
    ModuliFunction moduli;
    // The copy's lane-wide atan2 over arrays, or nullptr.
    void (*atan2_array)(const double* y, const double* x, double* out, std::size_t count, ExpVariant variant);
};

// The kernel the sweep uses, chosen once per process: the widest this CPU
// runs. LAMINA_KERNEL (for tests) may name another one the CPU runs.
const Kernel& kernel();

// Every kernel this CPU runs, the baseline first.
std::vector<const Kernel*> runnable_kernels();

// Throws the engine's index_out_of_bounds failure. Defined in baseline code,
// so no copy of the failure's code is compiled for a wider instruction set.
[[noreturn]] void fail_index_out_of_bounds();

// What `kernel`'s passes may take from its lane-wide exp and hypot in this
// process: decided once per copy by comparing them with the C library's own
// calls on arguments that take every road of the library's algorithms. A
// disagreement, or a library whose variant is not known, leaves the library's
// scalar calls in place and says so on stderr once. LAMINA_VECMATH=scalar
// (for tests) keeps the scalar calls without a check.
const LaneMath& lane_math(const Kernel& kernel);

// True when this C library's sincos gives the bits of sin and cos over the
// arguments the kernel passes it; checked once, on first use.
bool sincos_matches_sin_and_cos();

}  // namespace strata

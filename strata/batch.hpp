#pragma once
// Batches: B stacks of the same K media, each at W wavelengths and A angles
// of incidence, computed as one job on the worker pool.
#include <cstddef>
#include <vector>

#include "strata/array.hpp"
#include "strata/complex.hpp"
#include "strata/data.hpp"

namespace strata {

// The caller's arrays, all C-contiguous: d is B x (K-2); n is K x W per stack
// (B of them one after the other) or one K x W block shared by every stack.
struct BatchInput {
    std::size_t stacks = 0;
    std::size_t media = 0;
    std::size_t wavelengths = 0;
    std::size_t angles = 0;
    const double* d = nullptr;
    const Complex* n = nullptr;
    bool shared_indices = false;
    const double* wl = nullptr;
    const double* theta = nullptr;

    const double* thicknesses(std::size_t stack) const { return d + stack * (media - 2); }
    const Complex* indices(std::size_t stack) const {
        return shared_indices ? n : n + stack * media * wavelengths;
    }
};

// Wavelengths [begin, end) of one stack at one angle, with copies of the
// columns a pass reads: n and wl hold those wavelengths only, so index i of
// the block is wavelength begin + i. `transfers` holds both polarisations'
// matrices once the block is computed.
struct Block {
    std::size_t stack = 0;
    std::size_t angle = 0;
    std::size_t begin = 0;
    std::size_t end = 0;
    Array1<double> d;
    Array2<Complex> n;
    Array1<double> wl;
    double theta = 0.0;
    std::vector<Transfer> transfers;
};

// A non-owning reference to a callable `void(const Block&)`.
class BlockTask {
public:
    template <class F>
    BlockTask(F& body)  // NOLINT: implicit on purpose, like RangeTask
        : object_(&body), call_([](void* object, const Block& block) { (*static_cast<F*>(object))(block); }) {}
    void operator()(const Block& block) const { call_(object_, block); }

private:
    void* object_;
    void (*call_)(void*, const Block&);
};

// Wavelengths per block when a stack's sweep is cut for the pool: whole lane
// groups of every kernel copy.
inline constexpr std::size_t block_wavelengths = 128;

// Computes every block's s and p matrices and hands the block to `sink`, on
// the pool unless the batch is small. The blocks are the same for every pool
// size, and every wavelength's matrices are those of Data::transfers for the
// same stack and angle, bit for bit. With `normal_shortcut`, a wavelength at
// normal incidence whose media are all lossless takes its p matrix from the s
// matrix (p = s with M10 and M01 negated: the same operations on negated
// operands) wherever that gives the bits of the p pass, and computes it
// otherwise (block_amplitudes_mirror_exact). Stops between blocks with
// Interrupted when a StopCheck of the calling thread asks it to (pool.hpp).
void for_each_block(const BatchInput& input, bool normal_shortcut, BlockTask sink);

}  // namespace strata

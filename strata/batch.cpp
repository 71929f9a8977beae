#include "strata/batch.hpp"

#include <algorithm>
#include <cmath>

#include "strata/amplitudes.hpp"
#include "strata/kernel.hpp"
#include "strata/pool.hpp"
#include "strata/sweep.hpp"

namespace strata {
namespace {

// At normal incidence every lossless medium's cosine is exactly 1: with n
// real, n^2 - (n_0 sin 0)^2 has a zero imaginary part, its root is
// sqrt(fl(n^2)) = n (binary floating point, no overflow or underflow), and
// n / n = 1. The p interfaces then swap the s ones' a = c_j n_j and
// b = c_{j+1} n_{j+1} (c_j n_{j+1} and c_{j+1} n_j), which negates r_j and
// keeps t_j: the p matrix performs the s matrix's operations on operands
// negated in M10 and M01. Rounding is odd and products take the sign of their
// operands, so every nonzero part comes out as the s part negated or not; only
// the sign of an exact zero (x - x is +0 either way) can differ, and a zero's
// sign reaches no nonzero part unless it is divided by. Hence the rule: take
// p from s where r_p and t_p have finite nonzero parts, compute it otherwise.
constexpr double smallest_mirrored = 0x1p-500;
constexpr double largest_mirrored = 0x1p500;

bool lossless_column(const Array2<Complex>& n, std::size_t i) {
    for (std::size_t medium = 0; medium < n.rows(); ++medium) {
        const Complex index = n(medium, i);
        if (!(index.im == 0.0 && index.re >= smallest_mirrored && index.re <= largest_mirrored)) return false;
    }
    return true;
}

bool finite_and_nonzero(Complex z) {
    return std::isfinite(z.re) && std::isfinite(z.im) && z.re != 0.0 && z.im != 0.0;
}

Matrix2 mirrored(const Matrix2& s) { return {s.m00, -s.m10, -s.m01, s.m11}; }

// The block's columns run to a whole lane group (for_each_block): the passes
// compute `count` of them, the caller reads the first end - begin.
void compute_block(Block& block, const Kernel& kernel, bool paired, bool normal_shortcut,
                   std::vector<double>& kept) {
    const std::size_t count = block.wl.size();
    block.transfers.resize(count);
    const PassInput input{block.d, block.n, block.wl, block.theta, paired, lane_math(kernel)};
    const std::size_t groups = (count + kernel.lanes - 1) / kernel.lanes;
    const std::size_t per_group = reuse_doubles_per_group(block.n.rows(), kernel.lanes);
    // Not zero-filled: the s pass writes each kept group before the p pass reads it.
    if (kept.size() < groups * per_group) kept.resize(groups * per_group);
    const Reuse reuse{per_group == 0 ? nullptr : kept.data(), per_group == 0 ? 0 : groups};
    kernel.s_pass(input, 0, count, block.transfers.data(), reuse);

    bool mirror = normal_shortcut && block.theta == 0.0;
    for (std::size_t i = 0; mirror && i < count; ++i) mirror = lossless_column(block.n, i);
    if (!mirror) {
        kernel.p_pass(input, 0, count, block.transfers.data(), reuse);
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        Transfer& transfer = block.transfers[i];
        transfer.p_matrix = mirrored(transfer.s_matrix);
        transfer.p_exponent = transfer.s_exponent;
        if (!finite_and_nonzero(reflection_amplitude(transfer.p_matrix)) ||
            !finite_and_nonzero(transmission_amplitude(transfer.p_matrix, transfer.p_exponent)))
            kernel.p_pass(input, i, i + 1, block.transfers.data(), Reuse{});
    }
}

}  // namespace

void for_each_block(const BatchInput& input, bool normal_shortcut, BlockTask sink) {
    const std::size_t width = input.wavelengths;
    if (input.stacks == 0 || input.angles == 0 || width == 0) return;
    if (input.media < 2) fail(index_out_of_bounds);
    const Kernel& chosen = kernel();
    const bool paired = sincos_matches_sin_and_cos();
    const std::size_t per_sweep = (width + block_wavelengths - 1) / block_wavelengths;
    const std::size_t blocks = input.stacks * input.angles * per_sweep;
    // Every block's columns are padded to a whole lane group with copies of its
    // last column: its last wavelengths then take the lane road rather than
    // the one-wavelength road (the same bits, several times cheaper), and the
    // copies' results are never read.
    const std::size_t lanes = chosen.lanes;
    auto padded = [lanes](std::size_t count) { return (count + lanes - 1) / lanes * lanes; };
    auto padded_wavelengths = [&](std::size_t begin, std::size_t end) {
        ArrayStorage<double> wl(padded(end - begin));
        std::copy(input.wl + begin, input.wl + end, wl.begin());
        std::fill(wl.begin() + (end - begin), wl.end(), input.wl[end - 1]);
        return Array1<double>(std::move(wl));
    };
    const Array1<double> all_wavelengths = padded_wavelengths(0, width);

    auto run = [&](std::size_t first, std::size_t last) {
        Block block;
        std::vector<double> kept;
        for (std::size_t unit = first; unit < last; ++unit) {
            interruption_point();
            const std::size_t sweep = unit / per_sweep;
            const std::size_t stack = sweep / input.angles;
            block.stack = stack;
            block.angle = sweep % input.angles;
            block.begin = (unit % per_sweep) * block_wavelengths;
            block.end = std::min(block.begin + block_wavelengths, width);
            block.theta = input.theta[block.angle];
            const std::size_t count = padded(block.end - block.begin);
            const double* d = input.thicknesses(stack);
            block.d = Array1<double>(ArrayStorage<double>(d, d + (input.media - 2)));
            ArrayStorage<Complex> columns(input.media * count);
            const Complex* n = input.indices(stack);
            for (std::size_t medium = 0; medium < input.media; ++medium) {
                const auto row = columns.begin() + medium * count;
                const auto end = std::copy(n + medium * width + block.begin, n + medium * width + block.end, row);
                std::fill(end, row + count, *(end - 1));
            }
            block.n = Array2<Complex>(input.media, count, Order::row_major, std::move(columns));
            block.wl = block.end - block.begin == width ? all_wavelengths
                                                        : padded_wavelengths(block.begin, block.end);
            compute_block(block, chosen, paired, normal_shortcut, kept);
            sink(block);
        }
    };
    if (input.stacks * input.angles * width <= serial_sweep_limit)
        run(0, blocks);
    else
        parallel_for(blocks, run);
}

}  // namespace strata

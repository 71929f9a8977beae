// One copy of the sweep's kernel, for the instruction set this file is
// compiled for (STRATA_ISA, STRATA_LANE_WIDTH; see CMakeLists.txt).
#include "strata/kernel.hpp"

#include "strata/data.hpp"
#include "strata/exact_math.hpp"
#include "strata/kernel_math.hpp"

#define STRATA_NAME_OF(isa) #isa
#define STRATA_NAME(isa) STRATA_NAME_OF(isa)
#define STRATA_KERNEL_OF(isa) kernel_##isa
#define STRATA_KERNEL(isa) STRATA_KERNEL_OF(isa)

namespace strata {
inline namespace STRATA_ISA {
namespace {

Complex lane_of(const BasicComplex<Lanes>& z, std::size_t lane) { return {z.re[lane], z.im[lane]}; }

// The s pass stores what the p pass can reuse; the p pass reads it back. Both
// compute everything for the groups beyond reuse.groups.
template <bool p_polarised>
void pass(const PassInput& input, std::size_t begin, std::size_t end, Transfer* out, const Reuse& reuse) {
    if (begin >= end) return;
    const StackView stack(input.d, input.n, input.wl, input.theta, end);
    const bool paired = input.paired_sin_cos;
    const LaneMath math = input.math;
    const std::size_t per_group = reuse_doubles_per_group(stack.media(), lane_width);
    constexpr ReuseMode mode = p_polarised ? ReuseMode::load : ReuseMode::store;
    constexpr Matrix2 Transfer::*slot = p_polarised ? &Transfer::p_matrix : &Transfer::s_matrix;
    constexpr std::int32_t Transfer::*exponent = p_polarised ? &Transfer::p_exponent : &Transfer::s_exponent;
    auto one = [&](std::size_t i) {
        const std::size_t group = i / lane_width;
        Matrix2 m = group < reuse.groups
                        ? stack_matrix<double, p_polarised, mode>(
                              stack, i, reuse.values + group * per_group + i % lane_width, paired)
                        : stack_matrix<double, p_polarised, ReuseMode::none>(stack, i, nullptr, paired);
        recompute_if_exceptional(stack, i, p_polarised, out_of_range(m), m, out[i].*exponent);
        out[i].*slot = m;
    };
    std::size_t i = begin;
    for (; i < end && i % lane_width != 0; ++i) one(i);  // only if begin is not a group's first
    for (; i + lane_width <= end; i += lane_width) {
        const std::size_t group = i / lane_width;
        const BasicMatrix2<Lanes> m =
            group < reuse.groups
                ? stack_matrix<Lanes, p_polarised, mode>(stack, i, reuse.values + group * per_group, paired, math)
                : stack_matrix<Lanes, p_polarised, ReuseMode::none>(stack, i, nullptr, paired, math);
        const Mask<Lanes> exceptional = out_of_range(m);
        for (std::size_t lane = 0; lane < lane_width; ++lane) {
            Transfer& transfer = out[i + lane];
            transfer.*slot = {lane_of(m.m00, lane), lane_of(m.m10, lane), lane_of(m.m01, lane),
                              lane_of(m.m11, lane)};
            recompute_if_exceptional(stack, i + lane, p_polarised, lane_set(exceptional, lane), transfer.*slot, transfer.*exponent);
        }
    }
    for (; i < end; ++i) one(i);
}

}  // namespace
}  // namespace STRATA_ISA

extern const Kernel STRATA_KERNEL(STRATA_ISA);
#ifdef STRATA_LANE_MATH
const Kernel STRATA_KERNEL(STRATA_ISA) = {STRATA_NAME(STRATA_ISA), lane_width, &pass<false>, &pass<true>, &exp_array,
                                         &hypot_array};
#else
const Kernel STRATA_KERNEL(STRATA_ISA) = {STRATA_NAME(STRATA_ISA), lane_width, &pass<false>, &pass<true>, nullptr,
                                         nullptr};
#endif

}  // namespace strata

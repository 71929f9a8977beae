// One copy of the sweep's kernel, for the instruction set this file is
// compiled for (STRATA_ISA, STRATA_LANE_WIDTH; see CMakeLists.txt).
#include "strata/kernel.hpp"

#include <cmath>

#include "strata/data.hpp"
#include "strata/libm/exact_math.hpp"
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

template <class Real>
[[gnu::always_inline]] inline Real modulus_of(const BasicComplex<Real>& z, const LaneMath& math) {
#ifdef STRATA_LANE_MATH
    if constexpr (lanes_of<Real> > 1)
        if (math.hypot) return hypot_lanes(z.re, z.im);
#endif
    (void)math;
    return gather<Real>([&](std::size_t lane) { return std::hypot(get_lane(z.re, lane), get_lane(z.im, lane)); });
}

template <class Real>
[[gnu::always_inline]] inline void moduli_of(const Transfer* list, std::size_t first, bool reflected, double* s_out,
                                             double* p_out, const LaneMath& math) {
    for (int polarisation = 0; polarisation < 2; ++polarisation) {
        const bool p_polarised = polarisation == 1;
        const BasicComplex<Real> m00 = gather_complex<Real>(first, [&](std::size_t i) {
            return p_polarised ? list[i].p_matrix.m00 : list[i].s_matrix.m00;
        });
        const BasicComplex<Real> m10 = gather_complex<Real>(first, [&](std::size_t i) {
            return p_polarised ? list[i].p_matrix.m10 : list[i].s_matrix.m10;
        });
        const Real modulus = modulus_of(reflected ? m10 / m00 : reciprocal(m00), math);
        double* const out = p_polarised ? p_out : s_out;
        for (std::size_t lane = 0; lane < lanes_of<Real>; ++lane) out[first + lane] = get_lane(modulus, lane);
    }
}

void moduli(const Transfer* list, std::size_t count, bool reflected, double* s_out, double* p_out,
            const LaneMath& math) {
    std::size_t i = 0;
    for (; i + lane_width <= count; i += lane_width) moduli_of<Lanes>(list, i, reflected, s_out, p_out, math);
    for (; i < count; ++i) moduli_of<double>(list, i, reflected, s_out, p_out, math);
}

}  // namespace
}  // namespace STRATA_ISA

extern const Kernel STRATA_KERNEL(STRATA_ISA);
#ifdef STRATA_LANE_MATH
const Kernel STRATA_KERNEL(STRATA_ISA) = {STRATA_NAME(STRATA_ISA), lane_width, &pass<false>, &pass<true>, &exp_array,
                                         &hypot_array, &sincos_array, &moduli, &atan2_array};
#else
const Kernel STRATA_KERNEL(STRATA_ISA) = {STRATA_NAME(STRATA_ISA), lane_width, &pass<false>, &pass<true>, nullptr,
                                         nullptr, nullptr, &moduli, nullptr};
#endif

}  // namespace strata

// The long comparison of the lane-wide exp, hypot, sincos and atan2 with the C library:
// `exact_math_check COUNT [SEED]` draws COUNT arguments from each
// distribution for each function and copy (exact_math_compare.hpp).
#include <cstdio>
#include <cstdlib>

#include "exact_atan2_compare.hpp"
#include "exact_math_compare.hpp"

int main(int argc, char** argv) {
    const std::size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    const std::uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 20261207;
    std::size_t mismatches = drivers::compare_exact_math(count, seed);
    mismatches += drivers::compare_atan2(count, seed);
    std::printf("%zu mismatches\n", mismatches);
    return mismatches == 0 ? 0 : 1;
}

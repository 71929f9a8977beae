#include "strata/sweep.hpp"

#include "strata/pool.hpp"
#include "strata/transfer.hpp"

namespace strata {

// Two passes over the wavelengths, all s matrices before the first p matrix.
// Each pass writes every index once, straight into its own Transfer, so the
// pairs need no separate lists and no copy.
TransferList transfer_calc(const Data& data) {
    const std::size_t count = data.wl().size();
    const double theta = data.theta();
    TransferList transfers(count);
    for (Matrix2 Transfer::*slot : {&Transfer::s_matrix, &Transfer::p_matrix}) {
        const bool p_polarised = slot == &Transfer::p_matrix;
        auto compute = [&](std::size_t begin, std::size_t end) {
            transfer_for_wavelengths(data.d(), data.n(), data.wl(), theta, begin, end, p_polarised,
                                     transfers.data(), slot,
                                     p_polarised ? &Transfer::p_exponent : &Transfer::s_exponent);
        };
        if (count <= serial_sweep_limit)
            compute(0, count);
        else
            parallel_for(count, compute);
    }
    return transfers;
}

}  // namespace strata

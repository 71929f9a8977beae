#include "strata/sweep.hpp"

#include "strata/pool.hpp"
#include "strata/transfer.hpp"

namespace strata {
namespace {

// One pass over all wavelengths for one polarisation; every index is written
// to its own slot of the reserved list.
std::vector<Matrix2> parallel_pass(const Data& data, double theta, bool p_polarised) {
    const std::size_t count = data.wl().size();
    std::vector<Matrix2> matrices(count);
    const Array1<double>& d = data.d();
    const Array2<Complex>& n = data.n();
    const Array1<double>& wl = data.wl();
    auto compute = [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
            matrices[i] = transfer_for_wavelength_helper(d, n, wl, theta, i, p_polarised);
    };
    parallel_for(count, compute);
    return matrices;
}

std::vector<Matrix2> serial_pass(const Data& data, bool p_polarised) {
    const std::size_t count = data.wl().size();
    std::vector<Matrix2> matrices;
    matrices.reserve(count);
    for (std::size_t i = 0; i < count; ++i) matrices.push_back(data.transfer_for_wavelength(i, p_polarised));
    return matrices;
}

}  // namespace

std::vector<Transfer> transfer_calc(const Data& data) {
    const std::size_t count = data.wl().size();
    const double theta = data.theta();
    const bool parallel = count > serial_sweep_limit;
    std::vector<Matrix2> s_list = parallel ? parallel_pass(data, theta, false) : serial_pass(data, false);
    std::vector<Matrix2> p_list = parallel ? parallel_pass(data, theta, true) : serial_pass(data, true);

    const std::size_t pairs = std::min(s_list.size(), p_list.size());
    std::vector<Transfer> transfers;
    transfers.reserve(pairs);
    for (std::size_t i = 0; i < pairs; ++i) transfers.push_back({s_list[i], p_list[i]});
    return transfers;
}

}  // namespace strata

#pragma once
// The spectral sweep: s then p characteristic matrices for every wavelength.
#include <cstddef>
#include <vector>

#include "strata/data.hpp"
#include "strata/kernel.hpp"

namespace strata {

// Sweeps of up to this many wavelengths stay on the calling thread.
inline constexpr std::size_t serial_sweep_limit = 100;

// Bytes of polarisation-independent values that the s pass keeps for the p
// pass at least: every wavelength of a usual sweep. A larger sweep keeps all
// of its values while they take at most a quarter of the memory the system
// has available (reuse_budget); beyond that the p pass recomputes the
// wavelengths that did not fit.
inline constexpr std::size_t reuse_budget_bytes = std::size_t{64} << 20;

// The budget for a sweep whose values take `needed` bytes, given `available`
// bytes of available memory (MemAvailable; 0 when unknown).
std::size_t reuse_budget(std::size_t needed, std::size_t available);

TransferList transfer_calc(const Data& data);

// The same with a given kernel copy and reuse budget; every choice gives the
// same bits (the tests compare them).
TransferList transfer_calc(const Data& data, const Kernel& kernel, std::size_t reuse_budget);

}  // namespace strata

#pragma once
// The spectral sweep: s then p characteristic matrices for every wavelength.
#include <cstddef>
#include <vector>

#include "strata/data.hpp"

namespace strata {

// Sweeps of up to this many wavelengths stay on the calling thread.
inline constexpr std::size_t serial_sweep_limit = 100;

TransferList transfer_calc(const Data& data);

}  // namespace strata

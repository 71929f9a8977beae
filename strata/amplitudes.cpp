#include "strata/amplitudes.hpp"

namespace strata {}  // namespace strata

#include "strata/derivatives.hpp"

namespace strata {}  // namespace strata

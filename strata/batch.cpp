#include "strata/batch.hpp"

namespace strata {}  // namespace strata

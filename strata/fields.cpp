#include "strata/fields.hpp"

namespace strata {}  // namespace strata

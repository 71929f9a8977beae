#pragma once

namespace strata {}  // namespace strata

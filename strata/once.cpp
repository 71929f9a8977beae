#include "strata/once.hpp"

namespace strata {

namespace {

// Held across every fork by the engine's fork handlers (strata/fork.cpp).
std::mutex lock_for_one_time_values;

}  // namespace

std::mutex& one_time_lock() { return lock_for_one_time_values; }

}  // namespace strata

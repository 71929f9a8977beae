#include "strata/once.hpp"

#include <pthread.h>

namespace strata {

namespace {

std::mutex lock_for_one_time_values;

void hold_one_time_lock() { lock_for_one_time_values.lock(); }
void release_one_time_lock() { lock_for_one_time_values.unlock(); }

// Registered as the engine's library is loaded, so it is in place before any
// thread can start making a one-time value.
[[maybe_unused]] const int fork_handler_registered =
    pthread_atfork(hold_one_time_lock, release_one_time_lock, release_one_time_lock);

}  // namespace

std::mutex& one_time_lock() { return lock_for_one_time_values; }

}  // namespace strata

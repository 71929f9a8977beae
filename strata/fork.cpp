#include "strata/fork.hpp"

#include <pthread.h>

#include "strata/once.hpp"

namespace strata {
namespace {

void before_fork() {
    fork_steps::hold_pool();
    one_time_lock().lock();
}
void after_fork_in_parent() {
    one_time_lock().unlock();
    fork_steps::release_pool_in_parent();
}
void after_fork_in_child() {
    one_time_lock().unlock();
    fork_steps::release_pool_in_child();
}

// Runs as the library is loaded. Every lock involved is constant-initialized,
// so the order in which the engine's files are initialized does not matter.
[[maybe_unused]] const int fork_handlers_registered =
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);

}  // namespace
}  // namespace strata

#pragma once
// The engine's one set of fork handlers. It is registered as the engine's
// library is loaded, before any engine function can run, so no fork ever sees
// it half registered. (Registered on first use under std::call_once, a fork
// from another thread between the registration and the once's end would make
// the child, which starts an unfinished once over, register it a second time,
// and hang at its own next fork on a lock taken twice.)
//
// The handlers hold, in this order: the pool's pass lock, the pool itself, and
// the lock of the one-time values (strata/once.hpp). A pass's workers may make
// a one-time value while the caller holds the pass lock, so the pass lock
// comes first.
namespace strata::fork_steps {

// The pool's part (strata/pool.cpp): waits for a running pass, then holds the
// pool; the child abandons the parent's pool and starts its own when it needs one.
void hold_pool();
void release_pool_in_parent();
void release_pool_in_child();

}  // namespace strata::fork_steps

#pragma once
// Values made once per process: the sweep's kernel choice, its library checks
// and its recyclers. A fork while another thread is still making one must not
// copy it half made into the child, where nothing would finish it; a
// function-local static's guard would leave the child waiting forever. So
// every one is made under one lock, which each fork also takes (the engine's
// fork handlers, strata/fork.hpp, registered when the engine is loaded, before
// any thread can start making one). A fork thus waits for a value being made,
// and costs nothing otherwise.
#include <atomic>
#include <mutex>

namespace strata {

// The lock held while a one-time value is made, and across every fork.
std::mutex& one_time_lock();

// make() runs once per process. It must not itself ask for a one-time value:
// the lock is a plain mutex, the kind a fork's child may release although the
// thread that took it in the parent is not there.
template <class T, T (*make)()>
const T& made_once() {
    static std::atomic<T*> value{nullptr};
    T* made = value.load(std::memory_order_acquire);
    if (made == nullptr) {
        std::lock_guard lock(one_time_lock());
        made = value.load(std::memory_order_relaxed);
        if (made == nullptr) {
            made = new T(make());  // never freed: it lives as long as the process
            value.store(made, std::memory_order_release);
        }
    }
    return *made;
}

}  // namespace strata

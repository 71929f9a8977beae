#pragma once
// Values made once per process. A function-local static would not do: its
// guard, inherited mid-initialisation by a child forked from another thread,
// leaves the child waiting forever. glibc's pthread_once starts over in such
// a child (its control word carries the fork generation), so the child makes
// the value itself and the parent's half-made one is simply abandoned. Forks
// therefore need no handler for these values, and cost nothing before them.
#include <pthread.h>

namespace strata {

// make() runs once per process (once more in a child forked while it ran).
template <class T, T (*make)()>
const T& made_once() {
    static pthread_once_t once = PTHREAD_ONCE_INIT;
    static T* value = nullptr;
    pthread_once(&once, [] { value = new T(make()); });  // never freed: it lives as long as the process
    return *value;
}

}  // namespace strata

#pragma once
// Ctrl-C during a long call. The module's calls keep the GIL throughout, so
// the engine's check runs the interpreter's signal handlers itself, at most
// every StopCheck::interval and only on the main thread (the one Python runs
// handlers on). The exception a handler raises (KeyboardInterrupt) stays set,
// the engine stops within moments and throws strata::Interrupted, and the
// entry point's guard hands that exception to the interpreter.
#include <Python.h>
#include <pthread.h>

#include "pyref.hpp"
#include "strata/pool.hpp"

namespace lamina {

// Whether this is the interpreter's main thread; GIL held. Its ident is looked
// up in Python at the first call, before any sweep, and again in a forked
// child, whose main thread is the one that forked: the check itself runs no
// Python code on other threads, which could hand the GIL to a thread that
// waits for the pool this call holds.
class MainThread {
public:
    static bool is_current() noexcept {
        if (!known_) look_up();
        return known_ && ident_ == PyThread_get_thread_ident();
    }

private:
    static void look_up() noexcept {
        static const int registered = pthread_atfork(nullptr, nullptr, [] { known_ = false; });
        static_cast<void>(registered);
        PyRef threading = PyRef::steal(PyImport_ImportModule("threading"));
        PyRef main = threading ? PyRef::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr)) : PyRef{};
        PyRef ident = main ? PyRef::steal(PyObject_GetAttrString(main.get(), "ident")) : PyRef{};
        const unsigned long value = ident && ident.get() != Py_None ? PyLong_AsUnsignedLong(ident.get()) : 0;
        // Not known (nothing else is pending here): no check this time.
        if (PyErr_Occurred() || value == 0) {
            PyErr_Clear();
            return;
        }
        ident_ = value;
        known_ = true;
    }

    static inline bool known_ = false;
    static inline unsigned long ident_ = 0;
};

// Installed for the length of one call: on the main thread, a pending
// signal's handler runs within StopCheck::interval; elsewhere nothing.
class SignalCheck {
public:
    SignalCheck() : check_(MainThread::is_current() ? &signal_raised : nullptr, nullptr) {}

private:
    static bool signal_raised(void*) noexcept { return PyErr_CheckSignals() != 0; }

    strata::StopCheck check_;
};

}  // namespace lamina

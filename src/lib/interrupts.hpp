#pragma once
// Ctrl-C during a long call. The module's calls keep the GIL throughout, so
// the engine's check runs the interpreter's signal handlers itself, at most
// every StopCheck::interval and only on the main thread (the one Python runs
// handlers on). The exception a handler raises (KeyboardInterrupt) stays set,
// the engine stops within moments and throws strata::Interrupted, and the
// entry point's guard hands that exception to the interpreter.
#include <Python.h>

#include "pyref.hpp"
#include "strata/pool.hpp"

namespace lamina {

// Whether this is the interpreter's main thread; false when that cannot be
// told (the question's own error is dropped: nothing else is pending here).
inline bool on_main_thread() noexcept {
    PyRef threading = PyRef::steal(PyImport_ImportModule("threading"));
    PyRef main = threading ? PyRef::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr)) : PyRef{};
    PyRef ident = main ? PyRef::steal(PyObject_GetAttrString(main.get(), "ident")) : PyRef{};
    if (!ident || ident.get() == Py_None) {
        PyErr_Clear();
        return false;
    }
    const unsigned long value = PyLong_AsUnsignedLong(ident.get());
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return value == PyThread_get_thread_ident();
}

// Installed for the length of one call. Which thread it runs on is looked up
// at the first question only, so a call shorter than the interval pays one
// clock read.
class SignalCheck {
public:
    SignalCheck() : check_(&ask, this) {}

private:
    static bool ask(void* context) noexcept {
        auto& self = *static_cast<SignalCheck*>(context);
        if (self.main_thread_ < 0) self.main_thread_ = on_main_thread() ? 1 : 0;
        return self.main_thread_ == 1 && PyErr_CheckSignals() != 0;
    }

    int main_thread_ = -1;  // not yet known
    strata::StopCheck check_;
};

}  // namespace lamina

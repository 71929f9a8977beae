#pragma once
// The one wrapper every function called by the interpreter runs inside. It
// turns whatever the body throws into a Python exception:
//   PythonError      -> the exception the failed C-API call already set
//   Interrupted      -> the exception a signal handler raised (KeyboardInterrupt)
//   std::bad_alloc   -> MemoryError
//   anything else    -> PanicException carrying the failure's message
// A failure while doing that aborts the process: there is no sane state left
// to report it from.
#include <Python.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "pyref.hpp"
#include "strata/pool.hpp"

namespace lamina {

// An internal failure of the extension surface itself (the engine throws
// strata::Failure, which the guard treats alike).
class Panic : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline constexpr const char* generic_panic_message = "lamina failed internally without a message";

[[noreturn]] inline void abort_at_boundary() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

// The PanicException type, created at its first use and kept for the life of
// the process. It lives in a namespace of its own rather than in `lamina`.
inline PyObject* panic_type() {
    static PyCell cell;
    if (cell.empty()) {
        static const char name[] = "lamina_runtime.PanicException";
        static const char doc[] =
            "The exception raised when lamina's native code fails internally.\n\n"
            "It derives from BaseException, not Exception, so that it usually propagates\n"
            "to the top and ends the interpreter rather than being swallowed by a broad\n"
            "`except Exception:`.";
        cell.fill(checked(PyErr_NewExceptionWithDoc(name, doc, PyExc_BaseException, nullptr)));
    }
    return cell.get();
}

// Sets PanicException(message) as the current exception and reports the
// failure on stderr. Throws if the exception itself cannot be made.
inline void raise_panic(const char* message) {
    const std::string text = message != nullptr && *message != '\0' ? message : generic_panic_message;
    std::fprintf(stderr, "lamina: internal failure: %s\n", text.c_str());
    std::fflush(stderr);
    PyRef discarded = fetch_error();  // the panic supersedes anything pending
    PyRef argument = checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    restore_error(checked(PyObject_CallOneArg(panic_type(), argument.get())));
}

// Maps the exception being handled to a Python exception; must be called
// inside a catch block.
inline void set_error_from_current_exception() noexcept {
    try {
        try {
            throw;
        } catch (const PythonError&) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
        } catch (const strata::Interrupted&) {
            // The engine stops only when the call's StopCheck said so, after
            // the handler's exception was set.
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "interrupted without exception set");
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const std::exception& failure) {
            raise_panic(failure.what());
        } catch (...) {
            raise_panic(nullptr);
        }
    } catch (...) {
        abort_at_boundary();
    }
}

// The guard every entry point runs inside. `body` returns the entry point's
// result as a PyRef, empty only with an exception set; the interpreter gets
// the reference or NULL.
template <class Body>
PyObject* guard(Body&& body) noexcept {
    try {
        return body().release();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

// The guard of deallocation, which runs whenever a reference is dropped, often
// while an exception is propagating. It cannot report failure: a failure goes
// to the unraisable hook with `context` (an object that outlives the body).
// Only then is a pending exception set aside and put back untouched; a body
// that succeeds never looks at it.
template <class Body>
void guard_dealloc(Body&& body, PyObject* context) noexcept {
    try {
        body();
    } catch (const PythonError&) {
        // The failed call has already replaced whatever was pending.
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
        PyErr_WriteUnraisable(context);
    } catch (...) {
        PendingError pending;
        set_error_from_current_exception();
        PyErr_WriteUnraisable(context);
    }
}

}  // namespace lamina

#pragma once
// Ctrl-C during a long call. The engine runs with the GIL released and asks,
// every few milliseconds, whether to stop; on the main thread the answer is
// Python's: its signal handlers run (the GIL taken back for a moment), and
// the exception one raises (KeyboardInterrupt) ends the call within
// milliseconds instead of after it. Other threads cannot receive signals, and
// are not asked.
#include <nanobind/nanobind.h>

#include <optional>
#include <utility>

#include "strata/pool.hpp"

namespace engine {

namespace nb = nanobind;

inline bool on_main_thread() {
    static nb::handle threading = nb::module_::import_("threading").release();
    nb::object ident = threading.attr("main_thread")().attr("ident");
    return !ident.is_none() && nb::cast<unsigned long>(ident) == PyThread_get_thread_ident();
}

struct PendingSignal {
    std::optional<nb::python_error> error;
};

inline bool signal_raised(void* context) noexcept {
    nb::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() == 0) return false;
    static_cast<PendingSignal*>(context)->error.emplace();  // takes the exception from the interpreter
    return true;
}

// Runs `work()` with the GIL released. A signal handler's exception stops it
// and is raised here once the engine's workers have left the call's memory.
template <class Work>
void run_interruptible(Work&& work) {
    PendingSignal pending;
    strata::StopCheck check(on_main_thread() ? &signal_raised : nullptr, &pending);
    try {
        nb::gil_scoped_release release;
        std::forward<Work>(work)();
    } catch (const strata::Interrupted&) {
        if (pending.error) throw std::move(*pending.error);
        throw;  // only the check stops the work, and it keeps its error
    }
}

}  // namespace engine

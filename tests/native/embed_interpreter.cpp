// An application that embeds the interpreter and uses lamina in ways only
// native code can. Built against the Python it runs under (see
// tests/test_embedding.py); lamina and NumPy are found through PYTHONPATH.
//
//   embed_interpreter reinit    import lamina and simulate, finalize the
//                               interpreter, initialize a new one and import
//                               again: the import must fail with ImportError
//                               (the new main interpreter has the old one's ID,
//                               but the module's objects died with the old one)
//   embed_interpreter pending   an exception that is pending while a DataPy
//                               and a Simulation are deallocated comes out as
//                               it went in: the same objects, not normalised
//
// Prints one line per finding; exit status 0 when every check holds, 1 when
// one fails, 2 on a usage error.
#include <Python.h>

#include <cstdio>
#include <cstring>

namespace {

int failures = 0;

void check(bool holds, const char* what) {
    std::printf("%s: %s\n", holds ? "ok" : "FAILED", what);
    if (!holds) ++failures;
}

// Runs `code` in a fresh namespace; returns it (a new reference) or nullptr
// after printing the exception.
PyObject* run(const char* code) {
    PyObject* globals = PyDict_New();
    if (globals == nullptr) return nullptr;
    PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
    PyObject* result = PyRun_String(code, Py_file_input, globals, globals);
    if (result == nullptr) {
        PyErr_Print();
        Py_DECREF(globals);
        return nullptr;
    }
    Py_DECREF(result);
    return globals;
}

// Takes `name` out of `globals`, leaving the caller the only reference.
PyObject* take(PyObject* globals, const char* name) {
    PyObject* value = PyDict_GetItemString(globals, name);
    if (value == nullptr) return nullptr;
    Py_INCREF(value);
    PyDict_DelItemString(globals, name);
    return value;
}

constexpr const char stack_code[] =
    "import numpy as np\n"
    "import lamina\n"
    "wl = np.linspace(400.0, 700.0, 7)\n"
    "n = np.array([[1.0] * 7, [1.38] * 7, [1.52] * 7], dtype=complex)\n"
    "data = lamina.DataPy(np.array([100.0]), n, wl, 0.3, 0.7)\n"
    "simulation = data.simulate()\n"
    "assert simulation.r.shape == (7,) and 0.0 < simulation.r[3] < 0.05\n";

int reinit() {
    Py_Initialize();
    PyObject* globals = run(stack_code);
    check(globals != nullptr, "first interpreter imports lamina and simulates");
    Py_XDECREF(globals);
    check(Py_FinalizeEx() == 0, "first interpreter finalizes");

    Py_Initialize();
    for (int attempt = 1; attempt <= 2; ++attempt) {
        PyObject* module = PyImport_ImportModule("lamina");
        if (module != nullptr) {
            // Its cells point into the finalized interpreter: touch nothing.
            check(false, "a re-initialized interpreter cannot import lamina");
            return 1;
        }
        const bool import_error = PyErr_ExceptionMatches(PyExc_ImportError) != 0;
        PyObject* type = nullptr;
        PyObject* value = nullptr;
        PyObject* traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        PyObject* text = value != nullptr ? PyObject_Str(value) : nullptr;
        const char* message = text != nullptr ? PyUnicode_AsUTF8(text) : nullptr;
        std::printf("import %d in the new interpreter: %s\n", attempt, message != nullptr ? message : "?");
        check(import_error, "a re-initialized interpreter gets ImportError from import lamina");
        Py_XDECREF(text);
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        PyErr_Clear();
    }
    PyObject* globals_again = run("import sys\nassert 'lamina' not in sys.modules\n");
    check(globals_again != nullptr, "the new interpreter goes on working");
    Py_XDECREF(globals_again);
    check(Py_FinalizeEx() == 0, "the new interpreter finalizes");
    return failures == 0 ? 0 : 1;
}

constexpr const char counted_code[] =
    "class Counted(Exception):\n"
    "    made = 0\n"
    "    def __init__(self, *args):\n"
    "        type(self).made += 1\n"
    "        super().__init__(*args)\n";

long made(PyObject* cls) {
    PyObject* count = PyObject_GetAttrString(cls, "made");
    const long value = count != nullptr ? PyLong_AsLong(count) : -1;
    Py_XDECREF(count);
    return value;
}

// Sets an exception pending, drops the last reference to `object`, and checks
// that the same exception comes out, untouched.
void dealloc_with_pending(PyObject* object, PyObject* cls, const char* what) {
    char label[160];
#if PY_VERSION_HEX >= 0x030C0000
    // The indicator holds one exception instance from 3.12 on.
    PyObject* exception = PyObject_CallFunction(cls, "s", "pending");
    const long before = made(cls);
    PyErr_SetRaisedException(Py_NewRef(exception));
    Py_DECREF(object);
    PyObject* after = PyErr_GetRaisedException();
    std::snprintf(label, sizeof label, "%s: the pending exception comes back as the same object", what);
    check(after == exception, label);
    std::snprintf(label, sizeof label, "%s: no traceback, context or cause attached", what);
    check(PyException_GetTraceback(exception) == nullptr && PyException_GetContext(exception) == nullptr &&
              PyException_GetCause(exception) == nullptr,
          label);
    std::snprintf(label, sizeof label, "%s: no exception instance made", what);
    check(made(cls) == before, label);
    Py_XDECREF(after);
    Py_DECREF(exception);
#else
    // Up to 3.11 a pending exception may be a bare type and value; normalising
    // it would call the class.
    PyObject* value = PyUnicode_FromString("pending");
    const long before = made(cls);
    Py_INCREF(cls);
    Py_INCREF(value);
    PyErr_Restore(cls, value, nullptr);
    Py_DECREF(object);
    PyObject* type_after = nullptr;
    PyObject* value_after = nullptr;
    PyObject* traceback_after = nullptr;
    PyErr_Fetch(&type_after, &value_after, &traceback_after);
    std::snprintf(label, sizeof label, "%s: the pending type and value come back as they were (not normalised)",
                  what);
    check(type_after == cls && value_after == value && traceback_after == nullptr, label);
    std::snprintf(label, sizeof label, "%s: no exception instance made", what);
    check(made(cls) == before, label);
    Py_XDECREF(type_after);
    Py_XDECREF(value_after);
    Py_XDECREF(traceback_after);
    Py_DECREF(value);
#endif
}

int pending() {
    Py_Initialize();
    PyObject* globals = run(stack_code);
    PyObject* exceptions = run(counted_code);
    if (globals == nullptr || exceptions == nullptr) {
        check(false, "set-up in Python");
        return 1;
    }
    PyObject* cls = take(exceptions, "Counted");
    PyObject* data = take(globals, "data");
    PyObject* simulation = take(globals, "simulation");
    check(cls != nullptr && data != nullptr && simulation != nullptr && Py_REFCNT(data) == 1 &&
              Py_REFCNT(simulation) == 1,
          "the driver holds the only references to a DataPy and a Simulation");
    if (failures == 0) {
        dealloc_with_pending(data, cls, "DataPy");
        dealloc_with_pending(simulation, cls, "Simulation");
    }
    Py_XDECREF(cls);
    Py_DECREF(exceptions);
    Py_DECREF(globals);
    check(!PyErr_Occurred(), "nothing left pending");
    check(Py_FinalizeEx() == 0, "the interpreter finalizes");
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "reinit") == 0) return reinit();
    if (argc == 2 && std::strcmp(argv[1], "pending") == 0) return pending();
    std::fprintf(stderr, "usage: %s reinit|pending\n", argv[0]);
    return 2;
}

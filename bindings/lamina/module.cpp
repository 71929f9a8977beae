// The module `lamina`: single-phase initialisation, one interpreter per
// process, classes registered once. NumPy is not touched here; it is bound at
// the first array operation.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "datapy.hpp"
#include "guard.hpp"
#include "pyref.hpp"
#include "simulation.hpp"
#include "type_cell.hpp"

namespace lamina {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "lamina",
    "Reflectance and transmittance spectra of thin-film stacks by the transfer-matrix method.",
    0,        // no per-module state
    nullptr,  // no module-level functions
    nullptr,  // single-phase: no slots
    nullptr,
    nullptr,
    nullptr,
};

// The first interpreter to initialise the module owns it for good: the type
// objects are process-wide and cannot be shared across interpreters.
std::atomic<std::int64_t> interpreter_owner{-1};

// Filled by the first successful initialisation; a re-import after
// `del sys.modules['lamina']` hands back this same module.
PyCell module_cell;

// The owning interpreter also carries this key in its own state dictionary.
// After Py_Finalize and a new Py_Initialize the new main interpreter has the
// owner's ID again, but not the key: the cells above then point into the old
// interpreter's freed objects.
constexpr const char owner_key[] = "lamina.interpreter_owner";

std::int64_t current_interpreter_id(PyInterpreterState* interpreter) {
    const std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id == -1) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
        throw PythonError{};
    }
    return id;
}

PyObject* interpreter_dict(PyInterpreterState* interpreter) {
    PyObject* dict = PyInterpreterState_GetDict(interpreter);  // borrowed
    if (dict == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "no interpreter state dictionary");
        throw PythonError{};
    }
    return dict;
}

bool carries_owner_key(PyObject* dict) {
    PyObject* value = PyDict_GetItemString(dict, owner_key);  // borrowed, never raises
    return value != nullptr;
}

void claim_interpreter() {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    const std::int64_t id = current_interpreter_id(interpreter);
    PyObject* dict = interpreter_dict(interpreter);
    std::int64_t owner = -1;
    if (interpreter_owner.compare_exchange_strong(owner, id, std::memory_order_seq_cst)) {
        if (PyDict_SetItemString(dict, owner_key, Py_True) < 0) {
            interpreter_owner.store(-1, std::memory_order_seq_cst);  // nothing was created yet
            throw PythonError{};
        }
        return;
    }
    if (owner != id) {
        PyErr_SetString(PyExc_ImportError,
                        "lamina does not support sub-interpreters: it can be imported by one interpreter per "
                        "process only");
        throw PythonError{};
    }
    if (!carries_owner_key(dict)) {
        PyErr_SetString(PyExc_ImportError,
                        "lamina cannot be imported again after the interpreter that imported it was finalized: "
                        "it supports one interpreter per process only");
        throw PythonError{};
    }
}

// RuntimeError naming the class, caused by the exception type creation raised.
[[noreturn]] void raise_initialization_error(const char* class_name) {
    PyRef cause = fetch_error();
    const std::string message = std::string("An error occurred while initializing class ") + class_name;
    PyRef text = checked(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    PyRef error = checked(PyObject_CallOneArg(PyExc_RuntimeError, text.get()));
    PyException_SetCause(error.get(), cause.release());
    restore_error(std::move(error));
    throw PythonError{};
}

// The module's __all__, created empty if absent.
PyRef all_list(PyObject* module) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
        PyErr_Clear();
        all = checked(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw PythonError{};
    }
    if (!PyList_Check(all.get())) {
        raise_cannot_convert(all.get(), "PyList");
    }
    return all;
}

void register_class(PyObject* module, TypeCell& cls) {
    PyTypeObject* type = cls.get_or_create();
    if (type == nullptr) raise_initialization_error(cls.class_name());
    PyRef all = all_list(module);
    PyRef name = checked(PyUnicode_FromString(cls.class_name()));
    if (PyList_Append(all.get(), name.get()) < 0) throw PythonError{};
    if (PyObject_SetAttr(module, name.get(), as_object(type)) < 0) throw PythonError{};
}

PyRef initialize() {
    claim_interpreter();
    if (!module_cell.empty()) return PyRef::borrow(module_cell.get());
    PyRef module = checked(PyModule_Create2(&module_definition, 1013));
    register_class(module.get(), datapy_class());
    register_class(module.get(), simulation_class());
    module_cell.fill(PyRef::borrow(module.get()));
    return module;
}

}  // namespace
}  // namespace lamina

PyMODINIT_FUNC PyInit_lamina(void) { return lamina::guard(lamina::initialize); }

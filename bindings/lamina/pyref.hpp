#pragma once
// Owned Python references. Every strong reference the module keeps lives in
// one of these holders, so a reference is dropped exactly once, on every path.
#include <Python.h>

#include <string>
#include <utility>

namespace lamina {

// Thrown when a C-API call has failed and left its exception set; the entry
// point's guard lets that exception through to the interpreter.
struct PythonError {};

// One strong reference, dropped when the holder goes out of scope.
class PyRef {
public:
    PyRef() = default;
    static PyRef steal(PyObject* object) { return PyRef(object); }
    static PyRef borrow(PyObject* object) {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyRef old(std::move(*this));
        object_ = std::exchange(other.object_, nullptr);
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Hands the reference to the caller (a C-API call that steals, or the
    // interpreter as a return value).
    PyObject* release() { return std::exchange(object_, nullptr); }

private:
    explicit PyRef(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

// A new reference returned by a C-API call; nullptr means the call failed.
inline PyRef checked(PyObject* result) {
    if (result == nullptr) throw PythonError{};
    return PyRef::steal(result);
}

inline PyObject* as_object(PyTypeObject* type) { return reinterpret_cast<PyObject*>(type); }

// A reference kept until the process ends: filled once, never dropped. Static
// destructors run after the interpreter has finalised, so this holder
// deliberately never releases what it holds.
class PyCell {
public:
    constexpr PyCell() = default;
    bool empty() const { return object_ == nullptr; }
    PyObject* get() const { return object_; }
    void fill(PyRef reference) {
        if (empty()) object_ = reference.release();
    }

private:
    PyObject* object_ = nullptr;
};

// Takes the current exception off the indicator as one normalised instance;
// empty if none is set.
inline PyRef fetch_error() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyRef::steal(PyErr_GetRaisedException());
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return {};
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef type_ref = PyRef::steal(type);
    PyRef traceback_ref = PyRef::steal(traceback);
    if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
    return PyRef::steal(value);
#endif
}

// Makes `exception` the current exception as it is: no context is attached.
inline void restore_error(PyRef exception) {
    if (!exception) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject* value = exception.get();
    PyRef type = PyRef::borrow(as_object(Py_TYPE(value)));
    PyObject* traceback = PyException_GetTraceback(value);
    PyErr_Restore(type.release(), exception.release(), traceback);
#endif
}

// Holds the exception that is pending, exactly as it is, while other work
// reports something of its own; puts it back at scope exit. Nothing is
// normalised and no traceback is attached: up to 3.11 a pending exception may
// be a bare type and value, and normalising it would run the class's Python
// code.
class PendingError {
public:
#if PY_VERSION_HEX >= 0x030C0000
    PendingError() : exception_(PyErr_GetRaisedException()) {}
    ~PendingError() {
        if (exception_ != nullptr) PyErr_SetRaisedException(exception_);
    }
#else
    PendingError() { PyErr_Fetch(&type_, &value_, &traceback_); }
    ~PendingError() {
        if (type_ != nullptr) PyErr_Restore(type_, value_, traceback_);
    }
#endif
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;

private:
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exception_ = nullptr;
#else
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
#endif
};

// The __qualname__ of an object's type, as messages name it.
inline std::string type_qualname(PyObject* object) {
    // One interned key for the life of the process: a fresh key string per
    // lookup would fill the interpreter's type attribute cache.
    static PyCell key;
    if (key.empty()) key.fill(PyRef::steal(PyUnicode_InternFromString("__qualname__")));
    PyRef name = key.empty() ? PyRef{} : PyRef::steal(PyObject_GetAttr(as_object(Py_TYPE(object)), key.get()));
    const char* text = name && PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        return "<failed to extract type name>";
    }
    return text;
}

[[noreturn]] inline void raise_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw PythonError{};
}

// TypeError "'TYPE' object cannot be converted to 'TARGET'", TYPE being the
// object's type; `prefix` goes in front (e.g. "argument 'd': ").
[[noreturn]] inline void raise_cannot_convert(PyObject* object, const char* target, const std::string& prefix = {}) {
    const std::string type_name = type_qualname(object);
    PyErr_Format(PyExc_TypeError, "%s'%s' object cannot be converted to '%s'", prefix.c_str(), type_name.c_str(),
                 target);
    throw PythonError{};
}

}  // namespace lamina

#pragma once
// A class's heap type, created from its spec once per process and kept until
// the process ends.
#include <Python.h>

#include <cstring>
#include <memory>
#include <string>

#include "guard.hpp"
#include "pyref.hpp"

namespace lamina {

class TypeCell {
public:
    // `internal_doc` is the docstring with its text signature, or nullptr.
    constexpr TypeCell(const char* class_name, PyType_Spec* spec, const char* internal_doc)
        : class_name_(class_name), spec_(spec), internal_doc_(internal_doc) {}

    const char* class_name() const { return class_name_; }

    // The type object, created at the first request. nullptr with the Python
    // exception set if creation fails; the next request tries again.
    PyTypeObject* get_or_create() {
        if (cell_.empty()) {
            PyRef type = PyRef::steal(PyType_FromSpec(spec_));
            if (!type) return nullptr;
            if (!restore_text_signature(reinterpret_cast<PyTypeObject*>(type.get()))) return nullptr;
            cell_.fill(std::move(type));
        }
        return reinterpret_cast<PyTypeObject*>(cell_.get());
    }

    // For requests outside registration: failing to get the type is an
    // internal failure.
    PyTypeObject* require() {
        PyTypeObject* type = get_or_create();
        if (type == nullptr) {
            PyErr_PrintEx(0);
            throw Panic(std::string("failed to create type object for ") + class_name_);
        }
        return type;
    }

private:
    // Some interpreters strip the text signature off a heap type's docstring;
    // put the full text back so __text_signature__ survives everywhere.
    bool restore_text_signature(PyTypeObject* type) const {
        if (internal_doc_ == nullptr) return true;
        if (type->tp_doc != nullptr && std::strcmp(type->tp_doc, internal_doc_) == 0) return true;
        const std::size_t size = std::strlen(internal_doc_) + 1;
        // A heap type frees tp_doc with PyObject_Free, so allocate it likewise.
        void* doc = PyObject_Malloc(size);
        if (doc == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        std::memcpy(doc, internal_doc_, size);
        PyObject_Free(const_cast<char*>(type->tp_doc));
        type->tp_doc = static_cast<const char*>(doc);
        return true;
    }

    const char* class_name_;
    PyType_Spec* spec_;
    const char* internal_doc_;
    PyCell cell_;
};

// Both classes lay out an instance as the object header followed by one C++
// value, `field` (a pointer to that member of `Instance`).

// The deallocation slot: destroys the value and frees the object. A heap-type
// instance holds a reference to its type, dropped last.
template <class Instance, auto field>
void destroy_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    guard_dealloc(
        [&] {
            PyRef type_reference = PyRef::steal(as_object(type));
            std::destroy_at(&(reinterpret_cast<Instance*>(self)->*field));
            type->tp_free(self);
        },
        as_object(type));
}

// The value of a receiver that must be an instance of the class in `cell`.
template <class Instance, auto field>
const auto& instance_value(PyObject* self, TypeCell& cell) {
    if (!PyObject_TypeCheck(self, cell.require())) raise_cannot_convert(self, cell.class_name());
    return reinterpret_cast<Instance*>(self)->*field;
}

}  // namespace lamina

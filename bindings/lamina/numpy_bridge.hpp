#pragma once
// Every use of NumPy's C API goes through here, so the API table lives in one
// translation unit. The table is bound at the first call that needs it, never
// at import: `import lamina` works without NumPy.
#include <Python.h>

#include <cstddef>

#include "pyref.hpp"
#include "strata/array.hpp"
#include "strata/complex.hpp"

namespace lamina::numpy {

enum class ArrayKind {
    float64_vector,   // exactly one dimension, native float64
    complex128_array  // any number of dimensions, native complex128
};

// Whether `object` is an ndarray (or subclass) of the given kind. Binds the
// API on first use; a binding failure throws Panic.
bool accepts(PyObject* object, ArrayKind kind);

// Number of dimensions of an accepted array.
int ndim(PyObject* array);

// Owned copies of accepted arrays: one block when the source is contiguous
// (keeping column-major order for a matrix that has it), else element by
// element in row-major order.
strata::Array1<double> copy_vector(PyObject* array);
strata::Array2<strata::Complex> copy_matrix(PyObject* array);

// New, writeable, owning ndarrays holding copies of the values.
PyRef new_vector(const double* values, std::size_t size);
PyRef new_matrix(const strata::Array2<strata::Complex>& values);

}  // namespace lamina::numpy

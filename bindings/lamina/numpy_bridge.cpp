// NumPy's C API, bound lazily. Built against the NumPy 2 headers with the 1.23
// API as target, so one binary serves NumPy 1.x and 2.x: descriptor fields are
// read only through the headers' accessors, which dispatch on the runtime
// version recorded here at binding.
#include "numpy_bridge.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "guard.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL lamina_ARRAY_API
#define NO_IMPORT_ARRAY
#include <numpy/ndarrayobject.h>

// The API table and the runtime C-API feature version that the headers read.
// Both stay empty until binding succeeds.
void** PyArray_API = nullptr;
int PyArray_RUNTIME_VERSION = 0;

static_assert(sizeof(strata::Complex) == 2 * sizeof(double), "complex128 is two float64, real first");
static_assert(sizeof(Py_ssize_t) == sizeof(Py_intptr_t), "NumPy 1.x needs ssize_t-sized pointers");

namespace lamina::numpy {
namespace {

// "Type: message" for the current exception, which is cleared.
std::string describe_and_clear_error() {
    PyRef error = fetch_error();
    if (!error) return "unknown error";
    std::string description = Py_TYPE(error.get())->tp_name;
    PyRef text = PyRef::steal(PyObject_Str(error.get()));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        utf8 = "<exception str() failed>";
    }
    if (*utf8 != '\0') description += std::string(": ") + utf8;
    return description;
}

std::string hex(unsigned int value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

[[noreturn]] void raise_runtime_error(const std::string& message) {
    PyErr_SetString(PyExc_RuntimeError, message.c_str());
    throw PythonError{};
}

long numpy_major_version() {
    PyRef numpy = checked(PyImport_ImportModule("numpy"));
    PyRef version = checked(PyObject_GetAttrString(numpy.get(), "__version__"));
    PyRef lib = checked(PyImport_ImportModule("numpy.lib"));
    PyRef version_class = checked(PyObject_GetAttrString(lib.get(), "NumpyVersion"));
    PyRef parsed = checked(PyObject_CallOneArg(version_class.get(), version.get()));
    PyRef major = checked(PyObject_GetAttrString(parsed.get(), "major"));
    const long value = PyLong_AsLong(major.get());
    if (value == -1 && PyErr_Occurred()) throw PythonError{};
    return value;
}

void** api_table_from_capsule(long major) {
    // numpy.core is a deprecated alias of numpy._core under NumPy 2.
    PyRef multiarray = checked(PyImport_ImportModule(major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray"));
    PyRef capsule = checked(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!PyCapsule_CheckExact(capsule.get())) {
        raise_cannot_convert(capsule.get(), "PyCapsule");
    }
    const char* name = PyCapsule_GetName(capsule.get());
    if (name == nullptr && PyErr_Occurred()) throw PythonError{};
    void* table = PyCapsule_GetPointer(capsule.get(), name);
    if (table == nullptr) throw PythonError{};
    return static_cast<void**>(table);
}

// The checks NumPy's own import_array makes once the table is in place.
void check_runtime_numpy() {
    // The NumPy 2 headers serve ABI 1.x and 2.x; only a newer ABI is foreign.
    const unsigned int abi = PyArray_GetNDArrayCVersion();
    if (abi > static_cast<unsigned int>(NPY_VERSION)) {
        raise_runtime_error("module compiled against ABI version " + hex(NPY_VERSION) +
                            " but this version of numpy is " + hex(abi));
    }
    const int feature = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
    if (feature < NPY_FEATURE_VERSION) {
        raise_runtime_error("module compiled against NumPy C-API version " + hex(NPY_FEATURE_VERSION) +
                            " (NumPy " NPY_FEATURE_VERSION_STRING ") but the running NumPy has C-API version " +
                            hex(static_cast<unsigned int>(feature)));
    }
    if (PyArray_GetEndianness() != NPY_CPU_LITTLE) {
        raise_runtime_error("module compiled as little endian, but detected different endianness at runtime");
    }
    PyArray_RUNTIME_VERSION = feature;
}

void bind() {
    if (PyArray_API != nullptr) return;
    try {
        const long major = numpy_major_version();
        PyArray_API = api_table_from_capsule(major);
        check_runtime_numpy();
    } catch (const PythonError&) {
        // Nothing is kept: the next call tries again from the start.
        PyArray_API = nullptr;
        PyArray_RUNTIME_VERSION = 0;
        throw Panic("Failed to access NumPy array API capsule: " + describe_and_clear_error());
    }
}

PyArrayObject* as_array(PyObject* object) { return reinterpret_cast<PyArrayObject*>(object); }

// Reads one element wherever it sits: sources may be unaligned.
template <class T>
T read_element(const char* at) {
    T value;
    std::memcpy(&value, at, sizeof(T));
    return value;
}

bool is_row_major(npy_intp rows, npy_intp cols, npy_intp row_stride, npy_intp col_stride, npy_intp item) {
    if (rows == 0 || cols == 0) return true;
    return (cols == 1 || col_stride == item) && (rows == 1 || row_stride == cols * item);
}

bool is_column_major(npy_intp rows, npy_intp cols, npy_intp row_stride, npy_intp col_stride, npy_intp item) {
    if (rows == 0 || cols == 0) return true;
    return (rows == 1 || row_stride == item) && (cols == 1 || col_stride == rows * item);
}

[[noreturn]] void python_api_call_failed() {
    PyErr_PrintEx(0);
    throw Panic("Python API call failed");
}

// A new ndarray of the exact ndarray class with memory NumPy allocates.
PyRef new_array(int type_number, int dimensions, npy_intp* shape, bool column_major) {
    bind();
    PyArray_Descr* descr = PyArray_DescrFromType(type_number);
    if (descr == nullptr) python_api_call_failed();
    // PyArray_NewFromDescr takes over the descriptor reference, even on failure.
    PyObject* array = PyArray_NewFromDescr(&PyArray_Type, descr, dimensions, shape, nullptr, nullptr,
                                           column_major ? NPY_ARRAY_F_CONTIGUOUS : 0, nullptr);
    if (array == nullptr) python_api_call_failed();
    return PyRef::steal(array);
}

}  // namespace

bool accepts(PyObject* object, ArrayKind kind) {
    bind();
    if (!PyArray_Check(object)) return false;
    PyArrayObject* array = as_array(object);
    if (kind == ArrayKind::float64_vector && PyArray_NDIM(array) != 1) return false;
    const int type_number = kind == ArrayKind::float64_vector ? NPY_DOUBLE : NPY_CDOUBLE;
    PyRef expected = PyRef::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(type_number)));
    if (!expected) throw PythonError{};
    // Equivalence alone would not settle byte order on every NumPy version.
    return PyArray_EquivTypes(PyArray_DESCR(array), reinterpret_cast<PyArray_Descr*>(expected.get())) &&
           PyArray_ISNOTSWAPPED(array);
}

int ndim(PyObject* array) { return PyArray_NDIM(as_array(array)); }

strata::Array1<double> copy_vector(PyObject* object) {
    PyArrayObject* array = as_array(object);
    const npy_intp length = PyArray_DIM(array, 0);
    const npy_intp stride = PyArray_STRIDE(array, 0);
    const char* base = static_cast<const char*>(PyArray_DATA(array));
    strata::ArrayStorage<double> values(static_cast<std::size_t>(length));
    if (length == 0) return strata::Array1<double>(std::move(values));
    if (length == 1 || stride == static_cast<npy_intp>(sizeof(double))) {
        std::memcpy(values.data(), base, values.size() * sizeof(double));
    } else {
        for (npy_intp i = 0; i < length; ++i) values[static_cast<std::size_t>(i)] = read_element<double>(base + i * stride);
    }
    return strata::Array1<double>(std::move(values));
}

strata::Array2<strata::Complex> copy_matrix(PyObject* object) {
    using strata::Complex;
    using strata::Order;
    PyArrayObject* array = as_array(object);
    const npy_intp rows = PyArray_DIM(array, 0);
    const npy_intp cols = PyArray_DIM(array, 1);
    const npy_intp row_stride = PyArray_STRIDE(array, 0);
    const npy_intp col_stride = PyArray_STRIDE(array, 1);
    const npy_intp item = sizeof(Complex);
    const char* base = static_cast<const char*>(PyArray_DATA(array));
    const auto size = static_cast<std::size_t>(rows * cols);
    strata::ArrayStorage<Complex> values(size);

    Order order = Order::row_major;
    const bool row_major = is_row_major(rows, cols, row_stride, col_stride, item);
    if (!row_major && is_column_major(rows, cols, row_stride, col_stride, item)) order = Order::column_major;
    if (size == 0) {
        // nothing to copy
    } else if (row_major || order == Order::column_major) {
        std::memcpy(values.data(), base, size * sizeof(Complex));
    } else {
        std::size_t next = 0;
        for (npy_intp r = 0; r < rows; ++r) {
            for (npy_intp c = 0; c < cols; ++c) {
                values[next++] = read_element<Complex>(base + r * row_stride + c * col_stride);
            }
        }
    }
    return strata::Array2<Complex>(static_cast<std::size_t>(rows), static_cast<std::size_t>(cols), order,
                                   std::move(values));
}

PyRef new_vector(const double* values, std::size_t size) {
    npy_intp shape[1] = {static_cast<npy_intp>(size)};
    PyRef array = new_array(NPY_DOUBLE, 1, shape, false);
    if (size != 0) std::memcpy(PyArray_DATA(as_array(array.get())), values, size * sizeof(double));
    return array;
}

PyRef new_matrix(const strata::Array2<strata::Complex>& values) {
    npy_intp shape[2] = {static_cast<npy_intp>(values.rows()), static_cast<npy_intp>(values.cols())};
    const bool column_major = values.order() == strata::Order::column_major;
    PyRef array = new_array(NPY_CDOUBLE, 2, shape, column_major);
    if (values.size() != 0) {
        std::memcpy(PyArray_DATA(as_array(array.get())), values.data(), values.size() * sizeof(strata::Complex));
    }
    return array;
}

}  // namespace lamina::numpy

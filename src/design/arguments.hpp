#pragma once
// Argument checking shared by the module's functions: every array arrives as
// a C-contiguous NumPy array of the one dtype it must have, and every wrong
// shape or dtype is refused with the argument's name, what was expected and
// what was received (ValueError for shapes, TypeError for dtypes and kinds).
//
// The batch convention of every function:
//   d      float64    (B, K-2)                 thicknesses, one row per stack
//   n      complex128 (B, K, W) or (K, W)      indices per stack, or shared
//   wl     float64    (W,)                     vacuum wavelengths
//   theta  float64    (A,)                     angles of incidence (radians)
// Results are (B, A, W), with a leading axis of 2 (s, then p) where a
// function returns both polarisations.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <complex>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "strata/batch.hpp"
#include "strata/complex.hpp"

namespace design {

namespace nb = nanobind;

// numpy, imported once and kept for the life of the process (never released,
// so nothing is torn down after the interpreter).
inline nb::handle numpy() {
    static nb::handle module = nb::module_::import_("numpy").release();
    return module;
}

template <class T>
struct Dtype;
template <>
struct Dtype<double> {
    static constexpr const char* name = "float64";
};
template <>
struct Dtype<strata::Complex> {
    static constexpr const char* name = "complex128";
};

inline std::string shape_text(const std::vector<std::size_t>& shape) {
    std::string text = "(";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (i > 0) text += ", ";
        text += std::to_string(shape[i]);
    }
    return text + (shape.size() == 1 ? ",)" : ")");
}

[[noreturn]] inline void shape_error(const char* name, const std::string& expected,
                                     const std::vector<std::size_t>& received) {
    throw nb::value_error((std::string(name) + ": expected shape " + expected + ", received shape " +
                           shape_text(received))
                              .c_str());
}

[[noreturn]] inline void type_error(const char* name, const std::string& expected, const std::string& received) {
    throw nb::type_error((std::string(name) + ": expected " + expected + ", received " + received).c_str());
}

inline std::string python_type_name(nb::handle value) { return nb::cast<std::string>(nb::type_name(value.type())); }

// A read-only, C-contiguous view of an argument of element type T (double or
// strata::Complex). `owner` keeps the array alive while the view is used,
// also with the GIL released.
template <class T>
struct ArrayView {
    nb::object owner;
    const T* data = nullptr;
    std::vector<std::size_t> shape;

    std::size_t ndim() const { return shape.size(); }
    std::size_t size() const {
        std::size_t count = 1;
        for (std::size_t extent : shape) count *= extent;
        return count;
    }
};

// The argument `value` as a T array. NumPy arrays (and their subclasses) must
// have T's dtype already: no silent casts. Anything else (lists, scalars) is
// converted by numpy.asarray with T's dtype, and refused with a TypeError
// when that fails. Strided arrays are copied.
template <class T>
ArrayView<T> array_argument(nb::handle value, const char* name) {
    const char* dtype = Dtype<T>::name;
    nb::object array;
    if (nb::isinstance(value, numpy().attr("ndarray"))) {
        nb::object actual = value.attr("dtype");
        if (!actual.equal(numpy().attr("dtype")(dtype))) {
            type_error(name, std::string("dtype ") + dtype,
                       "dtype " + nb::cast<std::string>(nb::str(actual)));
        }
        array = nb::borrow(value);
    } else {
        try {
            array = numpy().attr("asarray")(value, dtype);
        } catch (nb::python_error&) {
            type_error(name, std::string("an array of ") + dtype, python_type_name(value));
        }
    }
    if (!nb::cast<bool>(array.attr("flags").attr("c_contiguous")))
        array = numpy().attr("ascontiguousarray")(array);
    using Element = std::conditional_t<std::is_same_v<T, double>, double, std::complex<double>>;
    auto view = nb::cast<nb::ndarray<const Element, nb::c_contig, nb::device::cpu>>(array);
    ArrayView<T> result;
    result.owner = array;
    result.data = reinterpret_cast<const T*>(view.data());
    for (std::size_t i = 0; i < view.ndim(); ++i) result.shape.push_back(view.shape(i));
    return result;
}

// A writeable, C-contiguous T array of exactly `shape` for results: the
// caller's `out` when given (checked), else a new NumPy array.
template <class T>
struct OutputArray {
    nb::object array;
    T* data = nullptr;
};

template <class T>
OutputArray<T> output_argument(nb::handle out, const char* name, const std::vector<std::size_t>& shape) {
    const char* dtype = Dtype<T>::name;
    nb::object array;
    if (out.is_none()) {
        nb::list extents;
        for (std::size_t extent : shape) extents.append(extent);
        array = numpy().attr("empty")(nb::tuple(extents), dtype);
    } else {
        if (!nb::isinstance(out, numpy().attr("ndarray")))
            type_error(name, std::string("a NumPy array of dtype ") + dtype, python_type_name(out));
        nb::object actual = out.attr("dtype");
        if (!actual.equal(numpy().attr("dtype")(dtype)))
            type_error(name, std::string("dtype ") + dtype, "dtype " + nb::cast<std::string>(nb::str(actual)));
        std::vector<std::size_t> received;
        for (nb::handle extent : nb::cast<nb::tuple>(out.attr("shape")))
            received.push_back(nb::cast<std::size_t>(extent));
        if (received != shape) shape_error(name, shape_text(shape), received);
        nb::object flags = out.attr("flags");
        if (!nb::cast<bool>(flags.attr("c_contiguous")) || !nb::cast<bool>(flags.attr("writeable")))
            type_error(name, "a writeable C-contiguous array", "one that is not");
        array = nb::borrow(out);
    }
    using Element = std::conditional_t<std::is_same_v<T, double>, double, std::complex<double>>;
    auto view = nb::cast<nb::ndarray<Element, nb::c_contig, nb::device::cpu>>(array);
    return {array, reinterpret_cast<T*>(view.data())};
}

// The four batch arguments, checked against each other.
struct Batch {
    ArrayView<double> d;
    ArrayView<strata::Complex> n;
    ArrayView<double> wl;
    ArrayView<double> theta;
    std::size_t stacks = 0;       // B
    std::size_t media = 0;        // K
    std::size_t wavelengths = 0;  // W
    std::size_t angles = 0;       // A
    bool shared_indices = false;  // n is (K, W), the same for every stack

    // The result shape (B, A, W), after `leading` extents such as 2 for (s, p).
    std::vector<std::size_t> result_shape(std::initializer_list<std::size_t> leading = {}) const {
        std::vector<std::size_t> shape(leading);
        shape.insert(shape.end(), {stacks, angles, wavelengths});
        return shape;
    }
};

inline Batch batch_arguments(nb::handle d, nb::handle n, nb::handle wl, nb::handle theta) {
    Batch batch;
    batch.d = array_argument<double>(d, "d");
    batch.n = array_argument<strata::Complex>(n, "n");
    batch.wl = array_argument<double>(wl, "wl");
    batch.theta = array_argument<double>(theta, "theta");
    if (batch.wl.ndim() != 1) shape_error("wl", "(W,)", batch.wl.shape);
    if (batch.theta.ndim() != 1) shape_error("theta", "(A,)", batch.theta.shape);
    if (batch.d.ndim() != 2) shape_error("d", "(B, K-2)", batch.d.shape);
    batch.wavelengths = batch.wl.shape[0];
    batch.angles = batch.theta.shape[0];
    batch.stacks = batch.d.shape[0];
    batch.media = batch.d.shape[1] + 2;
    const std::string w = std::to_string(batch.wavelengths);
    const std::string b = std::to_string(batch.stacks);
    const std::string k = std::to_string(batch.media);
    if (batch.n.ndim() == 2) {
        batch.shared_indices = true;
        if (batch.n.shape[0] != batch.media || batch.n.shape[1] != batch.wavelengths)
            shape_error("n", "(K, W) = (" + k + ", " + w + ") or (B, K, W) = (" + b + ", " + k + ", " + w +
                                 ") for d of shape " + shape_text(batch.d.shape) + " and wl of shape (" + w + ",)",
                        batch.n.shape);
    } else if (batch.n.ndim() == 3) {
        if (batch.n.shape[0] != batch.stacks || batch.n.shape[1] != batch.media ||
            batch.n.shape[2] != batch.wavelengths)
            shape_error("n", "(B, K, W) = (" + b + ", " + k + ", " + w + ") or (K, W) = (" + k + ", " + w +
                                 ") for d of shape " + shape_text(batch.d.shape) + " and wl of shape (" + w + ",)",
                        batch.n.shape);
    } else {
        shape_error("n", "(B, K, W) or (K, W)", batch.n.shape);
    }
    return batch;
}

// The engine's view of a checked batch; valid while `batch` lives.
inline strata::BatchInput engine_input(const Batch& batch) {
    strata::BatchInput input;
    input.stacks = batch.stacks;
    input.media = batch.media;
    input.wavelengths = batch.wavelengths;
    input.angles = batch.angles;
    input.d = batch.d.data;
    input.n = batch.n.data;
    input.shared_indices = batch.shared_indices;
    input.wl = batch.wl.data;
    input.theta = batch.theta.data;
    return input;
}

}  // namespace design

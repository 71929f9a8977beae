#pragma once
// Argument checking shared by the module's functions: every array arrives as
// a C-contiguous NumPy array of the one dtype it must have, and every wrong
// shape or dtype is refused with the argument's name, what was expected and
// what was received (ValueError for shapes, TypeError for dtypes and kinds).
// Before anything is allocated or computed, a call's results are checked
// together (Results below): outputs that share memory with each other or with
// an input are refused, and so is a request larger than the memory available.
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

#include <algorithm>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "strata/batch.hpp"
#include "strata/complex.hpp"
#include "strata/pool.hpp"
#include "strata/recycle.hpp"

namespace engine {

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

// a * b, or SIZE_MAX where that overflows: a size no machine holds.
inline std::size_t saturating_product(std::size_t a, std::size_t b) {
    std::size_t product = 0;
    return __builtin_mul_overflow(a, b, &product) ? SIZE_MAX : product;
}

inline std::size_t saturating_sum(std::size_t a, std::size_t b) { return a > SIZE_MAX - b ? SIZE_MAX : a + b; }

// Bytes of a C-contiguous array of `shape`: 0 when any extent is 0, however
// large the others.
inline std::size_t array_bytes(const std::vector<std::size_t>& shape, std::size_t element) {
    if (std::find(shape.begin(), shape.end(), std::size_t{0}) != shape.end()) return 0;
    std::size_t bytes = element;
    for (std::size_t extent : shape) bytes = saturating_product(bytes, extent);
    return bytes;
}

inline std::string bytes_text(std::size_t bytes) {
    if (bytes == SIZE_MAX) return "more than 16 EiB";
    static const char* const units[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double value = static_cast<double>(bytes);
    std::size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < std::size(units)) {
        value /= 1024.0;
        ++unit;
    }
    char text[48];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
    return text;
}

// Refuses `bytes` more than the system has available (MemAvailable): the
// system would hand the memory out all the same and end the process once the
// engine writes it. Unknown availability refuses nothing.
inline void check_available(std::size_t bytes, const std::string& what) {
    const std::size_t available = strata::available_memory_bytes();
    if (available == 0 || bytes <= available) return;
    PyErr_SetString(PyExc_MemoryError,
                    (what + ": more than the " + bytes_text(available) + " of memory available").c_str());
    throw nb::python_error();
}

// A read-only, C-contiguous view of an argument of element type T (double or
// strata::Complex). `owner` keeps the array alive while the view is used,
// also with the GIL released.
template <class T>
struct ArrayView {
    const char* name = nullptr;
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
    if (!nb::cast<bool>(array.attr("flags").attr("c_contiguous"))) {
        // A broadcast array can be far larger than the memory it views.
        const std::size_t bytes = nb::cast<std::size_t>(array.attr("nbytes"));
        check_available(bytes, std::string(name) + ": the contiguous copy of a strided array needs " +
                                   bytes_text(bytes));
        array = numpy().attr("ascontiguousarray")(array);
    }
    using Element = std::conditional_t<std::is_same_v<T, double>, double, std::complex<double>>;
    auto view = nb::cast<nb::ndarray<const Element, nb::c_contig, nb::device::cpu>>(array);
    ArrayView<T> result;
    result.name = name;
    result.owner = array;
    result.data = reinterpret_cast<const T*>(view.data());
    for (std::size_t i = 0; i < view.ndim(); ++i) result.shape.push_back(view.shape(i));
    return result;
}

// The first element of a writeable C-contiguous NumPy array of T's dtype.
template <class T>
T* element_pointer(nb::handle array) {
    using Element = std::conditional_t<std::is_same_v<T, double>, double, std::complex<double>>;
    auto view = nb::cast<nb::ndarray<Element, nb::c_contig, nb::device::cpu>>(array);
    return reinterpret_cast<T*>(view.data());
}

// A writeable, C-contiguous T array of exactly `shape` for results: the
// caller's `out` when given (checked), else a new NumPy array, made by
// Results::allocate once the whole request is known to fit.
template <class T>
struct OutputArray {
    nb::object array;  // None until allocated
    T* data = nullptr;
    const char* name = nullptr;
    std::vector<std::size_t> shape;
};

template <class T>
OutputArray<T> output_argument(nb::handle out, const char* name, const std::vector<std::size_t>& shape) {
    const char* dtype = Dtype<T>::name;
    OutputArray<T> result;
    result.name = name;
    result.shape = shape;
    result.array = nb::none();
    if (out.is_none()) return result;
    if (!nb::isinstance(out, numpy().attr("ndarray")))
        type_error(name, std::string("a NumPy array of dtype ") + dtype, python_type_name(out));
    nb::object actual = out.attr("dtype");
    if (!actual.equal(numpy().attr("dtype")(dtype)))
        type_error(name, std::string("dtype ") + dtype, "dtype " + nb::cast<std::string>(nb::str(actual)));
    std::vector<std::size_t> received;
    for (nb::handle extent : nb::cast<nb::tuple>(out.attr("shape"))) received.push_back(nb::cast<std::size_t>(extent));
    if (received != shape) shape_error(name, shape_text(shape), received);
    nb::object flags = out.attr("flags");
    if (!nb::cast<bool>(flags.attr("c_contiguous")) || !nb::cast<bool>(flags.attr("writeable")))
        type_error(name, "a writeable C-contiguous array", "one that is not");
    result.array = nb::borrow(out);
    result.data = element_pointer<T>(result.array);
    return result;
}

// `out` as a tuple of `count` arrays, checked for its kind and length (None passes).
// How T is told from |t|^2: the power flux (tmm, PyMoosh) or lamina's eta form.
inline void check_convention(const std::string& convention) {
    if (convention != "flux" && convention != "eta")
        throw nb::value_error(("convention: expected 'flux' or 'eta', received '" + convention + "'").c_str());
}

inline void check_output_tuple(nb::handle out, std::size_t count) {
    if (!out.is_none() && (!nb::isinstance<nb::tuple>(out) || nb::len(out) != count))
        type_error("out", "a tuple of " + std::to_string(count) + " arrays", python_type_name(out));
}

// Part i of a checked `out` tuple ("out[i]" in messages), or a new array when out is None.
template <class T>
OutputArray<T> output_part(nb::handle out, std::size_t i, const std::vector<std::size_t>& shape) {
    static const char* const names[] = {"out[0]", "out[1]", "out[2]", "out[3]", "out[4]", "out[5]"};
    if (out.is_none()) return output_argument<T>(out, names[i], shape);
    return output_argument<T>(nb::borrow<nb::tuple>(out)[i], names[i], shape);
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
    const std::size_t n_rank = batch.n.ndim();
    if (n_rank != 2 && n_rank != 3) shape_error("n", "(B, K, W) or (K, W)", batch.n.shape);
    batch.shared_indices = n_rank == 2;
    const std::string per_stack = "(B, K, W) = (" + b + ", " + k + ", " + w + ")";
    const std::string shared = "(K, W) = (" + k + ", " + w + ")";
    const std::string expected_n = batch.shared_indices ? shared + " or " + per_stack : per_stack + " or " + shared;
    const std::size_t n_media = batch.n.shape[n_rank - 2];
    const bool stacks_fit = batch.shared_indices || batch.n.shape[0] == batch.stacks;
    if (stacks_fit && batch.n.shape[n_rank - 1] == batch.wavelengths && n_media != batch.media) {
        // n fits but for its number of media: d's columns are as likely wrong.
        if (n_media >= 2)
            throw nb::value_error(("d: expected shape (B, K-2) = (" + b + ", " + std::to_string(n_media - 2) +
                                   ") for n of shape " + shape_text(batch.n.shape) + " (K = " +
                                   std::to_string(n_media) + " media), received shape " + shape_text(batch.d.shape) +
                                   "; or n: expected shape " + expected_n + " for this d")
                                      .c_str());
    }
    if (!stacks_fit || n_media != batch.media || batch.n.shape[n_rank - 1] != batch.wavelengths)
        shape_error("n", expected_n + " for d of shape " + shape_text(batch.d.shape) + " and wl of shape (" + w + ",)",
                    batch.n.shape);
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

// The engine's working memory, per pool thread: the amplitude sweep holds one
// block of up to strata::block_wavelengths wavelengths (the block's indices,
// the values its p pass reuses, its matrices); the functions that work point
// by point hold one point's solution. Both grow with K.
inline std::size_t sweep_work(const Batch& batch) {
    const std::size_t columns = std::min(batch.wavelengths, strata::block_wavelengths);
    const std::size_t per_medium = 16 * columns + 48 * (columns + 16);
    const std::size_t per_thread = saturating_sum(saturating_product(batch.media, per_medium), 256 * columns);
    return saturating_product(per_thread, std::max<std::size_t>(1, strata::configured_thread_count()));
}

inline std::size_t point_work(const Batch& batch) {
    return saturating_product(saturating_product(batch.media, 1024),
                              std::max<std::size_t>(1, strata::configured_thread_count()));
}

// One call's results, checked together before anything is allocated or
// computed. An output the caller gave may not share memory with another
// output nor with an input (the engine would read what it has already
// written, or write one result over another); the arrays are contiguous, so
// comparing their address ranges is exact. The new result arrays and the
// engine's working memory together must fit in the memory available.
class Results {
public:
    Results(const Batch& batch, std::size_t work) : batch_(batch), work_(work) {
        read(batch.d);
        read(batch.n);
        read(batch.wl);
        read(batch.theta);
    }

    template <class T>
    void read(const ArrayView<T>& input) {
        if (input.data != nullptr)
            extents_.push_back({input.name, input.data, input.size() * sizeof(T), false});
    }

    template <class T>
    void write(OutputArray<T>& output) {
        const std::size_t bytes = array_bytes(output.shape, sizeof(T));
        if (bytes != 0) empty_ = false;
        if (output.array.is_none()) {
            new_bytes_ = saturating_sum(new_bytes_, bytes);
            pending_.push_back({&output, &allocate_one<T>});
        } else {
            extents_.push_back({output.name, output.data, bytes, true});
        }
    }

    template <class T>
    void write(std::vector<OutputArray<T>>& outputs) {
        for (OutputArray<T>& output : outputs) write(output);
    }

    // Checks, then allocates the outputs not given. False when every result
    // is empty: there is nothing to compute, however large the batch.
    bool allocate() {
        for (std::size_t i = 0; i < extents_.size(); ++i) {
            if (!extents_[i].written) continue;
            for (std::size_t j = 0; j < extents_.size(); ++j)
                if (j != i && (j < i || !extents_[j].written) && overlap(extents_[i], extents_[j]))
                    throw nb::value_error((std::string(extents_[i].name) + ": shares memory with " +
                                           extents_[j].name +
                                           "; each output needs memory apart from the other outputs and the inputs")
                                              .c_str());
        }
        if (!empty_) {
            const std::size_t needed = saturating_sum(new_bytes_, work_);
            check_available(needed, "the request needs " + bytes_text(needed) + " (" + bytes_text(new_bytes_) +
                                        " of results for B = " + std::to_string(batch_.stacks) +
                                        " stacks, A = " + std::to_string(batch_.angles) +
                                        " angles, W = " + std::to_string(batch_.wavelengths) +
                                        " wavelengths and K = " + std::to_string(batch_.media) + " media, and " +
                                        bytes_text(work_) + " of working memory)");
        }
        for (const Pending& p : pending_) p.allocate(p.output);
        return !empty_;
    }

private:
    struct Extent {
        const char* name;
        const void* begin;
        std::size_t bytes;
        bool written;
    };
    struct Pending {
        void* output;
        void (*allocate)(void*);
    };

    static bool overlap(const Extent& a, const Extent& b) {
        if (a.bytes == 0 || b.bytes == 0) return false;
        const auto a_begin = reinterpret_cast<std::uintptr_t>(a.begin);
        const auto b_begin = reinterpret_cast<std::uintptr_t>(b.begin);
        return a_begin < b_begin + b.bytes && b_begin < a_begin + a.bytes;
    }

    template <class T>
    static void allocate_one(void* pointer) {
        OutputArray<T>& output = *static_cast<OutputArray<T>*>(pointer);
        nb::list extents;
        for (std::size_t extent : output.shape) extents.append(extent);
        output.array = numpy().attr("empty")(nb::tuple(extents), Dtype<T>::name);
        output.data = element_pointer<T>(output.array);
    }

    const Batch& batch_;
    std::size_t work_;
    std::vector<Extent> extents_;
    std::vector<Pending> pending_;
    std::size_t new_bytes_ = 0;
    bool empty_ = true;
};

// Results(batch, work) over the outputs (OutputArray or vectors of them) and
// any further inputs (ArrayView), allocated; false when all are empty.
template <class... Arguments>
bool allocate_results(const Batch& batch, std::size_t work, Arguments&... arguments) {
    Results results(batch, work);
    auto add = [&](auto& argument) {
        if constexpr (requires { argument.owner; })
            results.read(argument);
        else
            results.write(argument);
    };
    (add(arguments), ...);
    return results.allocate();
}

}  // namespace engine

// DataPy(d, n, wl, theta, phi): checks and copies one stack description, hands
// copies back through read-only attributes, and runs the engine in simulate().
#include "datapy.hpp"

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "guard.hpp"
#include "interrupts.hpp"
#include "numpy_bridge.hpp"
#include "pyref.hpp"
#include "simulation.hpp"
#include "strata/data.hpp"

namespace lamina {
namespace {

// The constructor's arguments, as owned copies of the caller's data.
struct OwnedInputs {
    strata::Array1<double> d;
    strata::Array2<strata::Complex> n;
    strata::Array1<double> wl;
    double theta;
    double phi;
};

struct DataPyObject {
    PyObject_HEAD
    OwnedInputs inputs;
};

// ---------------------------------------------------------------- arguments

constexpr std::array<const char*, 5> parameter_names{"d", "n", "wl", "theta", "phi"};
constexpr std::size_t parameter_count = parameter_names.size();
using Arguments = std::array<PyRef, parameter_count>;

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string quoted_list(const std::vector<std::string>& names) {
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) list += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        list += "'" + names[i] + "'";
    }
    return list;
}

std::size_t parameter_index(PyObject* keyword) {
    for (std::size_t i = 0; i < parameter_count; ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, parameter_names[i]) == 0) return i;
    }
    return parameter_count;
}

// Binds the call's arguments to (d, n, wl, theta, phi) by position, then by
// keyword in the order given, with the interpreter's usual messages.
Arguments bind_arguments(PyObject* args, PyObject* kwargs) {
    Arguments bound;
    const Py_ssize_t positional = PyTuple_GET_SIZE(args);
    if (positional > static_cast<Py_ssize_t>(parameter_count)) {
        raise_type_error("DataPy.__new__() takes 5 positional arguments but " + std::to_string(positional) +
                         " were given");
    }
    for (Py_ssize_t i = 0; i < positional; ++i) {
        bound[static_cast<std::size_t>(i)] = PyRef::borrow(PyTuple_GET_ITEM(args, i));
    }
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* keyword = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &keyword, &value)) {
            if (!PyUnicode_Check(keyword)) raise_type_error("DataPy.__new__() keywords must be strings");
            const std::size_t index = parameter_index(keyword);
            if (index == parameter_count) {
                PyErr_Format(PyExc_TypeError, "DataPy.__new__() got an unexpected keyword argument '%U'", keyword);
                throw PythonError{};
            }
            if (bound[index]) {
                raise_type_error(std::string("DataPy.__new__() got multiple values for argument '") +
                                 parameter_names[index] + "'");
            }
            bound[index] = PyRef::borrow(value);
        }
    }
    std::vector<std::string> missing;
    for (std::size_t i = 0; i < parameter_count; ++i) {
        if (!bound[i]) missing.emplace_back(parameter_names[i]);
    }
    if (!missing.empty()) {
        raise_type_error("DataPy.__new__() missing " + std::to_string(missing.size()) + " required positional " +
                         (missing.size() == 1 ? "argument: " : "arguments: ") + quoted_list(missing));
    }
    return bound;
}

PyObject* checked_array(PyObject* argument, const char* name, numpy::ArrayKind kind) {
    if (!numpy::accepts(argument, kind)) {
        raise_cannot_convert(argument, "PyArray<T, D>", std::string("argument '") + name + "': ");
    }
    return argument;
}

// A TypeError from the float conversion is reworded to name the argument and
// keeps the original's cause; any other exception passes unchanged.
double checked_float(PyObject* argument, const char* name) {
    const double value = PyFloat_AsDouble(argument);
    if (value != -1.0 || !PyErr_Occurred()) return value;
    PyRef error = fetch_error();
    if (Py_IS_TYPE(error.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
        PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %S", name, error.get()));
        if (!message) {
            PyErr_Clear();
            message = checked(PyUnicode_FromFormat("argument '%s': <exception str() failed>", name));
        }
        PyRef reworded = checked(PyObject_CallOneArg(PyExc_TypeError, message.get()));
        PyException_SetCause(reworded.get(), PyException_GetCause(error.get()));
        error = std::move(reworded);
    }
    restore_error(std::move(error));
    throw PythonError{};
}

// ---------------------------------------------------------------- the class

PyObject* datapy_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard([&] {
        const Arguments arguments = bind_arguments(args, kwargs);
        auto check_arrays = [&] {
            return std::array{checked_array(arguments[0].get(), "d", numpy::ArrayKind::float64_vector),
                              checked_array(arguments[1].get(), "n", numpy::ArrayKind::complex128_array),
                              checked_array(arguments[2].get(), "wl", numpy::ArrayKind::float64_vector)};
        };
        check_arrays();
        const double theta = checked_float(arguments[3].get(), "theta");
        const double phi = checked_float(arguments[4].get(), "phi");
        // A __float__ or __index__ may have changed an array's shape or dtype
        // in place: the copies must read what is there now.
        const auto [d, n, wl] = check_arrays();
        // Only now, with every argument's type settled, is n's shape checked.
        if (numpy::ndim(n) != 2) {
            throw Panic("Failed to convert n to 2D array: ShapeError/IncompatibleShape: incompatible shapes");
        }
        OwnedInputs inputs{numpy::copy_vector(d), numpy::copy_matrix(n), numpy::copy_vector(wl), theta, phi};

        PyRef self = checked(type->tp_alloc(type, 0));
        std::construct_at(&reinterpret_cast<DataPyObject*>(self.get())->inputs, std::move(inputs));
        return self;
    });
}

const OwnedInputs& receiver(PyObject* self) {
    return instance_value<DataPyObject, &DataPyObject::inputs>(self, datapy_class());
}

PyRef read_d(const OwnedInputs& inputs) { return numpy::new_vector(inputs.d.data(), inputs.d.size()); }
PyRef read_n(const OwnedInputs& inputs) { return numpy::new_matrix(inputs.n); }
PyRef read_wl(const OwnedInputs& inputs) { return numpy::new_vector(inputs.wl.data(), inputs.wl.size()); }
PyRef read_theta(const OwnedInputs& inputs) { return checked(PyFloat_FromDouble(inputs.theta)); }
PyRef read_phi(const OwnedInputs& inputs) { return checked(PyFloat_FromDouble(inputs.phi)); }

template <PyRef (*read)(const OwnedInputs&)>
PyObject* input_getter(PyObject* self, void*) {
    return guard([&] { return read(receiver(self)); });
}

PyObject* simulate(PyObject* self, PyObject*) {
    return guard([&] {
        const OwnedInputs& inputs = receiver(self);
        strata::Spectrum r;
        strata::Spectrum t;
        {
            const SignalCheck ctrl_c;  // a signal handler's exception stops the sweep
            // The engine record gets its own deep copies; the instance is never
            // touched. It goes, with its transfer cache, before the result is
            // allocated, so the two never hold memory at once.
            strata::Data data(inputs.d, inputs.n, inputs.wl, inputs.theta, inputs.phi);
            r = data.get_r_power_vec();
            t = data.get_t_power_vec();
        }
        return make_simulation(std::move(t), std::move(r));
    });
}

PyGetSetDef datapy_getters[] = {
    {"d", input_getter<read_d>, nullptr, "", nullptr},
    {"n", input_getter<read_n>, nullptr, "", nullptr},
    {"wl", input_getter<read_wl>, nullptr, "", nullptr},
    {"theta", input_getter<read_theta>, nullptr, "", nullptr},
    {"phi", input_getter<read_phi>, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef datapy_methods[] = {
    {"simulate", simulate, METH_NOARGS, "simulate($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// The class name, its text signature and an empty body.
constexpr const char datapy_doc[] = "DataPy(d, n, wl, theta, phi)\n--\n\n";

PyType_Slot datapy_slots[] = {
    {Py_tp_doc, const_cast<char*>(datapy_doc)},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_new, reinterpret_cast<void*>(datapy_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(destroy_instance<DataPyObject, &DataPyObject::inputs>)},
    {Py_tp_methods, datapy_methods},
    {Py_tp_getset, datapy_getters},
    {0, nullptr},
};

PyType_Spec datapy_spec = {"builtins.DataPy", sizeof(DataPyObject), 0, Py_TPFLAGS_DEFAULT, datapy_slots};

}  // namespace

TypeCell& datapy_class() {
    static TypeCell cell("DataPy", &datapy_spec, datapy_doc);
    return cell;
}

}  // namespace lamina

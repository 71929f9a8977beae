// Simulation: the transmittance and reflectance spectra of one simulate call.
// Python cannot construct one; its attributes hand back copies.
#include "simulation.hpp"

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "guard.hpp"
#include "numpy_bridge.hpp"

namespace lamina {
namespace {

struct Spectra {
    strata::Spectrum t;
    strata::Spectrum r;
};

struct SimulationObject {
    PyObject_HEAD
    Spectra spectra;
};

PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) {
    return guard([&]() -> PyRef {
        PyRef name = PyRef::steal(PyObject_GetAttrString(as_object(type), "__name__"));
        if (name && PyUnicode_Check(name.get())) {
            PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
        } else {
            PyErr_Clear();
            PyErr_SetString(PyExc_TypeError, "No constructor defined for <unknown>");
        }
        throw PythonError{};
    });
}

const Spectra& receiver(PyObject* self) {
    return instance_value<SimulationObject, &SimulationObject::spectra>(self, simulation_class());
}

PyObject* get_t(PyObject* self, void*) {
    return guard([&] {
        const strata::Spectrum& t = receiver(self).t;
        return numpy::new_vector(t.data(), t.size());
    });
}

PyObject* get_r(PyObject* self, void*) {
    return guard([&] {
        const strata::Spectrum& r = receiver(self).r;
        return numpy::new_vector(r.data(), r.size());
    });
}

PyGetSetDef simulation_getters[] = {
    {"t", get_t, nullptr, "", nullptr},
    {"r", get_r, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot simulation_slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(destroy_instance<SimulationObject, &SimulationObject::spectra>)},
    {Py_tp_getset, simulation_getters},
    {0, nullptr},
};

PyType_Spec simulation_spec = {"builtins.Simulation", sizeof(SimulationObject), 0, Py_TPFLAGS_DEFAULT,
                               simulation_slots};

}  // namespace

TypeCell& simulation_class() {
    static TypeCell cell("Simulation", &simulation_spec, nullptr);
    return cell;
}

PyRef make_simulation(strata::Spectrum t, strata::Spectrum r) {
    PyTypeObject* type = simulation_class().require();
    PyRef self = checked(type->tp_alloc(type, 0));
    std::construct_at(&reinterpret_cast<SimulationObject*>(self.get())->spectra, Spectra{std::move(t), std::move(r)});
    return self;
}

}  // namespace lamina

#pragma once
// The Simulation class: the spectra one simulate call produced.
#include "strata/data.hpp"

#include "pyref.hpp"
#include "type_cell.hpp"

namespace lamina {

TypeCell& simulation_class();

// A new Simulation adopting both spectra without copying them.
PyRef make_simulation(strata::Spectrum t, strata::Spectrum r);

}  // namespace lamina

#include "bindings.hpp"

void bind_amplitudes(nanobind::module_&) {}

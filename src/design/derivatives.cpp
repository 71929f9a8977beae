#include "bindings.hpp"

void bind_derivatives(nanobind::module_&) {}

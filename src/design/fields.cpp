#include "bindings.hpp"

void bind_fields(nanobind::module_&) {}

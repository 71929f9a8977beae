#pragma once
// Each area of the module binds its own functions.
#include <nanobind/nanobind.h>

void bind_amplitudes(nanobind::module_& m);
void bind_derivatives(nanobind::module_& m);
void bind_fields(nanobind::module_& m);

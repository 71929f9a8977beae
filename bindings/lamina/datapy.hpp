#pragma once
// The DataPy class: one stack and sweep, as owned copies of the caller's data.
#include "type_cell.hpp"

namespace lamina {

TypeCell& datapy_class();

}  // namespace lamina

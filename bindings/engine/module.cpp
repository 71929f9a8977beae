#include "bindings.hpp"

NB_MODULE(_engine, m) {
    bind_amplitudes(m);
    bind_derivatives(m);
    bind_fields(m);
}

#pragma once
// The engine's one failure type: an internal error with a fixed message that
// ends the whole request. The extension module turns it into PanicException.
#include <stdexcept>

namespace strata {

class Failure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline constexpr const char* index_out_of_bounds = "ndarray: index out of bounds";
inline constexpr const char* reentrant_init = "reentrant init";

[[noreturn]] inline void fail(const char* message) { throw Failure(message); }

}  // namespace strata

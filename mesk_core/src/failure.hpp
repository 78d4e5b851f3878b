// The error types of the core. Failure: an operation stopped because an invariant failed.
// InvalidInput: data or settings from outside (a malformed file, a value out of range)
// that cannot be used as given. Both carry the message that reaches the caller unchanged.
#pragma once

#include <stdexcept>
#include <string>

namespace mesk {

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct InvalidInput : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace mesk

// The one error type of the core: an operation stopped because an invariant failed.
// It carries the message that reaches the caller unchanged.
#pragma once

#include <stdexcept>
#include <string>

namespace mesk {

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace mesk

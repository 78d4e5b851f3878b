// Tolerance scaling; the window itself is inline in the header (hot path).
#include "tolerance.hpp"

namespace mesk {

Tolerance Tolerance::scaled(float factor) const { return {unit, minus * factor, plus * factor}; }

}  // namespace mesk

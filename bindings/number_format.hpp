// Text renderings of numbers used by the PSM representation.
#pragma once

#include <string>

namespace bind {

// Fixed point with `digits` decimals, correctly rounded from the exact binary value;
// "NaN", "inf", "-inf"; negative values (negative zero too) keep their "-".
std::string format_fixed(double value, int digits);

// Shortest text that reads back as the same 32-bit float, with at least one decimal
// ("0.0", "15.994915"), in exponent form ("1e-5", "2.5e16") when the magnitude is non-zero
// and below 1e-4 or at least 1e16.
std::string format_shortest_debug(float value);

// Shortest round-trip text in plain fixed notation, without a point when integral
// ("0", "1.00335", "100000000000000000000").
std::string format_shortest_display(float value);

}  // namespace bind

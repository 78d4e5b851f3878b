// Number renderings built on std::to_chars: fixed precision is exact, and the shortest
// round-trip digits are laid out by hand so huge values print their shortest digits.
#include "number_format.hpp"

#include <charconv>
#include <cmath>

namespace bind {

namespace {

const char *non_finite(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    return nullptr;
}

// Shortest round-trip digits of `value` (no sign, no point) and the decimal point position:
// value = 0.DIGITS * 10^point.
void shortest_digits(float value, std::string &digits, int &point) {
    char buf[64];
    const auto result = std::to_chars(buf, buf + sizeof buf, std::fabs(value), std::chars_format::scientific);
    const std::string text(buf, result.ptr);
    const size_t e = text.find('e');
    digits.clear();
    for (size_t i = 0; i < e; ++i)
        if (text[i] != '.') digits += text[i];
    point = std::stoi(text.substr(e + 1)) + 1;
}

std::string layout_fixed(bool negative, const std::string &digits, int point, int min_fraction) {
    std::string out = negative ? "-" : "";
    if (digits == "0") point = 1;
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<size_t>(-point), '0');
        out += digits;
    } else if (static_cast<int>(digits.size()) <= point) {
        out += digits;
        out.append(static_cast<size_t>(point) - digits.size(), '0');
        if (min_fraction > 0) {
            out += '.';
            out.append(static_cast<size_t>(min_fraction), '0');
        }
    } else {
        out += digits.substr(0, static_cast<size_t>(point));
        out += '.';
        out += digits.substr(static_cast<size_t>(point));
    }
    return out;
}

}  // namespace

std::string format_fixed(double value, int digits) {
    if (const char *text = non_finite(value)) return text;
    char buf[400];  // the largest doubles print all their integer digits
    const auto result = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, digits);
    return std::string(buf, result.ptr);
}

std::string format_shortest_debug(float value) {
    if (const char *text = non_finite(value)) return text;
    std::string digits;
    int point = 0;
    shortest_digits(value, digits, point);
    const float magnitude = std::fabs(value);
    if (magnitude != 0.0f && (magnitude < 1e-4f || magnitude >= 1e16f)) {
        std::string out = std::signbit(value) ? "-" : "";
        out += digits[0];
        if (digits.size() > 1) out += "." + digits.substr(1);
        return out + "e" + std::to_string(point - 1);
    }
    return layout_fixed(std::signbit(value), digits, point, 1);
}

std::string format_shortest_display(float value) {
    if (const char *text = non_finite(value)) return text;
    std::string digits;
    int point = 0;
    shortest_digits(value, digits, point);
    return layout_fixed(std::signbit(value), digits, point, 0);
}

}  // namespace bind

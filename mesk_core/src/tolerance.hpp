// Mass windows (daltons or parts per million around a centre) and fragment ion kinds.
#pragma once

#include <cstdint>
#include <utility>

namespace mesk {

// Fragment ion series: A, B, C are N-terminal, X, Y, Z C-terminal (codes 0 to 5).
enum class Kind : uint8_t { A = 0, B = 1, C = 2, X = 3, Y = 4, Z = 5 };

constexpr bool is_n_terminal(Kind k) { return static_cast<uint8_t>(k) <= 2; }
constexpr char kind_letter(Kind k) { return "ABCXYZ"[static_cast<uint8_t>(k)]; }

// A window given as two signed offsets added to the centre: `minus` for the lower
// bound, `plus` for the upper. Nothing orders or checks them.
struct Tolerance {
    enum class Unit : uint8_t { Da, Ppm };
    Unit unit = Unit::Da;
    float minus = 0.0f;
    float plus = 0.0f;

    static constexpr Tolerance da(float minus, float plus) { return {Unit::Da, minus, plus}; }
    static constexpr Tolerance ppm(float minus, float plus) { return {Unit::Ppm, minus, plus}; }

    // (lower, upper) around `centre`, all in 32-bit arithmetic; for ppm the product
    // offset * centre is formed first, then divided by one million.
    std::pair<float, float> bounds(float centre) const {
        if (unit == Unit::Da) return {centre + minus, centre + plus};
        const float lo = (minus * centre) / 1000000.0f;
        const float hi = (plus * centre) / 1000000.0f;
        return {centre + lo, centre + hi};
    }

    // Both offsets multiplied by `factor`, same unit (isolation windows per charge).
    Tolerance scaled(float factor) const;
};

}  // namespace mesk

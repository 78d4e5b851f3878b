// Mass windows in 32-bit arithmetic and ion kind letters.
#include <cmath>
#include <limits>

#include "check.hpp"
#include "tolerance.hpp"

using mesk::Kind;
using mesk::Tolerance;

TEST(dalton_window_adds_signed_offsets) {
    const auto [lo, hi] = Tolerance::da(-0.02f, 0.02f).bounds(500.0f);
    CHECK_BITS(lo, 500.0f + -0.02f);
    CHECK_BITS(hi, 500.0f + 0.02f);
    CHECK_BITS(lo, 499.98f);
    CHECK_BITS(hi, 500.02f);
}

TEST(ppm_window_forms_product_before_division) {
    const auto [lo, hi] = Tolerance::ppm(-10.0f, 10.0f).bounds(1000.0f);
    CHECK_BITS(lo, 999.99f);
    CHECK_BITS(hi, 1000.01f);
    // An offset whose product and quotient both round: the order of operations shows.
    const float c = 1234.5677f, m = -7.3f;
    volatile float product = m * c;
    const float expected = c + product / 1000000.0f;
    CHECK_BITS(Tolerance::ppm(m, 1.0f).bounds(c).first, expected);
}

TEST(zero_and_inverted_windows_are_kept_as_given) {
    for (Tolerance t : {Tolerance::da(0.0f, 0.0f), Tolerance::ppm(0.0f, 0.0f)}) {
        const auto [lo, hi] = t.bounds(321.25f);
        CHECK_BITS(lo, 321.25f);
        CHECK_BITS(hi, 321.25f);
    }
    const auto [lo, hi] = Tolerance::da(0.5f, -0.5f).bounds(100.0f);
    CHECK_BITS(lo, 100.5f);
    CHECK_BITS(hi, 99.5f);
}

TEST(non_finite_offsets_pass_through) {
    const float inf = std::numeric_limits<float>::infinity();
    const auto [lo, hi] = Tolerance::da(-inf, inf).bounds(10.0f);
    CHECK(lo == -inf);
    CHECK(hi == inf);
    CHECK(std::isnan(Tolerance::ppm(std::nanf(""), 1.0f).bounds(10.0f).first));
}

TEST(scaling_multiplies_both_offsets_and_keeps_the_unit) {
    const Tolerance da = Tolerance::da(-2.4f, 2.4f).scaled(3.0f);
    CHECK(da.unit == Tolerance::Unit::Da);
    CHECK_BITS(da.minus, -2.4f * 3.0f);
    CHECK_BITS(da.plus, 2.4f * 3.0f);
    const Tolerance ppm = Tolerance::ppm(-10.0f, 20.0f).scaled(2.0f);
    CHECK(ppm.unit == Tolerance::Unit::Ppm);
    CHECK_BITS(ppm.minus, -20.0f);
    CHECK_BITS(ppm.plus, 40.0f);
}

TEST(kinds_have_letters_and_sides) {
    const char *letters = "ABCXYZ";
    for (int code = 0; code < 6; ++code) {
        const Kind k = static_cast<Kind>(code);
        CHECK_EQ(mesk::kind_letter(k), letters[code]);
        CHECK_EQ(mesk::is_n_terminal(k), code < 3);
    }
}

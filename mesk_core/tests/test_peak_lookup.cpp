// Most-intense-peak lookup: window edges, ties, non-positive intensities, and agreement
// with a plain scan of every peak on random spectra.
#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "check.hpp"
#include "spectrum.hpp"

using mesk::Peak;
using mesk::Tolerance;
using mesk::select_most_intense_peak;

namespace {

const Tolerance DA = Tolerance::da(-0.5f, 0.5f);

// Reference: scan every peak, last one with the highest non-negative intensity wins.
const Peak *scan_all(const std::vector<Peak> &peaks, float target, Tolerance tol) {
    const auto [lo, hi] = tol.bounds(target);
    const Peak *result = nullptr;
    float best = 0.0f;
    for (const Peak &p : peaks) {
        if (!(lo <= p.mass && p.mass <= hi)) continue;
        if (!(p.intensity >= best)) continue;
        result = &p;
        best = p.intensity;
    }
    return result;
}

}  // namespace

TEST(picks_the_most_intense_peak_inside_the_window) {
    const std::vector<Peak> peaks = {{5.0f, 99.0f}, {3.0f, 99.6f}, {8.0f, 100.0f}, {4.0f, 100.4f}, {50.0f, 100.6f}};
    CHECK_EQ(select_most_intense_peak(peaks, 100.0f, DA), &peaks[2]);
    // Shifted window: 99.6 .. 100.6 are inside, 50 at 100.6 wins.
    CHECK_EQ(select_most_intense_peak(peaks, 100.1f, DA), &peaks[4]);
    CHECK(select_most_intense_peak(peaks, 200.0f, DA) == nullptr);
    CHECK(select_most_intense_peak(peaks, 10.0f, DA) == nullptr);
    CHECK(select_most_intense_peak({}, 100.0f, DA) == nullptr);
}

TEST(window_edges_are_inclusive_and_the_peak_below_is_ignored) {
    // Window [99.5, 100.5] around 100: peaks exactly on both bounds count, neighbours do not.
    const float lo = 100.0f + -0.5f, hi = 100.0f + 0.5f;
    const std::vector<Peak> peaks = {{90.0f, std::nextafter(lo, 0.0f)}, {1.0f, lo}, {2.0f, lo}, {1.0f, hi},
                                     {90.0f, std::nextafter(hi, 1000.0f)}};
    CHECK_EQ(select_most_intense_peak(peaks, 100.0f, DA), &peaks[2]);
    const std::vector<Peak> upper = {{90.0f, std::nextafter(lo, 0.0f)}, {1.0f, lo}, {3.0f, hi}, {3.0f, hi}};
    CHECK_EQ(select_most_intense_peak(upper, 100.0f, DA), &upper[3]);
}

TEST(equal_intensities_go_to_the_later_peak) {
    const std::vector<Peak> peaks = {{7.0f, 99.8f}, {7.0f, 100.1f}, {2.0f, 100.2f}};
    CHECK_EQ(select_most_intense_peak(peaks, 100.0f, DA), &peaks[1]);
    // Same mass and intensity: the later position.
    const std::vector<Peak> twins = {{7.0f, 100.0f}, {7.0f, 100.0f}};
    CHECK_EQ(select_most_intense_peak(twins, 100.0f, DA), &twins[1]);
}

TEST(zero_intensity_matches_negative_and_nan_do_not) {
    const std::vector<Peak> zero = {{0.0f, 100.0f}};
    CHECK_EQ(select_most_intense_peak(zero, 100.0f, DA), &zero[0]);
    const std::vector<Peak> negative_zero = {{-0.0f, 100.0f}};
    CHECK_EQ(select_most_intense_peak(negative_zero, 100.0f, DA), &negative_zero[0]);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<Peak> bad = {{-1.0f, 99.9f}, {nan, 100.0f}, {-3.0f, 100.1f}};
    CHECK(select_most_intense_peak(bad, 100.0f, DA) == nullptr);
    // A negative peak after a positive one does not displace it.
    const std::vector<Peak> mixed = {{1.0f, 99.9f}, {-3.0f, 100.1f}};
    CHECK_EQ(select_most_intense_peak(mixed, 100.0f, DA), &mixed[0]);
}

TEST(nan_masses_and_inverted_windows_match_nothing) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<Peak> peaks = {{1.0f, 100.0f}, {5.0f, nan}};
    CHECK_EQ(select_most_intense_peak(peaks, 100.0f, DA), &peaks[0]);
    CHECK(select_most_intense_peak(peaks, nan, DA) == nullptr);
    // minus above plus: the lower bound lies above the upper one.
    CHECK(select_most_intense_peak(peaks, 100.0f, Tolerance::da(0.5f, -0.5f)) == nullptr);
    // A zero-width window matches the exact mass only.
    CHECK_EQ(select_most_intense_peak(peaks, 100.0f, Tolerance::da(0.0f, 0.0f)), &peaks[0]);
    CHECK(select_most_intense_peak(peaks, std::nextafter(100.0f, 0.0f), Tolerance::ppm(0.0f, 0.0f)) == nullptr);
}

TEST(ppm_window_scales_with_the_target) {
    // 10 ppm of 1000 is 0.01: 1000.009 is inside, 1000.011 outside.
    const std::vector<Peak> peaks = {{1.0f, 999.98f}, {2.0f, 1000.009f}, {3.0f, 1000.011f}};
    CHECK_EQ(select_most_intense_peak(peaks, 1000.0f, Tolerance::ppm(-10.0f, 10.0f)), &peaks[1]);
}

TEST(agrees_with_a_scan_of_every_peak) {
    std::mt19937 rng(7);
    for (int round = 0; round < 400; ++round) {
        // Coarse masses so that runs of equal masses straddle the window bounds.
        std::vector<Peak> peaks;
        const size_t n = rng() % 40;
        for (size_t i = 0; i < n; ++i)
            peaks.push_back({static_cast<float>(static_cast<int>(rng() % 7) - 1),
                             100.0f + 0.25f * static_cast<float>(rng() % 16)});
        std::sort(peaks.begin(), peaks.end(), [](const Peak &a, const Peak &b) { return a.mass < b.mass; });
        const float target = 100.0f + 0.25f * static_cast<float>(rng() % 18);
        const Tolerance tol = Tolerance::da(-0.25f * static_cast<float>(rng() % 4), 0.25f * static_cast<float>(rng() % 4));
        CHECK_EQ(select_most_intense_peak(peaks, target, tol), scan_all(peaks, target, tol));
    }
}

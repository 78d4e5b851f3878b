// Most-intense-peak lookup: window edges, ties, non-positive intensities, agreement with
// a plain scan of every peak on random spectra, and the lookup table of full scoring.
#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "check.hpp"
#include "database.hpp"
#include "lanes.hpp"
#include "spectrum.hpp"

using mesk::Peak;
using mesk::PeakLookup;
using mesk::total_order_key;
using mesk::use_vector_lanes;
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

// The lookup table of full scoring, and its screen of a whole ion series, against the
// plain lookup on random peak lists (sorted or not, with NaN, infinite and zero masses),
// with the vector loops and with their scalar twins.
TEST(peak_table_and_screen_answer_as_the_plain_lookup) {
    std::mt19937_64 rng(21);
    const float odd[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity(), 0.0f, -0.0f};
    size_t mismatches = 0, found = 0, screened_out = 0;
    for (int round = 0; round < 400; ++round) {
        std::vector<Peak> peaks;
        // Half the lists spread peaks a few windows apart, so that the lookup's stretches
        // are about as wide as a window and windows cross their edges.
        const bool spaced = rng() % 2;
        for (size_t i = 0, n = rng() % 200; i < n; ++i) {
            float mass = spaced ? 1000.0f + static_cast<float>(i) * 0.25f + static_cast<float>(rng() % 100) * 1e-3f
                                : static_cast<float>(rng() % 200000) / 100.0f;
            if (rng() % 40 == 0) mass = odd[rng() % 5];
            peaks.push_back({static_cast<float>(rng() % 50) - 2.0f, mass});
            if (rng() % 10 == 0) peaks.push_back(peaks.back());
        }
        if (rng() % 5)
            std::sort(peaks.begin(), peaks.end(),
                      [](const Peak &a, const Peak &b) { return total_order_key(a.mass) < total_order_key(b.mass); });
        PeakLookup lookup;
        lookup.assign(peaks);
        const Tolerance tol = rng() % 2 ? Tolerance::ppm(-20.0f, 10.0f) : Tolerance::da(-0.3f, rng() % 5 ? 0.3f : -0.4f);
        for (int q = 0; q < 200; ++q) {
            float target = static_cast<float>(rng() % 200000) / 100.0f;
            if (!peaks.empty() && rng() % 2) target = peaks[rng() % peaks.size()].mass;
            // Near a peak, so that it falls close to either edge of the window.
            if (!peaks.empty() && rng() % 2)
                target = peaks[rng() % peaks.size()].mass * (1.0f + static_cast<float>(int(rng() % 4001) - 2000) * 1e-8f);
            if (rng() % 50 == 0) target = odd[rng() % 5];
            const Peak *expected = select_most_intense_peak(peaks, target, tol);
            mismatches += lookup.most_intense(target, tol) != expected;
            found += expected != nullptr;
        }
        // A series of fragment masses near the peaks at charges 1 to 3: a window screened
        // out must hold no peak.
        std::vector<float> series;
        for (size_t i = 0, n = rng() % 40; i < n; ++i) {
            float mass = static_cast<float>(rng() % 600000) / 100.0f;
            if (!peaks.empty() && rng() % 2)
                mass = peaks[rng() % peaks.size()].mass * static_cast<float>(1 + rng() % 3) *
                       (1.0f + static_cast<float>(int(rng() % 41) - 20) * 1e-6f);
            if (rng() % 30 == 0) mass = odd[rng() % 5];
            series.push_back(mass);
        }
        const unsigned max_charge = 1 + rng() % 3;
        for (const bool lanes : {true, false}) {
            use_vector_lanes(lanes);
            std::vector<uint8_t> maybe(PeakLookup::screen_stride(series.size()) * max_charge);
            lookup.screen(series.data(), series.size(), max_charge, tol, maybe.data());
            for (size_t i = 0; i < series.size(); ++i)
                for (unsigned c = 1; c <= max_charge; ++c) {
                    if (PeakLookup::screened_in(maybe.data(), PeakLookup::screen_stride(series.size()), i, c)) continue;
                    ++screened_out;
                    mismatches += select_most_intense_peak(peaks, series[i] / static_cast<float>(c), tol) != nullptr;
                }
        }
        use_vector_lanes(true);
    }
    CHECK_EQ(mismatches, size_t{0});
    CHECK(found > 1000);
    CHECK(screened_out > 10000);
}

TEST(a_zero_bound_reaches_a_zero_peak_of_the_other_sign) {
    // IEEE comparisons take -0.0 and +0.0 for equal although they sort apart: a window
    // from +0.0 to +0.0 holds a peak at -0.0, however finely the table is cut.
    const std::vector<Peak> peaks = {{5.0f, -0.0f}};
    const Tolerance tol = Tolerance::ppm(-10.0f, 10.0f);
    CHECK_EQ(select_most_intense_peak(peaks, 0.0f, tol), &peaks[0]);
    PeakLookup lookup;
    lookup.assign(peaks);
    CHECK_EQ(lookup.most_intense(0.0f, tol), &peaks[0]);
    const float series[] = {0.0f};
    for (const bool lanes : {true, false}) {
        use_vector_lanes(lanes);
        uint8_t maybe = 0;
        lookup.screen(series, 1, 1, tol, &maybe);
        CHECK(PeakLookup::screened_in(&maybe, 1, 0, 1));
    }
    use_vector_lanes(true);
}

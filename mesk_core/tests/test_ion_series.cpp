// Residue table, constants, the six ion series, ordinals, fragment listing and counting.
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "failure.hpp"
#include "ion_series.hpp"

using namespace mesk;

namespace {

// Monoisotopic residue masses typed in from the reference table, A to Z.
const float kTable[26] = {71.03711f, 0.0f,      103.00919f, 115.02694f, 129.04259f, 147.0684f,  57.02146f,
                          137.05891f, 113.08406f, 0.0f,     128.09496f, 113.08406f, 131.0405f,  114.04293f,
                          237.14774f, 97.05276f, 128.05858f, 156.1011f, 87.03203f,  101.04768f, 150.95363f,
                          99.06841f,  186.07932f, 0.0f,     163.06332f, 0.0f};

float table_mass(char c) { return (c >= 'A' && c <= 'Z') ? kTable[c - 'A'] : 0.0f; }

Peptide pep(const std::string &seq, std::vector<float> mods, float mass, std::optional<float> nterm = std::nullopt) {
    return make_peptide(seq, mass, std::move(mods), nterm, std::nullopt);
}

std::vector<float> walk(const Peptide &p, Kind k) {
    std::vector<float> out;
    IonSeries s(p, k);
    while (auto ion = s.next()) {
        CHECK(ion->kind == k);
        out.push_back(ion->mass);
    }
    return out;
}

// The series written out from the definition, one 32-bit operation at a time.
std::vector<float> expected_series(const std::string &seq, const std::vector<float> &mods, float mass, float n, Kind k) {
    float cum = 0.0f;
    switch (k) {
        case Kind::A: cum = n + -27.994915f; break;
        case Kind::B: cum = n; break;
        case Kind::C: cum = n + 17.026001f; break;
        case Kind::X: cum = (mass - n) + 25.979815f; break;
        case Kind::Y: cum = mass - n; break;
        case Kind::Z: cum = (mass - n) + -17.026001f; break;
    }
    std::vector<float> out;
    for (size_t i = 0; i + 1 < seq.size(); ++i) {
        float step = table_mass(seq[i]) + mods[i];
        if (k == Kind::X || k == Kind::Y || k == Kind::Z) step = -step;
        cum = cum + step;
        out.push_back(cum);
    }
    return out;
}

bool same_bits(const std::vector<float> &a, const std::vector<float> &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::bit_cast<uint32_t>(a[i]) != std::bit_cast<uint32_t>(b[i])) return false;
    return true;
}

constexpr Kind kAllKinds[] = {Kind::A, Kind::B, Kind::C, Kind::X, Kind::Y, Kind::Z};

}  // namespace

TEST(residue_table_and_constants) {
    for (char c = 'A'; c <= 'Z'; ++c) CHECK_BITS(residue_mass(uint8_t(c)), kTable[c - 'A']);
    for (int b : {0, int('a'), int('k'), int('@'), int('['), 0xC3, 0xFF}) CHECK_BITS(residue_mass(uint8_t(b)), 0.0f);
    CHECK_BITS(PROTON_MASS, 1.0072764f);
    CHECK_BITS(ISOTOPE_SPACING, 1.00335f);
    CHECK_BITS(A_ION_OFFSET, -27.994915f);
    CHECK_BITS(C_ION_OFFSET, 17.026001f);
    CHECK_BITS(X_ION_OFFSET, 25.979815f);
}

TEST(two_residue_peptide) {
    const Peptide ga = pep("GA", {0.0f, 0.0f}, 146.069f);
    CHECK(same_bits(walk(ga, Kind::B), {57.02146f}));
    const float y = 146.069f - 57.02146f;
    CHECK(same_bits(walk(ga, Kind::Y), {y}));
    std::vector<ListedIon> listed;
    list_fragments(ga, {Kind::B, Kind::Y}, 0, [&](const ListedIon &ion) { listed.push_back(ion); });
    CHECK_EQ(listed.size(), size_t{2});
    if (listed.size() == 2) {
        CHECK(listed[0].kind == Kind::B && listed[0].ordinal == 1);
        CHECK(listed[1].kind == Kind::Y && listed[1].ordinal == 1);
    }
}

TEST(all_six_kinds_bit_exact) {
    const std::string seq = "PEPTmIDEKcW";  // lower case adds only its modification
    std::vector<float> mods = {0.0f, 0.0f, 0.0f, 79.96633f, 15.994915f, 0.0f, -0.984016f, 0.0f, 0.0f, 57.021464f,
                               1.0e6f};  // the last residue's entry is never read
    const float mass = 1391.6123f;
    for (std::optional<float> nterm : {std::optional<float>{}, std::optional<float>{42.010565f}}) {
        const Peptide p = pep(seq, mods, mass, nterm);
        for (Kind k : kAllKinds)
            CHECK(same_bits(walk(p, k), expected_series(seq, mods, mass, nterm.value_or(0.0f), k)));
    }
    // A finished series stays finished.
    const Peptide p = pep(seq, mods, mass);
    IonSeries s(p, Kind::Z);
    while (s.next()) {
    }
    CHECK(!s.next());
    CHECK(!s.next());
}

TEST(start_masses_without_nterm) {
    // The first ion is the start mass plus one step; with an empty first step the start shows.
    const Peptide p = pep("xA", {0.0f, 0.0f}, 500.0f);
    CHECK_BITS(walk(p, Kind::A)[0], -27.994915f);
    CHECK_BITS(walk(p, Kind::B)[0], 0.0f);
    CHECK_BITS(walk(p, Kind::C)[0], 17.026001f);
    CHECK_BITS(walk(p, Kind::X)[0], 500.0f + 25.979815f);
    CHECK_BITS(walk(p, Kind::Y)[0], 500.0f);
    CHECK_BITS(walk(p, Kind::Z)[0], 500.0f + -17.026001f);
}

TEST(nterm_shifts_n_and_c_terminal_series_oppositely) {
    const std::vector<float> mods(6, 0.0f);
    const Peptide plain = pep("GGGGGG", mods, 360.0f), shifted = pep("GGGGGG", mods, 360.0f, 42.0f);
    const auto b0 = walk(plain, Kind::B), b1 = walk(shifted, Kind::B);
    const auto y0 = walk(plain, Kind::Y), y1 = walk(shifted, Kind::Y);
    CHECK_EQ(b1.size(), size_t{5});
    // Multiples of the glycine mass plus 42 stay exact enough to show the shift directly.
    for (size_t i = 0; i < b1.size(); ++i) {
        CHECK(std::fabs((b1[i] - b0[i]) - 42.0f) < 1e-4f);
        CHECK(std::fabs((y0[i] - y1[i]) - 42.0f) < 1e-4f);
    }
}

TEST(short_and_empty_peptides) {
    for (Kind k : kAllKinds) {
        CHECK(walk(pep("", {}, 18.0f), k).empty());
        CHECK(walk(pep("K", {0.0f}, 146.1f), k).empty());
        CHECK(walk(pep("K", {}, 146.1f), k).empty());  // nothing to read, nothing to fail
    }
    CHECK_EQ(count_fragments(pep("", {}, 1.0f), 6, 0), size_t{0});
    CHECK_EQ(count_fragments(pep("K", {}, 1.0f), 6, 0), size_t{0});
}

TEST(missing_modification_entry_fails) {
    // Four residues read entries 0 to 2: two entries give two ions, then a failure.
    const Peptide p = pep("PEPK", {0.0f, 0.0f}, 470.0f);
    for (Kind k : kAllKinds) {
        IonSeries s(p, k);
        CHECK(s.next().has_value());
        CHECK(s.next().has_value());
        bool failed = false;
        try {
            (void)s.next();
        } catch (const Failure &) {
            failed = true;
        }
        CHECK(failed);
    }
    CHECK_THROWS(list_fragments(p, {Kind::B}, 0, [](const ListedIon &) {}));
    CHECK_THROWS(list_fragments(pep("PEPK", {}, 470.0f), {Kind::Y}, 0, [](const ListedIon &) {}));
    // L - 1 entries suffice.
    CHECK_EQ(walk(pep("PEPK", {0.0f, 0.0f, 0.0f}, 470.0f), Kind::B).size(), size_t{3});
}

TEST(ordinals_kind_order_and_min_ion_index) {
    const Peptide p = pep("PEPTIDEK", std::vector<float>(8, 0.0f), 927.45f);
    std::vector<ListedIon> listed;
    auto collect = [&](const ListedIon &ion) { listed.push_back(ion); };
    list_fragments(p, {Kind::Y, Kind::B}, 0, collect);
    CHECK_EQ(listed.size(), size_t{14});
    for (size_t j = 0; j < 7 && listed.size() == 14; ++j) {
        CHECK(listed[j].kind == Kind::Y && listed[j].ordinal == 7 - j);
        CHECK(listed[7 + j].kind == Kind::B && listed[7 + j].ordinal == j + 1);
    }
    // Strictly greater than min_ion_index survives: 2 drops b1, b2, y1, y2.
    listed.clear();
    list_fragments(p, {Kind::B, Kind::Y}, 2, collect);
    CHECK_EQ(listed.size(), size_t{10});
    for (const auto &ion : listed) CHECK(ion.ordinal > 2);
    // L - 1 or more drops everything.
    for (size_t m : {size_t{7}, size_t{8}, size_t{1000}}) {
        listed.clear();
        list_fragments(p, {Kind::B, Kind::Y}, m, collect);
        CHECK(listed.empty());
        CHECK_EQ(count_fragments(p, 2, m), size_t{0});
    }
    // A repeated kind is walked again; no kinds, no ions.
    listed.clear();
    list_fragments(p, {Kind::B, Kind::B}, 0, collect);
    CHECK_EQ(listed.size(), size_t{14});
    listed.clear();
    list_fragments(p, {}, 0, collect);
    CHECK(listed.empty());
}

TEST(count_fragments_matches_listing) {
    std::mt19937 rng(7);
    for (int t = 0; t < 2000; ++t) {
        const size_t len = rng() % 40;
        std::string s;
        for (size_t i = 0; i < len; ++i) s += char('A' + rng() % 26);
        const Peptide p = pep(s, std::vector<float>(len, 0.0f), 1000.0f);
        std::vector<Kind> kinds;
        for (size_t k = rng() % 4; k > 0; --k) kinds.push_back(kAllKinds[rng() % 6]);
        const size_t min_ion = rng() % 12;
        size_t listed = 0;
        list_fragments(p, kinds, min_ion, [&](const ListedIon &) { ++listed; });
        // Each kind keeps the ordinals min_ion + 1 .. L - 1.
        const size_t expected = len >= 2 && len - 1 > min_ion ? (len - 1 - min_ion) * kinds.size() : 0;
        CHECK_EQ(listed, expected);
        CHECK_EQ(count_fragments(p, kinds.size(), min_ion), expected);
    }
}

TEST(non_finite_masses_pass_through) {
    const float inf = std::numeric_limits<float>::infinity();
    const Peptide n = pep("PEPK", std::vector<float>(4, 0.0f), std::numeric_limits<float>::quiet_NaN());
    for (float m : walk(n, Kind::Y)) CHECK(std::isnan(m));
    for (float m : walk(n, Kind::B)) CHECK(!std::isnan(m));
    const Peptide i = pep("PEPK", std::vector<float>(4, 0.0f), inf);
    for (float m : walk(i, Kind::Y)) CHECK(m == inf);
}

// Index construction (layout, decoys, failures), the widened bracket, the precursor
// query and the page search, the latter checked against plain scans on seeded data.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "check.hpp"
#include "database.hpp"
#include "failure.hpp"
#include "index_build.hpp"
#include "ion_series.hpp"
#include "thread_pool.hpp"

using namespace mesk;

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

// IEEE total order as an unsigned key: negatives have all bits flipped, positives the sign bit set.
uint32_t order_key(float f) {
    const uint32_t u = std::bit_cast<uint32_t>(f);
    return (u & 0x80000000u) ? ~u : (u | 0x80000000u);
}
bool total_less(float a, float b) { return order_key(a) < order_key(b); }

Peptide pep(const std::string &seq, float mass, std::optional<std::vector<float>> mods = std::nullopt) {
    return make_peptide(seq, mass, std::move(mods), std::nullopt, std::nullopt);
}

BuildConfig config(std::vector<Kind> kinds, size_t bucket_size, size_t min_ion = 0, bool decoys = false) {
    BuildConfig c;
    c.ion_kinds = std::move(kinds);
    c.decoy_tag = "rev_";
    c.bucket_size = bucket_size;
    c.min_ion_index = min_ion;
    c.peptide_min_mass = 500.0f;
    c.peptide_max_mass = 5000.0f;
    c.generate_decoys = decoys;
    return c;
}

using Entry = std::pair<uint32_t, uint32_t>;  // peptide index, mass bits

// Every ion of every peptide, as the index should hold them, in a canonical order.
std::vector<Entry> expected_entries(const std::vector<Peptide> &peptides, const std::vector<Kind> &kinds, size_t min_ion) {
    std::vector<Entry> out;
    for (size_t i = 0; i < peptides.size(); ++i)
        list_fragments(peptides[i], kinds, min_ion, [&](const ListedIon &ion) {
            out.emplace_back(uint32_t(i), std::bit_cast<uint32_t>(ion.mass));
        });
    std::sort(out.begin(), out.end());
    return out;
}

// The bucket layout: sizes, masses ascending across buckets, peptide indices ascending
// inside, minima equal to each bucket's smallest mass; and nothing lost or invented.
void check_layout(const IndexedDatabase &db, const std::vector<Entry> &expected) {
    const size_t n = db.fragments.size(), b = db.bucket_size;
    CHECK_EQ(n, expected.size());
    CHECK_EQ(db.bucket_minima.size(), n / b + (n % b != 0));
    std::vector<Entry> got;
    for (const Theoretical &t : db.fragments) got.emplace_back(t.peptide_idx, std::bit_cast<uint32_t>(t.fragment_mass));
    std::sort(got.begin(), got.end());
    CHECK(got == expected);
    bool ordered = true, minima = true;
    float previous_max = 0.0f;
    for (size_t bucket = 0; bucket * b < n; ++bucket) {
        const size_t begin = bucket * b, end = std::min(n, begin + b);
        float lo = db.fragments[begin].fragment_mass, hi = lo;
        for (size_t i = begin; i < end; ++i) {
            const float m = db.fragments[i].fragment_mass;
            if (total_less(m, lo)) lo = m;
            if (total_less(hi, m)) hi = m;
            if (i > begin && db.fragments[i - 1].peptide_idx > db.fragments[i].peptide_idx) ordered = false;
        }
        if (bucket > 0 && total_less(lo, previous_max)) ordered = false;
        previous_max = hi;
        if (bucket < db.bucket_minima.size() && std::bit_cast<uint32_t>(db.bucket_minima[bucket]) != std::bit_cast<uint32_t>(lo))
            minima = false;
    }
    CHECK(ordered);
    CHECK(minima);
}

// Random peptides ascending by mass, with runs of equal masses.
std::vector<Peptide> random_peptides(std::mt19937 &rng, size_t count) {
    std::vector<float> masses;
    for (size_t i = 0; i < count; ++i) {
        const float m = 400.0f + float(rng() % 4000) * 0.25f;  // quarter daltons: many ties
        masses.push_back(m);
    }
    std::sort(masses.begin(), masses.end(), total_less);
    std::vector<Peptide> out;
    for (size_t i = 0; i < count; ++i) {
        const size_t len = 1 + rng() % 14;
        std::string s;
        for (size_t k = 0; k < len; ++k) s += "GASPVTLNDKEMHFRYW"[rng() % 17];
        out.push_back(pep(s, masses[i]));
        if (rng() % 4 == 0) out.back().nterm = 42.010565f;
        if (rng() % 8 == 0) out.back().modifications[rng() % len] = 15.994915f;
    }
    return out;
}

// (peptide index, mass bits) of everything a page search yields, sorted.
std::vector<Entry> page(const IndexedQuery &q, float fragment_mass) {
    std::vector<Entry> out;
    PageSearch search = q.page_search(fragment_mass);
    while (const Theoretical *t = search.next()) out.emplace_back(t->peptide_idx, std::bit_cast<uint32_t>(t->fragment_mass));
    std::sort(out.begin(), out.end());
    return out;
}

// The same answer from a scan of every indexed fragment with both windows closed.
std::vector<Entry> scan(const IndexedDatabase &db, float precursor, Tolerance ptol, Tolerance ftol, float fragment_mass) {
    const auto [plo, phi] = ptol.bounds(precursor);
    const auto [flo, fhi] = ftol.bounds(fragment_mass);
    std::vector<Entry> out;
    for (const Theoretical &t : db.fragments) {
        const float pm = db.peptides[t.peptide_idx].monoisotopic;
        if (plo <= pm && pm <= phi && flo <= t.fragment_mass && t.fragment_mass <= fhi)
            out.emplace_back(t.peptide_idx, std::bit_cast<uint32_t>(t.fragment_mass));
    }
    std::sort(out.begin(), out.end());
    return out;
}

bool throws_failure(BuildConfig c, std::vector<Peptide> p) {
    try {
        build_indexed_database(std::move(c), std::move(p));
    } catch (const Failure &) {
        return true;
    }
    return false;
}

}  // namespace

// ---- construction ----------------------------------------------------------------

// Runs first: an odd worker count makes the parallel phases cut their work unevenly.
TEST(pool_with_three_workers) {
    setenv("RAYON_NUM_THREADS", "3", 0);
    CHECK(global_pool().size() >= 1);
}

TEST(build_empty_and_zero_bucket_size) {
    const IndexedDatabase db = build_indexed_database(config({Kind::B, Kind::Y}, 1), {});
    CHECK(db.peptides.empty() && db.fragments.empty() && db.bucket_minima.empty());
    CHECK(throws_failure(config({Kind::B, Kind::Y}, 0), {}));
    CHECK(throws_failure(config({Kind::B, Kind::Y}, 0, 0, true), {pep("PEPTIDE", 799.36f)}));
    CHECK(throws_failure(config({}, 0), {pep("PEPTIDE", 799.36f)}));
}

TEST(build_stores_configuration_and_peptides) {
    // The mass range filters nothing, even when inverted.
    BuildConfig c = config({Kind::Y, Kind::B}, 5, 1, true);
    c.peptide_min_mass = 9000.0f;
    c.peptide_max_mass = 1.0f;
    const IndexedDatabase db = build_indexed_database(c, {pep("PEPTIDE", 799.36f), pep("SAMPLER", 800.4f)});
    CHECK_EQ(db.peptides.size(), size_t{4});
    CHECK_EQ(db.decoy_tag, std::string("rev_"));
    CHECK_EQ(db.bucket_size, size_t{5});
    CHECK(db.generate_decoys);
    CHECK(db.ion_kinds == (std::vector<Kind>{Kind::Y, Kind::B}));
    CHECK_EQ(db.fragments.size(), size_t{4 * 2 * 5});
    check_layout(db, expected_entries(db.peptides, db.ion_kinds, 1));
}

TEST(build_fragment_counts) {
    // Seven residues, B and Y: twelve fragments; the decoy doubles them.
    const auto one = build_indexed_database(config({Kind::B, Kind::Y}, 8), {pep("PEPTIDE", 799.36f)});
    CHECK_EQ(one.fragments.size(), size_t{12});
    const auto two = build_indexed_database(config({Kind::B, Kind::Y}, 8, 0, true), {pep("PEPTIDE", 799.36f)});
    CHECK_EQ(two.peptides.size(), size_t{2});
    CHECK_EQ(two.fragments.size(), size_t{24});
    if (two.peptides.size() == 2) CHECK(two.peptides[1].decoy && two.peptides[1].bytes() == "PDITPEE");
    // No kinds: peptides kept, nothing indexed. A repeated kind indexes twice.
    const auto none = build_indexed_database(config({}, 4), {pep("PEPTIDE", 799.36f), pep("K", 146.1f)});
    CHECK_EQ(none.peptides.size(), size_t{2});
    CHECK(none.fragments.empty() && none.bucket_minima.empty());
    const auto bb = build_indexed_database(config({Kind::B, Kind::B}, 4), {pep("PEPTIDE", 799.36f)});
    CHECK_EQ(bb.fragments.size(), size_t{12});
    check_layout(bb, expected_entries(bb.peptides, bb.ion_kinds, 0));
    // One-residue peptides add nothing.
    const auto k = build_indexed_database(config({Kind::B, Kind::Y}, 4), {pep("K", 146.1f), pep("GA", 146.069f)});
    CHECK_EQ(k.fragments.size(), size_t{2});
}

TEST(build_ten_fragments_in_buckets_of_four) {
    // Six residues with B and Y: ten fragments, buckets of 4, 4 and 2.
    const std::vector<Peptide> peps = {pep("PEPTWK", 770.37f)};
    const auto db = build_indexed_database(config({Kind::B, Kind::Y}, 4), peps);
    std::vector<float> masses;
    list_fragments(peps[0], {Kind::B, Kind::Y}, 0, [&](const ListedIon &ion) { masses.push_back(ion.mass); });
    std::sort(masses.begin(), masses.end(), total_less);
    CHECK_EQ(db.fragments.size(), size_t{10});
    CHECK_EQ(db.bucket_minima.size(), size_t{3});
    if (db.bucket_minima.size() == 3) {
        CHECK_BITS(db.bucket_minima[0], masses[0]);
        CHECK_BITS(db.bucket_minima[1], masses[4]);
        CHECK_BITS(db.bucket_minima[2], masses[8]);
    }
    check_layout(db, expected_entries(db.peptides, db.ion_kinds, 0));
}

TEST(build_bucket_size_one_and_larger_than_list) {
    std::mt19937 rng(99);
    const auto peps = random_peptides(rng, 300);
    const auto expected = expected_entries(peps, {Kind::B, Kind::Y}, 0);
    const auto ones = build_indexed_database(config({Kind::B, Kind::Y}, 1), peps);
    check_layout(ones, expected);
    std::vector<float> sorted;
    for (const Entry &e : expected) sorted.push_back(std::bit_cast<float>(e.second));
    std::sort(sorted.begin(), sorted.end(), total_less);
    bool same = ones.bucket_minima.size() == sorted.size();
    for (size_t i = 0; same && i < sorted.size(); ++i) same = ones.bucket_minima[i] == sorted[i];
    CHECK(same);

    for (size_t big : {expected.size(), expected.size() + 1, size_t{1} << 40, std::numeric_limits<size_t>::max()}) {
        const auto one = build_indexed_database(config({Kind::B, Kind::Y}, big), peps);
        CHECK_EQ(one.bucket_minima.size(), size_t{1});
        if (!one.bucket_minima.empty()) CHECK_BITS(one.bucket_minima[0], sorted[0]);
        check_layout(one, expected);
    }
}

TEST(build_random_lists_many_bucket_sizes) {
    std::mt19937 rng(2024);
    // Enough peptides that bucket sorts use radix passes over more than one digit.
    const auto peps = random_peptides(rng, 6000);
    for (bool decoys : {false, true}) {
        for (size_t min_ion : {0, 2}) {
            for (size_t b : {1, 2, 3, 63, 64, 65, 1000, 8192, 100000}) {
                const std::vector<Kind> kinds = b % 2 ? std::vector<Kind>{Kind::A, Kind::Y, Kind::C, Kind::Z}
                                                      : std::vector<Kind>{Kind::X, Kind::B};
                const auto db = build_indexed_database(config(kinds, b, min_ion, decoys), peps);
                check_layout(db, expected_entries(db.peptides, db.ion_kinds, min_ion));
            }
        }
    }
}

TEST(build_sorts_in_float_total_order) {
    // Masses that IEEE comparison cannot order: signed zeros, infinities and NaNs of both signs.
    const float neg_nan = -kNaN;
    std::vector<Peptide> peps;
    for (float m : {kNaN, -kInf, kInf, neg_nan, 0.0f, -0.0f, 250.5f, -3.0f}) {
        // One residue with no mass and no modification: the Y ion equals the peptide mass.
        Peptide p = pep("xx", m, std::vector<float>{0.0f, 0.0f});
        peps.push_back(p);
    }
    const auto db = build_indexed_database(config({Kind::Y}, 1), peps);
    std::vector<uint32_t> keys;
    for (float m : db.bucket_minima) keys.push_back(order_key(m));
    CHECK_EQ(keys.size(), size_t{8});
    CHECK(std::is_sorted(keys.begin(), keys.end()));
    if (keys.size() == 8) {
        CHECK(std::isnan(db.bucket_minima[0]) && std::signbit(db.bucket_minima[0]));
        CHECK_BITS(db.bucket_minima[1], -kInf);
        CHECK_BITS(db.bucket_minima[3], -0.0f);
        CHECK_BITS(db.bucket_minima[4], 0.0f);
        CHECK(std::isnan(db.bucket_minima[7]) && !std::signbit(db.bucket_minima[7]));
    }
}

TEST(build_sorts_dense_and_sparse_mass_ranges) {
    // Two residues without mass: the one Y ion of each peptide is exactly its mass, so the
    // mass sort sees exactly these keys. Ranges of 2^4, 2^16 and 2^25 distinct values over
    // many entries make stretches of every size between the sort's passes.
    std::mt19937 rng(77);
    for (uint32_t spread : {16u, 1u << 16, 1u << 25}) {
        std::vector<Peptide> peps;
        std::vector<float> masses;
        for (int i = 0; i < 300000; ++i) {
            const float m = std::bit_cast<float>(uint32_t(std::bit_cast<uint32_t>(1000.0f) + rng() % spread));
            masses.push_back(m);
            peps.push_back(pep("xx", m, std::vector<float>{0.0f, 0.0f}));
        }
        std::sort(masses.begin(), masses.end(), total_less);
        for (size_t b : {1, 4096}) {
            const auto db = build_indexed_database(config({Kind::Y}, b), peps);
            check_layout(db, expected_entries(db.peptides, db.ion_kinds, 0));
            if (b == 1) {
                bool same = db.bucket_minima.size() == masses.size();
                for (size_t i = 0; same && i < masses.size(); ++i) same = db.bucket_minima[i] == masses[i];
                CHECK(same);
            }
        }
    }
}

TEST(build_keeps_descending_peptide_lists) {
    std::vector<Peptide> peps;
    for (int i = 0; i < 50; ++i) peps.push_back(pep("PEPTIDEK", 2000.0f - float(i)));
    const auto db = build_indexed_database(config({Kind::B, Kind::Y}, 16), peps);
    CHECK_EQ(db.peptides.size(), size_t{50});
    CHECK_BITS(db.peptides[0].monoisotopic, 2000.0f);
    check_layout(db, expected_entries(db.peptides, db.ion_kinds, 0));
}

TEST(build_failures_for_short_modification_lists) {
    const std::vector<float> two = {0.0f, 0.0f};
    std::vector<Peptide> peps;
    for (int i = 0; i < 3000; ++i) peps.push_back(pep("PEPTIDEK", 900.0f));
    peps.push_back(pep("PEPTIDEK", 901.0f, two));
    // Listing reads positions 0 to L - 2.
    CHECK(throws_failure(config({Kind::B}, 8), peps));
    CHECK(throws_failure(config({Kind::Y}, 8, 100), peps));  // even when every ion would be dropped
    // Reversal in the decoy step.
    CHECK(throws_failure(config({}, 8, 0, true), peps));
    // Neither listing nor reversal: stored as given.
    const auto db = build_indexed_database(config({}, 8), peps);
    CHECK_EQ(db.peptides.size(), peps.size());
    const auto short2 = build_indexed_database(config({}, 8, 0, true), {pep("GA", 100.0f, std::vector<float>{})});
    CHECK_EQ(short2.peptides.size(), size_t{1});
    // A failure on a worker leaves the pool usable for the next build.
    const auto again = build_indexed_database(config({Kind::B}, 8), {pep("PEPTIDEK", 900.0f)});
    CHECK_EQ(again.fragments.size(), size_t{7});
}

TEST(peptide_count_limit) {
    check_peptide_count(0);
    check_peptide_count(size_t{1} << 31);
    check_peptide_count(MAX_INDEXED_PEPTIDES);
    CHECK_EQ(MAX_INDEXED_PEPTIDES, size_t{4294967295u});
    std::string message;
    try {
        check_peptide_count(MAX_INDEXED_PEPTIDES + 1);
    } catch (const Failure &e) {
        message = e.what();
    }
    CHECK(message.find("reduce the peptide count") != std::string::npos);
}

// ---- bracket -----------------------------------------------------------------------

TEST(bracket_range_edges) {
    auto br = [](const std::vector<int> &v, int lo, int hi) {
        return bracket_range(v.size(), [&](size_t i) { return v[i]; }, lo, hi);
    };
    using P = std::pair<size_t, size_t>;
    CHECK(br({}, 1, 5) == P(0, 0));
    // Runs of equal keys at both bounds, with one element kept below.
    const std::vector<int> v = {1, 1, 2, 2, 2, 3, 4, 4, 5, 5};
    CHECK(br(v, 2, 4) == P(1, 8));
    CHECK(br(v, 1, 1) == P(0, 2));   // nothing below low: left is 0
    CHECK(br(v, 5, 5) == P(7, 10));  // up to the end
    CHECK(br(v, 6, 9) == P(9, 10));  // everything below: last element, then the end
    CHECK(br(v, -3, 0) == P(0, 0));  // everything above
    CHECK(br(v, 3, 2) == P(4, 5));   // inverted window: only the element below low remains
    CHECK(br({7}, 7, 7) == P(0, 1));
    CHECK(br({7}, 8, 9) == P(0, 1));
}

TEST(bracket_range_matches_a_plain_scan) {
    std::mt19937 rng(5);
    for (int t = 0; t < 3000; ++t) {
        std::vector<uint32_t> v(rng() % 40);
        for (auto &x : v) x = rng() % 12;
        std::sort(v.begin(), v.end());
        uint32_t lo = rng() % 14, hi = rng() % 14;
        if (rng() % 4) std::tie(lo, hi) = std::minmax(lo, hi);
        const auto [l, r] = bracket_range(v.size(), [&](size_t i) { return v[i]; }, lo, hi);
        size_t left = 0;
        for (size_t i = 0; i < v.size(); ++i)
            if (v[i] < lo) left = i;
        size_t right = left;
        while (right < v.size() && !(v[right] > hi)) ++right;
        CHECK_EQ(l, left);
        CHECK_EQ(r, right);
    }
    // An unsorted list gives some range inside the list, never past it.
    std::vector<int> desc = {9, 8, 7, 7, 3, 1};
    const auto [l, r] = bracket_range(desc.size(), [&](size_t i) { return desc[i]; }, 3, 8);
    CHECK(l <= r && r <= desc.size());
}

// ---- query and page search -----------------------------------------------------------

TEST(query_precursor_bracket_edges) {
    // Masses in whole and half daltons are exact; the window [99, 101] hits them exactly.
    std::vector<Peptide> peps;
    for (float m : {98.999f, 99.0f, 99.0f, 99.0f, 100.0f, 101.0f, 101.0f, 101.001f, 120.0f})
        peps.push_back(pep("GGGGGA", m));
    const auto db = build_indexed_database(config({Kind::B}, 3), peps);
    const Tolerance da1 = Tolerance::da(-1.0f, 1.0f), wide = Tolerance::da(-1000.0f, 1000.0f);
    const IndexedQuery q = db.query(100.0f, da1, wide);
    CHECK_EQ(q.candidate_lo, uint64_t{0});  // the one peptide below the window
    CHECK_EQ(q.candidate_hi, uint64_t{7});  // the first one above it
    CHECK(q.db == &db);
    CHECK_BITS(q.precursor_mass, 100.0f);
    std::vector<uint32_t> seen;
    for (const Entry &e : page(q, 200.0f)) seen.push_back(e.first);
    seen.erase(std::unique(seen.begin(), seen.end()), seen.end());
    CHECK(seen == (std::vector<uint32_t>{1, 2, 3, 4, 5, 6}));

    // All peptides lighter than the window.
    const IndexedQuery heavy = db.query(500.0f, da1, wide);
    CHECK_EQ(heavy.candidate_lo, uint64_t{8});
    CHECK_EQ(heavy.candidate_hi, uint64_t{9});
    CHECK(page(heavy, 200.0f).empty());
    // The lightest peptide inside the window: a candidate with nothing below it.
    const IndexedQuery light = db.query(98.5f, Tolerance::da(-0.5f, 0.5f), wide);
    CHECK_EQ(light.candidate_lo, uint64_t{0});
    std::vector<uint32_t> light_seen;
    for (const Entry &e : page(light, 200.0f)) light_seen.push_back(e.first);
    light_seen.erase(std::unique(light_seen.begin(), light_seen.end()), light_seen.end());
    CHECK(light_seen == (std::vector<uint32_t>{0, 1, 2, 3}));
    // The lower bound itself at position 0: candidates with nothing below them.
    const auto at_bound = build_indexed_database(config({Kind::B}, 3), {pep("GGA", 99.0f), pep("GGA", 99.0f), pep("GGA", 100.0f)});
    const IndexedQuery qb = at_bound.query(100.0f, da1, wide);
    CHECK_EQ(qb.candidate_lo, uint64_t{0});
    CHECK_EQ(page(qb, 100.0f).size(), size_t{6});
    // Everything heavier than the window.
    const IndexedQuery none = db.query(50.0f, da1, wide);
    CHECK_EQ(none.candidate_lo, uint64_t{0});
    CHECK_EQ(none.candidate_hi, uint64_t{0});
    CHECK(page(none, 200.0f).empty());

    // An empty index.
    const auto empty = build_indexed_database(config({Kind::B}, 3), {});
    const IndexedQuery e = empty.query(100.0f, da1, wide);
    CHECK_EQ(e.candidate_lo, uint64_t{0});
    CHECK_EQ(e.candidate_hi, uint64_t{0});
    CHECK(page(e, 100.0f).empty());
}

TEST(query_windows_in_daltons_and_ppm) {
    // Da(-0.02, 0.02) around 500 is [499.98, 500.02]; Ppm(-10, 10) around 1000 is
    // [999.99, 1000.01]. Peptides on the bounds are in, the next floats outside are out.
    for (const auto &[centre, tol, lo, hi] :
         {std::tuple{500.0f, Tolerance::da(-0.02f, 0.02f), 499.98f, 500.02f},
          std::tuple{1000.0f, Tolerance::ppm(-10.0f, 10.0f), 999.99f, 1000.01f}}) {
        const float below = std::nextafter(lo, 0.0f), above = std::nextafter(hi, 2000.0f);
        const auto db = build_indexed_database(config({Kind::B}, 2), {pep("GGA", below), pep("GGA", lo), pep("GGA", centre),
                                                                      pep("GGA", hi), pep("GGA", above)});
        const IndexedQuery q = db.query(centre, tol, Tolerance::da(-500.0f, 500.0f));
        CHECK_EQ(q.candidate_lo, uint64_t{0});
        CHECK_EQ(q.candidate_hi, uint64_t{4});
        std::vector<uint32_t> seen;
        for (const Entry &e : page(q, 100.0f)) seen.push_back(e.first);
        seen.erase(std::unique(seen.begin(), seen.end()), seen.end());
        CHECK(seen == (std::vector<uint32_t>{1, 2, 3}));
    }
}

TEST(page_search_fragment_window_edges) {
    // b ions of GGGGGGGGGA: 57.02146 * k as 32-bit sums.
    const auto db = build_indexed_database(config({Kind::B, Kind::B}, 4), {pep("GGGGGGGGGA", 600.0f)});
    std::vector<float> b;
    float cum = 0.0f;
    for (int k = 0; k < 9; ++k) b.push_back(cum = cum + 57.02146f);
    const Tolerance ptol = Tolerance::da(-1.0f, 1.0f);
    // A window whose lower bound is exactly one fragment and upper bound exactly another.
    const float centre = b[3];
    const Tolerance exact = Tolerance::da(b[2] - centre, b[5] - centre);
    const auto [flo, fhi] = exact.bounds(centre);
    CHECK_BITS(flo, b[2]);
    CHECK_BITS(fhi, b[5]);
    const IndexedQuery q = db.query(600.0f, ptol, exact);
    const auto hits = page(q, centre);
    // Both copies of b3..b6 (the kind is listed twice), bounds included.
    CHECK_EQ(hits.size(), size_t{8});
    CHECK(hits == scan(db, 600.0f, ptol, exact, centre));
    // The last, short bucket (18 fragments in buckets of 4) is searched like the others.
    const IndexedQuery top = db.query(600.0f, ptol, Tolerance::da(-0.001f, 0.001f));
    CHECK_EQ(page(top, b[8]).size(), size_t{2});
    // Nothing in range, and non-finite inputs, yield nothing without failing.
    CHECK(page(q, 5000.0f).empty());
    CHECK(page(q, kNaN).empty());
    CHECK(page(db.query(kNaN, ptol, exact), centre).empty());
    CHECK(page(db.query(600.0f, ptol, Tolerance::da(kNaN, 1.0f)), centre).empty());
    CHECK(page(db.query(600.0f, Tolerance::da(-kInf, kInf), Tolerance::da(-kInf, kInf)), 1.0f).size() == 18);
}

TEST(page_search_matches_a_plain_scan) {
    std::mt19937 rng(31337);
    const auto peps = random_peptides(rng, 3000);
    const std::vector<Tolerance> ptols = {Tolerance::da(-1.0f, 1.0f), Tolerance::da(-0.25f, 0.25f),
                                          Tolerance::ppm(-20.0f, 20.0f), Tolerance::da(0.0f, 0.0f),
                                          Tolerance::da(-5.0f, 0.5f), Tolerance::da(0.5f, -0.5f)};
    const std::vector<Tolerance> ftols = {Tolerance::da(-0.02f, 0.02f), Tolerance::ppm(-10.0f, 10.0f),
                                          Tolerance::da(-2.0f, 2.0f), Tolerance::da(0.0f, 0.0f)};
    for (bool decoys : {false, true}) {
        for (size_t b : {1, 5, 64, 777, 1000000}) {
            const auto db = build_indexed_database(config({Kind::B, Kind::Y}, b, 1, decoys), peps);
            int compared = 0, nonempty = 0;
            for (int t = 0; t < 400; ++t) {
                const Peptide &target = db.peptides[rng() % db.peptides.size()];
                std::vector<float> own;  // the target's own ions: windows that do hold fragments
                list_fragments(target, db.ion_kinds, 1, [&](const ListedIon &ion) { own.push_back(ion.mass); });
                const float precursor = rng() % 3 == 0 ? target.monoisotopic + float(int(rng() % 9) - 4) * 0.25f
                                                       : target.monoisotopic;
                const Tolerance ptol = ptols[rng() % ptols.size()];
                const Tolerance ftol = ftols[rng() % ftols.size()];
                const IndexedQuery q = db.query(precursor, ptol, ftol);
                for (int f = 0; f < 5; ++f) {
                    float fm = 50.0f + float(rng() % 100000) * 0.01f;
                    if (rng() % 3 != 0 && !own.empty()) fm = own[rng() % own.size()];
                    else if (rng() % 2) fm = db.fragments[rng() % db.fragments.size()].fragment_mass;
                    const auto got = page(q, fm);
                    nonempty += !got.empty();
                    CHECK(got == scan(db, precursor, ptol, ftol, fm));
                    ++compared;
                }
            }
            CHECK(nonempty > compared / 10);  // the comparison is not vacuous
        }
    }
}

TEST(page_search_signed_zero_masses) {
    // The bracket orders -0.0 below +0.0, but the window test is an IEEE comparison, where
    // they are equal: a window [-0.0, -0.0] holds both, like a plain scan says.
    const std::vector<float> none = {0.0f, 0.0f};
    const auto db = build_indexed_database(config({Kind::Y}, 2), {pep("xx", -0.0f, none), pep("xx", 0.0f, none)});
    const Tolerance zero = Tolerance::da(-0.0f, -0.0f), ftol = Tolerance::da(-1.0f, 1.0f);
    const IndexedQuery q = db.query(-0.0f, zero, ftol);
    CHECK_EQ(q.candidate_lo, uint64_t{0});
    CHECK_EQ(q.candidate_hi, uint64_t{1});
    CHECK_EQ(page(q, 0.0f).size(), size_t{2});
    CHECK(page(q, 0.0f) == scan(db, -0.0f, zero, ftol, 0.0f));
}

TEST(page_search_two_entries_of_one_peptide_and_independent_walks) {
    // Y and B ions of a symmetric peptide coincide: same peptide, same mass, one bucket.
    const auto db = build_indexed_database(config({Kind::B, Kind::B}, 100), {pep("GG", 200.0f), pep("GA", 200.0f)});
    const IndexedQuery q = db.query(200.0f, Tolerance::da(-0.1f, 0.1f), Tolerance::da(-0.01f, 0.01f));
    PageSearch a = q.page_search(57.02146f), b = q.page_search(57.02146f);
    int na = 0, nb = 0;
    while (a.next()) {
        ++na;
        if (b.next()) ++nb;
    }
    while (b.next()) ++nb;
    CHECK_EQ(na, 4);
    CHECK_EQ(nb, 4);
    CHECK(!a.next());
}

TEST(query_on_descending_list_misses_but_never_fails) {
    std::vector<Peptide> peps;
    for (int i = 0; i < 200; ++i) peps.push_back(pep("PEPTIDEK", 3000.0f - float(i) * 7.0f));
    const auto db = build_indexed_database(config({Kind::B, Kind::Y}, 32), peps);
    const Tolerance ptol = Tolerance::da(-10.0f, 10.0f), ftol = Tolerance::da(-0.02f, 0.02f);
    for (int i = 0; i < 200; i += 13) {
        const IndexedQuery q = db.query(peps[i].monoisotopic, ptol, ftol);
        CHECK(q.candidate_lo <= q.candidate_hi && q.candidate_hi <= peps.size());
        const auto got = page(q, db.fragments[i].fragment_mass);
        const auto all = scan(db, peps[i].monoisotopic, ptol, ftol, db.fragments[i].fragment_mass);
        CHECK(std::includes(all.begin(), all.end(), got.begin(), got.end()));
    }
}

TEST(concurrent_queries_agree) {
    std::mt19937 rng(8);
    const auto db = build_indexed_database(config({Kind::B, Kind::Y}, 50), random_peptides(rng, 2000));
    const Tolerance ptol = Tolerance::ppm(-50.0f, 50.0f), ftol = Tolerance::da(-0.05f, 0.05f);
    std::vector<size_t> serial(4, 0), parallel(4, 0);
    auto run = [&](size_t t) {
        size_t hits = 0;
        for (size_t i = t; i < db.peptides.size(); i += 4) {
            const IndexedQuery q = db.query(db.peptides[i].monoisotopic, ptol, ftol);
            for (size_t f = i % 97; f < db.fragments.size(); f += 997) hits += page(q, db.fragments[f].fragment_mass).size();
        }
        return hits;
    };
    for (size_t t = 0; t < 4; ++t) serial[t] = run(t);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < 4; ++t) threads.emplace_back([&, t] { parallel[t] = run(t); });
    for (auto &th : threads) th.join();
    CHECK(serial == parallel);
}

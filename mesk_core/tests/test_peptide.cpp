// Peptide records, the mod array, FNV-1a, interior reversal and the decoy step.
#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "check.hpp"
#include "failure.hpp"
#include "peptide.hpp"
#include "thread_pool.hpp"

using namespace mesk;

namespace {

Peptide pep(const std::string &seq, std::vector<float> mods, float mass = 500.0f) {
    return make_peptide(seq, mass, std::move(mods), std::nullopt, std::nullopt);
}

std::vector<float> iota_mods(size_t n, float base = 0.0f) {
    std::vector<float> m(n);
    for (size_t i = 0; i < n; ++i) m[i] = base + static_cast<float>(i) + 0.25f;
    return m;
}

// Interior reversal written out directly: keep both ends, read the middle backwards.
std::string reversed_interior(const std::string &s) {
    if (s.size() <= 2) return s;
    std::string middle(s.rbegin() + 1, s.rend() - 1);
    return s.front() + middle + s.back();
}

}  // namespace

TEST(label_is_one_shared_string) {
    CHECK_EQ(*user_provided_label(), std::string("USER_PROVIDED_TOVELMESK"));
    CHECK(user_provided_label().get() == user_provided_label().get());
    const Peptide a = pep("PEPTIDE", {}), b = pep("SAMPLER", {});
    CHECK_EQ(a.proteins.size(), size_t{1});
    CHECK(a.proteins[0].get() == user_provided_label().get());
    CHECK(b.proteins[0].get() == a.proteins[0].get());
}

TEST(make_peptide_fields_and_mod_array) {
    // Seven letters, no modifications given: seven zeros, nine in the mod array.
    const Peptide p = make_peptide("PEPTIDE", 799.36f, std::nullopt, std::nullopt, std::nullopt);
    CHECK(p.modifications == std::vector<float>(7, 0.0f));
    CHECK(p.mod_array() == std::vector<float>(9, 0.0f));
    CHECK_BITS(p.monoisotopic, 799.36f);
    CHECK(!p.decoy);
    CHECK_EQ(int(p.missed_cleavages), 0);
    CHECK(!p.nterm && !p.cterm);

    // Terminal shifts at both ends of the mod array; a list of another length is kept as given.
    const Peptide q = make_peptide("ACK", 300.0f, std::vector<float>{1.5f, 57.021464f}, 42.010565f, -0.984016f);
    CHECK_EQ(q.modifications.size(), size_t{2});
    CHECK(q.mod_array() == (std::vector<float>{42.010565f, 1.5f, 57.021464f, -0.984016f}));

    // Empty sequence: no entries, mod array of the two terminal values.
    const Peptide e = make_peptide("", 18.0f, std::nullopt, std::nullopt, 3.0f);
    CHECK_EQ(e.length(), size_t{0});
    CHECK(e.modifications.empty());
    CHECK(e.mod_array() == (std::vector<float>{0.0f, 3.0f}));

    // One entry per UTF-8 byte, not per character.
    const Peptide u = make_peptide("P\xC3\x89P", 1.0f, std::nullopt, std::nullopt, std::nullopt);
    CHECK_EQ(u.length(), size_t{4});
    CHECK_EQ(u.modifications.size(), size_t{4});

    // Copies share the sequence bytes.
    const Peptide copy = q;
    CHECK(copy.sequence.get() == q.sequence.get());
}

TEST(fnv1a64_reference_values) {
    // Published test vectors of the 64-bit FNV-1a hash.
    CHECK_EQ(fnv1a64(""), uint64_t{0xcbf29ce484222325ull});
    CHECK_EQ(fnv1a64("a"), uint64_t{0xaf63dc4c8601ec8cull});
    CHECK_EQ(fnv1a64("foobar"), uint64_t{0x85944171f73967e8ull});
}

TEST(reverse_interior_bytes_and_modifications) {
    const std::vector<float> m = iota_mods(8);
    Peptide p = pep("PEPTIDEK", m, 927.45f);
    p.nterm = 42.0f;
    p.missed_cleavages = 2;
    const Peptide d = p.reverse();
    CHECK_EQ(d.bytes(), std::string_view("PEDITPEK"));
    CHECK(d.modifications == (std::vector<float>{m[0], m[6], m[5], m[4], m[3], m[2], m[1], m[7]}));
    CHECK(d.decoy);
    CHECK_BITS(d.monoisotopic, 927.45f);
    CHECK(d.nterm && *d.nterm == 42.0f);
    CHECK(!d.cterm);
    CHECK_EQ(int(d.missed_cleavages), 2);
    CHECK_EQ(d.proteins.size(), size_t{1});
    CHECK(d.proteins[0].get() == p.proteins[0].get());
    // The source is untouched, and reversing twice gives the target back.
    CHECK_EQ(p.bytes(), std::string_view("PEPTIDEK"));
    CHECK(p.modifications == m);
    const Peptide back = d.reverse();
    CHECK(!back.decoy);
    CHECK_EQ(back.bytes(), p.bytes());
    CHECK(back.modifications == m);

    // Odd length: the middle residue stays put.
    CHECK_EQ(std::string(pep("PEPTIDE", iota_mods(7)).reverse().bytes()), std::string("PDITPEE"));
    // Entries beyond the sequence ride along unchanged.
    CHECK(pep("ABCD", {0, 1, 2, 3, 4, 5}).reverse().modifications == (std::vector<float>{0, 2, 1, 3, 4, 5}));
    // Exactly L - 1 entries is enough.
    CHECK(pep("ABCD", {0, 1, 2}).reverse().modifications == (std::vector<float>{0, 2, 1}));
    // Multi-byte characters are reversed byte by byte.
    CHECK_EQ(std::string(pep("A\xC3\xA9" "B", iota_mods(4)).reverse().bytes()), std::string("A\xA9\xC3" "B"));
}

TEST(reverse_short_sequences) {
    for (const std::string s : {"", "K", "GA"}) {
        const Peptide p = pep(s, {});  // even with no modification entries
        const Peptide d = p.reverse();
        CHECK(d.sequence.get() == p.sequence.get());
        CHECK(d.decoy);
    }
    const Peptide three = pep("ACK", iota_mods(3));
    const Peptide d3 = three.reverse();
    CHECK_EQ(d3.bytes(), std::string_view("ACK"));
    CHECK(d3.modifications == three.modifications);
}

TEST(reverse_refuses_short_modification_lists) {
    CHECK_THROWS(pep("ACK", {1.0f}).reverse());
    CHECK_THROWS(pep("ACK", {}).reverse());
    CHECK_THROWS(pep("PEPTIDEK", iota_mods(6)).reverse());
    bool is_failure = false;
    try {
        (void)pep("PEPTIDEK", iota_mods(3)).reverse();
    } catch (const Failure &) {
        is_failure = true;
    }
    CHECK(is_failure);
}

TEST(add_decoys_order_and_filtering) {
    WorkerPool pool(3);
    {
        auto out = add_decoys({pep("PEPTIDEK", iota_mods(8), 900.0f), pep("SAMPLER", iota_mods(7), 800.0f)}, pool);
        CHECK_EQ(out.size(), size_t{4});
        if (out.size() == 4) {
            CHECK_EQ(out[0].bytes(), std::string_view("PEPTIDEK"));
            CHECK_EQ(out[1].bytes(), std::string_view("PEDITPEK"));
            CHECK_EQ(out[2].bytes(), std::string_view("SAMPLER"));
            CHECK_EQ(out[3].bytes(), std::string_view("SELPMAR"));
            CHECK(!out[0].decoy && out[1].decoy && !out[2].decoy && out[3].decoy);
            CHECK_BITS(out[1].monoisotopic, 900.0f);
            CHECK_BITS(out[3].monoisotopic, 800.0f);
        }
    }
    // Lengths 1 to 3 equal their own reversal: no decoys.
    CHECK_EQ(add_decoys({pep("K", {0}), pep("GA", {0, 0}), pep("ACK", {0, 0, 0})}, pool).size(), size_t{3});
    // The second peptide is the interior reversal of the first: neither gets a decoy.
    CHECK_EQ(add_decoys({pep("PEPTIDEK", iota_mods(8)), pep("PEDITPEK", iota_mods(8))}, pool).size(), size_t{2});
    // A palindromic interior is its own decoy.
    CHECK_EQ(add_decoys({pep("AKLMLKC", iota_mods(7))}, pool).size(), size_t{1});
    // Duplicate targets are all kept, each with its decoy; decoys are not compared to each other.
    {
        auto out = add_decoys({pep("ABCDE", iota_mods(5)), pep("ABCDE", iota_mods(5))}, pool);
        CHECK_EQ(out.size(), size_t{4});
        if (out.size() == 4) CHECK(out[1].decoy && out[3].decoy && out[1].bytes() == out[3].bytes());
    }
    // Only peptides not flagged as decoys count as targets; every peptide is reversed.
    {
        Peptide x = pep("ABCDE", iota_mods(5));
        x.decoy = true;
        auto out = add_decoys({x, pep("ADCBE", iota_mods(5))}, pool);
        CHECK_EQ(out.size(), size_t{3});
        if (out.size() == 3) {
            CHECK(out[0].decoy && out[0].bytes() == "ABCDE");
            CHECK(!out[1].decoy && out[1].bytes() == "ADCBE");
            CHECK(out[2].decoy && out[2].bytes() == "ABCDE");
        }
    }
    CHECK(add_decoys({}, pool).empty());
}

TEST(add_decoys_refuses_short_modification_lists) {
    WorkerPool pool(2);
    // Length 3 or more with fewer than L - 1 entries fails even when the decoy would be dropped.
    std::vector<Peptide> many;
    for (int i = 0; i < 5000; ++i) many.push_back(pep("PEPTIDEK", iota_mods(8)));
    many.push_back(pep("ACK", {0.0f}));
    CHECK_THROWS(add_decoys(many, pool));
    CHECK_THROWS(add_decoys({pep("PEPTIDEK", iota_mods(5))}, pool));
    // Length 2 or less never needs an entry.
    CHECK_EQ(add_decoys({pep("GA", {}), pep("K", {})}, pool).size(), size_t{2});
}

TEST(add_decoys_matches_a_plain_loop) {
    // Short sequences over a tiny alphabet make decoys collide with targets often.
    std::mt19937 rng(12345);
    for (size_t threads : {1, 2, 5}) {
        WorkerPool pool(threads);
        std::vector<Peptide> input;
        for (int i = 0; i < 20000; ++i) {
            const size_t len = rng() % 7;
            std::string s;
            for (size_t k = 0; k < len; ++k) s += "ABC"[rng() % 3];
            Peptide p = pep(s, iota_mods(len, float(i)), float(i));
            p.decoy = rng() % 10 == 0;
            input.push_back(p);
        }
        std::set<std::string> targets;
        for (const Peptide &p : input)
            if (!p.decoy) targets.insert(std::string(p.bytes()));
        std::vector<std::pair<std::string, bool>> expected;
        for (const Peptide &p : input) {
            expected.emplace_back(std::string(p.bytes()), p.decoy);
            const std::string r = reversed_interior(std::string(p.bytes()));
            if (!targets.count(r)) expected.emplace_back(r, !p.decoy);
        }
        const auto out = add_decoys(input, pool);
        CHECK_EQ(out.size(), expected.size());
        bool same = out.size() == expected.size();
        for (size_t i = 0; same && i < out.size(); ++i)
            same = out[i].bytes() == expected[i].first && out[i].decoy == expected[i].second;
        CHECK(same);
    }
}

// Compact peptide records: every field reads back as stored, decoys equal reversal, and
// a digest read in place gives the records of its copies.
#include <bit>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "digest.hpp"
#include "index_build.hpp"
#include "peptide_store.hpp"
#include "thread_pool.hpp"

using namespace mesk;

namespace {

bool same_floats(const std::vector<float> &a, const std::vector<float> &b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

bool same_optional(std::optional<float> a, std::optional<float> b) {
    return a.has_value() == b.has_value() && (!a || check::same_bits(*a, *b));
}

// Field by field, floats by their bits, protein labels by content.
bool same_peptide(const Peptide &a, const Peptide &b) {
    if (a.bytes() != b.bytes() || !same_floats(a.modifications, b.modifications) || !same_optional(a.nterm, b.nterm) ||
        !same_optional(a.cterm, b.cterm) || !check::same_bits(a.monoisotopic, b.monoisotopic) || a.decoy != b.decoy ||
        a.missed_cleavages != b.missed_cleavages || a.proteins.size() != b.proteins.size())
        return false;
    for (size_t i = 0; i < a.proteins.size(); ++i)
        if (bool(a.proteins[i]) != bool(b.proteins[i]) || (a.proteins[i] && *a.proteins[i] != *b.proteins[i]))
            return false;
    return true;
}

// Peptides with what a record can hold: modification lists longer or shorter than the
// sequence, signed zeros and NaN among them, terminal shifts, odd bytes, and protein
// lists that share labels, equal each other in content only, or differ.
std::vector<Peptide> varied_peptides(std::mt19937_64 &rng, size_t n) {
    const std::vector<SharedText> labels = {std::make_shared<const std::string>("sp|P1|ALBU"),
                                            std::make_shared<const std::string>("sp|P2|LONG_PROTEIN_NAME_OVER_15"),
                                            std::make_shared<const std::string>("sp|P1|ALBU"), nullptr};
    const float odd[] = {0.0f, -0.0f, std::numeric_limits<float>::quiet_NaN(), 57.021464f, -18.0f};
    std::vector<Peptide> out;
    for (size_t i = 0; i < n; ++i) {
        std::string seq;
        for (size_t k = 0, len = rng() % 30; k < len; ++k) seq += static_cast<char>(rng() % 5 ? 'A' + rng() % 26 : rng() % 256);
        std::vector<float> mods(seq.size(), 0.0f);
        for (float &m : mods)
            if (rng() % 4 == 0) m = odd[rng() % 5];
        if (rng() % 8 == 0) mods.resize(seq.size() + rng() % 3);
        if (rng() % 8 == 0 && seq.size() > 2) mods.resize(seq.size() - 1);
        std::optional<float> nterm, cterm;
        if (rng() % 3 == 0) nterm = odd[rng() % 5];
        if (rng() % 3 == 0) cterm = odd[rng() % 5];
        Peptide p = make_peptide(seq, static_cast<float>(rng() % 3000), std::move(mods), nterm, cterm);
        p.decoy = rng() % 4 == 0;
        p.missed_cleavages = static_cast<uint8_t>(rng() % 256);
        if (rng() % 2) {
            p.proteins.clear();
            for (size_t k = 0, count = rng() % 4; k < count; ++k) p.proteins.push_back(labels[rng() % labels.size()]);
        }
        out.push_back(std::move(p));
    }
    return out;
}

}  // namespace

TEST(store_reads_back_every_field) {
    std::mt19937_64 rng(5);
    const std::vector<Peptide> peptides = varied_peptides(rng, 3000);
    const PeptideStore store(peptides);
    CHECK_EQ(store.size(), peptides.size());
    size_t mismatches = 0;
    for (size_t i = 0; i < peptides.size(); ++i) {
        const Peptide back = store[i];
        mismatches += !same_peptide(back, peptides[i]);
        mismatches += store.sequence(i) != peptides[i].bytes() || store.decoy(i) != peptides[i].decoy ||
                      !check::same_bits(store.monoisotopic(i), peptides[i].monoisotopic);
        mismatches += !same_floats(back.mod_array(), peptides[i].mod_array());
    }
    CHECK_EQ(mismatches, size_t{0});
    const std::vector<Peptide> all = store;
    CHECK_EQ(all.size(), peptides.size());
    CHECK(PeptideStore().empty());
}

TEST(store_decoys_equal_reversal) {
    std::mt19937_64 rng(8);
    std::vector<Peptide> peptides = varied_peptides(rng, 2000);
    // Reversal needs L - 1 modification entries at least.
    std::erase_if(peptides, [](const Peptide &p) { return p.length() > 2 && p.modifications.size() < p.length() - 1; });
    std::vector<uint8_t> after(peptides.size());
    for (uint8_t &a : after) a = static_cast<uint8_t>(rng() % 2);
    const PeptideStore store = PeptideStore::build(peptides, after, global_pool());
    size_t r = 0, mismatches = 0;
    for (size_t i = 0; i < peptides.size(); ++i) {
        mismatches += !same_peptide(store[r++], peptides[i]);
        if (after[i]) mismatches += !same_peptide(store[r++], peptides[i].reverse());
    }
    CHECK_EQ(r, store.size());
    CHECK_EQ(mismatches, size_t{0});
}

TEST(build_gives_the_decoy_step_records) {
    std::vector<Peptide> peptides;
    for (const char *seq : {"PEPTIDEK", "KEDITPEP", "AK", "SAMPLER", "RELPMAS", "GGGGK"})
        peptides.push_back(make_peptide(seq, 800.0f, std::nullopt, std::nullopt, 1.5f));
    BuildConfig config;
    config.ion_kinds = {Kind::B, Kind::Y};
    config.bucket_size = 4;
    config.generate_decoys = true;
    const IndexedDatabase db = build_indexed_database(config, peptides);
    const std::vector<Peptide> expected = add_decoys(peptides, global_pool());
    CHECK_EQ(db.peptide_count(), expected.size());
    for (size_t i = 0; i < std::min(expected.size(), db.peptide_count()); ++i) CHECK(same_peptide(db.peptide_at(i), expected[i]));
    CHECK(db.built_from_peptides);
}

TEST(a_digest_builds_the_index_its_peptide_copies_build) {
    // Terminal and residue modifications, variable forms, shared peptides and the file's
    // own decoys kept, so that every field of a record is exercised.
    const std::string fasta =
        ">sp|P1|ONE\nMKWVTFISLLLLFSSAYSRGVFRRDTHKSEIAHRFKDLGEEHFKGLVLIAFSQYLQQCPFDEHVK\n"
        ">sp|P2|TWO\nMCTVASARQRLKCASIQKFGERALKAWSVARLSQKFPKAEFVEVTKLVTDLTKVHKECCHGDLLECADDR\n"
        ">rev_P3\nKVHEDFPCQQLYQSFAILVLGKFHEEGLDKFRHAIESKHTDRRFVGRSYASFFSLLLLSIFTVWKM\n";
    DigestSettings s;
    s.fixed_mods = {parse_modification("C:+57.021464")};
    s.variable_mods = {parse_modification("M:+15.9949"), parse_modification("protein-nterm:+42.010565"),
                       parse_modification("peptide-cterm:-0.984")};
    s.min_length = 4;
    s.drop_decoys = false;
    const Digest digest = digest_fasta(fasta, "test.fasta", s, global_pool());
    CHECK(digest.size() > 100 && digest.decoy_count() > 0);
    std::vector<Peptide> copies;
    for (size_t i = 0; i < digest.size(); ++i) copies.push_back(digest.peptide(i));

    for (const bool decoys : {false, true}) {
        std::vector<Peptide> input = copies;
        if (decoys)  // generated decoys need targets only
            std::erase_if(input, [](const Peptide &p) { return p.decoy; });
        Digest targets = digest;
        if (decoys) {
            s.drop_decoys = true;
            targets = digest_fasta(fasta, "test.fasta", s, global_pool());
            s.drop_decoys = false;
        }
        BuildConfig config;
        config.ion_kinds = {Kind::B, Kind::Y};
        config.bucket_size = 16;
        config.generate_decoys = decoys;
        const IndexedDatabase expected = build_indexed_database(config, input);
        const IndexedDatabase built = build_indexed_database_from(config, targets);
        CHECK_EQ(built.peptide_count(), expected.peptide_count());
        size_t mismatches = 0;
        for (size_t i = 0; i < std::min(built.peptide_count(), expected.peptide_count()); ++i)
            mismatches += !same_peptide(built.peptide_at(i), expected.peptide_at(i));
        CHECK_EQ(mismatches, size_t{0});
        CHECK(built.fragments.size() == expected.fragments.size() &&
              std::memcmp(built.fragments.data(), expected.fragments.data(),
                          built.fragments.size() * sizeof(Theoretical)) == 0);
        config.fragment_list = false;
        const IndexedDatabase lean = build_indexed_database_from(config, targets);
        CHECK(!lean.fragment_list && lean.fragments.empty() && lean.peptide_count() == expected.peptide_count());
    }
}

TEST(a_digest_with_an_ion_of_zero_mass_keeps_the_fragment_list) {
    // G's mass taken off by a modification: b1 of GAK weighs exactly zero. A positive
    // modification rules zero ions out from the digest alone; a negative one is checked
    // ion by ion.
    DigestSettings s;
    s.min_length = 2;
    s.min_mass = 0.0;
    BuildConfig config;
    config.ion_kinds = {Kind::B, Kind::Y};
    config.bucket_size = 4;
    config.fragment_list = false;
    for (const char *mod : {"G:-57.02146", "M:+15.9949", "S:-1.5"}) {
        s.fixed_mods = {parse_modification(mod)};
        const Digest digest = digest_fasta(">sp|P1|ONE\nGAKGSAR\n", "test.fasta", s, global_pool());
        const IndexedDatabase db = build_indexed_database_from(config, digest);
        CHECK_EQ(db.fragment_list, std::string(mod) == "G:-57.02146");
        CHECK_EQ(db.fragments.empty(), !db.fragment_list);
    }
}

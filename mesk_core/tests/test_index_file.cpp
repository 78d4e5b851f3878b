// Index files: an index mapped back equals the built one in every field and bit; a file
// that is truncated, altered or of another format version is refused with its reason.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "index_build.hpp"
#include "index_file.hpp"

using namespace mesk;

namespace {

std::string scratch_path(const char *name) {
    const char *dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/mesk_index_file_" + std::to_string(::getpid()) + "_" + name;
}

// Peptides with what a record can hold: NaN and signed-zero modifications, longer
// modification lists, terminal shifts, shared, null and repeated protein labels.
std::vector<Peptide> varied(std::mt19937_64 &rng, size_t n) {
    const std::vector<SharedText> labels = {std::make_shared<const std::string>("sp|P1|ALBU"),
                                            std::make_shared<const std::string>("sp|P2|LONG_PROTEIN_NAME_OVER_15"),
                                            std::make_shared<const std::string>("sp|P1|ALBU"), nullptr};
    const float odd[] = {0.0f, -0.0f, std::numeric_limits<float>::quiet_NaN(), 57.021464f, 15.994915f};
    std::vector<Peptide> out;
    for (size_t i = 0; i < n; ++i) {
        std::string seq;
        for (size_t k = 0, len = 3 + rng() % 20; k < len; ++k) seq += "ACDEFGHIKLMNPQRSTVWY"[rng() % 20];
        std::vector<float> mods(seq.size(), 0.0f);
        for (float &m : mods)
            if (rng() % 4 == 0) m = odd[rng() % 5];
        if (rng() % 8 == 0) mods.resize(seq.size() + 1 + rng() % 3);
        std::optional<float> nterm, cterm;
        if (rng() % 3 == 0) nterm = odd[rng() % 5];
        if (rng() % 3 == 0) cterm = odd[rng() % 5];
        Peptide p = make_peptide(seq, 500.0f + static_cast<float>(i), std::move(mods), nterm, cterm);
        p.proteins.clear();
        for (size_t k = 0, count = rng() % 3; k < count; ++k) p.proteins.push_back(labels[rng() % labels.size()]);
        p.missed_cleavages = static_cast<uint8_t>(rng() % 3);
        p.decoy = rng() % 5 == 0;
        out.push_back(std::move(p));
    }
    return out;
}

bool same_peptide(const Peptide &a, const Peptide &b) {
    auto same_opt = [](std::optional<float> x, std::optional<float> y) {
        return x.has_value() == y.has_value() && (!x || check::same_bits(*x, *y));
    };
    if (a.bytes() != b.bytes() || a.modifications.size() != b.modifications.size() ||
        (!a.modifications.empty() &&
         std::memcmp(a.modifications.data(), b.modifications.data(), a.modifications.size() * sizeof(float)) != 0) ||
        !same_opt(a.nterm, b.nterm) || !same_opt(a.cterm, b.cterm) || !check::same_bits(a.monoisotopic, b.monoisotopic) ||
        a.decoy != b.decoy || a.missed_cleavages != b.missed_cleavages || a.proteins.size() != b.proteins.size())
        return false;
    for (size_t i = 0; i < a.proteins.size(); ++i)
        if (bool(a.proteins[i]) != bool(b.proteins[i]) || (a.proteins[i] && *a.proteins[i] != *b.proteins[i]))
            return false;
    return true;
}

template <class A, class B>
bool same_bytes(const A &a, const B &b) {
    return a.size() == b.size() && (a.size() == 0 || std::memcmp(a.data(), b.data(), a.size() * sizeof(a[0])) == 0);
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

IndexFileError::Reason refusal(const std::string &path, std::string *message = nullptr) {
    try {
        map_index_file(path);
    } catch (const IndexFileError &e) {
        if (message) *message = e.what();
        return e.reason;
    }
    return static_cast<IndexFileError::Reason>(-1);
}

}  // namespace

TEST(hash_is_the_xxhash64_construction) {
    CHECK_EQ(hash64("", 0), uint64_t{0xEF46DB3751D8E999ull});
    const std::string text(100, 'x');
    CHECK(hash64(text.data(), 100) != hash64(text.data(), 99));
    CHECK(hash64(text.data(), 100, 1) != hash64(text.data(), 100, 0));
}

TEST(mapped_index_equals_the_built_one) {
    std::mt19937_64 rng(11);
    for (int round = 0; round < 6; ++round) {
        BuildConfig config;
        config.ion_kinds = round % 3 ? std::vector<Kind>{Kind::B, Kind::Y} : std::vector<Kind>{Kind::A, Kind::Y, Kind::C};
        config.bucket_size = 1 + rng() % 300;
        config.min_ion_index = rng() % 3;
        config.generate_decoys = round % 2 == 0;
        config.decoy_tag = round % 2 ? "rev_" : "";
        config.fragment_list = round < 4;
        const IndexedDatabase built = build_indexed_database(config, varied(rng, 50 + rng() % 400));
        const std::string path = scratch_path("round");
        const std::string metadata = "{\"round\": " + std::to_string(round) + "}";
        write_index_file(path, built, metadata);
        const MappedIndex mapped = map_index_file(path);
        std::remove(path.c_str());  // the mapping outlives the name
        const IndexedDatabase &m = *mapped.db;
        CHECK(mapped.metadata == metadata);
        CHECK(m.peptides.is_mapped() && !built.peptides.is_mapped());
        CHECK_EQ(m.peptide_count(), built.peptide_count());
        bool same = true;
        for (size_t i = 0; i < built.peptide_count(); ++i) same &= same_peptide(m.peptide_at(i), built.peptide_at(i));
        CHECK(same);
        CHECK(same_bytes(m.fragments, built.fragments));
        CHECK(same_bytes(m.bucket_minima, built.bucket_minima));
        CHECK(same_bytes(m.bucket_fences, built.bucket_fences));
        CHECK(m.ion_kinds == built.ion_kinds && m.decoy_tag == built.decoy_tag && m.bucket_size == built.bucket_size &&
              m.min_ion_index == built.min_ion_index && m.generate_decoys == built.generate_decoys &&
              m.fragment_list == built.fragment_list && m.built_from_peptides == built.built_from_peptides);
    }
}

TEST(damaged_and_foreign_files_are_refused) {
    std::mt19937_64 rng(5);
    BuildConfig config;
    config.ion_kinds = {Kind::B, Kind::Y};
    config.bucket_size = 16;
    config.generate_decoys = true;
    const IndexedDatabase built = build_indexed_database(config, varied(rng, 300));
    const std::string path = scratch_path("damage");
    write_index_file(path, built, "meta");
    const std::string good = read_file(path);
    std::string message;

    write_file(path, good.substr(0, good.size() - 1));
    CHECK(refusal(path, &message) == IndexFileError::Damaged && message.find("truncated") != std::string::npos);
    write_file(path, good.substr(0, 10));
    CHECK(refusal(path) == IndexFileError::Damaged);
    for (size_t at : {good.size() - 1, good.size() / 2, size_t{4096}, size_t{100}, size_t{0}}) {
        std::string bad = good;
        bad[at] = static_cast<char>(bad[at] ^ 0x10);
        write_file(path, bad);
        CHECK(refusal(path) == IndexFileError::Damaged);
    }
    std::string other = good;
    other[8] = static_cast<char>(INDEX_FILE_VERSION + 1);
    write_file(path, other);
    CHECK(refusal(path, &message) == IndexFileError::OtherVersion && message.find("format") != std::string::npos);
    std::remove(path.c_str());
    CHECK(refusal(path) == IndexFileError::Unreadable);
    write_file(path, good);
    CHECK(map_index_file(path).db->peptide_count() == built.peptide_count());
    std::remove(path.c_str());
}

// Builds the fragment index from a peptide list on the process-wide worker pool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "database.hpp"
#include "digest.hpp"

namespace mesk {

struct BuildConfig {
    std::vector<Kind> ion_kinds;
    std::string decoy_tag;
    size_t bucket_size = 0;
    size_t min_ion_index = 0;
    float peptide_min_mass = 0.0f;   // carried only; filters nothing
    float peptide_max_mass = 0.0f;   // carried only; filters nothing
    bool generate_decoys = false;
    // Whether to list every fragment ion (IndexedDatabase::fragment_list). Without, the
    // list is left out unless some listed ion weighs zero: such an ion is matched by the
    // listed index's bucket order alone, and the list is then built after all.
    bool fragment_list = true;
};

// Most peptides one index holds: positions are 32-bit, and the end position of a precursor
// bracket (one past the last peptide) must fit 32 bits too.
inline constexpr size_t MAX_INDEXED_PEPTIDES = UINT32_MAX;

// Throws Failure, with a message telling to reduce the peptide count, above that limit.
void check_peptide_count(size_t count);

// Decoys (optional), fragment listing, global sort by mass in the float total order,
// then per-bucket minima and sorts by peptide index; or, without `fragment_list`,
// the peptides alone. Throws Failure on a zero bucket size,
// a modification list too short for its sequence, or more peptides than a 32-bit index holds.
IndexedDatabase build_indexed_database(BuildConfig config, std::vector<Peptide> peptides);
// The same from a digest, read in place (no Peptide copies): equal to building from its
// Digest::peptide records in order.
IndexedDatabase build_indexed_database_from(BuildConfig config, const Digest &digest);

}  // namespace mesk

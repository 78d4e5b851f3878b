// The peptide record, the residue mass table, the physical constants and decoy reversal.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mesk {

class WorkerPool;
struct Digest;

// Immutable bytes shared between copies; the reference count is atomic, so copies
// may be made and dropped on any thread.
using SharedText = std::shared_ptr<const std::string>;

inline constexpr float PROTON_MASS = std::bit_cast<float>(0x3F80EE6Fu);      // 1.0072764
inline constexpr float ISOTOPE_SPACING = std::bit_cast<float>(0x3F806DC6u);  // 1.00335
inline constexpr float A_ION_OFFSET = std::bit_cast<float>(0xC1DFF596u);     // -27.994915
inline constexpr float C_ION_OFFSET = std::bit_cast<float>(0x41883540u);     // 17.026001
inline constexpr float X_ION_OFFSET = std::bit_cast<float>(0x41CFD6A9u);     // 25.979815

// Monoisotopic residue masses indexed by letter - 'A'; B, J, X and Z carry no mass.
inline constexpr std::array<float, 26> RESIDUE_MASSES = {
    71.03711f,  0.0f,       103.00919f, 115.02694f, 129.04259f, 147.0684f,  57.02146f,
    137.05891f, 113.08406f, 0.0f,       128.09496f, 113.08406f, 131.0405f,  114.04293f,
    237.14774f, 97.05276f,  128.05858f, 156.1011f,  87.03203f,  101.04768f, 150.95363f,
    99.06841f,  186.07932f, 0.0f,       163.06332f, 0.0f};

// Residue mass of every byte value: upper-case letters from RESIDUE_MASSES, 0.0 for any
// other byte, so that a lookup needs no range test.
inline constexpr std::array<float, 256> RESIDUE_MASS_OF_BYTE = [] {
    std::array<float, 256> table{};
    for (size_t letter = 0; letter < RESIDUE_MASSES.size(); ++letter) table['A' + letter] = RESIDUE_MASSES[letter];
    return table;
}();

// Mass of an upper-case residue letter; 0.0 for any other byte.
inline float residue_mass(uint8_t byte) { return RESIDUE_MASS_OF_BYTE[byte]; }

// The step of one residue along a fragment ion ladder: its mass plus its modification.
inline float residue_step(uint8_t byte, float modification) { return residue_mass(byte) + modification; }

// Label carried by every peptide that a caller builds.
const SharedText &user_provided_label();

struct Peptide {
    SharedText sequence;                // residue letters, one byte per residue; never null
    std::vector<float> modifications;   // mass shift per residue position
    std::optional<float> nterm;
    std::optional<float> cterm;
    float monoisotopic = 0.0f;          // neutral mass as the caller gave it
    std::vector<SharedText> proteins;
    bool decoy = false;
    uint8_t missed_cleavages = 0;

    size_t length() const { return sequence->size(); }
    std::string_view bytes() const { return *sequence; }

    // [nterm or 0, modifications..., cterm or 0]
    std::vector<float> mod_array() const;

    // The decoy: interior bytes (positions 1 .. L-2) and their modifications reversed,
    // the decoy flag negated, everything else kept. Sequences of length 2 or less share
    // the source's bytes. Throws Failure when the modification list is too short.
    Peptide reverse() const;
};

// A caller's peptide: `modifications` absent gives one 0.0 per sequence byte.
Peptide make_peptide(std::string sequence, float monoisotopic, std::optional<std::vector<float>> modifications,
                     std::optional<float> nterm, std::optional<float> cterm);

// 64-bit FNV-1a over the bytes; the hash of the target-sequence set.
uint64_t fnv1a64(std::string_view bytes);

// Which peptides the decoy step follows with their reversal: those whose reversed
// sequence equals no target's sequence. Throws Failure when a peptide cannot be reversed.
std::vector<uint8_t> decoy_flags(const std::vector<Peptide> &peptides, WorkerPool &pool);
// The same for the peptides of a digest, in its order.
std::vector<uint8_t> decoy_flags(const Digest &digest, WorkerPool &pool);

// The decoy step of index building: every peptide followed by its reversal, unless the
// reversed sequence equals the sequence of any target in the input. Input order is kept;
// the work runs on `pool`.
std::vector<Peptide> add_decoys(std::vector<Peptide> peptides, WorkerPool &pool);

}  // namespace mesk

// The index's peptide records in compact columns: masses in one array, residue bytes in
// one arena, modifications as sparse entries, protein lists interned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "index_array.hpp"
#include "peptide.hpp"

namespace mesk {

class WorkerPool;
struct Digest;

// One modification that is not +0.0, at a position of the modification list.
struct ModEntry {
    uint32_t position;
    float value;
};

// One stored peptide as read in place, without copying anything; converts to a full
// Peptide copy where one is needed.
struct PeptideView {
    std::string_view residues;
    const ModEntry *mods_begin = nullptr;  // ascending positions, +0.0 entries left out
    const ModEntry *mods_end = nullptr;
    size_t mod_count = 0;                  // length of the modification list
    float monoisotopic = 0.0f;
    std::optional<float> nterm;
    std::optional<float> cterm;
    bool decoy = false;
    uint8_t missed_cleavages = 0;
    const std::vector<SharedText> *proteins = nullptr;

    size_t length() const { return residues.size(); }
    std::string_view bytes() const { return residues; }

    // A full copy, equal in every field to the peptide that was stored.
    Peptide to_peptide() const;
    operator Peptide() const { return to_peptide(); }
};

// The residue steps of a stored peptide from its N-terminus, one per call of next(): the
// residue's mass plus its modification (residue_step), or the mass alone where the sparse
// list holds no entry (the +0.0 a dense list holds there changes no residue mass). The
// caller stops at the peptide's length.
class ResidueSteps {
public:
    explicit ResidueSteps(const PeptideView &p) : ResidueSteps(p.residues.data(), p.mods_begin, p.mods_end) {}
    ResidueSteps(const char *residues, const ModEntry *mods, const ModEntry *mods_end)
        : residues_(residues), mod_(mods), mods_end_(mods_end) {}

    float next() {
        const auto residue = static_cast<uint8_t>(residues_[position_]);
        const bool modified = mod_ != mods_end_ && mod_->position == position_;
        const float step = modified ? residue_step(residue, (mod_++)->value) : residue_mass(residue);
        ++position_;
        return step;
    }

private:
    const char *residues_;
    const ModEntry *mod_, *mods_end_;
    size_t position_ = 0;
};

// Immutable once filled; any number of threads may read it.
class PeptideStore {
public:
    PeptideStore() = default;
    explicit PeptideStore(const std::vector<Peptide> &peptides);
    PeptideStore &operator=(const std::vector<Peptide> &peptides);

    // The records of `peptides` in order, each followed by its decoy (interior reversed,
    // decoy flag negated) where decoy_after[i] is nonzero; an empty `decoy_after` adds none.
    static PeptideStore build(const std::vector<Peptide> &peptides, const std::vector<uint8_t> &decoy_after,
                              WorkerPool &pool);
    // The same from a digest, read in place: equal to building from its Digest::peptide copies.
    static PeptideStore build(const Digest &digest, const std::vector<uint8_t> &decoy_after, WorkerPool &pool);

    size_t size() const { return masses_.size(); }
    bool empty() const { return masses_.empty(); }

    float monoisotopic(size_t i) const { return masses_[i]; }
    const float *masses() const { return masses_.data(); }
    std::string_view sequence(size_t i) const {
        return {residues_.data() + residue_start_[i], residue_start_[i + 1] - residue_start_[i]};
    }
    bool decoy(size_t i) const { return (flags_[i] & DECOY) != 0; }
    uint8_t missed_cleavages(size_t i) const { return missed_[i]; }
    PeptideView view(size_t i) const;

    // Record i in place; it converts to a full Peptide copy.
    PeptideView operator[](size_t i) const { return view(i); }
    operator std::vector<Peptide>() const;

    // Whether the columns view a mapped index file rather than owning their elements.
    bool is_mapped() const { return masses_.is_view(); }

    // Heap bytes this store holds, arrays and protein lists together.
    size_t heap_bytes() const;

private:
    friend struct IndexFile;  // writes and maps the columns (index_file.cpp)

    enum : uint8_t { DECOY = 1, NTERM = 2, CTERM = 4, ODD_MOD_COUNT = 8 };

    template <class Source>
    static PeptideStore build_from(const Source &peptides, const std::vector<uint8_t> &decoy_after, WorkerPool &pool);

    // Entries [mod_start_[i], mod_start_[i+1]): first the N-terminal shift, the C-terminal
    // shift and the modification count (each only when its flag is set), then the
    // positional entries.
    size_t special_entries(size_t i) const {
        const uint8_t f = flags_[i];
        return ((f & NTERM) != 0) + ((f & CTERM) != 0) + ((f & ODD_MOD_COUNT) != 0);
    }

    IndexArray<float> masses_;
    IndexArray<uint64_t> residue_start_;  // n + 1 offsets into residues_
    IndexArray<char> residues_;
    IndexArray<uint64_t> mod_start_;      // n + 1 offsets into mods_
    IndexArray<ModEntry> mods_;
    IndexArray<uint32_t> protein_list_;   // index into protein_lists_
    std::vector<std::vector<SharedText>> protein_lists_;
    IndexArray<uint8_t> flags_;
    IndexArray<uint8_t> missed_;
};

}  // namespace mesk

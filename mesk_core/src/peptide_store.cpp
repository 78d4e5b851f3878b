// Compact peptide records: filling the columns in parallel, and reading records back.
#include "peptide_store.hpp"

#include <algorithm>
#include <bit>
#include <span>
#include <string>
#include <unordered_map>

#include "digest.hpp"
#include "failure.hpp"
#include "thread_pool.hpp"

namespace mesk {

namespace {

constexpr size_t STORE_CHUNK = 2048;  // input peptides per unit of work

// Position of the source modification that lands at `k` in the decoy: the interior
// positions 1 .. L-2 read backwards, every other position kept.
inline size_t decoy_source(size_t k, size_t length) {
    return (length > 2 && k >= 1 && k <= length - 2) ? length - 1 - k : k;
}

inline bool stored_modification(float value) { return std::bit_cast<uint32_t>(value) != 0; }

// Protein lists equal in content share one stored list.
class ProteinLists {
public:
    explicit ProteinLists(std::vector<std::vector<SharedText>> &lists) : lists_(lists) {}

    uint32_t intern(const std::vector<SharedText> &list) {
        if (!lists_.empty() && same_pointers(list, lists_[last_])) return last_;
        std::string key;
        for (const SharedText &text : list) {
            if (!text) {
                key += "-;";
                continue;
            }
            key += std::to_string(text->size());
            key += ':';
            key += *text;
        }
        auto [it, inserted] = ids_.try_emplace(std::move(key), static_cast<uint32_t>(lists_.size()));
        if (inserted) {
            if (lists_.size() >= UINT32_MAX) throw Failure("too many distinct protein lists for one index");
            lists_.push_back(list);
        }
        last_ = it->second;
        return last_;
    }

private:
    static bool same_pointers(const std::vector<SharedText> &a, const std::vector<SharedText> &b) {
        if (a.size() != b.size()) return false;
        for (size_t i = 0; i < a.size(); ++i)
            if (a[i].get() != b[i].get()) return false;
        return true;
    }

    std::vector<std::vector<SharedText>> &lists_;
    std::unordered_map<std::string, uint32_t> ids_;
    uint32_t last_ = 0;
};

// One input record as the store reads it. `mods` is the dense modification list.
struct Record {
    std::string_view bytes;
    std::span<const float> mods;
    std::optional<float> nterm, cterm;
    float monoisotopic = 0.0f;
    bool decoy = false;
    uint8_t missed_cleavages = 0;
    size_t length() const { return bytes.size(); }
};

// Reads a caller's peptide list.
struct PeptideListSource {
    const std::vector<Peptide> &peptides;

    size_t size() const { return peptides.size(); }
    Record record(size_t i, std::vector<float> &) const {
        const Peptide &p = peptides[i];
        return Record{p.bytes(), p.modifications, p.nterm, p.cterm, p.monoisotopic, p.decoy, p.missed_cleavages};
    }
    // The stored protein list of every peptide.
    std::vector<uint32_t> intern_proteins(std::vector<std::vector<SharedText>> &into) const {
        ProteinLists lists(into);
        std::vector<uint32_t> list_of(peptides.size());
        for (size_t i = 0; i < peptides.size(); ++i) list_of[i] = lists.intern(peptides[i].proteins);
        return list_of;
    }
};

// Reads a digest in place: its per-slot modifications spread into `scratch` as the dense
// list, its protein positions turned into the accessions. Equal to reading the records
// Digest::peptide copies out.
struct DigestSource {
    const Digest &digest;

    size_t size() const { return digest.size(); }
    Record record(size_t i, std::vector<float> &scratch) const {
        Record r;
        r.bytes = digest.sequence(i);
        const size_t length = r.bytes.size();
        scratch.assign(length, 0.0f);
        for (size_t k = digest.mod_begin[i]; k < digest.mod_begin[i + 1]; ++k) {
            const SlotMod m = digest.mods[k];
            if (m.slot == 0)
                r.nterm = m.mass;
            else if (m.slot == length + 1)
                r.cterm = m.mass;
            else
                scratch[m.slot - 1] = m.mass;
        }
        r.mods = scratch;
        r.monoisotopic = digest.masses[i];
        r.decoy = digest.decoy[i] != 0;
        r.missed_cleavages = digest.missed_cleavages[i];
        return r;
    }
    // Lists are told apart by their accession positions: a single protein by a table,
    // several by their positions' bytes. (Two records of one accession text stay apart.)
    std::vector<uint32_t> intern_proteins(std::vector<std::vector<SharedText>> &into) const {
        const size_t n = digest.size();
        std::vector<uint32_t> list_of(n);
        std::vector<uint32_t> single(digest.accessions.size(), UINT32_MAX);
        std::unordered_map<std::string, uint32_t> several;
        auto add = [&](size_t i) {
            if (into.size() >= UINT32_MAX) throw Failure("too many distinct protein lists for one index");
            std::vector<SharedText> &list = into.emplace_back();
            for (size_t k = digest.protein_begin[i]; k < digest.protein_begin[i + 1]; ++k)
                list.push_back(digest.accessions[digest.protein_ids[k]]);
            return static_cast<uint32_t>(into.size() - 1);
        };
        for (size_t i = 0; i < n; ++i) {
            const size_t begin = digest.protein_begin[i], count = digest.protein_begin[i + 1] - begin;
            if (count == 1) {
                uint32_t &id = single[digest.protein_ids[begin]];
                if (id == UINT32_MAX) id = add(i);
                list_of[i] = id;
                continue;
            }
            std::string key(reinterpret_cast<const char *>(digest.protein_ids.data() + begin), count * sizeof(uint32_t));
            auto [it, inserted] = several.try_emplace(std::move(key), 0);
            if (inserted) it->second = add(i);
            list_of[i] = it->second;
        }
        return list_of;
    }
};

}  // namespace

PeptideStore::PeptideStore(const std::vector<Peptide> &peptides) { *this = peptides; }

PeptideStore &PeptideStore::operator=(const std::vector<Peptide> &peptides) {
    *this = build(peptides, {}, global_pool());
    return *this;
}

PeptideStore PeptideStore::build(const std::vector<Peptide> &peptides, const std::vector<uint8_t> &decoy_after,
                                 WorkerPool &pool) {
    return build_from(PeptideListSource{peptides}, decoy_after, pool);
}

PeptideStore PeptideStore::build(const Digest &digest, const std::vector<uint8_t> &decoy_after, WorkerPool &pool) {
    return build_from(DigestSource{digest}, decoy_after, pool);
}

template <class Source>
PeptideStore PeptideStore::build_from(const Source &peptides, const std::vector<uint8_t> &decoy_after,
                                      WorkerPool &pool) {
    const size_t n = peptides.size();
    const bool decoys = !decoy_after.empty();
    if (decoys && decoy_after.size() != n) throw Failure("decoy flags do not match the peptide list");
    const size_t chunks = (n + STORE_CHUNK - 1) / STORE_CHUNK;
    auto chunk_range = [&](size_t c) { return std::pair(c * STORE_CHUNK, std::min(n, (c + 1) * STORE_CHUNK)); };
    auto copies = [&](size_t i) -> size_t { return 1 + (decoys && decoy_after[i] != 0); };

    // Per chunk: records, residue bytes and modification entries it writes.
    struct Extent {
        size_t records = 0, residues = 0, mods = 0;
    };
    std::vector<Extent> start(chunks + 1);
    pool.parallel_for(chunks, 1, [&](size_t cb, size_t ce) {
        std::vector<float> scratch;
        for (size_t c = cb; c < ce; ++c) {
            Extent e;
            const auto [begin, end] = chunk_range(c);
            for (size_t i = begin; i < end; ++i) {
                const Record p = peptides.record(i, scratch);
                if (p.mods.size() > UINT32_MAX)
                    throw Failure("peptide with " + std::to_string(p.mods.size()) +
                                  " modification entries; at most 4294967295 can be stored");
                size_t entries = (p.nterm.has_value()) + (p.cterm.has_value()) + (p.mods.size() != p.length());
                for (float m : p.mods) entries += stored_modification(m);
                const size_t k = copies(i);
                e.records += k;
                e.residues += k * p.length();
                e.mods += k * entries;
            }
            start[c + 1] = e;
        }
    });
    for (size_t c = 0; c < chunks; ++c) {
        start[c + 1].records += start[c].records;
        start[c + 1].residues += start[c].residues;
        start[c + 1].mods += start[c].mods;
    }
    const Extent total = start[chunks];

    PeptideStore store;
    const std::vector<uint32_t> list_of_input = peptides.intern_proteins(store.protein_lists_);
    // Filled in place, then handed to the store's columns.
    std::vector<float> masses(total.records);
    std::vector<uint64_t> residue_start(total.records + 1);
    std::vector<char> residues(total.residues);
    std::vector<uint64_t> mod_start(total.records + 1);
    std::vector<ModEntry> mods(total.mods);
    std::vector<uint32_t> protein_list(total.records);
    std::vector<uint8_t> flags_of(total.records);
    std::vector<uint8_t> missed(total.records);
    residue_start[total.records] = total.residues;
    mod_start[total.records] = total.mods;

    pool.parallel_for(chunks, 1, [&](size_t cb, size_t ce) {
        std::vector<float> scratch;
        for (size_t c = cb; c < ce; ++c) {
            size_t r = start[c].records, bytes = start[c].residues, entries = start[c].mods;
            const auto [begin, end] = chunk_range(c);
            for (size_t i = begin; i < end; ++i) {
                const Record p = peptides.record(i, scratch);
                const size_t length = p.length();
                const std::string_view seq = p.bytes;
                for (size_t copy = 0; copy < copies(i); ++copy, ++r) {
                    const bool reversed = copy == 1;
                    masses[r] = p.monoisotopic;
                    residue_start[r] = bytes;
                    char *out = residues.data() + bytes;
                    for (size_t k = 0; k < length; ++k) out[k] = seq[reversed ? decoy_source(k, length) : k];
                    bytes += length;
                    uint8_t flags = (p.decoy != reversed) ? DECOY : 0;
                    mod_start[r] = entries;
                    if (p.nterm) {
                        flags |= NTERM;
                        mods[entries++] = ModEntry{0, *p.nterm};
                    }
                    if (p.cterm) {
                        flags |= CTERM;
                        mods[entries++] = ModEntry{0, *p.cterm};
                    }
                    if (p.mods.size() != length) {
                        flags |= ODD_MOD_COUNT;
                        mods[entries++] = ModEntry{static_cast<uint32_t>(p.mods.size()), 0.0f};
                    }
                    for (size_t k = 0; k < p.mods.size(); ++k) {
                        const float value = p.mods[reversed ? decoy_source(k, length) : k];
                        if (stored_modification(value)) mods[entries++] = ModEntry{static_cast<uint32_t>(k), value};
                    }
                    flags_of[r] = flags;
                    missed[r] = p.missed_cleavages;
                    protein_list[r] = list_of_input[i];
                }
            }
        }
    });
    store.masses_ = std::move(masses);
    store.residue_start_ = std::move(residue_start);
    store.residues_ = std::move(residues);
    store.mod_start_ = std::move(mod_start);
    store.mods_ = std::move(mods);
    store.protein_list_ = std::move(protein_list);
    store.flags_ = std::move(flags_of);
    store.missed_ = std::move(missed);
    return store;
}

PeptideView PeptideStore::view(size_t i) const {
    PeptideView v;
    v.residues = sequence(i);
    const ModEntry *e = mods_.data() + mod_start_[i];
    const uint8_t f = flags_[i];
    if (f & NTERM) v.nterm = (e++)->value;
    if (f & CTERM) v.cterm = (e++)->value;
    v.mod_count = (f & ODD_MOD_COUNT) ? (e++)->position : v.residues.size();
    v.mods_begin = e;
    v.mods_end = mods_.data() + mod_start_[i + 1];
    v.monoisotopic = masses_[i];
    v.decoy = (f & DECOY) != 0;
    v.missed_cleavages = missed_[i];
    v.proteins = &protein_lists_[protein_list_[i]];
    return v;
}

Peptide PeptideView::to_peptide() const {
    const PeptideView &v = *this;
    Peptide p;
    p.sequence = std::make_shared<const std::string>(v.residues);
    p.modifications.assign(v.mod_count, 0.0f);
    for (const ModEntry *e = v.mods_begin; e != v.mods_end; ++e) p.modifications[e->position] = e->value;
    p.nterm = v.nterm;
    p.cterm = v.cterm;
    p.monoisotopic = v.monoisotopic;
    if (proteins) p.proteins = *proteins;
    p.decoy = v.decoy;
    p.missed_cleavages = v.missed_cleavages;
    return p;
}

PeptideStore::operator std::vector<Peptide>() const {
    std::vector<Peptide> out;
    out.reserve(size());
    for (size_t i = 0; i < size(); ++i) out.push_back(view(i).to_peptide());
    return out;
}

size_t PeptideStore::heap_bytes() const {
    size_t total = masses_.heap_bytes() + residue_start_.heap_bytes() + residues_.heap_bytes() +
                   mod_start_.heap_bytes() + mods_.heap_bytes() + protein_list_.heap_bytes() +
                   protein_lists_.capacity() * sizeof(protein_lists_[0]) + flags_.heap_bytes() + missed_.heap_bytes();
    // Each label: its list slot, the shared string with its counts, and long text.
    for (const auto &list : protein_lists_)
        for (const SharedText &text : list)
            total += sizeof(SharedText) + 64 + (text && text->size() > 15 ? text->size() + 1 : 0);
    return total;
}

}  // namespace mesk

// Peptide records, the caller's label, decoy reversal and the decoy step of index building.
#include "peptide.hpp"

#include <algorithm>
#include <atomic>
#include <string>
#include <utility>

#include "digest.hpp"
#include "failure.hpp"
#include "thread_pool.hpp"

namespace mesk {

const SharedText &user_provided_label() {
    static const SharedText label = std::make_shared<const std::string>("USER_PROVIDED_TOVELMESK");
    return label;
}

std::vector<float> Peptide::mod_array() const {
    std::vector<float> out;
    out.reserve(modifications.size() + 2);
    out.push_back(nterm.value_or(0.0f));
    out.insert(out.end(), modifications.begin(), modifications.end());
    out.push_back(cterm.value_or(0.0f));
    return out;
}

namespace {

// Reversal of a peptide longer than two residues touches modification positions 1 .. L-2,
// so the list needs at least L-1 entries.
void require_reversible(const Peptide &p) {
    const size_t length = p.length();
    if (length > 2 && p.modifications.size() < length - 1)
        throw Failure("peptide of " + std::to_string(length) + " residues has only " +
                      std::to_string(p.modifications.size()) + " modification entries; reversal needs at least " +
                      std::to_string(length - 1));
}

// Swaps positions 1+k and L-2-k while 1+k < L-2-k: the interior read backwards.
template <class Seq>
void reverse_interior(Seq &items, size_t length) {
    if (length <= 2) return;
    for (size_t a = 1, b = length - 2; a < b; ++a, --b) std::swap(items[a], items[b]);
}

}  // namespace

Peptide Peptide::reverse() const {
    require_reversible(*this);
    Peptide decoy;
    const size_t length = this->length();
    if (length > 2) {
        std::string bytes(*sequence);
        reverse_interior(bytes, length);
        decoy.sequence = std::make_shared<const std::string>(std::move(bytes));
    } else {
        decoy.sequence = sequence;
    }
    decoy.modifications = modifications;
    reverse_interior(decoy.modifications, length);
    decoy.nterm = nterm;
    decoy.cterm = cterm;
    decoy.monoisotopic = monoisotopic;
    decoy.proteins = proteins;
    decoy.decoy = !this->decoy;
    decoy.missed_cleavages = missed_cleavages;
    return decoy;
}

Peptide make_peptide(std::string sequence, float monoisotopic, std::optional<std::vector<float>> modifications,
                     std::optional<float> nterm, std::optional<float> cterm) {
    Peptide p;
    const size_t length = sequence.size();
    p.sequence = std::make_shared<const std::string>(std::move(sequence));
    p.modifications = modifications ? std::move(*modifications) : std::vector<float>(length, 0.0f);
    p.nterm = nterm;
    p.cterm = cterm;
    p.monoisotopic = monoisotopic;
    p.proteins = {user_provided_label()};
    p.decoy = false;
    p.missed_cleavages = 0;
    return p;
}

uint64_t fnv1a64(std::string_view bytes) {
    uint64_t hash = 0xcbf29ce484222325ull;  // FNV offset basis
    for (unsigned char c : bytes) hash = (hash ^ c) * 0x100000001b3ull;  // FNV prime
    return hash;
}

namespace {

constexpr uint64_t FNV_OFFSET = 0xcbf29ce484222325ull;
constexpr uint64_t FNV_PRIME = 0x100000001b3ull;

inline uint64_t fnv_step(uint64_t hash, unsigned char c) { return (hash ^ c) * FNV_PRIME; }

// FNV-1a of the decoy sequence of `bytes` (interior read backwards), without building it.
uint64_t reversed_fnv1a64(std::string_view bytes) {
    const size_t length = bytes.size();
    if (length <= 2) return fnv1a64(bytes);
    uint64_t hash = fnv_step(FNV_OFFSET, static_cast<unsigned char>(bytes[0]));
    for (size_t k = length - 2; k >= 1; --k) hash = fnv_step(hash, static_cast<unsigned char>(bytes[k]));
    return fnv_step(hash, static_cast<unsigned char>(bytes[length - 1]));
}

// Whether `target` equals the decoy sequence of `source`.
bool equals_reversed(std::string_view target, std::string_view source) {
    const size_t length = source.size();
    if (target.size() != length) return false;
    if (length <= 2) return target == source;
    if (target[0] != source[0] || target[length - 1] != source[length - 1]) return false;
    for (size_t k = 1; k + 1 < length; ++k)
        if (target[k] != source[length - 1 - k]) return false;
    return true;
}

// Peptides ahead of the current one whose records are fetched early: they sit wherever
// the caller allocated them, so each one is a cache miss otherwise.
constexpr size_t PREFETCH_AHEAD = 8;

// What the decoy step reads of a peptide list: each sequence and decoy flag, a check that
// the peptide can be reversed, and early fetches of the records ahead.
struct PeptideList {
    const std::vector<Peptide> &peptides;

    size_t size() const { return peptides.size(); }
    std::string_view bytes(size_t i) const { return peptides[i].bytes(); }
    bool decoy(size_t i) const { return peptides[i].decoy; }
    void check(size_t i) const { require_reversible(peptides[i]); }
    void prefetch_record(size_t i) const { __builtin_prefetch(peptides[i].sequence.get()); }
    void prefetch_bytes(size_t i) const {
        __builtin_prefetch(peptides[i].sequence->data());
        __builtin_prefetch(peptides[i].modifications.data());
    }
};

// The same of a digest, whose sequences lie in one array and whose modification lists
// are always complete.
struct DigestList {
    const Digest &digest;

    size_t size() const { return digest.size(); }
    std::string_view bytes(size_t i) const { return digest.sequence(i); }
    bool decoy(size_t i) const { return digest.decoy[i] != 0; }
    void check(size_t) const {}
    void prefetch_record(size_t) const {}
    void prefetch_bytes(size_t) const {}
};

// The sequences of the target peptides: an open-addressing table keyed by FNV-1a. A slot
// holds the upper 32 bits of the hash and the peptide's position plus one (zero marks an
// empty slot), so most probes settle without touching another peptide. Workers insert
// concurrently with compare-and-swap; the keys are the peptides' own immutable bytes, so
// a slot only ever goes from empty to filled and equal sequences are stored once.
template <class List>
class TargetSet {
public:
    TargetSet(const List &peptides, size_t targets) : peptides_(peptides) {
        size_t capacity = 16;
        while (capacity < 2 * targets) capacity *= 2;
        mask_ = capacity - 1;
        slots_ = std::make_unique<std::atomic<uint64_t>[]>(capacity);
    }

    void insert(size_t i, uint64_t hash) {
        const std::string_view bytes = peptides_.bytes(i);
        const uint64_t tag = hash >> 32;
        const uint64_t mine = (tag << 32) | (i + 1);
        for (size_t s = hash & mask_;; s = (s + 1) & mask_) {
            uint64_t entry = slots_[s].load(std::memory_order_relaxed);
            if (entry == 0 && slots_[s].compare_exchange_strong(entry, mine, std::memory_order_relaxed)) return;
            // `entry` now holds the occupant, whose bytes were written before this phase began.
            if ((entry >> 32) == tag && peptides_.bytes((entry & 0xffffffffu) - 1) == bytes) return;
        }
    }

    void prefetch(uint64_t hash) const { __builtin_prefetch(&slots_[hash & mask_]); }

    // Whether a target's sequence equals the decoy sequence of `source`, whose decoy hash
    // is `hash`. Only called once filling is over (the pool's join orders it after every
    // insert).
    bool contains_reversal(std::string_view source, uint64_t hash) const {
        const uint64_t tag = hash >> 32;
        for (size_t s = hash & mask_;; s = (s + 1) & mask_) {
            const uint64_t entry = slots_[s].load(std::memory_order_relaxed);
            if (entry == 0) return false;
            if ((entry >> 32) == tag && equals_reversed(peptides_.bytes((entry & 0xffffffffu) - 1), source))
                return true;
        }
    }

private:
    const List &peptides_;
    std::unique_ptr<std::atomic<uint64_t>[]> slots_;
    size_t mask_ = 0;
};

constexpr size_t DECOY_CHUNK = 2048;

template <class List>
std::vector<uint8_t> decoy_flags_of(const List &peptides, WorkerPool &pool) {
    const size_t n = peptides.size();
    // Slots hold positions in 32 bits; an index cannot hold more peptides anyway.
    if (n >= (uint64_t{1} << 32))
        throw Failure("cannot make decoys for " + std::to_string(n) +
                      " peptides: at most 4294967295 fit one index; reduce the peptide count");
    const size_t chunks = (n + DECOY_CHUNK - 1) / DECOY_CHUNK;
    auto chunk_range = [&](size_t c) { return std::pair(c * DECOY_CHUNK, std::min(n, (c + 1) * DECOY_CHUNK)); };
    size_t targets_count = 0;
    for (size_t i = 0; i < n; ++i) targets_count += peptides.decoy(i) ? 0 : 1;

    std::vector<uint8_t> keep(n);
    {
        TargetSet<List> targets(peptides, targets_count);
        // One read of every sequence: check it can be reversed, insert the targets, and
        // hash the decoy sequence for the look-up below.
        std::vector<uint64_t> decoy_hash(n);
        pool.parallel_for(chunks, 1, [&](size_t cb, size_t ce) {
            for (size_t c = cb; c < ce; ++c) {
                const auto [begin, end] = chunk_range(c);
                for (size_t i = begin; i < end; ++i) {
                    if (i + 2 * PREFETCH_AHEAD < end) peptides.prefetch_record(i + 2 * PREFETCH_AHEAD);
                    if (i + PREFETCH_AHEAD < end) peptides.prefetch_bytes(i + PREFETCH_AHEAD);
                    peptides.check(i);
                    const bool decoy = peptides.decoy(i);
                    const std::string_view bytes = peptides.bytes(i);
                    // The slot is fetched while the decoy hash is computed.
                    const uint64_t hash = decoy ? 0 : fnv1a64(bytes);
                    if (!decoy) targets.prefetch(hash);
                    decoy_hash[i] = reversed_fnv1a64(bytes);
                    if (!decoy) targets.insert(i, hash);
                }
            }
        });
        // Which decoys survive: those whose sequence is no target's.
        pool.parallel_for(chunks, 1, [&](size_t cb, size_t ce) {
            for (size_t c = cb; c < ce; ++c) {
                const auto [begin, end] = chunk_range(c);
                for (size_t i = begin; i < end; ++i) {
                    if (i + PREFETCH_AHEAD < end) targets.prefetch(decoy_hash[i + PREFETCH_AHEAD]);
                    keep[i] = targets.contains_reversal(peptides.bytes(i), decoy_hash[i]) ? 0 : 1;
                }
            }
        });
    }
    return keep;
}

}  // namespace

std::vector<uint8_t> decoy_flags(const std::vector<Peptide> &peptides, WorkerPool &pool) {
    return decoy_flags_of(PeptideList{peptides}, pool);
}

std::vector<uint8_t> decoy_flags(const Digest &digest, WorkerPool &pool) {
    return decoy_flags_of(DigestList{digest}, pool);
}

std::vector<Peptide> add_decoys(std::vector<Peptide> peptides, WorkerPool &pool) {
    const std::vector<uint8_t> keep = decoy_flags(peptides, pool);
    const PeptideList list{peptides};
    const size_t n = peptides.size();
    const size_t chunks = (n + DECOY_CHUNK - 1) / DECOY_CHUNK;
    auto chunk_range = [&](size_t c) { return std::pair(c * DECOY_CHUNK, std::min(n, (c + 1) * DECOY_CHUNK)); };
    std::vector<size_t> chunk_start(chunks + 1, 0);
    for (size_t c = 0; c < chunks; ++c) {
        const auto [begin, end] = chunk_range(c);
        size_t out = 0;
        for (size_t i = begin; i < end; ++i) out += 1 + keep[i];
        chunk_start[c + 1] = chunk_start[c] + out;
    }

    std::vector<Peptide> result(chunk_start[chunks]);
    pool.parallel_for(chunks, 1, [&](size_t cb, size_t ce) {
        for (size_t c = cb; c < ce; ++c) {
            const auto [begin, end] = chunk_range(c);
            size_t out = chunk_start[c];
            for (size_t i = begin; i < end; ++i) {
                if (i + 2 * PREFETCH_AHEAD < end) list.prefetch_record(i + 2 * PREFETCH_AHEAD);
                if (i + PREFETCH_AHEAD < end) list.prefetch_bytes(i + PREFETCH_AHEAD);
                if (keep[i]) result[out + 1] = peptides[i].reverse();
                result[out] = std::move(peptides[i]);
                out += 1 + keep[i];
            }
        }
    });
    return result;
}

}  // namespace mesk

// Peptide records, the caller's label, decoy reversal and the decoy step of index building.
#include "peptide.hpp"

#include <algorithm>
#include <atomic>
#include <string>
#include <utility>

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
    Peptide decoy = *this;
    decoy.decoy = !this->decoy;
    const size_t length = this->length();
    if (length > 2) {
        std::string bytes(*sequence);
        reverse_interior(bytes, length);
        decoy.sequence = std::make_shared<const std::string>(std::move(bytes));
        reverse_interior(decoy.modifications, length);
    }
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
    uint64_t hash = 0xcbf29ce484222325ull;
    for (unsigned char c : bytes) {
        hash ^= c;
        hash *= 0x100000001b3ull;
    }
    return hash;
}

namespace {

// The sequences of the target peptides: an open-addressing table of peptide positions
// (plus one; zero marks an empty slot), keyed by FNV-1a. Workers insert concurrently with
// compare-and-swap; the keys are the peptides' own immutable bytes, so a slot only ever
// goes from empty to a position and equal sequences are stored once.
class TargetSet {
public:
    TargetSet(const std::vector<Peptide> &peptides, WorkerPool &pool) : peptides_(peptides), hashes_(peptides.size()) {
        size_t targets = 0;
        for (const Peptide &p : peptides) targets += p.decoy ? 0 : 1;
        size_t capacity = 16;
        while (capacity < 2 * targets) capacity *= 2;
        mask_ = capacity - 1;
        slots_ = std::make_unique<std::atomic<uint64_t>[]>(capacity);

        pool.parallel_for(peptides.size(), 0, [&](size_t begin, size_t end) {
            for (size_t i = begin; i < end; ++i)
                if (!peptides[i].decoy) hashes_[i] = fnv1a64(peptides[i].bytes());
        });
        pool.parallel_for(peptides.size(), 0, [&](size_t begin, size_t end) {
            for (size_t i = begin; i < end; ++i)
                if (!peptides[i].decoy) insert(i);
        });
    }

    // Only called once filling is over (the pool's join orders it after every insert).
    bool contains(std::string_view bytes, uint64_t hash) const {
        for (size_t s = hash & mask_;; s = (s + 1) & mask_) {
            const uint64_t entry = slots_[s].load(std::memory_order_relaxed);
            if (entry == 0) return false;
            if (hashes_[entry - 1] == hash && peptides_[entry - 1].bytes() == bytes) return true;
        }
    }

private:
    void insert(size_t i) {
        const uint64_t hash = hashes_[i];
        const std::string_view bytes = peptides_[i].bytes();
        for (size_t s = hash & mask_;; s = (s + 1) & mask_) {
            uint64_t entry = slots_[s].load(std::memory_order_relaxed);
            if (entry == 0 && slots_[s].compare_exchange_strong(entry, i + 1, std::memory_order_relaxed)) return;
            // `entry` now holds the occupant; its hash was written before this phase began.
            if (hashes_[entry - 1] == hash && peptides_[entry - 1].bytes() == bytes) return;
        }
    }

    const std::vector<Peptide> &peptides_;
    std::vector<uint64_t> hashes_;
    std::unique_ptr<std::atomic<uint64_t>[]> slots_;
    size_t mask_ = 0;
};

constexpr size_t DECOY_CHUNK = 2048;

}  // namespace

std::vector<Peptide> add_decoys(std::vector<Peptide> peptides, WorkerPool &pool) {
    const size_t n = peptides.size();
    const size_t chunks = (n + DECOY_CHUNK - 1) / DECOY_CHUNK;
    std::vector<uint8_t> keep(n);
    std::vector<size_t> chunk_start(chunks + 1, 0);
    {
        const TargetSet targets(peptides, pool);
        // Which decoys survive: reverse each sequence into a scratch string and look it up.
        pool.parallel_for(chunks, 1, [&](size_t cb, size_t ce) {
            std::string scratch;
            for (size_t c = cb; c < ce; ++c) {
                size_t out = 0;
                for (size_t i = c * DECOY_CHUNK, end = std::min(n, i + DECOY_CHUNK); i < end; ++i) {
                    const Peptide &p = peptides[i];
                    require_reversible(p);
                    scratch.assign(p.bytes());
                    reverse_interior(scratch, scratch.size());
                    keep[i] = targets.contains(scratch, fnv1a64(scratch)) ? 0 : 1;
                    out += 1 + keep[i];
                }
                chunk_start[c + 1] = out;
            }
        });
    }
    for (size_t c = 0; c < chunks; ++c) chunk_start[c + 1] += chunk_start[c];

    std::vector<Peptide> result(chunk_start[chunks]);
    pool.parallel_for(chunks, 1, [&](size_t cb, size_t ce) {
        for (size_t c = cb; c < ce; ++c) {
            size_t out = chunk_start[c];
            for (size_t i = c * DECOY_CHUNK, end = std::min(n, i + DECOY_CHUNK); i < end; ++i) {
                if (keep[i]) result[out + 1] = peptides[i].reverse();
                result[out] = std::move(peptides[i]);
                out += 1 + keep[i];
            }
        }
    });
    return result;
}

}  // namespace mesk

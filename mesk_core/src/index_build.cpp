// Index construction: decoys, fragment listing into a list sized up front, a parallel
// radix sort by mass (top digit across the list, then each stretch on its own), and the
// per-bucket minima and radix sorts by peptide index.
#include "index_build.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "digest.hpp"
#include "failure.hpp"
#include "ion_series.hpp"
#include "thread_pool.hpp"

namespace mesk {

void check_peptide_count(size_t count) {
    if (count > MAX_INDEXED_PEPTIDES)
        throw Failure("cannot index " + std::to_string(count) + " peptides: peptide positions are 32-bit, so at most " +
                      std::to_string(MAX_INDEXED_PEPTIDES) +
                      " fit one index (decoys included); reduce the peptide count, for example by splitting the "
                      "database");
}

namespace {

constexpr size_t LIST_CHUNK = 1024;          // peptides per unit of listing work
constexpr unsigned MAX_DIGIT_BITS = 11;      // widest digit of the mass sort (3 x 11 >= 32)
constexpr unsigned MAX_BUCKET_DIGIT_BITS = 12;  // widest digit of the sorts by peptide index
constexpr size_t SMALL_BUCKET = 256;         // below this a comparison sort beats radix passes

// Mass key as an unsigned integer whose order is the float total order.
inline uint32_t mass_key(float mass) { return static_cast<uint32_t>(total_order_key(mass)) ^ 0x80000000u; }

struct KeyRange {
    uint32_t lo = UINT32_MAX;
    uint32_t hi = 0;
    void add(uint32_t key) {
        lo = std::min(lo, key);
        hi = std::max(hi, key);
    }
    void add(const KeyRange &other) {
        lo = std::min(lo, other.lo);
        hi = std::max(hi, other.hi);
    }
};

// Asks the kernel to back a large, not yet touched block with huge pages: the index is
// read at random by every fragment lookup, and huge pages spare those lookups most of
// their address-translation misses. Only a hint; nothing depends on it.
void advise_huge_pages(void *data, size_t bytes) {
    constexpr uintptr_t HUGE_PAGE = uintptr_t{2} << 20;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(HUGE_PAGE - 1);
    if (end > begin) madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
}

// Every kept ion of every peptide, written into `list` (allocated here, uninitialised)
// sized from per-peptide counts: chunk c of peptides owns the positions [start[c],
// start[c+1]). `sorted` is allocated, as long, alongside by one of the workers, so its
// zero-filling overlaps the listing. Returns the range of the mass keys.
KeyRange list_all_fragments(const PeptideStore &peptides, const BuildConfig &config, WorkerPool &pool,
                            std::unique_ptr<Theoretical[]> &list, std::vector<Theoretical> &sorted, size_t &total) {
    const size_t n = peptides.size();
    const size_t chunks = (n + LIST_CHUNK - 1) / LIST_CHUNK;
    const size_t kinds = config.ion_kinds.size();
    std::vector<size_t> start(chunks + 1, 0);
    pool.parallel_for(chunks, 1, [&](size_t cb, size_t ce) {
        for (size_t c = cb; c < ce; ++c) {
            size_t count = 0;
            for (size_t i = c * LIST_CHUNK, end = std::min(n, i + LIST_CHUNK); i < end; ++i) {
                count += count_fragments(peptides.sequence(i).size(), kinds, config.min_ion_index);
            }
            start[c + 1] = count;
        }
    });
    for (size_t c = 0; c < chunks; ++c) start[c + 1] += start[c];
    total = start[chunks];

    list = std::make_unique_for_overwrite<Theoretical[]>(total);
    Theoretical *const out = list.get();
    std::vector<KeyRange> ranges(chunks);
    // Task 0 allocates `sorted`; task t > 0 lists chunk t - 1.
    pool.parallel_for(chunks + 1, 1, [&](size_t tb, size_t te) {
        for (size_t t = tb; t < te; ++t) {
            if (t == 0) {
                sorted.reserve(total);
                advise_huge_pages(sorted.data(), total * sizeof(Theoretical));
                sorted.resize(total);
                continue;
            }
            const size_t c = t - 1;
            Theoretical *pos = out + start[c];
            for (size_t i = c * LIST_CHUNK, end = std::min(n, i + LIST_CHUNK); i < end; ++i) {
                const auto idx = static_cast<uint32_t>(i);
                list_fragments(peptides.view(i), config.ion_kinds, config.min_ion_index,
                               [&](const ListedIon &ion) { *pos++ = Theoretical{idx, ion.mass}; });
            }
            if (pos != out + start[c + 1]) throw Failure("fragment listing disagrees with its count");
            KeyRange range;
            for (const Theoretical *e = out + start[c]; e != pos; ++e) range.add(mass_key(e->fragment_mass));
            ranges[c] = range;
        }
    });
    KeyRange range;
    for (const KeyRange &r : ranges) range.add(r);
    return range;
}

// Sorts `len` entries by the low `bits` bits of (mass key - lo), which are all that
// differ among them: two LSD passes through `tmp` (as long as `data`) when the stretch is
// worth it, a comparison sort otherwise. The result is in `data`.
void sort_low_key_bits(Theoretical *data, Theoretical *tmp, size_t len, unsigned bits, uint32_t lo) {
    if (bits == 0 || len < 2) return;
    const uint32_t low_mask = bits >= 32 ? UINT32_MAX : (uint32_t{1} << bits) - 1;
    if (len < SMALL_BUCKET) {
        std::sort(data, data + len, [&](const Theoretical &x, const Theoretical &y) {
            return ((mass_key(x.fragment_mass) - lo) & low_mask) < ((mass_key(y.fragment_mass) - lo) & low_mask);
        });
        return;
    }
    const unsigned width = (bits + 1) / 2;
    const size_t radix = size_t{1} << width;
    const uint32_t mask = static_cast<uint32_t>(radix - 1);
    size_t counts[2][size_t{1} << MAX_DIGIT_BITS] = {};
    // Digit counts do not depend on the order of the elements, so one read serves both passes.
    for (size_t i = 0; i < len; ++i) {
        const uint32_t key = mass_key(data[i].fragment_mass) - lo;
        ++counts[0][key & mask];
        ++counts[1][(key >> width) & mask];
    }
    Theoretical *src = data, *dst = tmp;
    for (unsigned p = 0; p < 2; ++p) {
        const unsigned shift = p * width;
        size_t *next = counts[p];
        if (next[((mass_key(src[0].fragment_mass) - lo) >> shift) & mask] == len) continue;  // nothing moves
        size_t running = 0;
        for (size_t d = 0; d < radix; ++d) running += std::exchange(next[d], running);
        for (size_t i = 0; i < len; ++i) dst[next[((mass_key(src[i].fragment_mass) - lo) >> shift) & mask]++] = src[i];
        std::swap(src, dst);
    }
    if (src != data) std::memcpy(data, src, len * sizeof(Theoretical));
}

// Sorts one bucket by peptide index: radix passes of `width` bits (as many as `passes`)
// through `tmp` (as long as the bucket); small buckets take a comparison sort.
void sort_bucket_by_peptide(Theoretical *data, Theoretical *tmp, size_t len, unsigned passes, unsigned width) {
    auto by_peptide = [](const Theoretical &x, const Theoretical &y) { return x.peptide_idx < y.peptide_idx; };
    if (len < SMALL_BUCKET || len > UINT32_MAX) {
        std::sort(data, data + len, by_peptide);
        return;
    }
    const size_t radix = size_t{1} << width;
    const uint32_t mask = static_cast<uint32_t>(radix - 1);
    uint32_t counts[3][size_t{1} << MAX_BUCKET_DIGIT_BITS];
    for (unsigned p = 0; p < passes; ++p) std::fill(counts[p], counts[p] + radix, 0);
    // Digit counts do not depend on the order of the elements, so one read serves every pass.
    for (size_t i = 0; i < len; ++i)
        for (unsigned p = 0; p < passes; ++p) ++counts[p][(data[i].peptide_idx >> (p * width)) & mask];
    Theoretical *src = data, *dst = tmp;
    for (unsigned p = 0; p < passes; ++p) {
        const unsigned shift = p * width;
        uint32_t *next = counts[p];
        if (next[(src[0].peptide_idx >> shift) & mask] == len) continue;  // one digit only: nothing moves
        uint32_t running = 0;
        for (size_t d = 0; d < radix; ++d) running += std::exchange(next[d], running);
        for (size_t i = 0; i < len; ++i) dst[next[(src[i].peptide_idx >> shift) & mask]++] = src[i];
        std::swap(src, dst);
    }
    if (src != data) std::memcpy(data, src, len * sizeof(Theoretical));
}

// The bucket layout to produce over the sorted list: bucket k holds the entries
// [k * size, min((k + 1) * size, total)).
struct Buckets {
    size_t size = 0;  // 0: no buckets are made (the build then fails)
    size_t total = 0;
    size_t count = 0;
    unsigned passes = 0;  // radix passes over peptide indices, of `width` bits each
    unsigned width = 1;
    float *minima = nullptr;
    uint32_t *fences = nullptr;  // BUCKET_FENCES per bucket

    size_t begin(size_t k) const { return k * size; }
    size_t end(size_t k) const { return total - begin(k) > size ? begin(k) + size : total; }

    // Records bucket k's minimum (its first entry, the list being sorted by mass) and sorts
    // it by peptide index, with the same stretch of `tmp_base` as buffer.
    void finish(Theoretical *sorted, Theoretical *tmp_base, size_t k) const {
        const size_t b = begin(k);
        minima[k] = sorted[b].fragment_mass;
        const size_t len = end(k) - b;
        sort_bucket_by_peptide(sorted + b, tmp_base + b, len, passes, width);
        for (size_t j = 0; j < BUCKET_FENCES; ++j)
            fences[k * BUCKET_FENCES + j] = sorted[b + fence_position(j, len)].peptide_idx;
    }
};

// Sorts the fragment list by mass in the float total order, from `a` into `b`, and
// finishes the buckets. Keys are taken relative to the smallest one, so only the bits
// that vary are sorted on. One parallel pass on the top digit (at most 11 bits) scatters
// `a` into `b`: the list is cut into equal blocks, per-block digit counts become write
// positions (digit-major, then block), and each block scatters its own elements. Every
// top-digit stretch is then small enough to sort on its remaining low bits within the
// cache, using the same stretch of `a` as its other buffer, and the buckets lying wholly
// inside it are finished while it is still there; the few buckets that straddle two
// stretches are finished last. The radix passes are stable; entries with equal masses
// end in no particular order, as nothing needs one.
void sort_into_buckets(Theoretical *a, Theoretical *b, size_t n, KeyRange range, const Buckets &buckets,
                       WorkerPool &pool) {
    if (n == 0) return;
    const uint32_t lo = range.lo;
    const unsigned bits = std::bit_width(range.hi - lo);
    const unsigned top_width = std::min(bits, MAX_DIGIT_BITS);
    const unsigned top_shift = bits - top_width;
    const size_t radix = size_t{1} << top_width;
    const uint32_t mask = static_cast<uint32_t>(radix - 1);
    auto top_digit = [&](const Theoretical &e) { return ((mass_key(e.fragment_mass) - lo) >> top_shift) & mask; };
    const size_t blocks = std::max<size_t>(1, std::min(pool.size() * 2, n / 4096 + 1));
    auto block_begin = [&](size_t t) { return t * (n / blocks) + std::min(t, n % blocks); };

    // counts[t * radix + d]: elements of block t with top digit d.
    std::vector<size_t> counts(blocks * radix, 0);
    pool.parallel_for(blocks, 1, [&](size_t tb, size_t te) {
        for (size_t t = tb; t < te; ++t) {
            size_t *count = &counts[t * radix];
            for (size_t i = block_begin(t), end = block_begin(t + 1); i < end; ++i) ++count[top_digit(a[i])];
        }
    });
    std::vector<size_t> stretch(radix + 1, 0);  // where each top digit's stretch begins
    size_t running = 0;
    for (size_t d = 0; d < radix; ++d) {
        stretch[d] = running;
        for (size_t t = 0; t < blocks; ++t) running += std::exchange(counts[t * radix + d], running);
    }
    stretch[radix] = running;
    pool.parallel_for(blocks, 1, [&](size_t tb, size_t te) {
        for (size_t t = tb; t < te; ++t) {
            size_t *next = &counts[t * radix];
            for (size_t i = block_begin(t), end = block_begin(t + 1); i < end; ++i) b[next[top_digit(a[i])]++] = a[i];
        }
    });

    pool.parallel_for(radix, 1, [&](size_t db, size_t de) {
        for (size_t d = db; d < de; ++d) {
            const size_t begin = stretch[d], end = stretch[d + 1];
            if (begin == end) continue;
            if (top_shift > 0) sort_low_key_bits(b + begin, a + begin, end - begin, top_shift, lo);
            for (size_t k = begin / buckets.size + (begin % buckets.size != 0);
                 k < buckets.count && buckets.end(k) <= end; ++k)
                buckets.finish(b, a, k);
        }
    });
    std::vector<size_t> straddling;
    for (size_t d = 1; d < radix; ++d) {
        const size_t boundary = stretch[d];
        if (boundary == 0 || boundary >= n || boundary % buckets.size == 0) continue;
        const size_t k = boundary / buckets.size;
        if (straddling.empty() || straddling.back() != k) straddling.push_back(k);
    }
    pool.parallel_for(straddling.size(), 1, [&](size_t sb, size_t se) {
        for (size_t i = sb; i < se; ++i) buckets.finish(b, a, straddling[i]);
    });
}

// Whether some peptide lists an ion of mass zero (either sign), on the pool's workers.
bool lists_a_zero_ion(const PeptideStore &peptides, const BuildConfig &config, WorkerPool &pool) {
    const size_t n = peptides.size();
    std::atomic<bool> found{false};
    pool.parallel_for((n + LIST_CHUNK - 1) / LIST_CHUNK, 1, [&](size_t cb, size_t ce) {
        bool zero = false;
        for (size_t i = cb * LIST_CHUNK, end = std::min(n, ce * LIST_CHUNK); i < end && !zero; ++i)
            list_fragments(peptides.view(i), config.ion_kinds, config.min_ion_index,
                           [&](const ListedIon &ion) { zero |= ion.mass == 0.0f; });
        if (zero) found.store(true, std::memory_order_relaxed);
    });
    return found.load();
}

// Whether a digest's settings rule out an ion of mass zero, read from the digest alone:
// every modification is a non-negative mass, every residue weighs at least glycine's
// 57 Da, no peptide is longer than 1,000 residues or heavier than 2^19 Da. Then an
// N-terminal ion is a sum of positive steps on a non-negative start (a ions start 28 Da
// lower, less than one step), and a C-terminal ion lies at least 57 Da above zero (one
// residue and water, less 17 Da for z ions) while its float sum strays less than 32 Da
// (1,000 roundings of at most 2^-5 Da).
bool digest_rules_out_zero_ions(const Digest &digest) {
    constexpr float LIGHTEST_RESIDUE = 57.0f, HEAVIEST_PEPTIDE = 524288.0f;
    constexpr size_t LONGEST_PEPTIDE = 1000;
    for (const SlotMod &m : digest.mods)
        if (!(m.mass >= 0.0f)) return false;
    for (const float mass : digest.masses)
        if (!(mass >= 0.0f && mass <= HEAVIEST_PEPTIDE)) return false;
    for (size_t i = 0; i < digest.size(); ++i)
        if (digest.residue_begin[i + 1] - digest.residue_begin[i] > LONGEST_PEPTIDE) return false;
    bool light[256] = {};
    for (unsigned b = 0; b < 256; ++b) light[b] = !(residue_mass(static_cast<uint8_t>(b)) >= LIGHTEST_RESIDUE);
    for (const char c : digest.residues)
        if (light[static_cast<uint8_t>(c)]) return false;
    return true;
}

// Frees the records of a peptide list on the pool's workers, chunk by chunk.
void release_in_parallel(std::vector<Peptide> peptides, WorkerPool &pool) {
    const size_t n = peptides.size();
    pool.parallel_for((n + LIST_CHUNK - 1) / LIST_CHUNK, 1, [&](size_t cb, size_t ce) {
        for (size_t i = cb * LIST_CHUNK, end = std::min(n, ce * LIST_CHUNK); i < end; ++i) peptides[i] = Peptide{};
    });
}

// The records of a peptide list or a digest in compact columns, each target followed by its
// decoy when the config asks for decoys.
template <class Input>
PeptideStore store_with_decoys(const BuildConfig &config, const Input &input, size_t count, WorkerPool &pool) {
    // A zero bucket size fails the build whatever the peptides; refusing it before any
    // work gives the same failure without listing and sorting everything first.
    if (config.bucket_size == 0) throw Failure("bucket_size must be at least 1");
    // Decoys can double the list; refusing an oversized input first saves that work, and
    // the check after the decoy step covers the list that is actually indexed.
    check_peptide_count(count);
    std::vector<uint8_t> decoy_after;
    if (config.generate_decoys) {
        decoy_after = decoy_flags(input, pool);
        check_peptide_count(count + static_cast<size_t>(std::count(decoy_after.begin(), decoy_after.end(), 1)));
    }
    return PeptideStore::build(input, decoy_after, pool);
}

// The index over a finished peptide store: its fragment list (unless left out), sorted
// into buckets. `zero_ions_ruled_out`: the caller knows that no listed ion weighs zero.
IndexedDatabase index_store(BuildConfig config, PeptideStore store, WorkerPool &pool, bool zero_ions_ruled_out) {
    IndexedDatabase db;
    db.ion_kinds = config.ion_kinds;
    db.decoy_tag = config.decoy_tag;
    db.bucket_size = config.bucket_size;
    db.min_ion_index = config.min_ion_index;
    db.generate_decoys = config.generate_decoys;
    db.built_from_peptides = true;
    // The check walks every listed ion, so it refuses a modification list too short for
    // its ions just as the listing does (a digest's lists are always complete).
    if (!config.fragment_list && (zero_ions_ruled_out || !lists_a_zero_ion(store, config, pool))) {
        db.peptides = std::move(store);
        db.fragment_list = false;
        return db;
    }

    // Fragments are listed into `scratch` and radix-sorted into `fragments`; `scratch` is
    // the only extra copy of the list alive at any time. The buckets are finished during
    // the sort, while their entries are in cache.
    size_t total = 0;
    std::unique_ptr<Theoretical[]> scratch;
    std::vector<Theoretical> fragments;
    const KeyRange range = list_all_fragments(store, config, pool, scratch, fragments, total);

    Buckets buckets;
    buckets.size = config.bucket_size;
    buckets.total = total;
    buckets.count = total / buckets.size + (total % buckets.size != 0 ? 1 : 0);
    std::vector<float> bucket_minima(buckets.count);
    buckets.minima = bucket_minima.data();
    std::vector<uint32_t> bucket_fences(buckets.count * BUCKET_FENCES);
    buckets.fences = bucket_fences.data();
    const unsigned index_bits = store.size() > 1 ? std::bit_width(store.size() - 1) : 0;
    buckets.passes = (index_bits + MAX_BUCKET_DIGIT_BITS - 1) / MAX_BUCKET_DIGIT_BITS;
    buckets.width = buckets.passes == 0 ? 1 : (index_bits + buckets.passes - 1) / buckets.passes;
    sort_into_buckets(scratch.get(), fragments.data(), total, range, buckets, pool);
    scratch.reset();

    db.peptides = std::move(store);
    db.fragments = std::move(fragments);
    db.bucket_minima = std::move(bucket_minima);
    db.bucket_fences = std::move(bucket_fences);
    return db;
}

}  // namespace

IndexedDatabase build_indexed_database(BuildConfig config, std::vector<Peptide> peptides) {
    WorkerPool &pool = global_pool();
    PeptideStore store = store_with_decoys(config, peptides, peptides.size(), pool);
    release_in_parallel(std::move(peptides), pool);  // before the fragments are listed
    return index_store(std::move(config), std::move(store), pool, false);
}

IndexedDatabase build_indexed_database_from(BuildConfig config, const Digest &digest) {
    WorkerPool &pool = global_pool();
    PeptideStore store = store_with_decoys(config, digest, digest.size(), pool);
    const bool zero_ions_ruled_out = !config.fragment_list && digest_rules_out_zero_ions(digest);
    return index_store(std::move(config), std::move(store), pool, zero_ions_ruled_out);
}

}  // namespace mesk

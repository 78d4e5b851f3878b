// Index construction: decoys, fragment listing into a list sized up front, a parallel
// LSD radix sort by mass, then per-bucket minima and radix sorts by peptide index.
#include "index_logic.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

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

constexpr unsigned RADIX_BITS = 11;
constexpr size_t RADIX = size_t{1} << RADIX_BITS;
constexpr uint32_t RADIX_MASK = RADIX - 1;
constexpr size_t LIST_CHUNK = 1024;        // peptides per unit of listing work
constexpr size_t SMALL_BUCKET = 64;        // below this a comparison sort beats radix passes
constexpr size_t BUCKET_WORK = 1 << 16;    // fragments per unit of bucket work, roughly

// Mass key as an unsigned integer whose order is the float total order.
inline uint32_t mass_key(float mass) { return static_cast<uint32_t>(total_order_key(mass)) ^ 0x80000000u; }

// Every kept ion of every peptide, written into one list sized from per-peptide counts.
// Chunk c of peptides owns the positions [start[c], start[c+1]).
std::unique_ptr<Theoretical[]> list_all_fragments(const std::vector<Peptide> &peptides, const BuildConfig &config,
                                                  WorkerPool &pool, size_t &total) {
    const size_t n = peptides.size();
    const size_t chunks = (n + LIST_CHUNK - 1) / LIST_CHUNK;
    const size_t kinds = config.ion_kinds.size();
    std::vector<size_t> start(chunks + 1, 0);
    pool.parallel_for(chunks, 1, [&](size_t cb, size_t ce) {
        for (size_t c = cb; c < ce; ++c) {
            size_t count = 0;
            for (size_t i = c * LIST_CHUNK, end = std::min(n, i + LIST_CHUNK); i < end; ++i)
                count += count_fragments(peptides[i], kinds, config.min_ion_index);
            start[c + 1] = count;
        }
    });
    for (size_t c = 0; c < chunks; ++c) start[c + 1] += start[c];
    total = start[chunks];

    auto out = std::make_unique_for_overwrite<Theoretical[]>(total);
    Theoretical *const list = out.get();
    pool.parallel_for(chunks, 1, [&](size_t cb, size_t ce) {
        for (size_t c = cb; c < ce; ++c) {
            size_t pos = start[c];
            const size_t limit = start[c + 1];
            for (size_t i = c * LIST_CHUNK, end = std::min(n, i + LIST_CHUNK); i < end; ++i) {
                const uint32_t idx = static_cast<uint32_t>(i);
                list_fragments(peptides[i], config.ion_kinds, config.min_ion_index, [&](const ListedIon &ion) {
                    if (pos == limit) throw Failure("fragment listing emitted more ions than counted");
                    list[pos++] = Theoretical{idx, ion.mass};
                });
            }
            if (pos != limit) throw Failure("fragment listing emitted fewer ions than counted");
        }
    });
    return out;
}

// One stable LSD pass over the digit at `shift` of the mass key, src -> dst. The list is
// cut into blocks; each block counts its digits, the counts are turned into exclusive
// write positions (digit-major, then block), and every block scatters its own elements.
void mass_radix_pass(const Theoretical *src, Theoretical *dst, size_t n, unsigned shift, WorkerPool &pool) {
    const size_t blocks = std::max<size_t>(1, std::min(pool.size() * 2, n / 4096 + 1));
    std::vector<size_t> counts(blocks * RADIX, 0);
    auto block_begin = [&](size_t t) { return t * (n / blocks) + std::min(t, n % blocks); };
    pool.parallel_for(blocks, 1, [&](size_t tb, size_t te) {
        for (size_t t = tb; t < te; ++t) {
            size_t *count = &counts[t * RADIX];
            for (size_t i = block_begin(t), end = block_begin(t + 1); i < end; ++i)
                ++count[(mass_key(src[i].fragment_mass) >> shift) & RADIX_MASK];
        }
    });
    size_t running = 0;
    for (size_t d = 0; d < RADIX; ++d)
        for (size_t t = 0; t < blocks; ++t) running += std::exchange(counts[t * RADIX + d], running);
    pool.parallel_for(blocks, 1, [&](size_t tb, size_t te) {
        for (size_t t = tb; t < te; ++t) {
            size_t *next = &counts[t * RADIX];
            for (size_t i = block_begin(t), end = block_begin(t + 1); i < end; ++i)
                dst[next[(mass_key(src[i].fragment_mass) >> shift) & RADIX_MASK]++] = src[i];
        }
    });
}

// Sorts one bucket by peptide index with `passes` radix passes of 11 bits, using `tmp`
// (as long as the bucket) as the other buffer; small buckets take a comparison sort.
void sort_bucket_by_peptide(Theoretical *data, Theoretical *tmp, size_t len, unsigned passes) {
    auto by_peptide = [](const Theoretical &a, const Theoretical &b) { return a.peptide_idx < b.peptide_idx; };
    if (len < SMALL_BUCKET) {
        std::sort(data, data + len, by_peptide);
        return;
    }
    size_t counts[3][RADIX];
    for (unsigned p = 0; p < passes; ++p) std::fill(counts[p], counts[p] + RADIX, 0);
    // Digit counts do not depend on the order of the elements, so one read serves every pass.
    for (size_t i = 0; i < len; ++i)
        for (unsigned p = 0; p < passes; ++p) ++counts[p][(data[i].peptide_idx >> (p * RADIX_BITS)) & RADIX_MASK];
    Theoretical *src = data, *dst = tmp;
    for (unsigned p = 0; p < passes; ++p) {
        const unsigned shift = p * RADIX_BITS;
        size_t *next = counts[p];
        if (next[(src[0].peptide_idx >> shift) & RADIX_MASK] == len) continue;  // one digit only: nothing moves
        size_t running = 0;
        for (size_t d = 0; d < RADIX; ++d) running += std::exchange(next[d], running);
        for (size_t i = 0; i < len; ++i) dst[next[(src[i].peptide_idx >> shift) & RADIX_MASK]++] = src[i];
        std::swap(src, dst);
    }
    if (src != data) std::memcpy(data, src, len * sizeof(Theoretical));
}

}  // namespace

IndexedDatabase build_indexed_database(BuildConfig config, std::vector<Peptide> peptides) {
    WorkerPool &pool = global_pool();

    // Decoys can double the list; refusing an oversized input first saves that work, and
    // the check after the decoy step covers the list that is actually indexed.
    check_peptide_count(peptides.size());
    if (config.generate_decoys) peptides = add_decoys(std::move(peptides), pool);
    check_peptide_count(peptides.size());

    // Fragments land in `scratch`; three radix passes (scratch -> fragments -> scratch ->
    // fragments) leave them sorted by mass in `fragments`. The scratch buffer then serves
    // the per-bucket sorts and is the only extra copy of the list alive at any time.
    size_t total = 0;
    std::unique_ptr<Theoretical[]> scratch = list_all_fragments(peptides, config, pool, total);
    std::vector<Theoretical> fragments(total);
    mass_radix_pass(scratch.get(), fragments.data(), total, 0, pool);
    mass_radix_pass(fragments.data(), scratch.get(), total, RADIX_BITS, pool);
    mass_radix_pass(scratch.get(), fragments.data(), total, 2 * RADIX_BITS, pool);

    const size_t bucket_size = config.bucket_size;
    if (bucket_size == 0) throw Failure("bucket_size must be at least 1");

    const size_t buckets = total / bucket_size + (total % bucket_size != 0 ? 1 : 0);
    std::vector<float> bucket_minima(buckets);
    const unsigned index_bits = peptides.size() > 1 ? std::bit_width(peptides.size() - 1) : 0;
    const unsigned passes = (index_bits + RADIX_BITS - 1) / RADIX_BITS;
    pool.parallel_for(buckets, std::max<size_t>(1, BUCKET_WORK / bucket_size), [&](size_t bb, size_t be) {
        for (size_t b = bb; b < be; ++b) {
            const size_t begin = b * bucket_size;
            const size_t len = std::min(bucket_size, total - begin);
            bucket_minima[b] = fragments[begin].fragment_mass;
            sort_bucket_by_peptide(fragments.data() + begin, scratch.get() + begin, len, passes);
        }
    });
    scratch.reset();

    IndexedDatabase db;
    db.peptides = std::move(peptides);
    db.fragments = std::move(fragments);
    db.ion_kinds = std::move(config.ion_kinds);
    db.bucket_minima = std::move(bucket_minima);
    db.decoy_tag = std::move(config.decoy_tag);
    db.bucket_size = bucket_size;
    db.generate_decoys = config.generate_decoys;
    return db;
}

}  // namespace mesk

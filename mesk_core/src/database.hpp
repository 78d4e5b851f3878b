// The immutable bucketed fragment index and its query side.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "index_array.hpp"
#include "failure.hpp"
#include "ion_series.hpp"
#include "peptide.hpp"
#include "peptide_store.hpp"
#include "tolerance.hpp"

namespace mesk {

// One indexed fragment: which peptide, and its neutral mass.
struct Theoretical {
    uint32_t peptide_idx;
    float fragment_mass;
};
static_assert(sizeof(Theoretical) == 8);

// Key of the IEEE-754 total order: compare as signed integers. -0.0 < +0.0, and a NaN
// with the sign bit clear sorts above +infinity.
inline int32_t total_order_key(float value) {
    const int32_t s = std::bit_cast<int32_t>(value);
    return s ^ static_cast<int32_t>(static_cast<uint32_t>(s >> 31) >> 1);
}

// How bracket_range finds the upper end: a binary search over everything past the lower
// end, or doubling steps outward from the lower end followed by a binary search of the
// last step. On an ascending list both find the same position; the second touches far
// less memory when the range is short, as inside an index bucket. Lists whose order the
// caller supplies (peptide masses, peaks) use the first, which is what the results on an
// unsorted list are defined by.
enum class UpperSearch { Remainder, FromLower };

// Over a list ascending by key (key_at(i) for i in [0, length)), the range [left, right)
// holding every element with low <= key <= high, preceded by the last element below low
// when there is one. Walks outward over runs of equal keys, so the result does not
// depend on which equal element a binary search lands on.
template <UpperSearch How = UpperSearch::Remainder, class KeyAt, class K>
std::pair<size_t, size_t> bracket_range(size_t length, KeyAt key_at, K low, K high) {
    // First position in [lo, hi) whose key is not below `target`.
    auto search = [&](size_t lo, size_t hi, K target) {
        while (lo < hi) {
            const size_t mid = lo + (hi - lo) / 2;
            if (key_at(mid) < target)
                lo = mid + 1;
            else
                hi = mid;
        }
        return lo;
    };
    const size_t i = search(0, length, low);
    size_t left = i == 0 ? 0 : i - 1;
    while (left > 0 && !(key_at(left) < low)) --left;
    size_t lo = left, hi = length;
    if constexpr (How == UpperSearch::FromLower) {
        hi = left;
        for (size_t step = 1; hi < length && key_at(hi) < high; step *= 2) {
            lo = hi + 1;
            hi = left + step;
        }
        hi = std::min(hi, length);
    }
    size_t j = search(lo, hi, high);
    while (j < length && !(high < key_at(j))) ++j;
    return {left, std::min(j, length)};
}

class IndexedQuery;

// Peptide indices sampled from each bucket, sorted by peptide index, at evenly spaced
// positions: they tell where in a bucket a peptide's entries begin to within a few
// cache lines before the bucket itself is read.
inline constexpr size_t BUCKET_FENCES = 16;
inline size_t fence_position(size_t j, size_t bucket_length) { return j * bucket_length / BUCKET_FENCES; }

struct IndexedDatabase {
    PeptideStore peptides;                 // caller's order, decoys right after their targets
    IndexArray<Theoretical> fragments;         // mass-sorted buckets, each sorted by peptide index
    std::vector<Kind> ion_kinds;
    IndexArray<float> bucket_minima;           // smallest fragment mass of each bucket
    IndexArray<uint32_t> bucket_fences;        // BUCKET_FENCES per bucket; may be empty
    std::string decoy_tag;
    size_t bucket_size = 1;
    size_t min_ion_index = 0;
    bool generate_decoys = false;
    // Whether the index build made this database from its peptides: `fragments` then
    // holds every ion of every peptide from `min_ion_index` on, as the build lists them, or
    // none at all without the fragment list; a database assembled by hand may hold anything.
    bool built_from_peptides = false;
    // Whether the index lists every fragment ion. Without its fragment list, `fragments`,
    // `bucket_minima` and `bucket_fences` are empty, and the preliminary search counts
    // every pass from the bracket's candidates, ion by ion, with the results the listed
    // index would give. The build leaves the list out only where that count is exact: no
    // listed ion weighs zero.
    bool fragment_list = true;

    // Peptide access for reporting: the count, and a copy of the record at a position.
    // `peptides` also offers cheap reads of single fields (sequence, monoisotopic, decoy,
    // view).
    size_t peptide_count() const { return peptides.size(); }
    Peptide peptide_at(size_t index) const { return peptides[index]; }

    // Brackets the peptides whose mass can fall in the precursor window around
    // `precursor_mass`; page searches of the query then look up fragments.
    IndexedQuery query(float precursor_mass, Tolerance precursor_tol, Tolerance fragment_tol) const;
};

// A lazy, allocation-free walk over the indexed fragments within the fragment window of
// one mass whose peptides lie within the query's precursor window (both closed).
class PageSearch {
public:
    PageSearch(const IndexedQuery &query, float fragment_mass);
    // The next matching fragment, or nullptr when the walk is done.
    const Theoretical *next();

private:
    bool open_bucket();

    const IndexedDatabase *db_;
    uint32_t candidate_lo_, candidate_hi_;
    float plo_, phi_;   // precursor window
    float flo_, fhi_;   // fragment window
    size_t bucket_, bucket_end_;
    const Theoretical *cursor_ = nullptr;
    const Theoretical *end_ = nullptr;
};

class IndexedQuery {
public:
    uint64_t candidate_lo = 0;
    uint64_t candidate_hi = 0;
    const IndexedDatabase *db = nullptr;
    float precursor_mass = 0.0f;
    Tolerance precursor_tol;
    Tolerance fragment_tol;

    PageSearch page_search(float fragment_mass) const { return PageSearch(*this, fragment_mass); }
};

}  // namespace mesk

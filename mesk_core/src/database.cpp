// Index query: the precursor bracket over peptides and the lazy per-fragment page search.
#include "database.hpp"

#include <tuple>

namespace mesk {

IndexedQuery IndexedDatabase::query(float precursor_mass, Tolerance precursor_tol, Tolerance fragment_tol) const {
    const auto [plo, phi] = precursor_tol.bounds(precursor_mass);
    const float *masses = peptides.masses();
    const auto [lo, hi] = bracket_range(
        peptides.size(), [&](size_t i) { return total_order_key(masses[i]); }, total_order_key(plo),
        total_order_key(phi));
    IndexedQuery q;
    q.candidate_lo = lo;
    q.candidate_hi = hi;
    q.db = this;
    q.precursor_mass = precursor_mass;
    q.precursor_tol = precursor_tol;
    q.fragment_tol = fragment_tol;
    return q;
}

PageSearch::PageSearch(const IndexedQuery &query, float fragment_mass)
    : db_(query.db),
      // Peptide indices are 32-bit; the bracket positions are compared by their low 32 bits.
      candidate_lo_(static_cast<uint32_t>(query.candidate_lo)),
      candidate_hi_(static_cast<uint32_t>(query.candidate_hi)) {
    std::tie(flo_, fhi_) = query.fragment_tol.bounds(fragment_mass);
    std::tie(plo_, phi_) = query.precursor_tol.bounds(query.precursor_mass);
    const IndexArray<float> &minima = db_->bucket_minima;
    std::tie(bucket_, bucket_end_) = bracket_range(
        minima.size(), [&](size_t i) { return total_order_key(minima[i]); }, total_order_key(flo_),
        total_order_key(fhi_));
}

bool PageSearch::open_bucket() {
    if (bucket_ >= bucket_end_) return false;
    const IndexArray<Theoretical> &fragments = db_->fragments;
    const size_t size = db_->bucket_size;
    const size_t count = fragments.size();
    const size_t begin = bucket_ * size < count ? bucket_ * size : count;
    const size_t end = count - begin > size ? begin + size : count;
    const Theoretical *slice = fragments.data() + begin;
    // A bucket is sorted by peptide index by construction, and the precursor window spans
    // few of its entries: search the upper end outward from the lower one.
    const auto [l, r] = bracket_range<UpperSearch::FromLower>(
        end - begin, [&](size_t i) { return slice[i].peptide_idx; }, candidate_lo_, candidate_hi_);
    cursor_ = slice + l;
    end_ = slice + r;
    ++bucket_;
    return true;
}

const Theoretical *PageSearch::next() {
    for (;;) {
        while (cursor_ != end_) {
            const Theoretical *entry = cursor_++;
            const uint32_t p = entry->peptide_idx;
            if (p < candidate_lo_ || p > candidate_hi_) continue;
            // Only the two ends of the bracket can lie outside the precursor window: the
            // last peptide below it and the first one above it.
            if (p == candidate_lo_ && !(p < db_->peptides.size() && db_->peptides.monoisotopic(p) >= plo_)) continue;
            if (p == candidate_hi_ && !(p < db_->peptides.size() && db_->peptides.monoisotopic(p) <= phi_)) continue;
            if (!(flo_ <= entry->fragment_mass && entry->fragment_mass <= fhi_)) continue;
            return entry;
        }
        if (!open_bucket()) return nullptr;
    }
}

}  // namespace mesk

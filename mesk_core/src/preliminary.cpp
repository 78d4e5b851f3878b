// The preliminary search with shared isotope passes. For one precursor charge the
// fragment charges do not depend on the isotope error, so a peptide's hit count is the
// same in every pass whose bracket holds it: passes whose brackets overlap or touch are
// counted once over the union of their brackets, from the index or from the candidates,
// and each pass's slot list is then derived from those counts and heap-selected exactly
// as the reference search selects it (reference_initial_hits in scoring.cpp).
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <string>

#include "lanes.hpp"
#ifdef MESK_VECTOR_LANES
#include <immintrin.h>
#endif

#include "failure.hpp"
#include "scoring.hpp"

namespace mesk {

namespace {

constexpr PreliminaryHit UNMATCHED_SLOT{};

// Costs of the two ways of counting, in units of one listed ion counted against the
// window table (measured on the benchmark database): a window read from the index costs
// the search of its bucket, which reads far-apart memory, plus one unit per entry of the
// bracket's peptides scanned in the bucket.
constexpr double INDEX_WINDOW_COST = 100.0;
constexpr double INDEX_ENTRY_COST = 1.0;
constexpr double BUCKETS_PER_WINDOW = 1.5;

// Stretches of the window table: about four per window width, so that an ion outside
// every window seldom lands in a live stretch, within these bounds per window (a table of
// wide windows gains nothing from more).
constexpr uint64_t MIN_STRETCHES_PER_WINDOW = 256;
constexpr uint64_t MAX_STRETCHES_PER_WINDOW = 1024;

struct Window {
    float lo, hi;
};

// Set bits of a word, without the library call std::popcount becomes where the build
// targets processors that may lack the instruction.
inline uint32_t bit_count(uint64_t x) {
    x = x - ((x >> 1) & 0x5555555555555555u);
    x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
    x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0fu;
    return static_cast<uint32_t>((x * 0x0101010101010101u) >> 56);
}

// One (precursor charge, isotope error) pass: its bracket [lo, hi] (both ends included,
// as the page search reads it) and the precursor window its ends are checked against.
struct Pass {
    uint64_t lo = 0, hi = 0;
    float plo = 0.0f, phi = 0.0f;
    int8_t isotope_error = 0;
};

// How many of a set of closed windows hold a mass f: the windows whose lower bound is
// <= f, less those whose upper bound is < f (their lower bound is below f too). Bounds
// are compared by their total-order keys, which agree with IEEE comparisons as long as
// no bound is NaN and no bound and ion are both zeros; the caller sees to that. The key
// range of the bounds is cut into stretches of equal width. A bitmap marks the live
// stretches, those that hold a bound or lie inside a window; a mass anywhere else lies in
// no window. For each live stretch, in stretch order, the table holds how many lower and
// upper bounds lie before it and within it, and a mass there finishes with a search
// among those bounds.
class WindowCounter {
public:
    // lows and highs ascending, as many of each.
    void assign(const std::vector<float> &lows, const std::vector<float> &highs) {
        const size_t n = lows.size();
        lows_.resize(n);
        highs_.resize(n);
        for (size_t i = 0; i < n; ++i) {
            lows_[i] = total_order_key(lows[i]);
            highs_[i] = total_order_key(highs[i]);
        }
        // Only the words the last table marked hold bits: clear them, not the whole map.
        for (const size_t w : marked_) live_[w] = 0;
        marked_.clear();
        stretches_ = 0;
        if (n == 0) return;
        key_min_ = std::min(lows_.front(), highs_.front());
        span_ = static_cast<uint64_t>(int64_t{std::max(lows_.back(), highs_.back())} - key_min_);
        // The widths of the windows add up to the upper bounds' keys less the lower ones',
        // however they pair up.
        int64_t widths = 0;
        for (size_t i = 0; i < n; ++i) widths += int64_t{highs_[i]} - lows_[i];
        const double stretch_width = std::max(1.0, static_cast<double>(widths) / (4.0 * static_cast<double>(n)));
        const double wanted = std::clamp(static_cast<double>(span_) / stretch_width, double(MIN_STRETCHES_PER_WINDOW * n),
                                         double(MAX_STRETCHES_PER_WINDOW * n));
        shift_ = 0;
        while (static_cast<double>(span_ >> shift_) >= wanted) ++shift_;
        stretches_ = (span_ >> shift_) + 2;  // the last one past every bound
        const size_t words = static_cast<size_t>(stretches_ + 63) / 64;
        live_.resize(words);
        live_before_.resize(words);

        // Stretches a window covers. Paired in sorted order, the i-th lower and upper
        // bounds cover the same stretches as the windows themselves do: the number of
        // windows holding a key depends on the bounds alone, not on how they pair up.
        for (size_t i = 0; i < n; ++i) {
            const uint64_t a = stretch(lows_[i]), b = stretch(highs_[i]);
            mark(std::min(a, b), std::max(a, b));
        }
        if (!std::is_sorted(marked_.begin(), marked_.end())) {  // only with an upper bound below its lower
            std::sort(marked_.begin(), marked_.end());
            marked_.erase(std::unique(marked_.begin(), marked_.end()), marked_.end());
        }

        uint32_t before = 0;
        for (const size_t w : marked_) {
            live_before_[w] = before;
            before += bit_count(live_[w]);
        }
        // Bounds before and within each live stretch.
        bounds_.resize(before);
        size_t lo_at = 0, hi_at = 0, r = 0;
        for (const size_t w : marked_) {
            for (uint64_t bits = live_[w]; bits != 0; bits &= bits - 1) {
                const uint64_t b = 64 * w + static_cast<uint64_t>(std::countr_zero(bits));
                Bounds &at = bounds_[r++];
                while (lo_at < n && stretch(lows_[lo_at]) < b) ++lo_at;
                while (hi_at < n && stretch(highs_[hi_at]) < b) ++hi_at;
                at.lows_begin = static_cast<uint32_t>(lo_at);
                at.highs_begin = static_cast<uint32_t>(hi_at);
                while (lo_at < n && stretch(lows_[lo_at]) == b) ++lo_at;
                while (hi_at < n && stretch(highs_[hi_at]) == b) ++hi_at;
                at.lows_end = static_cast<uint32_t>(lo_at);
                at.highs_end = static_cast<uint32_t>(hi_at);
            }
        }
    }

    // First position in keys[begin, end) whose key is above `key` (`inclusive`: or
    // equal); a crowded stretch is searched by halving.
    static size_t position(const int32_t *keys, size_t begin, size_t end, int32_t key, bool inclusive) {
        if (end - begin > 8)
            return static_cast<size_t>((inclusive ? std::upper_bound(keys + begin, keys + end, key)
                                                  : std::lower_bound(keys + begin, keys + end, key)) - keys);
        if (inclusive)
            while (begin < end && keys[begin] <= key) ++begin;
        else
            while (begin < end && keys[begin] < key) ++begin;
        return begin;
    }

    struct Bounds {
        uint32_t lows_begin, lows_end, highs_begin, highs_end;
    };

    // Reads the table through plain pointers, so that counting a peptide's ions keeps
    // them in registers.
    struct Reader {
        const int32_t *lows, *highs;
        const uint64_t *live;         // one bit per stretch
        const uint32_t *live_before;  // per word of `live` holding a bit: live stretches before it
        const Bounds *bounds;         // per live stretch
        uint64_t stretches;           // 0 when there is no window
        int64_t key_min;
        uint64_t span;                // keys key_min .. key_min + span hold every bound
        unsigned shift;

        uint64_t count(float f) const {
            if (std::isnan(f)) return 0;
            const int32_t key = total_order_key(f);
            if (key < key_min) return 0;
            const uint64_t b = static_cast<uint64_t>(int64_t{key} - key_min) >> shift;
            if (b + 1 >= stretches) return 0;  // above every bound: every window ends below f
            const uint64_t word = live[b / 64], bit = uint64_t{1} << (b % 64);
            if (!(word & bit)) return 0;
            return count_live(key, b);
        }

        // The count of a mass whose key lies in live stretch b.
        uint64_t count_live(int32_t key, uint64_t b) const {
            const Bounds &at = bounds[live_before[b / 64] + bit_count(live[b / 64] & ((uint64_t{1} << (b % 64)) - 1))];
            return static_cast<uint64_t>(position(lows, at.lows_begin, at.lows_end, key, true) -
                                         position(highs, at.highs_begin, at.highs_end, key, false));
        }
    };

    Reader reader() const {
        return Reader{lows_.data(), highs_.data(), live_.data(), live_before_.data(), bounds_.data(),
                      stretches_,   key_min_,     span_,        shift_};
    }

private:
    uint64_t stretch(int32_t key) const { return static_cast<uint64_t>(int64_t{key} - key_min_) >> shift_; }

    void mark(uint64_t from, uint64_t to) {
        for (uint64_t w = from / 64; w <= to / 64; ++w) {
            uint64_t bits = ~uint64_t{0};
            if (w == from / 64) bits &= ~uint64_t{0} << (from % 64);
            if (w == to / 64) bits &= ~uint64_t{0} >> (63 - to % 64);
            live_[w] |= bits;
            if (marked_.empty() || marked_.back() != w) marked_.push_back(static_cast<size_t>(w));
        }
    }

    std::vector<int32_t> lows_, highs_;
    std::vector<uint64_t> live_;          // zero but in the words of marked_
    std::vector<size_t> marked_;          // words of live_ holding a bit, ascending
    std::vector<uint32_t> live_before_;   // set for the words of marked_ only
    std::vector<Bounds> bounds_;
    uint64_t stretches_ = 0;
    int64_t key_min_ = 0;
    uint64_t span_ = 0;
    unsigned shift_ = 0;
};

// A candidate counted in lanes: its residues and modifications, the start masses of its
// N- and C-terminal series, and how many ions each series walks.
struct LaneCandidate {
    const char *residues;
    const ModEntry *mods, *mods_end;
    float n_start, c_start;
    uint32_t offset;  // position in the union bracket
    uint32_t ions;    // length - 1
};

#ifdef MESK_VECTOR_LANES
// Candidates in order of their ion count, so that the eight of a group walk about as
// many ions each.
void order_by_ions(const std::vector<LaneCandidate> &candidates, std::vector<uint32_t> &order) {
    constexpr size_t CLASSES = 64;
    uint32_t starts[CLASSES + 1] = {};
    for (const LaneCandidate &c : candidates) ++starts[std::min<size_t>(c.ions, CLASSES - 1) + 1];
    for (size_t k = 1; k <= CLASSES; ++k) starts[k] += starts[k - 1];
    order.resize(candidates.size());
    for (uint32_t i = 0; i < candidates.size(); ++i)
        order[starts[std::min<size_t>(candidates[i].ions, CLASSES - 1)]++] = i;
}

// One group's residue steps, ion position by position: steps[8 i + lane] is the step to
// ion i of that lane's candidate. Lanes past their ion count keep whatever the buffer
// held; nothing reads them.
void fill_steps(const LaneCandidate *const group[8], size_t lanes, float *steps) {
    for (size_t lane = 0; lane < lanes; ++lane) {
        const LaneCandidate &c = *group[lane];
        ResidueSteps residue_steps(c.residues, c.mods, c.mods_end);
        for (size_t i = 0; i < c.ions; ++i) steps[8 * i + lane] = residue_steps.next();
    }
}

// Eight floats in one register, as the ion ladder takes them: __m256 without its aliasing
// attribute, which a template argument drops.
typedef float EightFloats __attribute__((vector_size(32)));

// The window table as the lanes read it.
struct LaneTable {
    __m256i key_min, span, low_five;
    __m128i shift;
    const int *live;
};

// Adds to lane_counts[lane] the windows holding the lane's mass, for the lanes `on`
// selects: the stretch bits of all lanes are read at once, and the rare mass in a live
// stretch is finished on its own.
__attribute__((target("avx2"), always_inline)) inline void count_lanes(__m256 mass, __m256i on, const LaneTable &t,
                                                                       const WindowCounter::Reader &windows,
                                                                       uint64_t lane_counts[8]) {
    const __m256i bits = _mm256_castps_si256(mass);
    const __m256i key = _mm256_xor_si256(bits, _mm256_srli_epi32(_mm256_srai_epi32(bits, 31), 1));
    const __m256i d = _mm256_sub_epi32(key, t.key_min);  // modulo 2^32: a key below key_min lands past span
    const __m256i inside = _mm256_and_si256(on, _mm256_cmpeq_epi32(_mm256_max_epu32(d, t.span), t.span));
    const __m256i stretch = _mm256_srl_epi32(d, t.shift);
    const __m256i word = _mm256_mask_i32gather_epi32(_mm256_setzero_si256(), t.live, _mm256_srli_epi32(stretch, 5),
                                                     inside, 4);
    const __m256i bit = _mm256_slli_epi32(_mm256_srlv_epi32(word, _mm256_and_si256(stretch, t.low_five)), 31);
    int hits = _mm256_movemask_ps(_mm256_castsi256_ps(bit));
    if (hits == 0) return;
    alignas(32) int32_t keys[8];
    alignas(32) uint32_t stretches[8];
    _mm256_store_si256(reinterpret_cast<__m256i *>(keys), key);
    _mm256_store_si256(reinterpret_cast<__m256i *>(stretches), stretch);
    for (; hits != 0; hits &= hits - 1) {
        const int lane = std::countr_zero(static_cast<unsigned>(hits));
        lane_counts[lane] += windows.count_live(keys[lane], stretches[lane]);
    }
}

// The ions of eight candidates at once, one candidate per lane: each lane runs the same
// 32-bit running sums as the scalar walk.
__attribute__((target("avx2"))) void count_in_lanes(const std::vector<LaneCandidate> &candidates,
                                                    const std::vector<uint32_t> &order, size_t min_ion,
                                                    const WindowCounter::Reader &windows, std::vector<float> &steps,
                                                    uint64_t *counts) {
    LaneTable table;
    table.key_min = _mm256_set1_epi32(static_cast<int32_t>(windows.key_min));
    table.span = _mm256_set1_epi32(static_cast<int32_t>(static_cast<uint32_t>(windows.span)));
    table.low_five = _mm256_set1_epi32(31);
    table.shift = _mm_cvtsi32_si128(static_cast<int>(windows.shift));
    table.live = reinterpret_cast<const int *>(windows.live);

    for (size_t g = 0; g < order.size(); g += 8) {
        const size_t lanes = std::min<size_t>(8, order.size() - g);
        const LaneCandidate *group[8];
        alignas(32) int32_t ions[8] = {}, kept[8] = {};
        alignas(32) float n_start[8] = {}, c_start[8] = {};
        uint32_t max_ions = 0;
        for (size_t lane = 0; lane < lanes; ++lane) {
            const LaneCandidate &c = candidates[order[g + lane]];
            group[lane] = &c;
            ions[lane] = static_cast<int32_t>(c.ions);
            kept[lane] = static_cast<int32_t>(c.ions > min_ion ? c.ions - min_ion : 0);
            n_start[lane] = c.n_start;
            c_start[lane] = c.c_start;
            max_ions = std::max(max_ions, c.ions);
        }
        if (steps.size() < 8 * size_t{max_ions}) steps.resize(8 * size_t{max_ions});
        fill_steps(group, lanes, steps.data());

        uint64_t lane_counts[8] = {};
        const __m256i ions_v = _mm256_load_si256(reinterpret_cast<const __m256i *>(ions));
        const __m256i kept_v = _mm256_load_si256(reinterpret_cast<const __m256i *>(kept));
        IonLadder<EightFloats> n_ladder{_mm256_load_ps(n_start), true}, c_ladder{_mm256_load_ps(c_start), false};
        const float *step = steps.data();
        for (uint32_t i = 0; i < max_ions; ++i, step += 8) {
            const __m256 s = _mm256_loadu_ps(step);
            const __m256i position = _mm256_set1_epi32(static_cast<int32_t>(i));
            const __m256 n_mass = n_ladder.next(s), c_mass = c_ladder.next(s);
            if (i >= min_ion) count_lanes(n_mass, _mm256_cmpgt_epi32(ions_v, position), table, windows, lane_counts);
            count_lanes(c_mass, _mm256_cmpgt_epi32(kept_v, position), table, windows, lane_counts);
        }
        for (size_t lane = 0; lane < lanes; ++lane) counts[group[lane]->offset] = lane_counts[lane];
    }
}
#endif

// What a search needs beyond its settings, kept by each thread from one spectrum to the
// next so that a search allocates next to nothing.
struct PassBuffers {
    std::vector<Window> windows;
    std::vector<float> lows, highs;
    WindowCounter window_counter;
    std::vector<uint64_t> counts;
    std::vector<uint32_t> touched;
    std::vector<float> steps;
    std::vector<LaneCandidate> lane_candidates;
    std::vector<uint32_t> lane_order;
    StreamingBest pass_best, isotope_best, charge_best;

    // Lets go of a count list grown far past what searches usually need.
    void trim() {
        constexpr size_t KEPT_POSITIONS = size_t{1} << 20;
        if (counts.capacity() > KEPT_POSITIONS) std::vector<uint64_t>().swap(counts);
        if (touched.capacity() > KEPT_POSITIONS) std::vector<uint32_t>().swap(touched);
    }
};

class SharedPassSearch {
public:
    SharedPassSearch(const Scorer &scorer, const IndexedDatabase &db, std::span<const Peak> peaks, PassBuffers &buffers)
        : scorer_(scorer),
          db_(db),
          peaks_(peaks),
          shortlist_(shortlist_size(scorer.report_psms)),
          windows_(buffers.windows),
          lows_(buffers.lows),
          highs_(buffers.highs),
          window_counter_(buffers.window_counter),
          counts_(buffers.counts),
          touched_(buffers.touched),
          steps_(buffers.steps),
          lane_candidates_(buffers.lane_candidates),
          lane_order_(buffers.lane_order),
          pass_best_(buffers.pass_best),
          isotope_best_(buffers.isotope_best),
          charge_best_(buffers.charge_best) {
        charge_best_.reset(shortlist_);
    }

    void charge_pass(uint8_t z, Tolerance tol, float mass);

    PreliminaryHits finish() {
        result_.candidates = charge_best_.list();
        return std::move(result_);
    }

private:
    Pass make_pass(Tolerance tol, float mass, int8_t isotope_error) const;
    void prepare_windows(unsigned max_charge);
    bool candidate_counting_exact(unsigned max_charge);
    bool prefer_candidates(uint64_t candidates) const;
    void count_from_index(uint64_t ulo, uint64_t uhi);
    void count_from_candidates(uint64_t ulo, uint64_t uhi);
    void emit(const Pass &pass, uint8_t z, uint64_t ulo, StreamingBest &out);

    const Scorer &scorer_;
    const IndexedDatabase &db_;
    std::span<const Peak> peaks_;
    const uint64_t shortlist_;

    // Fragment windows of every peak, fragment charge by fragment charge: charge c takes
    // windows_[(c - 1) * peaks, c * peaks).
    std::vector<Window> &windows_;
    unsigned window_charges_ = 0;
    unsigned max_charge_ = 0;  // fragment charges of the pass being counted
    // Sorted bounds of the valid windows of charges 1 .. sorted_for_.
    std::vector<float> &lows_, &highs_;
    WindowCounter &window_counter_;
    unsigned sorted_for_ = 0;
    bool sorted_exact_ = false;

    struct BucketRead {
        size_t begin, len;  // entries of one bucket
        Window window;
        size_t hint;
    };
    static constexpr size_t READ_BATCH = 64;
    std::array<BucketRead, READ_BATCH> reads_;
    std::vector<uint64_t> &counts_;   // hit count per position of the union bracket
    std::vector<uint32_t> &touched_;  // positions (less the union's start) with a nonzero count, ascending
    std::vector<float> &steps_;
    std::vector<LaneCandidate> &lane_candidates_;
    std::vector<uint32_t> &lane_order_;
    StreamingBest &pass_best_, &isotope_best_, &charge_best_;
    PreliminaryHits result_;
};

Pass SharedPassSearch::make_pass(Tolerance tol, float mass, int8_t isotope_error) const {
    const float centre = Scorer::isotope_shifted_mass(mass, isotope_error);
    const IndexedQuery query = db_.query(centre, tol, scorer_.fragment_tol);
    if (query.candidate_hi < query.candidate_lo) throw Failure("inverted peptide bracket from the index query");
    Pass pass;
    pass.lo = query.candidate_lo;
    pass.hi = query.candidate_hi;
    std::tie(pass.plo, pass.phi) = tol.bounds(centre);
    pass.isotope_error = isotope_error;
    return pass;
}

void SharedPassSearch::prepare_windows(unsigned max_charge) {
    max_charge_ = max_charge;
    if (max_charge <= window_charges_) return;
    const size_t n = peaks_.size();
    windows_.resize(n * max_charge);
    for (unsigned c = window_charges_ + 1; c <= max_charge; ++c) {
        Window *out = windows_.data() + (c - 1) * n;
        for (size_t i = 0; i < n; ++i) {
            const auto [lo, hi] = scorer_.fragment_tol.bounds(static_cast<float>(c) * peaks_[i].mass);
            out[i] = Window{lo, hi};
        }
    }
    window_charges_ = max_charge;
}

// Counting from the candidates agrees with the index wherever IEEE comparisons and the
// total order that the index is sorted in agree: not when a window bound is a zero (the
// two zeros compare equal but sort apart) and some ion weighs zero too, and only if the
// index lists every ion of every peptide as the build does. A database without its
// fragment list holds no ion of zero mass (the build sees to that), so there a zero
// bound is harmless: any other ion lies in a window by both comparisons alike, and the
// listed index would read its bucket. Windows with a NaN bound, or a lower bound above
// the upper, match nothing either way and are left out.
bool SharedPassSearch::candidate_counting_exact(unsigned max_charge) {
    if (!db_.built_from_peptides) return false;
    if (sorted_for_ == max_charge) return sorted_exact_;
    lows_.clear();
    highs_.clear();
    lows_.reserve(peaks_.size() * max_charge);
    highs_.reserve(peaks_.size() * max_charge);
    sorted_exact_ = true;
    for (size_t i = 0, end = peaks_.size() * max_charge; i < end; ++i) {
        const Window w = windows_[i];
        if (!(w.lo <= w.hi)) continue;
        if (w.lo == 0.0f || w.hi == 0.0f) sorted_exact_ = false;
        lows_.push_back(w.lo);
        highs_.push_back(w.hi);
    }
    // In the total order, which the window table reads them in (IEEE order leaves the
    // two zeros unordered).
    auto by_key = [](float x, float y) { return total_order_key(x) < total_order_key(y); };
    std::sort(lows_.begin(), lows_.end(), by_key);
    std::sort(highs_.begin(), highs_.end(), by_key);
    sorted_exact_ = sorted_exact_ || !db_.fragment_list;
    if (sorted_exact_) window_counter_.assign(lows_, highs_);
    sorted_for_ = max_charge;
    return sorted_exact_;
}

bool SharedPassSearch::prefer_candidates(uint64_t candidates) const {
    const double n = static_cast<double>(std::max<size_t>(db_.peptides.size(), 1));
    const double c = static_cast<double>(candidates);
    const double ions = static_cast<double>(db_.fragments.size()) / n;
    const double entries = BUCKETS_PER_WINDOW * static_cast<double>(db_.bucket_size) * c / n;
    const double windows = static_cast<double>(peaks_.size() * max_charge_);
    const double index_cost = windows * (INDEX_WINDOW_COST + INDEX_ENTRY_COST * entries);
    return c * ions < index_cost;
}

// Where peptide index `target` would sit in a bucket of `len` entries, interpolated
// between the two fences around it (or over [0, peptides) when there are none).
inline size_t position_hint(const uint32_t *fences, uint32_t target, size_t len, double per_peptide) {
    if (fences == nullptr) {
        const auto guess = static_cast<size_t>(static_cast<double>(target) * per_peptide * static_cast<double>(len));
        return std::min(guess, len - 1);
    }
    size_t s = 0;  // fences below the target
    while (s < BUCKET_FENCES && fences[s] < target) ++s;
    if (s == 0) return 0;
    const size_t from = fence_position(s - 1, len);
    const size_t to = s < BUCKET_FENCES ? fence_position(s, len) : len - 1;
    const double low = fences[s - 1], high = s < BUCKET_FENCES ? fences[s] : low + 1.0;
    const double fraction = std::min(1.0, (static_cast<double>(target) - low) / std::max(high - low, 1.0));
    return std::min(from + static_cast<size_t>(fraction * static_cast<double>(to - from)), len - 1);
}

// First position in slice[0, len) (ascending by peptide index, len > 0) whose peptide
// index is not below `target`: gallops outward from `hint`, then halves the last step,
// so that a search reads a few neighbouring cache lines rather than a dozen far apart.
size_t first_at_least(const Theoretical *slice, size_t len, uint32_t target, size_t hint) {
    auto below = [&](size_t j) { return slice[j].peptide_idx < target; };
    size_t lo, hi;  // the answer lies in [lo, hi]
    if (below(hint)) {
        lo = hint + 1;
        hi = lo;
        for (size_t step = 1; hi < len && below(hi); step *= 2) {
            lo = hi + 1;
            hi = hint + step;
        }
        hi = std::min(hi, len);
    } else {
        hi = hint;
        lo = hint;
        for (size_t step = 1;; step *= 2) {
            if (step > hint) {
                lo = 0;
                break;
            }
            lo = hint - step;
            if (below(lo)) {
                ++lo;
                break;
            }
            hi = lo;
        }
    }
    while (lo < hi) {
        const size_t mid = lo + (hi - lo) / 2;
        if (below(mid))
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

// Every indexed fragment of a peptide in [ulo, uhi] that lies in a window, counted per
// peptide: the same fragments the page search yields for those peptides (the bucket
// range from the minima, then each bucket's entries of those peptides, then the window
// test). The buckets to read are gathered in batches, so that the lines a search will
// read first can be fetched a few buckets ahead.
void SharedPassSearch::count_from_index(uint64_t ulo, uint64_t uhi) {
    const uint32_t lo32 = static_cast<uint32_t>(ulo), hi32 = static_cast<uint32_t>(uhi);
    const IndexArray<float> &minima = db_.bucket_minima;
    const Theoretical *const fragments = db_.fragments.data();
    const size_t total = db_.fragments.size();
    const size_t size = db_.bucket_size;
    const double per_peptide = 1.0 / static_cast<double>(std::max<size_t>(db_.peptides.size(), 1));
    uint64_t *const counts = counts_.data();

    // A bucket's fences are fetched FENCES_AHEAD reads ahead, its entries around the hint
    // AHEAD reads ahead, within batches of READ_BATCH reads.
    constexpr size_t AHEAD = 4, FENCES_AHEAD = 8;
    const bool fenced = db_.bucket_fences.size() == minima.size() * BUCKET_FENCES;
    auto fences_of = [&](const BucketRead &read) {
        return fenced ? db_.bucket_fences.data() + (read.begin / size) * BUCKET_FENCES : nullptr;
    };
    auto hint_of = [&](const BucketRead &read) { return position_hint(fences_of(read), lo32, read.len, per_peptide); };
    size_t pending = 0;
    auto read_batch = [&] {
        for (size_t t = 0; t < std::min(AHEAD, pending); ++t) reads_[t].hint = hint_of(reads_[t]);
        for (size_t t = 0; t < pending; ++t) {
            if (t + FENCES_AHEAD < pending && fenced) __builtin_prefetch(fences_of(reads_[t + FENCES_AHEAD]));
            if (t + AHEAD < pending) {
                BucketRead &ahead = reads_[t + AHEAD];
                ahead.hint = hint_of(ahead);
                const Theoretical *at = fragments + ahead.begin + ahead.hint;
                __builtin_prefetch(at);
                __builtin_prefetch(at + 8);
            }
            const BucketRead &read = reads_[t];
            const Theoretical *slice = fragments + read.begin;
            const Theoretical *e = slice + first_at_least(slice, read.len, lo32, read.hint);
            const Theoretical *const e_end = slice + read.len;
            for (; e != e_end && e->peptide_idx <= hi32; ++e)
                if (read.window.lo <= e->fragment_mass && e->fragment_mass <= read.window.hi)
                    ++counts[e->peptide_idx - lo32];
        }
        pending = 0;
    };
    for (size_t i = 0, end = peaks_.size() * max_charge_; i < end; ++i) {
        const Window w = windows_[i];
        if (!(w.lo <= w.hi)) continue;  // nothing passes the window test
        const auto [bucket, bucket_end] = bracket_range(
            minima.size(), [&](size_t k) { return total_order_key(minima[k]); }, total_order_key(w.lo),
            total_order_key(w.hi));
        for (size_t k = bucket; k < bucket_end; ++k) {
            const size_t begin = k * size < total ? k * size : total;
            const size_t stop = total - begin > size ? begin + size : total;
            if (stop == begin) continue;
            reads_[pending++] = BucketRead{begin, stop - begin, w, 0};
            if (pending == READ_BATCH) read_batch();
        }
    }
    read_batch();
}

// Per listed ion: the windows that hold it. A NaN ion lies in no window. With the usual
// pair of one N-terminal and one C-terminal kind, the two ion ladders are walked side by
// side: two independent running sums instead of one after the other (the order in which
// ions are counted does not matter), and where the processor allows, eight candidates at
// once.
void SharedPassSearch::count_from_candidates(uint64_t ulo, uint64_t uhi) {
    const size_t n = db_.peptides.size();
    const WindowCounter::Reader windows = window_counter_.reader();
    const std::vector<Kind> &kinds = db_.ion_kinds;
    const size_t min_ion = db_.min_ion_index;
    const bool paired = kinds.size() == 2 && is_n_terminal(kinds[0]) != is_n_terminal(kinds[1]);
    const Kind n_kind = paired && is_n_terminal(kinds[1]) ? kinds[1] : kinds.empty() ? Kind::B : kinds[0];
    const Kind c_kind = paired && is_n_terminal(kinds[1]) ? kinds[0] : kinds.size() > 1 ? kinds[1] : Kind::Y;
#ifdef MESK_VECTOR_LANES
    const bool in_lanes = paired && windows.stretches != 0 && vector_lanes();
#else
    const bool in_lanes = false;
#endif
    lane_candidates_.clear();
    for (uint64_t p = ulo; p <= uhi && p < n; ++p) {
        const PeptideView view = db_.peptides.view(static_cast<size_t>(p));
        const size_t length = view.length();
        uint64_t count = 0;
        if (paired && length >= 2 && view.mod_count >= length - 1) {
            const size_t ions = length - 1;
            const float n_start = ion_start_mass(view.nterm, view.monoisotopic, n_kind);
            const float c_start = ion_start_mass(view.nterm, view.monoisotopic, c_kind);
            if (in_lanes && ions <= UINT32_MAX) {
                // Read in a different order below: fetched now, in storage order.
                __builtin_prefetch(view.residues.data());
                __builtin_prefetch(view.residues.data() + length - 1);
                lane_candidates_.push_back(LaneCandidate{view.residues.data(), view.mods_begin, view.mods_end, n_start,
                                                         c_start, static_cast<uint32_t>(p - ulo),
                                                         static_cast<uint32_t>(ions)});
                continue;
            }
            const size_t kept = ions > min_ion ? ions - min_ion : 0;
            IonLadder<float> n_ladder{n_start, true}, c_ladder{c_start, false};
            ResidueSteps steps(view);
            for (size_t i = 0; i < ions; ++i) {
                const float step = steps.next();
                const float n_mass = n_ladder.next(step);
                if (i >= min_ion) count += windows.count(n_mass);
                if (i < kept) count += windows.count(c_ladder.next(step));
            }
        } else {
            list_fragments(view, kinds, min_ion, [&](const ListedIon &ion) { count += windows.count(ion.mass); });
        }
        counts_[p - ulo] = count;
    }
#ifdef MESK_VECTOR_LANES
    if (!lane_candidates_.empty()) {
        order_by_ions(lane_candidates_, lane_order_);
        count_in_lanes(lane_candidates_, lane_order_, min_ion, windows, steps_, counts_.data());
    }
#endif
}

// The slot list of one pass, as the reference builds it, heap-selected into pass_best_
// and handed on to `out`; a pass without any hit hands on its slots unselected.
void SharedPassSearch::emit(const Pass &pass, uint8_t z, uint64_t ulo, StreamingBest &out) {
    const size_t n = db_.peptides.size();
    const float *masses = db_.peptides.masses();
    const uint64_t first = pass.lo - ulo, last = pass.hi - ulo;
    auto hits_of = [&](uint64_t offset) -> uint64_t {
        const uint64_t p = ulo + offset;
        if (p == pass.lo && !(p < n && masses[p] >= pass.plo)) return 0;
        if (p == pass.hi && !(p < n && masses[p] <= pass.phi)) return 0;
        return counts_[offset];
    };
    const auto begin = std::lower_bound(touched_.begin(), touched_.end(), first);
    const auto end = std::upper_bound(begin, touched_.end(), last);

    uint64_t matched = 0, scored = 0;
    for (auto it = begin; it != end; ++it) {
        const uint64_t c = hits_of(*it);
        matched += c;
        scored += c / 65536 + (c % 65536 != 0);  // the count passes zero once per 65,536 (16-bit slots)
    }
    const uint64_t slots = pass.hi - pass.lo + 1;
    if (matched == 0) {
        out.push_copies(UNMATCHED_SLOT, slots);
        return;
    }
    result_.matched_peaks += matched;
    result_.scored_candidates += scored;

    pass_best_.reset(shortlist_);
    uint64_t next = first;
    for (auto it = begin; it != end; ++it) {
        pass_best_.push_copies(UNMATCHED_SLOT, *it - next);
        const uint64_t c = hits_of(*it);
        pass_best_.push(c == 0 ? UNMATCHED_SLOT
                               : PreliminaryHit{static_cast<uint32_t>(ulo + *it), static_cast<uint16_t>(c), z,
                                                pass.isotope_error});
        next = *it + 1;
    }
    pass_best_.push_copies(UNMATCHED_SLOT, last + 1 - next);
    for (const uint64_t k : pass_best_.keys()) out.push(k);
}

void SharedPassSearch::charge_pass(uint8_t z, Tolerance tol, float mass) {
    // A single pass goes straight into the charges' list; several go through a list of
    // their own first.
    Pass passes[256];
    size_t count = 0;
    scorer_.for_each_isotope_error([&](int8_t e) { passes[count++] = make_pass(tol, mass, e); });
    if (count == 0) return;
    StreamingBest &out = scorer_.single_isotope_pass() ? charge_best_ : isotope_best_;
    if (&out == &isotope_best_) isotope_best_.reset(shortlist_);

    const unsigned max_charge = scorer_.max_fragment_charge_for(z);
    prepare_windows(max_charge);
    for (size_t g = 0; g < count;) {
        // Passes whose brackets overlap or touch the ones before them share one count.
        uint64_t ulo = passes[g].lo, uhi = passes[g].hi;
        size_t g_end = g + 1;
        while (g_end < count && passes[g_end].lo <= uhi + 1 && passes[g_end].hi + 1 >= ulo) {
            ulo = std::min(ulo, passes[g_end].lo);
            uhi = std::max(uhi, passes[g_end].hi);
            ++g_end;
        }
        counts_.assign(static_cast<size_t>(uhi - ulo + 1), 0);
        const uint64_t n = db_.peptides.size();
        const uint64_t candidates = ulo < n ? std::min<uint64_t>(uhi, n - 1) - ulo + 1 : 0;
        const SearchPath path = scorer_.search_path;
        const bool from_candidates =
            (!db_.fragment_list || path == SearchPath::Candidates ||
             (path == SearchPath::Auto && prefer_candidates(candidates))) &&
            candidate_counting_exact(max_charge);
        if (!db_.fragment_list && !from_candidates)
            throw Failure("a database without its fragment list cannot count from the index");
        if (from_candidates)
            count_from_candidates(ulo, uhi);
        else
            count_from_index(ulo, uhi);
        touched_.clear();
        touched_.reserve(counts_.size());
        for (size_t i = 0; i < counts_.size(); ++i)
            if (counts_[i] != 0) touched_.push_back(static_cast<uint32_t>(i));
        for (; g < g_end; ++g) emit(passes[g], z, ulo, out);
    }
    if (&out == &isotope_best_)
        for (const uint64_t k : isotope_best_.keys()) charge_best_.push(k);
}

}  // namespace

PreliminaryHits Scorer::shared_pass_hits(std::span<const Peak> peaks, const Precursor &precursor) const {
    if (db == nullptr) throw Failure("scorer has no database");
    thread_local PassBuffers buffers;
    SharedPassSearch search(*this, *db, peaks, buffers);
    for_each_precursor_charge(precursor, [&](uint8_t z, Tolerance tol, float mass) { search.charge_pass(z, tol, mass); });
    PreliminaryHits hits = search.finish();
    buffers.trim();
    return hits;
}

}  // namespace mesk

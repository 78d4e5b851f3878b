// Bounded min-heap selection of preliminary hits: ordering, arrangement, and agreement
// with a full sort on random lists.
#include <algorithm>
#include <random>
#include <vector>

#include "check.hpp"
#include "failure.hpp"
#include "heap.hpp"

using mesk::PreliminaryHit;

namespace {

PreliminaryHit hit(uint16_t matched, uint32_t idx = 0, uint8_t charge = 0, int8_t iso = 0) {
    return PreliminaryHit{idx, matched, charge, iso};
}

std::vector<uint16_t> matched_of(const std::vector<PreliminaryHit> &list, size_t n) {
    std::vector<uint16_t> out;
    for (size_t i = 0; i < n; ++i) out.push_back(list[i].matched);
    return out;
}

bool is_min_heap(const std::vector<PreliminaryHit> &list, size_t n) {
    for (size_t i = 1; i < n; ++i)
        if (list[i] < list[(i - 1) / 2]) return false;
    return true;
}

}  // namespace

TEST(ordering_compares_matched_then_peptide_then_charge_then_signed_isotope) {
    CHECK(hit(3, 0) < hit(4, 0));
    CHECK(hit(4, 0) < hit(4, 1));        // equal counts: higher peptide index is better
    CHECK(hit(4, 1, 2) < hit(4, 1, 3));  // then higher charge
    CHECK(hit(4, 1, 2, -1) < hit(4, 1, 2, 0));  // then higher isotope error, signed
    CHECK(hit(4, 100, 9, 9) < hit(5, 0, 0, -128));
    CHECK(!(hit(4, 1, 2, 1) < hit(4, 1, 2, 1)));
    // The unmatched slot sorts below any matched entry.
    CHECK(PreliminaryHit{} < hit(1, 0));
}

TEST(sift_down_moves_root_to_its_place) {
    // Root 9 over children 2 and 4: it swaps with the smaller child, then with 5.
    std::vector<PreliminaryHit> list = {hit(9), hit(2), hit(4), hit(5), hit(7)};
    mesk::sift_down(list, list.size(), 0);
    CHECK(matched_of(list, 5) == (std::vector<uint16_t>{2, 5, 4, 9, 7}));
    // A heap size of 1 leaves everything alone.
    std::vector<PreliminaryHit> single = {hit(9), hit(1)};
    mesk::sift_down(single, 1, 0);
    CHECK(matched_of(single, 2) == (std::vector<uint16_t>{9, 1}));
    // Equal children: the left one wins (strict comparisons).
    std::vector<PreliminaryHit> ties = {hit(5), hit(3), hit(3)};
    mesk::sift_down(ties, 3, 0);
    CHECK(matched_of(ties, 3) == (std::vector<uint16_t>{3, 5, 3}));
}

TEST(bounded_heapify_arrangement_by_hand) {
    // k = 3 over 5 3 8 1 9 2: heap [3 5 8]; 1 loses; 9 replaces 3 and sinks -> [5 9 8]; 2 loses.
    std::vector<PreliminaryHit> list = {hit(5), hit(3), hit(8), hit(1), hit(9), hit(2)};
    mesk::bounded_min_heapify(list, list.size(), 3);
    CHECK(matched_of(list, 3) == (std::vector<uint16_t>{5, 9, 8}));
    // k = 1 keeps the greatest.
    std::vector<PreliminaryHit> one = {hit(5), hit(3), hit(8), hit(1)};
    mesk::bounded_min_heapify(one, one.size(), 1);
    CHECK_EQ(one[0].matched, 8);
}

TEST(bounded_heapify_leaves_short_lists_alone) {
    std::vector<PreliminaryHit> list = {hit(1), hit(9), hit(4)};
    mesk::bounded_min_heapify(list, 3, 3);
    CHECK(matched_of(list, 3) == (std::vector<uint16_t>{1, 9, 4}));
    mesk::bounded_min_heapify(list, 3, 50);
    CHECK(matched_of(list, 3) == (std::vector<uint16_t>{1, 9, 4}));
    std::vector<PreliminaryHit> empty;
    mesk::bounded_min_heapify(empty, 0, 0);
    CHECK(empty.empty());
}

TEST(bounded_heapify_breaks_ties_towards_higher_index_charge_isotope) {
    // Equal counts everywhere: the two kept are the two greatest by index, charge, isotope.
    std::vector<PreliminaryHit> list = {hit(2, 5, 2, 0), hit(2, 7, 2, -1), hit(2, 7, 3, -1), hit(2, 7, 2, 1),
                                        hit(2, 6, 4, 3)};
    mesk::bounded_min_heapify(list, list.size(), 2);
    std::vector<PreliminaryHit> kept(list.begin(), list.begin() + 2);
    std::sort(kept.begin(), kept.end());
    CHECK(kept[0] == hit(2, 7, 2, 1));
    CHECK(kept[1] == hit(2, 7, 3, -1));
}

TEST(bounded_heapify_keeps_the_k_greatest_as_a_min_heap) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 300; ++round) {
        const size_t n = rng() % 200;
        const size_t k = 1 + rng() % 60;
        std::vector<PreliminaryHit> list;
        for (size_t i = 0; i < n; ++i)
            list.push_back(hit(static_cast<uint16_t>(rng() % 6), static_cast<uint32_t>(rng() % 10),
                               static_cast<uint8_t>(rng() % 3), static_cast<int8_t>(static_cast<int>(rng() % 5) - 2)));
        std::vector<PreliminaryHit> expected = list;
        std::sort(expected.begin(), expected.end());
        mesk::bounded_min_heapify(list, n, k);
        if (n <= k) continue;
        std::vector<PreliminaryHit> kept(list.begin(), list.begin() + k);
        CHECK(is_min_heap(list, k));
        std::sort(kept.begin(), kept.end());
        CHECK(kept == std::vector<PreliminaryHit>(expected.end() - k, expected.end()));
        // Nothing lost or duplicated: the whole list is still a permutation of the input.
        std::sort(list.begin(), list.end());
        CHECK(list == expected);
    }
}

TEST(heap_sizes_beyond_the_list_are_refused) {
    std::vector<PreliminaryHit> list = {hit(1), hit(2)};
    CHECK_THROWS(mesk::sift_down(list, 3, 0));
    CHECK_THROWS(mesk::bounded_min_heapify(list, 5, 1));
}

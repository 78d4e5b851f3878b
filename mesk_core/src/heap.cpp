// Bounded min-heap selection of the best preliminary hits.
#include "heap.hpp"

#include <string>
#include <utility>

#include "failure.hpp"

namespace mesk {

void sift_down(std::span<PreliminaryHit> list, size_t n, size_t root) {
    if (n > list.size())
        throw Failure("heap size " + std::to_string(n) + " exceeds list length " + std::to_string(list.size()));
    for (;;) {
        const size_t left = 2 * root + 1;
        if (left >= n) return;
        size_t smallest = root;
        if (list[left] < list[smallest]) smallest = left;
        if (left + 1 < n && list[left + 1] < list[smallest]) smallest = left + 1;
        if (smallest == root) return;
        std::swap(list[root], list[smallest]);
        root = smallest;
    }
}

void bounded_min_heapify(std::span<PreliminaryHit> list, size_t n, size_t k) {
    if (n <= k) return;
    if (n > list.size())
        throw Failure("heap input " + std::to_string(n) + " exceeds list length " + std::to_string(list.size()));
    if (k >= 2) {
        for (size_t i = k / 2; i-- > 0;) sift_down(list, k, i);
    }
    // list[0] is the least of the k kept so far; anything strictly better replaces it.
    for (size_t i = k; i < n; ++i) {
        if (list[0] < list[i]) {
            std::swap(list[0], list[i]);
            sift_down(list, k, 0);
        }
    }
}

}  // namespace mesk

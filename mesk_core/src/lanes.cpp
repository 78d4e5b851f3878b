#include "lanes.hpp"

#include <atomic>

namespace mesk {

namespace {

bool processor_has_lanes() {
#ifdef MESK_VECTOR_LANES
    __builtin_cpu_init();  // the answer may be wanted before the library's own start-up ran
    return __builtin_cpu_supports("avx2");  // also tells whether the system saves the wide registers
#else
    return false;
#endif
}

std::atomic<bool> &lanes_on() {
    static std::atomic<bool> on{processor_has_lanes()};
    return on;
}

}  // namespace

bool vector_lanes() { return lanes_on().load(std::memory_order_relaxed); }

bool use_vector_lanes(bool on) { return lanes_on().exchange(on && processor_has_lanes()); }

}  // namespace mesk

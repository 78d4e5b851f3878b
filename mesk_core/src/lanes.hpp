// Whether the search may run its eight-lane vector loops: on x86-64 processors with AVX2
// (every loop has a plain scalar twin, which gives the same results to the bit).
#pragma once

#if defined(__x86_64__) && defined(__GNUC__)
#define MESK_VECTOR_LANES 1
#endif

namespace mesk {

bool vector_lanes();

// Switches the vector loops off (or back on where the processor has them), so that tests
// can run the scalar twins on any machine; returns the previous setting.
bool use_vector_lanes(bool on);

}  // namespace mesk

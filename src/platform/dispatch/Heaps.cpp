#include "Heaps.h"

#include <algorithm>
#include <thread>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace trimwell {

void limitHeapsToCores() {
#if defined(__GLIBC__)
    // Two at least: with one, every thread would queue for the same heap.
    const unsigned cores = std::max(std::thread::hardware_concurrency(), 2u);
    mallopt(M_ARENA_MAX, static_cast<int>(cores));
#endif
}

} // namespace trimwell

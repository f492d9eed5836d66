#include "Heaps.h"

#include <algorithm>
#include <thread>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace trimwell {

void limitHeapsToCores() {
#if defined(__GLIBC__)
    // Two at least, so the main thread never shares its heap with every worker.
    const unsigned cores = std::max(std::thread::hardware_concurrency(), 2u);
    mallopt(M_ARENA_MAX, static_cast<int>(cores));
#endif
}

} // namespace trimwell

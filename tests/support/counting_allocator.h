// Counts the heap bytes that a test binary holds, through replacements of
// the global operator new and delete, so a test can measure the peak that
// one piece of code reaches. Allocations are counted by their usable size
// (malloc_usable_size), so the figure is what the allocator really hands
// out, per-allocation rounding included (its few bytes of bookkeeping are
// not).
//
// Exactly one source file of a test binary defines the replacements, by
// defining COUNTING_ALLOCATOR_DEFINE before including this header.
#pragma once

#include <malloc.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace counting {

struct Counters {
  std::atomic<size_t> live{0};
  std::atomic<size_t> peak{0};
};

Counters& counters();

// The peak of heap bytes held while it exists, above what was held when it
// was made.
class PeakScope {
 public:
  PeakScope() : base_(counters().live.load()) { counters().peak.store(base_); }
  size_t peakAbove() const {
    const size_t peak = counters().peak.load();
    return peak > base_ ? peak - base_ : 0;
  }

 private:
  size_t base_;
};

}  // namespace counting

#ifdef COUNTING_ALLOCATOR_DEFINE
namespace counting {

Counters& counters() {
  static Counters c;
  return c;
}

inline void* countedAlloc(size_t n) {
  void* p = std::malloc(n == 0 ? 1 : n);
  if (!p) throw std::bad_alloc();
  Counters& c = counters();
  const size_t now = c.live.fetch_add(malloc_usable_size(p)) + malloc_usable_size(p);
  size_t peak = c.peak.load();
  while (now > peak && !c.peak.compare_exchange_weak(peak, now)) {
  }
  return p;
}

inline void countedFree(void* p) {
  if (!p) return;
  counters().live.fetch_sub(malloc_usable_size(p));
  std::free(p);
}

}  // namespace counting

void* operator new(size_t n) { return counting::countedAlloc(n); }
void* operator new[](size_t n) { return counting::countedAlloc(n); }
void operator delete(void* p) noexcept { counting::countedFree(p); }
void operator delete[](void* p) noexcept { counting::countedFree(p); }
void operator delete(void* p, size_t) noexcept { counting::countedFree(p); }
void operator delete[](void* p, size_t) noexcept { counting::countedFree(p); }
#endif

#include "tests/support/alloc_counter.h"

#include <malloc.h>

#include <cstdlib>
#include <new>

namespace {
thread_local bool t_counting = false;
thread_local std::size_t t_count = 0;
thread_local std::size_t t_live = 0;
thread_local std::size_t t_peak = 0;

// The size the allocator gave the block. No header of our own: blocks may
// also come from a sanitizer's allocator.
std::size_t SizeOf(void* p) {
#ifdef _WIN32
  return _msize(p);
#else
  return malloc_usable_size(p);
#endif
}

void* Allocate(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  if (t_counting) {
    ++t_count;
    t_live += SizeOf(p);
    if (t_live > t_peak) t_peak = t_live;
  }
  return p;
}

// A block allocated before counting began may be freed while it counts:
// the live bytes never go below zero (the peak stays a lower bound).
void Release(void* p) noexcept {
  if (p != nullptr && t_counting) {
    const std::size_t size = SizeOf(p);
    t_live -= size < t_live ? size : t_live;
  }
  std::free(p);
}
}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, std::size_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t) noexcept { Release(p); }

namespace korvel::testing {
AllocationCounter::AllocationCounter() {
  t_count = t_live = t_peak = 0;
  t_counting = true;
}
AllocationCounter::~AllocationCounter() { t_counting = false; }
std::size_t AllocationCounter::count() const { return t_count; }
std::size_t AllocationCounter::peak_bytes() const { return t_peak; }
}  // namespace korvel::testing

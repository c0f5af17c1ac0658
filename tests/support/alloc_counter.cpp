#include "tests/support/alloc_counter.h"

#include <cstdlib>
#include <new>

namespace {
thread_local bool t_counting = false;
thread_local std::size_t t_count = 0;
thread_local std::size_t t_live = 0;
thread_local std::size_t t_peak = 0;

// Each block starts with its size and whether it was counted, so that a
// free takes back exactly what its allocation added.
struct alignas(16) Header {
  std::size_t size;
  bool counted;
};

void* Allocate(std::size_t size) {
  auto* header = static_cast<Header*>(std::malloc(sizeof(Header) + size));
  if (header == nullptr) throw std::bad_alloc();
  header->size = size;
  header->counted = t_counting;
  if (t_counting) {
    ++t_count;
    t_live += size;
    if (t_live > t_peak) t_peak = t_live;
  }
  return header + 1;
}

void Release(void* p) noexcept {
  if (p == nullptr) return;
  Header* header = static_cast<Header*>(p) - 1;
  if (header->counted && t_live >= header->size) t_live -= header->size;
  std::free(header);
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

#include "tests/support/alloc_counter.h"

#include <cstdlib>
#include <new>

namespace {
thread_local bool t_counting = false;
thread_local std::size_t t_count = 0;

void* Allocate(std::size_t size) {
  if (t_counting) ++t_count;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace korvel::testing {
AllocationCounter::AllocationCounter() {
  t_count = 0;
  t_counting = true;
}
AllocationCounter::~AllocationCounter() { t_counting = false; }
std::size_t AllocationCounter::count() const { return t_count; }
}  // namespace korvel::testing

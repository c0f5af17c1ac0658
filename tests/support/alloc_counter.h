// Counts heap allocations made by this thread while a counter is alive, and
// the most bytes they held at once.
#pragma once

#include <cstddef>

namespace korvel::testing {

class AllocationCounter {
 public:
  AllocationCounter();
  ~AllocationCounter();
  std::size_t count() const;
  std::size_t peak_bytes() const;
};

}  // namespace korvel::testing

// Counts heap allocations made by this thread while a counter is alive.
#pragma once

#include <cstddef>

namespace korvel::testing {

class AllocationCounter {
 public:
  AllocationCounter();
  ~AllocationCounter();
  std::size_t count() const;
};

}  // namespace korvel::testing

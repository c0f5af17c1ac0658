// The memory of the eight global delay lines: 28 MB that a module reserves
// when it is created but that costs nothing until a component writes it.
#pragma once

#include <cstddef>

#include "engine/component.h"

namespace korvel {

// Pages of their own, taken from the system already zeroed and left
// untouched, so creating a module never writes 28 MB of zeros. Clearing
// gives back or zeroes only the pages that were written since the last
// clear. Not thread-safe: the engine calls Clear under its graph lock.
class DelayLineStorage {
 public:
  DelayLineStorage();  // throws std::bad_alloc when the system refuses
  ~DelayLineStorage();
  DelayLineStorage(const DelayLineStorage&) = delete;
  DelayLineStorage& operator=(const DelayLineStorage&) = delete;

  // Line i (0..7) at lines()[i]: kDelayLineLength values.
  double (*lines() const)[kDelayLineLength] { return static_cast<double(*)[kDelayLineLength]>(base_); }
  // Every value of every line back to 0.0.
  void Clear();

  static constexpr std::size_t kBytes = sizeof(double) * kDelayLineCount * kDelayLineLength;

 private:
  void* base_ = nullptr;
  bool write_watched_ = false;  // Windows: the system tracks written pages
};

}  // namespace korvel

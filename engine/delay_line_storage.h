// The memory of the eight global delay lines: 128 MiB of address space that
// a module reserves only when it first gets a component using the lines,
// and that costs no physical memory until a component writes it.
#pragma once

#include <cstddef>

#include "engine/component.h"

namespace korvel {

// Pages of their own, taken from the system already zeroed and left
// untouched, so reserving them never writes 128 MiB of zeros. Clearing
// gives back or zeroes only the pages that were written since the last
// clear. Not thread-safe: the engine calls Reserve and Clear under its edit
// lock.
class DelayLineStorage {
 public:
  DelayLineStorage() = default;  // reserves nothing yet
  ~DelayLineStorage();
  DelayLineStorage(const DelayLineStorage&) = delete;
  DelayLineStorage& operator=(const DelayLineStorage&) = delete;

  // Reserves the lines, all reading 0.0; true at once when they already
  // are. False when the system refuses the address space.
  bool Reserve();
  // Line i (0..7) at lines()[i]: kDelayLineLength values; null until
  // reserved.
  double (*lines() const)[kDelayLineLength] { return static_cast<double(*)[kDelayLineLength]>(base_); }
  // Every value of every line back to 0.0 (nothing to do before Reserve).
  void Clear();

  static constexpr std::size_t kBytes = sizeof(double) * kDelayLineCount * kDelayLineLength;

 private:
  void* base_ = nullptr;
  bool write_watched_ = false;  // Windows: the system tracks written pages
};

}  // namespace korvel

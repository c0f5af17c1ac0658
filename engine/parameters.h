// The module's parameter values are plain doubles that the host's calls,
// the module loader, the image writer and the audio thread (Slider
// Interface) share without any lock: every access goes through these two,
// so neither side waits and none of them ever sees half a value. The values
// keep their place in the module's parameter block.
#pragma once

#include <atomic>

namespace korvel {

// The values must sit on 8-byte boundaries (alignas(8) where declared).
// [any thread, atomic]
inline double LoadParameter(const double& value) {
  return std::atomic_ref<double>(const_cast<double&>(value)).load(std::memory_order_relaxed);
}
// [any thread, atomic]
inline void StoreParameter(double& value, double v) {
  std::atomic_ref<double>(value).store(v, std::memory_order_relaxed);
}

}  // namespace korvel

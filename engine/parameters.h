// The module's parameter values are plain doubles that the host's calls,
// the module loader and the image writer share without any lock: every
// access goes through these two, so none of them ever sees half a value.
#pragma once

#include <atomic>

namespace korvel {

// The values must sit on 8-byte boundaries (alignas(8) where declared).
inline double LoadParameter(const double& value) {
  return std::atomic_ref<double>(const_cast<double&>(value)).load(std::memory_order_relaxed);
}
inline void StoreParameter(double& value, double v) {
  std::atomic_ref<double>(value).store(v, std::memory_order_relaxed);
}

}  // namespace korvel

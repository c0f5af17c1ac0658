// Parameter values are written by host threads (SetParameterValue,
// automation, state restore) and read by the audio thread (Slider
// Interface). Each value is one aligned double accessed as an atomic, so
// neither side waits and no reader sees a torn value; the values keep
// their place in the module's parameter block.
#pragma once

#include <atomic>

namespace korvel {

static_assert(std::atomic_ref<double>::required_alignment <= alignof(double),
              "parameter values must be usable as atomics where they lie");

// [any thread, atomic]
inline double LoadParameter(double& value) {
  return std::atomic_ref<double>(value).load(std::memory_order_relaxed);
}

// [any thread, atomic]
inline void StoreParameter(double& value, double v) {
  std::atomic_ref<double>(value).store(v, std::memory_order_relaxed);
}

}  // namespace korvel

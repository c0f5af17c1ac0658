#include "engine/controllers.h"

#include <algorithm>

#include "engine/parameters.h"

namespace korvel {

namespace {
constexpr auto kRelaxed = std::memory_order_relaxed;
constexpr double kSevenBitTop = 127.0;
constexpr double kFourteenBitTop = 16383.0;
}  // namespace

ControllerBindings::ControllerBindings() {
  Clear();
  std::fill(std::begin(coarse_), std::end(coarse_), std::int16_t{-1});
}

std::int32_t ControllerBindings::Get(int parameter) const {
  if (parameter < 0 || parameter >= kParameters) return kNoController;
  return bound_[parameter].load(kRelaxed);
}

bool ControllerBindings::Set(int parameter, std::int32_t controller) {
  if (parameter < 0 || parameter >= kParameters) return false;
  if (controller < kNoController || controller >= kControllerCount) return false;
  bound_[parameter].store(controller, kRelaxed);
  return true;
}

void ControllerBindings::Clear() {
  for (auto& binding : bound_) binding.store(kNoController, kRelaxed);
}

bool ControllerBindings::Moves(std::uint8_t controller) const {
  const int coarse = controller - kFineControllerOffset;
  for (const auto& binding : bound_) {
    const std::int32_t bound = binding.load(kRelaxed);
    if (bound == controller || (coarse >= 0 && coarse < kCoarseControllerCount && bound == coarse)) return true;
  }
  return false;
}

void ControllerBindings::Apply(std::uint8_t controller, std::uint8_t value, double* parameter_values) {
  controller &= 0x7F;
  value &= 0x7F;
  last_.store(controller, kRelaxed);
  received_.fetch_add(1, std::memory_order_release);
  if (parameter_values == nullptr) return;
  const int coarse = controller - kFineControllerOffset;
  const bool fine = coarse >= 0 && coarse < kCoarseControllerCount && coarse_[coarse] >= 0;
  if (controller < kCoarseControllerCount) coarse_[controller] = value;
  for (int p = 0; p < kParameters; ++p) {
    const std::int32_t bound = bound_[p].load(kRelaxed);
    if (bound == controller) {
      StoreParameter(parameter_values[p], value / kSevenBitTop);
    } else if (fine && bound == coarse) {
      StoreParameter(parameter_values[p], (coarse_[coarse] * 128 + value) / kFourteenBitTop);
    }
  }
}

}  // namespace korvel

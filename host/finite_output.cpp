#include "host/finite_output.h"

#include <limits>

namespace korvel {

std::uint32_t SanitizeBlock(const double* from, float* to, std::size_t count) {
  constexpr double kLargest = std::numeric_limits<float>::max();
  std::uint32_t replaced = 0;
  // Branch-free, so the loop stays vectorisable; every comparison with NaN
  // is false. Two comparisons rather than fabs, which the 32-bit build would
  // compute on the x87.
  for (std::size_t i = 0; i < count; ++i) {
    const bool keep = from[i] <= kLargest && from[i] >= -kLargest;
    to[i] = keep ? static_cast<float>(from[i]) : 0.0f;
    replaced += keep ? 0u : 1u;
  }
  return replaced;
}

}  // namespace korvel

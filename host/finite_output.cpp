#include "host/finite_output.h"

#include <limits>

namespace korvel {

namespace {
constexpr double kLargest = std::numeric_limits<float>::max();
// Two comparisons rather than fabs, which the 32-bit build would compute on
// the x87; every comparison with NaN is false.
inline bool Keeps(double v) { return v <= kLargest && v >= -kLargest; }
}  // namespace

ReplacedValues SanitizeBlock(const double* from, float* to, std::size_t count) {
  // Branch-free, so the loop stays vectorisable.
  std::uint32_t left = 0, right = 0, frames = 0;
  const std::size_t pairs = count / 2;
  for (std::size_t f = 0; f < pairs; ++f) {
    const double a = from[2 * f], b = from[2 * f + 1];
    const bool keep_a = Keeps(a), keep_b = Keeps(b);
    to[2 * f] = keep_a ? static_cast<float>(a) : 0.0f;
    to[2 * f + 1] = keep_b ? static_cast<float>(b) : 0.0f;
    left += keep_a ? 0u : 1u;
    right += keep_b ? 0u : 1u;
    frames += keep_a && keep_b ? 0u : 1u;
  }
  if (count % 2 != 0) {  // a lone last value counts as channel 0
    const double a = from[count - 1];
    const bool keep = Keeps(a);
    to[count - 1] = keep ? static_cast<float>(a) : 0.0f;
    left += keep ? 0u : 1u;
    frames += keep ? 0u : 1u;
  }
  ReplacedValues replaced;
  replaced.channel[0] = left;
  replaced.channel[1] = right;
  replaced.frames = frames;
  return replaced;
}

}  // namespace korvel

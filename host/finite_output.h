// The audio boundary: what the host receives is always a finite sample.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvel {

// Values replaced in a block: per channel, and frames where either was.
struct ReplacedValues {
  std::uint32_t channel[2] = {0, 0};
  std::uint32_t frames = 0;
  std::uint32_t total() const { return channel[0] + channel[1]; }
};

// [audio thread] Copies `count` engine values (two channels interleaved)
// into the host's float buffer. A value the host cannot hold as a finite
// float (NaN, an infinity, or a magnitude beyond the float range) becomes
// 0.0f; every other value is converted exactly as a plain cast would.
// Answers what was replaced.
ReplacedValues SanitizeBlock(const double* from, float* to, std::size_t count);

}  // namespace korvel

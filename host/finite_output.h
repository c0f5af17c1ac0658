// The audio boundary: what the host receives is always a finite sample.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvel {

// [audio thread] Copies `count` engine values into the host's float buffer.
// A value the host cannot hold as a finite float (NaN, an infinity, or a
// magnitude beyond the float range) becomes 0.0f; every other value is
// converted exactly as a plain cast would. Answers how many were replaced.
std::uint32_t SanitizeBlock(const double* from, float* to, std::size_t count);

}  // namespace korvel

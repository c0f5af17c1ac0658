// The floating-point state the audio path computes in.
#pragma once

#if defined(__SSE2__) || defined(__x86_64__) || defined(_M_X64)
#include <xmmintrin.h>
#define KORVEL_HAS_MXCSR 1
#endif

namespace korvel {

// [audio thread] For the lifetime of the guard, results too small for a
// normal double become 0.0 (flush to zero) and such inputs read as 0.0
// (denormals are zero): a decaying filter history reaches exact silence
// instead of creeping through subnormal values, which some CPUs compute a
// hundred times slower. The caller's state, the host's, comes back intact on
// destruction; the host's rounding mode and exception masks do not reach
// the engine. Elsewhere than x86 the guard does nothing.
class FlushDenormals {
 public:
#ifdef KORVEL_HAS_MXCSR
  // Every exception masked, rounding to nearest, flush to zero, denormals
  // are zero: whatever the host has set, blocks compute the same bits.
  static constexpr unsigned kEngineState = 0x1F80 | 0x8000 | 0x0040;

  FlushDenormals() : saved_(_mm_getcsr()) { _mm_setcsr(kEngineState); }
  ~FlushDenormals() { _mm_setcsr(saved_); }

 private:
  unsigned saved_;
#else
  FlushDenormals() {}
#endif

 public:
  FlushDenormals(const FlushDenormals&) = delete;
  FlushDenormals& operator=(const FlushDenormals&) = delete;
};

}  // namespace korvel

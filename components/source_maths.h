// Arithmetic the sources share, written so that every build computes the
// same bits: plain IEEE operations in a fixed order, no call into the
// platform's maths library (whose sin and exp differ in the last bit between
// platforms), and no conversion a 32-bit build can only do on the x87
// (double to or from a 64-bit integer).
#pragma once

#include <bit>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace korvel::source_maths {

// A phase is a 64-bit fraction of a cycle: 2^64 is one cycle, so it wraps by
// itself and never drifts, however long it runs.
using Phase = std::uint64_t;

inline constexpr double kTwoPi = 6.283185307179586476925286766559;

// |x|, on the bits. (A 32-bit build would compute std::fabs on the x87.)
inline double Magnitude(double x) {
  return std::bit_cast<double>(std::bit_cast<std::uint64_t>(x) & 0x7FFFFFFFFFFFFFFFull);
}

// x when it is a number, otherwise `otherwise`. A 32-bit build chooses
// between two doubles with the x87's fcmov, however the choice is written,
// so it is made with SSE2 masks where there is SSE2.
inline double NumberOr(double x, double otherwise) {
#if defined(__SSE2__)
  const __m128d value = _mm_set_sd(x);
  const __m128d number = _mm_cmpord_sd(value, value);  // all ones unless NaN
  return _mm_cvtsd_f64(_mm_or_pd(_mm_and_pd(number, value), _mm_andnot_pd(number, _mm_set_sd(otherwise))));
#else
  return x == x ? x : otherwise;
#endif
}

// Truncation toward minus infinity of |x| < 2^31.
inline std::int32_t FloorToInt(double x) {
  const auto t = static_cast<std::int32_t>(x);
  return static_cast<double>(t) > x ? t - 1 : t;
}

// The phase as a fraction of a cycle, [0, 1), exact to 53 bits: two 32-bit
// conversions whose bits do not overlap, so their sum does not round.
inline double PhaseToUnit(Phase phase) {
  const auto high = static_cast<std::int32_t>(phase >> 33);             // 31 bits
  const auto low = static_cast<std::int32_t>((phase >> 11) & 0x3FFFFF);  // the next 22
  return static_cast<double>(high) * 0x1p-31 + static_cast<double>(low) * 0x1p-53;
}

// The phase step of `cycles` per frame, |cycles| < 0.5, as a two's-complement
// 64-bit fraction rounded toward minus infinity below 2^-64 of a cycle.
inline Phase StepOf(double cycles) {
  const double scaled = cycles * 0x1p32;  // |scaled| < 2^31
  const std::int32_t whole = FloorToInt(scaled);
  const double rest = (scaled - static_cast<double>(whole)) * 0x1p16;  // [0, 2^16), exact
  const std::int32_t upper = FloorToInt(rest);
  const auto lower = static_cast<std::int32_t>((rest - static_cast<double>(upper)) * 0x1p16);
  return (static_cast<Phase>(static_cast<std::uint32_t>(whole)) << 32) +
         (static_cast<Phase>(static_cast<std::uint32_t>(upper)) << 16) + static_cast<std::uint32_t>(lower);
}

// A fraction of a cycle in [0, 1) as a phase (rounded toward zero).
inline Phase UnitToPhase(double unit) { return StepOf(unit - 0.5) + (Phase{1} << 63); }

// sin(2π·x) for x in [0, 1): the nearest quarter cycle is taken off exactly,
// and what is left (at most an eighth of a cycle) goes through sine and
// cosine series cut where their next terms fall below 2^-56.
inline double SinCycles(double x) {
  const std::int32_t quarter = FloorToInt(4.0 * x + 0.5);  // 0..4
  const double theta = (x - 0.25 * static_cast<double>(quarter)) * kTwoPi;  // |theta| <= π/4
  const double t2 = theta * theta;
  double value;
  if ((quarter & 1) == 0) {
    // sin: θ - θ^3/3! + ... - θ^15/15!
    double s = -7.6471637318198164759e-13;
    s = s * t2 + 1.6059043836821614599e-10;
    s = s * t2 - 2.5052108385441718775e-08;
    s = s * t2 + 2.7557319223985890653e-06;
    s = s * t2 - 1.9841269841269841270e-04;
    s = s * t2 + 8.3333333333333333333e-03;
    s = s * t2 - 1.6666666666666666667e-01;
    value = theta + theta * t2 * s;
  } else {
    // cos: 1 - θ^2/2! + ... + θ^16/16!
    double c = 4.7794773323873852974e-14;
    c = c * t2 - 1.1470745597729724714e-11;
    c = c * t2 + 2.0876756987868098979e-09;
    c = c * t2 - 2.7557319223985890653e-07;
    c = c * t2 + 2.4801587301587301587e-05;
    c = c * t2 - 1.3888888888888888889e-03;
    c = c * t2 + 4.1666666666666666667e-02;
    c = c * t2 - 0.5;
    value = 1.0 + t2 * c;
  }
  return (quarter & 2) == 0 ? value : -value;
}

// e^x, to within an ulp or two: x = n·ln 2 + r with |r| <= ln 2 / 2 (ln 2 in
// two parts, so n·ln 2 loses nothing), e^r by its series, then 2^n. Beyond
// the double range: 0 below, the largest double above; NaN stays NaN.
inline double Exp(double x) {
  if (!(x < 709.78)) return x != x ? x : 1.7976931348623157e308;
  if (x < -745.2) return 0.0;
  const std::int32_t n = FloorToInt(x * 1.4426950408889634074 + 0.5);
  const double r = (x - static_cast<double>(n) * 6.93147180369123816490e-01) -
                   static_cast<double>(n) * 1.90821492927058770002e-10;
  double p = 1.6059043836821614599e-10;  // 1/13!
  p = p * r + 2.0876756987868098979e-09;
  p = p * r + 2.5052108385441718775e-08;
  p = p * r + 2.7557319223985890653e-07;
  p = p * r + 2.7557319223985890653e-06;
  p = p * r + 2.4801587301587301587e-05;
  p = p * r + 1.9841269841269841270e-04;
  p = p * r + 1.3888888888888888889e-03;
  p = p * r + 8.3333333333333333333e-03;
  p = p * r + 4.1666666666666666667e-02;
  p = p * r + 1.6666666666666666667e-01;
  p = p * r + 0.5;
  p = p * r + 1.0;
  p = p * r + 1.0;
  // 2^n in two factors, so a result near the bottom of the range rounds once.
  const std::int32_t half = n / 2;
  const auto power = [](std::int32_t e) { return std::bit_cast<double>(static_cast<std::uint64_t>(e + 1023) << 52); };
  return p * power(half) * power(n - half);
}

}  // namespace korvel::source_maths

// Twelve-decibel biquad filters: LP, HP, BP and BR. Their record, history
// step and control handling are shared with the State and IIR2 filters.
#pragma once

#include <cmath>

#include "engine/component.h"

namespace korvel {

inline constexpr int kLowpassType = 15;
inline constexpr int kHighpassType = 16;
inline constexpr int kBandpassType = 17;
inline constexpr int kBandRejectType = 18;

// Already divided by a0; the feedback pair is negated so that it is added.
struct BiquadCoefficients {
  double b0, b1, b2, c1, c2;
};

struct BiquadHistory {
  double x1, x2;  // previous two inputs
  double y1, y2;  // previous two outputs
};

struct BiquadRecord : ComponentRecord {
  BiquadCoefficients k;
  double cached_cutoff;     // raw control values the coefficients came from
  double cached_resonance;  // (bandwidth for BP and BR)
  BiquadHistory channel[2];
};

// The difference equation, terms added left to right, for one value or for
// a vector of values (both channels at once): the same operations in the
// same order either way, so the same bits in every lane.
template <typename Value, typename Coefficients, typename History>
inline Value DifferenceStep(const Coefficients& k, History& h, Value x) {
  const Value y = k.b0 * x + k.b1 * h.x1 + k.b2 * h.x2 + k.c1 * h.y1 + k.c2 * h.y2;
  h.x2 = h.x1;
  h.x1 = x;
  h.y2 = h.y1;
  h.y1 = y;
  return y;
}

// One value through the difference equation.
inline double BiquadStep(const BiquadCoefficients& k, BiquadHistory& h, double x) { return DifferenceStep(k, h, x); }

// Whether a control value differs from its cached one. A NaN new value
// counts as unchanged, so it never triggers a recomputation; a NaN cached
// value is unequal to every number, so the first number after it does.
inline bool ControlChanged(double value, double cached) { return value == value && !(value == cached); }

// The safety rule for recursive filters, applied once per block after the
// loop: a history holding a non-finite value is cleared, so the filter
// recovers at the next block instead of giving NaN until it is reset. A
// history of finite values is left exactly as it is.
inline void ClearIfNotFinite(BiquadHistory& h) {
  if (!(std::isfinite(h.x1) && std::isfinite(h.x2) && std::isfinite(h.y1) && std::isfinite(h.y2))) h = {};
}

// Coefficients a design could not give as numbers (a band-pass near the top
// cutoff overflows sinh) would turn every output value into NaN; the filter
// is silent instead until its controls give a usable design.
inline BiquadCoefficients FiniteOrSilent(const BiquadCoefficients& k) {
  if (std::isfinite(k.b0) && std::isfinite(k.b1) && std::isfinite(k.b2) && std::isfinite(k.c1) && std::isfinite(k.c2))
    return k;
  return {};
}

// Limits v to lo..hi; a NaN goes to the lower bound.
inline double LimitControl(double v, double lo, double hi) {
  if (!(v >= lo)) return lo;
  return v > hi ? hi : v;
}

inline constexpr double kMinCutoff = 20.0;
inline constexpr double kMaxCutoff = 22000.0;
inline constexpr double kMinResonance = 0.004999999888241291;  // 0.005 in single precision
inline constexpr double kMaxBiquadResonance = 127.0;
inline constexpr double kTwoPi = 6.2831854820251465;  // 2π in single precision

// Coefficients of each design from limited controls f (Hz) and r, at fs.
BiquadCoefficients LowpassCoefficients(double f, double r, double fs);
BiquadCoefficients HighpassCoefficients(double f, double r, double fs);
BiquadCoefficients BandpassCoefficients(double f, double w, double fs);
BiquadCoefficients BandRejectCoefficients(double f, double w, double fs);

void ProcessLowpass(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessHighpass(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessBandpass(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessBandReject(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
// Any mix of the four and the IIR2 in series, two filters per pass over
// the block.
bool ProcessBiquadCascade(const ComponentCall* calls, int count);
// One filter over the block in place with its coefficients as they stand;
// a non-finite history is cleared afterwards.
void RunBiquadStage(BiquadRecord& filter, double* b, int frames);

inline constexpr TypeDescription kBiquadTypes[] = {
    {kLowpassType, "LP filter", 3, 1, kProcessingColour,
     "LP FILTER\r\n"
     "This component filters the incoming samples with a 12dB/oct Lowpass filter.\r\n\r\n"
     "in1: Input to be filtered\r\n"
     "in2: Cutoff\r\n"
     "in3: Resonance\r\n"
     "out1: Filtered result",
     sizeof(BiquadRecord), ProcessLowpass, nullptr, ProcessBiquadCascade},
    {kHighpassType, "HP filter", 3, 1, kProcessingColour,
     "HP FILTER\r\n"
     "The highpass filter component filters the incoming samples with a 12dB/oct Highpass filter.\r\n\r\n"
     "in1: Input to be filtered\r\n"
     "in2: Cutoff\r\n"
     "in3: Resonance\r\n"
     "out1: Filtered result",
     sizeof(BiquadRecord), ProcessHighpass, nullptr, ProcessBiquadCascade},
    {kBandpassType, "BP filter", 3, 1, kProcessingColour,
     "BP FILTER\r\n"
     "The Bandpass filter component filters the incoming samples with a type of Bandpass filter.\r\n\r\n"
     "in1: Input to be filtered\r\n"
     "in2: Cutoff\r\n"
     "in3: Bandwidth\r\n"
     "out1: Filtered result",
     sizeof(BiquadRecord), ProcessBandpass, nullptr, ProcessBiquadCascade},
    {kBandRejectType, "BR filter", 3, 1, kProcessingColour,
     "BR FILTER\r\n"
     "The band reject filter component filters the incoming samples with a Notch (band reject) filter.\r\n\r\n"
     "in1: Input to be filtered\r\n"
     "in2: Cutoff\r\n"
     "in3: Bandwidth\r\n"
     "out1: Filtered result",
     sizeof(BiquadRecord), ProcessBandReject, nullptr, ProcessBiquadCascade},
};

}  // namespace korvel

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

// The highest cutoff a filter is computed with at sample rate fs: 22000 Hz,
// or 0.499 fs where that is lower. A design at or past half the rate has
// its poles outside the unit circle and grows without bound, so a module
// written for 44.1 kHz must not explode at 22.05 kHz; at 44.1 kHz and above
// the bound stays 22000, so those renders keep their bits.
inline double TopCutoff(double fs) {
  const double top = 0.499 * fs;
  return top < kMaxCutoff ? top : kMaxCutoff;
}
inline double LimitCutoff(double f, double fs) { return LimitControl(f, kMinCutoff, TopCutoff(fs)); }

// Coefficients of each design from limited controls f (Hz) and r, at fs.
BiquadCoefficients LowpassCoefficients(double f, double r, double fs);
BiquadCoefficients HighpassCoefficients(double f, double r, double fs);
BiquadCoefficients BandpassCoefficients(double f, double w, double fs);
BiquadCoefficients BandRejectCoefficients(double f, double w, double fs);

// One filter over the block in place with its coefficients as they stand;
// a non-finite history is cleared afterwards.
void RunBiquadStage(BiquadRecord& filter, double* b, int frames);

// The family's block procedure, written once for every design. A Section
// names its record, the control inputs it reads (from in2 on) and how its
// coefficients follow from them:
//   using Record = ...;             // a BiquadRecord, perhaps with more cache
//   static constexpr int kControls;
//   static Signal Resolve(int k, const Signal& s);        // what control k reads
//   static void Update(Record&, const double* controls);  // recompute if changed
// Resolve gives an unconnected control its default, or leaves it
// unconnected when the filter cannot run without it; the output is then
// the constant 0.0 and the record is left as it was, as it is when in1 is
// not a buffer.
template <class Section>
struct SectionInputs {
  Signal in;
  Signal control[Section::kControls];

  SectionInputs(ComponentRecord* const* inputs, const std::int16_t* source_outputs)
      : in(ReadInput(inputs, source_outputs, 0)) {
    for (int k = 0; k < Section::kControls; ++k)
      control[k] = Section::Resolve(k, ReadInput(inputs, source_outputs, k + 1));
  }
  bool ControlsConnected() const {
    for (const Signal& c : control)
      if (!c.connected()) return false;
    return true;
  }
  // Whether the coefficients can change only at the block's first frame.
  bool ControlsAreConstants() const {
    for (const Signal& c : control)
      if (!c.is_constant()) return false;
    return true;
  }
};

template <class Section>
void ProcessSection(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  auto* rec = static_cast<typename Section::Record*>(self);
  const SectionInputs<Section> s(inputs, source_outputs);
  if (!s.in.is_buffer() || !s.ControlsConnected()) {
    SetConstant(self, 0, 0.0);
    return;
  }
  double* b = s.in.buffer;
  const int frames = self->block_length;
  double v[Section::kControls];
  if (s.ControlsAreConstants()) {
    if (frames > 0) {
      for (int k = 0; k < Section::kControls; ++k) v[k] = s.control[k].value;
      Section::Update(*rec, v);
    }
    RunBiquadStage(*rec, b, frames);
  } else {
    // Working copies: the block cannot alias them, so they stay in registers.
    BiquadHistory h0 = rec->channel[0], h1 = rec->channel[1];
    for (int f = 0; f < frames; ++f) {
      for (int k = 0; k < Section::kControls; ++k) v[k] = s.control[k].control(f);
      Section::Update(*rec, v);
      const BiquadCoefficients k = rec->k;
      b[2 * f] = BiquadStep(k, h0, b[2 * f]);
      b[2 * f + 1] = BiquadStep(k, h1, b[2 * f + 1]);
    }
    ClearIfNotFinite(h0);
    ClearIfNotFinite(h1);
    rec->channel[0] = h0;
    rec->channel[1] = h1;
  }
  SetBuffer(self, 0, b);
}

// What a cascade member does before the pass: tell whether its
// coefficients hold for the whole block, then bring them up to date.
struct SectionSetup {
  bool (*holds)(const ComponentCall&) = nullptr;
  void (*take)(const ComponentCall&) = nullptr;
};

template <class Section>
bool SectionHolds(const ComponentCall& c) {
  return SectionInputs<Section>(c.inputs, c.source_outputs).ControlsAreConstants();
}

template <class Section>
void TakeSection(const ComponentCall& c) {
  const SectionInputs<Section> s(c.inputs, c.source_outputs);
  double v[Section::kControls];
  for (int k = 0; k < Section::kControls; ++k) v[k] = s.control[k].value;
  Section::Update(*static_cast<typename Section::Record*>(c.self), v);
}

template <class Section>
constexpr SectionSetup SetupOf() {
  return {SectionHolds<Section>, TakeSection<Section>};
}

void ProcessLowpass(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessHighpass(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessBandpass(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessBandReject(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
// Any mix of the four and the IIR2 in series, two filters per pass over
// the block.
bool ProcessBiquadCascade(const ComponentCall* calls, int count);

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

#include "components/biquad_filters.h"

#include <cmath>

#include "engine/host_timing.h"

namespace korvel {

BiquadCoefficients LowpassCoefficients(double f, double r, double fs) {
  const double w0 = kTwoPi * f / fs;
  const double sinw = std::sin(w0), cosw = std::cos(w0);
  const double alpha = sinw / r;
  const double a0 = 1 + alpha;
  const double b0 = (1 - cosw) * 0.5 / a0;
  return {b0, (1 - cosw) / a0, b0, 2 * cosw / a0, -(1 - alpha) / a0};
}

BiquadCoefficients HighpassCoefficients(double f, double r, double fs) {
  const double w0 = kTwoPi * f / fs;
  const double sinw = std::sin(w0), cosw = std::cos(w0);
  const double alpha = sinw / r;
  const double a0 = 1 + alpha;
  const double b0 = (1 + cosw) * 0.5 / a0;
  return {b0, -(1 + cosw) / a0, b0, 2 * cosw / a0, -(1 - alpha) / a0};
}

BiquadCoefficients BandpassCoefficients(double f, double w, double fs) {
  const double w0 = kTwoPi * f / fs;
  const double sinw = std::sin(w0), cosw = std::cos(w0);
  const double alpha = sinw * std::sinh(0.5 * w * w0 / sinw);
  const double a0 = 1 + alpha;
  return {alpha / a0, 0.0, -alpha / a0, 2 * cosw / a0, -(1 - alpha) / a0};
}

BiquadCoefficients BandRejectCoefficients(double f, double w, double fs) {
  const double w0 = kTwoPi * f / fs;
  const double sinw = std::sin(w0), cosw = std::cos(w0);
  const double alpha = sinw * std::sinh(0.125 * w * w0 / sinw);
  const double a0 = 1 + alpha;
  const double b0 = 1 / a0;
  return {b0, -2 * cosw / a0, b0, 2 * cosw / a0, -(1 - alpha) / a0};
}

namespace {

using Design = BiquadCoefficients (*)(double, double, double);

// Recomputes the coefficients when a raw control value differs from the cache.
template <Design design>
void Update(BiquadRecord* rec, double f, double r) {
  if (!ControlChanged(f, rec->cached_cutoff) && !ControlChanged(r, rec->cached_resonance)) return;
  rec->cached_cutoff = f;
  rec->cached_resonance = r;
  const double fs = LoadHostTiming().sample_rate;
  rec->k = FiniteOrSilent(
      design(LimitControl(f, kMinCutoff, kMaxCutoff), LimitControl(r, kMinResonance, kMaxBiquadResonance), fs));
}

template <Design design>
void ProcessBiquad(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  auto* rec = static_cast<BiquadRecord*>(self);
  const Signal in = ReadInput(inputs, source_outputs, 0);
  const Signal cutoff = ReadInput(inputs, source_outputs, 1);
  const Signal resonance = ReadInput(inputs, source_outputs, 2);
  if (!in.is_buffer() || !cutoff.connected() || !resonance.connected()) {
    SetConstant(self, 0, 0.0);
    return;
  }
  double* b = in.buffer;
  const int frames = self->block_length;
  // Working copies: the block cannot alias them, so they stay in registers.
  BiquadHistory h0 = rec->channel[0], h1 = rec->channel[1];
  if (!cutoff.is_buffer() && !resonance.is_buffer()) {
    // Constant controls can change the coefficients only at the first frame.
    if (frames > 0) Update<design>(rec, cutoff.value, resonance.value);
    const BiquadCoefficients k = rec->k;
    for (int f = 0; f < frames; ++f) {
      b[2 * f] = BiquadStep(k, h0, b[2 * f]);
      b[2 * f + 1] = BiquadStep(k, h1, b[2 * f + 1]);
    }
  } else {
    for (int f = 0; f < frames; ++f) {
      Update<design>(rec, cutoff.control(f), resonance.control(f));
      const BiquadCoefficients k = rec->k;
      b[2 * f] = BiquadStep(k, h0, b[2 * f]);
      b[2 * f + 1] = BiquadStep(k, h1, b[2 * f + 1]);
    }
  }
  ClearIfNotFinite(h0);
  ClearIfNotFinite(h1);
  rec->channel[0] = h0;
  rec->channel[1] = h1;
  SetBuffer(self, 0, b);
}

}  // namespace

void ProcessLowpass(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  ProcessBiquad<LowpassCoefficients>(self, inputs, source_outputs);
}
void ProcessHighpass(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  ProcessBiquad<HighpassCoefficients>(self, inputs, source_outputs);
}
void ProcessBandpass(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  ProcessBiquad<BandpassCoefficients>(self, inputs, source_outputs);
}
void ProcessBandReject(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  ProcessBiquad<BandRejectCoefficients>(self, inputs, source_outputs);
}

}  // namespace korvel

#include "components/biquad_filters.h"

#include <cmath>
#include <cstring>

#include "components/eq_filters.h"
#include "components/iir_fir_filters.h"
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

// LP, HP, BP and BR: a cutoff and a resonance (or bandwidth), both needed.
template <Design design>
struct CutoffSection {
  using Record = BiquadRecord;
  static constexpr int kControls = 2;
  static Signal Resolve(int, const Signal& s) { return s; }
  // Recomputes the coefficients when a raw control value differs from the cache.
  static void Update(BiquadRecord& rec, const double* controls) {
    const double f = controls[0], r = controls[1];
    if (!ControlChanged(f, rec.cached_cutoff) && !ControlChanged(r, rec.cached_resonance)) return;
    rec.cached_cutoff = f;
    rec.cached_resonance = r;
    const double fs = SampleRateOf(&rec);
    rec.k = FiniteOrSilent(design(LimitCutoff(f, fs), LimitControl(r, kMinResonance, kMaxBiquadResonance), fs));
  }
};

// Both channels of one filter side by side in one register: channel 0 in
// lane 0, channel 1 in lane 1, as they lie in the block. Each operation of
// the difference equation then advances both channels at once, with the
// same operations in the same order as BiquadStep, so the same bits.
using ChannelPair = double __attribute__((vector_size(16)));

struct PairedStage {
  ChannelPair b0, b1, b2, c1, c2;
  ChannelPair x1, x2, y1, y2;
};

PairedStage Pair(const BiquadRecord& r) {
  const BiquadCoefficients& k = r.k;
  const BiquadHistory &h0 = r.channel[0], &h1 = r.channel[1];
  return {ChannelPair{k.b0, k.b0}, ChannelPair{k.b1, k.b1}, ChannelPair{k.b2, k.b2}, ChannelPair{k.c1, k.c1},
          ChannelPair{k.c2, k.c2}, ChannelPair{h0.x1, h1.x1}, ChannelPair{h0.x2, h1.x2}, ChannelPair{h0.y1, h1.y1},
          ChannelPair{h0.y2, h1.y2}};
}

void Unpair(const PairedStage& s, BiquadRecord& r) {
  for (int c = 0; c < 2; ++c) {
    r.channel[c] = {s.x1[c], s.x2[c], s.y1[c], s.y2[c]};
    ClearIfNotFinite(r.channel[c]);
  }
}

inline ChannelPair PairedStep(PairedStage& s, ChannelPair x) { return DifferenceStep(s, s, x); }

inline ChannelPair LoadFrame(const double* b) {
  ChannelPair v;
  std::memcpy(&v, b, sizeof v);
  return v;
}

inline void StoreFrame(double* b, ChannelPair v) { std::memcpy(b, &v, sizeof v); }

// Two filters in series over the block, frame by frame. One filter's next
// output waits on its last (about nine cycles of multiply and add), so a
// lone filter leaves the arithmetic units mostly idle; with the second
// filter's step in the same loop the processor works on both recurrences at
// once. Each filter still sees the same values in the same order, so the
// bits are those of running them one after the other. (Three or more in
// one loop run out of registers on x86-64 and measured no faster.)
void RunStagePair(BiquadRecord& first, BiquadRecord& second, double* b, int frames) {
  PairedStage s = Pair(first), t = Pair(second);
  for (int f = 0; f < frames; ++f) StoreFrame(b + 2 * f, PairedStep(t, PairedStep(s, LoadFrame(b + 2 * f))));
  Unpair(s, first);
  Unpair(t, second);
}

SectionSetup SetupFor(ComponentProcess process) {
  if (process == ProcessLowpass) return SetupOf<CutoffSection<LowpassCoefficients>>();
  if (process == ProcessHighpass) return SetupOf<CutoffSection<HighpassCoefficients>>();
  if (process == ProcessBandpass) return SetupOf<CutoffSection<BandpassCoefficients>>();
  if (process == ProcessBandReject) return SetupOf<CutoffSection<BandRejectCoefficients>>();
  if (process == ProcessIir2) return {Iir2CoefficientsHold, TakeIir2Coefficients};
  return EqSetupFor(process);
}

}  // namespace

void ProcessLowpass(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  ProcessSection<CutoffSection<LowpassCoefficients>>(self, inputs, source_outputs);
}
void ProcessHighpass(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  ProcessSection<CutoffSection<HighpassCoefficients>>(self, inputs, source_outputs);
}
void ProcessBandpass(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  ProcessSection<CutoffSection<BandpassCoefficients>>(self, inputs, source_outputs);
}
void ProcessBandReject(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  ProcessSection<CutoffSection<BandRejectCoefficients>>(self, inputs, source_outputs);
}

void RunBiquadStage(BiquadRecord& filter, double* b, int frames) {
  PairedStage s = Pair(filter);
  for (int f = 0; f < frames; ++f) StoreFrame(b + 2 * f, PairedStep(s, LoadFrame(b + 2 * f)));
  Unpair(s, filter);
}

// Every member's coefficients must hold for the whole block (they come
// from constants); the first member needs a buffer to work in, which then
// passes down the cascade. Otherwise the engine calls the members one by
// one.
bool ProcessBiquadCascade(const ComponentCall* calls, int count) {
  if (count <= 0 || !ReadInput(calls[0].inputs, calls[0].source_outputs, 0).is_buffer()) return false;
  for (int i = 0; i < count; ++i) {
    const SectionSetup setup = SetupFor(calls[i].process);
    if (setup.holds == nullptr || !setup.holds(calls[i])) return false;
  }
  double* b = ReadInput(calls[0].inputs, calls[0].source_outputs, 0).buffer;
  const int frames = calls[0].self->block_length;
  if (frames > 0)
    for (int i = 0; i < count; ++i) SetupFor(calls[i].process).take(calls[i]);
  int i = 0;
  for (; i + 1 < count; i += 2)
    RunStagePair(*static_cast<BiquadRecord*>(calls[i].self), *static_cast<BiquadRecord*>(calls[i + 1].self), b,
                 frames);
  if (i < count) RunBiquadStage(*static_cast<BiquadRecord*>(calls[i].self), b, frames);
  for (i = 0; i < count; ++i) SetBuffer(calls[i].self, 0, b);
  return true;
}

}  // namespace korvel

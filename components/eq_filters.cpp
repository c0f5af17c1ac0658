#include "components/eq_filters.h"

#include <cmath>
#include <limits>
#include <numbers>

#include "engine/host_timing.h"

namespace korvel {

namespace {

// The equalisers are designed with 2π itself, not the single-precision
// value of the older filters: they are meant to give, to the last few
// bits, what other tools give for the same frequency.
constexpr double kExactTwoPi = 2 * std::numbers::pi;

struct Angle {
  double cosw, alpha;
};

Angle AngleOf(double f, double q, double fs) {
  const double w0 = kExactTwoPi * f / fs;
  return {std::cos(w0), std::sin(w0) / (2 * q)};
}

// Divides by a0 and negates the feedback pair, as the record keeps them.
BiquadCoefficients Normalised(double b0, double b1, double b2, double a0, double a1, double a2) {
  return {b0 / a0, b1 / a0, b2 / a0, -a1 / a0, -a2 / a0};
}

// A gain of NaN is no gain at all; otherwise it is held to ±60 dB.
double LimitGain(double gain) {
  if (gain != gain) return 0.0;
  return gain < -kMaxEqGain ? -kMaxEqGain : gain > kMaxEqGain ? kMaxEqGain : gain;
}

using EqDesign = BiquadCoefficients (*)(double, double, double, double);

// in2 frequency (needed), in3 gain in dB (unconnected: 0 dB), in4 Q
// (unconnected: 1/√2).
template <EqDesign design>
struct EqSection {
  using Record = EqRecord;
  static constexpr int kControls = 3;
  static Signal Resolve(int k, const Signal& s) {
    if (s.connected() || k == 0) return s;
    return {Signal::kConstant, k == 1 ? 0.0 : kDefaultEqQ, nullptr};
  }
  static void Update(EqRecord& rec, const double* controls) {
    const double f = controls[0], gain = controls[1], q = controls[2];
    if (!ControlChanged(f, rec.cached_cutoff) && !ControlChanged(gain, rec.cached_gain) &&
        !ControlChanged(q, rec.cached_resonance))
      return;
    rec.cached_cutoff = f;
    rec.cached_gain = gain;
    rec.cached_resonance = q;
    const double fs = SampleRateOf(&rec);
    rec.k = FiniteOrSilent(
        design(LimitCutoff(f, fs), LimitGain(gain), LimitControl(q, kMinResonance, kMaxBiquadResonance), fs));
  }
};

}  // namespace

BiquadCoefficients PeakEqCoefficients(double f, double gain, double q, double fs) {
  const double a = std::pow(10.0, gain / 40);
  const auto [cosw, alpha] = AngleOf(f, q, fs);
  return Normalised(1 + alpha * a, -2 * cosw, 1 - alpha * a, 1 + alpha / a, -2 * cosw, 1 - alpha / a);
}

BiquadCoefficients LowShelfCoefficients(double f, double gain, double q, double fs) {
  const double a = std::pow(10.0, gain / 40);
  const auto [cosw, alpha] = AngleOf(f, q, fs);
  const double root = 2 * std::sqrt(a) * alpha;
  return Normalised(a * ((a + 1) - (a - 1) * cosw + root), 2 * a * ((a - 1) - (a + 1) * cosw),
                    a * ((a + 1) - (a - 1) * cosw - root), (a + 1) + (a - 1) * cosw + root,
                    -2 * ((a - 1) + (a + 1) * cosw), (a + 1) + (a - 1) * cosw - root);
}

BiquadCoefficients HighShelfCoefficients(double f, double gain, double q, double fs) {
  const double a = std::pow(10.0, gain / 40);
  const auto [cosw, alpha] = AngleOf(f, q, fs);
  const double root = 2 * std::sqrt(a) * alpha;
  return Normalised(a * ((a + 1) + (a - 1) * cosw + root), -2 * a * ((a - 1) + (a + 1) * cosw),
                    a * ((a + 1) + (a - 1) * cosw - root), (a + 1) - (a - 1) * cosw + root,
                    2 * ((a - 1) - (a + 1) * cosw), (a + 1) - (a - 1) * cosw - root);
}

BiquadCoefficients AllpassCoefficients(double f, double, double q, double fs) {
  const auto [cosw, alpha] = AngleOf(f, q, fs);
  return Normalised(1 - alpha, -2 * cosw, 1 + alpha, 1 + alpha, -2 * cosw, 1 - alpha);
}

void ProcessPeakEq(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  ProcessSection<EqSection<PeakEqCoefficients>>(self, inputs, source_outputs);
}
void ProcessLowShelf(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  ProcessSection<EqSection<LowShelfCoefficients>>(self, inputs, source_outputs);
}
void ProcessHighShelf(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  ProcessSection<EqSection<HighShelfCoefficients>>(self, inputs, source_outputs);
}
void ProcessAllpass(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  ProcessSection<EqSection<AllpassCoefficients>>(self, inputs, source_outputs);
}

void InitialiseEq(ComponentRecord* self) {
  auto* rec = static_cast<EqRecord*>(self);
  constexpr double kNone = std::numeric_limits<double>::quiet_NaN();
  rec->cached_cutoff = rec->cached_resonance = rec->cached_gain = kNone;
}

SectionSetup EqSetupFor(ComponentProcess process) {
  if (process == ProcessPeakEq) return SetupOf<EqSection<PeakEqCoefficients>>();
  if (process == ProcessLowShelf) return SetupOf<EqSection<LowShelfCoefficients>>();
  if (process == ProcessHighShelf) return SetupOf<EqSection<HighShelfCoefficients>>();
  if (process == ProcessAllpass) return SetupOf<EqSection<AllpassCoefficients>>();
  return {};
}

}  // namespace korvel

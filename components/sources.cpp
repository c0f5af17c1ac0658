#include "components/sources.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <nlohmann/json.hpp>

#include "components/source_maths.h"
#include "engine/host_timing.h"
#include "engine/type_settings.h"

namespace korvel {
namespace {

#include "components/source_tables.inc"

using namespace source_maths;

static_assert(kBlepTaps == kCornerFrames, "a corner's corrections reach kCornerFrames frames");
static_assert(sizeof(kFmDecimator) / sizeof(kFmDecimator[0]) == kFmDecimatorTaps);

constexpr double kLargest = 1e300;  // what an amplitude or level is limited to

double Clamp(double value, double low, double high) { return value < low ? low : (value > high ? high : value); }

// A level or amplitude: non-finite values are silence, the rest kept below
// 1e300 so that the wave times it stays finite.
double Level(double value) { return std::isfinite(value) ? Clamp(value, -kLargest, kLargest) : 0.0; }

// A choice read from a control: rounded to the nearest whole number within
// 0..last; NaN is 0.
int Choice(double value, int last) {
  if (!(value >= 0.0)) return 0;
  if (value >= last) return last;
  return FloorToInt(value + 0.5);
}

// Frames in a time of `ms` milliseconds: NaN and negative times are 0.
double FramesIn(double ms, double rate) { return ms > 0.0 ? ms * rate * 0.001 : 0.0; }

// ------------------------------------------------------------- Oscillator
//
// The naive wave (exact at every phase, so an LFO keeps its shape) plus a
// correction at each corner: a minimum-phase band-limited step for a jump
// in the wave, its integral for a bend in the slope. The corrections are
// added to the coming frames, from the corner's fraction of a frame on, so
// the output is what a band-limited wave would give at the frame, with no
// latency. A minimum-phase step arrives late by kBlepRampSettle
// frames at low frequencies; the straight parts of the wave are moved by
// the same amount (the slope term), which keeps the wave's mean at zero.

enum Shape : std::int32_t { kSine = 0, kTriangle = 1, kSaw = 2, kPulse = 3 };

constexpr Phase kHalfCycle = Phase{1} << 63;

// The pulse's falling edge for a width in 0..1: high while the phase is
// below it.
Phase EdgeOf(double width) { return UnitToPhase(width < 1.0 ? width : 0x1.fffffffffffffp-1); }

double Naive(int shape, Phase phase, Phase edge) {
  switch (shape) {
    case kTriangle: {
      const double u = PhaseToUnit(phase);
      return u < 0.5 ? 4.0 * u - 1.0 : 3.0 - 4.0 * u;
    }
    case kSaw:
      // 2u - 1 from the top 32 bits: one conversion, 2^-31 resolution.
      return static_cast<double>(static_cast<std::int32_t>(static_cast<std::uint32_t>(phase >> 32) ^ 0x80000000u)) *
             0x1p-31;
    case kPulse:
      return phase < edge ? 1.0 : -1.0;
    default:
      return SinCycles(PhaseToUnit(phase));
  }
}

// The naive wave's slope per frame; the sine needs no corrections and
// counts as 0.
double SlopeOf(int shape, Phase phase, double cycles) {
  if (shape == kSaw) return 2.0 * cycles;
  if (shape == kTriangle) return phase < kHalfCycle ? 4.0 * cycles : -4.0 * cycles;
  return 0.0;
}

// The wave plus its slope term: what the output follows between corners.
double Settled(int shape, Phase phase, Phase edge, double cycles) {
  return Naive(shape, phase, edge) + kBlepRampSettle * SlopeOf(shape, phase, cycles);
}

// The step and ramp tables refined to kFineRows rows per frame by the
// tables' own Hermite interpolation (their slope tables, and the step as
// the ramp's slope), so that a corner reads them by straight lines: two
// values a tap instead of four. Built once, off the audio thread, when the
// first Oscillator is made; 256 KB.
constexpr int kFineRows = 512;
constexpr int kRefine = kFineRows / kBlepPhases;
struct FineTables {
  double step[kFineRows + 1][kBlepTaps];
  double ramp[kFineRows + 1][kBlepTaps];
};
FineTables g_fine;

void RefineTables() {
  for (int row = 0; row <= kFineRows; ++row) {
    const int coarse = row / kRefine < kBlepPhases ? row / kRefine : kBlepPhases - 1;
    const double w = static_cast<double>(row - coarse * kRefine) / kRefine;
    const double w2 = w * w, w3 = w2 * w;
    const double a = 2.0 * w3 - 3.0 * w2 + 1.0, b = (w3 - 2.0 * w2 + w) / kBlepPhases;
    const double c = 3.0 * w2 - 2.0 * w3, d = (w3 - w2) / kBlepPhases;
    for (int i = 0; i < kBlepTaps; ++i) {
      const double s0 = kBlepStep[coarse][i], s1 = kBlepStep[coarse + 1][i];
      g_fine.step[row][i] = a * s0 + b * kBlepSlope[coarse][i] + c * s1 + d * kBlepSlope[coarse + 1][i];
      g_fine.ramp[row][i] = a * kBlepRamp[coarse][i] + b * s0 + c * kBlepRamp[coarse + 1][i] + d * s1;
    }
  }
}

// Adds the corrections for a corner `ago` frames before frame `f` (0..1):
// `jump` in the wave's value, `bend` in its slope per frame.
void AddCorner(OscillatorRecord& o, int f, double ago, double jump, double bend) {
  const double position = Clamp(ago, 0.0, 1.0) * kFineRows;
  int row = FloorToInt(position);
  if (row > kFineRows - 1) row = kFineRows - 1;
  const double w = position - row;
  double* to = o.pending + f;
  if (jump != 0.0) {
    const double* near = g_fine.step[row];
    const double* far = g_fine.step[row + 1];
    for (int i = 0; i < kBlepTaps; ++i) to[i] += jump * (near[i] + w * (far[i] - near[i]));
  }
  if (bend != 0.0) {
    const double* near = g_fine.ramp[row];
    const double* far = g_fine.ramp[row + 1];
    for (int i = 0; i < kBlepTaps; ++i) to[i] += bend * (near[i] + w * (far[i] - near[i]));
  }
}

// How long ago a boundary was crossed, given how far past it the value now
// is and how fast it moved (both in cycles).
double Ago(double past, double speed) {
  const double ago = past / Magnitude(speed);
  return ago >= 0.0 ? (ago < 1.0 ? ago : 1.0) : 0.0;
}

// The pulse's corners in one frame. The pulse is high while the phase is
// below the edge; it rises where the phase wraps past 0 and falls where it
// passes the edge (or the edge passes it). Which jumps happened follows
// from the exact states; only their times are estimates.
void PulseCorners(OscillatorRecord& o, int f, Phase old_phase, double cycles, double edge_speed) {
  const bool wrapped_up = cycles > 0.0 && o.phase < old_phase;
  const bool wrapped_down = cycles < 0.0 && o.phase > old_phase;
  const bool now = o.phase < o.edge;
  bool high = o.pulse_high != 0;
  if (!wrapped_up && !wrapped_down && high == now) return;
  const double speed = cycles - edge_speed;  // the phase against the edge
  const double relative = PhaseToUnit(o.phase - o.edge);
  const double fall_ago = Ago(relative, speed);        // passed upward through the edge
  const double rise_ago = Ago(1.0 - relative, speed);  // passed downward
  if (wrapped_up) {
    const double ago = Ago(PhaseToUnit(o.phase), cycles);
    if (high) AddCorner(o, f, fall_ago, -2.0, 0.0);  // fell before it wrapped
    high = o.edge > 0;
    if (high) AddCorner(o, f, ago, 2.0, 0.0);
  } else if (wrapped_down) {
    const double ago = Ago(1.0 - PhaseToUnit(o.phase), cycles);
    if (!high && o.edge > 0) {
      AddCorner(o, f, rise_ago, 2.0, 0.0);  // rose before it wrapped
      high = true;
    }
    if (high) AddCorner(o, f, ago, -2.0, 0.0);
    high = false;
  }
  if (high != now) AddCorner(o, f, now ? rise_ago : fall_ago, now ? 2.0 : -2.0, 0.0);
  o.pulse_high = now ? 1 : 0;
}

// The triangle's corners: a bend of +8 cycles per frame at 0, -8 at half a
// cycle, whichever way the phase runs.
void TriangleCorners(OscillatorRecord& o, int f, Phase old_phase, double cycles) {
  const double speed = Magnitude(cycles);
  if (cycles > 0.0 && o.phase < old_phase) {
    AddCorner(o, f, Ago(PhaseToUnit(o.phase), cycles), 0.0, 8.0 * speed);
  } else if (cycles < 0.0 && o.phase > old_phase) {
    AddCorner(o, f, Ago(1.0 - PhaseToUnit(o.phase), cycles), 0.0, 8.0 * speed);
  } else if ((old_phase < kHalfCycle) != (o.phase < kHalfCycle)) {
    const double u = PhaseToUnit(o.phase);
    AddCorner(o, f, Ago(cycles > 0.0 ? u - 0.5 : 0.5 - u, cycles), 0.0, -8.0 * speed);
  }
}

void SawCorners(OscillatorRecord& o, int f, Phase old_phase, double cycles) {
  if (cycles > 0.0 && o.phase < old_phase) AddCorner(o, f, Ago(PhaseToUnit(o.phase), cycles), -2.0, 0.0);
  if (cycles < 0.0 && o.phase > old_phase) AddCorner(o, f, Ago(1.0 - PhaseToUnit(o.phase), cycles), 2.0, 0.0);
}

// One frame's output: the settled wave plus the corrections for the frame
// (0 where there are none), times the gain. The same arithmetic on every
// path, so a block gives the same bits however it is taken.
inline void Emit(OscillatorRecord& o, int f, double settled, double scale) {
  o.out[2 * f] = o.out[2 * f + 1] = (settled + o.pending[f]) * scale;
}

// What one frame's controls ask for.
struct OscillatorControls {
  double cycles;  // per frame; 0 when silent
  double scale;   // the fade near half the rate times the amplitude
  double width;
  int shape;
  bool restart;
};

OscillatorControls ReadControls(OscillatorRecord& o, const Signal* in, int f, double per_frame) {
  OscillatorControls c;
  c.cycles = NumberOr(in[0].control(f) * per_frame, 0.0);
  double gain = 1.0;
  const double speed = Magnitude(c.cycles);
  if (!(speed < 0.5)) {
    c.cycles = 0.0;  // silent from half the rate up, and the phase holds
    gain = 0.0;
  } else if (speed > 0.45) {
    gain = (0.5 - speed) * 20.0;  // fades out over the top tenth below half the rate
  }
  c.shape = Choice(in[1].control(f), kPulse);
  c.width = in[2].connected() ? Clamp(NumberOr(in[2].control(f), 0.5), 0.0, 1.0) : 0.5;
  c.scale = gain * (in[4].connected() ? Level(in[4].control(f)) : kDefaultAmplitude);
  c.restart = o.sync.Rises(in[3].control(f));
  return c;
}

// One frame with everything that may change: shape, width, frequency, sync.
void AnyFrame(OscillatorRecord& o, int f, const OscillatorControls& c, double glide) {
  const int shape = c.shape;
  if (o.started == 0) {
    // The first frame is the cycle's start.
    o.started = 1;
    o.phase = 0;
    o.pulse_width = c.width;
    o.edge = EdgeOf(c.width);
    o.pulse_high = o.edge > 0 ? 1 : 0;
    o.shape = shape;
    o.cycles = c.cycles;
    o.step = StepOf(c.cycles);
    o.slope = SlopeOf(shape, 0, c.cycles);
    // From silence into the wave: the first value, too, is a band-limited
    // step, so a saw or pulse does not start with a click.
    AddCorner(o, f, 0.0, Settled(shape, 0, o.edge, c.cycles), 0.0);
  } else {
    const Phase old_phase = o.phase, old_edge = o.edge;
    if (shape != o.shape) {
      // A change of shape at the frame before: the jump between the two
      // waves is band-limited like any other.
      const double jump = Settled(shape, old_phase, old_edge, o.cycles) - Settled(o.shape, old_phase, old_edge, o.cycles);
      AddCorner(o, f, 1.0, jump, 0.0);
      o.shape = shape;
      o.pulse_high = old_phase < old_edge ? 1 : 0;
      o.slope = SlopeOf(shape, old_phase, o.cycles);
    }
    const double old_width = o.pulse_width;
    if (c.width != old_width) {
      o.pulse_width += glide * (c.width - old_width);
      // Arrived once within 2^-40 of a cycle, rather than creeping on.
      if (Magnitude(c.width - o.pulse_width) < 0x1p-40) o.pulse_width = c.width;
      o.edge = EdgeOf(o.pulse_width);
    }
    if (c.cycles != o.cycles) o.step = StepOf(c.cycles);
    o.phase = old_phase + o.step;
    // A change of frequency bends the wave where the frame's step starts.
    const double bend = SlopeOf(shape, old_phase, c.cycles) - o.slope;
    if (bend != 0.0) AddCorner(o, f, 1.0, 0.0, bend);
    switch (shape) {
      case kTriangle:
        TriangleCorners(o, f, old_phase, c.cycles);
        break;
      case kSaw:
        SawCorners(o, f, old_phase, c.cycles);
        break;
      case kPulse:
        PulseCorners(o, f, old_phase, c.cycles, o.pulse_width - old_width);
        break;
      default:
        break;
    }
    if (c.restart) {
      // The cycle starts again at this frame: whatever the wave jumps by,
      // and its bend, are band-limited from here on.
      const double jump = Naive(shape, 0, o.edge) - Naive(shape, o.phase, o.edge);
      const double bend_here = SlopeOf(shape, 0, c.cycles) - SlopeOf(shape, o.phase, c.cycles);
      AddCorner(o, f, 0.0, jump, bend_here);
      o.phase = 0;
      o.pulse_high = o.edge > 0 ? 1 : 0;
    }
    o.cycles = c.cycles;
    o.slope = SlopeOf(shape, o.phase, c.cycles);
  }
  Emit(o, f, Settled(shape, o.phase, o.edge, c.cycles), c.scale);
}

// A block whose controls hold still (the same frequency, shape, width and
// amplitude as the frame before, no sync): only the corners the phase
// passes remain. Each frame is what AnyFrame does in that case, so the bits
// are the same.
template <int kShape>
void SteadyFrames(OscillatorRecord& o, int n, double cycles, double scale) {
  const Phase step = o.step;
  for (int f = 0; f < n; ++f) {
    const Phase old_phase = o.phase;
    o.phase = old_phase + step;
    if constexpr (kShape == kTriangle) TriangleCorners(o, f, old_phase, cycles);
    if constexpr (kShape == kPulse) PulseCorners(o, f, old_phase, cycles, 0.0);
    Emit(o, f, Settled(kShape, o.phase, o.edge, cycles), scale);
  }
  o.slope = SlopeOf(kShape, o.phase, cycles);
}

// The saw's steady block, the common case, without a test per frame: the
// frames on which the phase wraps follow from the phase and the step, their
// corrections go in first, then every frame is computed in one pass.
template <>
void SteadyFrames<kSaw>(OscillatorRecord& o, int n, double cycles, double scale) {
  const Phase start = o.phase, step = o.step;
  if (step != 0) {
    // Frame f holds the phase start + (f + 1) · step; a wrap happens on the
    // frame whose step carries the phase past 2^64 (upward) or below 0.
    const bool up = cycles > 0.0;
    const Phase magnitude = up ? step : Phase{0} - step;
    Phase before = start;
    for (long long f = -1;;) {
      const Phase room = up ? ~before : before;  // steps that fit before the wrap, times the step
      f += static_cast<long long>(room / magnitude) + 1;
      if (f >= n) break;
      const Phase phase = start + static_cast<Phase>(f + 1) * step;
      o.phase = phase;
      SawCorners(o, static_cast<int>(f), phase - step, cycles);
      before = phase;
    }
  }
  const double term = kBlepRampSettle * SlopeOf(kSaw, 0, cycles);
  Phase phase = start;
  for (int f = 0; f < n; ++f) {
    phase += step;
    o.out[2 * f] = o.out[2 * f + 1] = (Naive(kSaw, phase, 0) + term + o.pending[f]) * scale;
  }
  o.phase = phase;
  o.slope = SlopeOf(kSaw, phase, cycles);
}

}  // namespace

void InitialiseOscillator(ComponentRecord*) {
  static std::once_flag refined;
  std::call_once(refined, RefineTables);
}

// [audio thread] A block whose controls are constants that match the last
// frame's goes through SteadyFrames; any other through AnyFrame, frame by
// frame.
void ProcessOscillator(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  auto& o = *static_cast<OscillatorRecord*>(self);
  Signal in[5];
  bool buffers = false;
  for (int k = 0; k < 5; ++k) {
    in[k] = ReadInput(inputs, source_outputs, k);
    buffers = buffers || in[k].is_buffer();
  }
  const double rate = SampleRateOf(self);
  const double per_frame = 1.0 / rate;
  // The pulse width glides with a 1 ms time constant (backward Euler), so a
  // jump of the width control moves the edge over a few cycles of a high
  // note rather than flipping the wave at once; never more than half a
  // cycle per frame.
  const double glide = std::fmin(0.5, 1.0 / (1.0 + 0.001 * rate));
  const int n = self->block_length;
  if (n > 0) {
    const OscillatorControls first = ReadControls(o, in, 0, per_frame);
    const bool steady = !buffers && o.started != 0 && !first.restart && first.shape == o.shape &&
                        first.cycles == o.cycles && first.width == o.pulse_width;
    if (steady) {
      switch (first.shape) {
        case kTriangle:
          SteadyFrames<kTriangle>(o, n, first.cycles, first.scale);
          break;
        case kSaw:
          SteadyFrames<kSaw>(o, n, first.cycles, first.scale);
          break;
        case kPulse:
          SteadyFrames<kPulse>(o, n, first.cycles, first.scale);
          break;
        default:
          SteadyFrames<kSine>(o, n, first.cycles, first.scale);
          break;
      }
    } else {
      AnyFrame(o, 0, first, glide);
      for (int f = 1; f < n; ++f) AnyFrame(o, f, ReadControls(o, in, f, per_frame), glide);
    }
    // The corrections reaching past the block carry over to the next.
    std::memmove(o.pending, o.pending + n, sizeof(double) * kCornerFrames);
    std::fill(o.pending + kCornerFrames, o.pending + kCornerFrames + n, 0.0);
  }
  SetBuffer(self, 0, o.out);
}

// ---------------------------------------------------------- FM Oscillator
//
// sin(carrier phase + index · modulator), at twice the sample rate, then a
// minimum-phase lowpass that keeps the audio band and removes what lies
// from 0.5465 of the rate up: sidebands up to 1.45 times the rate are
// removed instead of folding back. Beyond that they would fold; it takes an
// index far beyond a musical one to put energy there.

struct Taps {
  double taps[kFmDecimatorTaps];
};
constexpr Taps Reversed() {
  Taps t{};
  for (int k = 0; k < kFmDecimatorTaps; ++k) t.taps[k] = kFmDecimator[kFmDecimatorTaps - 1 - k];
  return t;
}
constexpr Taps kReversedDecimator = Reversed();

// [audio thread]
void ProcessFmOscillator(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  auto& o = *static_cast<FmOscillatorRecord*>(self);
  const Signal carrier = ReadInput(inputs, source_outputs, 0);
  const Signal modulator = ReadInput(inputs, source_outputs, 1);
  const Signal index = ReadInput(inputs, source_outputs, 2);
  const Signal amplitude = ReadInput(inputs, source_outputs, 3);
  const Signal external = ReadInput(inputs, source_outputs, 4);
  const double per_frame = 1.0 / SampleRateOf(self);
  constexpr double kPerRadian = 0.15915494309189535;  // 1 / 2π
  constexpr double kLargestIndex = 1e6;
  const int n = self->block_length;
  for (int f = 0; f < n; ++f) {
    double carrier_cycles = NumberOr(carrier.control(f) * per_frame, 0.0);
    double modulator_cycles = NumberOr(modulator.control(f) * per_frame, 0.0);
    double gain = amplitude.connected() ? Level(amplitude.control(f)) : kDefaultAmplitude;
    // At or beyond the rate (the doubled rate's half) a frequency has no
    // meaning here: silence, and the phases hold.
    if (!(Magnitude(carrier_cycles) < 1.0) || !(Magnitude(modulator_cycles) < 1.0)) {
      carrier_cycles = modulator_cycles = 0.0;
      gain = 0.0;
    }
    const double depth = Clamp(NumberOr(index.control(f), 0.0), -kLargestIndex, kLargestIndex) * kPerRadian;
    double wired = 0.0;
    if (external.connected()) {
      const double e = external.control(f);
      wired = std::isfinite(e) ? Clamp(e, -1e12, 1e12) / kDefaultAmplitude : 0.0;
    }
    const Phase carrier_step = StepOf(0.5 * carrier_cycles);
    const Phase modulator_step = StepOf(0.5 * modulator_cycles);
    for (int half = 0; half < kFmOversampling; ++half) {
      o.carrier += carrier_step;
      o.modulator += modulator_step;
      // The external modulator is met halfway between frames by a straight line.
      const double m = external.connected() ? (half == 0 ? 0.5 * (o.external + wired) : wired)
                                            : SinCycles(PhaseToUnit(o.modulator));
      double x = PhaseToUnit(o.carrier) + depth * m;
      x -= std::floor(x);
      const double v = SinCycles(x);
      o.history[o.next] = o.history[o.next + kFmDecimatorTaps] = v;
      o.next = (o.next + 1) & (kFmDecimatorTaps - 1);
    }
    o.external = wired;
    // The window holds the last kFmDecimatorTaps values, oldest first; the
    // taps are reversed to meet it. Eight sums in turn, added in a fixed
    // order at the end: eight chains of additions in flight instead of one.
    const double* window = o.history + o.next;
    double part[8] = {};
    for (int k = 0; k < kFmDecimatorTaps; k += 8)
      for (int j = 0; j < 8; ++j) part[j] += kReversedDecimator.taps[k + j] * window[k + j];
    const double sum = ((part[0] + part[1]) + (part[2] + part[3])) + ((part[4] + part[5]) + (part[6] + part[7]));
    o.out[2 * f] = o.out[2 * f + 1] = sum * gain;
  }
  SetBuffer(self, 0, o.out);
}

// ------------------------------------------------------------------ Noise
//
// xoshiro128** per channel (32-bit operations, so every build draws the
// same numbers), uniform in [-1, 1) scaled to unit RMS. Pink: sections
// whose poles sit every half decade from 0.09 of the rate down to 2 Hz,
// the top zero at 0.175 of the rate and the others a quarter decade above
// their poles, and a zero at -0.18 that straightens the slope below half
// the rate: -3 dB/octave within ±0.1 dB from 20 Hz to 0.45 of the rate at
// any rate. Brown: a leaky integrator with its corner at 5 Hz and a zero at
// -0.16. Both are scaled to unit RMS for unit white. A colour's filter runs
// only while that colour is chosen: switching colour is a jump in the
// noise's character anyway, and white costs a fifth of pink.

namespace {

constexpr double kUnitRms = 1.7320508075688772;  // √3: uniform [-1, 1) to RMS 1
constexpr double kPinkTopPole = 0.09, kPinkTopZero = 0.175, kPinkLowest = 2.0;
constexpr double kPinkPoleRatio = 3.1622776601683795;  // √10
constexpr double kPinkZeroRatio = 1.7782794100389228;  // 10^(1/4)
constexpr double kPinkEdgeZero = 0.18;
constexpr double kBrownCorner = 5.0;
constexpr double kBrownEdgeZero = 0.16;

std::uint32_t RotateLeft(std::uint32_t x, int k) { return (x << k) | (x >> (32 - k)); }

std::uint32_t NextRandom(std::uint32_t* s) {
  const std::uint32_t result = RotateLeft(s[1] * 5u, 7) * 9u;
  const std::uint32_t t = s[1] << 9;
  s[2] ^= s[0];
  s[3] ^= s[1];
  s[1] ^= s[2];
  s[0] ^= s[3];
  s[2] ^= t;
  s[3] = RotateLeft(s[3], 11);
  return result;
}

std::uint32_t Mix(std::uint32_t& x) {
  std::uint32_t z = (x += 0x9E3779B9u);
  z = (z ^ (z >> 16)) * 0x85EBCA6Bu;
  z = (z ^ (z >> 13)) * 0xC2B2AE35u;
  return z ^ (z >> 16);
}

void Seed(NoiseRecord& o) {
  for (int c = 0; c < 2; ++c) {
    std::uint32_t x = o.seed ^ (c == 0 ? 0u : 0x6A09E667u);
    for (std::uint32_t& word : o.channel[c].state) word = Mix(x);
  }
}

// The energy of (1 + edge z^-1) · Π (1 - zero z^-1) / (1 - pole z^-1) for
// unit white, from its partial fractions: the series is g0 + Σ r_k /
// (1 - p_k z^-1).
double PinkEnergy(const double* pole, const double* zero, int count, double edge) {
  double g0 = 1.0;
  for (int k = 0; k < count; ++k) g0 *= zero[k] / pole[k];
  double r[kMaxPinkSections];
  for (int k = 0; k < count; ++k) {
    double num = 1.0, den = 1.0;
    for (int j = 0; j < count; ++j) {
      num *= 1.0 - zero[j] / pole[k];
      if (j != k) den *= 1.0 - pole[j] / pole[k];
    }
    r[k] = num / den;
  }
  double h0 = g0, h1 = 0.0;
  for (int k = 0; k < count; ++k) {
    h0 += r[k];
    h1 += r[k] * pole[k];
  }
  double rho0 = h0 * h0, rho1 = h0 * h1;
  for (int k = 0; k < count; ++k) {
    for (int j = 0; j < count; ++j) {
      const double pp = pole[k] * pole[j];
      const double term = r[k] * r[j] * pp / (1.0 - pp);
      rho0 += term;
      rho1 += term * pole[j];
    }
  }
  return (1.0 + edge * edge) * rho0 + 2.0 * edge * rho1;
}

void DesignFilters(NoiseRecord& o, double rate) {
  o.rate = rate;
  const double r = Clamp(rate, 1000.0, 1e7);
  int count = 0;
  for (double pole = kPinkTopPole * r; pole > kPinkLowest && count < kMaxPinkSections; pole /= kPinkPoleRatio) {
    const double zero = count == 0 ? kPinkTopZero * r : pole * kPinkZeroRatio;
    o.pink_pole[count] = Exp(-kTwoPi * pole / r);
    o.pink_zero[count] = Exp(-kTwoPi * zero / r);
    ++count;
  }
  o.pink_sections = count;
  o.pink_gain = 1.0 / std::sqrt(PinkEnergy(o.pink_pole, o.pink_zero, count, kPinkEdgeZero));
  const double c = Exp(-kTwoPi * kBrownCorner / r);
  o.brown_pole = c;
  o.brown_gain = 1.0 / std::sqrt(1.0 + (c + kBrownEdgeZero) * (c + kBrownEdgeZero) / (1.0 - c * c));
}

}  // namespace

void InitialiseNoise(ComponentRecord* self) {
  // A fresh seed: the clock and a process-wide count, mixed. [editor thread]
  static std::atomic<std::uint32_t> count{0};
  const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  std::uint32_t x = static_cast<std::uint32_t>(now ^ (now >> 32)) + 0x51ED27u * count.fetch_add(1);
  static_cast<NoiseRecord*>(self)->seed = Mix(x);
}

// [audio thread]
void ProcessNoise(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  auto& o = *static_cast<NoiseRecord*>(self);
  const Signal level_in = ReadInput(inputs, source_outputs, 0);
  const Signal colour_in = ReadInput(inputs, source_outputs, 1);
  if (o.started == 0) {
    o.started = 1;
    Seed(o);
  }
  const double rate = SampleRateOf(self);
  if (rate != o.rate) DesignFilters(o, rate);
  const int sections = o.pink_sections;
  const int n = self->block_length;
  for (int f = 0; f < n; ++f) {
    const double level = level_in.connected() ? Level(level_in.control(f)) : kDefaultNoiseLevel;
    const int colour = Choice(colour_in.control(f), 2);
    for (int c = 0; c < 2; ++c) {
      NoiseChannel& ch = o.channel[c];
      const double white =
          static_cast<double>(static_cast<std::int32_t>(NextRandom(ch.state))) * 0x1p-31 * kUnitRms;
      double value = white;
      if (colour == 1) {
        double x = white, previous = ch.pink_in;
        for (int k = 0; k < sections; ++k) {
          const double y = x - o.pink_zero[k] * previous + o.pink_pole[k] * ch.pink[k];
          previous = ch.pink[k];
          ch.pink[k] = y;
          x = y;
        }
        value = (x + kPinkEdgeZero * previous) * o.pink_gain;
        ch.pink_in = white;
      } else if (colour == 2) {
        const double y = white + kBrownEdgeZero * ch.brown_in + o.brown_pole * ch.brown;
        ch.brown = y;
        ch.brown_in = white;
        value = y * o.brown_gain;
      }
      o.out[2 * f + c] = value * level;
    }
  }
  SetBuffer(self, 0, o.out);
}

namespace {
constexpr const char* kNoiseKeys[] = {"seed"};
constexpr long long kLargestSeed = 4294967295LL;

void WriteNoise(const ComponentRecord& self, nlohmann::ordered_json& out) {
  out["seed"] = static_cast<const NoiseRecord&>(self).seed;
}

bool ReadNoise(const nlohmann::json& in, ComponentRecord& self, std::string& error) {
  auto& noise = static_cast<NoiseRecord&>(self);
  long long seed = noise.seed;
  if (!settings::ReadInteger(in, "seed", 0, kLargestSeed, seed, error)) return false;
  noise.seed = static_cast<std::uint32_t>(seed);
  return true;
}
}  // namespace

const TypeSettings kNoiseSettings = {kNoiseKeys, std::size(kNoiseKeys), WriteNoise, ReadNoise};

// ------------------------------------------------------------- Envelopes
//
// A stage moves its level from where it began to its target in its time:
// the linear one in a straight line, the exponential one along an RC curve
// aimed past the target (30% of the stage's span past it for the attack,
// 0.1% for decay and release), so it reaches the target after exactly its
// time. Each frame the remaining time is T - k + 1 frames (k frames into a
// stage of T); when that is 1 or less the level is the target and the next
// stage begins on the same frame. A stage of 0 ms lasts one frame; the
// stage's first frame shows the level it began at. Times are read every
// frame, so a moving time changes the pace of the stage under way.

namespace {

constexpr double kAttackCurve = 1.466337068793427;  // ln((1 + 0.3) / 0.3)
constexpr double kAttackOvershoot = 0.3;
constexpr double kFallCurve = 6.90875477931522;      // ln((1 + 0.001) / 0.001)
constexpr double kFallOvershoot = 0.001;

struct EnvelopeInputs {
  Signal gate, attack, decay, sustain, release, retrigger;
};

template <bool kExponential>
void ProcessAdsr(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  auto& o = *static_cast<AdsrRecord*>(self);
  const EnvelopeInputs in{ReadInput(inputs, source_outputs, 0), ReadInput(inputs, source_outputs, 1),
                          ReadInput(inputs, source_outputs, 2), ReadInput(inputs, source_outputs, 3),
                          ReadInput(inputs, source_outputs, 4), ReadInput(inputs, source_outputs, 5)};
  const double rate = SampleRateOf(self);
  const int n = self->block_length;
  const auto begin = [&o](EnvelopeStage stage) {
    o.stage = stage;
    o.start = o.level;
    o.frames = 0.0;
    o.coefficient_for = -1.0;
  };
  for (int f = 0; f < n; ++f) {
    const double sustain = Clamp(NumberOr(in.sustain.control(f), 0.0), 0.0, 1.0);
    const bool gate_rises = o.gate.Rises(in.gate.control(f));
    const bool retriggered = o.retrigger.Rises(in.retrigger.control(f));
    const bool held = o.gate.high != 0;
    if (gate_rises || (retriggered && held)) {
      begin(EnvelopeStage::kAttack);
    } else if (!held && o.stage != EnvelopeStage::kIdle && o.stage != EnvelopeStage::kRelease) {
      begin(EnvelopeStage::kRelease);
    } else {
      o.frames += 1.0;
    }
    // Moves on through every stage this frame completes.
    for (;;) {
      if (o.stage == EnvelopeStage::kIdle || o.frames == 0.0) break;
      if (o.stage == EnvelopeStage::kSustain) {
        o.level = sustain;
        break;
      }
      double target, length;
      if (o.stage == EnvelopeStage::kAttack) {
        target = 1.0;
        length = FramesIn(in.attack.control(f), rate);
      } else if (o.stage == EnvelopeStage::kDecay) {
        target = sustain;
        length = FramesIn(in.decay.control(f), rate);
      } else {
        target = 0.0;
        length = FramesIn(in.release.control(f), rate);
      }
      if (length < 1.0) length = 1.0;
      const double remaining = length - o.frames + 1.0;
      if (remaining > 1.0) {
        if constexpr (kExponential) {
          const bool attack = o.stage == EnvelopeStage::kAttack;
          if (length != o.coefficient_for) {
            o.coefficient_for = length;
            o.coefficient = Exp(-(attack ? kAttackCurve : kFallCurve) / length);
          }
          const double aim = target + (attack ? kAttackOvershoot : kFallOvershoot) * (target - o.start);
          const double next = aim + (o.level - aim) * o.coefficient;
          // Never past the target: a stage whose target moved (a decay whose
          // sustain changed) still ends there.
          const bool rising = target >= o.start;
          o.level = rising ? std::fmin(next, target) : std::fmax(next, target);
        } else {
          o.level += (target - o.level) / remaining;
        }
        if (o.level != target) break;
      }
      o.level = target;
      if (o.stage == EnvelopeStage::kAttack) {
        begin(EnvelopeStage::kDecay);
      } else if (o.stage == EnvelopeStage::kDecay) {
        o.stage = EnvelopeStage::kSustain;
        o.level = sustain;
        break;
      } else {
        o.stage = EnvelopeStage::kIdle;
        break;
      }
    }
    if (o.stage == EnvelopeStage::kSustain) o.level = sustain;
    o.out[2 * f] = o.out[2 * f + 1] = o.level;
  }
  SetBuffer(self, 0, o.out);
}

}  // namespace

void ProcessLinearAdsr(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  ProcessAdsr<false>(self, inputs, source_outputs);
}

void ProcessExponentialAdsr(ComponentRecord* self, ComponentRecord* const* inputs,
                            const std::int16_t* source_outputs) {
  ProcessAdsr<true>(self, inputs, source_outputs);
}

// ------------------------------------------------------ Envelope Follower
//
// Peak: the rectified signal held and let fall at the release rate, and the
// output rising toward that hold at the attack rate (falling with it at
// once), so a steady tone reads its peak whatever the attack. RMS: the
// square averaged over the attack time (one pole, the same both ways, so a
// steady tone reads its true RMS), its root held and let fall at the
// release rate. Rates are one-pole coefficients 1 - e^(-1/T) for T frames;
// 0 ms is instant. Non-finite samples count as 0.

namespace {

double Coefficient(double ms, double rate) {
  const double frames = FramesIn(ms, rate);
  return frames > 0.0 ? 1.0 - Exp(-1.0 / frames) : 1.0;
}

}  // namespace

// [audio thread]
void ProcessEnvelopeFollower(ComponentRecord* self, ComponentRecord* const* inputs,
                             const std::int16_t* source_outputs) {
  auto& o = *static_cast<FollowerRecord*>(self);
  const Signal signal = ReadInput(inputs, source_outputs, 0);
  const Signal attack = ReadInput(inputs, source_outputs, 1);
  const Signal release = ReadInput(inputs, source_outputs, 2);
  const Signal mode = ReadInput(inputs, source_outputs, 3);
  const double rate = SampleRateOf(self);
  if (rate != o.rate_for) {
    o.rate_for = rate;
    o.attack_for = o.release_for = -1.0;
  }
  const int n = self->block_length;
  for (int f = 0; f < n; ++f) {
    const double attack_ms = NumberOr(attack.control(f), 0.0), release_ms = NumberOr(release.control(f), 0.0);
    if (attack_ms != o.attack_for) {
      o.attack_for = attack_ms;
      o.attack = Coefficient(attack_ms, rate);
    }
    if (release_ms != o.release_for) {
      o.release_for = release_ms;
      o.release = 1.0 - Coefficient(release_ms, rate);  // what the hold keeps per frame
    }
    const bool rms = Choice(mode.control(f), 1) == 1;
    for (int c = 0; c < 2; ++c) {
      double x = signal.is_buffer() ? signal.buffer[2 * f + c] : signal.value;
      x = std::isfinite(x) ? Clamp(x, -1e150, 1e150) : 0.0;
      double detected;
      if (rms) {
        o.mean_square[c] += o.attack * (x * x - o.mean_square[c]);
        detected = std::sqrt(o.mean_square[c]);
      } else {
        detected = Magnitude(x);
      }
      const double held = o.hold[c] * o.release;
      o.hold[c] = detected > held ? detected : held;
      if (rms || o.hold[c] <= o.level[c]) {
        o.level[c] = o.hold[c];
      } else {
        o.level[c] += o.attack * (o.hold[c] - o.level[c]);
      }
      o.out[2 * f + c] = o.level[c];
    }
  }
  SetBuffer(self, 0, o.out);
}

// ----------------------------------------------------------- Step Counter

// [audio thread] A clock or reset that is already high when the counter
// starts is not an edge, so a sequence always begins at step 0. A reset
// edge wins over a clock edge on the same frame. A length that shrinks
// below the step folds the step into it.
void ProcessStepCounter(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  auto& o = *static_cast<StepCounterRecord*>(self);
  const Signal clock = ReadInput(inputs, source_outputs, 0);
  const Signal length_in = ReadInput(inputs, source_outputs, 1);
  const Signal reset = ReadInput(inputs, source_outputs, 2);
  const int n = self->block_length;
  for (int f = 0; f < n; ++f) {
    const std::int32_t length =
        length_in.connected() ? (length_in.control(f) >= 1.0 ? 1 + Choice(length_in.control(f) - 1.0, kMaxSteps - 1) : 1)
                              : kDefaultSteps;
    const bool clocked = o.clock.Rises(clock.control(f));
    const bool reset_now = o.reset.Rises(reset.control(f));
    if (o.started == 0) {
      o.started = 1;
      o.step = 0;
    } else if (reset_now) {
      o.step = 0;
    } else {
      o.step %= length;
      if (clocked) o.step = (o.step + 1) % length;
    }
    o.step %= length;
    o.out[2 * f] = o.out[2 * f + 1] = static_cast<double>(o.step);
  }
  SetBuffer(self, 0, o.out);
}

}  // namespace korvel

#include "components/moog_state_filters.h"

#include <cmath>

#include "engine/host_timing.h"

namespace korvel {
namespace {

void Update(MoogRecord* rec, double cutoff, double resonance) {
  if (!ControlChanged(cutoff, rec->cached_cutoff) && !ControlChanged(resonance, rec->cached_resonance)) return;
  rec->cached_cutoff = cutoff;
  rec->cached_resonance = resonance;
  const double fs = SampleRateOf(rec);
  const double f = LimitCutoff(cutoff, fs);
  const double r = LimitControl(resonance, kMinResonance, kMaxMoogResonance);
  const double fc = f / fs;
  const double u = 1 - fc;
  rec->p = fc * (1 + 0.800000011920929 * u);
  rec->g = 2 * rec->p - 1;
  rec->q = (r * 0.01) * (1 + 0.5 * u * (1 - u + 5.599999904632568 * u * u));
}

// The filters' safety rule (see ClearIfNotFinite for the biquads).
void ClearIfNotFinite(MoogStages& s) {
  if (!(std::isfinite(s.s0) && std::isfinite(s.s1) && std::isfinite(s.s2) && std::isfinite(s.s3) &&
        std::isfinite(s.s4)))
    s = {};
}

struct Ladder {
  double g, p, q;
};

inline double LadderStep(const Ladder& c, MoogStages& s, double x) {
  const double in = x * 3.051850947599719e-05 - c.q * s.s4;  // x / 32767
  double t1 = s.s1;
  s.s1 = (in + s.s0) * c.p - s.s1 * c.g;
  const double t2 = s.s2;
  s.s2 = (s.s1 + t1) * c.p - s.s2 * c.g;
  t1 = s.s3;
  s.s3 = (s.s2 + t2) * c.p - s.s3 * c.g;
  s.s4 = (s.s3 + t1) * c.p - s.s4 * c.g;
  s.s4 = s.s4 - s.s4 * s.s4 * s.s4 * 0.16666699945926666;  // soft limit of the last stage
  s.s0 = in;
  return c.q * s.s4 * 32767.0;
}

}  // namespace

void ProcessMoog(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  auto* rec = static_cast<MoogRecord*>(self);
  const Signal in = ReadInput(inputs, source_outputs, 0);
  const Signal cutoff = ReadInput(inputs, source_outputs, 1);
  const Signal resonance = ReadInput(inputs, source_outputs, 2);
  if (!in.is_buffer() || !cutoff.connected() || !resonance.connected()) {
    SetConstant(self, 0, 0.0);
    return;
  }
  double* b = in.buffer;
  const int frames = self->block_length;
  MoogStages s0 = rec->channel[0], s1 = rec->channel[1];
  if (!cutoff.is_buffer() && !resonance.is_buffer()) {
    if (frames > 0) Update(rec, cutoff.value, resonance.value);
    const Ladder c{rec->g, rec->p, rec->q};
    for (int f = 0; f < frames; ++f) {
      b[2 * f] = LadderStep(c, s0, b[2 * f]);
      b[2 * f + 1] = LadderStep(c, s1, b[2 * f + 1]);
    }
  } else {
    for (int f = 0; f < frames; ++f) {
      Update(rec, cutoff.control(f), resonance.control(f));
      const Ladder c{rec->g, rec->p, rec->q};
      b[2 * f] = LadderStep(c, s0, b[2 * f]);
      b[2 * f + 1] = LadderStep(c, s1, b[2 * f + 1]);
    }
  }
  ClearIfNotFinite(s0);
  ClearIfNotFinite(s1);
  rec->channel[0] = s0;
  rec->channel[1] = s1;
  SetBuffer(self, 0, b);
}

}  // namespace korvel

#include "components/iir_fir_filters.h"

#include <algorithm>

namespace korvel {
namespace {

// in1 must be a buffer and in2, in3 connected; the remaining coefficient
// inputs, when unconnected, are the coefficient 0.0.
bool Runnable(const Signal& in, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  return in.is_buffer() && ReadInput(inputs, source_outputs, 1).connected() &&
         ReadInput(inputs, source_outputs, 2).connected();
}

inline double FirStep(const double (&b)[kFirTaps], double (&x)[kFirTaps - 1], double in) {
  const double y = b[0] * in + b[1] * x[0] + b[2] * x[1] + b[3] * x[2] + b[4] * x[3] + b[5] * x[4] +
                   b[6] * x[5] + b[7] * x[6] + b[8] * x[7];
  for (int i = kFirTaps - 2; i > 0; --i) x[i] = x[i - 1];
  x[0] = in;
  return y;
}

}  // namespace

bool Iir2CoefficientsHold(const ComponentCall& call) {
  if (!ReadInput(call.inputs, call.source_outputs, 1).connected() ||
      !ReadInput(call.inputs, call.source_outputs, 2).connected())
    return false;
  for (int j = 1; j <= 5; ++j)
    if (ReadInput(call.inputs, call.source_outputs, j).is_buffer()) return false;
  return true;
}

void TakeIir2Coefficients(const ComponentCall& call) {
  double k[5];
  for (int j = 0; j < 5; ++j) k[j] = ReadInput(call.inputs, call.source_outputs, j + 1).value;
  static_cast<BiquadRecord*>(call.self)->k = {k[0], k[1], k[2], k[3], k[4]};
}

void ProcessIir2(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  auto* rec = static_cast<BiquadRecord*>(self);
  const Signal in = ReadInput(inputs, source_outputs, 0);
  if (!Runnable(in, inputs, source_outputs)) {
    SetConstant(self, 0, 0.0);
    return;
  }
  Signal coefficient[5];
  bool all_constant = true;
  for (int j = 0; j < 5; ++j) {
    coefficient[j] = ReadInput(inputs, source_outputs, j + 1);
    all_constant = all_constant && !coefficient[j].is_buffer();
  }
  double* b = in.buffer;
  const int frames = self->block_length;
  if (all_constant) {
    rec->k = {coefficient[0].value, coefficient[1].value, coefficient[2].value, coefficient[3].value,
              coefficient[4].value};
    RunBiquadStage(*rec, b, frames);
    SetBuffer(self, 0, b);
    return;
  }
  BiquadHistory h0 = rec->channel[0], h1 = rec->channel[1];
  for (int f = 0; f < frames; ++f) {
    const BiquadCoefficients k{coefficient[0].control(f), coefficient[1].control(f), coefficient[2].control(f),
                               coefficient[3].control(f), coefficient[4].control(f)};
    b[2 * f] = BiquadStep(k, h0, b[2 * f]);
    b[2 * f + 1] = BiquadStep(k, h1, b[2 * f + 1]);
  }
  ClearIfNotFinite(h0);
  ClearIfNotFinite(h1);
  rec->channel[0] = h0;
  rec->channel[1] = h1;
  SetBuffer(self, 0, b);
}

void ProcessFir8(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  auto* rec = static_cast<FirRecord*>(self);
  const Signal in = ReadInput(inputs, source_outputs, 0);
  if (!Runnable(in, inputs, source_outputs)) {
    SetConstant(self, 0, 0.0);
    return;
  }
  Signal coefficient[kFirTaps];
  bool all_constant = true;
  for (int j = 0; j < kFirTaps; ++j) {
    coefficient[j] = ReadInput(inputs, source_outputs, j + 1);
    all_constant = all_constant && !coefficient[j].is_buffer();
  }
  double* b = in.buffer;
  const int frames = self->block_length;
  double b_k[kFirTaps];
  for (int j = 0; j < kFirTaps; ++j) b_k[j] = coefficient[j].value;
  // Working copies of the histories, which the block cannot alias.
  double x0[kFirTaps - 1], x1[kFirTaps - 1];
  std::copy_n(rec->history[0], kFirTaps - 1, x0);
  std::copy_n(rec->history[1], kFirTaps - 1, x1);
  for (int f = 0; f < frames; ++f) {
    if (!all_constant)
      for (int j = 0; j < kFirTaps; ++j) b_k[j] = coefficient[j].control(f);
    b[2 * f] = FirStep(b_k, x0, b[2 * f]);
    b[2 * f + 1] = FirStep(b_k, x1, b[2 * f + 1]);
  }
  std::copy_n(x0, kFirTaps - 1, rec->history[0]);
  std::copy_n(x1, kFirTaps - 1, rec->history[1]);
  SetBuffer(self, 0, b);
}

}  // namespace korvel

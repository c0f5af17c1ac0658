#include "components/clipping.h"

namespace korvel {
namespace {

inline double LimitTop(double x, double t) { return x > t ? t : x; }
inline double LimitBottom(double x, double t) { return x < -t ? -t : x; }

// The lower test sees the value after the upper limit, so a negative
// threshold t gives -t for every x.
inline double LimitBoth(double x, double t) { return LimitBottom(LimitTop(x, t), t); }

// A constant signal clipped by a threshold buffer tests the unlimited x
// against the lower bound; for t >= 0 this is the same as LimitBoth.
inline double LimitBothFromConstant(double x, double t) { return x < -t ? -t : LimitTop(x, t); }

template <double (*rule)(double, double), double (*constant_signal_rule)(double, double)>
void ProcessClipping(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  const Signal x = ReadInput(inputs, source_outputs, 0);
  const Signal t = ReadInput(inputs, source_outputs, 1);
  if (!x.connected() || !t.connected()) {
    SetConstant(self, 0, 0.0);
    return;
  }
  const int n = BlockValues(self);
  if (x.is_constant()) {
    if (t.is_constant()) {
      SetConstant(self, 0, rule(x.value, t.value));
      return;
    }
    for (int i = 0; i < n; ++i) t.buffer[i] = constant_signal_rule(x.value, t.buffer[i]);
    SetBuffer(self, 0, t.buffer);
    return;
  }
  if (t.is_constant()) {
    const double c = t.value;
    for (int i = 0; i < n; ++i) x.buffer[i] = rule(x.buffer[i], c);
  } else {
    for (int i = 0; i < n; ++i) x.buffer[i] = rule(x.buffer[i], t.buffer[i]);
  }
  SetBuffer(self, 0, x.buffer);
}

}  // namespace

void ProcessClip(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  ProcessClipping<LimitBoth, LimitBothFromConstant>(self, inputs, source_outputs);
}
void ProcessClipTop(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  ProcessClipping<LimitTop, LimitTop>(self, inputs, source_outputs);
}
void ProcessClipBottom(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  ProcessClipping<LimitBottom, LimitBottom>(self, inputs, source_outputs);
}

}  // namespace korvel

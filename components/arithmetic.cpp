#include "components/arithmetic.h"

#include <cmath>

namespace korvel {
namespace {

// Both operands connected: the result goes into the buffer of one of them
// (in1's when it has one), or is a constant when neither has a buffer.
template <typename Op>
void Combine(ComponentRecord* self, const Signal& x, const Signal& y, Op op) {
  const int n = BlockValues(self);
  if (x.is_constant()) {
    if (y.is_constant()) {
      SetConstant(self, 0, op(x.value, y.value));
      return;
    }
    const double c = x.value;
    double* b = y.buffer;
    for (int i = 0; i < n; ++i) b[i] = op(c, b[i]);
    SetBuffer(self, 0, b);
    return;
  }
  double* b = x.buffer;
  if (y.is_constant()) {
    const double c = y.value;
    for (int i = 0; i < n; ++i) b[i] = op(b[i], c);
  } else {
    const double* other = y.buffer;
    for (int i = 0; i < n; ++i) b[i] = op(b[i], other[i]);
  }
  SetBuffer(self, 0, b);
}

// Multiply, divide and power: a missing operand silences the output.
template <typename Op>
void CombineOrSilence(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs,
                      Op op) {
  const Signal x = ReadInput(inputs, source_outputs, 0);
  const Signal y = ReadInput(inputs, source_outputs, 1);
  if (!x.connected() || !y.connected()) {
    SetConstant(self, 0, 0.0);
    return;
  }
  Combine(self, x, y, op);
}

}  // namespace

// A missing operand acts as 0: the other one passes on untouched.
void ProcessAdd(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  const Signal x = ReadInput(inputs, source_outputs, 0);
  const Signal y = ReadInput(inputs, source_outputs, 1);
  if (!y.connected()) {
    PassOn(self, 0, x);
  } else if (!x.connected()) {
    PassOn(self, 0, y);
  } else {
    Combine(self, x, y, [](double a, double b) { return a + b; });
  }
}

// With only in2, the output is in2 with its sign inverted.
void ProcessSubtract(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  const Signal x = ReadInput(inputs, source_outputs, 0);
  const Signal y = ReadInput(inputs, source_outputs, 1);
  if (!y.connected()) {
    PassOn(self, 0, x);
  } else if (!x.connected()) {
    if (y.is_constant()) {
      SetConstant(self, 0, -y.value);
      return;
    }
    const int n = BlockValues(self);
    for (int i = 0; i < n; ++i) y.buffer[i] = -y.buffer[i];
    SetBuffer(self, 0, y.buffer);
  } else {
    Combine(self, x, y, [](double a, double b) { return a - b; });
  }
}

void ProcessMultiply(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  CombineOrSilence(self, inputs, source_outputs, [](double a, double b) { return a * b; });
}

void ProcessDivide(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  CombineOrSilence(self, inputs, source_outputs, [](double a, double b) { return a / b; });
}

void ProcessPower(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  CombineOrSilence(self, inputs, source_outputs, [](double a, double b) { return std::pow(a, b); });
}

}  // namespace korvel

#include "components/delays.h"

#include <cmath>

namespace korvel {
namespace {

constexpr std::int64_t kLineLength = kDelayLineLength;

// A delay reduced modulo the line length, in 0 .. length - 1: truncated
// toward zero, saturated to the 64-bit integer range, NaN as no delay. The
// reduction stays in doubles and 32-bit integers (fmod is exact), so the
// 32-bit build computes it in SSE2 like the 64-bit one, with no x87
// conversion to a 64-bit integer.
std::uint32_t DelayOffset(double delay) {
  constexpr double kLimit = 9223372036854775808.0;  // 2^63
  constexpr std::int64_t kHighEnd = INT64_MAX % kLineLength;
  constexpr std::int64_t kLowEnd = (INT64_MIN % kLineLength + kLineLength) % kLineLength;
  if (delay >= kLimit) return static_cast<std::uint32_t>(kHighEnd);
  if (delay < -kLimit) return static_cast<std::uint32_t>(kLowEnd);
  if (delay != delay) return 0;
  // Truncating the remainder equals the remainder of the truncated delay.
  const double reduced = delay > -2147483648.0 && delay < 2147483648.0 ? delay : std::fmod(delay, double{kLineLength});
  std::int32_t m = static_cast<std::int32_t>(reduced) % static_cast<std::int32_t>(kLineLength);
  if (m < 0) m += static_cast<std::int32_t>(kLineLength);
  return static_cast<std::uint32_t>(m);
}

// The line positions of a block's frames. A constant (or missing) delay is
// reduced once per block; a delay buffer is read at each frame's channel 0.
class LinePositions {
 public:
  LinePositions(const EngineContext& context, const Signal& delay)
      : position_(context.delay_position), delay_(delay) {
    base_ = DelayLinePosition(position_, 0, delay.is_buffer() ? 0.0 : delay.value);
  }
  // Reads the delay of frame k, so call it before frame k is overwritten.
  std::uint32_t operator()(int k) const {
    if (delay_.is_buffer()) return DelayLinePosition(position_, k, delay_.buffer[2 * k]);
    const std::uint32_t pos = base_ + static_cast<std::uint32_t>(k);  // k < line length
    return pos >= kDelayLineLength ? pos - kDelayLineLength : pos;
  }

 private:
  std::uint32_t position_;
  std::uint32_t base_;
  const Signal& delay_;
};

template <bool add>
void ProcessWrite(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  const Signal in = ReadInput(inputs, source_outputs, 0);
  const Signal delay = ReadInput(inputs, source_outputs, 1);
  if (!in.connected()) {
    SetConstant(self, 0, 0.0);
    return;
  }
  const EngineContext& context = *self->context;
  double* left = context.left_line[0];
  double* right = context.right_line[0];
  // A buffer passes through untouched; a constant fills the own buffer.
  double* work = in.is_buffer() ? in.buffer : static_cast<DelayRecord*>(self)->own;
  const LinePositions at(context, delay);
  const int frames = self->block_length;
  for (int k = 0; k < frames; ++k) {
    const double v0 = in.is_buffer() ? work[2 * k] : in.value;
    const double v1 = in.is_buffer() ? work[2 * k + 1] : in.value;
    const std::uint32_t pos = at(k);
    if constexpr (add) {
      left[pos] = left[pos] + v0;
      right[pos] = right[pos] + v1;
    } else {
      left[pos] = v0;
      right[pos] = v1;
    }
    work[2 * k] = v0;
    work[2 * k + 1] = v1;
  }
  SetBuffer(self, 0, work);
}

}  // namespace

std::uint32_t DelayLinePosition(std::uint32_t position, int frame, double delay) {
  const std::uint64_t sum = std::uint64_t{position} + static_cast<std::uint64_t>(frame) + DelayOffset(delay);
  return static_cast<std::uint32_t>(sum % kDelayLineLength);
}

std::uint32_t DelayLineOffset(double delay) { return DelayOffset(delay); }

namespace {
double TapDelay(double delay) {
  if (!(delay > 0.0)) return 0.0;  // negative, zero or NaN
  return delay < kMaxTapDelay ? delay : kMaxTapDelay;
}
std::uint32_t NearestOf(double held) {
  const auto whole = static_cast<std::uint32_t>(static_cast<std::int32_t>(held));  // held >= 0: floor
  return whole > 0 ? whole - 1 : 0;
}
}  // namespace

std::uint32_t TapNearest(double delay) { return NearestOf(TapDelay(delay)); }

// Lagrange weights of the four frames nearest .. nearest + 3 back, at u
// frames past the nearest (0 <= u < 2). At a whole delay one weight is 1
// and the others 0, so the line comes back exactly.
TapPoint TapAt(double delay) {
  const double held = TapDelay(delay);
  TapPoint point{};
  point.nearest = NearestOf(held);
  const double u = held - static_cast<double>(static_cast<std::int32_t>(point.nearest));  // SSE2, not x87
  const double a = u - 1.0, b = u - 2.0, c = u - 3.0;
  point.weight[0] = -(a * b * c) / 6.0;
  point.weight[1] = (u * b * c) / 2.0;
  point.weight[2] = -(u * a * c) / 2.0;
  point.weight[3] = (u * a * b) / 6.0;
  return point;
}

namespace {

// Where a reading delay writes its block: in1's buffer when it has one,
// else in2's when in1 is unconnected (each frame's delay is read before it
// is overwritten), else its own.
double* ReadTarget(ComponentRecord* self, const Signal& in, const Signal& delay) {
  if (in.is_buffer()) return in.buffer;
  if (!in.connected() && delay.is_buffer()) return delay.buffer;
  return static_cast<DelayRecord*>(self)->own;
}

}  // namespace

// in1 plus the line `in2` frames in the past; without in1 the line alone,
// written into in2's buffer when it has one (each frame's delay read first).
void ProcessDelayTap(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  const Signal in = ReadInput(inputs, source_outputs, 0);
  const Signal delay = ReadInput(inputs, source_outputs, 1);
  const EngineContext& context = *self->context;
  const double* left = context.left_line[0];
  const double* right = context.right_line[0];
  double* work = ReadTarget(self, in, delay);
  constexpr std::uint32_t kMask = kDelayLineLength - 1;
  const std::uint32_t position = context.delay_position;
  TapPoint point = TapAt(delay.value);  // unconnected: 0, a whole frame
  const int frames = self->block_length;
  for (int k = 0; k < frames; ++k) {
    if (delay.is_buffer()) point = TapAt(delay.buffer[2 * k]);
    // Frame k's own position minus `nearest`, and the three before it.
    const std::uint32_t at = (position + static_cast<std::uint32_t>(k) - point.nearest) & kMask;
    const std::uint32_t at1 = (at - 1) & kMask, at2 = (at - 2) & kMask, at3 = (at - 3) & kMask;
    const double v0 = point.weight[0] * left[at] + point.weight[1] * left[at1] + point.weight[2] * left[at2] +
                      point.weight[3] * left[at3];
    const double v1 = point.weight[0] * right[at] + point.weight[1] * right[at1] + point.weight[2] * right[at2] +
                      point.weight[3] * right[at3];
    if (in.connected()) {
      work[2 * k] = (in.is_buffer() ? work[2 * k] : in.value) + v0;
      work[2 * k + 1] = (in.is_buffer() ? work[2 * k + 1] : in.value) + v1;
    } else {
      work[2 * k] = v0;
      work[2 * k + 1] = v1;
    }
  }
  SetBuffer(self, 0, work);
}

void ProcessDelaySet(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  ProcessWrite<false>(self, inputs, source_outputs);
}

void ProcessDelayAdd(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  ProcessWrite<true>(self, inputs, source_outputs);
}

// in1 plus the line; without in1 the line alone, written into in2's buffer
// when it has one (each frame's delay is read before it is overwritten).
void ProcessDelayGet(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  const Signal in = ReadInput(inputs, source_outputs, 0);
  const Signal delay = ReadInput(inputs, source_outputs, 1);
  const EngineContext& context = *self->context;
  const double* left = context.left_line[0];
  const double* right = context.right_line[0];
  double* work = ReadTarget(self, in, delay);
  const LinePositions at(context, delay);
  const int frames = self->block_length;
  for (int k = 0; k < frames; ++k) {
    const std::uint32_t pos = at(k);
    if (in.connected()) {
      const double v0 = in.is_buffer() ? work[2 * k] : in.value;
      const double v1 = in.is_buffer() ? work[2 * k + 1] : in.value;
      work[2 * k] = v0 + left[pos];
      work[2 * k + 1] = v1 + right[pos];
    } else {
      work[2 * k] = left[pos];
      work[2 * k + 1] = right[pos];
    }
  }
  SetBuffer(self, 0, work);
}

void ProcessDelayZ(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  auto* rec = static_cast<DelayZRecord*>(self);
  const Signal in = ReadInput(inputs, source_outputs, 0);
  if (!in.connected()) {
    SetConstant(self, 0, 0.0);
    return;
  }
  double* work = in.is_buffer() ? in.buffer : rec->own;
  double held0 = rec->held[0], held1 = rec->held[1];
  const int frames = self->block_length;
  for (int k = 0; k < frames; ++k) {
    const double v0 = in.is_buffer() ? work[2 * k] : in.value;
    const double v1 = in.is_buffer() ? work[2 * k + 1] : in.value;
    work[2 * k] = held0;
    work[2 * k + 1] = held1;
    held0 = v0;
    held1 = v1;
  }
  rec->held[0] = held0;
  rec->held[1] = held1;
  SetBuffer(self, 0, work);
}

}  // namespace korvel

// MIDI controllers bound to the module's host parameters: which controller
// moves which parameter, how a Control Change becomes a value in 0..1, and
// what the editor's "learn" listens to.
#pragma once

#include <atomic>
#include <cstdint>

namespace korvel {

inline constexpr int kControllerCount = 128;   // MIDI controllers 0..127
inline constexpr std::int32_t kNoController = -1;
// Controllers 0..31 carry the coarse half of a 14-bit value whose fine half
// is controller + 32.
inline constexpr int kCoarseControllerCount = 32;
inline constexpr int kFineControllerOffset = 32;

class ControllerBindings {
 public:
  static constexpr int kParameters = 25;

  ControllerBindings();

  // [any thread, atomic] The controller bound to parameter 0..24, or
  // kNoController (also for a parameter outside 0..24).
  std::int32_t Get(int parameter) const;
  // False, and nothing changed, for a parameter outside 0..24 or a
  // controller outside kNoController..127.
  bool Set(int parameter, std::int32_t controller);
  void Clear();

  // [any thread] Whether a Control Change of `controller` moves any
  // parameter: one is bound to it, or to its coarse half.
  bool Moves(std::uint8_t controller) const;

  // [audio thread] One Control Change: every parameter bound to
  // `controller` takes value / 127. A fine controller (32..63) that follows
  // its coarse one also gives the parameters bound to the coarse one the
  // 14-bit value (coarse · 128 + fine) / 16383; a coarse value alone is
  // heard at once at 7 bits. Values go into `parameter_values` (the
  // module's, through StoreParameter). Every Control Change, bound or not,
  // is counted for "learn".
  void Apply(std::uint8_t controller, std::uint8_t value, double* parameter_values);

  // [any thread, atomic] For "learn": Control Changes received since the
  // module was made, and the controller of the last one (kNoController
  // before any).
  std::uint32_t ReceivedCount() const { return received_.load(std::memory_order_acquire); }
  std::int32_t LastReceived() const { return last_.load(std::memory_order_relaxed); }

 private:
  std::atomic<std::int32_t> bound_[kParameters];
  // [audio thread] The last coarse value of controllers 0..31; -1 before any.
  std::int16_t coarse_[kCoarseControllerCount];
  std::atomic<std::int32_t> last_{kNoController};
  std::atomic<std::uint32_t> received_{0};
};

}  // namespace korvel

// Oversampling: a module may run at 2, 4, 8 or 16 times the host's rate.
// The host's block is raised to the running rate by a cascade of half-band
// interpolators, the plan runs there, and the result is brought back by the
// mirror cascade of decimators. Every filter is linear-phase, so the whole
// round trip is a pure delay in the passband, padded to a whole number of
// host frames (OversamplingLatency) for hosts to compensate.
#pragma once

#include <cstdint>
#include <string>

#include "engine/component.h"

namespace korvel {

inline constexpr int kOversamplingFactors[] = {1, 2, 4, 8, 16};
inline constexpr int kMaxOversampling = 16;

bool IsOversamplingFactor(double value);
// The allowed factor nearest `value` on a log scale (3 -> 4, 0 -> 1).
int NearestOversamplingFactor(double value);
// "must be 1, 2, 4, 8 or 16 (the nearest is 4)": why `value` is refused.
std::string OversamplingRefusal(double value);

// Host frames by which the cascade at `factor` delays the module's output;
// 0 at factor 1.
std::uint32_t OversamplingLatency(int factor);

// The cascade's state for one engine: the stages' histories and the
// running-rate buffers the plan reads and writes. [audio thread] after
// construction; nothing allocates.
class Oversampler {
 public:
  static constexpr int kStages = 4;
  // Running frames per pass: the engine's largest block.
  static constexpr int kRunningFrames = kMaxBlockFrames;

  // Silence in every history, set up for `factor`.
  void Reset(int factor);
  int factor() const { return factor_; }
  // Host frames per pass: kRunningFrames / factor.
  int HostFramesPerPass() const { return kRunningFrames / factor_; }

  // `frames` host frames (<= HostFramesPerPass()) of `in` become
  // frames · factor running frames in running_input().
  void Up(const double* in, int frames);
  // The sidechain the same way: `left` and `right` each hold one channel
  // in both of their values per frame, and so do running_sidechain(0) and
  // (1) afterwards. A sidechain that comes back after a pass without one
  // starts from silence.
  void UpSidechain(const double* left, const double* right, int frames);
  void NoSidechain() { sidechain_running_ = false; }
  // frames · factor running frames of `running` (null: silence) become
  // `frames` host frames in `out`.
  void Down(const double* running, int frames, double* out);

  double* running_input() { return running_input_; }
  double* running_output() { return running_output_; }
  double* running_sidechain(int channel) { return running_sidechain_[channel & 1]; }

 private:
  // The longest history a stage keeps, in frames: 4K - 3 for the largest K.
  static constexpr int kMaxHistory = 160;
  static constexpr int kWorkFrames = kMaxHistory + kRunningFrames;

  int factor_ = 1;
  int stages_ = 0;
  int pad_ = 0;  // running frames of plain delay that make the latency whole
  bool sidechain_running_ = false;
  void Raise(const double* in, int frames, double (*history)[2 * kMaxHistory], double* to);
  // Per stage (index 0 = host <-> 2x), stereo frames.
  double up_history_[kStages][2 * kMaxHistory] = {};
  double down_history_[kStages][2 * kMaxHistory] = {};
  double pad_history_[2 * kMaxOversampling] = {};
  double work_[2 * kWorkFrames] = {};
  double pass_a_[2 * kRunningFrames] = {};
  double pass_b_[2 * kRunningFrames] = {};
  double running_input_[2 * kRunningFrames] = {};
  double running_output_[2 * kRunningFrames] = {};
  double sidechain_history_[kStages][2 * kMaxHistory] = {};
  double sidechain_pair_[2 * kRunningFrames] = {};  // left and right as one signal
  double running_sidechain_[2][2 * kRunningFrames] = {};
};

}  // namespace korvel

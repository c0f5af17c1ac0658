// A render's tail: after the input ends the module is fed silence until
// its output has stayed below -120 dBFS for 100 ms, as an echo or a
// resonant filter rings out, or until the bound (--tail S) is reached. A
// module that keeps sound in the delay lines may be silent for as long as
// its longest delay before a repeat comes back, so for it the quiet must
// last that much longer.
#pragma once

#include <cstdint>
#include <vector>

namespace korvel::cli {

inline constexpr double kTailFloor = 1e-6;        // -120 dBFS, on the file's scale
inline constexpr double kTailQuietSeconds = 0.1;  // how long the output stays below it
inline constexpr double kDefaultTailSeconds = 60.0;

class TailCutter {
 public:
  // `held_back` frames more of quiet are needed: the longest delay a sound
  // can wait in the module's delay lines.
  TailCutter(int channels, int rate, double bound_seconds, std::int64_t held_back = 0);

  // Takes a block of output rendered after the input's end and appends to
  // `ready` the frames to write: those up to the last one at or above the
  // floor. Quiet frames are held back until a louder frame follows, so a
  // module that falls silent adds nothing. Answers false once the tail is
  // over; frames after that point are not taken.
  bool Add(const float* samples, std::int64_t frames, std::vector<float>& ready);

  // Frames the tail added to the output.
  std::int64_t written() const { return written_; }
  // Whether the bound, not the silence, ended it.
  bool cut_at_bound() const { return cut_at_bound_; }
  // Whether every frame taken so far has been handed on.
  bool caught_up() const { return held_.empty(); }
  bool over() const { return over_; }

 private:
  int channels_;
  std::int64_t quiet_needed_, bound_;
  std::int64_t seen_ = 0;     // frames taken since the input's end
  std::int64_t written_ = 0;  // of which handed on
  std::vector<float> held_;   // quiet frames not yet handed on
  bool over_ = false, cut_at_bound_ = false;
};

}  // namespace korvel::cli

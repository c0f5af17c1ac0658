#include "tools/korvel/tail.h"

#include <cmath>

namespace korvel::cli {

TailCutter::TailCutter(int channels, int rate, double bound_seconds, std::int64_t held_back)
    : channels_(channels),
      quiet_needed_(std::llround(kTailQuietSeconds * rate) + held_back),
      bound_(std::llround(bound_seconds * rate)) {
  over_ = bound_ <= 0;
}

bool TailCutter::Add(const float* samples, std::int64_t frames, std::vector<float>& ready) {
  for (std::int64_t f = 0; f < frames && !over_; ++f) {
    const float* frame = samples + f * channels_;
    bool loud = false;
    for (int c = 0; c < channels_; ++c) loud |= !(std::fabs(frame[c]) < static_cast<float>(kTailFloor));
    if (loud) {
      ready.insert(ready.end(), held_.begin(), held_.end());
      ready.insert(ready.end(), frame, frame + channels_);
      written_ += static_cast<std::int64_t>(held_.size()) / channels_ + 1;
      held_.clear();
    } else {
      held_.insert(held_.end(), frame, frame + channels_);
      if (static_cast<std::int64_t>(held_.size()) / channels_ >= quiet_needed_) over_ = true;
    }
    if (++seen_ >= bound_ && !over_) {
      over_ = true;
      cut_at_bound_ = true;
    }
  }
  return !over_;
}

}  // namespace korvel::cli

// A sound a component plays (the Sampler's file), decoded once and shared
// by every component that names the same file. Never changed once made:
// the audio thread reads it without a lock while the plan that reaches it
// is published. The last reference is dropped on the editor side, when the
// records holding it are freed after their retirement, never on the audio
// thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace korvel {

// The longest sound a component may hold: 2^27 frames (50 minutes at
// 44.1 kHz; 1 GiB as stereo floats). A longer file is refused before any of
// it is read.
inline constexpr std::int32_t kMaxSoundFrames = std::int32_t{1} << 27;

struct Sound {
  std::string path;          // absolute, as it was loaded
  double rate = 0.0;         // the file's own sample rate in Hz
  std::int32_t frames = 0;   // 1 .. kMaxSoundFrames
  std::int32_t channels = 0;  // 1 or 2
  // frames x channels values, interleaved, at full scale 1.0 (as files
  // store them).
  std::vector<float> samples;
};

using SoundRef = std::shared_ptr<const Sound>;

}  // namespace korvel

// The plug-in over every channel of a file. A module is stereo; a file may
// have one channel or many. Mono feeds both of the module's channels; more
// than two channels go through one fresh instance of the module per pair
// (1-2, 3-4, ...), a last odd channel alone through an instance of its own
// as mono. Each instance is loaded, set up and driven like the only one.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/korvel/host_control.h"
#include "tools/pluginhost/plugin_host.h"

namespace korvel::cli {

// Where a render's first runaway began: the first component output that
// was not a number or beyond +24 dBFS.
struct Runaway {
  int instance = -1;  // which pair of channels
  int slot = -1;
  std::uint64_t frame = 0;
  double value = 0.0;  // on the file's scale
};

class ChannelRack {
 public:
  // `in_channels` channels in, `out_channels` out: the same number for
  // more than two; for one or two, 1 (the mean of the module's two
  // channels) or 2. The instances run at `rate`; `input_rate` is the input
  // file's. Null with `error` set when a module refuses; a rate the plug-in
  // cannot run at is told as `rate_source` ("'in.wav' is at") and the rate.
  static std::unique_ptr<ChannelRack> Create(const std::string& image, const std::string& module_path,
                                             const HostControl& control, int rate, int input_rate,
                                             int in_channels, int out_channels, const std::string& rate_source,
                                             std::string& error);

  // Renders `frames` frames (in_channels values each, file scale) into
  // `out` (out_channels each), calling each instance's audio port with
  // blocks of at most `block` frames, block by block across the instances.
  // `first_frame` counts from the start. False with `error` set when the
  // host's events could not be read (a sidechain file).
  bool Process(const float* in, float* out, std::int64_t frames, std::int64_t first_frame, std::int64_t block,
               std::string& error);

  int instances() const { return static_cast<int>(units_.size()); }
  // Frames the output lags the input by (an oversampled module's filters);
  // every instance loads the same module, so the first speaks for all.
  std::int64_t LatencyFrames() const;
  // The sounds the module names that could not be loaded (each instance
  // loads the same module, so the first speaks for all).
  std::vector<std::string> SoundProblems() const;
  // "channels 3-4", "channel 5", or "" for a file of one or two channels.
  std::string Channels(int instance) const;
  // Output values replaced because they were not finite, per output channel.
  std::vector<std::int64_t> NonFiniteCounts() const;
  // The earliest runaway among the instances, if any.
  bool FirstRunaway(Runaway& runaway) const;

 private:
  struct Unit {
    std::unique_ptr<pluginhost::Module> module;
    HostControl control;
    int in_left, in_right;    // input channels feeding its two channels
    int out_left, out_right;  // output channels; out_right -1: the mean goes to out_left
  };
  ChannelRack() = default;

  std::unique_ptr<pluginhost::Library> library_;
  std::vector<Unit> units_;
  int in_channels_ = 0, out_channels_ = 0;
  std::vector<std::vector<float>> stereo_;  // per instance
};

}  // namespace korvel::cli

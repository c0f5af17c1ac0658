#include "tools/korvel/channel_rack.h"

#include <algorithm>
#include <cmath>

#include "tools/korvel/audio.h"
#include "tools/korvel/module_io.h"

namespace korvel::cli {

namespace {
// +24 dBFS on the engine's scale: past it, an output has run away.
const double kRunawayLimit = kEngineScale * std::pow(10.0, 24.0 / 20.0);
}  // namespace

std::unique_ptr<ChannelRack> ChannelRack::Create(const std::string& image, const std::string& module_path,
                                                 const HostControl& control, int rate, int input_rate,
                                                 int in_channels, int out_channels, const std::string& rate_source,
                                                 std::string& error) {
  std::unique_ptr<ChannelRack> rack(new ChannelRack());
  rack->library_ = pluginhost::Library::Load(pluginhost::DefaultLibraryPath(), error);
  if (!rack->library_) return nullptr;
  rack->in_channels_ = in_channels;
  rack->out_channels_ = out_channels;
  const auto add = [&](int in_left, int in_right, int out_left, int out_right) {
    Unit unit{pluginhost::Module::Create(*rack->library_), control, in_left, in_right, out_left, out_right};
    if (!unit.module) {
      error = "the plug-in created no module";
      return false;
    }
    pluginhost::Module& module = *unit.module;
    module.Init();
    if (!module.SetSampleRate(rate)) {
      error = rate_source + " " + std::to_string(rate) + " Hz, a rate the plug-in cannot run at";
      return false;
    }
    if (!LoadIntoPlugin(module, image, module_path, error)) return false;
    // One sidechain for all: read by whichever instance asks first.
    if (!rack->units_.empty()) unit.control.ShareSidechainWith(rack->units_.front().control);
    if (!unit.control.Prepare(module, rate, error, input_rate)) return false;
    module.WatchOutputs(kRunawayLimit);
    rack->units_.push_back(std::move(unit));
    return true;
  };
  bool made = true;
  if (in_channels <= 2) {
    const int right_in = in_channels == 2 ? 1 : 0;
    made = add(0, right_in, 0, out_channels == 2 ? 1 : -1);
  } else {
    for (int c = 0; c < in_channels && made; c += 2)
      made = c + 1 < in_channels ? add(c, c + 1, c, c + 1) : add(c, c, c, -1);
  }
  if (!made) return nullptr;
  rack->stereo_.resize(rack->units_.size());
  return rack;
}

std::int64_t ChannelRack::LatencyFrames() const {
  return units_.empty() ? 0 : static_cast<std::int64_t>(units_.front().module->LatencyFrames());
}

std::vector<std::string> ChannelRack::SoundProblems() const {
  return units_.empty() ? std::vector<std::string>() : units_.front().module->SoundProblems();
}

bool ChannelRack::Process(const float* in, float* out, std::int64_t frames, std::int64_t first_frame,
                          std::int64_t block, std::string& error) {
  const auto scale = static_cast<float>(kEngineScale);
  const auto unscale = static_cast<float>(1.0 / kEngineScale);
  for (std::size_t i = 0; i < units_.size(); ++i) {
    const Unit& u = units_[i];
    stereo_[i].resize(2 * static_cast<std::size_t>(frames));
    float* s = stereo_[i].data();
    for (std::int64_t f = 0; f < frames; ++f) {
      s[2 * f] = in[f * in_channels_ + u.in_left] * scale;
      s[2 * f + 1] = in[f * in_channels_ + u.in_right] * scale;
    }
  }
  for (std::int64_t at = 0; at < frames; at += block) {
    const auto n = static_cast<std::uint32_t>(std::min(block, frames - at));
    for (std::size_t i = 0; i < units_.size(); ++i) {
      // Per-block host events (parameters, automation, notes, tempo, the
      // sidechain) are delivered here, before the block's audio call.
      if (!units_[i].control.BeforeBlock(*units_[i].module, first_frame + at, n, error)) return false;
      units_[i].module->Audio(stereo_[i].data() + 2 * at, n);
    }
  }
  for (std::size_t i = 0; i < units_.size(); ++i) {
    const Unit& u = units_[i];
    const float* s = stereo_[i].data();
    for (std::int64_t f = 0; f < frames; ++f) {
      float* o = out + f * out_channels_;
      if (u.out_right < 0) {
        o[u.out_left] = (s[2 * f] * unscale + s[2 * f + 1] * unscale) * 0.5f;
      } else {
        o[u.out_left] = s[2 * f] * unscale;
        o[u.out_right] = s[2 * f + 1] * unscale;
      }
    }
  }
  return true;
}

std::string ChannelRack::Channels(int instance) const {
  if (in_channels_ <= 2) return "";
  const Unit& u = units_[instance];
  if (u.in_left == u.in_right) return "channel " + std::to_string(u.in_left + 1);
  return "channels " + std::to_string(u.in_left + 1) + "-" + std::to_string(u.in_right + 1);
}

std::vector<std::int64_t> ChannelRack::NonFiniteCounts() const {
  std::vector<std::int64_t> counts(out_channels_, 0);
  for (const Unit& u : units_) {
    const auto replaced = u.module->NonFiniteCounts();
    if (u.out_right < 0) {
      counts[u.out_left] += static_cast<std::int64_t>(replaced[2]);
    } else {
      counts[u.out_left] += static_cast<std::int64_t>(replaced[0]);
      counts[u.out_right] += static_cast<std::int64_t>(replaced[1]);
    }
  }
  return counts;
}

bool ChannelRack::FirstRunaway(Runaway& runaway) const {
  bool found = false;
  for (int i = 0; i < instances(); ++i) {
    Runaway r;
    r.instance = i;
    if (!units_[i].module->FirstOffence(r.slot, r.frame, r.value)) continue;
    r.value /= kEngineScale;
    if (!found || r.frame < runaway.frame) runaway = r;
    found = true;
  }
  return found;
}

}  // namespace korvel::cli

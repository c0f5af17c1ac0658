#include "tools/korvel/host_control.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "components/value_sources.h"
#include "engine/file_io.h"
#include "engine/patch_engine.h"
#include "tools/korvel/automation_file.h"
#include "tools/korvel/midi_file.h"
#include "tools/korvel/module_io.h"
#include "tools/korvel/resample.h"
#include "tools/korvel/text_format.h"
#include "tools/pluginhost/plugin_host.h"

namespace korvel::cli {

namespace {

// Ticks per beat where the host has no resolution of its own to give.
constexpr double kDefaultTicksPerBeat = 960.0;
constexpr double kDefaultBeatsPerBar = 4.0;

// A control file through the one reader: a pipe too (a process
// substitution), never a device or a directory, and at most `limit` bytes.
bool ReadControlFile(const std::string& path, std::size_t limit, std::string& bytes, std::string& error) {
  std::string reason;
  if (ReadInputFile(path, {limit, /*pipes=*/true}, bytes, reason)) return true;
  error = "cannot read " + InputName(path) + ": " + reason;
  return false;
}

// Parameter `text` of the module: a number 1..25 or a name. Answers 0..24,
// or -1 with `reason` set.
int ResolveParameter(const std::string& text, const std::vector<std::string>& names, std::string& reason) {
  if (!text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    const long number = text.size() > 3 ? 0 : std::stol(text);
    if (number >= 1 && number <= kNamedParameterCount) return static_cast<int>(number - 1);
    reason = "parameter " + Excerpt(text) + " is not one of 1..25";
    return -1;
  }
  for (int p = 0; p < kNamedParameterCount; ++p)
    if (names[p] == text) return p;
  reason = "the module has no parameter named '" + Excerpt(text) + "'";
  return -1;
}

}  // namespace

bool HostControl::Parse(const Args& args, std::size_t& i, std::string& error) {
  const std::string& option = args[i];
  if (option != "--set" && option != "--automation" && option != "--midi" && option != "--bpm" &&
      option != "--sidechain")
    return false;
  if (i + 1 >= args.size()) {
    error = option + " needs a value";
    return false;
  }
  const std::string& value = args[++i];
  if (option == "--set") {
    const auto equals = value.rfind('=');
    if (equals == std::string::npos || equals == 0)
      error = "--set needs PARAMETER=VALUE, not '" + value + "'";
    else
      settings_.emplace_back(value.substr(0, equals), value.substr(equals + 1));
  } else if (option == "--bpm") {
    const auto comma = value.find(',');
    double per_minute = 0.0, per_bar = kDefaultBeatsPerBar;
    const bool ok = ParseNumber(value.substr(0, comma), per_minute) && per_minute > 0.0 &&
                    (comma == std::string::npos || (ParseNumber(value.substr(comma + 1), per_bar) && per_bar > 0.0));
    if (bpm_) error = "--bpm is given twice";
    else if (!ok) error = "--bpm needs N or N,B (quarter notes per minute and per bar, above 0), not '" + value + "'";
    else bpm_.emplace(per_minute, per_bar);
  } else {
    std::string& path = option == "--midi" ? midi_path_ : option == "--sidechain" ? sidechain_path_ : automation_path_;
    if (!path.empty()) error = option + " is given twice";
    path = value;
  }
  return error.empty();
}

void HostControl::AddInputs(std::vector<ProtectedInput>& inputs) const {
  if (!automation_path_.empty()) inputs.push_back({automation_path_, "the automation file"});
  if (!midi_path_.empty()) inputs.push_back({midi_path_, "the MIDI file"});
  if (!sidechain_path_.empty()) inputs.push_back({sidechain_path_, "the sidechain"});
}

bool HostControl::Prepare(pluginhost::Module& module, double sample_rate, std::string& error, int input_rate) {
  sample_rate_ = sample_rate;
  std::vector<std::string> names;
  for (int p = 0; p < kNamedParameterCount; ++p) names.push_back(module.ParameterName(p));
  std::string reason;

  for (const auto& [parameter, text] : settings_) {
    const std::string item = "--set " + parameter + "=" + text + ": ";
    const int p = ResolveParameter(parameter, names, reason);
    if (p < 0) {
      error = item + reason;
      return false;
    }
    double value = 0.0;
    if (!ParseNumber(text, value) || !(value >= 0.0 && value <= 1.0)) {
      error = item + "the value must be a number in 0..1";
      return false;
    }
    module.SetParameterValue(p, value);
  }

  if (!automation_path_.empty()) {
    std::string text;
    if (!ReadControlFile(automation_path_, kMaxAutomationFileSize, text, error)) return false;
    // Each parameter written in the file is resolved once; points go
    // straight to their lanes.
    std::vector<std::pair<std::string, int>> resolved;
    const auto add = [&](const AutomationPoint& point, std::string& why) {
      auto known = std::find_if(resolved.begin(), resolved.end(),
                                [&](const auto& r) { return r.first == point.parameter; });
      if (known == resolved.end()) {
        const int p = ResolveParameter(std::string(point.parameter), names, why);
        if (p < 0) return false;
        known = resolved.insert(resolved.end(), {std::string(point.parameter), p});
      }
      const int p = known->second;
      auto lane = std::find_if(lanes_.begin(), lanes_.end(), [p](const Lane& l) { return l.parameter == p; });
      if (lane == lanes_.end()) lane = lanes_.insert(lanes_.end(), Lane{p, {}});
      lane->points.emplace_back(point.seconds, point.value);
      return true;
    };
    if (!ReadAutomationFile(text, add, reason)) {
      error = InputName(automation_path_) + ": " + reason;
      return false;
    }
    // Rows may come in any order; rows of one time keep theirs (a jump).
    for (Lane& lane : lanes_)
      std::stable_sort(lane.points.begin(), lane.points.end(),
                       [](const auto& a, const auto& b) { return a.first < b.first; });
  }

  // The song: --bpm, else the MIDI file's tempo map; it plays from beat 0.
  const auto frame_of = [this](double seconds) {
    const double frame = std::round(seconds * sample_rate_);
    return frame < 9.0e18 ? static_cast<std::int64_t>(frame) : -1;  // -1: beyond any render
  };
  const auto song_point = [this](std::int64_t frame, double per_minute, double per_bar, double ticks) {
    const bool first = transport_.empty();
    transport_.push_back({frame, {0, 0, per_minute, per_bar, ticks, first ? 0.0 : NAN, first ? 1.0 : NAN}});
  };
  if (bpm_) song_point(0, bpm_->first, bpm_->second, kDefaultTicksPerBeat);
  if (!midi_path_.empty()) {
    std::string bytes;
    if (!ReadControlFile(midi_path_, kMaxMidiFileSize, bytes, error)) return false;
    std::vector<MidiNote> notes;
    MidiTempoMap tempo_map;
    if (!ReadMidiFile(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), notes, reason, &tempo_map)) {
      error = InputName(midi_path_) + ": " + reason;
      return false;
    }
    for (const MidiNote& n : notes) {
      if (const std::int64_t frame = frame_of(n.seconds); frame >= 0)
        notes_.push_back({frame, {0, n.status, n.note, n.velocity, 0}});
    }
    block_notes_.reserve(notes_.size());
    const double ticks = tempo_map.ticks_per_beat > 0.0 ? tempo_map.ticks_per_beat : kDefaultTicksPerBeat;
    if (!bpm_) {
      for (const MidiTempo& point : tempo_map.points)
        if (const std::int64_t frame = frame_of(point.seconds); frame >= 0)
          song_point(frame, point.beats_per_minute, point.beats_per_bar, ticks);
    }
  }

  if (!sidechain_path_.empty() && !sidechain_) {
    auto source = OpenAudioFile(sidechain_path_, reason);
    if (!source) {
      error = "--sidechain: " + reason;
      return false;
    }
    if (source->channels() > 2) {
      error = "--sidechain: '" + sidechain_path_ + "' has " + std::to_string(source->channels()) +
              " channels; mono or stereo only";
      return false;
    }
    const int rate = input_rate > 0 ? input_rate : static_cast<int>(sample_rate_);
    if (source->rate() != rate) {
      error = "--sidechain '" + sidechain_path_ + "' is at " + std::to_string(source->rate()) +
              " Hz and the input at " + std::to_string(rate) + " Hz; the two must have the same rate";
      return false;
    }
    if (rate != static_cast<int>(sample_rate_)) {
      source = ResampledSource(std::move(source), static_cast<int>(sample_rate_), reason);
      if (!source) {
        error = "--sidechain: " + reason;
        return false;
      }
    }
    sidechain_ = std::make_shared<SidechainFeed>();
    sidechain_->source = std::move(source);
  }
  return true;
}

// Each lane's value for the block: a point whose time falls in the block is
// reached exactly (the last of them, when several do); otherwise the line
// between the points around the block's start. Before a lane's first point
// the parameter is left alone.
bool HostControl::BeforeBlock(pluginhost::Module& module, std::int64_t first_frame, std::uint32_t frames,
                              std::string& error) {
  const double start = static_cast<double>(first_frame) / sample_rate_;
  const double end = static_cast<double>(first_frame + frames) / sample_rate_;
  for (Lane& lane : lanes_) {
    const auto& points = lane.points;
    if (points.front().first >= end) continue;
    while (lane.cursor + 1 < points.size() && points[lane.cursor + 1].first < end) ++lane.cursor;
    const auto& [t0, v0] = points[lane.cursor];
    double value = v0;
    if (t0 < start && lane.cursor + 1 < points.size()) {
      const auto& [t1, v1] = points[lane.cursor + 1];
      value = v0 + (v1 - v0) * (start - t0) / (t1 - t0);
    }
    if (value != lane.sent) {
      module.SetParameterValue(lane.parameter, value);
      lane.sent = value;
    }
  }

  block_notes_.clear();
  const std::int64_t last = first_frame + frames;
  for (; next_note_ < notes_.size() && notes_[next_note_].frame < last; ++next_note_) {
    if (notes_[next_note_].frame < first_frame) continue;
    NoteEvent event = notes_[next_note_].event;
    event.frame = static_cast<std::uint32_t>(notes_[next_note_].frame - first_frame);
    block_notes_.push_back(event);
  }
  if (!block_notes_.empty()) {
    NotesRecord record{static_cast<std::int32_t>(block_notes_.size()), block_notes_.data()};
    module.Notes(&record);
  }

  for (; next_transport_ < transport_.size() && transport_[next_transport_].frame < last; ++next_transport_) {
    TransportRecord record = transport_[next_transport_].record;
    const std::int64_t offset = transport_[next_transport_].frame - first_frame;
    record.frame = static_cast<std::uint32_t>(std::max<std::int64_t>(offset, 0));
    module.Transport(record);
  }

  // The sidechain's frames for this block; past its end, silence.
  if (sidechain_) {
    SidechainFeed& feed = *sidechain_;
    if (feed.first_frame != first_frame || feed.frames != frames) {
      // A block no instance has asked for yet: read it (mono into both
      // channels).
      AudioSource& source = *feed.source;
      const int channels = source.channels();
      feed.read.resize(static_cast<std::size_t>(channels) * frames);
      feed.block.resize(2 * static_cast<std::size_t>(frames));
      std::int64_t got = 0;
      while (got < frames) {
        const std::int64_t n = source.Read(feed.read.data() + channels * got, frames - got);
        if (n < 0) {
          error = "cannot read the sidechain '" + sidechain_path_ + "': " + source.error();
          return false;
        }
        if (n == 0) break;
        got += n;
      }
      const auto scale = static_cast<float>(kEngineScale);
      for (std::int64_t f = 0; f < got; ++f) {
        feed.block[2 * f] = feed.read[channels * f] * scale;
        feed.block[2 * f + 1] = feed.read[channels * f + channels - 1] * scale;
      }
      feed.first_frame = first_frame;
      feed.frames = frames;
      feed.got = got;
    }
    module.Sidechain(feed.block.data(), static_cast<std::uint32_t>(feed.got));
  }
  return true;
}

namespace {
// A range end as the image holds it: a number, or "nan", "inf", "-inf"
// (JSON has no such numbers, and the plug-in accepts them).
std::string RangeEnd(const nlohmann::json& component, const char* key, double fallback) {
  const auto it = component.find(key);
  if (it == component.end()) return ShortestNumber(fallback);
  if (it->is_number()) return ShortestNumber(it->get<double>());
  return it->is_string() ? Escaped(Excerpt(it->get<std::string>())) : "?";
}
}  // namespace

void PrintParameterBindings(const nlohmann::json& module) {
  std::printf("\nparameters bound:\n");
  std::printf("  %5s  %-20s %4s  %-24s %s\n", "param", "name", "slot", "label", "range");
  const nlohmann::json parameters = module.value("parameters", nlohmann::json::array());
  int bound = 0;
  for (const nlohmann::json& c : module.value("components", nlohmann::json::array())) {
    if (c.value("type", -1) != kSliderType) continue;
    const int parameter = c.value("parameter", 1);
    std::string name;
    if (parameter >= 1 && static_cast<std::size_t>(parameter) <= parameters.size())
      name = parameters[parameter - 1].value("name", "");
    std::printf("  %5d  %-20s %4d  %-24s %s .. %s\n", parameter, Escaped(name).c_str(), c.value("slot", -1),
                Escaped(c.value("label", "")).c_str(), RangeEnd(c, "min", 0.0).c_str(),
                RangeEnd(c, "max", 1.0).c_str());
    ++bound;
  }
  if (bound == 0) std::printf("  (none)\n");
  // The MIDI controllers that move parameters, where any are bound.
  bool heading = false;
  for (std::size_t p = 0; p < parameters.size(); ++p) {
    const nlohmann::json& entry = parameters[p];
    if (!entry.is_object() || !entry.contains("controller")) continue;
    if (!heading) std::printf("\nMIDI controllers:\n");
    heading = true;
    std::printf("  CC %-3d -> parameter %zu %s\n", entry["controller"].get<int>(), p + 1,
                Escaped(entry.value("name", "")).c_str());
  }
}

}  // namespace korvel::cli

// korvel render: streams audio through a module exactly as a host does,
// through the plug-in library's exports and the module's operations.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "engine/file_io.h"
#include "tools/korvel/audio.h"
#include "tools/korvel/cli.h"
#include "tools/korvel/host_control.h"
#include "tools/korvel/module_check.h"
#include "tools/korvel/module_io.h"
#include "tools/korvel/text_format.h"
#include "tools/pluginhost/plugin_host.h"

namespace korvel::cli {

namespace {

constexpr char kRenderUsage[] =
    "usage: korvel render MODULE.korvel -o OUT [-i IN] [options]\n"
    "\n"
    "Loads MODULE into the plug-in and streams the input through it, block by\n"
    "block, as a host does, at the input's sample rate.\n"
    "  -o OUT            output file; its type follows the extension (.wav,\n"
    "                    .flac, .aiff, .ogg, ...) unless --type is given.\n"
    "                    '-' writes a WAV stream to standard output.\n"
    "  -i IN             input file, mono or stereo (mono feeds both channels);\n"
    "                    '-' reads standard input. Without -i: the built-in test\n"
    "                    signal, 4 seconds at 44100 Hz of six plucked tones\n"
    "                    (0.0 to 2.0 s, panned about the centre) and a\n"
    "                    quarter-second noise burst at 3.0 s; the same every time.\n"
    "  --type T          output file type (wav, flac, aiff, ogg, caf, w64, ...)\n"
    "  --format F        sample format: f32, f64, pcm16 or pcm24 (default: f32\n"
    "                    where the type holds it, else pcm24)\n"
    "  --no-dither       pcm16 without dither (rounded to nearest all the same)\n"
    "  --channels N      1 or 2 output channels (default: as the input); mono\n"
    "                    output is the mean of the plug-in's two channels\n"
    "  --block FRAMES    frames per call of the plug-in's audio port (default 256)\n"
    "  --seconds S       pad the input with silence, or cut it, to S seconds\n"
    "                    (0 to 86400)\n"
    "  -q                no progress line and no summary (warnings still show)\n"
    KORVEL_HOST_CONTROL_USAGE
    "\n"
    "Full scale in a file (1.0) is 32768.0 inside the plug-in. The output is\n"
    "written beside OUT under a temporary name and replaces OUT only when\n"
    "complete. The summary gives peak and RMS per channel, integrated loudness\n"
    "(EBU R128) and true peak, and warns of clipping and of samples that were\n"
    "not numbers.\n";

constexpr double kMaxSeconds = 24 * 3600.0;
// Frames read and written at a time; the plug-in is called with --block.
constexpr std::int64_t kIoFrames = 16384;
constexpr long long kMaxBlock = 1 << 20;

struct RenderOptions {
  std::string module, output, input, type;
  long long block = 256;
  std::optional<double> seconds;
  SampleFormat format = SampleFormat::kDefault;
  int channels = 0;  // as the input
  bool dither = true;
  bool quiet = false;
  HostControl control;  // --set, --automation, --midi, --bpm, --sidechain
};

std::optional<long long> WholeNumber(const std::string& text) {
  std::size_t used = 0;
  try {
    const long long n = std::stoll(text, &used);
    if (used == text.size()) return n;
  } catch (...) {
  }
  return std::nullopt;
}

// The options, one row each: name, whether it takes a value, and what it
// does with it (an error line, or empty).
struct OptionRow {
  const char* name;
  bool takes_value;
  std::string (*apply)(RenderOptions&, const std::string&);
};

const OptionRow kOptions[] = {
    {"-o", true, [](RenderOptions& o, const std::string& v) { return o.output = v, std::string(); }},
    {"-i", true, [](RenderOptions& o, const std::string& v) { return o.input = v, std::string(); }},
    {"--type", true,
     [](RenderOptions& o, const std::string& v) {
       if (!FileTypeByName(v)) return "unknown file type '" + v + "' (known: " + FileTypeNames() + ")";
       return o.type = v, std::string();
     }},
    {"--format", true,
     [](RenderOptions& o, const std::string& v) {
       const auto f = ParseSampleFormat(v);
       if (!f) return "unknown format '" + v + "' (f32, f64, pcm16 or pcm24)";
       return o.format = *f, std::string();
     }},
    {"--no-dither", false, [](RenderOptions& o, const std::string&) { return o.dither = false, std::string(); }},
    {"--channels", true,
     [](RenderOptions& o, const std::string& v) {
       if (v != "1" && v != "2") return "--channels is 1 or 2, not '" + v + "'";
       return o.channels = v == "1" ? 1 : 2, std::string();
     }},
    {"--block", true,
     [](RenderOptions& o, const std::string& v) {
       const auto n = WholeNumber(v);
       if (!n || *n <= 0 || *n > kMaxBlock)
         return "--block needs a whole number of frames from 1 to " + std::to_string(kMaxBlock) + ", not '" + v + "'";
       return o.block = *n, std::string();
     }},
    {"--seconds", true,
     [](RenderOptions& o, const std::string& v) {
       std::size_t used = 0;
       double s = -1;
       try {
         s = std::stod(v, &used);
       } catch (...) {
         used = 0;
       }
       if (used != v.size() || !(s >= 0 && s <= kMaxSeconds))
         return "--seconds needs a number of seconds from 0 to 86400 (24 hours), not '" + v + "'";
       return o.seconds = s, std::string();
     }},
    {"-q", false, [](RenderOptions& o, const std::string&) { return o.quiet = true, std::string(); }},
};

// Answers an exit code when the arguments are not usable.
std::optional<int> ParseRenderArgs(const Args& args, RenderOptions& options) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string control_error;
    if (options.control.Parse(args, i, control_error)) continue;
    if (!control_error.empty()) return UsageError(control_error, kRenderUsage);
    const std::string& a = args[i];
    // Host events (parameter settings, automation, notes) take their
    // options here, before the table.
    const OptionRow* row = nullptr;
    for (const OptionRow& r : kOptions)
      if (a == r.name) row = &r;
    if (row != nullptr) {
      std::string value;
      if (row->takes_value) {
        if (i + 1 >= args.size()) return UsageError(a + " needs a value", kRenderUsage);
        value = args[++i];
      }
      const std::string error = row->apply(options, value);
      if (!error.empty()) return UsageError(error, kRenderUsage);
    } else if (a.size() > 1 && a[0] == '-') {
      return UsageError("unknown option '" + a + "'", kRenderUsage);
    } else if (options.module.empty()) {
      options.module = a;
    } else {
      return UsageError("one module only ('" + a + "' is extra)", kRenderUsage);
    }
  }
  if (options.module.empty()) return UsageError("no module given", kRenderUsage);
  if (options.output.empty()) return UsageError("no output file given (-o OUT.wav, or -o - for standard output)", kRenderUsage);
  if (options.input == "-" && options.control.sidechain_path() == "-")
    return UsageError("standard input can feed -i or --sidechain, not both", kRenderUsage);
  return std::nullopt;
}

std::string Clock(double seconds) {
  const long long s = std::llround(seconds);
  char text[32];
  if (s >= 3600)
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
  return text;
}

// One line on a terminal, redrawn at most ten times a second, from 0.3 s on.
class Progress {
 public:
  Progress(bool enabled, std::int64_t total, int rate)
      : enabled_(enabled && isatty(STDERR_FILENO) != 0), total_(total), rate_(rate) {}
  void Update(std::int64_t done, double elapsed) {
    if (!enabled_ || elapsed < 0.3 || elapsed - last_ < 0.1) return;
    last_ = elapsed;
    const double audio = static_cast<double>(done) / rate_;
    const double speed = audio / elapsed;
    std::string line = "  " + ShortestTenths(audio) + " s";
    if (total_ > 0) {
      const double fraction = std::min(1.0, static_cast<double>(done) / static_cast<double>(total_));
      line += " of " + ShortestTenths(static_cast<double>(total_) / rate_) + " s  " +
              std::to_string(static_cast<int>(100 * fraction)) + "%  elapsed " + Clock(elapsed) + "  ETA " +
              Clock(fraction > 0 ? elapsed * (1 - fraction) / fraction : 0);
    } else {
      line += "  elapsed " + Clock(elapsed);
    }
    char text[32];
    std::snprintf(text, sizeof text, "  %.1fx", speed);
    line += text;
    std::fprintf(stderr, "\r%-*s", static_cast<int>(std::max(width_, line.size())), line.c_str());
    width_ = std::max(width_, line.size());
  }
  void Finish() {
    if (width_ > 0) std::fprintf(stderr, "\r%*s\r", static_cast<int>(width_), "");
  }

 private:
  static std::string ShortestTenths(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", seconds);
    return text;
  }
  bool enabled_;
  std::int64_t total_;
  int rate_;
  double last_ = -1;
  std::size_t width_ = 0;
};


}  // namespace

int RenderCommand(const Args& args) {
  if (WantsHelp(args)) {
    std::fputs(kRenderUsage, stdout);
    return kExitOk;
  }
  RenderOptions options;
  if (auto code = ParseRenderArgs(args, options)) return *code;
  const bool to_stdout = options.output == "-";

  // Every file the render reads: the output must be none of them.
  std::vector<ProtectedInput> inputs{{options.module, "the module"}};
  if (!options.input.empty()) inputs.push_back({options.input, "the input"});
  options.control.AddInputs(inputs);
  if (std::count_if(inputs.begin(), inputs.end(), [](const ProtectedInput& p) { return p.path == "-"; }) > 1)
    return UsageError("only one file can be standard input ('-')", kRenderUsage);

  std::string error;
  const auto image = ReadModuleFile(options.module, error);
  if (!image) return Fail(kExitFailure, error);

  // Refusals first, while nothing has been made.
  const std::string output_name = to_stdout ? "standard output" : "'" + options.output + "'";
  if (!CheckOutputTarget(options.output, inputs, Existing::kReplace, error))
    return Fail(kExitFailure, "cannot write " + output_name + ": " + error);
  std::optional<int> major;
  if (!options.type.empty()) {
    major = FileTypeByName(options.type);
  } else if (!to_stdout) {
    const std::string extension = std::filesystem::path(options.output).extension().string();
    if (extension.size() > 1) {
      major = FileTypeByName(extension.substr(1));
      if (!major)
        return Fail(kExitFailure, "cannot tell the file type of '" + options.output + "' from its extension; use --type (" +
                                      FileTypeNames() + ")");
    }
  }
  if (!major) major = FileTypeByName("wav");
  if (to_stdout && major != FileTypeByName("wav")) return Fail(kExitFailure, "-o - writes WAV only");
  if (to_stdout && isatty(STDOUT_FILENO))
    return Fail(kExitFailure, "-o - would write audio to the terminal; redirect it to a file or a program");

  auto source = options.input.empty() ? OpenTestSignal() : OpenAudioFile(options.input, error);
  if (!source) return Fail(kExitFailure, error);
  const int rate = source->rate();
  const int channels = options.channels > 0 ? options.channels : source->channels();
  const auto type = ChooseOutputType(*major, options.format, channels, rate, error);
  if (!type) return Fail(kExitFailure, "cannot write " + output_name + ": " + error);

  for (const std::string& warning : CheckModule(*image))
    std::fprintf(stderr, "korvel: warning: %s\n", warning.c_str());

  auto plugin = OpenPlugin(error);
  if (!plugin) return Fail(kExitFailure, error);
  pluginhost::Module& module = *plugin->module;
  if (!module.SetSampleRate(rate))
    return Fail(kExitFailure, InputName(options.input) + " is at " + std::to_string(rate) +
                                  " Hz, a rate the plug-in cannot run at");
  if (!LoadIntoPlugin(module, *image, options.module, error)) return Fail(kExitFailure, error);
  // Every sound is loaded by now, before the first block; one that could
  // not be is silent, and said so.
  for (const std::string& problem : module.SoundProblems())
    std::fprintf(stderr, "korvel: warning: %s\n", problem.c_str());
  if (!options.control.Prepare(module, rate, error)) return Fail(kExitFailure, error);

  // A temporary file beside the target, renamed over it when complete (none
  // for standard output). It outlives the writer that fills it.
  std::unique_ptr<OutputFile> file;
  if (!to_stdout) {
    file = OutputFile::Create(options.output, inputs, Existing::kReplace, error);
    if (!file) return Fail(kExitFailure, "cannot write " + output_name + ": " + error);
  }
  auto output = AudioOutput::Open(file.get(), *type, channels, rate, options.dither, error);
  if (!output) return Fail(kExitFailure, "cannot write " + output_name + ": " + error);

  const std::int64_t limit =
      options.seconds ? std::llround(*options.seconds * rate) : std::numeric_limits<std::int64_t>::max();
  const std::int64_t expected = options.seconds ? limit : source->length_hint();
  // I/O blocks hold at least one call's worth.
  const std::int64_t block = options.block;
  const std::int64_t io_frames = std::max<std::int64_t>(kIoFrames, block);
  std::vector<float> buffer(2 * io_frames), mixed(io_frames);
  LevelMeter meter(channels);
  std::optional<LoudnessMeter> loudness;
  if (!options.quiet) loudness.emplace(channels, rate);
  Progress progress(!options.quiet, expected, rate);
  const auto start = std::chrono::steady_clock::now();
  bool input_ended = false;
  std::int64_t done = 0;
  while (done < limit) {
    const std::int64_t want = std::min(io_frames, limit - done);
    std::int64_t n = 0;
    if (!input_ended) {
      n = source->Read(buffer.data(), want);
      if (n < 0) return Fail(kExitFailure, "cannot read " + InputName(options.input) + ": " + source->error());
      if (n == 0) input_ended = true;
    }
    if (input_ended) {
      if (!options.seconds) break;
      n = want;  // silence to the length asked for
      std::fill_n(buffer.data(), 2 * n, 0.0f);
    }
    float* samples = buffer.data();
    const std::size_t values = 2 * static_cast<std::size_t>(n);
    for (std::size_t i = 0; i < values; ++i) samples[i] *= static_cast<float>(kEngineScale);
    for (std::int64_t at = 0; at < n; at += block) {
      const auto frames = static_cast<std::uint32_t>(std::min(block, n - at));
      // Per-block host events (parameters, automation, notes) are
      // delivered here, before the block's audio call.
      if (!options.control.BeforeBlock(module, done + at, frames, error)) return Fail(kExitFailure, error);
      module.Audio(samples + 2 * at, frames);
    }
    for (std::size_t i = 0; i < values; ++i) samples[i] *= static_cast<float>(1.0 / kEngineScale);
    if (channels == 1) {
      for (std::int64_t f = 0; f < n; ++f) mixed[f] = (samples[2 * f] + samples[2 * f + 1]) * 0.5f;
      samples = mixed.data();
    }
    meter.Add(samples, n);
    if (loudness) loudness->Add(samples, n);
    if (!output->Write(samples, n)) return Fail(kExitFailure, "cannot write " + output_name + ": " + output->error());
    done += n;
    progress.Update(done, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  progress.Finish();
  if (!output->Close()) return Fail(kExitFailure, "cannot finish " + output_name + ": " + output->error());
  if (file && !file->Commit(error)) return Fail(kExitFailure, "cannot write " + output_name + ": " + error);

  // The plug-in hands the host finite samples only, and counts what it
  // replaced.
  const auto non_finite = static_cast<std::int64_t>(module.NonFiniteCount());

  // Warnings, then the summary (on standard error when the audio is on
  // standard output).
  const char* channel_names[2][2] = {{"mono", ""}, {"left", "right"}};
  const auto percent = [&](std::int64_t count) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f%%", done > 0 ? 100.0 * static_cast<double>(count) / static_cast<double>(done) : 0.0);
    return std::string(text);
  };
  std::vector<std::string> clip_notes(channels);
  for (int c = 0; c < channels; ++c) {
    const std::int64_t over = output->over_full_scale(c);
    if (over == 0) continue;
    const std::string counted = Grouped(over) + " samples (" + percent(over) + ")";
    clip_notes[c] = output->clips() ? "clipped " + counted : counted + " over full scale";
    std::fprintf(stderr, "korvel: warning: %s %s — lower the level%s\n", channel_names[channels - 1][c],
                 clip_notes[c].c_str(), output->clips() ? "" : " (a fixed-point file would clip them)");
  }
  if (non_finite > 0)
    std::fprintf(stderr, "korvel: warning: the module made %s samples that were not numbers (NaN or infinite); written as 0\n",
                 Grouped(non_finite).c_str());
  if (options.quiet) return kExitOk;
  FILE* summary = to_stdout ? stderr : stdout;
  const double seconds = static_cast<double>(done) / rate;
  std::fprintf(summary, "%s: %s frames, %.3f s, %d Hz, %s\n", to_stdout ? "-" : options.output.c_str(),
               Grouped(done).c_str(), seconds, rate, type->Describe().c_str());
  for (int c = 0; c < channels; ++c) {
    std::fprintf(summary, "  %-6s peak %8s dBFS  rms %8s dBFS%s%s\n", channel_names[channels - 1][c],
                 Decibels(meter.PeakDb(c)).c_str(), Decibels(meter.RmsDb(c)).c_str(),
                 clip_notes[c].empty() ? "" : "  ", clip_notes[c].c_str());
  }
  double lufs = 0, true_peak = 0;
  if (loudness && loudness->Finish(lufs, true_peak)) {
    // Integrated loudness needs one 0.4-s gating block, and ignores blocks
    // below -70 LUFS; say which, rather than print -inf.
    char text[32];
    std::snprintf(text, sizeof text, "%.1f LUFS integrated", lufs);
    const std::string integrated = seconds < 0.4         ? "under 0.4 s, not measured"
                                   : std::isinf(lufs)    ? "below -70 LUFS"
                                                         : text;
    std::fprintf(summary, "  loudness %s; true peak %s dBTP\n", integrated.c_str(), Decibels(true_peak).c_str());
  }
  if (non_finite > 0) std::fprintf(summary, "  not a number: %s samples, written as 0\n", Grouped(non_finite).c_str());
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (elapsed > 0 && done > 0) std::fprintf(summary, "  speed  %.1fx real time\n", seconds / elapsed);
  return kExitOk;
}

}  // namespace korvel::cli

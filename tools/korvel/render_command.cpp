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
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/file_io.h"
#include "engine/oversampling.h"
#include "tools/korvel/audio.h"
#include "tools/korvel/batch.h"
#include "tools/korvel/channel_rack.h"
#include "tools/korvel/cli.h"
#include "tools/korvel/host_control.h"
#include "tools/korvel/module_check.h"
#include "tools/korvel/module_io.h"
#include "tools/korvel/resample.h"
#include "tools/korvel/tail.h"
#include "tools/korvel/text_format.h"
#include "tools/pluginhost/plugin_host.h"

namespace korvel::cli {

namespace {

namespace fs = std::filesystem;

constexpr char kRenderUsage[] =
    "usage: korvel render MODULE.korvel -o OUT [-i IN] [options]\n"
    "       korvel render MODULE.korvel -i IN1 IN2 ... -o DIR/ [-j N] [options]\n"
    "\n"
    "Loads MODULE into the plug-in and streams the input through it, block by\n"
    "block, as a host does, at the input's sample rate. After the input ends the\n"
    "module rings out (an echo, a resonant filter) until its output has stayed\n"
    "below -120 dBFS for 100 ms, for at most 60 s; the summary says how long.\n"
    "  -o OUT            output file; its type follows the extension (.wav,\n"
    "                    .flac, .aiff, .ogg, ...) unless --type is given.\n"
    "                    '-' writes a WAV stream to standard output.\n"
    "  -i IN ...         input file(s) of any number of channels: mono feeds both\n"
    "                    of the module's channels; more than two go through one\n"
    "                    instance of the module per pair (1-2, 3-4, ...; a last odd\n"
    "                    channel alone, as mono). '-' reads standard input, any\n"
    "                    type (FLAC too). Without -i: the built-in test signal, 4\n"
    "                    seconds at 44100 Hz of six plucked tones (0.0 to 2.0 s,\n"
    "                    panned about the centre) and a quarter-second noise burst\n"
    "                    at 3.0 s; the same every time.\n"
    "                    Several inputs, or -o naming a folder (DIR/), render each\n"
    "                    input into that folder under its own name, N at a time\n"
    "                    (-j N, default: the number of processors), one line each\n"
    "                    and a count at the end; a file that fails is named with\n"
    "                    its reason and the others still complete. Exit status 1\n"
    "                    when any failed.\n"
    "  -j N              files rendered at once (1 to 256)\n"
    "  --type T          output file type (wav, flac, aiff, ogg, caf, w64, ...);\n"
    "                    in a batch it also replaces each name's extension\n"
    "  --format F        sample format: f32, f64, pcm16 or pcm24 (default: f32\n"
    "                    where the type holds it, else pcm24)\n"
    "  --dither D        pcm16 dither: tpdf (flat, the default), shaped (TPDF\n"
    "                    with its noise moved away from 2-5 kHz, where hearing is\n"
    "                    keenest) or none. Samples already on the 16-bit grid are\n"
    "                    never dithered: a 16-bit file through a passthrough comes\n"
    "                    out bit for bit.\n"
    "  --no-dither       the same as --dither none (rounded to nearest all the same)\n"
    "  --channels N      1 or 2 output channels for mono or stereo input\n"
    "                    (default: as the input); mono output is the mean of the\n"
    "                    plug-in's two channels\n"
    "  --rate HZ         deliver the output at this sample rate (libsoxr, very high\n"
    "                    quality); the module still runs at the input's rate\n"
    "  --engine-rate HZ  run the module at this rate: the input is converted to it\n"
    "                    first, and the output converted back to the input's rate\n"
    "                    (or to --rate)\n"
    "  --block FRAMES    frames per call of the plug-in's audio port (default 256)\n"
    "  --seconds S       pad the input with silence, or cut it, to S seconds\n"
    "                    (0 to 86400); no tail is added\n"
    "  --tail S          let the module ring out for at most S seconds (default\n"
    "                    60; 0 cuts at the input's end)\n"
    "  --oversample N    run the module at N times its rate (1, 2, 4, 8 or 16),\n"
    "                    whatever its file says\n"
    "  -q                no progress line and no summary (warnings still show)\n"
    KORVEL_HOST_CONTROL_USAGE
    "\n"
    "An option's value may also follow it after '=' (--rate=48000). A file\n"
    "option given twice is an error.\n"
    "Full scale in a file (1.0) is 32768.0 inside the plug-in. The output is\n"
    "written beside OUT under a temporary name and replaces OUT only when\n"
    "complete. The summary gives peak and RMS per channel, integrated loudness\n"
    "(EBU R128) and true peak, and warns, per channel, of clipping and of\n"
    "samples that were not numbers; when the output ran away (not a number, or\n"
    "past +24 dBFS) it names the first component whose output did. An\n"
    "oversampled module's latency is taken out: each output frame lines up with\n"
    "the input frame it came from.\n";

constexpr double kMaxSeconds = 24 * 3600.0;
// Frames read and written at a time; the plug-in is called with --block.
constexpr std::int64_t kIoFrames = 16384;
// Frames rendered at a time during a tail: a tail ends within this of
// its last sound.
constexpr std::int64_t kTailFrames = 4096;
constexpr long long kMaxBlock = 1 << 20;
constexpr int kMostJobs = 256;
// The rate a module's findings are checked at before a batch, for those that
// hold at every rate.
constexpr double kCheckRate = 44100.0;
// An output past +24 dBFS has run away (file scale).
const double kRunawayLevel = std::pow(10.0, 24.0 / 20.0);

struct RenderOptions {
  std::string module, output, type;
  std::vector<std::string> inputs;  // none: the built-in test signal
  long long block = 256;
  std::optional<double> seconds;
  double tail = kDefaultTailSeconds;
  SampleFormat format = SampleFormat::kDefault;
  int channels = 0;  // as the input
  int rate = 0;         // output rate; 0: the engine's
  int engine_rate = 0;  // 0: the input's
  Dither dither = Dither::kTpdf;
  bool dither_given = false;
  int jobs = 0;  // 0: the number of processors
  bool quiet = false;
  std::optional<int> oversample;
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

std::optional<double> Seconds(const std::string& text) {
  std::size_t used = 0;
  double s = -1;
  try {
    s = std::stod(text, &used);
  } catch (...) {
    used = 0;
  }
  if (used != text.size() || !(s >= 0 && s <= kMaxSeconds)) return std::nullopt;
  return s;
}

std::string RateOption(const char* name, int& rate, const std::string& v) {
  const auto n = WholeNumber(v);
  if (!n || *n < 1000 || *n > 768000)
    return std::string(name) + " needs a sample rate in Hz from 1000 to 768000, not '" + v + "'";
  rate = static_cast<int>(*n);
  return {};
}

// The options, one row each: name, whether it takes a value, and what it
// does with it (an error line, or empty).
struct OptionRow {
  const char* name;
  bool takes_value;
  std::string (*apply)(RenderOptions&, const std::string&);
};

const OptionRow kOptions[] = {
    {"-o", true,
     [](RenderOptions& o, const std::string& v) {
       if (!o.output.empty()) return std::string("-o is given twice");
       return o.output = v, std::string();
     }},
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
    {"--dither", true,
     [](RenderOptions& o, const std::string& v) {
       const auto d = ParseDither(v);
       if (!d) return "unknown dither '" + v + "' (tpdf, shaped or none)";
       if (o.dither_given && *d != o.dither) return std::string("--dither is given twice");
       o.dither_given = true;
       return o.dither = *d, std::string();
     }},
    {"--no-dither", false,
     [](RenderOptions& o, const std::string&) {
       if (o.dither_given && o.dither != Dither::kNone) return std::string("--no-dither contradicts --dither");
       o.dither_given = true;
       return o.dither = Dither::kNone, std::string();
     }},
    {"--channels", true,
     [](RenderOptions& o, const std::string& v) {
       if (v != "1" && v != "2") return "--channels is 1 or 2, not '" + v + "'";
       return o.channels = v == "1" ? 1 : 2, std::string();
     }},
    {"--rate", true, [](RenderOptions& o, const std::string& v) { return RateOption("--rate", o.rate, v); }},
    {"--engine-rate", true,
     [](RenderOptions& o, const std::string& v) { return RateOption("--engine-rate", o.engine_rate, v); }},
    {"--block", true,
     [](RenderOptions& o, const std::string& v) {
       const auto n = WholeNumber(v);
       if (!n || *n <= 0 || *n > kMaxBlock)
         return "--block needs a whole number of frames from 1 to " + std::to_string(kMaxBlock) + ", not '" + v + "'";
       return o.block = *n, std::string();
     }},
    {"--seconds", true,
     [](RenderOptions& o, const std::string& v) {
       const auto s = Seconds(v);
       if (!s) return "--seconds needs a number of seconds from 0 to 86400 (24 hours), not '" + v + "'";
       return o.seconds = *s, std::string();
     }},
    {"--tail", true,
     [](RenderOptions& o, const std::string& v) {
       const auto s = Seconds(v);
       if (!s) return "--tail needs a number of seconds from 0 to 86400 (24 hours), not '" + v + "'";
       return o.tail = *s, std::string();
     }},
    {"-j", true,
     [](RenderOptions& o, const std::string& v) {
       const auto n = WholeNumber(v);
       if (!n || *n < 1 || *n > kMostJobs) return "-j needs a number of files from 1 to 256, not '" + v + "'";
       return o.jobs = static_cast<int>(*n), std::string();
     }},
    {"-q", false, [](RenderOptions& o, const std::string&) { return o.quiet = true, std::string(); }},
    {"--oversample", true,
     [](RenderOptions& o, const std::string& v) {
       const auto n = WholeNumber(v);
       if (!n || !IsOversamplingFactor(static_cast<double>(*n))) {
         double value = n ? static_cast<double>(*n) : 1.0;
         try {
           value = std::stod(v);
         } catch (...) {
         }
         return "--oversample " + OversamplingRefusal(value) + ", not '" + v + "'";
       }
       return o.oversample = static_cast<int>(*n), std::string();
     }},
};

// The module image with its oversampling replaced.
std::string WithOversampling(const std::string& image, int factor) {
  auto root = nlohmann::ordered_json::parse(image);
  if (factor == 1) {
    root.erase("oversampling");
  } else {
    root["oversampling"] = factor;
  }
  return root.dump(1);
}

bool IsOption(const std::string& a) { return a.size() > 1 && a[0] == '-'; }

// Answers an exit code when the arguments are not usable.
std::optional<int> ParseRenderArgs(const Args& args, RenderOptions& options) {
  bool inputs_given = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    // Host events (parameter settings, automation, notes) take their
    // options here, before the table.
    std::string control_error;
    if (options.control.Parse(args, i, control_error)) continue;
    if (!control_error.empty()) return UsageError(control_error, kRenderUsage);
    const std::string& a = args[i];
    if (a == "-i") {
      // One or more inputs: every argument up to the next option.
      if (inputs_given) return UsageError("-i is given twice; name every input after one -i", kRenderUsage);
      inputs_given = true;
      while (i + 1 < args.size() && !IsOption(args[i + 1])) options.inputs.push_back(args[++i]);
      if (options.inputs.empty()) return UsageError("-i needs a value", kRenderUsage);
      continue;
    }
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
    } else if (IsOption(a)) {
      return UsageError("unknown option '" + a + "'", kRenderUsage);
    } else if (options.module.empty()) {
      options.module = a;
    } else {
      return UsageError("one module only ('" + a + "' is extra)", kRenderUsage);
    }
  }
  if (options.module.empty()) {
    for (const std::string& input : options.inputs)
      if (input.size() > 7 && input.ends_with(".korvel"))
        return UsageError("no module given ('" + input + "' is read as an input: the names after -i are inputs)",
                          kRenderUsage);
    return UsageError("no module given", kRenderUsage);
  }
  if (options.output.empty()) return UsageError("no output file given (-o OUT.wav, or -o - for standard output)", kRenderUsage);
  if (std::find(options.inputs.begin(), options.inputs.end(), "-") != options.inputs.end() &&
      options.control.sidechain_path() == "-")
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


// A share as a percentage: one decimal, more where that would hide a
// count that is not zero ("0.0023%", never "0.0%").
std::string Percent(std::int64_t count, std::int64_t of) {
  const double p = of > 0 ? 100.0 * static_cast<double>(count) / static_cast<double>(of) : 0.0;
  char text[32];
  if (count == 0 || p >= 0.05)
    std::snprintf(text, sizeof text, "%.1f%%", p);
  else
    std::snprintf(text, sizeof text, "%.2g%%", p);
  return text;
}

// One render: a module over one input into one output.
struct Job {
  std::string input;   // empty: the built-in test signal; "-": standard input
  std::string output;  // "-": standard output
  // A batch's inputs, which no output may be.
  const std::vector<std::string>* batch_inputs = nullptr;
};

// What a render says: the full summary, or (in a batch) one line.
enum class Report { kFull, kLine };

std::string ChannelName(int channels, int c) {
  if (channels == 1) return "mono";
  if (channels == 2) return c == 0 ? "left" : "right";
  return "ch" + std::to_string(c + 1);
}

int Render(const RenderOptions& options, const std::string& image, const Job& job, Report report) {
  const bool to_stdout = job.output == "-";
  const std::string input_name =
      job.input.empty() ? "the test signal" : job.input == "-" ? "standard input" : "'" + job.input + "'";
  // In a batch every line starts with the input it is about.
  const std::string prefix = report == Report::kLine ? job.input + ": " : "";
  const auto fail = [&](const std::string& message) { return Fail(kExitFailure, prefix + message); };
  std::string error;

  // Refusals first, while nothing has been made.
  // Every file the render reads: the output must be none of them (in a
  // batch, none of the batch's inputs either).
  std::vector<ProtectedInput> inputs{{options.module, "the module"}};
  if (!job.input.empty()) inputs.push_back({job.input, "the input"});
  if (job.batch_inputs != nullptr)
    for (const std::string& other : *job.batch_inputs)
      if (other != job.input) inputs.push_back({other, "an input of the batch"});
  options.control.AddInputs(inputs);
  const std::string output_name = to_stdout ? "standard output" : "'" + job.output + "'";
  if (!CheckOutputTarget(job.output, inputs, Existing::kReplace, error))
    return fail("cannot write " + output_name + ": " + error);
  std::optional<int> major;
  if (!options.type.empty()) {
    major = FileTypeByName(options.type);
  } else if (!to_stdout) {
    const std::string extension = fs::path(job.output).extension().string();
    if (extension.size() > 1) {
      major = FileTypeByName(extension.substr(1));
      if (!major)
        return fail("cannot tell the file type of '" + job.output + "' from its extension; use --type (" +
                    FileTypeNames() + ")");
    }
  }
  if (!major) major = FileTypeByName("wav");
  if (to_stdout && major != FileTypeByName("wav")) return fail("-o - writes WAV only");
  if (to_stdout && isatty(STDOUT_FILENO))
    return fail("-o - would write audio to the terminal; redirect it to a file or a program");

  auto source = job.input.empty() ? OpenTestSignal() : OpenAudioFile(job.input, error);
  if (!source) return fail(error);
  const int input_rate = source->rate();
  const int engine_rate = options.engine_rate > 0 ? options.engine_rate : input_rate;
  const int rate = options.rate > 0 ? options.rate : input_rate;
  const int in_channels = source->channels();
  if (options.channels > 0 && in_channels > 2)
    return fail(input_name + " has " + std::to_string(in_channels) +
                " channels; --channels is for mono and stereo input (all channels are rendered)");
  const int channels = options.channels > 0 ? options.channels : in_channels;
  const auto type = ChooseOutputType(*major, options.format, channels, rate, error);
  if (!type) return fail("cannot write " + output_name + ": " + error);
  if (engine_rate != input_rate) {
    source = ResampledSource(std::move(source), engine_rate, error);
    if (!source) return fail(error);
  }

  // The checker's findings: all of them for a single render; in a batch
  // those that hold at every rate were said once before it began.
  for (const Finding& f : CheckModule(image, engine_rate))
    if (report == Report::kFull || f.depends_on_rate)
      std::fprintf(stderr, "korvel: warning: %s%s\n", prefix.c_str(), f.text.c_str());

  const std::string rate_source = engine_rate != input_rate ? "--engine-rate asks for" : input_name + " is at";
  auto rack = ChannelRack::Create(image, options.module, options.control, engine_rate, input_rate, in_channels,
                                  channels, rate_source, error);
  if (!rack) return fail(error);
  // Every sound is loaded by now, before the first block; one that could
  // not be is silent, and said so.
  for (const std::string& problem : rack->SoundProblems())
    std::fprintf(stderr, "korvel: warning: %s%s\n", prefix.c_str(), problem.c_str());
  std::unique_ptr<Resampler> converter;
  if (rate != engine_rate) {
    converter = Resampler::Create(engine_rate, rate, channels, error);
    if (!converter) return fail(error);
  }

  // A temporary file beside the target, renamed over it when complete (none
  // for standard output). It outlives the writer that fills it.
  std::unique_ptr<OutputFile> file;
  if (!to_stdout) {
    file = OutputFile::Create(job.output, inputs, Existing::kReplace, error);
    if (!file) return fail("cannot write " + output_name + ": " + error);
  }
  auto output = AudioOutput::Open(file.get(), *type, channels, rate, options.dither, error);
  if (!output) return fail("cannot write " + output_name + ": " + error);

  // Counted at the engine's rate.
  const std::int64_t limit = options.seconds ? std::llround(*options.seconds * engine_rate)
                                             : std::numeric_limits<std::int64_t>::max();
  const std::int64_t expected = options.seconds ? limit : source->length_hint();
  // I/O blocks hold at least one call's worth.
  const std::int64_t block = options.block;
  const std::int64_t io_frames = std::max<std::int64_t>(kIoFrames, block);
  std::vector<float> in(static_cast<std::size_t>(in_channels * io_frames));
  std::vector<float> out(static_cast<std::size_t>(channels * io_frames));
  std::vector<float> ready, converted;
  LevelMeter meter(channels);
  std::optional<LoudnessMeter> loudness;
  if (!options.quiet) loudness.emplace(channels, rate);
  Progress progress(!options.quiet && report == Report::kFull, expected, engine_rate);
  std::optional<TailCutter> tail;
  const auto start = std::chrono::steady_clock::now();

  // Output frames on their way to the file: converted to the output rate,
  // measured, written.
  std::int64_t written = 0;
  const auto deliver = [&](const float* samples, std::int64_t frames) {
    if (converter) {
      converted.clear();
      converter->Process(samples, frames, converted);
      samples = converted.data();
      frames = static_cast<std::int64_t>(converted.size()) / channels;
    }
    if (frames == 0) return true;
    meter.Add(samples, frames);
    if (loudness) loudness->Add(samples, frames);
    written += frames;
    return output->Write(samples, frames);
  };

  // An oversampled module's output lags by its latency: that many frames
  // are dropped at the start and rendered from silence after the input
  // (or --seconds) ends, before any tail, so the output lines up with the
  // input to the frame. Every instance of the rack has the same.
  const std::int64_t latency = rack->LatencyFrames();
  std::int64_t skip = latency, owed = latency;
  bool input_ended = false;
  std::int64_t done = 0;  // engine frames rendered
  // What the plug-in replaced in frames that were written: a tail renders
  // frames it then drops, and those do not count.
  std::vector<std::int64_t> non_finite;
  while (!(tail && tail->over())) {
    std::int64_t n = 0;
    if (!input_ended && done < limit) {
      n = source->Read(in.data(), std::min(io_frames, limit - done));
      if (n < 0) return fail("cannot read " + input_name + ": " + source->error());
      if (n == 0) input_ended = true;
    }
    if (n == 0) {
      // Silence: up to the length asked for, then the latency's frames,
      // then the tail.
      if (options.seconds && done < limit) {
        n = std::min(io_frames, limit - done);
      } else if (owed > 0) {
        n = std::min(io_frames, owed);
        owed -= n;
      } else if (!options.seconds && !tail) {
        tail.emplace(channels, engine_rate, options.tail, LongestDelay(image, engine_rate));
        non_finite = rack->NonFiniteCounts();
        continue;
      } else if (tail) {
        n = kTailFrames;
      } else {
        break;
      }
      std::fill_n(in.data(), in_channels * n, 0.0f);
    }
    if (!rack->Process(in.data(), out.data(), n, done, block, error)) return fail(error);
    done += n;
    const std::int64_t dropped = std::min(skip, n);
    skip -= dropped;
    const float* fresh = out.data() + channels * dropped;
    const std::int64_t frames = n - dropped;
    bool more = true;
    if (tail) {
      ready.clear();
      more = tail->Add(fresh, frames, ready);
      if (!deliver(ready.data(), static_cast<std::int64_t>(ready.size()) / channels))
        return fail("cannot write " + output_name + ": " + output->error());
      if (more && tail->caught_up()) non_finite = rack->NonFiniteCounts();
    } else if (!deliver(fresh, frames)) {
      return fail("cannot write " + output_name + ": " + output->error());
    }
    progress.Update(done, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    if (!more) break;
  }
  if (converter) {
    converted.clear();
    converter->Finish(converted);
    const std::int64_t frames = static_cast<std::int64_t>(converted.size()) / channels;
    meter.Add(converted.data(), frames);
    if (loudness) loudness->Add(converted.data(), frames);
    written += frames;
    if (!output->Write(converted.data(), frames))
      return fail("cannot write " + output_name + ": " + output->error());
  }
  progress.Finish();
  if (!output->Close()) return fail("cannot finish " + output_name + ": " + output->error());
  if (file && !file->Commit(error)) return fail("cannot write " + output_name + ": " + error);

  // Warnings, per output channel: what clipped, and what the plug-in had
  // to replace because it was not a number (it hands the host finite
  // samples only, and counts what it replaced).
  if (!tail) non_finite = rack->NonFiniteCounts();
  const double engine_to_output = static_cast<double>(rate) / engine_rate;
  std::vector<std::string> notes(channels);
  bool ran_away = false;
  for (int c = 0; c < channels; ++c) {
    const std::string channel = ChannelName(channels, c);
    if (const std::int64_t over = output->over_full_scale(c); over > 0) {
      const std::string counted = Grouped(over) + " samples (" + Percent(over, written) + ")";
      notes[c] = output->clips() ? "clipped " + counted : counted + " over full scale";
      std::fprintf(stderr, "korvel: warning: %s%s %s — lower the level%s\n", prefix.c_str(), channel.c_str(),
                   notes[c].c_str(), output->clips() ? "" : " (a fixed-point file would clip them)");
    }
    if (const std::int64_t bad = non_finite[c]; bad > 0) {
      // Counted at the engine's rate; in output samples when converted.
      const auto shown = static_cast<std::int64_t>(std::llround(static_cast<double>(bad) * engine_to_output));
      const std::string counted =
          Grouped(std::max<std::int64_t>(shown, 1)) + " samples (" + Percent(std::max<std::int64_t>(shown, 1), written) + ")";
      notes[c] += (notes[c].empty() ? "" : ", ") + ("not a number: " + counted);
      std::fprintf(stderr, "korvel: warning: %s%s: the module made %s that were not numbers (NaN or infinite); written as 0\n",
                   prefix.c_str(), channel.c_str(), counted.c_str());
      ran_away = true;
    }
    if (meter.PeakDb(c) > 24.0) ran_away = true;
  }
  // Where it began: the first component whose output went wrong.
  std::string runaway_line;
  Runaway runaway;
  if (ran_away && rack->FirstRunaway(runaway)) {
    const std::string what = std::isfinite(runaway.value)
                                 ? "reached " + Decibels(20 * std::log10(std::fabs(runaway.value))) + " dBFS"
                                 : std::string("was ") + (std::isnan(runaway.value) ? "NaN" : "infinite");
    char at[32];
    std::snprintf(at, sizeof at, "%.3f", static_cast<double>(runaway.frame) / engine_rate);
    const std::string where = rack->Channels(runaway.instance);
    runaway_line = (runaway.slot >= 0 ? ComponentName(image, runaway.slot) : std::string("a component")) +
                   " was the first to run away" + (where.empty() ? "" : " (" + where + ")") + ": at " + at +
                   " s its output " + what;
    std::fprintf(stderr, "korvel: warning: %s%s\n", prefix.c_str(), runaway_line.c_str());
  }
  if (options.quiet) return kExitOk;

  const double seconds = static_cast<double>(written) / rate;
  char tail_text[96] = "";
  if (tail) {
    std::snprintf(tail_text, sizeof tail_text, "%.3f s%s", static_cast<double>(tail->written()) / engine_rate,
                  tail->cut_at_bound() ? " (cut at the --tail bound)" : "");
  }
  if (report == Report::kLine) {
    double lufs = 0, true_peak = 0;
    std::string loud = "";
    if (loudness && loudness->Finish(lufs, true_peak) && seconds >= 0.4 && !std::isinf(lufs)) {
      char text[32];
      std::snprintf(text, sizeof text, ", %.1f LUFS", lufs);
      loud = text;
    }
    double peak = -INFINITY;
    for (int c = 0; c < channels; ++c) peak = std::max(peak, meter.PeakDb(c));
    std::printf("%s -> %s: %.3f s, %d Hz, peak %s dBFS%s%s%s\n", job.input.c_str(), job.output.c_str(), seconds, rate,
                Decibels(peak).c_str(), loud.c_str(), tail ? ", tail " : "", tail_text);
    return kExitOk;
  }

  // The summary (on standard error when the audio is on standard output).
  FILE* summary = to_stdout ? stderr : stdout;
  std::fprintf(summary, "%s: %s frames, %.3f s, %d Hz, %s\n", to_stdout ? "-" : job.output.c_str(),
               Grouped(written).c_str(), seconds, rate, type->Describe().c_str());
  for (int c = 0; c < channels; ++c) {
    std::fprintf(summary, "  %-6s peak %8s dBFS  rms %8s dBFS%s%s\n", ChannelName(channels, c).c_str(),
                 Decibels(meter.PeakDb(c)).c_str(), Decibels(meter.RmsDb(c)).c_str(), notes[c].empty() ? "" : "  ",
                 notes[c].c_str());
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
  if (tail) std::fprintf(summary, "  tail   %s\n", tail_text);
  if (latency > 0)
    std::fprintf(summary, "  latency %s frames (oversampling), taken out: output lines up with input\n",
                 Grouped(latency).c_str());
  if (rate != input_rate || engine_rate != input_rate)
    std::fprintf(summary, "  rates  input %d Hz, module at %d Hz, output %d Hz\n", input_rate, engine_rate, rate);
  if (!runaway_line.empty()) std::fprintf(summary, "  runaway %s\n", runaway_line.c_str());
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (elapsed > 0 && written > 0) std::fprintf(summary, "  speed  %.1fx real time\n", seconds / elapsed);
  return kExitOk;
}

// A batch: each input into the output folder under its own name.
int RenderBatch(const RenderOptions& options, const std::string& image) {
  std::string folder = options.output;
  if (folder == "-") return UsageError("-o - takes one input; name a folder (-o DIR/) for several", kRenderUsage);
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) return Fail(kExitFailure, "there is no folder '" + folder + "'");
  if (folder.back() != '/') folder += '/';
  std::vector<Job> jobs;
  std::set<std::string> names;
  for (const std::string& input : options.inputs) {
    if (input == "-") return UsageError("standard input cannot be one of a batch's inputs", kRenderUsage);
    fs::path name = fs::path(input).filename();
    if (!options.type.empty()) name.replace_extension(options.type);
    const std::string output = folder + name.string();
    if (!names.insert(output).second)
      return UsageError("two inputs would both be written to '" + output + "'", kRenderUsage);
    jobs.push_back({input, output, &options.inputs});
  }
  // What holds at every rate is said once; each file adds what holds at
  // its own.
  for (const Finding& f : CheckModule(image, kCheckRate))
    if (!f.depends_on_rate) std::fprintf(stderr, "korvel: warning: %s\n", f.text.c_str());
  const int parallel = options.jobs > 0 ? options.jobs : ProcessorCount();
  const auto status = RunInParallel(static_cast<int>(jobs.size()), parallel,
                                    [&](int i) { return Render(options, image, jobs[i], Report::kLine); });
  std::vector<std::string> failed;
  for (std::size_t i = 0; i < jobs.size(); ++i)
    if (status[i] != 0) failed.push_back(jobs[i].input);
  if (failed.empty()) {
    if (!options.quiet) std::printf("%zu file%s rendered\n", jobs.size(), jobs.size() == 1 ? "" : "s");
    return kExitOk;
  }
  std::string list;
  for (const std::string& f : failed) list += (list.empty() ? "" : ", ") + f;
  if (!options.quiet) std::printf("%zu of %zu files rendered\n", jobs.size() - failed.size(), jobs.size());
  return Fail(kExitFailure, std::to_string(failed.size()) + " failed: " + list);
}

}  // namespace

int RenderCommand(const Args& args) {
  if (WantsHelp(args)) {
    std::fputs(kRenderUsage, stdout);
    return kExitOk;
  }
  RenderOptions options;
  if (auto code = ParseRenderArgs(args, options)) return *code;

  // Standard input can be only one of the files read.
  std::vector<ProtectedInput> read{{options.module, "the module"}};
  for (const std::string& input : options.inputs) read.push_back({input, "the input"});
  options.control.AddInputs(read);
  if (std::count_if(read.begin(), read.end(), [](const ProtectedInput& p) { return p.path == "-"; }) > 1)
    return UsageError("only one file can be standard input ('-')", kRenderUsage);

  std::string error;
  auto image = ReadModuleFile(options.module, error);
  if (!image) return Fail(kExitFailure, error);
  if (options.oversample) image = WithOversampling(*image, *options.oversample);

  std::error_code ec;
  const bool into_folder = !options.inputs.empty() && options.output != "-" &&
                           (options.output.back() == '/' || fs::is_directory(options.output, ec));
  if (options.inputs.size() > 1 || into_folder) return RenderBatch(options, *image);
  const Job job{options.inputs.empty() ? "" : options.inputs.front(), options.output};
  return Render(options, *image, job, Report::kFull);
}

}  // namespace korvel::cli

// korvel render: streams audio through a module exactly as a host does,
// through the plug-in library's exports and the module's operations.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tools/korvel/audio.h"
#include "tools/korvel/cli.h"
#include "tools/korvel/module_io.h"
#include "tools/pluginhost/plugin_host.h"

namespace korvel::cli {

namespace {

constexpr char kRenderUsage[] =
    "usage: korvel render MODULE.korvel -o OUT.wav [-i IN.wav] [--block FRAMES]\n"
    "                     [--seconds S] [--format f32|f64|pcm16|pcm24]\n"
    "\n"
    "Loads MODULE into the plug-in and streams the input through it, block by\n"
    "block, as a host does.\n"
    "  -o OUT.wav        output file (WAV)\n"
    "  -i IN.wav         input file, mono or stereo (mono feeds both channels).\n"
    "                    Without -i: the built-in test signal, 4 seconds of six\n"
    "                    plucked tones (0.0 to 2.0 s, panned about the centre)\n"
    "                    and a quarter-second noise burst at 3.0 s; the same\n"
    "                    every time.\n"
    "  --block FRAMES    frames per call of the plug-in's audio port (default 256;\n"
    "                    any positive size)\n"
    "  --seconds S       pad the input with silence, or cut it, to S seconds\n"
    "  --format F        output sample format (default f32)\n"
    "\n"
    "Full scale in a file (1.0) is 32768.0 inside the plug-in. The plug-in\n"
    "computes at 44100 Hz; other input rates are rendered as they are, with a\n"
    "warning, and the output keeps the input's rate.\n";

struct RenderOptions {
  std::string module, output, input;
  long long block = 256;
  std::optional<double> seconds;
  OutputFormat format = OutputFormat::kF32;
};

// Answers an exit code when the arguments are not usable.
std::optional<int> ParseRenderArgs(const Args& args, RenderOptions& options) {
  auto value = [&](std::size_t& i) -> const std::string* {
    if (i + 1 >= args.size()) return nullptr;
    return &args[++i];
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-o" || a == "-i" || a == "--block" || a == "--seconds" || a == "--format") {
      const std::string* v = value(i);
      if (v == nullptr) return UsageError(a + " needs a value", kRenderUsage);
      if (a == "-o") {
        options.output = *v;
      } else if (a == "-i") {
        options.input = *v;
      } else if (a == "--format") {
        const auto format = ParseOutputFormat(*v);
        if (!format) return UsageError("unknown format '" + *v + "'", kRenderUsage);
        options.format = *format;
      } else if (a == "--block") {
        std::size_t used = 0;
        try {
          options.block = std::stoll(*v, &used);
        } catch (...) {
          used = 0;
        }
        if (used != v->size() || options.block <= 0)
          return UsageError("--block needs a positive whole number of frames, not '" + *v + "'", kRenderUsage);
      } else {
        std::size_t used = 0;
        double s = -1;
        try {
          s = std::stod(*v, &used);
        } catch (...) {
          used = 0;
        }
        if (used != v->size() || !(s >= 0) || !std::isfinite(s))
          return UsageError("--seconds needs a number of seconds, not '" + *v + "'", kRenderUsage);
        options.seconds = s;
      }
    } else if (!a.empty() && a[0] == '-') {
      return UsageError("unknown option '" + a + "'", kRenderUsage);
    } else if (options.module.empty()) {
      options.module = a;
    } else {
      return UsageError("one module only ('" + a + "' is extra)", kRenderUsage);
    }
  }
  if (options.module.empty()) return UsageError("no module given", kRenderUsage);
  if (options.output.empty()) return UsageError("no output file given (-o OUT.wav)", kRenderUsage);
  return std::nullopt;
}

class Progress {
 public:
  explicit Progress(std::int64_t total) : total_(total), enabled_(isatty(STDERR_FILENO) != 0) {}
  void Update(std::int64_t done, double elapsed) {
    if (!enabled_ || elapsed < 1.0 || total_ <= 0) return;
    const int width = 40;
    const int filled = static_cast<int>(width * done / total_);
    std::fprintf(stderr, "\r[%s%s] %3d%%", std::string(filled, '#').c_str(),
                 std::string(width - filled, ' ').c_str(), static_cast<int>(100 * done / total_));
    shown_ = true;
  }
  void Finish() {
    if (shown_) std::fprintf(stderr, "\r%60s\r", "");
  }

 private:
  std::int64_t total_;
  bool enabled_;
  bool shown_ = false;
};

std::string Db(double db) {
  if (std::isinf(db)) return "-inf";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", db);
  return text;
}

}  // namespace

int RenderCommand(const Args& args) {
  if (WantsHelp(args)) {
    std::fputs(kRenderUsage, stdout);
    return kExitOk;
  }
  RenderOptions options;
  if (auto code = ParseRenderArgs(args, options)) return *code;

  std::string error;
  const auto module_file = LoadModule(options.module, error);
  if (!module_file) return Fail(kExitFailure, error);

  StereoAudio input;
  if (!options.input.empty()) {
    auto audio = ReadAudioFile(options.input, error);
    if (!audio) return Fail(kExitFailure, error);
    input = std::move(*audio);
    if (input.rate != kEngineRate)
      std::fprintf(stderr, "korvel: warning: '%s' is at %d Hz; the plug-in computes at %d Hz\n",
                   options.input.c_str(), input.rate, kEngineRate);
  } else {
    input = MakeTestSignal();
  }
  if (options.seconds) input.samples.resize(2 * static_cast<std::size_t>(std::llround(*options.seconds * input.rate)), 0.0f);

  auto library = pluginhost::Library::Load(pluginhost::DefaultLibraryPath(), error);
  if (!library) return Fail(kExitFailure, error);
  auto module = pluginhost::Module::Create(*library);
  if (!module) return Fail(kExitFailure, "the plug-in created no module");
  module->Init();
  module->RestoreState(pluginhost::ChunkOf(module_file->bytes));

  AudioWriter writer(options.output, input.rate, options.format);
  if (!writer.ok()) return Fail(kExitFailure, writer.error());

  const std::int64_t total = input.frames();
  const std::int64_t block = std::min<std::int64_t>(options.block, std::max<std::int64_t>(total, 1));
  std::vector<float> host_buffer(2 * static_cast<std::size_t>(block));
  std::vector<double> out(2 * static_cast<std::size_t>(block));
  LevelMeter meter;
  Progress progress(total);
  const auto start = std::chrono::steady_clock::now();
  for (std::int64_t done = 0; done < total;) {
    const std::int64_t n = std::min(block, total - done);
    const float* in = &input.samples[2 * static_cast<std::size_t>(done)];
    for (std::int64_t i = 0; i < 2 * n; ++i) host_buffer[i] = static_cast<float>(in[i] * kEngineScale);
    module->Audio(host_buffer.data(), static_cast<std::uint32_t>(n));
    for (std::int64_t i = 0; i < 2 * n; ++i) out[i] = static_cast<double>(host_buffer[i]) / kEngineScale;
    meter.Add(out.data(), n);
    if (!writer.Write(out.data(), n)) {
      writer.Close();
      std::filesystem::remove(options.output);
      return Fail(kExitFailure, "cannot write '" + options.output + "': " + writer.error());
    }
    done += n;
    progress.Update(done, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  progress.Finish();
  if (!writer.Close()) {
    std::filesystem::remove(options.output);
    return Fail(kExitFailure, "cannot finish '" + options.output + "'");
  }
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double seconds = static_cast<double>(total) / input.rate;
  std::printf("%s: %lld frames, %.3f s\n", options.output.c_str(), static_cast<long long>(total), seconds);
  std::printf("  left   peak %8s dBFS  rms %8s dBFS\n", Db(meter.PeakDb(0)).c_str(), Db(meter.RmsDb(0)).c_str());
  std::printf("  right  peak %8s dBFS  rms %8s dBFS\n", Db(meter.PeakDb(1)).c_str(), Db(meter.RmsDb(1)).c_str());
  if (elapsed > 0) std::printf("  speed  %.1fx real time\n", seconds / elapsed);
  if (const std::uint64_t replaced = module->NonFiniteCount(); replaced != 0)
    std::fprintf(stderr, "korvel: warning: %llu output values were not finite and were written as 0.0\n",
                 static_cast<unsigned long long>(replaced));
  return kExitOk;
}

}  // namespace korvel::cli

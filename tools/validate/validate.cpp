// korvel_validate: random patches through the module object, as a plug-in
// validator would drive it. Every case is made from one seed: a patch of
// random types, wiring and constants (0, ±tiny, ±huge, NaN, ±inf among
// them), a random input (noise, silence, DC, NaN, inf, subnormals) and
// random block sizes. Each case checks:
//   - the module loads the generated image;
//   - every sample the host receives is finite;
//   - saving the state and restoring it into a new module gives the same
//     chunk, byte for byte, and the same audio;
//   - other block sizes give the same audio, bit for bit, for every type
//     (delays and loops through the delay line included), at the module's
//     oversampling too, unless a value that is not finite arose anywhere in
//     the patch;
//   - and, built with the sanitizers, nothing they watch goes wrong.
// Cases run in a child process, so a crash is caught like any other
// failure; a failing case is shrunk to a minimal module written to a file.
//
//   korvel_validate --seconds 60 [--start SEED] [--out DIR]
//   korvel_validate --seed SEED        one case, in this process, verbosely
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "components/catalog.h"
#include "components/sources.h"
#include "components/tables.h"
#include "engine/module_image.h"
#include "engine/ui.h"
#include "engine/patch_engine.h"
#include "host/plugin_module.h"
#include "tools/pluginhost/plugin_host.h"

namespace korvel::validate {
namespace {

// ------------------------------------------------------------- random

// splitmix64: the same numbers on every machine and compiler.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  int Below(int n) { return static_cast<int>(Next() % static_cast<std::uint64_t>(n)); }
  bool Chance(int percent) { return Below(100) < percent; }
  double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }  // [0, 1)
  template <class T>
  const T& Pick(const std::vector<T>& v) {
    return v[static_cast<std::size_t>(Below(static_cast<int>(v.size())))];
  }

 private:
  std::uint64_t state_;
};

// ------------------------------------------------------------- cases

struct Part {
  int type;
  double value;  // constants only
  nlohmann::json settings = nlohmann::json::object();  // a type's own settings (seed, table, sound)
};
struct Wire {
  int from, output, to, input;
};
enum class InputKind { kNoise, kSilence, kDc, kNan, kInf, kSubnormal, kSpikes, kCount };
const char* const kInputNames[] = {"noise", "silence", "DC", "NaN", "inf", "subnormals", "spikes"};

struct Case {
  std::uint64_t seed = 0;
  std::vector<Part> parts;  // index = slot; slot 0 is IN, slot 1 is OUT
  std::vector<Wire> wires;
  InputKind input = InputKind::kNoise;
  double level = 0.0;
  int frames = 0;
  std::vector<int> blocks;        // cycled; the main run
  std::vector<int> other_blocks;  // cycled; the invariance run
  int oversampling = 1;
};

std::vector<int> AllTypes() {
  std::vector<int> types;
  for (const auto family : kFamilies)
    for (const auto& d : family) types.push_back(d.type);
  return types;
}

// The sound the Samplers play: stereo noise at 48 kHz (so it is always
// read through the interpolator), written once into the output folder.
std::string g_sound_path;

void WriteSound(const std::string& folder) {
  std::filesystem::create_directories(folder);
  g_sound_path = std::filesystem::absolute(std::filesystem::path(folder) / "sampler-sound.wav").string();
  constexpr std::uint32_t kFrames = 3000, kBytes = kFrames * 4;
  std::string wav = "RIFF";
  const auto le = [&wav](std::uint32_t v, int n) {
    for (int i = 0; i < n; ++i) wav += static_cast<char>(v >> (8 * i) & 0xFF);
  };
  le(36 + kBytes, 4);
  wav += "WAVEfmt ";
  le(16, 4), le(1, 2), le(2, 2), le(48000, 4), le(48000 * 4, 4), le(4, 2), le(16, 2);
  wav += "data";
  le(kBytes, 4);
  Random r(99);
  for (std::uint32_t i = 0; i < 2 * kFrames; ++i) le(static_cast<std::uint32_t>(r.Below(65536)), 2);
  std::ofstream(g_sound_path, std::ios::binary) << wav;
}

// Random Sampler settings; now and then a file that is not there.
nlohmann::json SamplerSettings(Random& r) {
  static const char* const kModes[] = {"one-shot", "gate"};
  static const char* const kLoops[] = {"off", "forward", "ping-pong"};
  const int start = r.Below(3500), end = r.Chance(30) ? 0 : start + 1 + r.Below(3000);
  return {{"file", r.Chance(10) ? g_sound_path + ".missing" : g_sound_path},
          {"root", r.Chance(20) ? 1e-3 : 20.0 + r.Unit() * 2000.0},
          {"mode", kModes[r.Below(2)]},
          {"loop", kLoops[r.Below(3)]},
          {"loop_start", start},
          {"loop_end", end},
          {"release", r.Unit() * 50.0}};
}

double SpecialValue(Random& r) {
  static const std::vector<double> kValues = {0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 1e-300, -1e-300, 5e-324, -5e-324,
                                              1e300, -1e300, 32767.0, -32768.0, 20.0, 1000.0, 22000.0, 22050.0,
                                              1e6, 127.0, 0.001, std::numeric_limits<double>::quiet_NaN(),
                                              std::numeric_limits<double>::infinity(),
                                              -std::numeric_limits<double>::infinity()};
  if (r.Chance(30)) return (r.Unit() * 2 - 1) * std::pow(10.0, r.Below(12) - 4);
  return r.Pick(kValues);
}

// Settings for the types that keep some in the module: a Noise's seed (the
// image must name it, or every load would draw another), a table's points.
nlohmann::json SettingsFor(int type, Random& r) {
  nlohmann::json settings = nlohmann::json::object();
  if (type == kNoiseType) settings["seed"] = static_cast<std::uint32_t>(r.Next());
  if (type == kTranslationTableType) {
    nlohmann::json points = nlohmann::json::array();
    double x = r.Chance(20) ? -1e300 : -40000.0 * r.Unit();
    for (int i = 1 + r.Below(8); i > 0; --i) {
      const double y = r.Chance(10) ? (r.Chance(50) ? 1e300 : -1e300) : (r.Unit() * 2 - 1) * 32768.0;
      points.push_back({x, y});
      x = x < -1e6 ? -40000.0 : x + (r.Chance(10) ? 1e-9 : 1.0 + r.Unit() * 20000.0);
    }
    settings["table"] = points;
    settings["interpolation"] = std::vector<const char*>{"step", "linear", "cubic"}[static_cast<std::size_t>(r.Below(3))];
  }
  return settings;
}

int BlockSize(Random& r) {
  static const std::vector<int> kEdges = {1, 2, 3, 63, 64, 65, 512, 4095, 4096, 4097, 8192, 10000};
  if (r.Chance(50)) return r.Pick(kEdges);
  return 1 + r.Below(r.Chance(70) ? 600 : 10000);
}

Case Generate(std::uint64_t seed) {
  static const std::vector<int> kTypes = AllTypes();
  Random r(seed);
  Case c;
  c.seed = seed;
  c.parts = {{kInType, 0.0}, {kOutType, 0.0}};
  const int count = 1 + r.Below(r.Chance(80) ? 8 : 24);
  for (int i = 0; i < count; ++i) {
    const int type = r.Pick(kTypes);
    c.parts.push_back({type, type == kConstantType ? SpecialValue(r) : 0.0, SettingsFor(type, r)});
    if (type == kSamplerType) c.parts.back().settings = SamplerSettings(r);
  }
  // Outputs still free to wire, from components earlier in the chain (so no
  // wire can close a loop). An output feeds at most one input.
  std::vector<std::pair<int, int>> free_outputs;
  auto offer = [&](int slot) {
    const TypeDescription d = DescriptionOf(c.parts[static_cast<std::size_t>(slot)].type);
    for (int m = 0; m < std::min<int>(d.outputs, 4); ++m) free_outputs.push_back({slot, m});
  };
  auto take = [&](int to, int input, bool prefer_latest) {
    if (free_outputs.empty()) return;
    const std::size_t i = prefer_latest && r.Chance(60) ? free_outputs.size() - 1
                                                        : static_cast<std::size_t>(r.Below(static_cast<int>(free_outputs.size())));
    c.wires.push_back({free_outputs[i].first, free_outputs[i].second, to, input});
    free_outputs[i] = free_outputs.back();
    free_outputs.pop_back();
  };
  offer(0);
  for (int slot = 2; slot < static_cast<int>(c.parts.size()); ++slot) {
    const TypeDescription d = DescriptionOf(c.parts[static_cast<std::size_t>(slot)].type);
    for (int k = 0; k < std::min<int>(d.inputs, 12); ++k)
      if (r.Chance(k < 3 ? 85 : 50)) take(slot, k, k == 0);
    offer(slot);
  }
  if (r.Chance(95)) take(1, 0, true);

  c.input = static_cast<InputKind>(r.Below(static_cast<int>(InputKind::kCount)));
  c.level = SpecialValue(r);
  c.frames = r.Chance(70) ? 1 + r.Below(3000) : 1 + r.Below(20000);
  for (int i = 1 + r.Below(3); i > 0; --i) c.blocks.push_back(BlockSize(r));
  for (int i = 1 + r.Below(3); i > 0; --i) c.other_blocks.push_back(BlockSize(r));
  if (r.Chance(15)) c.oversampling = 2 << r.Below(4);
  return c;
}

std::vector<float> MakeInput(const Case& c) {
  Random r(c.seed ^ 0x5EEDF00Dull);
  std::vector<float> v(2 * static_cast<std::size_t>(c.frames));
  const float level = std::isfinite(c.level) && std::fabs(c.level) <= 32768.0 ? static_cast<float>(c.level) : 1000.0f;
  for (std::size_t i = 0; i < v.size(); ++i) {
    const float noise = static_cast<float>((r.Unit() * 2 - 1) * 32767.0);
    switch (c.input) {
      case InputKind::kNoise: v[i] = noise; break;
      case InputKind::kSilence: v[i] = 0.0f; break;
      case InputKind::kDc: v[i] = level; break;
      case InputKind::kNan: v[i] = r.Chance(5) ? std::numeric_limits<float>::quiet_NaN() : noise; break;
      case InputKind::kInf: v[i] = r.Chance(5) ? (r.Chance(50) ? 1 : -1) * std::numeric_limits<float>::infinity() : noise; break;
      case InputKind::kSubnormal: v[i] = std::numeric_limits<float>::denorm_min() * static_cast<float>(r.Below(1000) - 500); break;
      case InputKind::kSpikes: v[i] = r.Chance(2) ? (r.Chance(50) ? 1e30f : -1e30f) : 0.0f; break;
      case InputKind::kCount: break;
    }
  }
  return v;
}

bool AllFinite(const Case& c) {
  if (c.input == InputKind::kNan || c.input == InputKind::kInf) return false;
  for (const Part& p : c.parts)
    if (p.type == kConstantType && !std::isfinite(p.value)) return false;
  return true;
}

nlohmann::json Number(double v) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  return v;
}

std::string ImageOf(const Case& c) {
  nlohmann::json components = nlohmann::json::array(), connections = nlohmann::json::array();
  for (std::size_t slot = 0; slot < c.parts.size(); ++slot) {
    if (c.parts[slot].type < 0) continue;  // removed while shrinking
    nlohmann::json part = {{"slot", slot}, {"type", c.parts[slot].type}};
    if (c.parts[slot].type == kConstantType) part["value"] = Number(c.parts[slot].value);
    part.update(c.parts[slot].settings);
    components.push_back(part);
  }
  for (const Wire& w : c.wires)
    connections.push_back({{"from", {w.from, w.output}}, {"to", {w.to, w.input}}});
  nlohmann::json image = {{"format", kModuleImageFormat}, {"version", kModuleImageVersion}, {"in", 0},
                          {"out", 1}, {"components", components}, {"connections", connections}};
  if (c.oversampling != 1) image["oversampling"] = c.oversampling;
  return image.dump(1);
}

// ------------------------------------------------------------- running

// Catches what the module would show the user.
class RecordingUi final : public SilentUi {
 public:
  int ShowMessage(void*, const char* text, const char*, unsigned) override {
    messages.emplace_back(text);
    return kIdOk;
  }
  std::vector<std::string> messages;
};

struct Outcome {
  bool ok = true;
  std::string reason;
  std::uint64_t replaced = 0;  // values the boundary turned into 0.0
  bool invariance_checked = false;
};

// Whether any component's output in the block just processed holds a value
// that is not finite. A filter that meets one clears its history at the
// block's end (docs/design.md), so what follows depends on where blocks
// end; and a component that answers every input with a finite value (an
// oscillator's frequency, a noise's colour) can carry that into the output
// without a non-finite value ever reaching the host.
bool InsideNotFinite(PatchEngine& engine) {
  for (int s = 0; s < kSlotCount; ++s) {
    const ComponentRecord* r = engine.Record(s);
    const ComponentDescriptor* d = engine.Descriptor(s);
    if (r == nullptr || d == nullptr) continue;
    for (int m = 0; m < d->output_count; ++m) {
      if (r->constant_flag[m]) {
        if (!std::isfinite(r->constant[m])) return true;
      } else if (r->output[m] != nullptr) {
        for (int i = 0; i < 2 * r->block_length; ++i)
          if (!std::isfinite(r->output[m][i])) return true;
      }
    }
  }
  return false;
}

std::vector<float> Play(PluginModule& module, std::vector<float> samples, const std::vector<int>& blocks,
                        bool* inside_not_finite = nullptr) {
  const auto frames = static_cast<std::uint32_t>(samples.size() / 2);
  std::size_t b = 0;
  for (std::uint32_t done = 0; done < frames;) {
    const auto n = std::min<std::uint32_t>(static_cast<std::uint32_t>(blocks[b++ % blocks.size()]), frames - done);
    void* buffers[1] = {samples.data() + 2 * static_cast<std::size_t>(done)};
    AudioBlockRecord block{buffers, n};
    AudioPort(&module, &block);
    if (inside_not_finite != nullptr && !*inside_not_finite) *inside_not_finite = InsideNotFinite(module.engine());
    done += n;
  }
  return samples;
}

bool SameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

std::vector<std::uint8_t> Save(PluginModule& module) {
  pluginhost::MemoryStream stream;
  module.SaveState(&stream);
  return stream.bytes;
}

Outcome RunCase(const Case& c) {
  RecordingUi ui;
  SetUi(&ui);
  Outcome o;
  auto fail = [&](std::string reason) {
    o.ok = false;
    o.reason = std::move(reason);
    SetUi(nullptr);
    return o;
  };
  const std::string image = ImageOf(c);
  const std::vector<float> input = MakeInput(c);

  auto a = std::make_unique<PluginModule>();
  a->Init(nullptr);
  std::string error;
  if (!ReadModuleImage(a->engine(), image.data(), image.size(), error)) return fail("the image is refused: " + error);
  bool inside_not_finite = false;
  const std::vector<float> out = Play(*a, input, c.blocks, &inside_not_finite);
  o.replaced = a->NonFiniteCount();
  for (std::size_t i = 0; i < out.size(); ++i)
    if (!std::isfinite(out[i])) return fail("the host received a non-finite sample at value " + std::to_string(i));

  const std::vector<std::uint8_t> chunk = Save(*a);
  a.reset();
  auto b = std::make_unique<PluginModule>();
  b->Init(nullptr);
  pluginhost::MemoryStream stream(chunk);
  b->RestoreState(&stream);
  if (!ui.messages.empty()) return fail("restoring the saved state was refused: " + ui.messages.front());
  if (Save(*b) != chunk) return fail("the restored module saves a different chunk");
  if (!SameBits(Play(*b, input, c.blocks), out)) return fail("the restored module sounds different");
  b.reset();

  if (o.replaced == 0 && !inside_not_finite && AllFinite(c)) {
    o.invariance_checked = true;
    auto d = std::make_unique<PluginModule>();
    d->Init(nullptr);
    ReadModuleImage(d->engine(), image.data(), image.size(), error);
    const std::vector<float> other = Play(*d, input, c.other_blocks);
    if (d->NonFiniteCount() == 0 && !SameBits(other, out)) return fail("other block sizes give different audio");
  }
  SetUi(nullptr);
  return o;
}

std::string Describe(const Case& c) {
  const auto live = std::count_if(c.parts.begin(), c.parts.end(), [](const Part& p) { return p.type >= 0; });
  std::string s = "seed " + std::to_string(c.seed) + ": " + std::to_string(live) + " components, " +
                  std::to_string(c.wires.size()) + " wires, input " + kInputNames[static_cast<int>(c.input)] + ", " +
                  std::to_string(c.frames) + " frames" +
                  (c.oversampling > 1 ? ", oversampling " + std::to_string(c.oversampling) : "") + ", blocks";
  for (int b : c.blocks) s += " " + std::to_string(b);
  s += ", other blocks";
  for (int b : c.other_blocks) s += " " + std::to_string(b);
  return s;
}

// ------------------------------------------------------------- processes

// Runs the case in a child; true when it fails in any way (a check, a
// crash, a sanitizer report). The child's own output goes to `log`.
bool FailsInChild(const Case& c, const std::string& log) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
    }
    const Outcome o = RunCase(c);
    if (!o.ok) std::fprintf(stderr, "%s\n", o.reason.c_str());
    std::fflush(nullptr);
    std::exit(o.ok ? 0 : 3);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Removes what the failure does not need: components, wires, odd constants,
// input length and block sizes, one step at a time while it still fails.
Case Shrink(Case c, const std::string& log, int& attempts) {
  auto still_fails = [&](const Case& candidate) {
    ++attempts;
    return FailsInChild(candidate, log);
  };
  for (bool progress = true; progress && attempts < 400;) {
    progress = false;
    for (std::size_t slot = 2; slot < c.parts.size() && attempts < 400; ++slot) {
      if (c.parts[slot].type < 0) continue;
      Case t = c;
      t.parts[slot].type = -1;
      std::erase_if(t.wires, [&](const Wire& w) { return w.from == static_cast<int>(slot) || w.to == static_cast<int>(slot); });
      if (still_fails(t)) c = t, progress = true;
    }
    for (std::size_t i = 0; i < c.wires.size() && attempts < 400;) {
      Case t = c;
      t.wires.clear();
      for (std::size_t j = 0; j < c.wires.size(); ++j)
        if (j != i) t.wires.push_back(c.wires[j]);
      if (still_fails(t)) {
        c = t;
        progress = true;
      } else {
        ++i;
      }
    }
    for (std::size_t slot = 2; slot < c.parts.size() && attempts < 400; ++slot) {
      if (c.parts[slot].type != kConstantType || c.parts[slot].value == 0.0) continue;
      Case t = c;
      t.parts[slot].value = 0.0;
      if (still_fails(t)) c = t, progress = true;
    }
    if (c.frames > 1) {
      Case t = c;
      t.frames = (c.frames + 1) / 2;
      if (still_fails(t)) c = t, progress = true;
    }
    if (c.blocks.size() > 1) {
      Case t = c;
      t.blocks.resize(1);
      if (still_fails(t)) c = t, progress = true;
    }
    if (c.oversampling > 1) {
      Case t = c;
      t.oversampling = 1;
      if (still_fails(t)) c = t, progress = true;
    }
  }
  return c;
}

struct Totals {
  std::uint64_t cases = 0, frames = 0, replaced_cases = 0, replaced_values = 0, invariance = 0;
  std::map<int, std::uint64_t> type_cases;
  std::vector<std::uint64_t> failures;
};

// What a child reports after each case, through a pipe.
struct Report {
  std::uint64_t seed;
  std::uint32_t finished;  // 0: starting the case; 1: passed
  std::uint32_t frames;
  std::uint64_t replaced;
  std::uint64_t types;  // bit i: the i-th of AllTypes() is in the patch
  std::uint32_t invariance;
};

void WriteAll(int fd, const Report& r) {
  const char* p = reinterpret_cast<const char*>(&r);
  for (std::size_t left = sizeof r; left > 0;) {
    const ssize_t n = write(fd, p, left);
    if (n <= 0) return;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

bool ReadAll(int fd, Report& r) {
  char* p = reinterpret_cast<char*>(&r);
  for (std::size_t left = sizeof r; left > 0;) {
    const ssize_t n = read(fd, p, left);
    if (n <= 0) return false;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

using Clock = std::chrono::steady_clock;

// Runs cases seed, seed + 1, ... in a child until the deadline or the first
// failure. Answers the failing seed, or 0 when the time ran out.
std::uint64_t RunBatch(std::uint64_t& next, Clock::time_point deadline, Totals& totals) {
  static const std::vector<int> kTypes = AllTypes();
  int fds[2];
  if (pipe(fds) != 0) std::exit(2);
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    for (std::uint64_t seed = next; Clock::now() < deadline; ++seed) {
      const Case c = Generate(seed);
      WriteAll(fds[1], {seed, 0, 0, 0, 0, 0});
      const Outcome o = RunCase(c);
      if (!o.ok) {
        std::fprintf(stderr, "FAIL %s\n  %s\n", Describe(c).c_str(), o.reason.c_str());
        std::fflush(nullptr);
        _exit(3);
      }
      std::uint64_t types = 0;
      for (const Part& p : c.parts)
        for (std::size_t i = 0; i < kTypes.size(); ++i)
          if (kTypes[i] == p.type) types |= std::uint64_t{1} << i;
      WriteAll(fds[1], {seed, 1, static_cast<std::uint32_t>(c.frames), o.replaced, types, o.invariance_checked});
    }
    close(fds[1]);
    std::exit(0);  // not _exit: the leak checker runs at exit
  }
  close(fds[1]);
  Report r{};
  std::uint64_t started = next;
  bool open_case = false;
  while (ReadAll(fds[0], r)) {
    if (r.finished == 0) {
      started = r.seed;
      open_case = true;
      continue;
    }
    open_case = false;
    next = r.seed + 1;
    ++totals.cases;
    totals.frames += r.frames;
    if (r.replaced) ++totals.replaced_cases;
    totals.replaced_values += r.replaced;
    totals.invariance += r.invariance;
    for (std::size_t i = 0; i < kTypes.size(); ++i)
      if (r.types >> i & 1) ++totals.type_cases[kTypes[i]];
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  const bool clean = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (clean && !open_case) return 0;
  // A failure after the last case (the leak checker at exit) is blamed on it.
  const std::uint64_t failed = open_case ? started : (next > 0 ? next - 1 : 0);
  next = failed + 1;
  return failed;
}

int Usage() {
  std::fprintf(stderr,
               "usage: korvel_validate [--seconds N | --minutes N] [--start SEED] [--out DIR]\n"
               "       korvel_validate --seed SEED\n");
  return 2;
}

int RunOne(std::uint64_t seed, const std::string& out) {
  WriteSound(out);
  const Case c = Generate(seed);
  std::printf("%s\n", Describe(c).c_str());
  std::printf("%s\n", ImageOf(c).c_str());
  const Outcome o = RunCase(c);
  std::printf("%s%s (boundary replaced %llu values)\n", o.ok ? "passed" : "FAILED: ", o.reason.c_str(),
              static_cast<unsigned long long>(o.replaced));
  return o.ok ? 0 : 1;
}

int Main(int argc, char** argv) {
  double seconds = 60;
  std::uint64_t start = 1;
  bool one = false;
  std::string out = "build/validate";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return Usage();
    const char* value = argv[++i];
    char* end = nullptr;
    if (arg == "--seconds" || arg == "--minutes") {
      seconds = std::strtod(value, &end) * (arg == "--minutes" ? 60 : 1);
    } else if (arg == "--seed" || arg == "--start") {
      start = std::strtoull(value, &end, 10);
      one = arg == "--seed";
    } else if (arg == "--out") {
      out = value;
      end = const_cast<char*>(value + std::strlen(value));
    } else {
      return Usage();
    }
    if (end == nullptr || *end != '\0') return Usage();
  }
  if (one) return RunOne(start, out);
  WriteSound(out);

  std::fprintf(stderr, "korvel_validate: %.0f s from seed %llu\n", seconds, static_cast<unsigned long long>(start));
  const auto began = Clock::now();
  const auto deadline = began + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  Totals totals;
  for (std::uint64_t next = start; Clock::now() < deadline;) {
    const std::uint64_t failed = RunBatch(next, deadline, totals);
    if (failed == 0) continue;
    totals.failures.push_back(failed);
    ++totals.cases;
    std::system(("mkdir -p '" + out + "'").c_str());
    const std::string base = out + "/failure-" + std::to_string(failed);
    int attempts = 0;
    const Case minimal = Shrink(Generate(failed), base + ".log", attempts);
    FailsInChild(minimal, base + ".log");  // leave the minimal case's own report in the log
    std::ofstream(base + ".korvel") << ImageOf(minimal) << "\n";
    std::ofstream(base + ".log", std::ios::app) << "minimal case: " << Describe(minimal) << "\n";
    std::fprintf(stderr, "korvel_validate: seed %llu failed; shrunk in %d runs to %s.korvel (%s; report in %s.log)\n",
                 static_cast<unsigned long long>(failed), attempts, base.c_str(), Describe(minimal).c_str(),
                 base.c_str());
  }
  const double took = std::chrono::duration<double>(Clock::now() - began).count();
  std::printf("korvel_validate: %.0f s, %llu cases, %llu frames, %zu of %zu types covered\n", took,
              static_cast<unsigned long long>(totals.cases), static_cast<unsigned long long>(totals.frames),
              totals.type_cases.size(), AllTypes().size());
  std::printf("  block-size invariance checked in %llu cases; boundary replaced values in %llu cases (%llu values)\n",
              static_cast<unsigned long long>(totals.invariance), static_cast<unsigned long long>(totals.replaced_cases),
              static_cast<unsigned long long>(totals.replaced_values));
  std::printf("  cases per type:");
  for (const auto& [type, n] : totals.type_cases) std::printf(" %d:%llu", type, static_cast<unsigned long long>(n));
  std::printf("\n  failures: %zu", totals.failures.size());
  for (std::uint64_t s : totals.failures) std::printf(" (seed %llu)", static_cast<unsigned long long>(s));
  std::printf("\n");
  return totals.failures.empty() ? 0 : 1;
}

}  // namespace
}  // namespace korvel::validate

int main(int argc, char** argv) { return korvel::validate::Main(argc, argv); }

// Nanoseconds per frame (two channels) at a block length of 256 frames, for
// each processing type on its own and for a graph of 64 lowpass filters in
// series, beside the same cascade written as a plain loop.
//
// Every iteration first restores the input block (a 4 KB copy, measured on
// its own as Refill), so in-place filters never run into denormals.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <new>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "bench/cascade_module.h"
#include "components/arithmetic.h"
#include "components/biquad_filters.h"
#include "components/clipping.h"
#include "components/delays.h"
#include "components/eq_filters.h"
#include "components/iir_fir_filters.h"
#include "components/moog_state_filters.h"
#include "components/routing.h"
#include "components/sources.h"
#include "components/tables.h"
#include "components/sampler.h"
#include "components/value_sources.h"
#include "engine/host_timing.h"
#include "engine/module_image.h"
#include "engine/patch_engine.h"
#include "engine/sound_store.h"
#include "engine/type_table.h"
#include "host/plugin_module.h"

namespace korvel {
namespace {

using bench::CascadeEngine;
using bench::Cutoff;
using bench::kResonance;
using bench::kStages;

constexpr int kFrames = 256;
constexpr int kValues = 2 * kFrames;

std::vector<double> Noise() {
  std::vector<double> v(kValues);
  unsigned seed = 12345;
  for (double& x : v) {
    seed = seed * 1664525u + 1013904223u;
    x = (static_cast<double>(seed >> 8) / (1u << 24) - 0.5) * 20000.0;
  }
  return v;
}

void ReportFrames(benchmark::State& state) {
  // Frames per second, inverted: printed as time per frame.
  state.counters["per_frame"] = benchmark::Counter(static_cast<double>(state.iterations()) * kFrames,
                                                   benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// A source record whose output 0 is a buffer or a constant.
struct Source {
  explicit Source(double* buffer) { record.output[0] = buffer; }
  explicit Source(double value) { record.constant_flag[0] = 1, record.constant[0] = value; }
  ComponentRecord record{};
};

// One component of `type` fed by `sources` (null: unconnected); in1 is a
// buffer restored from noise before every block.
void RunType(benchmark::State& state, int type, std::vector<Source*> sources, EngineContext* context = nullptr) {
  const std::vector<double> noise = Noise();
  std::vector<double> block = noise;
  Source in(block.data());
  sources.insert(sources.begin(), &in);
  ComponentRecord* inputs[kMaxPorts] = {};
  const std::int16_t source_outputs[kMaxPorts] = {};
  for (std::size_t k = 0; k < sources.size(); ++k) inputs[k] = sources[k] ? &sources[k]->record : nullptr;
  const ComponentDispatch dispatch = kComponentTypeTable.dispatch[type];
  const ComponentProcess process = kComponentTypeTable.process[type];
  auto* record = reinterpret_cast<ComponentRecord*>(dispatch(kCreateState, nullptr, nullptr));
  record->block_length = kFrames;
  record->context = context;
  for (auto _ : state) {
    std::copy(noise.begin(), noise.end(), block.begin());
    process(record, inputs, source_outputs);
    if (context != nullptr) context->delay_position = (context->delay_position + kFrames) % kDelayLineLength;
    benchmark::DoNotOptimize(block.data());
    benchmark::ClobberMemory();
  }
  dispatch(kDestroyState, nullptr, record);
  ReportFrames(state);
}

void Refill(benchmark::State& state) {
  const std::vector<double> noise = Noise();
  std::vector<double> block(kValues);
  for (auto _ : state) {
    std::copy(noise.begin(), noise.end(), block.begin());
    benchmark::DoNotOptimize(block.data());
    benchmark::ClobberMemory();
  }
  ReportFrames(state);
}

void Lowpass(benchmark::State& state) {
  Source f(1000.0), r(0.7);
  RunType(state, kLowpassType, {&f, &r});
}
void PeakEq(benchmark::State& state) {
  Source f(1000.0), gain(6.0), q(1.41);
  RunType(state, kPeakEqType, {&f, &gain, &q});
}
void Moog(benchmark::State& state) {
  Source f(1000.0), r(50.0);
  RunType(state, kMoogType, {&f, &r});
}
void Iir2(benchmark::State& state) {
  Source b0(0.2), b1(0.4), b2(0.2), a1(0.5), a2(-0.3);
  RunType(state, kIir2Type, {&b0, &b1, &b2, &a1, &a2});
}
void Fir8(benchmark::State& state) {
  Source b(1.0 / 9);
  RunType(state, kFir8Type, {&b, &b, &b, &b, &b, &b, &b, &b, &b});
}
void Clip(benchmark::State& state) {
  Source t(5000.0);
  RunType(state, kClipType, {&t});
}
void AddBufferConstant(benchmark::State& state) {
  Source c(100.0);
  RunType(state, kAddType, {&c});
}
void AddBufferBuffer(benchmark::State& state) {
  std::vector<double> other = Noise();
  Source y(other.data());
  RunType(state, kAddType, {&y});
}

// A source whose inputs are all given (null: unconnected); its output is
// its own buffer, so nothing is restored between blocks. `before` may
// refill input buffers.
template <class Before>
void RunSource(benchmark::State& state, int type, std::vector<Source*> sources, Before before) {
  ComponentRecord* inputs[kMaxPorts] = {};
  const std::int16_t source_outputs[kMaxPorts] = {};
  for (std::size_t k = 0; k < sources.size(); ++k) inputs[k] = sources[k] ? &sources[k]->record : nullptr;
  const ComponentDispatch dispatch = kComponentTypeTable.dispatch[type];
  const ComponentProcess process = kComponentTypeTable.process[type];
  auto* record = reinterpret_cast<ComponentRecord*>(dispatch(kCreateState, nullptr, nullptr));
  record->block_length = kFrames;
  for (auto _ : state) {
    before();
    process(record, inputs, source_outputs);
    benchmark::DoNotOptimize(record->output[0]);
    benchmark::ClobberMemory();
  }
  dispatch(kDestroyState, nullptr, record);
  ReportFrames(state);
}
void RunSource(benchmark::State& state, int type, std::vector<Source*> sources) {
  RunSource(state, type, std::move(sources), [] {});
}

// The Oscillator with constant controls (its steady path), by shape.
void Oscillator(benchmark::State& state, double frequency, int shape) {
  Source f(frequency), s(shape), w(0.3);
  RunSource(state, kOscillatorType, {&f, &s, &w});
}
void OscillatorSaw440(benchmark::State& state) { Oscillator(state, 440.0, 2); }
void OscillatorSaw10k(benchmark::State& state) { Oscillator(state, 10000.0, 2); }
void OscillatorPulse440(benchmark::State& state) { Oscillator(state, 440.0, 3); }
void OscillatorTriangle440(benchmark::State& state) { Oscillator(state, 440.0, 1); }
void OscillatorSine440(benchmark::State& state) { Oscillator(state, 440.0, 0); }
// A saw whose frequency is a signal (a vibrato): frame by frame, a bend
// at every frame.
void OscillatorSawVibrato(benchmark::State& state) {
  std::vector<double> frequency(kValues);
  for (int f = 0; f < kFrames; ++f) frequency[2 * f] = frequency[2 * f + 1] = 440.0 + 5.0 * (f % 64) / 64.0;
  Source f(frequency.data()), s(2.0);
  RunSource(state, kOscillatorType, {&f, &s});
}
void FmOscillator(benchmark::State& state) {
  Source c(440.0), m(220.0), i(3.0);
  RunSource(state, kFmOscillatorType, {&c, &m, &i});
}
void NoiseWhite(benchmark::State& state) { RunSource(state, kNoiseType, {}); }
void NoisePink(benchmark::State& state) {
  Source colour(1.0);
  RunSource(state, kNoiseType, {nullptr, &colour});
}
void Adsr(benchmark::State& state, int type) {
  // A gate that opens and closes every other block: every stage is met.
  std::vector<double> gate(kValues);
  Source g(gate.data()), a(5.0), d(10.0), s(0.5), r(8.0);
  bool open = false;
  RunSource(state, type, {&g, &a, &d, &s, &r}, [&] {
    open = !open;
    std::fill(gate.begin(), gate.end(), open ? 1.0 : 0.0);
  });
}
void LinearAdsr(benchmark::State& state) { Adsr(state, kLinearAdsrType); }
void ExponentialAdsr(benchmark::State& state) { Adsr(state, kExponentialAdsrType); }
void FollowerPeak(benchmark::State& state) {
  Source a(10.0), r(100.0);
  RunType(state, kEnvelopeFollowerType, {&a, &r});
}
void FollowerRms(benchmark::State& state) {
  Source a(10.0), r(100.0), mode(1.0);
  RunType(state, kEnvelopeFollowerType, {&a, &r, &mode});
}
void StepCounter(benchmark::State& state) { RunType(state, kStepCounterType, {}); }
void TranslationTableLinear(benchmark::State& state) { RunType(state, kTranslationTableType, {}); }
void FunctionTanh(benchmark::State& state) {
  Source which(2.0);
  RunType(state, kFunctionType, {&which});
}

struct Lines {
  Lines() : storage(2 * kDelayLineLength) {
    context.left_line[0] = storage.data();
    context.right_line[0] = storage.data() + kDelayLineLength;
  }
  std::vector<double> storage;
  EngineContext context{};
};
void DelaySet(benchmark::State& state) {
  Lines lines;
  Source d(1000.0);
  RunType(state, kDelaySetType, {&d}, &lines.context);
}
void DelayGet(benchmark::State& state) {
  Lines lines;
  RunType(state, kDelayGetType, {nullptr}, &lines.context);
}

// The same cascade with nothing around it, one filter at a time over the
// block with its state in registers: the floor for an engine that runs
// each filter on its own. The engine pairs neighbouring filters instead
// and must still give exactly these values.
struct PlainCascade {
  PlainCascade() {
    for (int i = 0; i < kStages; ++i) k[i] = LowpassCoefficients(Cutoff(i), kResonance, 44100.0);
  }
  void Process(double* b) {
    for (int s = 0; s < kStages; ++s) {
      const BiquadCoefficients c = k[s];
      BiquadHistory h0 = h[s][0], h1 = h[s][1];
      for (int f = 0; f < kFrames; ++f) {
        b[2 * f] = BiquadStep(c, h0, b[2 * f]);
        b[2 * f + 1] = BiquadStep(c, h1, b[2 * f + 1]);
      }
      h[s][0] = h0, h[s][1] = h1;
    }
  }
  BiquadCoefficients k[kStages];
  BiquadHistory h[kStages][2] = {};
};

void CascadeGraph(benchmark::State& state) {
  const std::vector<double> noise = Noise();
  std::unique_ptr<PatchEngine> engine = CascadeEngine();
  // The plain loop must compute the very same values.
  PlainCascade check;
  std::vector<double> expected = noise;
  for (int i = 0; i < 3; ++i) {
    std::copy(noise.begin(), noise.end(), engine->InputBuffer());
    expected = noise;
    check.Process(expected.data());
    const double* out = engine->ProcessBlock(kFrames);
    if (out == nullptr || std::memcmp(out, expected.data(), sizeof(double) * kValues) != 0) {
      state.SkipWithError("engine and plain loop disagree");
      return;
    }
  }
  for (auto _ : state) {
    std::copy(noise.begin(), noise.end(), engine->InputBuffer());
    benchmark::DoNotOptimize(engine->ProcessBlock(kFrames));
    benchmark::ClobberMemory();
  }
  ReportFrames(state);
}

// The same graph with the engine watching every output for a runaway, as
// korvel render runs it: the cascade runs one filter at a time and each
// output is scanned.
void CascadeGraphWatched(benchmark::State& state) {
  const std::vector<double> noise = Noise();
  std::unique_ptr<PatchEngine> engine = CascadeEngine();
  engine->WatchOutputs(519306.7);
  for (auto _ : state) {
    std::copy(noise.begin(), noise.end(), engine->InputBuffer());
    benchmark::DoNotOptimize(engine->ProcessBlock(kFrames));
    benchmark::ClobberMemory();
  }
  ReportFrames(state);
}

void CascadePlainLoop(benchmark::State& state) {
  const std::vector<double> noise = Noise();
  std::vector<double> block(kValues);
  PlainCascade cascade;
  for (auto _ : state) {
    std::copy(noise.begin(), noise.end(), block.begin());
    cascade.Process(block.data());
    benchmark::DoNotOptimize(block.data());
    benchmark::ClobberMemory();
  }
  ReportFrames(state);
}

// What a host pays to get a usable module: CreateDaveModule's allocation
// and construction, then Init (the reset: default script compiled, delay
// lines silent), then the release. Wall time: page faults are the cost here.
void ModuleStart(benchmark::State& state) {
  for (auto _ : state) {
    auto* module = new (std::nothrow) PluginModule();
    if (module == nullptr) {
      state.SkipWithError("no module");
      return;
    }
    module->Init(nullptr);
    benchmark::DoNotOptimize(module->engine().DelayLine(0));
    delete module;
  }
}

BENCHMARK(ModuleStart)->UseRealTime()->Unit(benchmark::kMicrosecond);

// IN -> LP -> OUT with the cutoff from a Slider on parameter 1 (300..3000 Hz):
// the parameter held still (the Slider is a constant), or moved before
// every block (the Slider ramps, so the filter recomputes its coefficients
// at every frame).
void SliderLowpass(benchmark::State& state, bool moving) {
  const std::vector<double> noise = Noise();
  double parameters[kParameterCount] = {};
  auto engine = std::make_unique<PatchEngine>();
  engine->ResetEngine();
  {
    PatchEngine::EditLock lock(*engine);
    engine->LendHostLocked(nullptr, parameters, nullptr, nullptr);
  }
  const int in = engine->CreateComponent(kInType), lp = engine->CreateComponent(kLowpassType);
  const int slider = engine->CreateComponent(kSliderType), r = engine->CreateComponent(kConstantType);
  engine->RenewRecord(slider, [](ComponentRecord& fresh, const ComponentRecord&, int) {
    static_cast<SliderRecord&>(fresh).minimum = 300.0;
    static_cast<SliderRecord&>(fresh).maximum = 3000.0;
  });
  bench::SetConstantValue(*engine, r, kResonance);
  if (!engine->Connect(in, 0, lp, 0) || !engine->Connect(slider, 0, lp, 1) || !engine->Connect(r, 0, lp, 2) ||
      !engine->Connect(lp, 0, engine->CreateComponent(kOutType), 0))
    std::abort();
  int block = 0;
  for (auto _ : state) {
    if (moving) parameters[0] = (++block % 2) ? 0.3 : 0.7;
    std::copy(noise.begin(), noise.end(), engine->InputBuffer());
    benchmark::DoNotOptimize(engine->ProcessBlock(kFrames));
    benchmark::ClobberMemory();
  }
  ReportFrames(state);
}
void SliderLowpassHeld(benchmark::State& state) { SliderLowpass(state, false); }
void SliderLowpassMoving(benchmark::State& state) { SliderLowpass(state, true); }

// A whole module through the plug-in's audio port at 256-frame blocks, as a
// host runs it; counters give the time per frame and how many times faster
// than real time (at 44.1 kHz) that is.
void RunModule(benchmark::State& state, const std::string& image) {
  auto module = std::make_unique<PluginModule>();
  module->Init(nullptr);
  std::string error;
  if (!ReadModuleImage(module->engine(), image.data(), image.size(), error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  const std::vector<double> noise = Noise();
  std::vector<float> block(kValues);
  void* buffers[1] = {block.data()};
  for (auto _ : state) {
    for (int i = 0; i < kValues; ++i) block[i] = static_cast<float>(noise[i] * 0.1);
    AudioBlockRecord record{buffers, kFrames};
    AudioPort(module.get(), &record);
    benchmark::DoNotOptimize(block.data());
  }
  ReportFrames(state);
  state.counters["x_real_time"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kFrames / 44100.0, benchmark::Counter::kIsRate);
}

// The plucked string of examples/karplus-strong.korvel with its period
// fixed: a loop of `period` frames through a Delay Tap, the block cut into
// slices that long (one frame for a period of 1.5).
std::string KarplusStrong(double period) {
  return R"({"format": "korvel-module", "version": 1, "components": [
    {"slot": 0, "type": 0}, {"slot": 1, "type": 1}, {"slot": 2, "type": 12}, {"slot": 3, "type": 80, "value": 0.02},
    {"slot": 4, "type": 32}, {"slot": 5, "type": 80, "value": )" + std::to_string(period - 0.5) + R"(},
    {"slot": 6, "type": 2}, {"slot": 7, "type": 30}, {"slot": 8, "type": 10}, {"slot": 9, "type": 12},
    {"slot": 10, "type": 80, "value": 0.497}, {"slot": 11, "type": 27}],
    "connections": [{"from": [0, 0], "to": [2, 0]}, {"from": [3, 0], "to": [2, 1]}, {"from": [2, 0], "to": [4, 0]},
    {"from": [5, 0], "to": [4, 1]}, {"from": [4, 0], "to": [6, 0]}, {"from": [6, 0], "to": [1, 0]},
    {"from": [6, 1], "to": [8, 0]}, {"from": [6, 2], "to": [7, 0]}, {"from": [7, 0], "to": [8, 1]},
    {"from": [8, 0], "to": [9, 0]}, {"from": [10, 0], "to": [9, 1]}, {"from": [9, 0], "to": [11, 0]}]})";
}
void KarplusStrong100(benchmark::State& state) { RunModule(state, KarplusStrong(100.0)); }
void KarplusStrong1(benchmark::State& state) { RunModule(state, KarplusStrong(1.5)); }

// examples/moog-drive.korvel (gain 4, a Moog ladder at 1500 Hz, a clip) at
// a given oversampling; and a bare IN -> OUT at that factor, which costs the
// oversampling filters alone.
std::string Drive(int factor) {
  return R"({"format": "korvel-module", "version": 1, "oversampling": )" + std::to_string(factor) +
         R"(, "components": [{"slot": 0, "type": 0}, {"slot": 1, "type": 12}, {"slot": 2, "type": 80, "value": 4.0},
    {"slot": 3, "type": 19}, {"slot": 4, "type": 80, "value": 1500.0}, {"slot": 5, "type": 80, "value": 40.0},
    {"slot": 6, "type": 24}, {"slot": 7, "type": 80, "value": 6000.0}, {"slot": 8, "type": 1}],
    "connections": [{"from": [0, 0], "to": [1, 0]}, {"from": [2, 0], "to": [1, 1]}, {"from": [1, 0], "to": [3, 0]},
    {"from": [4, 0], "to": [3, 1]}, {"from": [5, 0], "to": [3, 2]}, {"from": [3, 0], "to": [6, 0]},
    {"from": [7, 0], "to": [6, 1]}, {"from": [6, 0], "to": [8, 0]}]})";
}
std::string Passthrough(int factor) {
  return R"({"format": "korvel-module", "version": 1, "oversampling": )" + std::to_string(factor) +
         R"(, "components": [{"slot": 0, "type": 0}, {"slot": 1, "type": 1}], "connections": [{"from": [0, 0], "to": [1, 0]}]})";
}
void Drive1x(benchmark::State& state) { RunModule(state, Drive(1)); }
void Drive4x(benchmark::State& state) { RunModule(state, Drive(4)); }
void Drive16x(benchmark::State& state) { RunModule(state, Drive(16)); }
void Passthrough1x(benchmark::State& state) { RunModule(state, Passthrough(1)); }
void Passthrough4x(benchmark::State& state) { RunModule(state, Passthrough(4)); }
void Passthrough16x(benchmark::State& state) { RunModule(state, Passthrough(16)); }
// Resident memory of this process in bytes (Linux).
double ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  double pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * 4096.0;
}

// `seconds` of stereo noise at `rate` Hz as a float WAV in /tmp; its path.
std::string NoiseWav(double rate, double seconds) {
  const auto frames = static_cast<std::uint32_t>(rate * seconds);
  const std::string path = "/tmp/korvel-bench-" + std::to_string(static_cast<int>(rate)) + "-" +
                           std::to_string(frames) + ".wav";
  std::string wav = "RIFF";
  const auto le = [&wav](std::uint32_t v, int n) {
    for (int i = 0; i < n; ++i) wav += static_cast<char>(v >> (8 * i) & 0xFF);
  };
  le(36 + 8 * frames, 4);
  wav += "WAVEfmt ";
  le(16, 4), le(3, 2), le(2, 2), le(static_cast<std::uint32_t>(rate), 4), le(static_cast<std::uint32_t>(rate) * 8, 4);
  le(8, 2), le(32, 2);
  wav += "data";
  le(8 * frames, 4);
  unsigned seed = 99;
  for (std::uint32_t i = 0; i < 2 * frames; ++i) {
    seed = seed * 1664525u + 1013904223u;
    const float x = (static_cast<float>(seed >> 8) / 16777216.0f - 0.5f) * 0.5f;
    std::uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    le(bits, 4);
  }
  std::ofstream(path, std::ios::binary) << wav;
  return path;
}

// 64 Samplers playing at once at 44.1 kHz, summed by a chain of adders into
// OUT: each started by a constant 1 and looping a sound of two seconds of
// stereo noise recorded at `rate`, at `pitch` times its root frequency (in2
// unconnected for 1). Every Sampler names the same file: one copy of it.
void Samplers(benchmark::State& state, double rate, double pitch) {
  StoreSampleTiming(44100.0, 100.0);
  const std::string path = NoiseWav(rate, 2.0);
  auto engine = std::make_unique<PatchEngine>();
  engine->ResetEngine();
  int sum = -1;
  std::string error;
  for (int i = 0; i < 64; ++i) {
    const int sampler = engine->CreateComponent(kSamplerType), trigger = engine->CreateComponent(kConstantType);
    bench::SetConstantValue(*engine, trigger, 1.0);
    if (!engine->SetSettings(sampler, {{"file", path}, {"loop", "forward"}}, error) ||
        !engine->Connect(trigger, 0, sampler, 0))
      std::abort();
    if (pitch != 1.0) {
      const int frequency = engine->CreateComponent(kConstantType);
      bench::SetConstantValue(*engine, frequency, pitch * kSamplerDefaultRoot);
      if (!engine->Connect(frequency, 0, sampler, 1)) std::abort();
    }
    if (sum < 0) {
      sum = sampler;
    } else {
      const int add = engine->CreateComponent(kAddType);
      if (!engine->Connect(sum, 0, add, 0) || !engine->Connect(sampler, 0, add, 1)) std::abort();
      sum = add;
    }
  }
  if (!engine->Connect(sum, 0, engine->CreateComponent(kOutType), 0) || !engine->SoundProblems().empty()) std::abort();
  for (auto _ : state) {
    benchmark::DoNotOptimize(engine->ProcessBlock(kFrames));
    engine->BlockDone();
    benchmark::ClobberMemory();
  }
  ReportFrames(state);
  state.counters["copies"] = static_cast<double>(LoadedSoundCount());
}
void SamplersOwnPitch(benchmark::State& state) { Samplers(state, 44100.0, 1.0); }
void SamplersFrom48k(benchmark::State& state) { Samplers(state, 48000.0, 1.0); }
void SamplersFifthUp(benchmark::State& state) { Samplers(state, 44100.0, 1.5); }
void SamplersOctaveDown(benchmark::State& state) { Samplers(state, 44100.0, 0.5); }

// What 64 Samplers naming one file cost in memory: the growth of the
// process when the module is built, with the file named (argument 1) or
// none (0), and the sound store's bytes. Run each on its own, in a process
// of its own, so neither reuses what the other freed:
//   korvel_bench --benchmark_filter=SamplerMemory/0
//   korvel_bench --benchmark_filter=SamplerMemory/1
void SamplerMemory(benchmark::State& state) {
  const bool named = state.range(0) != 0;
  const std::string path = NoiseWav(44100.0, 60.0);
  std::unique_ptr<PatchEngine> engine;
  double growth = 0;
  for (auto _ : state) {
    const double before = ResidentBytes();
    engine = std::make_unique<PatchEngine>();
    engine->ResetEngine();
    std::string error;
    for (int i = 0; i < 64; ++i) {
      const int sampler = engine->CreateComponent(kSamplerType);
      if (named && !engine->SetSettings(sampler, {{"file", path}}, error)) std::abort();
    }
    growth = ResidentBytes() - before;
  }
  state.counters["growth"] = growth;
  state.counters["sound_bytes"] = static_cast<double>(LoadedSoundBytes());
  state.counters["copies"] = static_cast<double>(LoadedSoundCount());
}

BENCHMARK(SamplersOwnPitch);
BENCHMARK(SamplersFrom48k);
BENCHMARK(SamplersFifthUp);
BENCHMARK(SamplersOctaveDown);
BENCHMARK(SamplerMemory)->Arg(0)->Arg(1)->Iterations(1);

// IN -> LP -> OUT through the module's audio callback, 256-frame calls, the
// cutoff from a Slider on parameter 1, which controller 1 moves: `changes`
// Control Changes per call, evenly spaced, each ending a piece of the call
// (controller 1), or moving nothing (controller 2, bound to no parameter).
void ControlChanges(benchmark::State& state, std::uint8_t controller) {
  static constexpr char kImage[] = R"({"format": "korvel-module", "version": 1,
    "parameters": [{"controller": 1}], "components": [{"slot": 0, "type": 0}, {"slot": 1, "type": 1},
    {"slot": 2, "type": 15}, {"slot": 3, "type": 87, "parameter": 1, "min": 300, "max": 3000},
    {"slot": 4, "type": 80, "value": 1.414}], "connections": [{"from": [0, 0], "to": [2, 0]},
    {"from": [3, 0], "to": [2, 1]}, {"from": [4, 0], "to": [2, 2]}, {"from": [2, 0], "to": [1, 0]}]})";
  auto module = std::make_unique<PluginModule>();
  module->Init(nullptr);
  std::string error;
  if (!ReadModuleImage(module->engine(), kImage, sizeof kImage - 1, error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  const std::vector<double> noise = Noise();
  std::vector<float> samples(kValues);
  const auto changes = static_cast<int>(state.range(0));
  std::vector<NoteEvent> events(changes);
  int call = 0;
  for (auto _ : state) {
    std::copy(noise.begin(), noise.end(), samples.begin());
    for (int i = 0; i < changes; ++i)
      events[i] = {static_cast<std::uint32_t>((i + 1) * kFrames / (changes + 1)), kControlChange, controller,
                   static_cast<std::uint8_t>((call + i) % 2 ? 30 : 90), 0};
    NotesRecord record{changes, events.data()};
    module->NotesCallback(&record);
    void* buffers[1] = {samples.data()};
    AudioBlockRecord block{buffers, kFrames};
    benchmark::DoNotOptimize(module->AudioCallback(&block));
    ++call;
  }
  ReportFrames(state);
}
void ControlChangesBound(benchmark::State& state) { ControlChanges(state, 1); }
void ControlChangesUnbound(benchmark::State& state) { ControlChanges(state, 2); }

BENCHMARK(ControlChangesBound)->Arg(0)->Arg(1)->Arg(4)->Arg(16);
BENCHMARK(ControlChangesUnbound)->Arg(16);
BENCHMARK(Refill);
BENCHMARK(Lowpass);
BENCHMARK(PeakEq);
BENCHMARK(Moog);
BENCHMARK(Iir2);
BENCHMARK(Fir8);
BENCHMARK(Clip);
BENCHMARK(AddBufferConstant);
BENCHMARK(AddBufferBuffer);
BENCHMARK(DelaySet);
BENCHMARK(DelayGet);
BENCHMARK(OscillatorSaw440);
BENCHMARK(OscillatorSaw10k);
BENCHMARK(OscillatorPulse440);
BENCHMARK(OscillatorTriangle440);
BENCHMARK(OscillatorSine440);
BENCHMARK(OscillatorSawVibrato);
BENCHMARK(FmOscillator);
BENCHMARK(NoiseWhite);
BENCHMARK(NoisePink);
BENCHMARK(LinearAdsr);
BENCHMARK(ExponentialAdsr);
BENCHMARK(FollowerPeak);
BENCHMARK(FollowerRms);
BENCHMARK(StepCounter);
BENCHMARK(TranslationTableLinear);
BENCHMARK(FunctionTanh);
BENCHMARK(CascadeGraph);
BENCHMARK(CascadeGraphWatched);
BENCHMARK(CascadePlainLoop);
BENCHMARK(SliderLowpassHeld);
BENCHMARK(SliderLowpassMoving);
BENCHMARK(KarplusStrong100);
BENCHMARK(KarplusStrong1);
BENCHMARK(Drive1x);
BENCHMARK(Drive4x);
BENCHMARK(Drive16x);
BENCHMARK(Passthrough1x);
BENCHMARK(Passthrough4x);
BENCHMARK(Passthrough16x);

}  // namespace
}  // namespace korvel

BENCHMARK_MAIN();

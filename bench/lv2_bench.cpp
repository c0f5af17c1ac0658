// The LV2 wrapper's cost: the 64-filter cascade through the LV2 bundle
// (loaded by liblilv, as Linux hosts load it) beside the same cascade
// through the plug-in library as the command-line host drives it. Time per
// frame at 256-frame blocks; both first checked to give the same output.
#include <benchmark/benchmark.h>
#include <lilv/lilv.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench/cascade_module.h"
#include "engine/module_image.h"
#include "host/lv2/lv2_names.h"
#include "tests/lv2/lilv_host.h"
#include "tools/pluginhost/plugin_host.h"

namespace korvel {
namespace {

constexpr std::uint32_t kFrames = 256;

// The engine benchmark's cascade as a module image.
std::string CascadeImage() { return WriteModuleImage(*bench::CascadeEngine()); }

// Host-scale noise, one block per channel.
std::vector<float> Noise(unsigned seed) {
  std::vector<float> v(kFrames);
  for (float& x : v) {
    seed = seed * 1664525u + 1013904223u;
    x = static_cast<float>((static_cast<double>(seed >> 8) / (1u << 24) - 0.5) * 0.6);
  }
  return v;
}

struct PluginHostCascade {
  PluginHostCascade() {
    std::string error;
    library = pluginhost::Library::Load(pluginhost::DefaultLibraryPath(), error);
    if (!library) return;
    module = pluginhost::Module::Create(*library);
    module->Init();
    module->RestoreImage(CascadeImage());
  }
  // One block as `korvel render` passes it: interleaved, on the engine's scale.
  void Run(const std::vector<float>& left, const std::vector<float>& right) {
    for (std::uint32_t i = 0; i < kFrames; ++i) {
      buffer[2 * i] = left[i] * lv2::kEngineScale;
      buffer[2 * i + 1] = right[i] * lv2::kEngineScale;
    }
    module->Audio(buffer, kFrames);
    for (std::uint32_t i = 0; i < kFrames; ++i) {
      out_left[i] = buffer[2 * i] / lv2::kEngineScale;
      out_right[i] = buffer[2 * i + 1] / lv2::kEngineScale;
    }
  }
  std::unique_ptr<pluginhost::Library> library;
  std::unique_ptr<pluginhost::Module> module;
  float buffer[2 * kFrames];
  std::vector<float> out_left = std::vector<float>(kFrames), out_right = std::vector<float>(kFrames);
};

struct Lv2Cascade {
  Lv2Cascade() : world(lv2::kPluginUri), instance(world, 44100.0) {
    if (!instance.ok()) return;
    const std::string turtle =
        lv2test::StateTurtle("\"\"\"" + lv2test::TurtleEscaped(CascadeImage()) + "\"\"\"");
    LilvState* state = world.StateFromTurtle(turtle);
    if (state == nullptr) return;
    instance.Restore(state);
    lilv_state_free(state);
    loaded = instance.log().empty();
  }
  lv2test::World world;
  lv2test::Instance instance;
  bool loaded = false;
};

void ReportFrames(benchmark::State& state) {
  state.counters["per_frame"] = benchmark::Counter(static_cast<double>(state.iterations()) * kFrames,
                                                   benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void CascadePluginHost(benchmark::State& state) {
  const auto left = Noise(1), right = Noise(2);
  PluginHostCascade host;
  if (!host.module) return state.SkipWithError("plug-in library not found beside the program");
  for (auto _ : state) {
    host.Run(left, right);
    benchmark::DoNotOptimize(host.out_left.data());
    benchmark::ClobberMemory();
  }
  ReportFrames(state);
}

void CascadeLv2(benchmark::State& state) {
  const auto left = Noise(1), right = Noise(2);
  Lv2Cascade lv2;
  if (!lv2.loaded) return state.SkipWithError("LV2 bundle not found on LV2_PATH, or the cascade refused");
  // The same output as through the plug-in library, block after block.
  PluginHostCascade check;
  for (int i = 0; i < 3 && check.module; ++i) {
    check.Run(left, right);
    lv2.instance.Run(left.data(), right.data(), kFrames);
    if (!std::equal(check.out_left.begin(), check.out_left.end(), lv2.instance.out_left().begin()))
      return state.SkipWithError("the LV2 plug-in and the plug-in library disagree");
  }
  for (auto _ : state) {
    lv2.instance.Run(left.data(), right.data(), kFrames);
    benchmark::DoNotOptimize(lv2.instance.out_left().data());
    benchmark::ClobberMemory();
  }
  ReportFrames(state);
}

BENCHMARK(CascadePluginHost);
BENCHMARK(CascadeLv2);

}  // namespace
}  // namespace korvel

int main(int argc, char** argv) {
  setenv("LV2_PATH", KORVEL_LV2_PATH, 0);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

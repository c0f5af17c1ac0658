// What bad input costs before it is refused or stopped: state chunks at and
// past the size bound, and the worst scripts we could write run to the step
// limit (bench/scripts/, trace discarded).
#include <benchmark/benchmark.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine/module_image.h"
#include "engine/ui.h"
#include "host/plugin_module.h"
#include "script/script_engine.h"
#include "tools/pluginhost/plugin_host.h"

namespace korvel {
namespace {

class QuietUi final : public UserInterface {
 public:
  int ShowMessage(void*, const char*, const char*, unsigned) override { return kIdOk; }
  bool ChooseFile(const FileDialogRequest&, std::string&) override { return false; }
  void* MakeFont(const FontRequest&) override { return nullptr; }
  void ReleaseFont(void*) override {}
  void Repaint(void*) override {}
  void DestroyEditorWindow(void*) override {}
  void* ForegroundWindow() override { return nullptr; }
};

std::vector<std::uint8_t> Garbage(std::size_t size) {
  std::vector<std::uint8_t> v(size);
  std::uint32_t seed = 99;
  for (auto& b : v) b = static_cast<std::uint8_t>((seed = seed * 1664525u + 1013904223u) >> 24);
  return v;
}

// Valid JSON as far as it goes: a module with a list of 4 MiB of zeros.
std::vector<std::uint8_t> ManyValues(std::size_t size) {
  std::string text = R"({"format": "korvel-module", "version": 1, "components": [], "notes": [)";
  while (text.size() + 4 < size) text += "0,";
  text += "0]}";
  return {text.begin(), text.end()};
}

std::vector<std::uint8_t> Nested(std::size_t size) { return std::vector<std::uint8_t>(size, '['); }

void RestoreChunk(benchmark::State& state, const std::vector<std::uint8_t>& image) {
  QuietUi ui;
  SetUi(&ui);
  auto module = std::make_unique<PluginModule>();
  module->Init(nullptr);
  const std::vector<std::uint8_t> chunk = pluginhost::ChunkOf(std::string(image.begin(), image.end()));
  for (auto _ : state) {
    pluginhost::MemoryStream stream(chunk);
    module->RestoreState(&stream);
  }
  SetUi(nullptr);
}

void BM_RefuseGarbage4MiB(benchmark::State& s) { RestoreChunk(s, Garbage(kMaxModuleImageSize)); }
void BM_RefuseOversize(benchmark::State& s) { RestoreChunk(s, Garbage(kMaxModuleImageSize + 1)); }
void BM_RefuseManyValues4MiB(benchmark::State& s) { RestoreChunk(s, ManyValues(kMaxModuleImageSize)); }
void BM_RefuseNesting4MiB(benchmark::State& s) { RestoreChunk(s, Nested(kMaxModuleImageSize)); }
BENCHMARK(BM_RefuseGarbage4MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RefuseOversize)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RefuseManyValues4MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RefuseNesting4MiB)->Unit(benchmark::kMillisecond);

void RunScript(benchmark::State& state, const char* name) {
  std::ifstream in(std::string(KORVEL_SOURCE_DIR) + "/bench/scripts/" + name);
  std::ostringstream text;
  text << in.rdbuf();
  auto script = std::make_unique<ScriptEngine>();
  script->SetTraceSink(nullptr);
  if (!script->CompileScript(text.str().c_str())) state.SkipWithError("does not compile");
  std::int64_t steps = 0;
  for (auto _ : state) {
    script->ClearMessages();
    script->RunFunction("main");
    steps = script->StepsTaken();
  }
  state.counters["steps"] = static_cast<double>(steps);
}

#define KORVEL_SCRIPT_BENCH(id, file) \
  void BM_Script_##id(benchmark::State& s) { RunScript(s, file); } \
  BENCHMARK(BM_Script_##id)->Unit(benchmark::kMillisecond)->Iterations(1);
KORVEL_SCRIPT_BENCH(EmptyCalls, "empty-calls.txt")
KORVEL_SCRIPT_BENCH(SameNamed, "same-named.txt")
KORVEL_SCRIPT_BENCH(Recursion, "recursion.txt")
KORVEL_SCRIPT_BENCH(Joins, "joins.txt")
KORVEL_SCRIPT_BENCH(Lookups, "lookups.txt")
KORVEL_SCRIPT_BENCH(Searches, "searches.txt")

}  // namespace
}  // namespace korvel

BENCHMARK_MAIN();

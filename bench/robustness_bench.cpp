// What bad input costs before it is refused or stopped: state chunks at and
// past the size bound, and the worst scripts we could write run to the step
// limit (trace discarded).
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/module_image.h"
#include "engine/ui.h"
#include "host/plugin_module.h"
#include "script/script_engine.h"
#include "tools/pluginhost/plugin_host.h"

namespace korvel {
namespace {

using QuietUi = SilentUi;

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

// One object of as many distinct keys as 4 MiB holds (the value bound lets
// them through): the duplicate-key scan at its worst, then the refusal of
// the first unknown key.
std::vector<std::uint8_t> ManyKeys(std::size_t size) {
  std::string text = R"({"format": "korvel-module", "version": 1, "components": [])";
  for (int i = 0; text.size() + 24 < size && i < 200000; ++i) text += ", \"k" + std::to_string(i) + "\": 0";
  text += "}";
  return {text.begin(), text.end()};
}

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
void BM_RefuseManyKeys4MiB(benchmark::State& s) { RestoreChunk(s, ManyKeys(kMaxModuleImageSize)); }
BENCHMARK(BM_RefuseManyKeys4MiB)->Unit(benchmark::kMillisecond);

// The worst scripts we could write, each a loop that runs to the step limit.
std::string Repeat(const std::string& piece, int times) {
  std::string s;
  for (int i = 0; i < times; ++i) s += piece;
  return s;
}
std::string EmptyCalls() { return ":e\n:\n:main\ndo 1 whiletrue e e e e e e e e loop\n:\n"; }
std::string SameNamed() { return Repeat(":e\n:\n", 5000) + ":main\ndo 1 whiletrue e loop\n:\n"; }
std::string Recursion() { return ":r\nr r\n:\n:main\ndo 1 whiletrue r loop\n:\n"; }
std::string Joins() {
  return "var s\n:main\n\"" + std::string(1000, 'x') + "\" >> s\ndo 1 whiletrue ( s + s + s ) >> s loop\n:\n";
}
std::string Lookups() {
  std::string s;
  for (int i = 0; i < 8000; ++i) s += "var v" + std::to_string(i) + "\n";
  return s + ":main\ndo 1 whiletrue v7999 loop\n:\n";
}
// A text of 32,767 bytes inside 100,000 brackets, then that text joined to
// itself 100,000 deep: the first completes, the second runs to the limit.
std::string Lines(const std::string& piece, int times) {
  std::string s;
  for (int i = 0; i < times; ++i) s += piece + (i % 100 == 99 ? "\n" : " ");
  return s;
}
std::string LongestText() {
  return "var s\n:main\n\"" + std::string(1000, 'x') +
         "\"\n>> s ( s + s + s + s + s + s + s + s ) >> s ( s + s + s + s + s + s + s + s ) >> s\n";
}
std::string NestedBrackets() { return LongestText() + Lines("(", 100000) + "s\n" + Lines(")", 100000) + "\n:\n"; }
std::string NestedJoins() { return LongestText() + Lines("( s +", 100000) + "s\n" + Lines(")", 100000) + "\n:\n"; }
std::string Searches() {
  return ":main\ndo 1 whiletrue do 0 whiletrue\n" + Repeat(Repeat("1 ", 400) + "\n", 50) + "loop loop\n:\n";
}

void RunScript(benchmark::State& state, const std::string& text) {
  auto script = std::make_unique<ScriptEngine>();
  script->SetTraceSink(nullptr);
  if (!script->CompileScript(text.c_str())) state.SkipWithError("does not compile");
  std::int64_t steps = 0;
  for (auto _ : state) {
    script->ClearMessages();
    script->RunFunction("main");
    steps = script->StepsTaken();
  }
  state.counters["steps"] = static_cast<double>(steps);
}

#define KORVEL_SCRIPT_BENCH(id)                                         \
  void BM_Script_##id(benchmark::State& s) { RunScript(s, id()); } \
  BENCHMARK(BM_Script_##id)->Unit(benchmark::kMillisecond)->Iterations(1);
KORVEL_SCRIPT_BENCH(EmptyCalls)
KORVEL_SCRIPT_BENCH(SameNamed)
KORVEL_SCRIPT_BENCH(Recursion)
KORVEL_SCRIPT_BENCH(Joins)
KORVEL_SCRIPT_BENCH(Lookups)
KORVEL_SCRIPT_BENCH(Searches)
KORVEL_SCRIPT_BENCH(NestedBrackets)
KORVEL_SCRIPT_BENCH(NestedJoins)

}  // namespace
}  // namespace korvel

BENCHMARK_MAIN();

// Feeds arbitrary bytes to the module image reader. Every input must either
// load or be refused with a message; a loaded module must save to an image
// that loads back to the same bytes, and must process a block.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/module_image.h"
#include "engine/patch_engine.h"

namespace {

// One engine for the whole run, set up as the plug-in sets it up: the
// parameter names and values live outside it.
korvel::PatchEngine& Engine() {
  static char names[korvel::kNamedParameterCount][korvel::kParameterNameSize];
  static double values[korvel::kParameterCount];
  static korvel::PatchEngine* engine = [] {
    auto* e = new korvel::PatchEngine();
    e->ResetEngine();
    korvel::PatchEngine::EditLock lock(*e);
    e->LendHostLocked(names, values, nullptr, nullptr);
    return e;
  }();
  return *engine;
}

[[noreturn]] void Broken(const char* what, const std::string& detail) {
  std::fprintf(stderr, "image_fuzz: %s\n%s\n", what, detail.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  korvel::PatchEngine& engine = Engine();
  std::string error;
  if (!korvel::ReadModuleImage(engine, data, size, error)) {
    if (error.empty()) Broken("refused without a message", "");
    if (error.find('\n') != std::string::npos) Broken("message is more than one line", error);
    return 0;
  }
  if (size == 0) return 0;
  const std::string saved = korvel::WriteModuleImage(engine);
  if (!korvel::ReadModuleImage(engine, saved.data(), saved.size(), error)) Broken(error.c_str(), saved);
  if (korvel::WriteModuleImage(engine) != saved) Broken("saving again gave other bytes", saved);
  for (int i = 0; i < 2 * 64; ++i) engine.InputBuffer()[i] = 1000.0 * (i % 7) - 3000.0;
  engine.ProcessBlock(64);
  engine.BlockDone();
  return 0;
}

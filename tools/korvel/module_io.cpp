#include "tools/korvel/module_io.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "engine/module_image.h"

namespace korvel::cli {

std::unique_ptr<PatchEngine> NewEngine() {
  auto engine = std::make_unique<PatchEngine>();
  engine->ResetEngine();
  return engine;
}

std::unique_ptr<LoadedModule> LoadModule(const std::string& path, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot read '" + path + "': " + std::strerror(errno);
    return nullptr;
  }
  std::ostringstream bytes;
  bytes << in.rdbuf();
  auto module = std::make_unique<LoadedModule>();
  module->bytes = bytes.str();
  module->engine = NewEngine();
  for (int p = 0; p < kNamedParameterCount; ++p) module->engine->parameter_names[p] = module->parameter_names[p];
  module->engine->context.parameter_values = module->parameter_values;
  std::string reason;
  if (!ReadModuleImage(*module->engine, module->bytes.data(), module->bytes.size(), reason)) {
    error = "'" + path + "': " + reason;
    return nullptr;
  }
  return module;
}

}  // namespace korvel::cli

#include "tools/korvel/module_io.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
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
  // A file past the image bound is refused before it is read.
  std::error_code size_error;
  const std::uintmax_t size = std::filesystem::file_size(path, size_error);
  if (!size_error && size > kMaxModuleImageSize) {
    error = "'" + path + "': " + TooLargeReason("the file", size);
    return nullptr;
  }
  std::ostringstream bytes;
  bytes << in.rdbuf();
  auto module = std::make_unique<LoadedModule>();
  module->bytes = bytes.str();
  module->engine = NewEngine();
  std::string reason;
  if (!ReadModuleImage(*module->engine, module->bytes.data(), module->bytes.size(), reason)) {
    error = "'" + path + "': " + reason;
    return nullptr;
  }
  return module;
}

}  // namespace korvel::cli

#include "tools/korvel/module_io.h"

#include "engine/file_io.h"
#include "engine/module_image.h"
#include "engine/sound_paths.h"

namespace korvel::cli {

std::string InputName(const std::string& path) { return path == "-" ? "standard input" : "'" + path + "'"; }

std::unique_ptr<PatchEngine> NewEngine() {
  auto engine = std::make_unique<PatchEngine>();
  engine->ResetEngine();
  return engine;
}

std::optional<std::string> ReadModuleFile(const std::string& path, std::string& error) {
  // Pipes too (a module from a process substitution), to the same bound.
  const ReadLimits limits{kMaxModuleImageSize, /*pipes=*/true, /*empty=*/false};
  std::string bytes, reason;
  if (!ReadInputFile(path, limits, bytes, reason)) {
    error = "cannot read " + InputName(path) + ": " + reason;
    return std::nullopt;
  }
  if (!CheckModuleImage(bytes.data(), bytes.size(), reason)) {
    error = InputName(path) + ": " + reason;
    return std::nullopt;
  }
  return bytes;
}

std::unique_ptr<LoadedModule> LoadModule(const std::string& path, std::string& error) {
  auto bytes = ReadModuleFile(path, error);
  if (!bytes) return nullptr;
  auto module = std::make_unique<LoadedModule>();
  module->bytes = std::move(*bytes);
  module->engine = NewEngine();
  std::string reason;
  ImagePaths paths;
  paths.folder = FolderOf(path);
  module->engine->SetModuleFolder(paths.folder);
  if (!ReadModuleImage(*module->engine, module->bytes.data(), module->bytes.size(), reason, paths)) {
    error = InputName(path) + ": " + reason;
    return nullptr;
  }
  return module;
}

std::optional<PluginSession> OpenPlugin(std::string& error) {
  PluginSession session;
  session.library = pluginhost::Library::Load(pluginhost::DefaultLibraryPath(), error);
  if (!session.library) return std::nullopt;
  session.module = pluginhost::Module::Create(*session.library);
  if (!session.module) {
    error = "the plug-in created no module";
    return std::nullopt;
  }
  session.module->Init();
  return session;
}

bool LoadIntoPlugin(pluginhost::Module& module, const std::string& image, const std::string& path,
                    std::string& error) {
  // The image has passed the plug-in's own reader (ReadModuleFile), so the
  // plug-in should accept it; if it refuses all the same, it keeps the
  // reason, and that is what is reported. Sound files named relative to the
  // module file are found beside it.
  module.SetModuleFolder(FolderOf(path));
  module.RestoreImage(image);
  const std::string problem = module.StateProblem();
  if (problem.empty()) return true;
  error = InputName(path) + ": " + problem;
  return false;
}

}  // namespace korvel::cli

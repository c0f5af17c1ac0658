#include "tools/korvel/module_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "engine/module_image.h"
#include "engine/sound_paths.h"

namespace korvel::cli {

std::unique_ptr<PatchEngine> NewEngine() {
  auto engine = std::make_unique<PatchEngine>();
  engine->ResetEngine();
  return engine;
}

std::optional<std::string> ReadModuleFile(const std::string& path, std::string& error) {
  const std::string name = "'" + path + "'";
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = "cannot read " + name + ": " + std::strerror(errno);
    return std::nullopt;
  }
  struct stat st {};
  fstat(fd, &st);
  const auto too_large = [&](unsigned long long size) {
    error = name + ": " + TooLargeReason("the file", size);
  };
  if (S_ISDIR(st.st_mode)) {
    close(fd);
    error = name + " is a directory, not a module";
    return std::nullopt;
  }
  if (S_ISREG(st.st_mode) && static_cast<unsigned long long>(st.st_size) > kMaxModuleImageSize) {
    close(fd);
    too_large(static_cast<unsigned long long>(st.st_size));
    return std::nullopt;
  }
  // Pipes have no size: read at most one byte past the limit.
  std::string bytes;
  char buffer[65536];
  for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) != 0;) {
    if (got < 0) {
      if (errno == EINTR) continue;
      error = "cannot read " + name + ": " + std::strerror(errno);
      close(fd);
      return std::nullopt;
    }
    bytes.append(buffer, static_cast<std::size_t>(got));
    if (bytes.size() > kMaxModuleImageSize) {
      close(fd);
      too_large(bytes.size());
      error += " or more";
      return std::nullopt;
    }
  }
  close(fd);
  if (bytes.empty()) {
    error = name + " is empty, not a module";
    return std::nullopt;
  }
  std::string reason;
  if (!CheckModuleImage(bytes.data(), bytes.size(), reason)) {
    error = name + ": " + reason;
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
    error = "'" + path + "': " + reason;
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
  error = "'" + path + "': " + problem;
  return false;
}

}  // namespace korvel::cli

#include "engine/module_file.h"

#include <cstdio>
#include <string>

#include "engine/file_io.h"
#include "engine/module_image.h"
#include "engine/patch_engine.h"
#include "engine/ui.h"

namespace korvel {
namespace {

std::string Format(const char* format, const std::string& a, const std::string& b) {
  const int length = std::snprintf(nullptr, 0, format, a.c_str(), b.c_str());
  std::string out(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
  std::snprintf(out.data(), out.size() + 1, format, a.c_str(), b.c_str());
  return out;
}

}  // namespace

bool LoadModuleFile(PatchEngine& engine, const std::string& path, std::string& error) {
  std::string bytes;
  if (!ReadInputFile(path, kModuleFileLimits, bytes, error)) return false;
  // An empty image changes nothing (a host's empty chunk), but a file that
  // holds nothing is no module: loading it must not pass for success.
  if (bytes.empty()) {
    error = text::kEmptyModuleFile;
    return false;
  }
  // Sound files named relative to the module file are found beside it.
  ImagePaths paths;
  paths.folder = FolderOf(path);
  if (!ReadModuleImage(engine, bytes.data(), bytes.size(), error, paths)) return false;
  engine.SetModuleFolder(paths.folder);
  return true;
}

bool SaveModuleFile(PatchEngine& engine, const std::string& path, std::string& error, Existing existing) {
  // Sound files in the module file's folder, or below it, are written
  // relative to it, so the two can move together.
  ImagePaths paths;
  paths.folder = FolderOf(path);
  if (!WriteWholeFile(path, WriteModuleImage(engine, paths), {}, existing, error)) return false;
  engine.SetModuleFolder(paths.folder);
  return true;
}

bool LoadModuleCommand(PatchEngine& engine) {
  if (Ui().ShowMessage(Ui().ForegroundWindow(), text::kLoadConfirm, text::kLoadModuleTitle,
                       kMbYesNo | kMbIconExclamation | kMbSystemModal) != kIdYes)
    return false;
  FileDialogRequest request;
  request.filter_name = text::kModuleFilterName;
  request.filter_pattern = text::kModuleFilterPattern;
  request.title = text::kLoadDialogTitle;
  request.initial_name = "";
  request.default_extension = text::kModuleExtension;
  request.save = false;
  std::string path;
  if (!Ui().ChooseFile(request, path)) return false;
  std::string error;
  const bool loaded = LoadModuleFile(engine, path, error);
  if (!loaded)
    Ui().ShowMessage(engine.Editor().main_window, Format(text::kCouldNotLoad, path, error).c_str(),
                     text::kLoadModuleTitle, kMbOk | kMbIconExclamation);
  Ui().Repaint(engine.Editor().main_window);
  return loaded;
}

bool SaveModuleAsCommand(PatchEngine& engine) {
  FileDialogRequest request;
  request.filter_name = text::kModuleFilterName;
  request.filter_pattern = text::kModuleFilterPattern;
  request.title = text::kSaveDialogTitle;
  request.initial_name = text::kUntitledModuleFile;
  request.default_extension = text::kModuleExtension;
  request.save = true;
  std::string path;
  if (!Ui().ChooseFile(request, path)) return false;
  std::string error;
  const bool saved = SaveModuleFile(engine, path, error);
  if (!saved)
    Ui().ShowMessage(engine.Editor().main_window, Format(text::kCouldNotSave, path, error).c_str(),
                     text::kSaveModuleTitle, kMbOk | kMbIconExclamation);
  Ui().Repaint(engine.Editor().main_window);
  return saved;
}

}  // namespace korvel

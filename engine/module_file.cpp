#include "engine/module_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/module_image.h"
#include "engine/patch_engine.h"
#include "engine/ui.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace korvel {
namespace {

std::string Format(const char* format, const std::string& a, const std::string& b) {
  const int length = std::snprintf(nullptr, 0, format, a.c_str(), b.c_str());
  std::string out(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
  std::snprintf(out.data(), out.size() + 1, format, a.c_str(), b.c_str());
  return out;
}

std::string SystemReason() {
  const int code = errno;
  return code != 0 ? std::strerror(code) : "unknown error";
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Replaces `to` with `from` in one step, so `to` is either the old file or
// the new one, never half of either.
bool ReplaceFile(const std::string& from, const std::string& to, std::string& error) {
#ifdef _WIN32
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
  char reason[512] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, GetLastError(), 0, reason,
                 sizeof reason, nullptr);
  error = reason;
  while (!error.empty() && (error.back() == '\n' || error.back() == '\r' || error.back() == ' ')) error.pop_back();
  if (error.empty()) error = "the file could not be replaced";
  return false;
#else
  if (std::rename(from.c_str(), to.c_str()) == 0) return true;
  error = SystemReason();
  return false;
#endif
}

}  // namespace

bool LoadModuleFile(PatchEngine& engine, const std::string& path, std::string& error) {
  errno = 0;
  File file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    error = SystemReason();
    return false;
  }
  if (std::fseek(file.get(), 0, SEEK_END) != 0) {
    error = SystemReason();
    return false;
  }
  const long end = std::ftell(file.get());
  if (end < 0 || std::fseek(file.get(), 0, SEEK_SET) != 0) {
    error = SystemReason();
    return false;
  }
  const auto size = static_cast<std::size_t>(end);
  if (size > kMaxModuleImageSize) {
    error = TooLargeReason("the file", size);
    return false;
  }
  std::vector<char> bytes(size);
  errno = 0;
  if (size > 0 && std::fread(bytes.data(), 1, size, file.get()) != size) {
    error = std::ferror(file.get()) ? SystemReason() : "the file ended early";
    return false;
  }
  file.reset();
  // Sound files named relative to the module file are found beside it.
  ImagePaths paths;
  paths.folder = FolderOf(path);
  if (!ReadModuleImage(engine, bytes.data(), bytes.size(), error, paths)) return false;
  engine.SetModuleFolder(paths.folder);
  return true;
}

bool SaveModuleFile(PatchEngine& engine, const std::string& path, std::string& error) {
  // Sound files in the module file's folder, or below it, are written
  // relative to it, so the two can move together.
  ImagePaths paths;
  paths.folder = FolderOf(path);
  const std::string image = WriteModuleImage(engine, paths);
  const std::string temporary = path + ".saving";
  errno = 0;
  File file(std::fopen(temporary.c_str(), "wb"));
  if (!file) {
    error = SystemReason();
    return false;
  }
  errno = 0;
  const bool written = std::fwrite(image.data(), 1, image.size(), file.get()) == image.size() &&
                       std::fflush(file.get()) == 0;
  const std::string reason = SystemReason();
  const bool closed = std::fclose(file.release()) == 0;
  if (!written || !closed) {
    error = written ? SystemReason() : reason;
    std::remove(temporary.c_str());
    return false;
  }
  if (!ReplaceFile(temporary, path, error)) {
    std::remove(temporary.c_str());
    return false;
  }
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
    Ui().ShowMessage(engine.main_window, Format(text::kCouldNotLoad, path, error).c_str(), text::kLoadModuleTitle,
                     kMbOk | kMbIconExclamation);
  Ui().Repaint(engine.main_window);
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
    Ui().ShowMessage(engine.main_window, Format(text::kCouldNotSave, path, error).c_str(), text::kSaveModuleTitle,
                     kMbOk | kMbIconExclamation);
  Ui().Repaint(engine.main_window);
  return saved;
}

}  // namespace korvel

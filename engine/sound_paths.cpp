#include "engine/sound_paths.h"

#include <filesystem>

namespace korvel {

namespace fs = std::filesystem;

std::string ImagePaths::Absolute(const std::string& stored) const {
  if (stored.empty()) return stored;
  if (to_absolute) {
    std::string mapped = to_absolute(stored);
    return mapped.empty() ? stored : mapped;
  }
  try {
    const fs::path path(stored);
    if (path.is_absolute()) return path.lexically_normal().string();
    const fs::path base = folder.empty() ? fs::current_path() : fs::path(folder);
    return (base / path).lexically_normal().string();
  } catch (const std::exception&) {
    return stored;
  }
}

std::string ImagePaths::Stored(const std::string& absolute) const {
  if (absolute.empty()) return absolute;
  if (to_stored) {
    std::string mapped = to_stored(absolute);
    return mapped.empty() ? absolute : mapped;
  }
  if (folder.empty()) return absolute;
  try {
    const fs::path relative = fs::path(absolute).lexically_relative(fs::path(folder).lexically_normal());
    if (relative.empty() || *relative.begin() == "..") return absolute;
    return relative.generic_string();
  } catch (const std::exception&) {
    return absolute;
  }
}

std::string FolderOf(const std::string& file) {
  try {
    return fs::absolute(fs::path(file)).lexically_normal().parent_path().string();
  } catch (const std::exception&) {
    return std::string();
  }
}

}  // namespace korvel

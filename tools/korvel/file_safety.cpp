#include "tools/korvel/file_safety.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>

namespace korvel::cli {

namespace fs = std::filesystem;

namespace {

// The temporary file of the render in progress, removed if the program is
// interrupted. [any thread, atomic]
std::atomic<const char*> g_temporary{nullptr};

extern "C" void RemoveTemporaryAndExit(int signal_number) {
  if (const char* path = g_temporary.load()) unlink(path);
  _exit(128 + signal_number);
}

void RemoveOnInterrupt(const char* path) {
  g_temporary.store(path);
  static bool installed = false;
  if (installed || path == nullptr) return;
  installed = true;
  for (int s : {SIGINT, SIGTERM, SIGHUP}) std::signal(s, RemoveTemporaryAndExit);
}

std::string Quote(const std::string& path) { return "'" + path + "'"; }

}  // namespace

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {}, sb {};
  if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

std::string WritablePath(const std::string& output, const std::vector<ProtectedFile>& inputs, std::string& error) {
  std::error_code ec;
  std::string target = output;
  const fs::file_status link = fs::symlink_status(output, ec);
  if (fs::is_symlink(link)) {
    target = fs::canonical(output, ec).string();
    if (ec) {
      error = Quote(output) + " is a symbolic link to nothing; not written";
      return {};
    }
  }
  const fs::file_status status = fs::status(target, ec);
  if (fs::exists(status)) {
    if (fs::is_directory(status)) {
      error = Quote(output) + " is a directory";
      return {};
    }
    if (!fs::is_regular_file(status)) {
      error = Quote(output) + " is not a regular file; only regular files are replaced (-o - writes to standard output)";
      return {};
    }
    for (const ProtectedFile& p : inputs) {
      if (p.path != "-" && SameFile(target, p.path)) {
        error = Quote(output) + " is " + p.role + " (" + Quote(p.path) + "); choose another output";
        return {};
      }
    }
  } else {
    const fs::path folder = fs::path(target).parent_path();
    if (!folder.empty() && !fs::is_directory(folder, ec)) {
      error = "cannot write " + Quote(output) + ": there is no folder " + Quote(folder.string());
      return {};
    }
  }
  return target;
}

std::unique_ptr<SafeOutput> SafeOutput::Create(const std::string& target, std::string& error) {
  const fs::path path(target);
  const fs::path folder = path.parent_path();
  std::string pattern = (folder / ("." + path.filename().string() + ".korvel-XXXXXX")).string();
  const int fd = mkstemp(pattern.data());
  if (fd < 0) {
    error = "cannot write " + Quote(target) + ": " + std::strerror(errno);
    return nullptr;
  }
  std::unique_ptr<SafeOutput> out(new SafeOutput());
  out->target_ = target;
  out->temporary_ = pattern;
  out->fd_ = fd;
  RemoveOnInterrupt(out->temporary_.c_str());
  return out;
}

SafeOutput::~SafeOutput() {
  if (!committed_) {
    RemoveOnInterrupt(nullptr);
    unlink(temporary_.c_str());
  }
}

bool SafeOutput::Commit(std::string& error) {
  // A replaced file keeps its permissions; a new one gets what the umask
  // allows, as if created directly (mkstemp makes it private).
  struct stat old {};
  mode_t mode;
  if (stat(target_.c_str(), &old) == 0) {
    mode = old.st_mode & 07777;
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  chmod(temporary_.c_str(), mode);
  if (std::rename(temporary_.c_str(), target_.c_str()) != 0) {
    error = "cannot write " + Quote(target_) + ": " + std::strerror(errno);
    return false;
  }
  committed_ = true;
  RemoveOnInterrupt(nullptr);
  return true;
}

}  // namespace korvel::cli

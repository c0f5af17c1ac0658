// Writing files without ever destroying one: every output goes to a
// temporary file beside its target and is renamed over the target only
// when complete, and targets that are not plain files are refused.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace korvel::cli {

// A file a command reads and so must not overwrite.
struct ProtectedFile {
  std::string path;
  const char* role;  // "the module", "the input"
};

// Decides where `output` may be written. Answers the path to write (a
// symbolic link's final target, so the link stays) or an empty string with
// `error` set: the output is a directory, is not a regular file, is one of
// `inputs` (the same file, under whatever name), or its folder is missing.
std::string WritablePath(const std::string& output, const std::vector<ProtectedFile>& inputs, std::string& error);

// Whether `a` and `b` name the same existing file.
bool SameFile(const std::string& a, const std::string& b);

class SafeOutput {
 public:
  // Creates the temporary file beside `target` (a path from WritablePath).
  static std::unique_ptr<SafeOutput> Create(const std::string& target, std::string& error);
  // Removes the temporary file unless committed.
  ~SafeOutput();
  SafeOutput(const SafeOutput&) = delete;
  SafeOutput& operator=(const SafeOutput&) = delete;

  // Open for writing; whoever writes it may close it (Commit does not).
  int fd() const { return fd_; }
  // Gives the file the target's permissions and renames it over the target.
  bool Commit(std::string& error);

 private:
  SafeOutput() = default;
  std::string target_, temporary_;
  int fd_ = -1;
  bool committed_ = false;
};

}  // namespace korvel::cli

// A fresh folder for each test, named after it and removed afterwards, and
// command lines run inside it.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace korvel::testing {

inline std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

struct Outcome {
  int status;
  std::string out, err;
};

class ScratchDir {
 public:
  // <temp>/korvel-PREFIX-TESTNAME-PID, empty. The process id keeps two
  // runs of the same test (two checkouts tested at once) out of each
  // other's folder.
  explicit ScratchDir(const std::string& prefix)
      : dir_(std::filesystem::temp_directory_path() /
             ("korvel-" + prefix + "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + "-" +
              std::to_string(::getpid()))) {
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  ~ScratchDir() { std::filesystem::remove_all(dir_); }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& dir() const { return dir_; }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  std::string Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(Path(name), std::ios::binary) << bytes;
    return Path(name);
  }
  std::string Read(const std::string& name) const { return ReadBytes(Path(name)); }

  // Runs a shell command line in the folder: standard output is captured,
  // standard error kept in the folder's "stderr.txt".
  Outcome Run(const std::string& line) const {
    const std::string err = Path("stderr.txt");
    Outcome run{};
    FILE* pipe = popen(("cd " + dir_.string() + " && " + line + " 2>" + err).c_str(), "r");
    char buffer[65536];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.out.append(buffer, got);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.err = ReadBytes(err);
    return run;
  }

 private:
  std::filesystem::path dir_;
};

}  // namespace korvel::testing

// Load Module and Save Module as: the files they write and read, and what
// the user is told when a file lets them down.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "engine/module_file.h"
#include "tests/host/images.h"
#include "tests/host/module_fixture.h"

namespace korvel {
namespace {

namespace fs = std::filesystem;

class ModuleFileTest : public testing::ModuleTest {
 protected:
  ModuleFileTest() {
    // Unique across test processes running side by side.
    folder /= "korvel-file-test-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    fs::create_directories(folder);
    Load(testing::kRichImage);
  }
  ~ModuleFileTest() override { fs::remove_all(folder); }

  std::string PathOf(const char* name, const std::string& contents = "") const {
    const std::string path = (folder / name).string();
    if (!contents.empty()) std::ofstream(path, std::ios::binary) << contents;
    return path;
  }
  static std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  bool LoadCommand(const std::string& path, int answer = kIdYes) {
    ui.messages.clear();
    ui.answers.push_back(answer);
    ui.files = {path};
    return LoadModuleCommand(engine);
  }

  fs::path folder = fs::temp_directory_path();
};

TEST_F(ModuleFileTest, SaveAsWritesAFileThatLoadsBack) {
  const std::string path = PathOf("Echo.korvel");
  ui.files.push_back(path);
  EXPECT_TRUE(SaveModuleAsCommand(engine));
  EXPECT_EQ(Contents(path), Image());
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1) << "no temporary file left";
  EXPECT_FALSE(SaveModuleAsCommand(engine)) << "Cancel";
  const std::string saved = Image();
  Load(testing::kPassThroughImage);
  std::string error;
  ASSERT_TRUE(LoadModuleFile(engine, path, error)) << error;
  EXPECT_EQ(Image(), saved);
}

TEST_F(ModuleFileTest, AFailedSaveKeepsTheOldFileAndNamesIt) {
  const std::string path = PathOf("keep.korvel", "old contents");
  // Planted where a fixed temporary name would be: never followed or used.
  fs::create_directory(path + ".saving");
  const std::string nowhere = (folder / "missing" / "x.korvel").string();
  const std::string directory = (folder / "folder.korvel").string();
  fs::create_directory(directory);
  const auto refused = [&](const std::string& target, const std::string& reason) {
    ui.messages.clear();
    ui.files.push_back(target);
    EXPECT_FALSE(SaveModuleAsCommand(engine));
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text, "Couldn't save \"" + target + "\": " + reason);
  };
  refused(nowhere, "there is no folder '" + (folder / "missing").string() + "'");
  refused(directory, "it is a directory");
#ifndef _WIN32
  // A full disk, as a file size limit makes one: the old file stays.
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  rlimit tiny = old;
  tiny.rlim_cur = 16;
  setrlimit(RLIMIT_FSIZE, &tiny);
  refused(path, "File too large");
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, SIG_DFL);
#endif
  EXPECT_EQ(Contents(path), "old contents");
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 3) << "no temporary file left";
  ui.files.push_back(path);
  EXPECT_TRUE(SaveModuleAsCommand(engine));
  EXPECT_TRUE(fs::is_directory(path + ".saving"));
}

TEST_F(ModuleFileTest, LoadAsksFirstAndNamesAFileItCannotLoad) {
  const std::string before = Image();
  const std::string good = PathOf("good.korvel", testing::kPassThroughImage);
  EXPECT_FALSE(LoadCommand(good, kIdNo));
  EXPECT_TRUE(ui.file_requests.empty()) << "no file dialog after No";
  for (const std::string& path : {PathOf("bad.korvel", "{}"), PathOf("missing.korvel")}) {
    EXPECT_FALSE(LoadCommand(path));
    ASSERT_EQ(ui.messages.size(), 2u) << path;
    EXPECT_EQ(ui.messages[1].text.rfind("Couldn't load \"" + path + "\": ", 0), 0u) << ui.messages[1].text;
  }
  // A 0-byte file is no module: refused, named, and the module kept.
  const std::string empty = PathOf("empty.korvel");
  std::ofstream(empty).close();
  EXPECT_FALSE(LoadCommand(empty));
  ASSERT_EQ(ui.messages.size(), 2u);
  EXPECT_EQ(ui.messages[1].text, "Couldn't load \"" + empty + "\": the file is empty");
  EXPECT_EQ(Image(), before);
  EXPECT_TRUE(LoadCommand(good));
  EXPECT_FALSE(engine.IsOccupied(5));
}

}  // namespace
}  // namespace korvel

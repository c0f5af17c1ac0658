// Load Module and Save Module as: the questions they ask, the files they
// write, and what the user is told when a file lets them down.
#include <gtest/gtest.h>

#include <chrono>
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
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    folder = fs::temp_directory_path() / ("korvel-file-test-" + std::to_string(now) + "-" +
                                          std::to_string(reinterpret_cast<std::uintptr_t>(this)));
    fs::remove_all(folder);
    fs::create_directories(folder);
  }
  ~ModuleFileTest() override { fs::remove_all(folder); }

  std::string PathOf(const char* name) const { return (folder / name).string(); }
  static std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static void Write(const std::string& path, const std::string& contents) {
    std::ofstream(path, std::ios::binary) << contents;
  }

  fs::path folder;
};

TEST_F(ModuleFileTest, SaveAsWritesAFileThatLoadsBackElsewhere) {
  Load(testing::kRichImage);
  const std::string path = PathOf("Echo.korvel");
  ui.files.push_back(path);
  EXPECT_TRUE(SaveModuleAsCommand(engine));
  ASSERT_EQ(ui.file_requests.size(), 1u);
  const FileDialogRequest& r = ui.file_requests[0];
  EXPECT_TRUE(r.save);
  EXPECT_EQ(r.owner, nullptr);
  EXPECT_STREQ(r.filter_name, "Korvel Module (*.korvel)");
  EXPECT_STREQ(r.filter_pattern, "*.korvel");
  EXPECT_STREQ(r.title, "Save Korvel Module as");
  EXPECT_STREQ(r.initial_name, "Untitled.korvel");
  EXPECT_STREQ(r.default_extension, "korvel");
  EXPECT_EQ(Contents(path), Image());
  EXPECT_TRUE(ui.messages.empty());
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1)
      << "no temporary file is left behind";
  EXPECT_GE(ui.repaints, 1);
  EXPECT_FALSE(SaveModuleAsCommand(engine)) << "Cancel";

  auto other = std::make_unique<PluginModule>();
  pluginhost::RecordingHost other_host;
  other->Init(&other_host);
  std::string error;
  ASSERT_TRUE(LoadModuleFile(other->engine(), path, error)) << error;
  EXPECT_EQ(WriteModuleImage(other->engine()), Image());
}

TEST_F(ModuleFileTest, AFailedSaveKeepsTheOldFileAndSaysWhy) {
  const std::string path = PathOf("keep.korvel");
  Write(path, "old contents");
  // The temporary file's place is taken, so the save cannot start.
  fs::create_directory(path + ".saving");
  ui.files.push_back(path);
  EXPECT_FALSE(SaveModuleAsCommand(engine));
  EXPECT_EQ(Contents(path), "old contents");
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0].title, "Save Module as");
  EXPECT_EQ(ui.messages[0].text.rfind("Couldn't save \"" + path + "\": ", 0), 0u) << ui.messages[0].text;
  EXPECT_GT(ui.messages[0].text.size(), path.size() + 18) << "a reason follows";

  const std::string nowhere = (folder / "missing" / "x.korvel").string();
  ui.files.push_back(nowhere);
  EXPECT_FALSE(SaveModuleAsCommand(engine));
  ASSERT_EQ(ui.messages.size(), 2u);
  EXPECT_NE(ui.messages[1].text.find(nowhere), std::string::npos);
}

TEST_F(ModuleFileTest, LoadAsksFirstAndAnythingButYesStops) {
  Load(testing::kRichImage);
  const std::string before = Image();
  const std::string path = PathOf("other.korvel");
  Write(path, testing::kPassThroughImage);
  ui.answers.push_back(kIdNo);
  ui.files.push_back(path);
  EXPECT_FALSE(LoadModuleCommand(engine));
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0].text, "Are you sure? This will clear the current module.");
  EXPECT_EQ(ui.messages[0].title, "Load Module");
  EXPECT_EQ(ui.messages[0].style, kMbYesNo | kMbIconExclamation | kMbSystemModal);
  EXPECT_TRUE(ui.file_requests.empty()) << "no file dialog after No";
  EXPECT_EQ(Image(), before);

  ui.answers.push_back(kIdYes);
  ui.files.clear();
  ui.files.push_back("");  // Cancel
  EXPECT_FALSE(LoadModuleCommand(engine));
  ASSERT_EQ(ui.file_requests.size(), 1u);
  const FileDialogRequest& r = ui.file_requests[0];
  EXPECT_FALSE(r.save);
  EXPECT_STREQ(r.title, "Load Korvel Module");
  EXPECT_STREQ(r.filter_name, "Korvel Module (*.korvel)");
  EXPECT_STREQ(r.filter_pattern, "*.korvel");
  EXPECT_STREQ(r.initial_name, "");
  EXPECT_STREQ(r.default_extension, "korvel");
  EXPECT_EQ(Image(), before);

  ui.answers.push_back(kIdYes);
  ui.files.push_back(path);
  EXPECT_TRUE(LoadModuleCommand(engine));
  EXPECT_EQ(engine.in_slot, 0);
  EXPECT_FALSE(engine.IsOccupied(5));
}

TEST_F(ModuleFileTest, FilesThatCannotBeLoadedAreNamedWithTheReason) {
  Load(testing::kRichImage);
  const std::string before = Image();
  const std::string bad = PathOf("bad.korvel");
  Write(bad, R"({"format": "korvel-module", "version": 1, "components": [{"slot": 1, "type": 6}]})");
  const std::string empty = PathOf("empty.korvel");
  Write(empty, "");
  const std::string missing = PathOf("missing.korvel");

  for (const std::string& path : {bad, missing}) {
    ui.messages.clear();
    ui.answers.push_back(kIdYes);
    ui.files.push_back(path);
    EXPECT_FALSE(LoadModuleCommand(engine));
    ASSERT_EQ(ui.messages.size(), 2u) << path;
    EXPECT_EQ(ui.messages[1].title, "Load Module");
    EXPECT_EQ(ui.messages[1].text.rfind("Couldn't load \"" + path + "\": ", 0), 0u) << ui.messages[1].text;
    EXPECT_EQ(Image(), before);
  }
  EXPECT_NE(ui.messages[1].text.find(": "), std::string::npos);

  ui.messages.clear();
  ui.answers.push_back(kIdYes);
  ui.files.push_back(empty);
  EXPECT_TRUE(LoadModuleCommand(engine)) << "an empty file is an empty image";
  EXPECT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(Image(), before);
}

}  // namespace
}  // namespace korvel

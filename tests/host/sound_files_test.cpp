// Sound files as modules name them: read in every WAV encoding, loaded once
// per file and never on the audio thread, found beside the module file
// wherever the two move, and a file that lets a Sampler down leaving that
// Sampler silent, saying why, with the rest of the module as loaded.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "components/sampler.h"
#include "engine/file_io.h"
#include "engine/module_file.h"
#include "engine/sound_store.h"
#include "tests/host/images.h"
#include "tests/host/module_fixture.h"
#include "tests/support/alloc_counter.h"

namespace korvel {
namespace {

namespace fs = std::filesystem;

std::string Le(std::uint64_t value, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i) & 0xFF);
  return out;
}

// A WAV file: format `tag` (1 PCM, 3 float; `extensible` wraps it in
// WAVE_FORMAT_EXTENSIBLE), the audio bytes, and the data size its header
// announces (the real one unless given).
std::string Wav(int tag, int channels, int bits, const std::string& audio, bool extensible = false,
                long long announced = -1) {
  const int block = channels * bits / 8;
  std::string format = Le(extensible ? 0xFFFE : tag, 2) + Le(channels, 2) + Le(44100, 4) + Le(44100 * block, 4) +
                       Le(block, 2) + Le(bits, 2);
  if (extensible)
    format += Le(22, 2) + Le(bits, 2) + Le(channels == 2 ? 3 : 4, 4) + Le(tag, 2) +
              std::string("\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 14);
  const std::string chunks = "fmt " + Le(format.size(), 4) + format + "LIST" + Le(3, 4) + "abc" + std::string(1, '\0') +
                             "data" + Le(announced >= 0 ? announced : audio.size(), 4) + audio;
  return "RIFF" + Le(4 + chunks.size(), 4) + "WAVE" + chunks;
}

constexpr char kModule[] = R"({"format": "korvel-module", "version": 1, "components": [
  {"slot": 0, "type": 0}, {"slot": 1, "type": 1}, {"slot": 2, "type": 50, "label": "kick", "file": "FILE"},
  {"slot": 3, "type": 80, "value": 1.0}],
  "connections": [{"from": [0, 0], "to": [1, 0]}, {"from": [3, 0], "to": [2, 0]}]})";

// The platform's words for a file that is not there, as the input reader
// gives them ("No such file or directory", "File not found", ...).
std::string MissingReason(const std::string& path) {
  std::string reason;
  InputFile::Open(path, false, reason);
  return reason;
}

class SoundFileTest : public testing::ModuleTest {
 protected:
  SoundFileTest() {
    folder /= "korvel-sound-test-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    fs::create_directories(folder / "sounds");
  }
  ~SoundFileTest() override { fs::remove_all(folder); }

  // The path in the engine's form (native separators), as its messages
  // and settings give it back.
  std::string Write(const std::string& name, const std::string& bytes) const {
    const std::string path = (folder / name).lexically_normal().string();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  static std::string ModuleNaming(const std::string& file) {
    std::string image = kModule;
    image.replace(image.find("FILE"), 4, nlohmann::json(file).dump().substr(1, nlohmann::json(file).dump().size() - 2));
    return image;
  }
  const SamplerRecord& Sampler(int slot = 2) const { return *static_cast<const SamplerRecord*>(engine.Record(slot)); }
  // One block of ramp input through the module: the output.
  std::vector<float> Block() {
    std::vector<float> samples(2 * 64);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<float>(i);
    void* buffers[1] = {samples.data()};
    AudioBlockRecord block{buffers, 64};
    AudioPort(module.get(), &block);
    return samples;
  }
  // Frees what edits retired (a plan swap collects them).
  void Collect() {
    const int slot = engine.CreateComponent(80);
    engine.DeleteComponent(slot);
  }

  fs::path folder = fs::temp_directory_path();
};

TEST_F(SoundFileTest, EveryWavEncodingReadsToTheSameValues) {
  // Full scale, half scale, minus half scale, the most negative value.
  const struct {
    int tag, bits;
    std::string audio;
  } encodings[] = {
      {1, 8, std::string("\xFF\xC0\x40\x00", 4)},
      {1, 16, Le(0x7FFF, 2) + Le(0x4000, 2) + Le(0xC000, 2) + Le(0x8000, 2)},
      {1, 24, Le(0x7FFFFF, 3) + Le(0x400000, 3) + Le(0xC00000, 3) + Le(0x800000, 3)},
      {1, 32, Le(0x7FFFFFFF, 4) + Le(0x40000000, 4) + Le(0xC0000000, 4) + Le(0x80000000, 4)},
      {3, 32, Le(0x3F800000, 4) + Le(0x3F000000, 4) + Le(0xBF000000, 4) + Le(0xBF800000, 4)},
      {3, 64, Le(0x3FF0000000000000, 8) + Le(0x3FE0000000000000, 8) + Le(0xBFE0000000000000, 8) +
                  Le(0xBFF0000000000000, 8)},
  };
  for (bool extensible : {false, true}) {
    for (const auto& e : encodings) {
      SCOPED_TRACE(std::to_string(e.bits) + (e.tag == 3 ? " float" : " PCM") + (extensible ? " extensible" : ""));
      const std::string path = Write("e.wav", Wav(e.tag, 2, e.bits, e.audio, extensible));
      std::string reason;
      const SoundRef sound = LoadSound(path, reason);
      ASSERT_NE(sound, nullptr) << reason;
      EXPECT_EQ(sound->frames, 2);
      EXPECT_EQ(sound->channels, 2);
      EXPECT_EQ(sound->rate, 44100.0);
      const float top = e.tag == 3 ? 1.0f : 1.0f - std::ldexp(1.0f, 1 - e.bits);
      EXPECT_EQ(sound->samples, (std::vector<float>{e.bits == 32 && e.tag == 1 ? 1.0f : top, 0.5f, -0.5f, -1.0f}));
    }
  }
}

TEST_F(SoundFileTest, ABadFileSilencesItsSamplerAndSaysWhy) {
  fs::create_directories(folder / "a-folder.wav");
  const std::string three_channels = Wav(1, 3, 16, std::string(6 * 10, '\1'));
  // A header announcing one frame more than a Sampler holds, over a file
  // as long as it says (sparse, so it costs no disk): refused unread.
  const std::string oversized = Write("long.wav", Wav(1, 1, 8, "", false, kMaxSoundFrames + 1LL));
  fs::resize_file(oversized, fs::file_size(oversized) + kMaxSoundFrames + 1LL);
  const struct {
    std::string path, reason;
  } cases[] = {
      {(folder / "missing.wav").string(), MissingReason((folder / "missing.wav").string())},
      {Write("text.wav", "These are not the sounds you are looking for.\n"), "not a sound file"},
      {Write("cut.wav", Wav(1, 1, 16, std::string(2 * 100, '\1'), false, 2 * 1000)),
       "the file is cut short: its header announces 1000 frames, it holds 100"},
      {oversized, "too long: 134217729 frames, at most 134217728"},
      {(folder / "a-folder.wav").string(), "it is a directory"},
      {Write("three.wav", three_channels), "3 channels; only mono and stereo files are played"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    Load(ModuleNaming(c.path));
    const auto problems = engine.SoundProblems();
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].rfind("Sampler \"kick\" (slot 2): couldn't load \"" + c.path + "\": " + c.reason, 0), 0u)
        << problems[0];
    EXPECT_EQ(problems[0].substr(problems[0].size() - 17), "; it stays silent");
    // The rest of the module plays, the Sampler is silent, and the path
    // is kept for the next save.
    std::vector<float> ramp(2 * 64);
    for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<float>(i);
    EXPECT_EQ(Block(), ramp);
    EXPECT_EQ(Sampler().sound, nullptr);
    EXPECT_EQ(engine.Settings(2)["file"], c.path);
    EXPECT_NE(Image().find(nlohmann::json(c.path).dump()), std::string::npos);
  }
  Load(testing::kPassThroughImage);
  EXPECT_TRUE(engine.SoundProblems().empty()) << "a new module starts afresh";
}

TEST_F(SoundFileTest, SamplersNamingOneFileShareOneCopyThatGoesWithThem) {
  const std::size_t before = LoadedSoundCount();
  const std::string path = Write("sounds/hit.wav", Wav(1, 1, 16, std::string(2 * 4410, '\7')));
  const std::string file = nlohmann::json(path).dump();
  Load(R"({"format": "korvel-module", "version": 1, "components": [
    {"slot": 0, "type": 50, "file": )" + file + R"(}, {"slot": 1, "type": 50, "file": )" + file + R"(}]})");
  ASSERT_NE(engine.Record(1), nullptr);
  EXPECT_EQ(LoadedSoundCount(), before + 1);
  EXPECT_EQ(LoadedSoundBytes() >= 4410 * sizeof(float), true);
  EXPECT_NE(Sampler(0).sound, nullptr);
  EXPECT_EQ(Sampler(0).sound, Sampler(1).sound);
  // A settings change keeps the copy (the file is unchanged)...
  std::string error;
  ASSERT_TRUE(engine.SetSettings(1, {{"root", 440.0}}, error)) << error;
  EXPECT_EQ(Sampler(1).sound, Sampler(0).sound);
  // ...and the copy goes once no record holds it any more.
  engine.ClearModule();
  Collect();
  EXPECT_EQ(LoadedSoundCount(), before);
}

TEST_F(SoundFileTest, PathsTravelWithTheModuleFile) {
  const std::string sound = Wav(1, 1, 16, std::string(2 * 100, '\3'));
  Write("sounds/a.wav", sound);
  std::ofstream((folder / "m.korvel").string()) << ModuleNaming("sounds/a.wav");
  std::string error;
  ASSERT_TRUE(LoadModuleFile(engine, (folder / "m.korvel").string(), error)) << error;
  EXPECT_TRUE(engine.SoundProblems().empty());
  EXPECT_EQ(engine.Settings(2)["file"], (folder / "sounds" / "a.wav").string());
  ASSERT_TRUE(SaveModuleFile(engine, (folder / "saved.korvel").string(), error)) << error;
  std::ifstream saved((folder / "saved.korvel").string());
  EXPECT_EQ(nlohmann::json::parse(saved)["components"][2]["file"], "sounds/a.wav");
  // A host's chunk has no folder to be relative to.
  EXPECT_NE(Image().find(nlohmann::json((folder / "sounds" / "a.wav").string()).dump()), std::string::npos);

  // Module and sounds moved together: found in their new place.
  const fs::path moved = folder.string() + "-moved";
  fs::rename(folder, moved);
  ASSERT_TRUE(LoadModuleFile(engine, (moved / "saved.korvel").string(), error)) << error;
  EXPECT_TRUE(engine.SoundProblems().empty());
  EXPECT_NE(Sampler().sound, nullptr);
  // A module saved away from its sound names it absolutely.
  fs::create_directories(moved / "elsewhere");
  ASSERT_TRUE(SaveModuleFile(engine, (moved / "elsewhere" / "x.korvel").string(), error)) << error;
  std::ifstream elsewhere((moved / "elsewhere" / "x.korvel").string());
  EXPECT_EQ(nlohmann::json::parse(elsewhere)["components"][2]["file"], (moved / "sounds" / "a.wav").string());
  fs::rename(moved, folder);
}

TEST_F(SoundFileTest, SettingsChangesLoadTheirFileAndKeepTheProblemsCurrent) {
  Load(ModuleNaming(""));
  EXPECT_TRUE(engine.SoundProblems().empty()) << "no file named is no problem";
  std::string error;
  ASSERT_TRUE(engine.SetSettings(2, {{"file", (folder / "none.wav").string()}}, error)) << error;
  ASSERT_EQ(engine.SoundProblems().size(), 1u);
  EXPECT_EQ(Sampler().sound, nullptr);
  const std::string path = Write("sounds/b.wav", Wav(1, 1, 16, std::string(2 * 100, '\3')));
  // Relative to the module's folder.
  engine.SetModuleFolder(folder.string());
  ASSERT_TRUE(engine.SetSettings(2, {{"file", "sounds/b.wav"}, {"loop", "forward"}}, error)) << error;
  EXPECT_TRUE(engine.SoundProblems().empty());
  EXPECT_EQ(engine.Settings(2)["file"], path);
  EXPECT_NE(Sampler().sound, nullptr);
  EXPECT_FALSE(engine.SetSettings(2, {{"mode", "legato"}}, error));
  EXPECT_NE(Sampler().sound, nullptr) << "a refused change leaves the Sampler as it was";
  ASSERT_TRUE(engine.SetSettings(2, {{"file", (folder / "none.wav").string()}}, error));
  EXPECT_EQ(engine.SoundProblems().size(), 1u);
  engine.DeleteComponent(2);
  EXPECT_TRUE(engine.SoundProblems().empty());
}

// Sounds change while the audio runs: every block is whole (one sound or
// the other, never a freed one), and the audio thread never allocates.
TEST_F(SoundFileTest, ConcurrentSoundChangesAndAudio) {
  const std::string a = Write("sounds/a.wav", Wav(1, 1, 16, Le(0x4000, 2) + std::string(2 * 9999, '\0')));
  const std::string b = Write("sounds/b.wav", Wav(1, 2, 16, std::string(4 * 5000, '\x10')));
  Load(ModuleNaming(a));
  std::string error;
  ASSERT_TRUE(engine.SetSettings(2, {{"loop", "forward"}}, error)) << error;
  ASSERT_TRUE(engine.Connect(2, 0, 1, 0));
  std::atomic<bool> done{false};
  std::atomic<long> blocks{0};
  std::atomic<std::size_t> allocations{0};
  std::thread audio([&] {
    std::vector<float> samples(2 * 128);
    void* buffers[1] = {samples.data()};
    while (!done) {
      AudioBlockRecord block{buffers, 128};
      testing::AllocationCounter counter;
      AudioPort(module.get(), &block);
      allocations += counter.count();
      ++blocks;
    }
  });
  while (blocks == 0) std::this_thread::yield();
  for (int i = 0; i < 300; ++i) {
    ASSERT_TRUE(engine.SetSettings(2, {{"file", i % 2 ? a : b}, {"root", 200.0 + i}}, error)) << error;
    if (i % 50 == 0) Load(ModuleNaming(i % 100 ? a : b));
    if (i % 50 == 0) engine.Connect(2, 0, 1, 0);
  }
  done = true;
  audio.join();
  EXPECT_EQ(allocations, 0u);
  EXPECT_TRUE(engine.SoundProblems().empty());
}

}  // namespace
}  // namespace korvel

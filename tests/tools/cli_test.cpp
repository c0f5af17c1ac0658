// korvel, run as a user runs it: exit codes, messages, and the audio it
// writes, checked against the engine driven directly.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sys/wait.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine/module_image.h"
#include "engine/patch_engine.h"

namespace korvel {
namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status;
  std::string out, err;
};

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("korvel-cli-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  Outcome Korvel(const std::string& args) const {
    const std::string err = Path("stderr.txt");
    const std::string command = std::string(KORVEL_CLI) + " " + args + " 2>" + err;
    Outcome run{};
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.out.append(buffer, got);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream in(err);
    std::stringstream text;
    text << in.rdbuf();
    run.err = text.str();
    return run;
  }

  static std::string Example(const std::string& name) { return std::string(KORVEL_EXAMPLES) + "/" + name; }

  // A stereo float file of a few seconds of varied, float-exact values.
  std::vector<float> WriteInput(const std::string& path, int frames) const {
    std::vector<float> samples(2 * frames);
    std::uint32_t state = 12345;
    for (float& s : samples) {
      state = state * 1664525u + 1013904223u;
      s = static_cast<float>(static_cast<std::int32_t>(state) >> 8) / 8388608.0f * 0.7f;
    }
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    sf_writef_float(file, samples.data(), frames);
    sf_close(file);
    return samples;
  }

  static std::vector<double> ReadOutput(const std::string& path, int* rate = nullptr) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) return {};
    std::vector<double> samples(info.frames * info.channels);
    sf_readf_double(file, samples.data(), info.frames);
    sf_close(file);
    if (rate != nullptr) *rate = info.samplerate;
    return samples;
  }

  fs::path dir_;
};

TEST_F(CliTest, PassthroughRendersBitExactly) {
  const auto input = WriteInput(Path("in.wav"), 10000);
  const Outcome run = Korvel("render " + Example("passthrough.korvel") + " -i " + Path("in.wav") + " -o " +
                         Path("out.wav") + " --format f64");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("10000 frames"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("peak"), std::string::npos);
  const auto output = ReadOutput(Path("out.wav"));
  ASSERT_EQ(output.size(), input.size());
  for (std::size_t i = 0; i < input.size(); ++i) ASSERT_EQ(output[i], static_cast<double>(input[i])) << i;
}

// The same module loaded into an engine in this process, fed the same
// blocks with the host's float conversion on both sides.
std::vector<double> RenderDirectly(const std::string& module_path, const std::vector<float>& input, int block) {
  std::ifstream in(module_path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  const std::string image = bytes.str();
  auto engine = std::make_unique<PatchEngine>();
  engine->ResetEngine();
  std::string error;
  EXPECT_TRUE(ReadModuleImage(*engine, image.data(), image.size(), error)) << error;
  std::vector<double> out(input.size());
  const std::size_t frames = input.size() / 2;
  for (std::size_t done = 0; done < frames; done += block) {
    const std::size_t n = std::min<std::size_t>(block, frames - done);
    for (std::size_t i = 0; i < 2 * n; ++i)
      engine->input_buffer[i] = static_cast<float>(input[2 * done + i] * 32768.0);
    const double* result = engine->ProcessBlock(static_cast<std::uint32_t>(n));
    for (std::size_t i = 0; i < 2 * n; ++i)
      out[2 * done + i] = result ? static_cast<float>(result[i]) / 32768.0 : 0.0;
  }
  return out;
}

TEST_F(CliTest, LowpassMatchesTheEngineDrivenDirectlyAtEveryBlockSize) {
  const auto input = WriteInput(Path("in.wav"), 12000);
  const auto expected = RenderDirectly(Example("lowpass.korvel"), input, 256);
  for (int block : {1, 64, 256, 5000}) {
    const std::string out = Path("out" + std::to_string(block) + ".wav");
    const Outcome run = Korvel("render " + Example("lowpass.korvel") + " -i " + Path("in.wav") + " -o " + out +
                           " --format f64 --block " + std::to_string(block));
    ASSERT_EQ(run.status, 0) << run.err;
    const auto output = ReadOutput(out);
    ASSERT_EQ(output.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(output[i], expected[i]) << "block " << block << " at " << i;
  }
}

TEST_F(CliTest, BuiltInSignalAndSecondsPadOrCut) {
  Outcome run = Korvel("render " + Example("echo.korvel") + " -o " + Path("echo.wav") + " --seconds 5.5");
  ASSERT_EQ(run.status, 0) << run.err;
  int rate = 0;
  const auto echo = ReadOutput(Path("echo.wav"), &rate);
  EXPECT_EQ(rate, 44100);
  ASSERT_EQ(echo.size(), 2u * 242550);
  // The built-in signal ends at 4 s; the echo's repeats go on after it.
  double tail = 0;
  for (std::size_t i = 2 * 4 * 44100 + 2 * 11025; i < echo.size(); ++i) tail = std::max(tail, std::fabs(echo[i]));
  EXPECT_GT(tail, 1e-4);
  run = Korvel("render " + Example("passthrough.korvel") + " -o " + Path("cut.wav") + " --seconds 0.5 --format pcm16");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadOutput(Path("cut.wav")).size(), 2u * 22050);
}

TEST_F(CliTest, BadModuleFailsWithTheReaderMessageAndWritesNothing) {
  std::ofstream(Path("bad.korvel")) << R"({"format": "korvel-module", "version": 1, "components": [{"slot": 300, "type": 0}]})";
  const Outcome run = Korvel("render " + Path("bad.korvel") + " -o " + Path("out.wav"));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err.rfind("korvel: ", 0), 0u) << run.err;
  EXPECT_NE(run.err.find("bad.korvel"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("300"), std::string::npos) << run.err;
  EXPECT_FALSE(fs::exists(Path("out.wav")));
}

TEST_F(CliTest, UsageErrorsExitTwoAndMissingFilesExitOne) {
  for (const char* args : {"", "frobnicate", "render", "render x.korvel", "render x.korvel -o y.wav --block 0",
                           "render x.korvel -o y.wav --format mp3", "types 1 2", "script"}) {
    const Outcome run = Korvel(args);
    EXPECT_EQ(run.status, 2) << args;
    EXPECT_NE(run.err.find("usage: korvel"), std::string::npos) << args;
  }
  const Outcome missing = Korvel("render " + Example("passthrough.korvel") + " -i " + Path("nowhere.wav") + " -o " + Path("o.wav"));
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("nowhere.wav"), std::string::npos) << missing.err;
  EXPECT_FALSE(fs::exists(Path("o.wav")));
  EXPECT_EQ(Korvel("info " + Path("nowhere.korvel")).status, 1);
  EXPECT_EQ(Korvel("render --help").status, 0);
}

TEST_F(CliTest, InfoTypesAndNew) {
  ASSERT_EQ(Korvel("new " + Path("start.korvel")).status, 0);
  Outcome run = Korvel("info " + Path("start.korvel"));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("Untitled Korvel"), std::string::npos);
  EXPECT_NE(run.out.find("0 In"), std::string::npos) << run.out;
  run = Korvel("info --json " + Example("lowpass.korvel"));
  ASSERT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("\"value\": 800"), std::string::npos) << run.out;
  run = Korvel("types");
  EXPECT_NE(run.out.find("LP filter"), std::string::npos);
  EXPECT_NE(run.out.find("  86  BPB"), std::string::npos) << run.out;
  run = Korvel("types 24");
  EXPECT_EQ(run.out.rfind("DISTORT CLIP\n", 0), 0u) << run.out;
  EXPECT_EQ(Korvel("types 4").status, 1);
}

TEST_F(CliTest, ScriptRunsAFunctionAndTracesIt) {
  std::ofstream(Path("count.txt")) << ":main\r\nvar n\r\ndo ( n < 3 ) whiletrue ( n + 1 ) >> n loop\r\n:\r\n";
  Outcome run = Korvel("script " + Path("count.txt"));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_FALSE(run.out.empty());
  std::ofstream(Path("broken.txt")) << ":main\r\nif 1 then\r\n:\r\n";
  run = Korvel("script " + Path("broken.txt"));
  EXPECT_EQ(run.status, 1);
  EXPECT_FALSE(run.err.empty());
  run = Korvel("script " + Path("count.txt") + " nothere");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("no function 'nothere'"), std::string::npos) << run.err;
  // A stop without a message of its own says why; messages without a line
  // feed of their own still end their line.
  std::ofstream(Path("stops.txt")) << "\xEF\xBB\xBF:main\r\n5 >> nosuch\r\n+\r\n:\r\n";
  run = Korvel("script " + Path("stops.txt"));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err,
            "Error: variable 'nosuch' could not be found.\nkorvel: run stopped: operator '+' outside a group\n");
}

}  // namespace
}  // namespace korvel

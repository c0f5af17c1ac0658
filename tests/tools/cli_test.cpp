// korvel, run as a user runs it: exit codes, messages, the files it leaves
// and the audio it writes, read back with libsndfile.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine/module_image.h"
#include "engine/patch_engine.h"
#include "tests/support/scratch_dir.h"

namespace korvel {
namespace {

namespace fs = std::filesystem;

using testing::Outcome;
using testing::ReadBytes;

struct Audio {
  int rate = 0, channels = 0, format = 0;
  std::vector<double> samples;
  std::size_t frames() const { return channels ? samples.size() / channels : 0; }
};

class CliTest : public ::testing::Test {
 protected:
  testing::ScratchDir scratch{"cli"};
  std::string Path(const std::string& name) const { return scratch.Path(name); }
  // Runs a shell command line in the test's folder.
  Outcome Shell(const std::string& line) const { return scratch.Run(line); }
  Outcome Korvel(const std::string& args) const { return Shell(std::string(KORVEL_CLI) + " " + args); }

  static std::string Example(const std::string& name) { return std::string(KORVEL_EXAMPLES) + "/" + name; }

  static void WriteAudio(const std::string& path, const std::vector<float>& samples, int channels, int rate = 44100) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    sf_writef_float(file, samples.data(), static_cast<sf_count_t>(samples.size() / channels));
    sf_close(file);
  }

  // A stereo float file of varied, float-exact values below full scale.
  std::vector<float> WriteInput(const std::string& path, int frames) const {
    std::vector<float> samples(2 * frames);
    std::uint32_t state = 12345;
    for (float& s : samples) {
      state = state * 1664525u + 1013904223u;
      s = static_cast<float>(static_cast<std::int32_t>(state) >> 8) / 8388608.0f * 0.7f;
    }
    WriteAudio(path, samples, 2);
    return samples;
  }

  static Audio ReadAudio(const std::string& path) {
    Audio audio;
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) return audio;
    audio.rate = info.samplerate;
    audio.channels = info.channels;
    audio.format = info.format;
    std::vector<double> block(4096 * info.channels);
    for (sf_count_t got; (got = sf_readf_double(file, block.data(), 4096)) > 0;)
      audio.samples.insert(audio.samples.end(), block.begin(), block.begin() + got * info.channels);
    sf_close(file);
    return audio;
  }

  void WriteModule(const std::string& name, const std::string& components, const std::string& connections,
                   const std::string& rest = "") const {
    std::ofstream(Path(name)) << R"({"format": "korvel-module", "version": 1, "components": [)" << components
                              << R"(], "connections": [)" << connections << "]" << rest << "}";
  }

  // Every file in the test's folder with its bytes.
  std::map<std::string, std::string> Snapshot() const {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(scratch.dir())) {
      const std::string name = entry.path().filename().string();
      if (name == "stderr.txt") continue;
      files[name] = entry.is_symlink()          ? "link to " + fs::read_symlink(entry.path()).string()
                    : entry.is_regular_file() ? ReadBytes(entry.path().string())
                                              : "special";
    }
    return files;
  }
};

// ---------------------------------------------------------------- file safety

// A WAV header announcing 0xffffffff bytes of 16-bit stereo, as streams do.
std::string LyingWavHeader() {
  std::string h = "RIFF\xff\xff\xff\xffWAVEfmt ";
  const unsigned char fmt[] = {16, 0, 0, 0, 1, 0, 2, 0, 0x44, 0xAC, 0, 0, 0x10, 0xB1, 2, 0, 4, 0, 16, 0};
  h.append(reinterpret_cast<const char*>(fmt), sizeof fmt);
  return h + "data\xff\xff\xff\xff";
}


TEST_F(CliTest, RefusalsLeaveEveryFileByteIdentical) {
  std::ofstream(Path("m.korvel")) << ReadBytes(Example("passthrough.korvel"));
  WriteInput(Path("in.wav"), 1000);
  std::ofstream(Path("old.wav")) << "an earlier render";
  fs::create_symlink("m.korvel", Path("link.korvel"));
  fs::create_directory(Path("folder"));
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
  std::ofstream(Path("auto.csv")) << "0,1,0.5\n";
  std::ofstream(Path("notes.mid")) << "MThd";
  const auto before = Snapshot();
  const std::pair<std::string, const char*> refusals[] = {
      {"render m.korvel -o m.korvel", "same file as the module"},
      {"render link.korvel -o ./m.korvel", "same file as the module"},
      {"render m.korvel -o link.korvel", "same file as the module"},
      {"render m.korvel -i in.wav -o ./folder/../in.wav", "same file as the input"},
      {"render m.korvel -o auto.csv --automation auto.csv", "same file as the automation file 'auto.csv'"},
      {"render m.korvel -o notes.mid --midi notes.mid", "same file as the MIDI file 'notes.mid'"},
      {"render m.korvel -o in.wav --sidechain in.wav", "same file as the sidechain 'in.wav'"},
      {"render m.korvel -i - -o /dev/stdin < in.wav", "same file as the input (standard input)"},
      {"render m.korvel -i in.wav -o - >> in.wav", "cannot write standard output: it is the same file as the input"},
      {"plot m.korvel --csv >> m.korvel", "cannot write standard output: it is the same file as the module"},
      {"render m.korvel -o folder", "is a directory"},
      {"render m.korvel -o fifo", "not a regular file"},
      {"render m.korvel -o old.wav --format f32 --type flac", "cannot hold"},
      {"render m.korvel -o old.wav -i nowhere.wav", "nowhere.wav"},
      {"render folder -o old.wav", "cannot read 'folder': it is a directory"},
      {"new m.korvel", "already exists; --force replaces it"},
      {"new fifo --force", "not a regular file"},
      {"new folder --force", "is a directory"},
  };
  for (const auto& [args, says] : refusals) {
    const Outcome run = Korvel(args);
    EXPECT_EQ(run.status, 1) << args;
    EXPECT_NE(run.err.find(says), std::string::npos) << args << ": " << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << args << ": one line\n" << run.err;
    EXPECT_EQ(Snapshot(), before) << args;
  }
  // A render interrupted part-way leaves the earlier file and no temporary.
  std::ofstream(Path("header.bin"), std::ios::binary) << LyingWavHeader();
  const Outcome stopped = Shell("(cat header.bin; cat /dev/zero) | timeout -s TERM 0.5 " + std::string(KORVEL_CLI) +
                                " render m.korvel -i - -o old.wav");
  EXPECT_EQ(stopped.status, 124) << "stopped by the signal, not finished or refused: " << stopped.err;
  fs::remove(Path("header.bin"));
  EXPECT_EQ(Snapshot(), before);
}

TEST_F(CliTest, WritesReplaceOnlyRegularFilesAndKeepLinks) {
  ASSERT_EQ(Korvel("new m.korvel").status, 0);
  std::ofstream(Path("m.korvel"), std::ios::app) << " ";
  ASSERT_EQ(Korvel("new m.korvel --force").status, 0);
  EXPECT_EQ(ReadBytes(Path("m.korvel")).back(), '\n') << "replaced by a fresh module";
  std::ofstream(Path("real.wav")) << "old";
  fs::create_symlink("real.wav", Path("link.wav"));
  ASSERT_EQ(Korvel("render m.korvel -o link.wav --seconds 0.1 -q").status, 0);
  EXPECT_TRUE(fs::is_symlink(Path("link.wav")));
  EXPECT_EQ(ReadAudio(Path("real.wav")).frames(), 4410u) << "written through the link";
  struct stat st {};
  stat(Path("real.wav").c_str(), &st);
  EXPECT_NE(st.st_mode & 0044, 0u) << "not left private like a temporary file";
}

// ---------------------------------------------------------------- streaming

TEST_F(CliTest, PipesWithLyingHeadersStreamToTheirRealEnd) {
  std::string stream = LyingWavHeader();
  for (int i = 0; i < 2 * 30000; ++i) stream.append("\x10\x00", 2);
  std::ofstream(Path("stream.bin"), std::ios::binary) << stream;
  const Outcome run = Shell("cat stream.bin | " + std::string(KORVEL_CLI) + " render " + Example("passthrough.korvel") +
                            " -i - -o out.wav");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("30,000 frames"), std::string::npos) << run.out;
  const Audio out = ReadAudio(Path("out.wav"));
  ASSERT_EQ(out.frames(), 30000u);
  EXPECT_EQ(out.samples[0], 16.0 / 32768.0);
}

// Peak memory of one command line, its children included.
long PeakKilobytes(const std::string& line) {
  const pid_t pid = fork();
  if (pid == 0) {
    execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << line;
  return usage.ru_maxrss;
}

TEST_F(CliTest, TenMinutesTakeNoMoreMemoryThanTenSeconds) {
  std::ofstream(Path("header.bin"), std::ios::binary) << LyingWavHeader();
  const auto render = [&](long seconds) {
    return "(cat " + Path("header.bin") + "; head -c " + std::to_string(seconds * 44100 * 4) + " /dev/zero) | " +
           KORVEL_CLI + " render " + Example("lowpass.korvel") + " -i - -o - -q > /dev/null";
  };
  const long short_run = PeakKilobytes(render(10));
  const long long_run = PeakKilobytes(render(600));
  EXPECT_LT(long_run - short_run, 10 * 1024) << short_run << " kB vs " << long_run << " kB";
}

// ---------------------------------------------------------------- truthful summaries

TEST_F(CliTest, NonNumbersAreCountedAndWrittenAsZero) {
  // x / 0: infinities where the input is not 0, NaN where it is.
  WriteModule("divide.korvel", R"({"slot": 0, "type": 0}, {"slot": 1, "type": 1}, {"slot": 2, "type": 13},
                                  {"slot": 3, "type": 80, "value": 0})",
              R"({"from": [0, 0], "to": [2, 0]}, {"from": [3, 0], "to": [2, 1]}, {"from": [2, 0], "to": [1, 0]})");
  WriteInput(Path("in.wav"), 3000);
  const Outcome run = Korvel("render divide.korvel -i in.wav -o out.wav");
  ASSERT_EQ(run.status, 0) << run.err;
  // Per output channel, like clipping, and the component that began it.
  EXPECT_NE(run.err.find("warning: left: the module made 3,000 samples (100.0%) that were not numbers"), std::string::npos)
      << run.err;
  EXPECT_NE(run.out.find("not a number: 3,000 samples (100.0%)"), std::string::npos) << run.out;
  EXPECT_NE(run.err.find("slot 2 (x/y \"x/y\") was the first to run away: at 0.000 s its output was infinite"),
            std::string::npos)
      << run.err;
  for (double v : ReadAudio(Path("out.wav")).samples) ASSERT_EQ(v, 0.0);
}

TEST_F(CliTest, ClippingIsCountedPerChannelWithAWarning) {
  WriteModule("gain4.korvel", R"({"slot": 0, "type": 0}, {"slot": 1, "type": 1}, {"slot": 2, "type": 12},
                                 {"slot": 3, "type": 80, "value": 4})",
              R"({"from": [0, 0], "to": [2, 0]}, {"from": [3, 0], "to": [2, 1]}, {"from": [2, 0], "to": [1, 0]})");
  // Left: every other frame goes over full scale once multiplied; right never.
  std::vector<float> in(2 * 4000);
  for (int f = 0; f < 4000; ++f) {
    in[2 * f] = f % 2 ? 0.5f : 0.1f;
    in[2 * f + 1] = 0.2f;
  }
  WriteAudio(Path("in.wav"), in, 2);
  Outcome run = Korvel("render gain4.korvel -i in.wav -o out.wav --format pcm16");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("warning: left clipped 2,000 samples (50.0%) — lower the level"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("right"), std::string::npos) << run.err;
  EXPECT_NE(run.out.find("clipped 2,000 samples (50.0%)"), std::string::npos) << run.out;
  const Audio out = ReadAudio(Path("out.wav"));
  EXPECT_EQ(*std::max_element(out.samples.begin(), out.samples.end()), 32767.0 / 32768.0);
  // Floating point keeps the values, and says they are over full scale.
  run = Korvel("render gain4.korvel -i in.wav -o out.wav");
  EXPECT_NE(run.err.find("left 2,000 samples (50.0%) over full scale"), std::string::npos) << run.err;
  EXPECT_NE(run.out.find("loudness under 0.4 s, not measured; true peak 6.02 dBTP"), std::string::npos) << run.out;
  run = Korvel("render gain4.korvel -i in.wav -o out.wav -q");
  EXPECT_TRUE(run.out.empty()) << run.out;
  EXPECT_NE(run.err.find("over full scale"), std::string::npos) << "warnings stay with -q";
}

// ---------------------------------------------------------------- formats

TEST_F(CliTest, TheTypeFollowsTheExtensionOrType) {
  const auto input = WriteInput(Path("in.wav"), 5000);
  const std::pair<std::string, int> cases[] = {
      {"-o out.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24},
      {"-o out.aiff --format pcm16", SF_FORMAT_AIFF | SF_FORMAT_PCM_16},
      {"-o out.data --type w64 --format f64", SF_FORMAT_W64 | SF_FORMAT_DOUBLE},
      {"-o out.WAV", SF_FORMAT_WAV | SF_FORMAT_FLOAT},
  };
  for (const auto& [args, format] : cases) {
    const Outcome run = Korvel("render " + Example("passthrough.korvel") + " -i in.wav " + args);
    ASSERT_EQ(run.status, 0) << args << run.err;
    const Audio out = ReadAudio(Path(args.substr(3, args.find(' ', 3) - 3)));
    EXPECT_EQ(out.format, format) << args;
    ASSERT_EQ(out.frames(), 5000u) << args;
    const double lsb = (format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_24   ? 1.0 / 8388608
                       : (format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16 ? 2.0 / 32768  // dithered
                                                                           : 0.0;
    for (std::size_t i = 0; i < input.size(); ++i) ASSERT_LE(std::fabs(out.samples[i] - input[i]), lsb) << args << i;
  }
  const Outcome unknown = Korvel("render " + Example("passthrough.korvel") + " -o out.xyz");
  EXPECT_EQ(unknown.status, 1);
  EXPECT_NE(unknown.err.find("use --type"), std::string::npos) << unknown.err;
}

TEST_F(CliTest, StandardOutputCarriesAWavStreamLibsndfileReads) {
  const auto input = WriteInput(Path("in.wav"), 7000);
  for (const char* tail : {"> file.wav", "| cat > file.wav"}) {
    const Outcome run = Shell("{ " + std::string(KORVEL_CLI) + " render " + Example("passthrough.korvel") +
                              " -i in.wav -o - 2>summary.txt; } " + tail);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(ReadBytes(Path("summary.txt")).find("7,000 frames"), std::string::npos) << "the summary moves to standard error";
    const Audio out = ReadAudio(Path("file.wav"));
    ASSERT_EQ(out.frames(), 7000u) << tail;
    for (std::size_t i = 0; i < input.size(); ++i) ASSERT_EQ(out.samples[i], input[i]) << tail << i;
  }
  // And a WAV stream read back from standard input.
  const Outcome piped = Shell(std::string(KORVEL_CLI) + " render " + Example("passthrough.korvel") +
                              " -i in.wav -o - -q | " + KORVEL_CLI + " render " + Example("passthrough.korvel") +
                              " -i - -o back.wav -q");
  ASSERT_EQ(piped.status, 0) << piped.err;
  EXPECT_EQ(ReadAudio(Path("back.wav")).frames(), 7000u);
}

TEST_F(CliTest, IntegerOutputRoundsToNearestAndDithers16Bits) {
  // A sine at -84 dBFS: about two steps of 16 bits.
  const int frames = 44100;
  std::vector<float> in(frames);
  const double amplitude = std::pow(10.0, -84.0 / 20.0);
  for (int f = 0; f < frames; ++f) in[f] = static_cast<float>(amplitude * std::sin(2 * M_PI * 1000.0 * f / 44100));
  WriteAudio(Path("quiet.wav"), in, 1);
  for (const char* dither : {"", " --no-dither"}) {
    const Outcome run = Korvel("render " + Example("passthrough.korvel") + " -i quiet.wav -o out.wav --format pcm16" + dither);
    ASSERT_EQ(run.status, 0) << run.err;
    const Audio out = ReadAudio(Path("out.wav"));
    ASSERT_EQ(out.frames(), static_cast<std::size_t>(frames));
    double sum = 0, largest = 0;
    int differ = 0;
    for (int f = 0; f < frames; ++f) {
      const double exact = in[f] * 32768.0, error = out.samples[f] * 32768.0 - exact;
      sum += error;
      largest = std::max(largest, std::fabs(error));
      differ += out.samples[f] * 32768.0 != std::nearbyint(exact);
    }
    EXPECT_LT(std::fabs(sum / frames), 0.05) << "mean error in LSB" << dither;
    if (*dither != '\0') {
      EXPECT_LE(largest, 0.5) << "rounded to nearest";
      EXPECT_EQ(differ, 0);
    } else {
      EXPECT_LT(largest, 1.5) << "TPDF dither spans ±1 LSB before rounding";
      EXPECT_GT(differ, frames / 10) << "dither moves values off the plain rounding";
    }
  }
}

TEST_F(CliTest, ChannelsFollowTheInputUnlessAsked) {
  WriteAudio(Path("mono.wav"), std::vector<float>(1000, 0.25f), 1);
  ASSERT_EQ(Korvel("render " + Example("passthrough.korvel") + " -i mono.wav -o a.wav -q").status, 0);
  EXPECT_EQ(ReadAudio(Path("a.wav")).channels, 1);
  EXPECT_EQ(ReadAudio(Path("a.wav")).samples[999], 0.25);
  ASSERT_EQ(Korvel("render " + Example("passthrough.korvel") + " -i mono.wav -o b.wav -q --channels 2").status, 0);
  EXPECT_EQ(ReadAudio(Path("b.wav")).channels, 2);
  EXPECT_EQ(Korvel("render " + Example("passthrough.korvel") + " -o c.wav --channels 3").status, 2);
}

// ---------------------------------------------------------------- rates

TEST_F(CliTest, TheEngineRunsAtTheInputsRate) {
  // One click at 48 kHz; the echo repeats it a quarter of a second later.
  std::vector<float> in(2 * 48000, 0.0f);
  in[2 * 100] = in[2 * 100 + 1] = 0.5f;
  WriteAudio(Path("click.wav"), in, 2, 48000);
  const Outcome run = Korvel("render " + Example("echo.korvel") + " -i click.wav -o out.wav");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("48000 Hz"), std::string::npos) << run.out;
  const Audio out = ReadAudio(Path("out.wav"));
  ASSERT_EQ(out.rate, 48000);
  std::size_t loudest = 0;
  for (std::size_t f = 200; f < out.frames(); ++f)
    if (std::fabs(out.samples[2 * f]) > std::fabs(out.samples[2 * loudest])) loudest = f;
  EXPECT_NEAR(static_cast<double>(loudest), 100 + 12000, 1) << "250 ms at 48 kHz";
  EXPECT_EQ(out.samples[2 * loudest], 0.25);
}

// ---------------------------------------------------------------- checker

TEST_F(CliTest, TheCheckerNamesEachSilentMistake) {
  const std::string in_out = R"({"slot": 0, "type": 0}, {"slot": 1, "type": 1})";
  struct Case {
    const char* name;
    std::string components, connections;
    const char* says;
  };
  const Case cases[] = {
      {"cutoff", in_out + R"(, {"slot": 2, "type": 15}, {"slot": 3, "type": 80, "value": 1.414})",
       R"({"from": [0, 0], "to": [2, 0]}, {"from": [3, 0], "to": [2, 2]}, {"from": [2, 0], "to": [1, 0]})",
       "slot 2 (LP filter \"LP filter\"): the cutoff (in2) is not connected"},
      {"operand", in_out + R"(, {"slot": 2, "type": 12})",
       R"({"from": [0, 0], "to": [2, 0]}, {"from": [2, 0], "to": [1, 0]})", "the second operand (in2) is not connected"},
      {"from-one", in_out, R"({"from": [0, 1], "to": [1, 0]})", "out2 (output 1) is never set"},
      {"value", in_out + R"(, {"slot": 2, "type": 15, "value": 800})",
       R"({"from": [0, 0], "to": [1, 0]})", "\"value\" is ignored"},
      {"second-in", in_out + R"(, {"slot": 2, "type": 0})", R"({"from": [2, 0], "to": [1, 0]})",
       "OUT (slot 1) is not reached from IN (slot 0)"},
      {"second-in", in_out + R"(, {"slot": 2, "type": 0})", R"({"from": [2, 0], "to": [1, 0]})", "a second In"},
      {"too-long", in_out + R"(, {"slot": 2, "type": 27}, {"slot": 3, "type": 80, "value": 3000000})",
       R"({"from": [0, 0], "to": [2, 0]}, {"from": [3, 0], "to": [2, 1]}, {"from": [2, 0], "to": [1, 0]})",
       "slot 2 (Delay Set \"Delay Set\"): the delay of 3,000,000 frames is longer than the delay line (2,097,152 "
       "frames, 47.6 s at 44,100 Hz), so it wraps around to 902,848 frames"},
      {"gate", in_out + R"(, {"slot": 2, "type": 43}, {"slot": 3, "type": 80, "value": 0.4}, {"slot": 4, "type": 12})",
       R"({"from": [3, 0], "to": [2, 0]}, {"from": [0, 0], "to": [4, 0]}, {"from": [2, 0], "to": [4, 1]},)"
       R"( {"from": [4, 0], "to": [1, 0]})",
       "slot 2 (Linear ADSR \"Linear ADSR\"): the gate (in1) comes from slot 3 (constant \"constant\"), which never "
       "reaches 0.5, so the envelope never starts"},
      {"frequency", in_out + R"(, {"slot": 2, "type": 40})", R"({"from": [2, 0], "to": [1, 0]})",
       "the frequency (in1) is not connected"},
      {"seed", in_out + R"(, {"slot": 2, "type": 42})", R"({"from": [2, 0], "to": [1, 0]})",
       "it has no \"seed\", so it draws different noise at every load"},
  };
  for (const Case& c : cases) {
    WriteModule(std::string(c.name) + ".korvel", c.components, c.connections);
    const Outcome check = Korvel("check " + std::string(c.name) + ".korvel");
    EXPECT_EQ(check.status, 1) << c.name;
    EXPECT_NE(check.out.find(c.says), std::string::npos) << c.name << ":\n" << check.out;
    const Outcome render = Korvel("render " + std::string(c.name) + ".korvel -o out.wav -q --seconds 0.1");
    EXPECT_EQ(render.status, 0) << "a module with warnings still renders";
    EXPECT_NE(render.err.find("korvel: warning: "), std::string::npos) << render.err;
    EXPECT_NE(render.err.find(c.says), std::string::npos) << render.err;
  }
  for (const char* example : {"echo", "lowpass", "moog-drive", "fir-smooth", "passthrough", "tone-control", "phaser",
                              "tremolo", "ring-modulator", "follow-wah", "step-filter", "waveshaper", "voice",
                              "karplus-strong", "flanger", "reverb", "drive-8x"})
    EXPECT_EQ(Korvel("check " + Example(example + std::string(".korvel"))).status, 0) << example;
  std::ofstream(Path("typo.korvel")) << R"({"format": "korvel-module", "version": 1, "components": [], "conections": []})";
  const Outcome typo = Korvel("check typo.korvel");
  EXPECT_EQ(typo.status, 1);
  EXPECT_NE(typo.err.find("unknown key \"conections\" (did you mean \"connections\"?)"), std::string::npos) << typo.err;
}

TEST_F(CliTest, TheProgressLineIsForTerminalsAndRedrawnAtMostTenTimesASecond) {
  // script(1) gives the render a terminal; the audio goes elsewhere.
  const auto start = std::chrono::steady_clock::now();
  const Outcome run = Shell("script -qfec '" + std::string(KORVEL_CLI) + " render " + Example("moog-drive.korvel") +
                            " --seconds 240 -o - > /dev/null' /dev/null");
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_EQ(run.status, 0) << run.err;
  std::size_t redraws = 0;
  for (std::size_t at = 0; (at = run.out.find("ETA", at)) != std::string::npos; ++at) ++redraws;
  EXPECT_GT(redraws, 0) << run.out;
  EXPECT_LE(redraws, 10 * seconds + 2) << "in " << seconds << " s";
  EXPECT_NE(run.out.find("of 240.0 s"), std::string::npos) << run.out;
  // Not on a pipe.
  EXPECT_EQ(Korvel("render " + Example("lowpass.korvel") + " --seconds 60 -o - -q > /dev/null").err, "");
}

// ---------------------------------------------------------------- the rest

TEST_F(CliTest, PassthroughRendersBitExactlyAtEveryBlockSize) {
  const auto input = WriteInput(Path("in.wav"), 10000);
  for (int block : {1, 256, 5000, 100000}) {
    const Outcome run = Korvel("render " + Example("passthrough.korvel") + " -i in.wav -o out.wav --format f64 --block " +
                               std::to_string(block));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("10,000 frames"), std::string::npos) << run.out;
    const Audio out = ReadAudio(Path("out.wav"));
    ASSERT_EQ(out.samples.size(), input.size());
    for (std::size_t i = 0; i < input.size(); ++i) ASSERT_EQ(out.samples[i], static_cast<double>(input[i])) << i;
  }
}

// The same module loaded into an engine in this process, fed the same
// blocks with the host's float conversion on both sides.
std::vector<double> RenderDirectly(const std::string& module_path, const std::vector<float>& input, int block) {
  const std::string image = ReadBytes(module_path);
  auto engine = std::make_unique<PatchEngine>();
  engine->ResetEngine();
  std::string error;
  EXPECT_TRUE(ReadModuleImage(*engine, image.data(), image.size(), error)) << error;
  std::vector<double> out(input.size());
  const std::size_t frames = input.size() / 2;
  for (std::size_t done = 0; done < frames; done += block) {
    const std::size_t n = std::min<std::size_t>(block, frames - done);
    for (std::size_t i = 0; i < 2 * n; ++i)
      engine->InputBuffer()[i] = static_cast<float>(input[2 * done + i] * 32768.0);
    const double* result = engine->ProcessBlock(static_cast<std::uint32_t>(n));
    for (std::size_t i = 0; i < 2 * n; ++i) out[2 * done + i] = result ? static_cast<float>(result[i]) / 32768.0 : 0.0;
  }
  return out;
}

TEST_F(CliTest, LowpassMatchesTheEngineDrivenDirectly) {
  const auto input = WriteInput(Path("in.wav"), 12000);
  const auto expected = RenderDirectly(Example("lowpass.korvel"), input, 64);
  const Outcome run = Korvel("render " + Example("lowpass.korvel") + " -i in.wav -o out.wav --format f64 --block 64 --tail 0");
  ASSERT_EQ(run.status, 0) << run.err;
  const Audio out = ReadAudio(Path("out.wav"));
  ASSERT_EQ(out.samples.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(out.samples[i], expected[i]) << i;
}

TEST_F(CliTest, SecondsPadOrCutWithinTwentyFourHours) {
  Outcome run = Korvel("render " + Example("echo.korvel") + " -o echo.wav --seconds 5.5");
  ASSERT_EQ(run.status, 0) << run.err;
  const Audio echo = ReadAudio(Path("echo.wav"));
  EXPECT_EQ(echo.rate, 44100);
  ASSERT_EQ(echo.frames(), 242550u);
  // The built-in signal ends at 4 s; the echo's repeats go on after it.
  double tail = 0;
  for (std::size_t i = 2 * (4 * 44100 + 11025); i < echo.samples.size(); ++i) tail = std::max(tail, std::fabs(echo.samples[i]));
  EXPECT_GT(tail, 1e-4);
  ASSERT_EQ(Korvel("render " + Example("passthrough.korvel") + " -o cut.wav --seconds 0.5 -q").status, 0);
  EXPECT_EQ(ReadAudio(Path("cut.wav")).frames(), 22050u);
  for (const char* bad : {"1e9", "1e17", "-1", "nan", "86400.5"}) {
    run = Korvel("render " + Example("passthrough.korvel") + " -o x.wav --seconds " + bad);
    EXPECT_EQ(run.status, 2) << bad;
    EXPECT_NE(run.err.find("from 0 to 86400 (24 hours)"), std::string::npos) << run.err;
  }
  EXPECT_FALSE(fs::exists(Path("x.wav")));
}

TEST_F(CliTest, AnInputAtARateThePluginCannotRunIsNamed) {
  WriteAudio(Path("fast.wav"), std::vector<float>(200), 2, 1000000);
  const Outcome run = Korvel("render " + Example("passthrough.korvel") + " -i fast.wav -o out.wav");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "korvel: 'fast.wav' is at 1000000 Hz, a rate the plug-in cannot run at\n");
  EXPECT_FALSE(fs::exists(Path("out.wav")));
}

TEST_F(CliTest, BadModulesFailWithOneLineAndWriteNothing) {
  std::ofstream(Path("bad.korvel")) << R"({"format": "korvel-module", "version": 1, "components": [{"slot": 300, "type": 0}]})";
  std::ofstream(Path("empty.korvel"));
  for (const std::string module : {"bad.korvel", "empty.korvel", "nowhere.korvel"}) {
    const Outcome run = Korvel("render " + module + " -o out.wav");
    EXPECT_EQ(run.status, 1) << module;
    EXPECT_EQ(run.err.rfind("korvel: '" + module + "'", 0) == 0 || run.err.find(module) != std::string::npos, true);
    EXPECT_FALSE(fs::exists(Path("out.wav")));
  }
  EXPECT_NE(Korvel("info empty.korvel").err.find("'empty.korvel': it is empty"), std::string::npos);
}

TEST_F(CliTest, UsageErrorsExitTwo) {
  for (const char* args : {"", "frobnicate", "render", "render x.korvel", "render x.korvel -o y.wav --block 0",
                           "render x.korvel -o y.wav --format mp3", "render x.korvel -o y.wav --type mp4",
                           "types 1 2", "script", "check", "new"}) {
    const Outcome run = Korvel(args);
    EXPECT_EQ(run.status, 2) << args;
    EXPECT_NE(run.err.find("usage: korvel"), std::string::npos) << args;
  }
  EXPECT_EQ(Korvel("render --help").status, 0);
  const Outcome version = Korvel("--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("korvel ", 0), 0u) << version.out;
  EXPECT_NE(version.out.find("libsndfile"), std::string::npos) << version.out;
}

TEST_F(CliTest, InfoShowsWhatThePluginHolds) {
  WriteModule("m.korvel",
              R"({"slot": 0, "type": 0, "label": "in\u001b[2J"}, {"slot": 1, "type": 1},
                 {"slot": 2, "type": 80, "value": 1.414}, {"slot": 3, "type": 80, "value": 0.1},
                 {"slot": 4, "type": 87, "min": "-inf", "max": "nan"})",
              R"({"from": [0, 0], "to": [1, 0]})", R"(, "parameters": [{"name": "Mix", "kind": 1, "value": 0.25}])");
  Outcome run = Korvel("info m.korvel");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find(" 1.414\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find(" 0.1\n"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find('\x1b'), std::string::npos) << "no terminal escapes reach the screen";
  EXPECT_NE(run.out.find("in\\x1b[2J"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("-inf .. nan"), std::string::npos) << "any range check accepts: " << run.out;
  run = Korvel("info --json m.korvel");
  ASSERT_EQ(run.status, 0);
  EXPECT_NE(run.out.find(R"({"name": "Mix", "kind": 1, "value": 0.25})"), std::string::npos) << run.out;
  // What it prints is what the plug-in saves: it loads again to the same.
  std::ofstream(Path("again.korvel")) << run.out;
  EXPECT_EQ(Korvel("info --json again.korvel").out, run.out);
}

// An oversampled module's output is moved back by its latency: an impulse
// comes out on its own frame and the file is as long as the input. info
// names the factor and the latency; a factor outside the list is refused.
TEST_F(CliTest, OversampledRendersLineUpWithTheirInput) {
  std::vector<float> impulse(2 * 3000, 0.0f);
  impulse[2 * 1234] = impulse[2 * 1234 + 1] = 0.5f;
  WriteAudio(Path("impulse.wav"), impulse, 2);
  for (const char* factor : {"2", "16"}) {
    const Outcome run = Korvel("render " + Example("passthrough.korvel") + " -i impulse.wav -o out.wav --format f64 "
                               "--block 100 --oversample " + factor);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("frames (oversampling), taken out"), std::string::npos) << run.out;
    const Audio out = ReadAudio(Path("out.wav"));
    ASSERT_EQ(out.frames(), 3000u);
    std::size_t peak = 0;
    for (std::size_t f = 0; f < out.frames(); ++f)
      if (std::fabs(out.samples[2 * f]) > std::fabs(out.samples[2 * peak])) peak = f;
    EXPECT_EQ(peak, 1234u) << factor;
  }
  Outcome info = Korvel("info " + Example("drive-8x.korvel"));
  EXPECT_NE(info.out.find("oversampling: 8x, latency 89 frames at the host's rate"), std::string::npos) << info.out;
  info = Korvel("info " + Example("echo.korvel"));
  EXPECT_NE(info.out.find("oversampling: none"), std::string::npos) << info.out;
  const Outcome refused = Korvel("render " + Example("passthrough.korvel") + " -o out.wav --oversample 6");
  EXPECT_EQ(refused.status, 2);
  EXPECT_NE(refused.err.find("--oversample must be 1, 2, 4, 8 or 16 (the nearest is 8), not '6'"), std::string::npos)
      << refused.err;
}

TEST_F(CliTest, TypesShowTheComponentReference) {
  Outcome run = Korvel("types");
  EXPECT_NE(run.out.find("  86  BPB"), std::string::npos) << run.out;
  run = Korvel("types 15");
  EXPECT_EQ(run.out.rfind("LP FILTER\n", 0), 0u) << run.out;
  EXPECT_NE(run.out.find("### 15 LP filter"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("22000"), std::string::npos) << "units and ranges";
  // Every listed type has its entry.
  std::istringstream list(Korvel("types").out);
  std::string line;
  std::getline(list, line);
  int listed = 0;
  while (std::getline(list, line)) {
    const std::string type = std::to_string(std::stoi(line));
    EXPECT_NE(Korvel("types " + type).out.find("\n### " + type + " "), std::string::npos) << type;
    ++listed;
  }
  EXPECT_EQ(listed, 52);
  EXPECT_EQ(Korvel("types 4").status, 1);
}

// A Sampler's sound is found beside the module, whatever the working
// folder, is loaded before the first block and plays its own values; one
// that cannot be loaded is a warning line, and the render goes on.
TEST_F(CliTest, SamplerSoundsLoadBeforeTheFirstBlock) {
  fs::create_directories(Path("kit/sounds"));
  std::vector<float> hit(2000);
  for (std::size_t k = 0; k < hit.size(); ++k) hit[k] = static_cast<float>(static_cast<int>(k * 37 % 2001) - 1000) / 32768.0f;
  SF_INFO info{};
  info.samplerate = 44100;
  info.channels = 1;
  info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;  // any format libsndfile reads
  SNDFILE* file = sf_open(Path("kit/sounds/hit.flac").c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
  sf_writef_float(file, hit.data(), static_cast<sf_count_t>(hit.size()));
  sf_close(file);
  const std::string sampler = R"({"slot": 0, "type": 80, "value": 1}, {"slot": 1, "type": 50, "file": "sounds/)";
  const std::string wires = R"({"from": [0, 0], "to": [1, 0]}, {"from": [1, 0], "to": [2, 0]})";
  WriteModule("kit/hit.korvel", sampler + R"(hit.flac"}, {"slot": 2, "type": 1})", wires);
  Outcome run = Korvel("render kit/hit.korvel -o out.wav --format f32 --seconds 0.1 -q");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  const Audio out = ReadAudio(Path("out.wav"));
  ASSERT_EQ(out.frames(), 4410u);
  for (std::size_t k = 0; k < out.frames(); ++k)
    ASSERT_EQ(out.samples[2 * k], k < hit.size() ? hit[k] : 0.0f) << k;

  WriteModule("kit/gone.korvel", sampler + R"(gone.wav"}, {"slot": 2, "type": 1})", wires);
  run = Korvel("render kit/gone.korvel -o out.wav --seconds 0.1 -q");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "korvel: warning: Sampler \"Sampler\" (slot 1): couldn't load \"" + Path("kit/sounds/gone.wav") +
                         "\": No such file or directory; it stays silent\n");
}

TEST_F(CliTest, ScriptRunsAFunctionAndTracesIt) {
  std::ofstream(Path("count.txt")) << ":main\r\nvar n\r\ndo ( n < 3 ) whiletrue ( n + 1 ) >> n loop\r\n:\r\n";
  Outcome run = Korvel("script count.txt");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_FALSE(run.out.empty());
  std::ofstream(Path("broken.txt")) << ":main\r\nif 1 then\r\n:\r\n";
  run = Korvel("script broken.txt");
  EXPECT_EQ(run.status, 1);
  EXPECT_FALSE(run.err.empty());
  EXPECT_EQ(Korvel("script count.txt nothere").status, 1);
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

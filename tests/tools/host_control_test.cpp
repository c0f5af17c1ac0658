// korvel render --set, --automation, --midi (notes, controllers, tempo
// map), --bpm and --sidechain, run as a user runs them, against the plug-in
// module driven in this process; and every bad file refused with one line
// and no output.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine/module_image.h"
#include "host/plugin_module.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/test_ui.h"
#include "tools/pluginhost/plugin_host.h"

namespace korvel {
namespace {

namespace fs = std::filesystem;
using testing::Outcome;

constexpr int kRate = 44100;
constexpr int kBlock = 256;

// IN x Slider (parameter 2, "Depth", 0..1) -> OUT.
constexpr char kDepthModule[] = R"({"format": "korvel-module", "version": 1,
  "parameters": [{"name": "Rate"}, {"name": "Depth"}], "components": [
  {"slot": 0, "type": 0}, {"slot": 1, "type": 1}, {"slot": 2, "type": 12}, {"slot": 3, "type": 87, "parameter": 2}],
  "connections": [{"from": [0, 0], "to": [2, 0]}, {"from": [3, 0], "to": [2, 1]}, {"from": [2, 0], "to": [1, 0]}]})";

// IN x Note Trigger -> OUT.
constexpr char kGateModule[] = R"({"format": "korvel-module", "version": 1, "components": [
  {"slot": 0, "type": 0}, {"slot": 1, "type": 1}, {"slot": 2, "type": 12}, {"slot": 3, "type": 90}],
  "connections": [{"from": [0, 0], "to": [2, 0]}, {"from": [3, 0], "to": [2, 1]}, {"from": [2, 0], "to": [1, 0]}]})";

// IN x a value source of `type` -> OUT: the source's value times the input.
std::string ScaledBy(int type) {
  return R"({"format": "korvel-module", "version": 1, "components": [
    {"slot": 0, "type": 0}, {"slot": 1, "type": 1}, {"slot": 2, "type": 12}, {"slot": 3, "type": )" +
         std::to_string(type) + R"(}],
    "connections": [{"from": [0, 0], "to": [2, 0]}, {"from": [3, 0], "to": [2, 1]}, {"from": [2, 0], "to": [1, 0]}]})";
}
constexpr int kSampsPerTickType = 82, kBpmType = 84;

// The MIDI file of the gate test below, 96 ticks a quarter note: 120 BPM,
// then 60 BPM from tick 96 (0.5 s); a note from tick 48 to 144.
const std::string kTempoChangeMidi =
    std::string("MThd\0\0\0\6\0\1\0\2\0\140", 14) +
    std::string("MTrk\0\0\0\22\0\377\121\3\7\241\40\140\377\121\3\17\102\100\0\377\57\0", 26) +
    std::string("MTrk\0\0\0\13\60\223\74\100\140\74\0\0\377\57\0", 19);

class HostControlCli : public ::testing::Test {
 protected:
  testing::ScratchDir scratch{"control"};
  std::string Path(const std::string& name) const { return scratch.Path(name); }
  std::string Write(const std::string& name, const std::string& bytes) const { return scratch.Write(name, bytes); }
  Outcome Korvel(const std::string& args) const { return scratch.Run(std::string(KORVEL_CLI) + " " + args); }

  // Stereo float input: a fixed, float-exact pattern.
  std::vector<float> Input(int frames) const {
    std::vector<float> samples(2 * frames);
    for (int i = 0; i < 2 * frames; ++i) samples[i] = static_cast<float>((i * 37) % 101 - 50) / 64.0f;
    SF_INFO info{};
    info.samplerate = kRate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(Path("in.wav").c_str(), SFM_WRITE, &info);
    sf_writef_float(file, samples.data(), frames);
    sf_close(file);
    return samples;
  }
  std::string WriteWav(const std::string& name, int rate, int channels, const std::vector<float>& samples) const {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(Path(name).c_str(), SFM_WRITE, &info);
    sf_writef_float(file, samples.data(), static_cast<sf_count_t>(samples.size() / channels));
    sf_close(file);
    return Path(name);
  }
  std::vector<float> Output(const std::string& name) const {
    SF_INFO info{};
    SNDFILE* file = sf_open(Path(name).c_str(), SFM_READ, &info);
    if (file == nullptr) return {};
    std::vector<float> samples(info.frames * info.channels);
    sf_readf_float(file, samples.data(), info.frames);
    sf_close(file);
    return samples;
  }
  std::string Render(const std::string& module, const std::string& options, const std::string& out = "out.wav") const {
    return "render " + Write("module.korvel", module) + " -i " + Path("in.wav") + " -o " + Path(out) + " " + options;
  }

  testing::TestUi ui;
};

// The same module in this process: `before(block, module)` runs before
// each block's audio call, as a host's automation would.
template <class Before>
std::vector<float> RenderInProcess(const char* image, const std::vector<float>& input, Before before) {
  auto module = std::make_unique<PluginModule>();
  pluginhost::RecordingHost host;
  module->Init(&host);
  std::string error;
  EXPECT_TRUE(ReadModuleImage(module->engine(), image, std::strlen(image), error)) << error;
  std::vector<float> out(input.size());
  const int frames = static_cast<int>(input.size() / 2);
  for (int done = 0, block = 0; done < frames; done += kBlock, ++block) {
    const int n = std::min(kBlock, frames - done);
    std::vector<float> samples(input.begin() + 2 * done, input.begin() + 2 * (done + n));
    for (float& s : samples) s *= 32768.0f;
    before(block, *module);
    void* buffers[1] = {samples.data()};
    AudioBlockRecord record{buffers, static_cast<std::uint32_t>(n)};
    module->AudioCallback(&record);
    for (int i = 0; i < 2 * n; ++i) out[2 * done + i] = samples[i] / 32768.0f;
  }
  return out;
}

void Set(ModuleBase& module, int index, double value) {
  ParameterValueRecord record{};
  record.value = value;
  module.SetParameterValue(index, &record);
}

TEST_F(HostControlCli, SetAndAutomationMatchAHostDoingTheSame) {
  const auto input = Input(20000);
  Outcome run = Korvel("info " + Write("module.korvel", kDepthModule));
  EXPECT_NE(run.out.find("      2  Depth                   3  Slider                   0 .. 1"), std::string::npos)
      << "info lists the bound parameters: " << run.out;
  run = Korvel(Render(kDepthModule, "--set Depth=0.25 --set 1=0.9"));
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Output("out.wav"), RenderInProcess(kDepthModule, input, [](int block, ModuleBase& m) {
              if (block == 0) Set(m, 1, 0.25);
            }));

  // Depth rises from 0 to 1 over the first 0.25 s (11025 frames): each
  // block gets the value at its first frame, the block holding 0.25 s gets
  // 1 exactly.
  Write("auto.csv", "seconds,parameter,value\n# rise\n0.25, Depth, 1\n0,2,0\n\n");
  run = Korvel(Render(kDepthModule, "--automation " + Path("auto.csv")));
  ASSERT_EQ(run.status, 0) << run.err;
  const auto expected = RenderInProcess(kDepthModule, input, [](int block, ModuleBase& m) {
    Set(m, 1, (block + 1) * kBlock > 11025 ? 1.0 : block * kBlock / 11025.0);
  });
  EXPECT_EQ(Output("out.wav"), expected);
  // The same rows with CR LF, with CR alone, and after a byte-order mark.
  const std::string rows = "seconds,parameter,value\n# rise\n0.25, Depth, 1\n0,2,0\n\n";
  std::string crlf, cr;
  for (char c : rows) {
    crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    cr += c == '\n' ? '\r' : c;
  }
  for (const std::string& text : {crlf, cr, "\xEF\xBB\xBF" + rows}) {
    Write("auto.csv", text);
    fs::remove(Path("out.wav"));
    run = Korvel(Render(kDepthModule, "--automation " + Path("auto.csv")));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Output("out.wav"), expected);
  }
}

// A type 1 file, 96 ticks a beat: 120 BPM, then 60 BPM from the second
// beat. A note on at tick 48 (0.25 s, frame 11025, inside a block) and its
// note off, by running status, at tick 144 (1.0 s).
TEST_F(HostControlCli, MidiNotesReachTheGateAtTheirExactFrames) {
  Input(2 * kRate);
  const Outcome run = Korvel(Render(kGateModule, "--midi " + Write("notes.mid", kTempoChangeMidi)));
  ASSERT_EQ(run.status, 0) << run.err;
  const auto out = Output("out.wav");
  const auto input = Input(2 * kRate);
  ASSERT_EQ(out.size(), input.size());
  for (int f = 0; f < 2 * kRate; ++f) {
    const bool held = f >= 11025 && f < 44100;
    ASSERT_EQ(out[2 * f], held ? input[2 * f] : 0.0f) << "frame " << f;
  }
}

// The tempo map sets the timing at the frame of each change, inside a block
// too (22050 = 86 x 256 + 34), with the file's 96 ticks a beat; --bpm wins
// over it, with 960.
TEST_F(HostControlCli, TempoFromAMidiFilesTempoMapOrBpm) {
  const auto input = Input(30000);
  const auto ratio = [&](const std::vector<float>& out, int frame) { return out[2 * frame] / input[2 * frame]; };
  const std::string midi = Write("tempo.mid", kTempoChangeMidi);
  ASSERT_EQ(Korvel(Render(ScaledBy(kSampsPerTickType), "--midi " + midi)).status, 0);
  std::vector<float> out = Output("out.wav");
  EXPECT_FLOAT_EQ(ratio(out, 22049), 44100.0f * 60 / (120 * 96));
  EXPECT_FLOAT_EQ(ratio(out, 22050), 44100.0f * 60 / (60 * 96));
  ASSERT_EQ(Korvel(Render(ScaledBy(kSampsPerTickType), "--bpm 100 --midi " + midi)).status, 0);
  out = Output("out.wav");
  for (int f : {1, 22050, 29999}) EXPECT_FLOAT_EQ(ratio(out, f), 44100.0f * 60 / (100 * 960)) << f;
  ASSERT_EQ(Korvel(Render(ScaledBy(kBpmType), "--bpm 93.5,3")).status, 0);
  EXPECT_FLOAT_EQ(ratio(Output("out.wav"), 7), 93.5f);
  ASSERT_EQ(Korvel(Render(ScaledBy(kBpmType), "")).status, 0);
  EXPECT_FLOAT_EQ(ratio(Output("out.wav"), 7), 1.0f) << "no song: BPM stays 1";
}

// Controller 1 at tick 48 (frame 11025) moves Depth, bound to it, to 0.
TEST_F(HostControlCli, MidiControllersMoveTheirParameters) {
  const auto input = Input(12000);
  std::string module = kDepthModule;
  module.replace(module.find(R"({"name": "Depth"})"), 17, R"({"name": "Depth", "controller": 1})");
  const std::string midi = std::string("MThd\0\0\0\6\0\0\0\1\0\140", 14) +
                           std::string("MTrk\0\0\0\10\60\260\1\0\0\377\57\0", 16);
  const Outcome run = Korvel(Render(module, "--midi " + Write("cc.mid", midi)));
  ASSERT_EQ(run.status, 0) << run.err;
  const auto out = Output("out.wav");
  EXPECT_EQ(out[2 * 11024], input[2 * 11024] * 0.5f);
  EXPECT_EQ(out[2 * 11263], 0.0f) << "reached by the block's end";
  EXPECT_EQ(out[2 * 11999], 0.0f);
  EXPECT_NE(Korvel("info " + Write("m.korvel", module)).out.find("CC 1   -> parameter 2 Depth"), std::string::npos);
}

// The sidechain file is IN's out3 and out4, padded with silence to the
// input's length; another rate or more than two channels are refused.
TEST_F(HostControlCli, TheSidechainFileFeedsOut3AndOut4) {
  Input(2000);
  std::vector<float> side(1000);
  for (std::size_t f = 0; f < side.size(); ++f) side[f] = static_cast<float>(f % 50) / 64.0f;
  const std::string in_out3 = R"({"format": "korvel-module", "version": 1, "components": [{"slot": 0, "type": 0},
    {"slot": 1, "type": 1}], "connections": [{"from": [0, 2], "to": [1, 0]}]})";
  const Outcome run = Korvel(Render(in_out3, "--sidechain " + WriteWav("side.wav", kRate, 1, side)));
  ASSERT_EQ(run.status, 0) << run.err;
  const auto out = Output("out.wav");
  ASSERT_EQ(out.size(), 4000u);
  for (int f : {0, 49, 999}) {
    EXPECT_EQ(out[2 * f], side[f]) << f;
    EXPECT_EQ(out[2 * f + 1], side[f]) << f;
  }
  EXPECT_EQ(out[2 * 1000], 0.0f);
  EXPECT_EQ(out[2 * 1999 + 1], 0.0f);

  const struct {
    std::string options;
    std::string says;
  } refused[] = {
      {"--sidechain " + WriteWav("fast.wav", 48000, 2, std::vector<float>(200)),
       "is at 48000 Hz and the input at 44100 Hz"},
      {"--sidechain " + WriteWav("quad.wav", kRate, 4, std::vector<float>(400)), "4 channels; mono or stereo only"},
  };
  for (const auto& c : refused) {
    const Outcome bad = Korvel(Render(in_out3, c.options, "bad.wav"));
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find(c.says), std::string::npos) << bad.err;
    EXPECT_FALSE(fs::exists(Path("bad.wav")));
  }
}

TEST_F(HostControlCli, BadSettingsAndFilesFailWithOneLineAndWriteNothing) {
  Input(1000);
  const std::string truncated_midi = std::string("MThd\0\0\0\6\0\0\0\1\0\140MTrk\0\0\0\10\0\220\74", 25);
  const struct {
    std::string options;
    std::vector<std::string> words;
  } cases[] = {
      {"--set Wobble=0.5", {"--set Wobble=0.5", "no parameter named 'Wobble'"}},
      {"--set Depth=1.5", {"Depth=1.5", "0..1"}},
      {"--automation " + Write("a.csv", "0,Depth,0\n1,Speed,1\n"), {"a.csv", "line 2", "'Speed'"}},
      {"--automation " + Write("b.csv", "0,Depth,0\n1,Depth,2\n"), {"b.csv", "line 2", "outside 0..1"}},
      {"--automation " + Write("c.csv", "# header next\nseconds,parameter,value\n0;Depth;1\n"), {"c.csv", "line 3", "1 field"}},
      {"--automation " + Path("none.csv"), {"none.csv"}},
      {"--midi " + Write("e.mid", truncated_midi), {"e.mid", "byte 22", "ends inside a track"}},
      // What a file says is echoed escaped and cut short.
      {"--automation " + Write("f.csv", "0,Depth,\x1b[2J" + std::string(10'000'000, '9') + "\n"),
       {"f.csv", "line 1", "'\\x1b[2J" + std::string(36, '9') + "...' is not a number"}},
      {"--automation " + Write("g.csv", "0,\x1b]0;title\x07,1\n"), {"no parameter named '\\x1b]0;title\\x07'"}},
  };
  for (const auto& c : cases) {
    const Outcome run = Korvel(Render(kDepthModule, c.options));
    EXPECT_EQ(run.status, 1) << c.options;
    EXPECT_EQ(run.err.rfind("korvel: ", 0), 0u) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_LT(run.err.size(), 200u) << run.err;
    EXPECT_EQ(std::count_if(run.err.begin(), run.err.end(), [](unsigned char c) { return c < 0x20 && c != '\n'; }), 0)
        << run.err;
    for (const std::string& word : c.words) EXPECT_NE(run.err.find(word), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(Path("out.wav"))) << c.options;
  }
  for (const char* usage : {"--set", "--set Depth", "--midi a --midi b", "--bpm 0", "--bpm 120,x", "--bpm -3",
                            "--bpm 90 --bpm 91", "--sidechain a --sidechain b"})
    EXPECT_EQ(Korvel(Render(kDepthModule, usage)).status, 2) << usage;
  EXPECT_EQ(Korvel("render " + Write("m.korvel", kDepthModule) + " -i - --sidechain - -o " + Path("x.wav")).status, 2);
}

}  // namespace
}  // namespace korvel

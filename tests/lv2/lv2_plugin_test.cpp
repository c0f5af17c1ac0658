// The LV2 bundle as a Linux host sees it, through liblilv: discovery, ports,
// audio, presets against the command-line host, state, the "Module file"
// parameter, MIDI notes and controllers, song positions, the sidechain, two
// rates in one process and bad input.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <lv2/atom/atom.h>
#include <lv2/midi/midi.h>
#include <lv2/patch/patch.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/component.h"
#include "engine/oversampling.h"
#include "engine/type_table.h"
#include "host/lv2/lv2_names.h"
#include "tests/lv2/lilv_host.h"
#include "tests/support/alloc_counter.h"
#include "tests/support/scratch_dir.h"

namespace korvel::lv2test {
namespace {

namespace fs = std::filesystem;
constexpr double kRate = 44100.0;

struct Stereo {
  std::vector<float> left, right;
};

// Noise at half scale, the same every run.
Stereo Noise(std::size_t frames, unsigned seed = 7) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> value(-0.5f, 0.5f);
  Stereo s;
  for (std::size_t i = 0; i < frames; ++i) {
    s.left.push_back(value(random));
    s.right.push_back(value(random));
  }
  return s;
}

float MaxDifference(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size()) return INFINITY;
  float worst = 0.0f;
  for (std::size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::fabs(a[i] - b[i]));
  return worst;
}

bool WriteWav(const std::string& path, const Stereo& audio) {
  SF_INFO info = {};
  info.samplerate = static_cast<int>(kRate);
  info.channels = 2;
  info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (file == nullptr) return false;
  std::vector<float> interleaved;
  for (std::size_t i = 0; i < audio.left.size(); ++i) {
    interleaved.push_back(audio.left[i]);
    interleaved.push_back(audio.right[i]);
  }
  const auto frames = static_cast<sf_count_t>(audio.left.size());
  const bool ok = sf_writef_float(file, interleaved.data(), frames) == frames;
  return sf_close(file) == 0 && ok;
}

Stereo ReadWav(const std::string& path) {
  SF_INFO info = {};
  Stereo audio;
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr || info.channels != 2) {
    if (file != nullptr) sf_close(file);
    return audio;
  }
  std::vector<float> interleaved(2 * static_cast<std::size_t>(info.frames));
  const sf_count_t got = sf_readf_float(file, interleaved.data(), info.frames);
  sf_close(file);
  for (sf_count_t i = 0; i < got; ++i) {
    audio.left.push_back(interleaved[2 * i]);
    audio.right.push_back(interleaved[2 * i + 1]);
  }
  return audio;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// The type whose name is `name`, or -1 while no such type is registered.
int TypeNamed(const char* name) {
  for (int type = 0; type < kTypeCount; ++type) {
    if (!IsTypeAvailable(type)) continue;
    const auto* answer = reinterpret_cast<const char*>(kComponentTypeTable.dispatch[type](kGetName, nullptr, nullptr));
    if (answer != nullptr && std::strcmp(answer, name) == 0) return type;
  }
  return -1;
}

// IN times a value source, to OUT: the output is the input scaled by the
// source's value (a constant OUT would be silence).
std::string ScaledByModule(int source_type) {
  return R"({"format": "korvel-module", "version": 1, "name": "scaled", "components": [
    {"slot": 0, "type": 0, "x": 0, "y": 0}, {"slot": 1, "type": )" +
         std::to_string(source_type) + R"(, "x": 0, "y": 100},
    {"slot": 2, "type": 12, "x": 200, "y": 0}, {"slot": 3, "type": 1, "x": 400, "y": 0}],
  "connections": [{"from": [0, 0], "to": [2, 0]}, {"from": [1, 0], "to": [2, 1]}, {"from": [2, 0], "to": [3, 0]}]})";
}

struct StateDeleter {
  void operator()(LilvState* state) const { lilv_state_free(state); }
};
using State = std::unique_ptr<LilvState, StateDeleter>;

class Lv2PluginTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Hosts find plug-ins through LV2_PATH; ctest sets it, a bare run gets
    // the build's bundle folder.
    setenv("LV2_PATH", KORVEL_LV2_PATH, 0);
    world_ = new World(lv2::kPluginUri);
  }
  static void TearDownTestSuite() {
    delete world_;
    world_ = nullptr;
  }

  void SetUp() override {
    ASSERT_NE(world_->plugin(), nullptr) << "plug-in not found on LV2_PATH=" << std::getenv("LV2_PATH");
  }

  testing::ScratchDir scratch{"lv2"};
  std::string Path(const std::string& name) const { return scratch.Path(name); }
  static std::string Example(const std::string& name) { return std::string(KORVEL_EXAMPLES) + "/" + name; }

  std::unique_ptr<Instance> NewInstance(double rate = kRate) {
    auto instance = std::make_unique<Instance>(*world_, rate);
    EXPECT_TRUE(instance->ok());
    return instance;
  }

  // Sets the "Module file" parameter; the worker loads it after one frame.
  static void LoadPath(Instance& instance, const std::string& path) {
    instance.SendModuleFile(path);
    const float silence[1] = {0.0f};
    instance.Run(silence, silence, 1);
  }
  void LoadModule(Instance& instance, const std::string& image) {
    std::ofstream(Path("module.korvel")) << image;
    LoadPath(instance, Path("module.korvel"));
  }

  static Stereo Render(Instance& instance, const Stereo& input, std::uint32_t block = 256) {
    Stereo out;
    instance.Render(input.left, input.right, block, out.left, out.right);
    return out;
  }

  static bool Logged(Instance& instance, const std::string& part) {
    for (const std::string& line : instance.log())
      if (line.find(part) != std::string::npos) return true;
    return false;
  }

  static World* world_;
};

World* Lv2PluginTest::world_ = nullptr;

TEST_F(Lv2PluginTest, PortsAsDeclared) {
  const LilvPlugin* plugin = world_->plugin();
  LilvWorld* w = world_->world();
  ASSERT_EQ(lilv_plugin_get_num_ports(plugin), lv2::kPortCount);
  LilvNode* audio = lilv_new_uri(w, LV2_CORE__AudioPort);
  LilvNode* input = lilv_new_uri(w, LV2_CORE__InputPort);
  LilvNode* control = lilv_new_uri(w, LV2_CORE__ControlPort);
  LilvNode* atom = lilv_new_uri(w, LV2_ATOM__AtomPort);
  LilvNode* midi = lilv_new_uri(w, LV2_MIDI__MidiEvent);
  const char* audio_symbols[] = {"in_left", "in_right", "out_left", "out_right"};
  for (std::uint32_t i = 0; i < 4; ++i) {
    const LilvPort* port = lilv_plugin_get_port_by_index(plugin, i);
    EXPECT_STREQ(lilv_node_as_string(lilv_port_get_symbol(plugin, port)), audio_symbols[i]);
    EXPECT_TRUE(lilv_port_is_a(plugin, port, audio));
    EXPECT_EQ(lilv_port_is_a(plugin, port, input), i < 2);
  }
  float minimum[lv2::kPortCount], maximum[lv2::kPortCount], initial[lv2::kPortCount];
  lilv_plugin_get_port_ranges_float(plugin, minimum, maximum, initial);
  for (int p = 0; p < lv2::kParameterPortCount; ++p) {
    const LilvPort* port = lilv_plugin_get_port_by_index(plugin, lv2::kFirstParameter + p);
    EXPECT_STREQ(lilv_node_as_string(lilv_port_get_symbol(plugin, port)), ("param" + std::to_string(p + 1)).c_str());
    LilvNode* name = lilv_port_get_name(plugin, port);
    EXPECT_STREQ(lilv_node_as_string(name), ("Parameter " + std::to_string(p + 1)).c_str());
    lilv_node_free(name);
    EXPECT_TRUE(lilv_port_is_a(plugin, port, control) && lilv_port_is_a(plugin, port, input));
    const std::uint32_t i = lv2::kFirstParameter + p;
    EXPECT_EQ(minimum[i], 0.0f);
    EXPECT_EQ(maximum[i], 1.0f);
    EXPECT_EQ(initial[i], 0.5f);
  }
  const LilvPort* midi_in = lilv_plugin_get_port_by_index(plugin, lv2::kMidiIn);
  EXPECT_TRUE(lilv_port_is_a(plugin, midi_in, atom) && lilv_port_is_a(plugin, midi_in, input));
  EXPECT_TRUE(lilv_port_supports_event(plugin, midi_in, midi));
  EXPECT_EQ(lilv_plugin_get_num_ports_of_class(plugin, atom, input, nullptr), 1u);
  for (LilvNode* node : {audio, input, control, atom, midi}) lilv_node_free(node);
}

TEST_F(Lv2PluginTest, DefaultModulePassesInputAtAnyBlockLength) {
  auto instance = NewInstance();
  const Stereo input = Noise(20000);
  // Odd lengths, and one longer than the module's own block limit.
  for (std::uint32_t block : {1u, 37u, 256u, 5000u}) {
    const Stereo out = Render(*instance, input, block);
    EXPECT_EQ(out.left, input.left) << "block " << block;
    EXPECT_EQ(out.right, input.right) << "block " << block;
  }
}

TEST_F(Lv2PluginTest, RunAllocatesNothing) {
  auto instance = NewInstance();
  const Stereo input = Noise(6000);
  instance->Run(input.left.data(), input.right.data(), 256);
  instance->parameter(0) = 0.3f;
  instance->SendMidi(5, LV2_MIDI_MSG_NOTE_ON, 60, 100);
  instance->SendMidi(40, LV2_MIDI_MSG_CONTROLLER, 7, 100);
  Instance::Position position;
  position.beats_per_minute = 128.0;
  instance->SendPosition(4500, position);
  instance->SendMidi(5000, LV2_MIDI_MSG_NOTE_OFF, 60, 0);
  instance->SetSidechain(input.right.data(), input.left.data());
  {
    testing::AllocationCounter counter;
    instance->Run(input.left.data(), input.right.data(), 6000);
    EXPECT_EQ(counter.count(), 0u);
  }
  // The counter does see what the plug-in allocates (saving builds the image).
  testing::AllocationCounter counter;
  State saved(instance->Save());
  EXPECT_GT(counter.count(), 0u);
}

// Every example is a preset, and applying it gives what `korvel render`
// gives for the same file and input.
TEST_F(Lv2PluginTest, PresetsMatchTheCommandLineHost) {
  std::vector<std::string> examples;
  for (const auto& entry : fs::directory_iterator(KORVEL_EXAMPLES))
    if (entry.path().extension() == ".korvel") examples.push_back(entry.path().stem().string());
  std::sort(examples.begin(), examples.end());
  std::vector<std::string> expected;
  for (const std::string& name : examples) expected.push_back(lv2::kPresetUriPrefix + name);
  std::sort(expected.begin(), expected.end());
  ASSERT_EQ(world_->Presets(), expected);

  const Stereo input = Noise(2 * static_cast<std::size_t>(kRate));
  ASSERT_TRUE(WriteWav(Path("in.wav"), input));
  for (const std::string& name : examples) {
    SCOPED_TRACE(name);
    const std::string rendered = Path(name + ".wav");
    const std::string command = std::string(KORVEL_CLI) + " render " + Example(name + ".korvel") + " -i " +
                                Path("in.wav") + " -o " + rendered + " --format f32 --tail 0 >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const Stereo reference = ReadWav(rendered);
    ASSERT_EQ(reference.left.size(), input.left.size());

    State preset(world_->PresetState(lv2::kPresetUriPrefix + name));
    ASSERT_NE(preset, nullptr);
    auto instance = NewInstance();
    instance->Restore(preset.get());
    Stereo out = Render(*instance, input);
    // korvel render takes an oversampled module's latency out; a host
    // does it from the latency port, which says exactly as much.
    std::ifstream file(Example(name + ".korvel"));
    const auto latency = static_cast<std::ptrdiff_t>(
        OversamplingLatency(nlohmann::json::parse(file).value("oversampling", 1)));
    EXPECT_EQ(instance->latency(), static_cast<float>(latency));
    if (name == "drive-8x") {
      EXPECT_EQ(latency, 89);
    }
    for (auto* channel : {&out.left, &out.right}) channel->erase(channel->begin(), channel->begin() + latency);
    Stereo expected = reference;
    for (auto* channel : {&expected.left, &expected.right}) channel->resize(channel->size() - latency);
    EXPECT_LE(MaxDifference(out.left, expected.left), 1e-6f);
    EXPECT_LE(MaxDifference(out.right, expected.right), 1e-6f);
    EXPECT_TRUE(instance->log().empty());
  }
}

TEST_F(Lv2PluginTest, SavedStateRestoresIntoAnotherInstance) {
  auto first = NewInstance();
  State preset(world_->PresetState(std::string(lv2::kPresetUriPrefix) + "echo"));
  first->Restore(preset.get());
  first->parameter(2) = 0.25f;
  const Stereo input = Noise(30000);
  Render(*first, input);  // fills the echo's delay lines

  State saved(first->Save());
  ASSERT_NE(saved, nullptr);
  // The state carries the module image, readable as the module's JSON.
  std::unique_ptr<char, decltype(&std::free)> turtle(
      lilv_state_to_string(world_->world(), world_->urids().map(), world_->urids().unmap(), saved.get(),
                           "urn:korvel:test:saved", nullptr),
      &std::free);
  EXPECT_NE(std::string(turtle.get()).find("korvel-module"), std::string::npos);

  auto second = NewInstance();
  second->Restore(saved.get());
  EXPECT_EQ(second->parameter(2), 0.25f);
  first->Restore(saved.get());  // both start from the image: delay lines silent
  const Stereo a = Render(*first, input);
  const Stereo b = Render(*second, input);
  EXPECT_EQ(a.left, b.left);
  EXPECT_EQ(a.right, b.right);
  EXPECT_GT(MaxDifference(a.left, input.left), 0.01f);  // it is the echo, not the input
}

TEST_F(Lv2PluginTest, ModuleFileParameterLoadsOffTheAudioThread) {
  auto instance = NewInstance();
  const std::string lowpass = Example("lowpass.korvel");
  instance->SendModuleFile(lowpass);
  const Stereo input = Noise(4096);
  instance->Run(input.left.data(), input.right.data(), 1);  // the worker loads it after this run
  instance->Run(input.left.data(), input.right.data(), 1);  // the load is reported on notify
  EXPECT_EQ(instance->reported_file(), lowpass);
  EXPECT_TRUE(instance->log().empty());

  auto reference = NewInstance();
  State preset(world_->PresetState(std::string(lv2::kPresetUriPrefix) + "lowpass"));
  reference->Restore(preset.get());
  reference->Run(input.left.data(), input.right.data(), 1);  // the frame the instance ran after loading
  const Stereo expected = Render(*reference, input);
  EXPECT_EQ(Render(*instance, input).left, expected.left);

  // Refused files: the reason is logged and the lowpass stays. The worker
  // never waits on what it is given (a FIFO with no writer would block a
  // plain read for ever).
  std::ofstream(Path("text.korvel")) << "hello";
  std::ofstream(Path("empty.korvel"));
  ASSERT_EQ(mkfifo(Path("fifo.korvel").c_str(), 0600), 0);
  const std::pair<std::string, std::string> refused[] = {
      {Path("missing.korvel"), "No such file or directory"},
      {Path("text.korvel"), "the text is not JSON"},
      {scratch.dir().string(), "it is a directory"},
      {"/dev/zero", "it is a device, not a file"},
      {"/dev/null", "it is a device, not a file"},
      {Path("fifo.korvel"), "it is a pipe or FIFO"},
      {Path("empty.korvel"), "it is empty"},
      {"/proc/self/status", "the text is not JSON"},
  };
  for (const auto& [bad, reason] : refused) {
    SCOPED_TRACE(bad);
    instance->log().clear();
    LoadPath(*instance, bad);
    ASSERT_EQ(instance->log().size(), 1u);
    EXPECT_TRUE(Logged(*instance, "couldn't load \"" + bad + "\": ")) << instance->log()[0];
    EXPECT_TRUE(Logged(*instance, reason)) << instance->log()[0];
    reference->Restore(preset.get());
    instance->Restore(preset.get());
    EXPECT_EQ(Render(*instance, input).left, Render(*reference, input).left);
  }
  // A restored state is not a file: asked, the plug-in names none.
  instance->SendGetModuleFile();
  instance->Run(input.left.data(), input.right.data(), 1);
  EXPECT_EQ(instance->reported_file(), "");
  LoadPath(*instance, lowpass);
  instance->SendGetModuleFile();
  instance->Run(input.left.data(), input.right.data(), 1);
  EXPECT_EQ(instance->reported_file(), lowpass);
}

// A host's worker thread loads modules while its audio thread runs: no
// race, no crash, and the last file loaded is the module afterwards.
TEST_F(Lv2PluginTest, ConcurrentModuleFileLoadsBesideTheAudio) {
  auto instance = NewInstance();
  const Stereo input = Noise(256);
  std::atomic<bool> loading{true};
  std::thread worker([&] {
    for (int i = 0; i < 6; ++i) instance->WorkOnThisThread(Example(i % 2 == 0 ? "echo.korvel" : "lowpass.korvel"));
    loading = false;
  });
  while (loading) {
    instance->parameter(0) = instance->parameter(0) == 0.5f ? 0.25f : 0.5f;
    instance->Run(input.left.data(), input.right.data(), 256);
  }
  worker.join();
  instance->Run(input.left.data(), input.right.data(), 1);  // hands over the last responses
  instance->Run(input.left.data(), input.right.data(), 1);  // reports the file
  EXPECT_EQ(instance->reported_file(), Example("lowpass.korvel"));
  EXPECT_TRUE(instance->log().empty());
}

TEST_F(Lv2PluginTest, BadStateLeavesTheModuleAndSaysWhy) {
  auto instance = NewInstance();
  State lowpass(world_->PresetState(std::string(lv2::kPresetUriPrefix) + "lowpass"));
  instance->Restore(lowpass.get());
  const Stereo input = Noise(3000);
  auto reference = NewInstance();
  reference->Restore(lowpass.get());

  struct Case {
    std::string object, logged;
  } cases[] = {
      {"\"not a module\"", "couldn't restore the module from the saved state: "},
      {"\"" + lv2test::TurtleEscaped(R"({"format": "korvel-module", "version": 1, "components": [{"slot": 0, "type": 999}]})") +
           "\"",
       "couldn't restore the module from the saved state: "},
      {"42", "its image is not text"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.object);
    State bad(world_->StateFromTurtle(lv2test::StateTurtle(c.object)));
    ASSERT_NE(bad, nullptr);
    instance->log().clear();
    instance->Restore(bad.get());
    ASSERT_EQ(instance->log().size(), 1u);
    EXPECT_TRUE(Logged(*instance, c.logged)) << instance->log()[0];
    EXPECT_TRUE(Logged(*instance, "the module is unchanged"));
    EXPECT_EQ(Render(*instance, input).left, Render(*reference, input).left);
  }
}

// Two instances in one process at 44.1 and 96 kHz, their blocks taken in
// turn: each renders exactly what it renders alone (filters and delays
// computed at its own rate).
TEST_F(Lv2PluginTest, TwoInstancesAtDifferentRatesRenderWhatEachRendersAlone) {
  const Stereo input = Noise(20000);
  State lowpass(world_->PresetState(std::string(lv2::kPresetUriPrefix) + "lowpass"));
  const auto alone = [&](double rate) {
    auto instance = NewInstance(rate);
    instance->Restore(lowpass.get());
    return Render(*instance, input);
  };
  const Stereo expected_44 = alone(44100.0), expected_96 = alone(96000.0);
  ASSERT_NE(expected_44.left, expected_96.left) << "the filter must depend on the rate";

  auto at_44 = NewInstance(44100.0), at_96 = NewInstance(96000.0);
  at_44->Restore(lowpass.get());
  at_96->Restore(lowpass.get());
  Stereo out_44, out_96;
  for (std::size_t done = 0; done < input.left.size(); done += 500) {
    for (const auto& [instance, out] : {std::pair{at_44.get(), &out_44}, std::pair{at_96.get(), &out_96}}) {
      instance->Run(&input.left[done], &input.right[done], 500);
      out->left.insert(out->left.end(), instance->out_left().begin(), instance->out_left().begin() + 500);
    }
  }
  EXPECT_EQ(out_44.left, expected_44.left);
  EXPECT_EQ(out_96.left, expected_96.left);
}

// time:Position at its frame, in the host's beat unit, as quarter notes;
// a tempo that is 0, negative or missing changes nothing.
TEST_F(Lv2PluginTest, SongPositionsReachTheTempoValuesAtTheirFrame) {
  const int bpm = TypeNamed("BPM");
  ASSERT_GE(bpm, 0);
  auto instance = NewInstance();
  LoadModule(*instance, ScaledByModule(bpm));
  const std::vector<float> ones(512, 1.0f);
  Instance::Position position;
  position.beats_per_minute = 240.0;  // eighth notes: 120 quarter notes
  position.beat_unit = 8;
  position.beats_per_bar = 6;
  position.bar = 3;
  position.bar_beat = 1.5;
  position.speed = 1.0;
  instance->SendPosition(100, position);
  instance->Run(ones.data(), ones.data(), 512);
  EXPECT_EQ(instance->out_left()[99], 1.0f);
  EXPECT_EQ(instance->out_left()[100], 120.0f);
  for (double bad : {0.0, -60.0}) {
    Instance::Position tempo;
    tempo.beats_per_minute = bad;
    instance->SendPosition(0, tempo);
  }
  instance->SendPosition(10, Instance::Position{});
  instance->Run(ones.data(), ones.data(), 512);
  EXPECT_EQ(instance->out_left()[511], 120.0f);
}

// A Slider whose parameter is bound to controller 7 follows it from the
// Control Change's frame, past the module's own block too.
TEST_F(Lv2PluginTest, ControlChangesMoveTheBoundParameterAtTheirFrame) {
  const int slider = TypeNamed("Slider");
  ASSERT_GE(slider, 0);
  auto instance = NewInstance();
  std::string image = ScaledByModule(slider);
  image.insert(image.find("\"components\""), R"("parameters": [{"controller": 7}], )");
  LoadModule(*instance, image);
  const std::vector<float> ones(Instance::kMaxFrames, 1.0f);
  instance->SendMidi(4800, LV2_MIDI_MSG_CONTROLLER | 3, 7, 0);  // any channel
  instance->Run(ones.data(), ones.data(), 6000);
  EXPECT_EQ(instance->out_left()[4799], 0.5f);
  EXPECT_EQ(instance->out_left()[5999], 0.0f);
  instance->SendMidi(0, LV2_MIDI_MSG_CONTROLLER, 8, 127);  // bound to nothing
  instance->Run(ones.data(), ones.data(), 64);
  EXPECT_EQ(instance->out_left()[63], 0.0f);
}

// The sidechain pair is the IN component's out3 and out4, each channel in
// both of the module's; unconnected, silence. The latency port says 0.
TEST_F(Lv2PluginTest, TheSidechainReachesInsOut3AndOut4) {
  auto instance = NewInstance();
  const Stereo input = Noise(600), side = Noise(600, 11);
  for (int output : {2, 3}) {
    LoadModule(*instance, R"({"format": "korvel-module", "version": 1, "components": [{"slot": 0, "type": 0},
      {"slot": 1, "type": 1}], "connections": [{"from": [0, )" + std::to_string(output) + R"(], "to": [1, 0]}]})");
    instance->SetSidechain(side.left.data(), side.right.data());
    const Stereo out = Render(*instance, input, 300);
    const std::vector<float>& expected = output == 2 ? side.left : side.right;
    EXPECT_EQ(out.left, expected);
    EXPECT_EQ(out.right, expected);
    instance->SetSidechain(nullptr, nullptr);
    EXPECT_EQ(Render(*instance, input, 300).left, std::vector<float>(600, 0.0f));
  }
  EXPECT_EQ(instance->latency(), 0.0f);
}

// A host that passes a feature without a URI is not a reason to fail.
TEST_F(Lv2PluginTest, AFeatureWithoutAUriIsSkipped) {
  Instance instance(*world_, kRate, true, true);
  ASSERT_TRUE(instance.ok());
  const Stereo input = Noise(256);
  instance.Run(input.left.data(), input.right.data(), 256);
  EXPECT_EQ(std::vector<float>(instance.out_left().begin(), instance.out_left().begin() + 256), input.left);
}

// The file reported is the one whose module plays: after a refusal, the
// one before (or none); after a project is reopened, the one it came from.
// An empty saved module is refused as empty.
TEST_F(Lv2PluginTest, TheReportedFileIsTheOneThatPlays) {
  auto instance = NewInstance();
  const Stereo input = Noise(64);
  LoadPath(*instance, Path("missing.korvel"));
  instance->Run(input.left.data(), input.right.data(), 1);
  EXPECT_EQ(instance->reports(), 1);
  EXPECT_EQ(instance->reported_file(), "") << "a refused file is not shown: none plays";
  const std::string lowpass = Example("lowpass.korvel");
  LoadPath(*instance, lowpass);
  LoadPath(*instance, Path("missing.korvel"));
  instance->Run(input.left.data(), input.right.data(), 1);
  EXPECT_EQ(instance->reported_file(), lowpass);

  State saved(instance->Save());
  auto reopened = NewInstance();
  reopened->Restore(saved.get());
  reopened->Run(input.left.data(), input.right.data(), 1);
  EXPECT_EQ(reopened->reported_file(), lowpass);

  State empty(world_->StateFromTurtle(lv2test::StateTurtle("\"\"")));
  reopened->Restore(empty.get());
  ASSERT_EQ(reopened->log().size(), 1u);
  EXPECT_TRUE(Logged(*reopened, "the saved module is empty, not a module; the module is unchanged"))
      << reopened->log()[0];
}

// The host's rate reaches the engine and parameter changes keep it.
TEST_F(Lv2PluginTest, SampleRateFromTheHost) {
  const int samplerate = TypeNamed("Samplerate");
  ASSERT_GE(samplerate, 0);
  auto instance = NewInstance(48000.0);
  LoadModule(*instance, ScaledByModule(samplerate));
  instance->parameter(0) = 0.75f;  // SetParameterValue must not bring back 44100
  const std::vector<float> ones(64, 1.0f / 65536.0f);
  instance->Run(ones.data(), ones.data(), 64);
  EXPECT_FLOAT_EQ(instance->out_left()[10], 48000.0f / 65536.0f);

  EXPECT_FALSE(Instance(*world_, 100.0).ok());  // below any audio rate: refused
}

TEST_F(Lv2PluginTest, WithoutAWorkerFilesAreIgnored) {
  Instance instance(*world_, kRate, false);
  ASSERT_TRUE(instance.ok());
  EXPECT_TRUE(Logged(instance, "no worker"));
  instance.SendModuleFile(Example("lowpass.korvel"));
  const Stereo input = Noise(512);
  instance.Run(input.left.data(), input.right.data(), 512);
  EXPECT_EQ(std::vector<float>(instance.out_left().begin(), instance.out_left().begin() + 512), input.left);
  // A module from a UI is refused, saying why.
  instance.SendModule(ReadText(Example("lowpass.korvel")));
  instance.Run(input.left.data(), input.right.data(), 512);
  ASSERT_EQ(instance.statuses().size(), 1u);
  EXPECT_NE(instance.statuses()[0].find("the host offers no worker"), std::string::npos);
  EXPECT_EQ(std::vector<float>(instance.out_left().begin(), instance.out_left().begin() + 512), input.left);
}

TEST_F(Lv2PluginTest, ParameterOneDrivesASlider) {
  const int slider = TypeNamed("Slider");
  ASSERT_GE(slider, 0) << "no \"Slider\" component type";
  auto instance = NewInstance();
  LoadModule(*instance, ScaledByModule(slider));
  const std::vector<float> ones(256, 1.0f);
  instance->parameter(0) = 0.3f;
  instance->Run(ones.data(), ones.data(), 256);  // may move toward the new value
  instance->Run(ones.data(), ones.data(), 256);
  EXPECT_FLOAT_EQ(instance->out_left()[0], 0.3f);
  EXPECT_FLOAT_EQ(instance->out_right()[255], 0.3f);
  instance->parameter(1) = 0.9f;  // another parameter: the slider stays
  instance->Run(ones.data(), ones.data(), 256);
  EXPECT_FLOAT_EQ(instance->out_left()[100], 0.3f);
}

TEST_F(Lv2PluginTest, MidiNotesGateANoteTriggerAtTheirFrame) {
  const int trigger = TypeNamed("Note Trigger");
  ASSERT_GE(trigger, 0) << "no \"Note Trigger\" component type";
  auto instance = NewInstance();
  LoadModule(*instance, ScaledByModule(trigger));
  const std::vector<float> ones(Instance::kMaxFrames, 1.0f);
  instance->SendMidi(37, LV2_MIDI_MSG_NOTE_ON, 69, 100);
  // Past the module's own block limit: the wrapper splits the run there.
  instance->SendMidi(5000, LV2_MIDI_MSG_NOTE_ON, 69, 0);  // velocity 0: a note off
  instance->Run(ones.data(), ones.data(), 6000);
  const std::vector<float>& out = instance->out_left();
  EXPECT_EQ(out[36], 0.0f);
  EXPECT_EQ(out[37], 1.0f);
  EXPECT_EQ(out[4999], 1.0f);
  EXPECT_EQ(out[5000], 0.0f);
}

// A one-second 440 Hz tone as a 16-bit WAV.
void WriteTone(const std::string& path) {
  SF_INFO info{};
  info.samplerate = 44100;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr) << path;
  std::vector<float> tone(44100);
  for (std::size_t k = 0; k < tone.size(); ++k) tone[k] = 0.5f * static_cast<float>(std::sin(2 * M_PI * 440.0 * k / 44100.0));
  sf_writef_float(file, tone.data(), static_cast<sf_count_t>(tone.size()));
  sf_close(file);
}

// Note 60 from frame 10 of a 2000-frame run: the left output.
std::vector<float> PlayNote(Instance& instance) {
  const std::vector<float> silence(2000, 0.0f);
  instance.SendMidi(10, LV2_MIDI_MSG_NOTE_ON, 60, 100);
  instance.Run(silence.data(), silence.data(), 2000);
  return instance.out_left();
}

TEST_F(Lv2PluginTest, SamplerPresetFindsItsSoundInTheBundle) {
  State preset(world_->PresetState(std::string(lv2::kPresetUriPrefix) + "sampler"));
  ASSERT_NE(preset, nullptr);
  auto instance = NewInstance();
  instance->Restore(preset.get());
  const std::vector<float> out = PlayNote(*instance);
  EXPECT_EQ(out[9], 0.0f);
  EXPECT_GT(*std::max_element(out.begin() + 10, out.begin() + 2000), 0.05f);
  EXPECT_TRUE(instance->log().empty()) << instance->log()[0];
}

// A session saved with its sound, moved to another folder and opened in a
// fresh instance: the host maps the sound's path, so it is found there.
TEST_F(Lv2PluginTest, SessionWithASoundOpensFromAnotherFolder) {
  const fs::path first = scratch.dir() / "session", moved = scratch.dir() / "moved";
  fs::create_directories(first / "sounds");
  WriteTone((first / "sounds" / "tone.wav").string());
  const std::string module = R"({"format": "korvel-module", "version": 1, "components": [
    {"slot": 0, "type": 90}, {"slot": 1, "type": 50, "file": "sounds/tone.wav"}, {"slot": 2, "type": 1}],
    "connections": [{"from": [0, 0], "to": [1, 0]}, {"from": [1, 0], "to": [2, 0]}]})";
  std::ofstream((first / "sampler.korvel").string()) << module;
  auto instance = NewInstance();
  LoadPath(*instance, (first / "sampler.korvel").string());
  ASSERT_TRUE(instance->log().empty()) << instance->log()[0];
  const std::vector<float> played = PlayNote(*instance);
  ASSERT_GT(*std::max_element(played.begin(), played.end()), 0.4f);

  State saved(instance->SaveInto(first.string()));
  ASSERT_NE(saved, nullptr);
  ASSERT_EQ(lilv_state_save(world_->world(), world_->urids().map(), world_->urids().unmap(), saved.get(),
                            "urn:korvel:test:session", first.c_str(), "state.ttl"),
            0);
  const std::string turtle = testing::ReadBytes((first / "state.ttl").string());
  EXPECT_NE(turtle.find("\"file\": \"sounds/tone.wav\""), std::string::npos) << turtle;
  EXPECT_EQ(turtle.find(first.string()), std::string::npos) << "no absolute path in the state";

  fs::rename(first, moved);
  LilvNode* subject = lilv_new_uri(world_->world(), "urn:korvel:test:session");
  State reopened(lilv_state_new_from_file(world_->world(), world_->urids().map(), subject,
                                          (moved / "state.ttl").c_str()));
  lilv_node_free(subject);
  ASSERT_NE(reopened, nullptr);
  auto fresh = NewInstance();
  fresh->Restore(reopened.get());
  EXPECT_TRUE(fresh->log().empty()) << fresh->log()[0];
  EXPECT_EQ(PlayNote(*fresh), played);
}

TEST_F(Lv2PluginTest, AMissingSoundIsLoggedAndTheRestPlays) {
  auto instance = NewInstance();
  const std::string module = R"({"format": "korvel-module", "version": 1, "components": [
    {"slot": 0, "type": 0}, {"slot": 1, "type": 50, "label": "kick", "file": "gone.wav"}, {"slot": 2, "type": 1}],
    "connections": [{"from": [0, 0], "to": [2, 0]}]})";
  LoadModule(*instance, module);
  ASSERT_EQ(instance->log().size(), 1u);
  EXPECT_TRUE(Logged(*instance, "Sampler \"kick\" (slot 1): couldn't load \"" + Path("gone.wav") +
                                    "\": No such file or directory; it stays silent"))
      << instance->log()[0];
  const Stereo input = Noise(512);
  const Stereo out = Render(*instance, input);
  EXPECT_EQ(out.left, input.left) << "the rest of the module is as loaded";
}


// ---- The module property: what a UI reads and writes over the ports.

// IN wired to OUT, and `extra` constants beside them wired to nothing;
// their labels and the description in characters of 2 and 3 bytes, so
// pieces cut through text of every width.
std::string WiredModule(int extra, const std::string& name) {
  std::string description;
  for (int i = 0; i < 300; ++i) description += "\xE9\x9F\xB3";
  std::string module = R"({"format": "korvel-module", "version": 1, "name": ")" + name + R"(", "description": ")" +
                       description + R"(", "components": [
    {"slot": 0, "type": 0, "x": 20, "y": 40}, {"slot": 1, "type": 1, "x": 420, "y": 40})";
  for (int i = 0; i < extra; ++i) {
    module += R"(, {"slot": )" + std::to_string(i + 2) + R"(, "type": 80, "label": ")" + "\xC3\xA9" + std::to_string(i) +
              R"(", "x": )" + std::to_string(20 + i % 10 * 60) + R"(, "y": )" + std::to_string(100 + i / 10 * 40) +
              R"(, "value": )" + std::to_string(i) + "}";
  }
  return module + R"(], "connections": [{"from": [0, 0], "to": [1, 0]}]})";
}

std::size_t ComponentCount(const std::string& image) {
  return nlohmann::json::parse(image).at("components").size();
}

// What a UI opening on a playing module reads is that module: the one
// loaded from a file, the default before it; and a second instance given
// that text plays exactly the same.
TEST_F(Lv2PluginTest, GetAnswersTheModuleThatPlays) {
  auto instance = NewInstance();
  const Stereo input = Noise(2048);
  instance->SendGetModule();
  instance->Run(input.left.data(), input.right.data(), 64);  // the worker writes the text after this run
  instance->Run(input.left.data(), input.right.data(), 64);  // and it goes out here
  ASSERT_EQ(instance->modules().size(), 1u);
  EXPECT_EQ(ComponentCount(instance->modules()[0]), 2u) << "the default module, IN and OUT";

  LoadPath(*instance, Example("lowpass.korvel"));
  instance->Run(input.left.data(), input.right.data(), 1);
  // A loaded file is sent unasked, so an open UI follows it; asked, the same.
  ASSERT_EQ(instance->modules().size(), 2u);
  instance->SendGetModule();
  instance->Run(input.left.data(), input.right.data(), 1);
  instance->Run(input.left.data(), input.right.data(), 1);
  ASSERT_EQ(instance->modules().size(), 3u);
  const std::string text = instance->modules().back();
  EXPECT_EQ(text, instance->modules()[1]);
  const auto json = nlohmann::json::parse(text);
  EXPECT_EQ(json.at("name"), "Lowpass 800 Hz");
  EXPECT_EQ(json.at("components").size(), 5u);
  EXPECT_EQ(instance->broken_pieces(), 0);

  auto copy = NewInstance();
  copy->SendModule(text);
  copy->Run(input.left.data(), input.right.data(), 1);
  instance->Restore(State(world_->PresetState(std::string(lv2::kPresetUriPrefix) + "lowpass")).get());
  EXPECT_EQ(Render(*copy, input).left, Render(*instance, input).left);
  EXPECT_TRUE(copy->statuses().empty());
}

// A module set by a UI is loaded on the worker and heard from the first
// block after it ran; IN->OUT, kept by the new module, never misses a
// sample, before, during and after.
TEST_F(Lv2PluginTest, SetIsHeardFromTheNextBlockAndKeepsAnUntouchedPartFlowing) {
  auto instance = NewInstance();
  const Stereo input = Noise(4096);
  instance->SendModule(WiredModule(3, "three more"));
  for (std::size_t at = 0; at < 2048; at += 256) {
    instance->Run(&input.left[at], &input.right[at], 256);
    ASSERT_TRUE(std::equal(input.left.begin() + static_cast<std::ptrdiff_t>(at),
                           input.left.begin() + static_cast<std::ptrdiff_t>(at + 256), instance->out_left().begin()))
        << "block at " << at;
  }
  ASSERT_EQ(instance->modules().size(), 1u) << "the module taken is sent back";
  EXPECT_EQ(ComponentCount(instance->modules()[0]), 5u);

  // Now the lowpass: the block that carried it still passes, the next one
  // is filtered, as a fresh lowpass filters it.
  instance->SendModule(ReadText(Example("lowpass.korvel")));
  instance->Run(input.left.data(), input.right.data(), 256);
  EXPECT_TRUE(std::equal(input.left.begin(), input.left.begin() + 256, instance->out_left().begin()));
  auto reference = NewInstance();
  reference->Restore(State(world_->PresetState(std::string(lv2::kPresetUriPrefix) + "lowpass")).get());
  const Stereo tail = {{input.left.begin() + 256, input.left.end()}, {input.right.begin() + 256, input.right.end()}};
  EXPECT_EQ(Render(*instance, tail).left, Render(*reference, tail).left);
  // It is no file's: the file reported is none, and a saved project keeps it.
  EXPECT_EQ(instance->reported_file(), "");
  auto reopened = NewInstance();
  reopened->Restore(State(instance->Save()).get());
  reference->Restore(State(world_->PresetState(std::string(lv2::kPresetUriPrefix) + "lowpass")).get());
  EXPECT_EQ(Render(*reopened, tail).left, Render(*reference, tail).left);
  EXPECT_TRUE(instance->log().empty());
}

// An edit from a UI changes only what differs: a box moved in the echo
// leaves the echo ringing, exactly as in an instance that was not edited.
TEST_F(Lv2PluginTest, AnEditKeepsTheEchoRinging) {
  const std::string echo = ReadText(Example("echo.korvel"));
  auto edited = NewInstance();
  auto untouched = NewInstance();
  const Stereo silence = {std::vector<float>(96000, 0.0f), std::vector<float>(96000, 0.0f)};
  const Stereo burst = Noise(4096);
  for (Instance* i : {edited.get(), untouched.get()}) {
    i->SendModule(echo);
    Render(*i, {std::vector<float>(256, 0.0f), std::vector<float>(256, 0.0f)});
  }
  Render(*edited, burst);
  Render(*untouched, burst);
  auto moved = nlohmann::json::parse(echo);
  moved["components"][0]["x"] = moved["components"][0]["x"].get<int>() + 40;
  edited->SendModule(moved.dump());
  const Stereo after = Render(*edited, silence);
  EXPECT_EQ(after.left, Render(*untouched, silence).left);
  EXPECT_NE(*std::max_element(after.left.begin(), after.left.end()), 0.0f) << "the echo rings on";
}

// A module that is not one is refused with its reason on the status
// property and in the log, and the lowpass plays on; pieces that do not
// join are refused the same way, and the next whole module is taken.
TEST_F(Lv2PluginTest, ABadModuleIsRefusedWithItsReasonAndChangesNothing) {
  auto instance = NewInstance();
  State lowpass(world_->PresetState(std::string(lv2::kPresetUriPrefix) + "lowpass"));
  instance->Restore(lowpass.get());
  auto reference = NewInstance();
  const Stereo input = Noise(3000);
  const std::string good = WiredModule(1, "good");
  instance->Run(input.left.data(), input.right.data(), 1);  // sends the restored module

  struct Case {
    const char* name;
    std::function<void()> send;
    std::string reason;
    bool logged = true;  // refusals made on the worker are logged too
  } cases[] = {
      {"not JSON", [&] { instance->SendModule("hello"); }, "the text is not JSON"},
      {"unknown type",
       [&] { instance->SendModule(R"({"format": "korvel-module", "version": 1, "components": [{"slot": 0, "type": 999}]})"); },
       "999"},
      {"empty", [&] { instance->SendModule(""); }, "the module is empty, not a module"},
      {"too large", [&] { instance->SendModulePiece("{", 0, std::int64_t{5} << 20); }, "is too large"},
      {"a piece lost",
       [&] {
         instance->SendModulePiece(good.substr(0, 10), 0, static_cast<std::int64_t>(good.size()));
         instance->SendModulePiece(good.substr(20), 20, static_cast<std::int64_t>(good.size()));
       },
       "a piece of the module is missing (one starts at byte 20, the next expected at byte 10)"},
      {"pieces past their total",
       [&] {
         instance->SendModulePiece(good.substr(0, 10), 0, 12);
         instance->SendModulePiece(good.substr(10, 10), 10, 12);
       },
       "its pieces hold more bytes than the total they give"},
      {"a piece too large for the worker",
       [&] { instance->SendModule(std::string(lv2::kMaxPieceIn + 1, ' ')); },
       "a piece is larger than 65536 bytes; send it in smaller pieces", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    instance->log().clear();
    const std::size_t statuses = instance->statuses().size(), modules = instance->modules().size();
    c.send();
    instance->Run(input.left.data(), input.right.data(), 1);
    instance->Run(input.left.data(), input.right.data(), 1);
    ASSERT_EQ(instance->statuses().size(), statuses + 1);
    const std::string& status = instance->statuses().back();
    EXPECT_EQ(status.rfind("couldn't take the module: ", 0), 0u) << status;
    EXPECT_NE(status.find(c.reason), std::string::npos) << status;
    EXPECT_NE(status.find("; the module is unchanged"), std::string::npos) << status;
    ASSERT_EQ(instance->log().size(), c.logged ? 1u : 0u);
    if (c.logged) {
      EXPECT_TRUE(Logged(*instance, status));
    }
    EXPECT_EQ(instance->modules().size(), modules) << "nothing changed, so nothing is sent";
    reference->Restore(lowpass.get());
    instance->Restore(lowpass.get());
    EXPECT_EQ(Render(*instance, input).left, Render(*reference, input).left);
  }
  // The rest of a refused module is dropped; a whole one after it is taken.
  instance->SendModulePiece(good.substr(0, 10), 0, static_cast<std::int64_t>(good.size()));
  instance->SendModulePiece(good.substr(20, 10), 20, static_cast<std::int64_t>(good.size()));
  instance->SendModulePiece(good.substr(30), 30, static_cast<std::int64_t>(good.size()));
  instance->SendModule(good, 7);
  instance->Run(input.left.data(), input.right.data(), 1);
  instance->Run(input.left.data(), input.right.data(), 1);
  ASSERT_FALSE(instance->modules().empty());
  EXPECT_EQ(nlohmann::json::parse(instance->modules().back()).at("name"), "good");
  EXPECT_EQ(Render(*instance, input).left, input.left);
}

// 200 components, both ways in pieces: a UI's pieces are joined whole, and
// the plug-in's, cut to fit a small notify buffer run after run, between
// UTF-8 characters, join to the module it holds. The audio through IN->OUT
// flows unchanged meanwhile, and run() allocates nothing while it sends.
TEST_F(Lv2PluginTest, ALargeModuleTravelsInPiecesBothWays) {
  auto instance = NewInstance();
  const std::string name = "gro\xC3\x9F \xE9\x9F\xB3 \xF0\x9F\x8E\xB9";  // 2-, 3- and 4-byte characters
  const std::string large = WiredModule(198, name);
  ASSERT_GT(large.size(), 3 * std::size_t{lv2::kPieceBytes});
  instance->SendModule(large, 1000);
  const Stereo input = Noise(64 * 256);
  instance->Run(input.left.data(), input.right.data(), 256);
  instance->Run(input.left.data(), input.right.data(), 256);
  ASSERT_TRUE(instance->statuses().empty()) << instance->statuses()[0];
  ASSERT_EQ(instance->modules().size(), 1u);
  const std::string held = instance->modules()[0];
  EXPECT_EQ(ComponentCount(held), 200u);
  EXPECT_EQ(nlohmann::json::parse(held).at("name"), name);
  EXPECT_GT(instance->last_pieces().size(), 1u);

  // Asked again with notify buffers of about 1 KiB: the same text, in many
  // runs; three sizes a byte apart, so some cut falls inside a character.
  for (const std::uint32_t capacity : {1024u, 1025u, 1026u}) {
    SCOPED_TRACE(capacity);
    const std::size_t before = instance->modules().size();
    instance->set_notify_capacity(capacity);
    instance->SendGetModule();
    instance->Run(input.left.data(), input.right.data(), 256);
    std::size_t runs = 0;
    for (std::size_t at = 256; instance->modules().size() == before && at < input.left.size(); at += 256, ++runs) {
      {
        testing::AllocationCounter counter;
        instance->RunPluginOnly(&input.left[at], &input.right[at], 256);
        ASSERT_EQ(counter.count(), 0u);
      }
      instance->ReadNotify();
      instance->DoWork();
      ASSERT_TRUE(std::equal(instance->out_left().begin(), instance->out_left().begin() + 256,
                             input.left.begin() + static_cast<std::ptrdiff_t>(at)));
    }
    ASSERT_EQ(instance->modules().size(), before + 1);
    EXPECT_EQ(instance->modules().back(), held);
    EXPECT_GT(runs, held.size() / capacity);
    for (const std::string& piece : instance->last_pieces()) {
      ASSERT_FALSE(piece.empty());
      EXPECT_LE(piece.size(), lv2::kPieceBytes);
      EXPECT_NE(static_cast<unsigned char>(piece[0]) & 0xC0, 0x80) << "a piece starts inside a character";
    }
  }
  EXPECT_EQ(instance->broken_pieces(), 0);
}

// After a preset or a project is restored, the module goes out again
// unasked, so a UI that is open shows it; a module half sent when the
// restore came is started again from its first piece.
TEST_F(Lv2PluginTest, AfterARestoreTheModuleIsSentAgain) {
  auto instance = NewInstance();
  const Stereo input = Noise(256);
  instance->set_notify_capacity(1024);
  instance->SendModule(WiredModule(60, "big"));
  instance->Run(input.left.data(), input.right.data(), 16);
  instance->Run(input.left.data(), input.right.data(), 16);  // the first pieces go
  ASSERT_TRUE(instance->modules().empty());
  instance->Restore(State(world_->PresetState(std::string(lv2::kPresetUriPrefix) + "echo")).get());
  instance->set_notify_capacity(Instance::kAtomCapacity);
  instance->Run(input.left.data(), input.right.data(), 16);
  ASSERT_EQ(instance->modules().size(), 1u);
  EXPECT_EQ(nlohmann::json::parse(instance->modules()[0]).at("name"), "Echo");

  State saved(instance->Save());
  auto other = NewInstance();
  other->Restore(saved.get());
  other->Run(input.left.data(), input.right.data(), 16);
  ASSERT_EQ(other->modules().size(), 1u);
  EXPECT_EQ(other->modules()[0], instance->modules()[0]);
}

// The bundle offers the module to a UI: readable and writable, with the
// status readable beside it.
TEST_F(Lv2PluginTest, TheBundleDeclaresTheModuleProperties) {
  LilvWorld* w = world_->world();
  LilvNode* writable = lilv_new_uri(w, LV2_PATCH__writable);
  LilvNode* readable = lilv_new_uri(w, LV2_PATCH__readable);
  LilvNode* module = lilv_new_uri(w, lv2::kModuleUri);
  LilvNode* status = lilv_new_uri(w, lv2::kStatusUri);
  LilvNode* file = lilv_new_uri(w, lv2::kModuleFileUri);
  // Through the plug-in, which loads its description first, as hosts ask.
  LilvNodes* writes = lilv_plugin_get_value(world_->plugin(), writable);
  LilvNodes* reads = lilv_plugin_get_value(world_->plugin(), readable);
  ASSERT_NE(writes, nullptr);
  ASSERT_NE(reads, nullptr);
  EXPECT_TRUE(lilv_nodes_contains(writes, module));
  EXPECT_TRUE(lilv_nodes_contains(writes, file));
  EXPECT_TRUE(lilv_nodes_contains(reads, module));
  EXPECT_TRUE(lilv_nodes_contains(reads, status));
  EXPECT_FALSE(lilv_nodes_contains(writes, status));
  lilv_nodes_free(writes);
  lilv_nodes_free(reads);
  for (LilvNode* node : {writable, readable, module, status, file}) lilv_node_free(node);
}

}  // namespace
}  // namespace korvel::lv2test

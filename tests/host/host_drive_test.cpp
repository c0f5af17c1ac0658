// The host reaching into the patch: parameters moving a Slider Interface
// (directly and through automation), notes reaching the Note components at
// their frame, and both from other threads without races.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "components/biquad_filters.h"
#include "components/value_sources.h"
#include "tests/components/component_harness.h"
#include "tests/host/module_fixture.h"
#include "tests/support/alloc_counter.h"

namespace korvel {
namespace {

using testing::ModuleTest;

// IN -> LP filter -> OUT; the cutoff from a Slider on parameter 3 (200..5000),
// resonance 0.707.
constexpr char kSliderLowpass[] = R"({"format": "korvel-module", "version": 1, "components": [
  {"slot": 0, "type": 0}, {"slot": 1, "type": 1}, {"slot": 2, "type": 15},
  {"slot": 3, "type": 87, "parameter": 3, "min": 200, "max": 5000}, {"slot": 4, "type": 80, "value": 0.707}],
  "connections": [{"from": [0, 0], "to": [2, 0]}, {"from": [3, 0], "to": [2, 1]}, {"from": [4, 0], "to": [2, 2]},
  {"from": [2, 0], "to": [1, 0]}]})";

// IN x Note Trigger -> OUT: ones in, the gate out.
constexpr char kTriggerGate[] = R"({"format": "korvel-module", "version": 1, "components": [
  {"slot": 0, "type": 0}, {"slot": 1, "type": 1}, {"slot": 2, "type": 12}, {"slot": 3, "type": 90}],
  "connections": [{"from": [0, 0], "to": [2, 0]}, {"from": [3, 0], "to": [2, 1]}, {"from": [2, 0], "to": [1, 0]}]})";

constexpr int kBlock = 256;

std::vector<float> Input(int block_index) {
  std::vector<float> samples(2 * kBlock);
  for (int i = 0; i < 2 * kBlock; ++i) samples[i] = static_cast<float>(((i * 7919 + block_index * 104729) % 2001) - 1000) * 10.0f;
  return samples;
}

std::vector<float> Audio(PluginModule& module, std::vector<float> samples) {
  void* buffers[1] = {samples.data()};
  AudioBlockRecord block{buffers, static_cast<std::uint32_t>(samples.size() / 2)};
  AudioPort(&module, &block);
  return samples;
}

void Set(ModuleBase& module, int index, double value) {
  ParameterValueRecord record{};
  record.value = value;
  ASSERT_EQ(module.SetParameterValue(index, &record), 1);
}

// The reference: the LP filter alone, fed the cutoff the Slider should give.
class ReferenceLowpass {
 public:
  std::vector<float> Run(const std::vector<float>& input, testing::Feed& cutoff) {
    testing::Feed x(std::vector<double>(input.begin(), input.end()));
    filter_.Run(kBlock, {&x, &cutoff, &resonance_});
    return std::vector<float>(x.values.begin(), x.values.end());
  }

 private:
  testing::Component filter_{kLowpassType};
  testing::Feed resonance_{0.707};
};

TEST_F(ModuleTest, ASliderMovesTheCutoffFromTheNextBlockWithARampBetween) {
  Load(kSliderLowpass);
  ReferenceLowpass reference;
  testing::Feed start(2600.0), end(1400.0);  // parameter 3 at 0.5, then at 0.25
  std::vector<double> ramp(2 * kBlock);
  for (int f = 0; f < kBlock; ++f) ramp[2 * f] = ramp[2 * f + 1] = 2600.0 - 1200.0 * (f + 1) / kBlock;
  testing::Feed moving(ramp);

  EXPECT_EQ(Audio(*module, Input(0)), reference.Run(Input(0), start));
  Set(*module, 2, 0.25);
  EXPECT_EQ(Audio(*module, Input(1)), reference.Run(Input(1), moving)) << "the change glides across one block";
  for (int b = 2; b < 5; ++b) EXPECT_EQ(Audio(*module, Input(b)), reference.Run(Input(b), end)) << b;
  Set(*module, 0, 0.9);  // another parameter: nothing moves
  EXPECT_EQ(Audio(*module, Input(5)), reference.Run(Input(5), end));

  // The binding and range survive the host's state chunk.
  pluginhost::MemoryStream stream;
  module->SaveState(&stream);
  auto owner = std::make_unique<PluginModule>();  // the delay lines are too large for a stack
  PluginModule& restored = *owner;
  restored.Init(&host);
  restored.RestoreState(&stream);
  const int slot = 3;
  ASSERT_TRUE(restored.engine().IsOccupied(slot));
  const auto& slider = *static_cast<const SliderRecord*>(restored.engine().Record(slot));
  EXPECT_EQ(slider.parameter, 2);
  EXPECT_EQ(slider.minimum, 200.0);
  EXPECT_EQ(slider.maximum, 5000.0);
  EXPECT_EQ(restored.engine().Context().parameter_values[2], 0.25) << "and so does the value";
}

TEST_F(ModuleTest, AutomationEventsOfABoundControllerMoveASlider) {
  Load(kSliderLowpass);
  std::int32_t controllers[2] = {74, 75};
  AutomationEventRecord events[2] = {};
  events[0].value.value = 1.0;
  events[1].value.value = 0.0;
  AutomationEventList list{};
  list.controllers = controllers;
  list.events = events;
  list.count = 2;
  module->BindController(2, 74);
  module->AutomationCallback(&list);
  EXPECT_EQ(module->engine().Context().parameter_values[2], 0.5) << "outside the initial range: nothing";
  module->SetAutomationRange(70, 80);
  module->AutomationCallback(&list);
  EXPECT_EQ(module->engine().Context().parameter_values[2], 1.0) << "74 is bound, 75 is not";
  ReferenceLowpass reference;
  testing::Feed top(5000.0);
  EXPECT_EQ(Audio(*module, Input(0)), reference.Run(Input(0), top));
}

TEST_F(ModuleTest, NotesReachTheTriggerAtTheirFrameWithoutAllocating) {
  Load(kTriggerGate);
  const std::vector<float> ones(2 * kBlock, 1.0f);
  Audio(*module, ones);
  NoteEvent events[2] = {{37, kNoteOn, 69, 100, 0}, {200, kNoteOff, 69, 0, 0}};
  NotesRecord record{1, events};
  std::vector<float> gate = ones;
  void* buffers[1] = {gate.data()};
  AudioBlockRecord block{buffers, kBlock};
  {
    testing::AllocationCounter counter;
    NotesPort(module.get(), &record);
    AudioPort(module.get(), &block);
    EXPECT_EQ(counter.count(), 0u);
  }
  for (int f = 0; f < kBlock; ++f) ASSERT_EQ(gate[2 * f], f < 37 ? 0.0f : 1.0f) << f;
  EXPECT_EQ(Audio(*module, ones), ones) << "held: a constant 1 times the input";
  record = {1, &events[1]};
  NotesPort(module.get(), &record);
  gate = Audio(*module, ones);
  EXPECT_TRUE(gate[2 * 199] == 1.0f && gate[2 * 200] == 0.0f);
}

// IN x Slider (parameter 3) -> OUT: nothing in it reads the host timing,
// which SetParameterValue also writes.
constexpr char kSliderGain[] = R"({"format": "korvel-module", "version": 1, "components": [
  {"slot": 0, "type": 0}, {"slot": 1, "type": 1}, {"slot": 2, "type": 12}, {"slot": 3, "type": 87, "parameter": 3}],
  "connections": [{"from": [0, 0], "to": [2, 0]}, {"from": [3, 0], "to": [2, 1]}, {"from": [2, 0], "to": [1, 0]}]})";

// A host thread sets parameters while the audio thread reads them through
// the Slider: ThreadSanitizer sees no race.
TEST_F(ModuleTest, ConcurrentParameterChangesAndAudio) {
  Load(kSliderGain);
  std::atomic<bool> done{false};
  std::thread audio([&] {
    std::vector<float> samples(2 * 64, 100.0f);
    while (!done) Audio(*module, samples);
  });
  for (int i = 0; i < 20000; ++i) {
    Set(*module, 2, (i % 100) / 100.0);
    ParameterValueRecord read{};
    module->GetParameterValue(2, &read);
  }
  done = true;
  audio.join();
}

}  // namespace
}  // namespace korvel

// What a DAW session hands the module besides audio: Control Changes moving
// the parameters bound to them (7 and 14 bits, at their frame), the song's
// tempo and position, and the sidechain as the IN component's out3 and
// out4.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "tests/host/module_fixture.h"

namespace korvel {
namespace {

using testing::ModuleTest;

// IN times a component of `type` (a value source, or a Slider on
// parameter 2 bound to controller 7), to OUT: ones in, its value out.
std::string Scaled(int type) {
  return R"({"format": "korvel-module", "version": 1, "parameters": [{}, {"name": "Gain", "controller": 7}],
    "components": [{"slot": 0, "type": 0}, {"slot": 1, "type": 1}, {"slot": 2, "type": 12},
    {"slot": 3, "type": )" + std::to_string(type) + R"(, "parameter": 2}],
    "connections": [{"from": [0, 0], "to": [2, 0]}, {"from": [3, 0], "to": [2, 1]}, {"from": [2, 0], "to": [1, 0]}]})";
}

// IN's output `output` straight to OUT, at `oversampling` times the rate.
std::string InOutput(int output, int oversampling = 1) {
  return R"({"format": "korvel-module", "version": 1, "oversampling": )" + std::to_string(oversampling) +
         R"(, "components": [{"slot": 0, "type": 0}, {"slot": 1, "type": 1}],
    "connections": [{"from": [0, )" + std::to_string(output) + R"(], "to": [1, 0]}]})";
}

constexpr int kSlider = 87, kSampsPerTick = 82, kBpm = 84, kTpb = 85, kBpb = 86;

// Left channel of one audio call of `frames` frames of ones.
std::vector<float> Play(PluginModule& module, std::uint32_t frames) {
  std::vector<float> samples(2 * static_cast<std::size_t>(frames), 1.0f);
  void* buffers[1] = {samples.data()};
  AudioBlockRecord block{buffers, frames};
  AudioPort(&module, &block);
  std::vector<float> left(frames);
  for (std::uint32_t f = 0; f < frames; ++f) left[f] = samples[2 * f];
  return left;
}

void ControlChanges(PluginModule& module, std::vector<NoteEvent> events) {
  NotesRecord record{static_cast<std::int32_t>(events.size()), events.data()};
  NotesPort(&module, &record);
}

NoteEvent Cc(std::uint32_t frame, std::uint8_t controller, std::uint8_t value) {
  return {frame, kControlChange, controller, value, 0};
}

TransportRecord Tempo(std::uint32_t frame, double bpm, double bpb = NAN, double beat = NAN, double speed = NAN) {
  return {frame, 0, bpm, bpb, 960.0, beat, speed};
}

TEST_F(ModuleTest, ControlChangesMoveTheBoundParametersFromTheirFrame) {
  Load(Scaled(kSlider));
  const double* values = engine.Context().parameter_values;
  Play(*module, 256);
  ControlChanges(*module, {Cc(10, 8, 0), Cc(100, 7, 127)});  // 8 is bound to nothing
  const std::vector<float> out = Play(*module, 256);
  EXPECT_EQ(out[99], 0.5f);
  EXPECT_GT(out[100], 0.5f) << "the Slider glides from the Control Change's frame";
  EXPECT_EQ(out[255], 1.0f);
  EXPECT_EQ(values[1], 1.0);
  for (int p : {0, 2, 24}) EXPECT_EQ(values[p], 0.5) << p;

  // Coarse then fine: 14 bits; a fine value alone refines the last coarse
  // one; a new coarse value is heard at 7 bits at once. A parameter bound
  // to the fine controller itself takes its 7-bit value.
  ASSERT_TRUE(module->BindController(2, 39));
  ControlChanges(*module, {Cc(0, 7, 64), Cc(0, 39, 0)});
  Play(*module, 64);
  EXPECT_EQ(values[1], 8192.0 / 16383.0);
  EXPECT_EQ(values[2], 0.0);
  ControlChanges(*module, {Cc(0, 39, 127)});
  Play(*module, 64);
  EXPECT_EQ(values[1], 8319.0 / 16383.0);
  ControlChanges(*module, {Cc(0, 7, 10)});
  Play(*module, 64);
  EXPECT_EQ(values[1], 10.0 / 127.0);

  // Out of range: refused, nothing changes.
  ControlChanges(*module, {{0, kControlChange, 7, 200, 0}, {0, kControlChange, 200, 5, 0}});
  Play(*module, 64);
  EXPECT_EQ(values[1], 10.0 / 127.0);
  EXPECT_FALSE(module->BindController(0, 128));
  EXPECT_FALSE(module->BindController(25, 1));
  EXPECT_EQ(engine.Controllers().Get(0), kNoController);
  EXPECT_EQ(engine.Controllers().LastReceived(), 7);
}

TEST_F(ModuleTest, ATransportSetsTheTempoValuesFromItsFrame) {
  Load(Scaled(kBpm));
  module->QueueTransport(Tempo(64, 120.0, 3.0, 0.0, 1.0));
  std::vector<float> out = Play(*module, 256);
  EXPECT_EQ(out[63], 1.0f) << "BPM is 1 until a host gives a tempo";
  EXPECT_EQ(out[64], 120.0f);
  const HostTiming timing = module->timing().Load();
  EXPECT_EQ(timing.bpb, 3.0);
  EXPECT_EQ(timing.tpb, 960.0);
  EXPECT_EQ(timing.samples_per_tick, 44100.0 * 60.0 / (120.0 * 960.0));
  EXPECT_EQ(LoadHostTiming().bpm, 1.0) << "the process-wide values stay the written interface's";

  // A tempo of 0, below 0 or not a number, and beats per bar likewise, are
  // ignored; the rest of the record is taken.
  for (double bad : {0.0, -90.0, std::nan(""), HUGE_VAL}) module->QueueTransport(Tempo(0, bad, bad, 8.0));
  out = Play(*module, 16);
  EXPECT_EQ(out[15], 120.0f);
  EXPECT_EQ(module->timing().Load().bpb, 3.0);

  // A parameter change restores 100 samples per tick everywhere but in a
  // song's module, which keeps its tempo's.
  ParameterValueRecord record{};
  record.value = 0.25;
  module->SetParameterValue(0, &record);
  EXPECT_EQ(LoadHostTiming().samples_per_tick, 100.0);
  Load(Scaled(kSampsPerTick));
  EXPECT_EQ(Play(*module, 8)[7], static_cast<float>(44100.0 * 60.0 / (120.0 * 960.0)));
  Load(Scaled(kTpb));
  EXPECT_EQ(Play(*module, 8)[7], 960.0f);
  Load(Scaled(kBpb));
  EXPECT_EQ(Play(*module, 8)[7], 3.0f);
}

// The position moves on with the song at its tempo while it plays, across
// the module's own pieces, and holds while it is stopped.
TEST_F(ModuleTest, TheSongPositionMovesOnWhilePlaying) {
  Load(InOutput(0));
  module->QueueTransport(Tempo(0, 120.0, 4.0, 8.0, 1.0));
  Play(*module, 44100);  // one second: two beats
  EXPECT_NEAR(module->timing().Load().beat, 10.0, 1e-9);
  module->QueueTransport(Tempo(0, NAN, NAN, NAN, 0.0));
  Play(*module, 4410);
  EXPECT_NEAR(module->timing().Load().beat, 10.0, 1e-9);
  EXPECT_EQ(module->timing().Load().bpm, 120.0) << "a record without a tempo keeps it";
}

TEST_F(ModuleTest, TheSidechainIsInsOut3AndOut4ForOneCall) {
  std::vector<float> side(2 * 5000);
  for (std::size_t f = 0; f < 5000; ++f) {
    side[2 * f] = static_cast<float>(f);
    side[2 * f + 1] = -static_cast<float>(f);
  }
  for (int channel : {0, 1}) {
    Load(InOutput(2 + channel));
    const float sign = channel == 0 ? 1.0f : -1.0f;
    // Longer than the engine's block; the host gave 4500 frames of it.
    module->SetSidechain(side.data(), 4500);
    std::vector<float> samples(2 * 5000, 7.0f);
    void* buffers[1] = {samples.data()};
    AudioBlockRecord block{buffers, 5000};
    AudioPort(module.get(), &block);
    for (std::size_t f : {0u, 37u, 4095u, 4096u, 4499u}) {
      EXPECT_EQ(samples[2 * f], sign * static_cast<float>(f)) << channel << " " << f;
      EXPECT_EQ(samples[2 * f + 1], sign * static_cast<float>(f)) << "both channels " << channel << " " << f;
    }
    EXPECT_EQ(samples[2 * 4500], 0.0f) << "past the host's frames: silence";
    EXPECT_EQ(Play(*module, 64), std::vector<float>(64, 0.0f)) << "the next call has none: silence";
  }
  Load(InOutput(1));
  module->SetSidechain(side.data(), 64);
  EXPECT_EQ(Play(*module, 64), std::vector<float>(64, 0.0f)) << "out2 is still never set";
}

// Oversampled, the sidechain goes up and down through the same filters as
// the input: out3 and out4 come back as the input would, latency and all,
// across calls longer than one pass.
TEST_F(ModuleTest, AnOversampledSidechainIsRaisedLikeTheInput) {
  constexpr std::uint32_t kFrames = 3000;
  std::vector<float> signal(2 * kFrames), side(2 * kFrames);
  for (std::uint32_t f = 0; f < kFrames; ++f) {
    const auto x = static_cast<float>(1000.0 * std::sin(0.05 * f) + 300.0 * std::sin(1.3 * f));
    signal[2 * f] = signal[2 * f + 1] = side[2 * f] = x;
    side[2 * f + 1] = -x;
  }
  // Two calls of 3000 frames each: the input's, or silence with the sidechain.
  const auto run = [&](int output, int factor, bool sidechain) {
    Load(InOutput(output, factor));
    std::vector<float> heard;
    for (int call = 0; call < 2; ++call) {
      std::vector<float> samples = sidechain ? std::vector<float>(2 * kFrames, 0.0f) : signal;
      if (sidechain) module->SetSidechain(side.data(), kFrames);
      void* buffers[1] = {samples.data()};
      AudioBlockRecord block{buffers, kFrames};
      AudioPort(module.get(), &block);
      heard.insert(heard.end(), samples.begin(), samples.end());
    }
    return heard;
  };
  for (int factor : {2, 16}) {
    const std::vector<float> input = run(0, factor, false);
    std::vector<float> negated(input.size());
    for (std::size_t i = 0; i < input.size(); ++i) negated[i] = -input[i];
    EXPECT_NE(input[2 * 2000], 0.0f);
    EXPECT_EQ(run(2, factor, true), input) << factor;
    EXPECT_EQ(run(3, factor, true), negated) << factor;
  }
}

}  // namespace
}  // namespace korvel

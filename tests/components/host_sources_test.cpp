// The value sources the host drives: the Slider Interface following a
// parameter, and the Note components following the notes port.
#include <cmath>

#include "engine/host_timing.h"
#include "engine/notes.h"
#include "tests/components/component_harness.h"

namespace korvel::testing {
namespace {

struct SliderRig {
  SliderRig() { context.parameter_values = values; }
  SliderRecord& slider() { return c.as<SliderRecord>(); }
  double values[kParameterCount] = {};
  EngineContext context = {};
  Component c{kSliderType, &context};
};

TEST(Slider, DefaultsHoldStillAsAConstantAndRampAcrossTheBlockAfterAChange) {
  SliderRig rig;
  EXPECT_EQ(rig.slider().parameter, 0);
  EXPECT_EQ(rig.slider().minimum, 0.0);
  EXPECT_EQ(rig.slider().maximum, 1.0);
  rig.slider().parameter = 2;
  rig.slider().minimum = 200.0;
  rig.slider().maximum = 5000.0;
  rig.values[2] = 0.5;
  EXPECT_TRUE(rig.c.Run(64, {}).IsConstant(2600.0)) << "the first block does not ramp in from nothing";
  EXPECT_TRUE(rig.c.Run(64, {}).IsConstant(2600.0));
  rig.values[2] = 1.0;
  rig.c.Run(64, {});
  ASSERT_EQ(rig.c.record->constant_flag[0], 0);
  const double* ramp = rig.c.buffer();
  const double step = 2400.0 / 64;
  double previous = 2600.0;
  for (int f = 0; f < 64; ++f) {
    EXPECT_EQ(ramp[2 * f], ramp[2 * f + 1]);
    EXPECT_NEAR(ramp[2 * f] - previous, step, 1e-9) << "frame " << f;
    previous = ramp[2 * f];
  }
  EXPECT_EQ(ramp[2 * 63], 5000.0) << "the block ends on the new value";
  EXPECT_TRUE(rig.c.Run(64, {}).IsConstant(5000.0));
  rig.slider().minimum = rig.slider().maximum = 7.0;  // a settings change glides too
  EXPECT_EQ(rig.c.Run(2, {}).buffer()[0], 2503.5);
  rig.values[2] = NAN;
  EXPECT_TRUE(rig.c.Run(8, {}).IsConstant(7.0)) << "a NaN parameter leaves the output where it was";
  rig.slider().maximum = INFINITY;
  rig.values[2] = 0.5;
  EXPECT_TRUE(rig.c.Run(8, {}).IsConstant(INFINITY)) << "no ramp towards infinity";
  rig.slider().maximum = 8.0;
  EXPECT_TRUE(rig.c.Run(8, {}).IsConstant(7.5)) << "nor out of it";
}

TEST(Slider, WithoutAParameterBlockOrOutOfRangeBindingReadsZero) {
  Component bare(kSliderType);
  bare.as<SliderRecord>().minimum = 3.0;
  EXPECT_TRUE(bare.Run(4, {}).IsConstant(3.0));
  SliderRig rig;
  rig.values[25] = 1.0;
  rig.slider().parameter = 25;  // the unnamed extra parameter is not bindable
  EXPECT_TRUE(rig.c.Run(4, {}).IsConstant(0.0));
}

struct NoteRig {
  NoteRig() { context.notes = &block; }
  void Push(std::uint32_t frame, std::uint8_t status, std::uint8_t note, std::uint8_t velocity = 100) {
    tracker.Push(frame, status, note, velocity);
  }
  // One audio call of n frames as one engine block; runs all three sources.
  void Block(int n) {
    tracker.Render(0, static_cast<std::uint32_t>(n), true, block);
    for (Component* c : {&frequency, &period, &trigger}) c->Run(n, {});
  }
  static double At(const Component& c, int frame) {
    return c.record->constant_flag[0] ? c.record->constant[0] : c.buffer()[2 * frame];
  }
  NoteTracker tracker;
  NoteBlock block = {};
  EngineContext context = {};
  Component frequency{kNoteFrequencyType, &context}, period{kNoteWavePeriodType, &context},
      trigger{kNoteTriggerType, &context};
};

TEST(NoteSources, ChangeAtTheEventsFrameAndAreConstantOtherwise) {
  GetHostTiming().sample_rate = 44100.0;
  NoteRig rig;
  rig.Block(256);
  for (const Component* c : {&rig.frequency, &rig.period, &rig.trigger}) EXPECT_TRUE(c->IsConstant(0.0));
  rig.Push(37, NoteTracker::kOn, 69);
  rig.Block(256);
  EXPECT_EQ(NoteRig::At(rig.trigger, 36), 0.0);
  EXPECT_EQ(NoteRig::At(rig.trigger, 37), 1.0);
  EXPECT_EQ(NoteRig::At(rig.trigger, 255), 1.0);
  EXPECT_EQ(rig.trigger.buffer()[2 * 37 + 1], 1.0) << "both channels";
  EXPECT_EQ(NoteRig::At(rig.frequency, 36), 0.0);
  EXPECT_EQ(NoteRig::At(rig.frequency, 37), 440.0);
  EXPECT_EQ(NoteRig::At(rig.period, 36), 0.0);
  EXPECT_NEAR(NoteRig::At(rig.period, 37), 100.22727272727273, 1e-9);
  rig.Block(256);
  EXPECT_TRUE(rig.trigger.IsConstant(1.0));
  EXPECT_TRUE(rig.frequency.IsConstant(440.0));

  // Last-note priority; the frequency is held after the release.
  rig.Push(10, NoteTracker::kOn, 60);
  rig.Push(20, NoteTracker::kOff, 60);
  rig.Push(30, 0x93, 69, 0);  // note on, velocity 0, channel 4: a note off
  rig.Block(64);
  EXPECT_EQ(NoteRig::At(rig.frequency, 9), 440.0);
  EXPECT_NEAR(NoteRig::At(rig.frequency, 10), 261.6255653005986, 1e-9);
  EXPECT_EQ(NoteRig::At(rig.frequency, 20), 440.0) << "back to the note still held";
  EXPECT_EQ(NoteRig::At(rig.trigger, 29), 1.0);
  EXPECT_EQ(NoteRig::At(rig.trigger, 30), 0.0);
  EXPECT_EQ(NoteRig::At(rig.frequency, 63), 440.0);
  rig.Block(64);
  EXPECT_TRUE(rig.frequency.IsConstant(440.0) && rig.trigger.IsConstant(0.0));
  GetHostTiming().sample_rate = 48000.0;
  rig.Block(64);
  EXPECT_TRUE(rig.period.IsConstant(48000.0 / 440.0)) << "the period follows the sample rate";
  GetHostTiming().sample_rate = 44100.0;
}

TEST(NoteSources, FrequenciesOfTheEqualTemperedScale) {
  EXPECT_EQ(NoteFrequency(69), 440.0);
  EXPECT_NEAR(NoteFrequency(60), 261.6255653005986, 1e-9);
  EXPECT_NEAR(NoteFrequency(0), 8.175798915643707, 1e-9);
  EXPECT_NEAR(NoteFrequency(127), 12543.853951415975, 1e-9);
}

// A host call longer than one engine block is rendered in pieces; events
// go to their piece, late ones to the call's last frame, and events that
// arrive while no block follows wait for the next call.
TEST(NoteTracker, PiecesLateEventsOrderAndOverflow) {
  NoteTracker tracker;
  NoteBlock block = {};
  tracker.Push(5000, NoteTracker::kOn, 72, 100);
  tracker.Push(10, NoteTracker::kOn, 60, 100);  // given out of order
  tracker.Push(9999, NoteTracker::kOff, 72, 100);
  tracker.Push(3, 0xB0, 1, 1);  // a controller: ignored
  tracker.Render(0, 4096, false, block);
  ASSERT_EQ(block.change_count, 1);
  EXPECT_EQ(block.changes[0].frame, 10u);
  tracker.Render(4096, 1000, true, block);
  ASSERT_EQ(block.change_count, 2);
  EXPECT_EQ(block.changes[0].frame, 904u);
  EXPECT_EQ(block.changes[1].frame, 999u) << "past the end: on the last frame";
  EXPECT_NEAR(block.changes[1].frequency, NoteFrequency(60), 1e-12);
  tracker.Render(0, 16, true, block);
  EXPECT_EQ(block.change_count, 0) << "consumed";
  EXPECT_EQ(block.gate, 1.0);

  // An on and off at one frame leave one change: the state after both.
  tracker.Push(4, NoteTracker::kOn, 61, 100);
  tracker.Push(4, NoteTracker::kOff, 61, 100);
  tracker.Render(0, 16, true, block);
  EXPECT_EQ(block.change_count, 0) << "60 still sounds";

  for (int i = 0; i < kMaxBlockNoteEvents + 10; ++i) tracker.Push(1, NoteTracker::kOn, static_cast<std::uint8_t>(i % 128), 100);
  tracker.Render(0, 16, true, block);
  EXPECT_EQ(block.changes[block.change_count - 1].gate, 1.0);
  tracker.Render(0, 16, true, block);
  EXPECT_EQ(block.gate, 0.0) << "after a dropped event every note is released";
}

}  // namespace
}  // namespace korvel::testing

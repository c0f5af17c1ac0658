// The value sources the host drives: the Slider Interface following a
// parameter, and the Note components following the notes port.
#include <cmath>

#include "engine/host_timing.h"
#include "engine/notes.h"
#include "tests/components/component_harness.h"

namespace korvel::testing {
namespace {

TEST(Slider, HoldsAsAConstantAndRampsAcrossTheBlockAfterAChange) {
  double values[kParameterCount] = {};
  EngineContext context = {};
  context.parameter_values = values;
  Component c(kSliderType, &context);
  SliderRecord& slider = c.as<SliderRecord>();
  EXPECT_TRUE(slider.parameter == 0 && slider.minimum == 0.0 && slider.maximum == 1.0) << "parameter 1, 0..1";
  slider.parameter = 2;
  slider.minimum = 200.0;
  slider.maximum = 5000.0;
  values[2] = 0.5;
  EXPECT_TRUE(c.Run(64, {}).IsConstant(2600.0)) << "the first block does not ramp in from nothing";
  EXPECT_TRUE(c.Run(64, {}).IsConstant(2600.0));
  values[2] = 1.0;
  const double* ramp = c.Run(64, {}).buffer();
  ASSERT_EQ(c.record->constant_flag[0], 0);
  for (int f = 0; f < 64; ++f) {
    EXPECT_EQ(ramp[2 * f], ramp[2 * f + 1]);
    EXPECT_NEAR(ramp[2 * f] - (f == 0 ? 2600.0 : ramp[2 * f - 2]), 2400.0 / 64, 1e-9) << "frame " << f;
  }
  EXPECT_EQ(ramp[2 * 63], 5000.0) << "the block ends on the new value";
  EXPECT_TRUE(c.Run(64, {}).IsConstant(5000.0));

  values[2] = NAN;
  EXPECT_TRUE(c.Run(8, {}).IsConstant(5000.0)) << "a NaN parameter leaves the output where it was";
  slider.maximum = INFINITY;
  values[2] = 0.5;
  EXPECT_TRUE(c.Run(8, {}).IsConstant(INFINITY)) << "no ramp towards infinity";
  slider.maximum = 8.0;
  EXPECT_TRUE(c.Run(8, {}).IsConstant(104.0)) << "nor out of it";
  slider.parameter = 25;  // the unnamed extra parameter cannot be bound: reads 0
  EXPECT_EQ(c.Run(8, {}).buffer()[2 * 7], 200.0);
}

// The tracker fills the block the Note components read, as the module does
// before each engine block.
TEST(NoteSources, FollowTheMostRecentHeldNoteAndAreConstantBetweenChanges) {
  StoreSampleTiming(44100.0, LoadHostTiming().samples_per_tick);
  NoteTracker tracker;
  NoteBlock block = {};
  EngineContext context = {};
  context.notes = &block;
  Component frequency(kNoteFrequencyType, &context), period(kNoteWavePeriodType, &context),
      trigger(kNoteTriggerType, &context);
  const auto run = [&](int n) {
    tracker.Render(0, static_cast<std::uint32_t>(n), true, block);
    for (Component* c : {&frequency, &period, &trigger}) c->Run(n, {});
  };
  const auto at = [](const Component& c, int f) {
    return c.record->constant_flag[0] ? c.record->constant[0] : c.buffer()[2 * f];
  };
  run(64);
  for (const Component* c : {&frequency, &period, &trigger}) EXPECT_TRUE(c->IsConstant(0.0)) << "before any note";
  tracker.Push(5, NoteTracker::kOn, 69, 100);
  tracker.Push(10, NoteTracker::kOn, 60, 100);
  tracker.Push(20, NoteTracker::kOff, 60, 0);
  tracker.Push(30, 0x93, 69, 0);  // a note on of velocity 0, channel 4: a note off
  run(64);
  EXPECT_EQ(at(frequency, 4), 0.0);
  EXPECT_EQ(at(frequency, 5), 440.0);
  EXPECT_NEAR(at(period, 5), 100.22727272727273, 1e-9);
  EXPECT_NEAR(at(frequency, 10), 261.6255653005986, 1e-9);
  EXPECT_EQ(at(frequency, 20), 440.0) << "back to the note still held";
  EXPECT_EQ(at(trigger, 29), 1.0);
  EXPECT_EQ(at(trigger, 30), 0.0);
  EXPECT_EQ(at(frequency, 63), 440.0) << "kept after the release";
  StoreSampleTiming(48000.0, LoadHostTiming().samples_per_tick);
  run(64);
  EXPECT_TRUE(frequency.IsConstant(440.0) && trigger.IsConstant(0.0));
  EXPECT_TRUE(period.IsConstant(48000.0 / 440.0)) << "the period follows the sample rate";
  StoreSampleTiming(44100.0, LoadHostTiming().samples_per_tick);
}

// A host call longer than one engine block is rendered in pieces; events
// go to their piece, late ones to the call's last frame.
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
  tracker.Push(4, NoteTracker::kOn, 61, 100);  // on and off at one frame: no change
  tracker.Push(4, NoteTracker::kOff, 61, 100);
  tracker.Render(0, 16, true, block);
  EXPECT_TRUE(block.change_count == 0 && block.gate == 1.0);

  for (int i = 0; i < kMaxBlockNoteEvents + 10; ++i) tracker.Push(1, NoteTracker::kOn, i % 128, 100);
  tracker.Render(0, 16, true, block);
  tracker.Render(0, 16, true, block);
  EXPECT_EQ(block.gate, 0.0) << "after a dropped event every note is released";
}

}  // namespace
}  // namespace korvel::testing

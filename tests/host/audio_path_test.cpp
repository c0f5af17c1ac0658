// The module object in this process: its audio callback allocates nothing,
// never waits for an edit and never sees a half-changed graph; and the
// process-wide host timing it keeps at its defaults.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "components/arithmetic.h"
#include "components/routing.h"
#include "engine/host_timing.h"
#include "host/finite_output.h"
#include "tests/host/images.h"
#include "tests/host/module_fixture.h"
#include "tests/support/alloc_counter.h"

namespace korvel {
namespace {

using testing::ModuleTest;

std::int32_t RunAudio(PluginModule& module, std::vector<float>& samples) {
  void* buffers[1] = {samples.data()};
  AudioBlockRecord block{buffers, static_cast<std::uint32_t>(samples.size() / 2)};
  return AudioPort(&module, &block);
}

TEST_F(ModuleTest, TheAudioCallbackAllocatesNothing) {
  Load(testing::kRichImage);
  std::vector<float> small(2 * 256, 100.0f), large(2 * 10000, -50.0f);
  RunAudio(*module, small);  // first blocks may settle caches
  testing::AllocationCounter counter;
  for (int i = 0; i < 20; ++i) {
    RunAudio(*module, small);
    RunAudio(*module, large);
  }
  EXPECT_EQ(counter.count(), 0u);
}

TEST_F(ModuleTest, WhileAnEditHoldsTheGraphTheBlockIsSilent) {
  Load(testing::kPassThroughImage);
  std::vector<float> samples(2 * 64, 9.0f);
  std::atomic<bool> locked{false}, release{false};
  std::thread editor([&] {
    std::lock_guard lock(engine.graph_mutex());
    locked = true;
    while (!release) std::this_thread::yield();
  });
  while (!locked) std::this_thread::yield();
  EXPECT_EQ(RunAudio(*module, samples), 0);
  EXPECT_EQ(samples, std::vector<float>(2 * 64, 0.0f));
  release = true;
  editor.join();
}

// An audio thread runs flat out while the graph between IN and OUT is built
// and torn down: every block is either the input itself or silence.
TEST_F(ModuleTest, ConcurrentEditingAndAudio) {
  const int in = engine.CreateComponent(kInType);
  const int out = engine.CreateComponent(kOutType);
  std::atomic<bool> done{false};
  std::atomic<long> blocks{0}, wrong{0};
  std::thread audio([&] {
    std::vector<float> input(2 * 32), samples;
    for (std::size_t i = 0; i < input.size(); ++i) input[i] = static_cast<float>(i + 1);
    const std::vector<float> silence(input.size(), 0.0f);
    for (; !done; ++blocks) {
      samples = input;
      if (samples != (RunAudio(*module, samples) != 0 ? input : silence)) ++wrong;
    }
  });
  for (int i = 0; i < 100000; ++i) {
    const int type = i % 2 ? kAddType : kSubtractType;  // y unconnected: x passes unchanged
    const int a = engine.CreateComponent(type);
    ASSERT_GE(a, 0);
    engine.Connect(in, 0, a, 0);
    engine.Connect(a, 0, out, 0);
    if (i % 3 == 0) engine.DetachOutput(a, 0);
    engine.DeleteComponent(a);
  }
  done = true;
  audio.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_GT(blocks, 0);
}

// The host may set parameters (which rewrite the shared timing values) on
// one thread while another processes audio; under ThreadSanitizer this must
// show no race, and every block sees the sample rate whole.
TEST_F(ModuleTest, ConcurrentParameterChangesAndAudio) {
  Load(testing::kPlusSampleRateImage);
  std::atomic<bool> done{false};
  std::atomic<long> blocks{0}, wrong{0};
  std::thread audio([&] {
    std::vector<float> samples;
    for (; !done; ++blocks) {
      samples.assign(2 * 16, 1.0f);
      RunAudio(*module, samples);
      if (samples != std::vector<float>(2 * 16, 44101.0f)) ++wrong;
    }
  });
  ParameterValueRecord record{};
  for (int i = 0; i < 20000 || blocks < 100; ++i) {
    record.value = (i % 100) / 100.0;
    module->SetParameterValue(i % kParameterCount, &record);
  }
  done = true;
  audio.join();
  EXPECT_EQ(wrong, 0);
}

// Values beyond what a float holds are as unusable to the host as an
// infinity; finite values pass exactly as a plain conversion gives them.
TEST(AudioBoundary, SanitizeBlockReplacesWhatAFloatCannotHold) {
  const double in[] = {0.5, -32768.0, 1e300, std::nan(""), -HUGE_VAL, 3.4e38, -1e-310};
  float out[7];
  EXPECT_EQ(SanitizeBlock(in, out, 7), 3u);
  const float expected[] = {0.5f, -32768.0f, 0.0f, 0.0f, 0.0f, static_cast<float>(3.4e38), static_cast<float>(-1e-310)};
  for (int i = 0; i < 7; ++i) EXPECT_EQ(std::memcmp(&out[i], &expected[i], sizeof(float)), 0) << i;
}

TEST_F(ModuleTest, EverySetParameterValueResetsTheTiming) {
  StoreHostTiming({1.0, 2.0, 3.0, 4.0, 5.0});
  ParameterValueRecord record{};
  EXPECT_EQ(module->SetParameterValue(26, &record), 0) << "refused, but the timing is still reset";
  const HostTiming timing = LoadHostTiming();
  EXPECT_EQ(timing.sample_rate, 44100.0);
  EXPECT_EQ(timing.samples_per_tick, 100.0);
  EXPECT_EQ(timing.bpm, 3.0) << "tempo values are left alone";
}

}  // namespace
}  // namespace korvel

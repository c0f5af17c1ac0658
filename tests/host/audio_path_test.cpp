// The audio callback in this process: it allocates nothing, never waits for
// an edit, and never sees a half-changed graph.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "components/arithmetic.h"
#include "components/routing.h"
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
  for (float v : samples) ASSERT_EQ(v, 0.0f);
  release = true;
  editor.join();
  samples.assign(2 * 64, 9.0f);
  EXPECT_EQ(RunAudio(*module, samples), 2 * 64 * 4);
  EXPECT_EQ(samples[5], 9.0f);
}

// An audio thread runs flat out while the graph between IN and OUT is built
// and torn down: every block is either the input itself or silence.
TEST_F(ModuleTest, ConcurrentEditingAndAudio) {
  const int in = engine.CreateComponent(kInType);
  const int out = engine.CreateComponent(kOutType);
  std::atomic<bool> done{false};
  std::atomic<long> blocks{0}, wrong{0};
  std::thread audio([&] {
    std::vector<float> samples(2 * 32);
    while (!done) {
      for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<float>(i + 1);
      const std::int32_t answer = RunAudio(*module, samples);
      for (std::size_t i = 0; i < samples.size(); ++i) {
        const float expected = answer != 0 ? static_cast<float>(i + 1) : 0.0f;
        if (samples[i] != expected) {
          ++wrong;
          break;
        }
      }
      ++blocks;
    }
  });
  constexpr int kEdits = 100000;
  for (int i = 0; i < kEdits; ++i) {
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

}  // namespace
}  // namespace korvel

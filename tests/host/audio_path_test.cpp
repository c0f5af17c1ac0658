// The module object in this process: its audio callback allocates nothing,
// never waits for an edit and never sees a half-changed graph; and the
// process-wide host timing it keeps at its defaults.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "components/arithmetic.h"
#include "components/biquad_filters.h"
#include "components/routing.h"
#include "components/value_sources.h"
#include "engine/fp_state.h"
#include "engine/ui.h"
#include "engine/host_timing.h"
#include "host/finite_output.h"
#include "tests/host/images.h"
#include "tests/host/module_fixture.h"
#include "tests/support/alloc_counter.h"
#include "tests/support/engine_test_access.h"

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

// An edit in progress on another thread neither silences the block nor lets
// that thread show a box while it holds the engine.
TEST_F(ModuleTest, WhileAnEditHoldsTheEngineTheBlockStillPlaysAndNoBoxCanOpen) {
  Load(testing::kPassThroughImage);
  std::vector<float> samples(2 * 64, 9.0f);
  std::atomic<bool> locked{false}, release{false};
  const long refused = RefusedModalUiCount();
  int answer = 0;
  std::thread editor([&] {
    auto lock = engine.LockEdits();
#ifdef NDEBUG
    answer = Ui().ShowMessage(nullptr, "held", "title", kMbYesNo);  // debug builds stop here
#else
    answer = kIdNo;
#endif
    locked = true;
    while (!release) std::this_thread::yield();
  });
  while (!locked) std::this_thread::yield();
  EXPECT_EQ(RunAudio(*module, samples), 8 * 64);
  EXPECT_EQ(samples, std::vector<float>(2 * 64, 9.0f));
  release = true;
  editor.join();
  EXPECT_EQ(answer, kIdNo) << "the safe answer";
  EXPECT_TRUE(ui.messages.empty()) << "nothing was shown";
#ifdef NDEBUG
  EXPECT_EQ(RefusedModalUiCount(), refused + 1);
#else
  EXPECT_EQ(RefusedModalUiCount(), refused);
#endif
}

// The plug-in as a host drives it while a user edits: one thread streams
// noise through IN -> OUT in 64-frame blocks; another, once the first block
// is through, performs 100,000 mixed operations over at least five seconds
// (state chunks, parameters, and editing off the IN -> OUT path). Every
// block must come back exactly as it went in.
TEST_F(ModuleTest, ConcurrentEditingAndAudio) {
  Load(testing::kPassThroughImage);
  const std::vector<std::uint8_t> passthrough = pluginhost::ChunkOf(testing::kPassThroughImage);
  const long refused = RefusedModalUiCount();
  std::atomic<bool> done{false};
  std::atomic<long> blocks{0}, wrong{0};
  std::thread audio([&] {
    std::uint32_t seed = 12345;
    std::vector<float> input(2 * 64), samples(2 * 64);
    while (!done) {
      for (float& x : input) {
        seed = seed * 1664525u + 1013904223u;
        x = static_cast<float>(static_cast<std::int32_t>(seed >> 8) % 20000);
      }
      samples = input;
      RunAudio(*module, samples);
      if (samples != input) ++wrong;
      ++blocks;
    }
  });
  while (blocks == 0) std::this_thread::yield();

  const char* scripts[] = {":Main\r\n( 1 + 2 )\r\n:\r\n", "var x\r\n:Main\r\n( x + 1 ) >> x\r\n:\r\n"};
  std::vector<int> extras;  // components off the path
  ParameterValueRecord value{};
  const auto start = std::chrono::steady_clock::now();
  long operations = 0;
  for (; operations < 100000 || std::chrono::steady_clock::now() - start < std::chrono::seconds(5); ++operations) {
    const long i = operations;
    switch (i % 10) {
      case 0: {
        pluginhost::MemoryStream stream;
        module->SaveState(&stream);
        break;
      }
      case 1:
        if (i % 100 == 1) {
          pluginhost::MemoryStream stream(passthrough);
          module->RestoreState(&stream);
          extras.clear();
        }
        break;
      case 2:
        value.value = static_cast<double>(i % 1000) / 1000.0;
        module->SetParameterValue(static_cast<std::int32_t>(i % kParameterCount), &value);
        break;
      case 3:
      case 4: {
        const int a = engine.CreateComponent(i % 2 ? kAddType : kConstantType);
        if (a >= 0) {
          if (!extras.empty()) engine.Connect(extras.back(), 0, a, 0);
          extras.push_back(a);
        }
        break;
      }
      case 5:
        if (extras.size() > 8) {
          engine.DeleteComponent(extras.front());
          extras.erase(extras.begin());
        }
        break;
      case 6:
        if (!extras.empty()) engine.MoveComponent(extras.back(), static_cast<int>(i % 700), static_cast<int>(i % 500));
        break;
      case 7:
        if (!extras.empty()) engine.SetLabel(extras.back(), i % 2 ? "left" : "right");
        break;
      case 8:
        if (i % 50 == 8) engine.ApplyScript(scripts[i % 2]);
        else if (!extras.empty()) engine.DetachOutput(extras.front(), 0);
        break;
      default:
        if (!extras.empty())
          engine.RenewRecord(extras.back(), [&](ComponentRecord& fresh, const ComponentRecord&, int type) {
            if (type == kConstantType) static_cast<ConstantRecord&>(fresh).value = static_cast<double>(i);
          });
        break;
    }
  }
  done = true;
  audio.join();
  std::printf("[ checked  ] %ld blocks against their input during %ld operations\n", blocks.load(), operations);
  EXPECT_EQ(wrong, 0);
  EXPECT_GT(blocks, 0);
  EXPECT_GE(operations, 100000);
  EXPECT_TRUE(ui.messages.empty());
  EXPECT_EQ(RefusedModalUiCount(), refused);
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
  const ReplacedValues replaced = SanitizeBlock(in, out, 7);
  EXPECT_EQ(replaced.total(), 3u);
  EXPECT_TRUE(replaced.channel[0] == 2 && replaced.channel[1] == 1 && replaced.frames == 2) << "per channel and frame";
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

// IN -> LP (1000 Hz, resonance 1.414) -> OUT; answers the filter's slot.
int BuildLowpass(PatchEngine& engine) {
  const int in = engine.CreateComponent(kInType), lp = engine.CreateComponent(kLowpassType);
  const int f = engine.CreateComponent(kConstantType), r = engine.CreateComponent(kConstantType);
  SetConstantValue(engine, f, 1000.0);
  SetConstantValue(engine, r, 1.414);
  EXPECT_TRUE(engine.Connect(in, 0, lp, 0) && engine.Connect(f, 0, lp, 1) && engine.Connect(r, 0, lp, 2) &&
              engine.Connect(lp, 0, engine.CreateComponent(kOutType), 0));
  return lp;
}

std::vector<float> NoiseBlock(std::size_t values, unsigned& seed) {
  std::vector<float> v(values);
  for (float& x : v) {
    seed = seed * 1664525u + 1013904223u;
    x = static_cast<float>(static_cast<int>(seed >> 16) - 32768);
  }
  return v;
}

// Both channels' histories of a biquad, in one list.
std::vector<double> History(const PatchEngine& engine, int slot) {
  const auto* rec = static_cast<const BiquadRecord*>(engine.Record(slot));
  std::vector<double> h;
  for (const BiquadHistory& c : rec->channel) h.insert(h.end(), {c.x1, c.x2, c.y1, c.y2});
  return h;
}

// After noise, 40,000 frames of silence: through the audio callback the
// history decays to exact zeros; the same blocks through the bare engine
// (the host's floating-point state, no flushing) leave it subnormal.
TEST_F(ModuleTest, AFilterFedSilenceAfterNoiseReachesExactZeros) {
  const int lp = BuildLowpass(engine);
  auto bare_module = std::make_unique<PluginModule>();
  bare_module->Init(nullptr);
  PatchEngine& bare = bare_module->engine();
  const int bare_lp = BuildLowpass(bare);
  unsigned seed = 7;
  for (int b = 0; b < 8; ++b) {
    std::vector<float> noise = NoiseBlock(2 * 256, seed);
    std::copy(noise.begin(), noise.end(), bare.InputBuffer());
    bare.ProcessBlock(256);
    RunAudio(*module, noise);
  }
  for (int b = 0; b < 160; ++b) {
    std::vector<float> silence(2 * 256, 0.0f);
    std::fill_n(bare.InputBuffer(), 2 * 256, 0.0);
    bare.ProcessBlock(256);
    RunAudio(*module, silence);
  }
  EXPECT_EQ(History(engine, lp), std::vector<double>(8, 0.0));
  const std::vector<double> unflushed = History(bare, bare_lp);
  EXPECT_TRUE(std::any_of(unflushed.begin(), unflushed.end(),
                          [](double v) { return std::fpclassify(v) == FP_SUBNORMAL; }))
      << "without flushing the history should still be subnormal";
}

#ifdef KORVEL_HAS_MXCSR
// A host that rounds downward and traps nothing gets its own state back,
// sticky flags included, and the block's bits do not depend on it.
TEST_F(ModuleTest, TheHostsFloatingPointStateNeitherLeaksInNorIsChanged) {
  BuildLowpass(engine);
  unsigned seed = 3;
  const std::vector<float> noise = NoiseBlock(2 * 512, seed);
  std::vector<float> nearest = noise, downward = noise;
  RunAudio(*module, nearest);
  engine.ResetEngine();
  BuildLowpass(engine);
  const unsigned host_state = _mm_getcsr();
  const unsigned odd_state = (host_state & ~0x6000u) | 0x2000u | 0x0020u;  // round down, precision flag set
  _mm_setcsr(odd_state);
  RunAudio(*module, downward);
  const unsigned after = _mm_getcsr();
  _mm_setcsr(host_state);
  EXPECT_EQ(after, odd_state);
  EXPECT_EQ(nearest, downward);
}
#endif

}  // namespace
}  // namespace korvel

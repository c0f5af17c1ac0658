// Filters in series run as one cascade, two per pass over the block: the
// sound must be the bits of running them one by one, whatever the chain's
// length, mix of types, block lengths and input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "components/arithmetic.h"
#include "components/biquad_filters.h"
#include "components/eq_filters.h"
#include "components/iir_fir_filters.h"
#include "components/routing.h"
#include "components/value_sources.h"
#include "engine/patch_engine.h"
#include "tests/support/engine_test_access.h"
#include "tests/support/test_ui.h"

namespace korvel {
namespace {

// A filter and the constants on its inputs 1, 2, ...
struct Stage {
  int type;
  std::vector<double> controls;
};

// One patch IN -> filters -> OUT. With `apart`, an Add with only its first
// input connected (which hands that input on untouched) sits between each
// pair of filters, so no two filters are neighbours and each runs alone.
struct Chain {
  std::unique_ptr<PatchEngine> engine = std::make_unique<PatchEngine>();
  std::vector<int> filters;
  int in = -1, out = -1;

  Chain(const std::vector<Stage>& stages, bool apart) {
    engine->ResetEngine();
    in = engine->CreateComponent(kInType);
    int previous = in;
    for (const Stage& s : stages) {
      const int f = engine->CreateComponent(s.type);
      for (std::size_t k = 0; k < s.controls.size(); ++k) {
        const int c = engine->CreateComponent(kConstantType);
        SetConstantValue(*engine, c, s.controls[k]);
        EXPECT_TRUE(engine->Connect(c, 0, f, static_cast<int>(k + 1)));
      }
      if (apart && previous != in) {
        const int pass = engine->CreateComponent(kAddType);
        EXPECT_TRUE(engine->Connect(previous, 0, pass, 0));
        previous = pass;
      }
      EXPECT_TRUE(engine->Connect(previous, 0, f, 0));
      filters.push_back(previous = f);
    }
    out = engine->CreateComponent(kOutType);
    EXPECT_TRUE(engine->Connect(previous, 0, out, 0));
  }

  std::vector<double> Block(const std::vector<double>& input, int frames) {
    std::memcpy(engine->InputBuffer(), input.data(), sizeof(double) * 2 * frames);
    const double* y = engine->ProcessBlock(frames);
    std::vector<double> result(y == nullptr ? 0 : 2 * frames);
    if (y != nullptr) std::memcpy(result.data(), y, sizeof(double) * result.size());
    engine->BlockDone();
    return result;
  }
};

// Bitwise, so that NaN compares equal to the same NaN.
bool SameBits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), sizeof(double) * a.size()) == 0;
}

std::vector<double> Noise(int frames, unsigned seed) {
  std::vector<double> x(2 * frames);
  for (double& v : x) {
    seed = seed * 1664525u + 1013904223u;
    v = 20000.0 * ((seed >> 8) / 16777216.0 - 0.5);
  }
  return x;
}

// Plays the same blocks through both and compares every output and, at the
// end, every filter's history.
void ExpectSameSound(Chain& fused, Chain& apart) {
  const int lengths[] = {256, 1, 37, 4096, 0, 128, 255, 3};
  unsigned seed = 7;
  for (int i = 0; i < 8; ++i) {
    std::vector<double> x = Noise(kMaxBlockFrames, seed += 11);
    if (i == 3) {  // a burst the filters must recover from
      x[10] = std::numeric_limits<double>::infinity();
      x[21] = std::numeric_limits<double>::quiet_NaN();
    }
    ASSERT_TRUE(SameBits(fused.Block(x, lengths[i]), apart.Block(x, lengths[i]))) << "block " << i;
  }
  for (std::size_t k = 0; k < fused.filters.size(); ++k) {
    const auto& a = *static_cast<const BiquadRecord*>(fused.engine->Record(fused.filters[k]));
    const auto& b = *static_cast<const BiquadRecord*>(apart.engine->Record(apart.filters[k]));
    EXPECT_EQ(std::memcmp(a.channel, b.channel, sizeof a.channel), 0) << "filter " << k;
  }
}

TEST(Cascade, MixedChainsOfAnyLengthSoundAsTheirFiltersOneByOne) {
  testing::TestUi ui;
  const BiquadCoefficients k = LowpassCoefficients(3000.0, 0.7, 44100.0);
  const std::vector<Stage> mix = {
      {kLowpassType, {1000.0, 1.414}},
      {kIir2Type, {k.b0, k.b1, k.b2, k.c1, k.c2}},
      {kHighpassType, {80.0, 0.7}},
      {kBandpassType, {2500.0, 1.5}},
      {kBandRejectType, {600.0, 2.0}},
      {kIir2Type, {0.5, -0.25}},  // in4..in6 unconnected: coefficients 0
      {kLowpassType, {22000.0, 0.005}},
      {kHighpassType, {5.0, 127.0}},
      {kPeakEqType, {2000.0, 6.0, 1.41}},
      {kLowShelfType, {100.0, -4.0}},  // Q unconnected: 1/√2
      {kAllpassType, {700.0}},         // gain and Q unconnected
      {kHighShelfType, {8000.0, 3.0, 0.7}},
      {kBandpassType, {21000.0, 4.0}},  // near the top, BP's design gives no numbers: silent
      {kIir2Type, {0.5}}};              // in3 unconnected: no output, so OUT is silent
  for (std::size_t count = 1; count <= mix.size(); ++count) {
    const std::vector<Stage> stages(mix.begin(), mix.begin() + count);
    Chain fused(stages, false), apart(stages, true);
    // The constants between the filters run first; the filters form one run.
    std::size_t constants = 0;
    for (const Stage& s : stages) constants += s.controls.size();
    const std::vector<std::uint32_t> runs = fused.engine->RunLengths();
    EXPECT_EQ(runs.size(), constants + 3) << "IN, the constants, the filters, OUT";
    EXPECT_EQ(*std::max_element(runs.begin(), runs.end()), count);
    ExpectSameSound(fused, apart);
  }
}

// A filter whose output is also read elsewhere ends a cascade; one whose
// control is audio makes its cascade fall back to one call at a time.
TEST(Cascade, TapsAndAudioControlsChangeNothingAudible) {
  testing::TestUi ui;
  const std::vector<Stage> lows(5, Stage{kLowpassType, {3000.0, 1.0}});
  Chain fused(lows, false), apart(lows, true);
  for (Chain* c : {&fused, &apart}) {
    PatchEngine& e = *c->engine;
    // OUT hears the last filter plus half of the second filter's output.
    const int mix = e.CreateComponent(kAddType), half = e.CreateComponent(kMultiplyType),
              k = e.CreateComponent(kConstantType);
    SetConstantValue(e, k, 0.5);
    ASSERT_TRUE(e.Connect(c->filters[1], 0, half, 0) && e.Connect(k, 0, half, 1) &&
                e.Connect(c->filters[4], 0, mix, 0) && e.Connect(half, 0, mix, 1) && e.Connect(mix, 0, c->out, 0));
    // The fourth filter's cutoff follows the input, through a copy of it.
    const int copy = e.CreateComponent(kReplicatorType), scale = e.CreateComponent(kMultiplyType),
              hz = e.CreateComponent(kConstantType);
    SetConstantValue(e, hz, 0.5);
    ASSERT_TRUE(e.Connect(c->in, 0, copy, 0) && e.Connect(copy, 0, c->filters[0], 0) &&
                e.Connect(copy, 1, scale, 0) && e.Connect(hz, 0, scale, 1) && e.Connect(scale, 0, c->filters[3], 1));
  }
  const std::vector<std::uint32_t> runs = fused.engine->RunLengths();
  EXPECT_EQ(std::count(runs.begin(), runs.end(), 2u), 2) << "filters 1-2 and 4-5";
  ExpectSameSound(fused, apart);
}

// An output read twice (no edit or load wires one so, but the plan does not
// count on that) ends a cascade: a control fed by an earlier filter of the chain
// must be read after that filter has run this block.
TEST(Cascade, AFiltersControlFromTheChainItselfSplitsTheChain) {
  testing::TestUi ui;
  const std::vector<Stage> lows(4, Stage{kLowpassType, {3000.0, 1.0}});
  Chain fused(lows, false), apart(lows, true);
  for (Chain* c : {&fused, &apart}) EngineTestAccess::AttachUnchecked(*c->engine, c->filters[2], 2, c->filters[1], 0);
  const std::vector<std::uint32_t> runs = fused.engine->RunLengths();
  EXPECT_EQ(std::count(runs.begin(), runs.end(), 2u), 2) << "filters 1-2 and 3-4";
  ExpectSameSound(fused, apart);
}

// Watching the outputs runs cascades one call at a time, which sounds the
// same, and keeps the first output that ran away: here a gain of 10^6
// before the filters, at the first frame whose input is far enough from 0.
TEST(Cascade, WatchingSoundsTheSameAndNamesTheFirstRunaway) {
  testing::TestUi ui;
  const std::vector<Stage> lows(3, Stage{kLowpassType, {3000.0, 1.0}});
  Chain watched(lows, false), plain(lows, false);
  int gain = -1;
  for (Chain* c : {&watched, &plain}) {
    PatchEngine& e = *c->engine;
    gain = e.CreateComponent(kMultiplyType);
    const int k = e.CreateComponent(kConstantType);
    SetConstantValue(e, k, 1e6);
    ASSERT_TRUE(e.Connect(c->in, 0, gain, 0) && e.Connect(k, 0, gain, 1) && e.Connect(gain, 0, c->filters[0], 0));
  }
  watched.engine->WatchOutputs(519306.7);
  std::vector<double> x(2 * 256, 0.0);
  x[2 * 200 + 1] = 0.6;  // frame 200, right channel: 600000 after the gain
  int slot = -1;
  std::uint64_t frame = 0;
  double value = 0.0;
  ASSERT_TRUE(SameBits(watched.Block(std::vector<double>(2 * 256, 0.0), 256), plain.Block(std::vector<double>(2 * 256, 0.0), 256)));
  EXPECT_FALSE(watched.engine->FirstOffence(slot, frame, value));
  ASSERT_TRUE(SameBits(watched.Block(x, 256), plain.Block(x, 256)));
  ASSERT_TRUE(watched.engine->FirstOffence(slot, frame, value));
  EXPECT_EQ(slot, gain) << "upstream of the filters it fed";
  EXPECT_EQ(frame, 256u + 200u) << "counted from the first block";
  EXPECT_EQ(value, 600000.0);
  EXPECT_FALSE(plain.engine->FirstOffence(slot, frame, value)) << "only a watched engine looks";
  ExpectSameSound(watched, plain);

  // Inside a cascade: the unstable second filter is named, not the first
  // or the last, and the chain still sounds as it does unwatched.
  const std::vector<Stage> chain = {{kLowpassType, {3000.0, 1.0}}, {kIir2Type, {1.0, 0.0, 0.0, 1.5}},
                                    {kLowpassType, {3000.0, 1.0}}};
  Chain inner(chain, false), unwatched(chain, false);
  inner.engine->WatchOutputs(519306.7);
  const std::vector<std::uint32_t> runs = inner.engine->RunLengths();
  EXPECT_EQ(*std::max_element(runs.begin(), runs.end()), 3u) << "one cascade";
  const std::vector<double> noise = Noise(256, 3);
  ASSERT_TRUE(SameBits(inner.Block(noise, 256), unwatched.Block(noise, 256)));
  ASSERT_TRUE(inner.engine->FirstOffence(slot, frame, value));
  EXPECT_EQ(slot, inner.filters[1]);
  EXPECT_GT(std::fabs(value), 519306.7);
  ExpectSameSound(inner, unwatched);
}

}  // namespace
}  // namespace korvel

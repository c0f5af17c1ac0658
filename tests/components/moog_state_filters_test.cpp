// The Moog ladder and the State filter.
#include <gtest/gtest.h>

#include <cmath>

#include "components/filter_reset.h"
#include "components/moog_state_filters.h"
#include "tests/components/component_harness.h"

namespace korvel {
namespace {

using testing::Component;
using testing::Feed;
using testing::Stereo;

TEST(MoogFilter, CoefficientsAndTheFirstFrameThroughTheLadder) {
  Component moog(kMoogType);
  const MoogRecord& m = moog.as<MoogRecord>();
  Feed x(Stereo(1, 16000.0, -8000.0)), f(20.0), r(100.0), high(30000.0), big(1000.0);
  moog.Run(1, {&x, &f, &r});
  EXPECT_NEAR(m.q, 3.8, 0.01);
  // Fresh stages: each stage passes p times its input, the last one limited.
  double s4 = 16000.0 * 3.051850947599719e-05 * m.p * m.p * m.p * m.p;
  EXPECT_DOUBLE_EQ(x.values[0], m.q * (s4 - s4 * s4 * s4 * 0.16666699945926666) * 32767.0);
  // Above the limits: 22000 Hz and resonance 100.
  moog.Run(1, {&x, &high, &big});
  const double fc = 22000.0 / 44100.0, u = 1 - fc;
  EXPECT_EQ(m.p, fc * (1 + 0.800000011920929 * u));
  EXPECT_EQ(m.g, 2 * m.p - 1);
  EXPECT_EQ(m.q, 1.0 * (1 + 0.5 * u * (1 - u + 5.599999904632568 * u * u)));
  EXPECT_EQ(m.cached_cutoff, 30000.0);
}

TEST(MoogFilter, SilenceStaysSilentAndChannelsAreIndependent) {
  Component silent(kMoogType), both(kMoogType), alone(kMoogType);
  Feed f(500.0), r(80.0), zeros(Stereo(64, 0.0, 0.0));
  silent.Run(64, {&zeros, &f, &r});
  EXPECT_EQ(zeros.values, Stereo(64, 0.0, 0.0));
  std::vector<double> mixed = Stereo(64, 0.0, 0.0), right_only = mixed;
  for (int i = 0; i < 64; ++i) {
    mixed[2 * i] = 20000.0 * std::sin(i * 0.3);
    mixed[2 * i + 1] = right_only[2 * i + 1] = 5000.0 * ((i % 8) - 4);
  }
  Feed a(mixed), b(right_only);
  both.Run(64, {&a, &f, &r});
  alone.Run(64, {&b, &f, &r});
  for (int i = 0; i < 64; ++i) ASSERT_TRUE(a.values[2 * i + 1] == b.values[2 * i + 1] && b.values[2 * i] == 0.0) << i;
}

TEST(MoogFilter, NoBufferGivesSilenceAndResetClearsTheStages) {
  Component moog(kMoogType);
  Feed x(Stereo(8, 30000.0, 30000.0)), f(100.0), r(100.0), constant(1.0);
  moog.Run(8, {&x, &f, &r});
  moog.Run(8, {&constant, &f, &r});
  EXPECT_TRUE(moog.IsConstant(0.0));
  const MoogRecord& m = moog.as<MoogRecord>();
  ASSERT_NE(m.channel[0].s4, 0.0) << "the silent block left the stages alone";
  ResetFilterState(moog.record, kMoogType);
  EXPECT_TRUE(m.channel[0].s4 == 0.0 && m.channel[1].s0 == 0.0 && m.q == 0.0 && m.cached_cutoff == 0.0);
}

TEST(StateFilter, OutputOneIsTheBandRejectResultAndTheRestStayUnset) {
  Component state(kStateFilterType), br(kBandRejectType);
  std::vector<double> block(64);
  for (int i = 0; i < 64; ++i) block[i] = 1000.0 * std::cos(i * 0.7);
  Feed a(block), b(block), cutoffs(block), w(3.0);
  for (int i = 0; i < 32; ++i) cutoffs.values[2 * i] = 300.0 + 100.0 * i;
  state.Run(32, {&a, &cutoffs, &w});
  br.Run(32, {&b, &cutoffs, &w});
  EXPECT_EQ(a.values, b.values);
  for (int k = 1; k < 4; ++k) EXPECT_TRUE(state.record->constant_flag[k] == 0 && state.record->output[k] == nullptr);
}

}  // namespace
}  // namespace korvel

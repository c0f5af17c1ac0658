// LP, HP, BP and BR filters: coefficients, limits, the coefficient cache,
// histories, and in-place processing inside a graph.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>

#include "components/arithmetic.h"
#include "components/biquad_filters.h"
#include "components/filter_reset.h"
#include "components/routing.h"
#include "components/value_sources.h"
#include "tests/components/component_harness.h"
#include "tests/support/engine_fixture.h"

namespace korvel {
namespace {

using testing::Component;
using testing::Feed;
using testing::Stereo;

// The design table at fs = 44100. The controls go through volatile so that
// the compiler cannot fold sin and sinh with its own rounding.
BiquadCoefficients Design(int type, double f_in, double r_in) {
  const volatile double f = f_in, r = r_in;
  const double w0 = 6.2831854820251465 * f / 44100.0, s = std::sin(w0), c = std::cos(w0);
  double alpha = s / r;
  if (type == kBandpassType) alpha = s * std::sinh(0.5 * r * w0 / s);
  if (type == kBandRejectType) alpha = s * std::sinh(0.125 * r * w0 / s);
  const double a0 = 1 + alpha, c1 = 2 * c / a0, c2 = -(1 - alpha) / a0;
  if (type == kLowpassType) return {(1 - c) * 0.5 / a0, (1 - c) / a0, (1 - c) * 0.5 / a0, c1, c2};
  if (type == kHighpassType) return {(1 + c) * 0.5 / a0, -(1 + c) / a0, (1 + c) * 0.5 / a0, c1, c2};
  if (type == kBandpassType) return {alpha / a0, 0.0, -alpha / a0, c1, c2};
  return {1 / a0, -2 * c / a0, 1 / a0, c1, c2};
}

MATCHER_P(Coefficients, e, "") {
  return arg.b0 == e.b0 && arg.b1 == e.b1 && arg.b2 == e.b2 && arg.c1 == e.c1 && arg.c2 == e.c2;
}

TEST(BiquadFilters, CoefficientsFollowTheDesignTable) {
  const struct { int type; double f, r; } cases[] = {
      {kLowpassType, 1000.0, 1.414}, {kHighpassType, 5000.0, 0.7}, {kBandpassType, 2000.0, 1.0}, {kBandRejectType, 440.0, 2.0}};
  for (const auto& c : cases) {
    Component filter(c.type);
    Feed x(Stereo(1, 100.0, -50.0)), f(c.f), r(c.r);
    filter.Run(1, {&x, &f, &r});
    EXPECT_THAT(filter.as<BiquadRecord>().k, Coefficients(Design(c.type, c.f, c.r))) << c.type;
    EXPECT_EQ(x.values[0], Design(c.type, c.f, c.r).b0 * 100.0) << "fresh history: y = b0 x";
  }
}

TEST(BiquadFilters, ControlsAreLimitedWhileTheCacheKeepsRawValues) {
  Component lp(kLowpassType);
  const BiquadRecord& rec = lp.as<BiquadRecord>();
  Feed x(Stereo(2, 1.0, 1.0)), zero(0.0), low(5.0), high(30000.0), big(500.0), nan(NAN);
  lp.Run(2, {&x, &zero, &zero});
  EXPECT_THAT(rec.k, Coefficients(BiquadCoefficients{})) << "0.0 and 0.0 equal the new cache";
  EXPECT_EQ(x.values, Stereo(2, 0.0, 0.0));
  lp.Run(2, {&x, &low, &zero});
  EXPECT_THAT(rec.k, Coefficients(Design(kLowpassType, 20.0, 0.004999999888241291)));
  EXPECT_EQ(rec.cached_cutoff, 5.0);
  lp.Run(2, {&x, &high, &big});
  EXPECT_THAT(rec.k, Coefficients(Design(kLowpassType, 22000.0, 127.0)));
  lp.Run(2, {&x, &nan, &big});  // a NaN equals any cached value
  EXPECT_EQ(rec.cached_cutoff, 30000.0);
  Feed cutoffs({1000.0, -1.0, 2000.0, -1.0});  // each frame's channel 0 value
  lp.Run(2, {&x, &cutoffs, &big});
  EXPECT_THAT(rec.k, Coefficients(Design(kLowpassType, 2000.0, 127.0)));
}

TEST(BiquadFilters, DirectCurrentPassesTheLowpassAndNotTheHighpass) {
  for (int type : {kLowpassType, kHighpassType}) {
    Component filter(type);
    Feed x(Stereo(kMaxBlockFrames, 1000.0, -1000.0)), f(1000.0), r(1.414);
    filter.Run(kMaxBlockFrames, {&x, &f, &r});
    const double settled = type == kLowpassType ? 1000.0 : 0.0;
    EXPECT_NEAR(x.values.end()[-2], settled, 1e-9);
    EXPECT_NEAR(x.values.end()[-1], -settled, 1e-9);
  }
}

TEST(BiquadFilters, ChannelsAndInstancesKeepTheirOwnHistories) {
  // `a` runs twice with another filter in between; `fresh` runs twice alone.
  Component a(kLowpassType), other(kLowpassType), fresh(kLowpassType);
  Feed f(800.0), r(2.0), f2(3000.0);
  std::vector<double> block = Stereo(16, 0.0, 0.0);
  for (int i = 0; i < 16; ++i) block[2 * i] = 1000.0 * ((i * 7) % 5);
  Feed a1(block), a2(block), o1(block), b1(block), b2(block);
  for (auto [c, x] : {std::pair{&a, &a1}, {&other, &o1}, {&a, &a2}, {&fresh, &b1}, {&fresh, &b2}})
    c->Run(16, {x, c == &other ? &f2 : &f, &r});
  EXPECT_EQ(a2.values, b2.values);
  EXPECT_EQ(a2.values[31], 0.0) << "silent channel 1 stays silent";
  EXPECT_EQ(a.as<BiquadRecord>().channel[1].y1, 0.0);
}

TEST(BiquadFilters, NoBufferToFilterGivesSilenceAndResetClearsTheRecord) {
  Component hp(kHighpassType);
  Feed x(Stereo(2, 1e308, -1e308)), f(1000.0), r(1.0), constant(5.0);
  hp.Run(2, {&x, &f, &r});
  const BiquadRecord& rec = hp.as<BiquadRecord>();
  const double y1 = rec.channel[0].y1;
  for (auto feeds : {std::initializer_list<Feed*>{&constant, &f, &r}, {&x, nullptr, &r}, {&x, &f, nullptr}}) {
    hp.Run(2, feeds);
    EXPECT_TRUE(hp.IsConstant(0.0));
  }
  EXPECT_TRUE(rec.channel[0].y1 == y1 && rec.cached_cutoff == 1000.0) << "left as it was";
  ResetFilterState(hp.record, kHighpassType);
  EXPECT_TRUE(rec.k.b0 == 0.0 && rec.cached_cutoff == 0.0 && rec.channel[0].y1 == 0.0 && rec.channel[1].x1 == 0.0);
  Feed y(Stereo(1, 2.0, 2.0));
  hp.Run(1, {&y, &f, &r});
  EXPECT_EQ(y.values[0], Design(kHighpassType, 1000.0, 1.0).b0 * 2.0) << "recomputed, fresh history";
}

using testing::EngineTest;

// Replicator output 1 feeds an in-place LP; output 2 feeds an adder that
// pulls it after the LP has run. Processed once, the Replicator hands the
// adder the block as it was before filtering.
TEST_F(EngineTest, AReplicatorsSecondOutputKeepsTheUnfilteredBlock) {
  const int in = Create(kInType), rep = Create(kReplicatorType), lp = Create(kLowpassType);
  const int add = Create(kAddType), out = Create(kOutType), f = Create(kConstantType), r = Create(kConstantType);
  static_cast<ConstantRecord*>(engine->record[f])->value = 200.0;
  static_cast<ConstantRecord*>(engine->record[r])->value = 1.0;
  ASSERT_TRUE(engine->Connect(in, 0, rep, 0) && engine->Connect(rep, 0, lp, 0) && engine->Connect(f, 0, lp, 1) &&
              engine->Connect(r, 0, lp, 2) && engine->Connect(lp, 0, add, 0) && engine->Connect(rep, 1, add, 1) &&
              engine->Connect(add, 0, out, 0));
  FillInput(32);
  const std::vector<double> x(engine->input_buffer, engine->input_buffer + 64);
  const double* result = engine->ProcessBlock(32);
  const BiquadCoefficients k = Design(kLowpassType, 200.0, 1.0);
  BiquadHistory h[2] = {};
  for (int i = 0; i < 64; ++i) {
    BiquadHistory& c = h[i % 2];
    const double y = k.b0 * x[i] + k.b1 * c.x1 + k.b2 * c.x2 + k.c1 * c.y1 + k.c2 * c.y2;
    c = {x[i], c.x1, y, c.y1};
    ASSERT_EQ(result[i], y + x[i]) << i;
  }
}

}  // namespace
}  // namespace korvel

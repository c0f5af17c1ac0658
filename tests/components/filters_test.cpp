// LP, HP, BP and BR biquads, the Moog ladder, the State filter, and the
// IIR2 and FIR8 filters whose coefficients arrive on inputs.
#include <algorithm>
#include <cmath>

#include "components/eq_filters.h"
#include "components/filter_reset.h"
#include "engine/host_timing.h"
#include "tests/components/component_harness.h"
#include "tests/support/engine_fixture.h"

namespace korvel::testing {
namespace {

// The design table at fs = 44100 as b0, b1, b2, c1, c2 (volatile: no folding).
std::vector<double> Design(int type, double f_in, double r_in) {
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
std::vector<double> K(const BiquadCoefficients& k) { return {k.b0, k.b1, k.b2, k.c1, k.c2}; }
std::vector<double> K(const BiquadRecord& rec) { return K(rec.k); }

// A DC block: the first frame is b0 x, the last has settled to the DC gain.
TEST(BiquadFilters, CoefficientsFreshHistoryAndDcGain) {
  const struct { int type; double f, r, dc; } cases[] = {{kLowpassType, 1000.0, 1.414, 1.0},
      {kHighpassType, 5000.0, 0.7, 0.0}, {kBandpassType, 2000.0, 1.0, 0.0}, {kBandRejectType, 440.0, 2.0, 1.0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    Component filter(c.type);
    Feed x(Stereo(kMaxBlockFrames, 100.0, -50.0)), f(c.f), r(c.r);
    EXPECT_EQ(K(filter.Run(kMaxBlockFrames, {&x, &f, &r}).as<BiquadRecord>()), Design(c.type, c.f, c.r));
    EXPECT_TRUE(x.values[0] == Design(c.type, c.f, c.r)[0] * 100.0 && x.values[1] == Design(c.type, c.f, c.r)[0] * -50.0);
    EXPECT_NEAR(x.values.end()[-2], 100.0 * c.dc, 1e-9);
    EXPECT_NEAR(x.values.end()[-1], -50.0 * c.dc, 1e-9);
  }
}

TEST(BiquadFilters, ControlsAreLimitedWhileTheCacheKeepsRawValues) {
  Component lp(kLowpassType);
  const BiquadRecord& rec = lp.as<BiquadRecord>();
  Feed x(Stereo(2, 1.0, 1.0)), zero(0.0), low(5.0), high(30000.0), big(500.0), nan(NAN);
  lp.Run(2, {&x, &zero, &zero});
  EXPECT_EQ(K(rec), std::vector<double>(5, 0.0)) << "0.0 and 0.0 equal the zeroed cache";
  EXPECT_EQ(x.values, Stereo(2, 0.0, 0.0));
  lp.Run(2, {&x, &low, &zero});
  EXPECT_EQ(K(rec), Design(kLowpassType, 20.0, 0.004999999888241291));
  EXPECT_EQ(rec.cached_cutoff, 5.0);
  lp.Run(2, {&x, &high, &big});
  EXPECT_EQ(K(rec), Design(kLowpassType, 22000.0, 127.0));
  lp.Run(2, {&x, &nan, &big});  // a NaN equals any cached value
  EXPECT_EQ(rec.cached_cutoff, 30000.0);
  Feed cutoffs({1000.0, -1.0, 2000.0, -1.0});  // each frame's channel 0 value
  lp.Run(2, {&x, &cutoffs, &big});
  EXPECT_EQ(K(rec), Design(kLowpassType, 2000.0, 127.0));
}

// `a` runs twice with another filter in between, `fresh` twice alone; then a
// constant in1 gives silence and leaves the histories until a reset.
TEST(BiquadFilters, HistoriesPerChannelAndInstanceAndNoBufferToFilter) {
  Component a(kLowpassType), other(kLowpassType), fresh(kLowpassType);
  Feed f(800.0), r(2.0), f2(3000.0), constant(5.0);
  std::vector<double> block = Stereo(16, 0.0, 0.0);
  for (int i = 0; i < 16; ++i) block[2 * i] = 1000.0 * ((i * 7) % 5);
  Feed a1(block), a2(block), o1(block), b1(block), b2(block), y(Stereo(1, 2.0, 2.0));
  for (auto [c, x] : {std::pair{&a, &a1}, {&other, &o1}, {&a, &a2}, {&fresh, &b1}, {&fresh, &b2}})
    c->Run(16, {x, c == &other ? &f2 : &f, &r});
  EXPECT_EQ(a2.values, b2.values);
  const BiquadRecord& rec = a.as<BiquadRecord>();
  EXPECT_TRUE(a2.values[31] == 0.0 && rec.channel[1].y1 == 0.0) << "silent channel 1 stays silent";
  const double y1 = rec.channel[0].y1;
  for (auto feeds : {std::initializer_list<Feed*>{&constant, &f, &r}, {&a1, nullptr, &r}, {&a1, &f, nullptr}})
    EXPECT_TRUE(a.Run(2, feeds).IsConstant(0.0));
  EXPECT_TRUE(rec.channel[0].y1 == y1 && y1 != 0.0 && rec.cached_cutoff == 800.0);
  ResetFilterState(a.record, kLowpassType);
  EXPECT_TRUE(rec.k.b0 == 0.0 && rec.cached_cutoff == 0.0 && rec.channel[0].y1 == 0.0 && rec.channel[0].x1 == 0.0);
  a.Run(1, {&y, &f, &r});
  EXPECT_EQ(y.values[0], Design(kLowpassType, 800.0, 2.0)[0] * 2.0) << "recomputed, fresh history";
}

// Replicator output 1 feeds an in-place LP, output 2 an adder that pulls it
// after the LP has run: processed once, it hands over the unfiltered block.
TEST_F(EngineTest, AReplicatorsSecondOutputKeepsTheUnfilteredBlock) {
  const int in = Create(kInType), rep = Create(kReplicatorType), lp = Create(kLowpassType);
  const int add = Create(kAddType), out = Create(kOutType), f = Create(kConstantType), r = Create(kConstantType);
  SetConstantValue(*engine, f, 200.0);
  SetConstantValue(*engine, r, 1.0);
  ASSERT_TRUE(engine->Connect(in, 0, rep, 0) && engine->Connect(rep, 0, lp, 0) && engine->Connect(f, 0, lp, 1) &&
              engine->Connect(r, 0, lp, 2) && engine->Connect(lp, 0, add, 0) && engine->Connect(rep, 1, add, 1) &&
              engine->Connect(add, 0, out, 0));
  FillInput(32);
  const std::vector<double> x(engine->InputBuffer(), engine->InputBuffer() + 64);
  const double* result = engine->ProcessBlock(32);
  Component alone(kLowpassType);
  Feed y(x), cutoff(200.0), resonance(1.0);
  alone.Run(32, {&y, &cutoff, &resonance});
  for (int i = 0; i < 64; ++i) ASSERT_EQ(result[i], y.values[i] + x[i]) << i;
}

TEST(MoogFilter, ResonanceLimitsChannelsSilenceAndReset) {
  Component moog(kMoogType), over(kMoogType), at(kMoogType), alone(kMoogType), silent(kMoogType);
  const MoogRecord& m = moog.as<MoogRecord>();
  Feed x(Stereo(1, 16000.0, -8000.0)), f(20.0), r(100.0), high(30000.0), top(22000.0), big(1000.0), constant(1.0);
  EXPECT_NEAR(moog.Run(1, {&x, &f, &r}).as<MoogRecord>().q, 3.8, 0.01);
  // Fresh stages: each passes p times its input, the last one soft-limited.
  const double s4 = 16000.0 / 32767.0 * std::pow(m.p, 4);
  EXPECT_NEAR(x.values[0], m.q * (s4 - s4 * s4 * s4 / 6) * 32767.0, 1e-9);
  std::vector<double> mixed = Stereo(64, 0.0, 0.0), right_only = mixed;
  for (int i = 0; i < 64; ++i) {
    mixed[2 * i] = 20000.0 * std::sin(i * 0.3);
    mixed[2 * i + 1] = right_only[2 * i + 1] = 5000.0 * ((i % 8) - 4);
  }
  Feed a(mixed), b(mixed), c(right_only), zeros(Stereo(64, 0.0, 0.0));
  over.Run(64, {&a, &high, &big}), at.Run(64, {&b, &top, &r}), alone.Run(64, {&c, &top, &r});
  EXPECT_EQ(a.values, b.values) << "30000 Hz and 1000 act as 22000 Hz and 100";
  for (int i = 0; i < 64; ++i) ASSERT_TRUE(b.values[2 * i + 1] == c.values[2 * i + 1] && c.values[2 * i] == 0.0) << i;
  silent.Run(64, {&zeros, &f, &r});
  EXPECT_EQ(zeros.values, Stereo(64, 0.0, 0.0)) << "silence stays silent";
  const MoogRecord& s = at.as<MoogRecord>();
  const double last = s.channel[0].s4;
  EXPECT_TRUE(at.Run(8, {&constant, &f, &r}).IsConstant(0.0) && s.channel[0].s4 == last && last != 0.0) << "stages kept";
  ResetFilterState(at.record, kMoogType);
  EXPECT_TRUE(s.channel[0].s4 == 0.0 && s.channel[1].s0 == 0.0 && s.q == 0.0 && s.cached_cutoff == 0.0);
}

// Each equaliser's gain far below and far above its frequency, after the
// output has settled: a DC block, then a block alternating in sign (half
// the sample rate).
TEST(Equalisers, ShelvesBellsAndAllpassesHaveTheirGainsAtTheEnds) {
  const struct { int type; double low_db, high_db; } cases[] = {
      {kPeakEqType, 0.0, 0.0}, {kLowShelfType, 6.0, 0.0}, {kHighShelfType, 0.0, 6.0}, {kAllpassType, 0.0, 0.0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    Component dc(c.type), nyquist(c.type);
    Feed f(1000.0), gain(6.0), q(0.9), x(Stereo(kMaxBlockFrames, 1000.0, 1000.0)), y(Stereo(kMaxBlockFrames, 0, 0));
    for (int i = 0; i < kMaxBlockFrames; ++i) y.values[2 * i] = y.values[2 * i + 1] = i % 2 ? -1000.0 : 1000.0;
    dc.Run(kMaxBlockFrames, {&x, &f, &gain, &q});
    nyquist.Run(kMaxBlockFrames, {&y, &f, &gain, &q});
    EXPECT_NEAR(20 * std::log10(std::fabs(x.values.back()) / 1000.0), c.low_db, 1e-6);
    EXPECT_NEAR(20 * std::log10(std::fabs(y.values.back()) / 1000.0), c.high_db, 1e-6);
  }
}

// Unconnected gain and Q read as 0 dB and 1/√2; a NaN gain is 0 dB, gains
// stop at ±60 dB; a fresh section designs itself even for controls that
// equal a zeroed cache, and so does one reset.
TEST(Equalisers, DefaultsLimitsAndAFreshCache) {
  Component a(kPeakEqType), b(kPeakEqType);
  Feed x(Stereo(4, 1.0, 1.0)), f(500.0), zero(0.0), q(kDefaultEqQ), nan(NAN), loud(80.0), sixty(60.0);
  const auto k = [](const Component& c) { return K(c.as<BiquadRecord>()); };
  a.Run(4, {&x, &f, nullptr, nullptr});
  b.Run(4, {&x, &f, &zero, &q});
  EXPECT_EQ(k(a), k(b));
  a.Run(4, {&x, &f, &nan, &q});
  EXPECT_EQ(k(a), k(b)) << "a NaN is no change";
  b.Run(4, {&x, &f, &nan, &zero});  // recomputed for the Q: the NaN gain acts as 0 dB
  EXPECT_EQ(K(b.as<BiquadRecord>()), K(PeakEqCoefficients(500.0, 0.0, kMinResonance, 44100.0)));
  a.Run(4, {&x, &f, &loud, &q});
  EXPECT_EQ(k(a), K(PeakEqCoefficients(500.0, 60.0, kDefaultEqQ, 44100.0)));
  b.Run(4, {&x, &f, &sixty, &q});
  EXPECT_EQ(k(a), k(b));
  Component fresh(kLowShelfType);
  fresh.Run(4, {&x, &zero, &zero, &zero});
  EXPECT_EQ(k(fresh), K(LowShelfCoefficients(20.0, 0.0, kMinResonance, 44100.0)));
  ResetFilterState(fresh.record, kLowShelfType);
  EXPECT_TRUE(std::isnan(fresh.as<EqRecord>().cached_gain) && fresh.as<BiquadRecord>().k.b0 == 0.0);
  EXPECT_TRUE(fresh.Run(4, {&x, nullptr, &zero, &zero}).IsConstant(0.0)) << "no frequency: silence";
}

// Cutoffs stop at 0.499 of the rate where that is below 22000 Hz, so a
// filter written for 44.1 kHz stays bounded at 22.05 kHz; at 44.1 kHz the
// bound is still 22000.
TEST(FilterCutoffs, StopBelowHalfTheRate) {
  const double rate = LoadHostTiming().sample_rate;
  StoreSampleTiming(22050.0, LoadHostTiming().samples_per_tick);
  Component lp(kLowpassType), eq(kHighShelfType), moog(kMoogType);
  std::vector<double> noise(2 * kMaxBlockFrames);
  for (int i = 0; i < 2 * kMaxBlockFrames; ++i) noise[i] = 30000.0 * std::sin(i * 1.7);
  Feed a(noise), b(noise), c(noise), f(15000.0), r(1.414), gain(6.0), q(0.7), res(50.0);
  lp.Run(kMaxBlockFrames, {&a, &f, &r});
  EXPECT_EQ(K(lp.as<BiquadRecord>()), K(LowpassCoefficients(0.499 * 22050.0, 1.414, 22050.0)));
  eq.Run(kMaxBlockFrames, {&b, &f, &gain, &q});
  moog.Run(kMaxBlockFrames, {&c, &f, &res});
  for (const Feed* out : {&a, &b, &c})
    for (double v : out->values) ASSERT_LT(std::fabs(v), 1e6);
  StoreSampleTiming(44100.0, LoadHostTiming().samples_per_tick);
  EXPECT_EQ(TopCutoff(44100.0), 22000.0);
  EXPECT_EQ(TopCutoff(22050.0), 11002.95);
  StoreSampleTiming(rate, LoadHostTiming().samples_per_tick);
}

TEST(StateFilter, OutputOneIsTheBandRejectResultAndTheRestStayUnset) {
  Component state(kStateFilterType), br(kBandRejectType);
  std::vector<double> block(64);  // channel 0 doubles as the cutoff, read per frame
  for (int i = 0; i < 64; ++i) block[i] = i % 2 ? 1000.0 * std::cos(i * 0.7) : 300.0 + 50.0 * i;
  Feed a(block), b(block), cutoffs(block), w(3.0);
  state.Run(32, {&a, &cutoffs, &w}), br.Run(32, {&b, &cutoffs, &w});
  EXPECT_EQ(a.values, b.values);
  for (int k = 1; k < 4; ++k) EXPECT_TRUE(state.record->constant_flag[k] == 0 && state.record->output[k] == nullptr);
}

TEST(Iir2Filter, FeedbackIsAddedAndCoefficientsAreReadPerFrame) {
  Component iir(kIir2Type), other(kIir2Type);
  Feed x(Stereo(4, 1.0, 2.0)), one(1.0), zero(0.0), half(0.5);
  iir.Run(4, {&x, &one, &zero, &zero, &half, &zero});
  EXPECT_EQ(x.values, (std::vector<double>{1.0, 2.0, 1.5, 3.0, 1.75, 3.5, 1.875, 3.75}));
  // B0 from a buffer (odd values never read), B2 a constant, in5 and in6
  // unconnected: coefficients 0.0. No B1 at all: silence.
  Feed y({1.0, 10.0, 0.0, 0.0, 0.0, 0.0}), b0({2.0, NAN, 3.0, NAN, 4.0, NAN});
  other.Run(3, {&y, &b0, &zero, &half});
  EXPECT_EQ(y.values, (std::vector<double>{2.0, 20.0, 0.0, 0.0, 0.5, 5.0}));
  EXPECT_TRUE(other.Run(3, {&y, &b0, nullptr}).IsConstant(0.0));
}

TEST(Fir8Filter, IdentityDelayAverageAndCoefficientBuffers) {
  std::vector<double> ramp(2 * 20);
  for (int f = 0; f < 20; ++f) ramp[2 * f] = f + 1.0, ramp[2 * f + 1] = -10.0 * (f + 1);
  Feed one(1.0), o(0.0), n(1.0 / 9), a(ramp), b(ramp), c(ramp);
  Component identity(kFir8Type), delay(kFir8Type), average(kFir8Type), fir(kFir8Type);
  identity.Run(20, {&a, &one, &o, &o, &o, &o, &o, &o, &o, &o});
  EXPECT_EQ(a.values, ramp);
  delay.Run(20, {&b, &o, &one, &o, &o, &o, &o, &o, &o, &o});
  EXPECT_TRUE(b.values[0] == 0.0 && b.values[1] == 0.0 && std::equal(ramp.begin(), ramp.end() - 2, b.values.begin() + 2));
  average.Run(20, {&c, &n, &n, &n, &n, &n, &n, &n, &n, &n});
  for (int f = 0; f < 20; ++f) {  // the mean of frames f-8..f, those before the first as 0
    const double mean = f < 8 ? (f + 1) * (f + 2) / 18.0 : f - 3.0;
    EXPECT_TRUE(std::abs(c.values[2 * f] - mean) < 1e-12 && std::abs(c.values[2 * f + 1] + 10 * mean) < 1e-11) << f;
  }
  // b0 and b1 from buffers read at channel 0; in4..in10 unconnected are 0.
  Feed x({1.0, 2.0, 3.0, 4.0}), b0({1.0, NAN, 0.0, NAN}), b1({0.0, NAN, 10.0, NAN});
  fir.Run(2, {&x, &b0, &b1});
  EXPECT_EQ(x.values, (std::vector<double>{1.0, 2.0, 10.0, 20.0}));
  EXPECT_TRUE(fir.Run(2, {&one, &b0, &b1}).IsConstant(0.0));
  EXPECT_EQ(fir.as<FirRecord>().history[1][0], 4.0) << "a silent block keeps the history";
}

}  // namespace
}  // namespace korvel::testing

// Filters whose coefficients arrive on inputs.
#include <gtest/gtest.h>

#include <algorithm>

#include "components/iir_fir_filters.h"
#include "tests/components/component_harness.h"

namespace korvel {
namespace {

using testing::Component;
using testing::Feed;
using testing::Stereo;

TEST(Iir2Filter, FeedbackIsAddedAndCoefficientsAreReadPerFrame) {
  Component iir(kIir2Type);
  Feed x(Stereo(4, 1.0, 2.0)), one(1.0), zero(0.0), half(0.5);
  iir.Run(4, {&x, &one, &zero, &zero, &half, &zero});
  EXPECT_EQ(x.values, (std::vector<double>{1.0, 2.0, 1.5, 3.0, 1.75, 3.5, 1.875, 3.75}));
  // B0 from a buffer (odd values never read), B2 a constant, in5 and in6
  // unconnected: coefficients 0.0.
  Component other(kIir2Type);
  Feed y({1.0, 10.0, 0.0, 0.0, 0.0, 0.0}), b0({2.0, NAN, 3.0, NAN, 4.0, NAN});
  other.Run(3, {&y, &b0, &zero, &half});
  EXPECT_EQ(y.values, (std::vector<double>{2.0, 20.0, 0.0, 0.0, 0.5, 5.0}));
  other.Run(3, {&y, &b0, nullptr});
  EXPECT_TRUE(other.IsConstant(0.0));
}

TEST(Fir8Filter, IdentityDelayAndMovingAverage) {
  std::vector<double> ramp(2 * 20);
  for (int f = 0; f < 20; ++f) ramp[2 * f] = f + 1.0, ramp[2 * f + 1] = -10.0 * (f + 1);
  Feed one(1.0), zero(0.0), ninth(1.0 / 9), a(ramp), b(ramp), c(ramp);
  Component identity(kFir8Type), delay(kFir8Type), average(kFir8Type);
  identity.Run(20, {&a, &one, &zero, &zero, &zero, &zero, &zero, &zero, &zero, &zero});
  EXPECT_EQ(a.values, ramp);
  delay.Run(20, {&b, &zero, &one, &zero, &zero, &zero, &zero, &zero, &zero, &zero});
  ramp.insert(ramp.begin(), {0.0, 0.0});
  ramp.resize(40);
  EXPECT_EQ(b.values, ramp);
  average.Run(20, {&c, &ninth, &ninth, &ninth, &ninth, &ninth, &ninth, &ninth, &ninth, &ninth});
  for (int f = 0; f < 20; ++f) {
    double sum = 0.0;  // frames before the first count as 0
    for (int j = std::max(0, f - 8); j <= f; ++j) sum += j + 1.0;
    EXPECT_NEAR(c.values[2 * f], sum / 9, 1e-12);
    EXPECT_NEAR(c.values[2 * f + 1], -10.0 * sum / 9, 1e-11);
  }
}

TEST(Fir8Filter, CoefficientBuffersAreReadAtChannelZero) {
  Component fir(kFir8Type);
  // b0 and b1 from buffers; in4..in10 unconnected are zero coefficients.
  Feed x({1.0, 2.0, 3.0, 4.0}), b0({1.0, NAN, 0.0, NAN}), b1({0.0, NAN, 10.0, NAN}), constant(1.0);
  fir.Run(2, {&x, &b0, &b1});
  EXPECT_EQ(x.values, (std::vector<double>{1.0, 2.0, 10.0, 20.0}));
  fir.Run(2, {&constant, &b0, &b1});
  EXPECT_TRUE(fir.IsConstant(0.0));
  EXPECT_EQ(fir.as<FirRecord>().history[1][0], 4.0) << "a silent block keeps the history";
}

}  // namespace
}  // namespace korvel

// x+y, x-y, x*y, x/y and x^y: in-place results and missing operands.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "components/arithmetic.h"
#include "tests/components/component_harness.h"

namespace korvel {
namespace {

using testing::Component;
using testing::Feed;

const std::pair<int, double (*)(double, double)> kOperations[] = {
    {kAddType, [](double x, double y) { return x + y; }},      {kSubtractType, [](double x, double y) { return x - y; }},
    {kMultiplyType, [](double x, double y) { return x * y; }}, {kDivideType, [](double x, double y) { return x / y; }},
    {kPowerType, [](double x, double y) { return std::pow(x, y); }}};
const std::vector<double> kX = {3.0, -2.0, 0.5, 7.0}, kY = {2.0, 4.0, -1.0, 0.25};

TEST(Arithmetic, ConstantsAndBuffersCombineInPlace) {
  for (const auto& [type, op] : kOperations) {
    SCOPED_TRACE(type);
    Component c(type);
    Feed c1(1.5), c2(3.0), x(kX), y(kY), x2(kX), y2(kY);
    c.Run(2, {&c1, &c2});
    EXPECT_TRUE(c.IsConstant(op(1.5, 3.0)));
    c.Run(2, {&c1, &y});
    EXPECT_EQ(c.buffer(), y.values.data());
    c.Run(2, {&x, &c2});
    EXPECT_EQ(c.buffer(), x.values.data());
    c.Run(2, {&x2, &y2});
    EXPECT_EQ(c.buffer(), x2.values.data());
    EXPECT_EQ(y2.values, kY) << "the second operand is only read";
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(y.values[i], op(1.5, kY[i]));
      EXPECT_EQ(x.values[i], op(kX[i], 3.0));
      EXPECT_EQ(x2.values[i], op(kX[i], kY[i]));
    }
  }
}

// Add and subtract treat a missing operand as 0 (subtract with only in2
// negates it); the others fall silent.
TEST(Arithmetic, MissingOperands) {
  for (const auto& [type, op] : kOperations) {
    SCOPED_TRACE(type);
    Component c(type);
    Feed x(kX), y(kY), k(5.0);
    c.Run(2, {nullptr, nullptr});
    EXPECT_TRUE(c.IsConstant(0.0));
    c.Run(2, {&x, nullptr});
    EXPECT_TRUE(type <= kSubtractType ? c.buffer() == x.values.data() : c.IsConstant(0.0));
    c.Run(2, {&k, nullptr});
    EXPECT_TRUE(c.IsConstant(type <= kSubtractType ? 5.0 : 0.0));
    c.Run(2, {nullptr, &y});
    EXPECT_TRUE(type <= kSubtractType ? c.buffer() == y.values.data() : c.IsConstant(0.0));
    EXPECT_EQ(y.values, type == kSubtractType ? std::vector<double>({-2.0, -4.0, 1.0, -0.25}) : kY);
    c.Run(2, {nullptr, &k});
    EXPECT_TRUE(c.IsConstant(type == kAddType ? 5.0 : type == kSubtractType ? -5.0 : 0.0));
    EXPECT_EQ(x.values, kX);
  }
}

TEST(Arithmetic, IeeeResultsPassOnUnlimited) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  Component divide(kDivideType), power(kPowerType), multiply(kMultiplyType);
  Feed x({5.0, -5.0, 0.0, 1.0}), zero(0.0);
  divide.Run(2, {&x, &zero});
  EXPECT_TRUE(x.values[0] == kInf && x.values[1] == -kInf && std::isnan(x.values[2]));
  Feed base({-8.0, 0.0, NAN, 3.0}), exponent({1.0 / 3, -1.0, 0.0, 2.0});
  power.Run(2, {&base, &exponent});
  EXPECT_TRUE(std::isnan(base.values[0]) && base.values[1] == kInf && base.values[2] == 1.0 && base.values[3] == 9.0);
  Feed a({32767.0, 32767.0}), b({32767.0, -32767.0});
  multiply.Run(1, {&a, &b});
  EXPECT_EQ(a.values, (std::vector<double>{1073676289.0, -1073676289.0}));
}

}  // namespace
}  // namespace korvel

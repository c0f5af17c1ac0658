// Arithmetic, clipping, value sources and the delays: in-place results,
// missing operands, and the global delay line.
#include <cmath>
#include <cstdint>
#include <tuple>

#include "engine/host_timing.h"
#include "tests/components/component_harness.h"
#include "tests/support/alloc_counter.h"
#include "tests/support/engine_fixture.h"

namespace korvel::testing {
namespace {

const std::pair<int, double (*)(double, double)> kOperations[] = {
    {kAddType, [](double x, double y) { return x + y; }},      {kSubtractType, [](double x, double y) { return x - y; }},
    {kMultiplyType, [](double x, double y) { return x * y; }}, {kDivideType, [](double x, double y) { return x / y; }},
    {kPowerType, [](double x, double y) { return std::pow(x, y); }}};
const std::vector<double> kX = {3.0, -2.0, 0.5, 7.0}, kY = {2.0, 4.0, -1.0, 0.25};

// In place into the buffer operand (in1 when both are buffers). With an
// operand missing, add and subtract take it as 0 (subtract with only in2
// negates it); the others fall silent.
TEST(Arithmetic, InPlaceResultsAndMissingOperands) {
  for (const auto& [type, op] : kOperations) {
    SCOPED_TRACE(type);
    const bool additive = type == kAddType || type == kSubtractType;
    Component c(type);
    Feed c1(1.5), c2(3.0), x(kX), y(kY), x2(kX), y2(kY), k(5.0);
    EXPECT_TRUE(c.Run(2, {&c1, &c2}).IsConstant(op(1.5, 3.0)));
    for (auto [in1, in2, result] : {std::tuple{&c1, &y, &y}, {&x, &c2, &x}, {&x2, &y2, &x2}})
      EXPECT_EQ(c.Run(2, {in1, in2}).buffer(), result->values.data());
    EXPECT_EQ(y2.values, kY) << "the second operand is only read";
    for (int i = 0; i < 4; ++i)
      EXPECT_TRUE(y.values[i] == op(1.5, kY[i]) && x.values[i] == op(kX[i], 3.0) && x2.values[i] == op(kX[i], kY[i])) << i;
    Feed mx(kX), my(kY);
    EXPECT_TRUE(c.Run(2, {nullptr, nullptr}).IsConstant(0.0));
    c.Run(2, {&mx, nullptr});
    EXPECT_TRUE(additive ? c.buffer() == mx.values.data() : c.IsConstant(0.0));
    EXPECT_TRUE(c.Run(2, {&k, nullptr}).IsConstant(additive ? 5.0 : 0.0));
    c.Run(2, {nullptr, &my});
    EXPECT_TRUE(additive ? c.buffer() == my.values.data() : c.IsConstant(0.0));
    EXPECT_EQ(my.values, type == kSubtractType ? std::vector<double>({-2.0, -4.0, 1.0, -0.25}) : kY);
    EXPECT_TRUE(c.Run(2, {nullptr, &k}).IsConstant(type == kAddType ? 5.0 : type == kSubtractType ? -5.0 : 0.0));
    EXPECT_EQ(mx.values, kX);
  }
}

TEST(Arithmetic, IeeeResultsPassOnUnlimited) {
  Component divide(kDivideType), power(kPowerType), multiply(kMultiplyType);
  Feed x({5.0, -5.0, 0.0, 1.0}), zero(0.0), base({-8.0, 0.0, NAN, 3.0}), exponent({1.0 / 3, -1.0, 0.0, 2.0}),
      a({32767.0, 32767.0}), b({32767.0, -32767.0});
  divide.Run(2, {&x, &zero});
  EXPECT_TRUE(x.values[0] == INFINITY && x.values[1] == -INFINITY && std::isnan(x.values[2]));
  power.Run(2, {&base, &exponent});
  EXPECT_TRUE(std::isnan(base.values[0]) && base.values[1] == INFINITY && base.values[2] == 1.0 && base.values[3] == 9.0);
  multiply.Run(1, {&a, &b});
  EXPECT_EQ(a.values, (std::vector<double>{1073676289.0, -1073676289.0}));
}

// x clipped by t gives `expected` whichever input is a constant, except that
// Clip gives `from_constant` for a constant x against a threshold buffer.
TEST(Clipping, RulesForEveryPairingOfConstantAndBuffer) {
  const struct { int type; double x, t, expected, from_constant; } cases[] = {
      {kClipType, 5000.0, 3000.0, 3000.0, 3000.0},       {kClipType, -5000.0, 3000.0, -3000.0, -3000.0},
      {kClipType, 200.0, 3000.0, 200.0, 200.0},          {kClipType, 0.0, -100.0, 100.0, 100.0},
      {kClipType, 500.0, -100.0, 100.0, -100.0},         {kClipType, -500.0, -100.0, 100.0, 100.0},
      {kClipTopType, 2000.0, 1000.0, 1000.0, 1000.0},    {kClipTopType, -1500.0, 1000.0, -1500.0, -1500.0},
      {kClipTopType, -200.0, -100.0, -200.0, -200.0},    {kClipBottomType, -1500.0, 1000.0, -1000.0, -1000.0},
      {kClipBottomType, 2000.0, 1000.0, 2000.0, 2000.0}, {kClipBottomType, 50.0, -100.0, 100.0, 100.0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.type << ": " << c.x << " by " << c.t);
    Component clip(c.type);
    Feed x(c.x), t(c.t), xs({c.x, c.x}), ts({c.t, c.t}), xb({c.x, c.x}), tb({c.t, c.t});
    // A missing input gives the constant 0.0 and leaves the other alone.
    EXPECT_TRUE(clip.Run(1, {&xs, nullptr}).IsConstant(0.0) && xs.values[0] == c.x);
    EXPECT_TRUE(clip.Run(1, {nullptr, &t}).IsConstant(0.0));
    EXPECT_TRUE(clip.Run(1, {&x, &t}).IsConstant(c.expected));
    EXPECT_TRUE(clip.Run(1, {&xs, &t}).buffer() == xs.values.data() && xs.values == std::vector<double>(2, c.expected));
    EXPECT_TRUE(clip.Run(1, {&xb, &tb}).buffer() == xb.values.data() && xb.values[1] == c.expected && tb.values[1] == c.t);
    EXPECT_TRUE(clip.Run(1, {&x, &ts}).buffer() == ts.values.data() && ts.values == std::vector<double>(2, c.from_constant));
  }
}

// Each block reads the host's current values; a constant its own setting.
TEST(ValueSources, ConstantsAndHostValuesAreReadEveryBlock) {
  const struct { int type; double before, after; } cases[] = {{kConstantType, 0.0, 0.0}, {kSampleRateType, 44100.0, 48000.0},
      {kSamplesPerTickType, 100.0, 512.0}, {kMaxSampleType, 32767.0, 32767.0}, {kBpmType, 1.0, 128.0},
      {kTpbType, 1.0, 96.0}, {kBpbType, 1.0, 3.0}};
  const HostTiming saved = LoadHostTiming();
  for (const auto& c : cases) {
    Component source(c.type);
    EXPECT_TRUE(source.Run(1, {}).IsConstant(c.before)) << c.type;
    StoreHostTiming({48000.0, 512.0, 128.0, 96.0, 3.0});
    EXPECT_TRUE(source.Run(1, {}).IsConstant(c.after)) << c.type;
    StoreHostTiming(saved);
  }
  Component set(kConstantType);
  set.as<ConstantRecord>().value = -12.5;
  EXPECT_TRUE(set.Run(4, {}).IsConstant(-12.5));
}

constexpr std::uint32_t kLength = kDelayLineLength;

TEST(DelayLine, PositionsWrapForAnyDelay) {
  const struct { std::uint32_t position; int frame; double delay; std::uint32_t expected; } cases[] = {
      {100, 3, 2.9, 105}, {100, 3, -0.5, 103}, {kLength - 1, 1, 0.0, 0}, {0, 0, -1.0, kLength - 1},
      {10, 0, 3.0 * kLength + 5, 15}, {10, 0, -2.0 * kLength - 11, kLength - 1}, {7, 0, NAN, 7},
      {0, 0, INFINITY, INT64_MAX % kLength}, {0, 0, -1e300, static_cast<std::uint32_t>((kLength + INT64_MIN % kLength) % kLength)}};
  for (const auto& c : cases) EXPECT_EQ(DelayLinePosition(c.position, c.frame, c.delay), c.expected) << c.delay;
}

// Line 0 is all the delay components use.
TEST(DelayLine, SetOverwritesAddAccumulatesGetReads) {
  std::vector<double> left(kLength), right(kLength);
  EngineContext context{};
  context.left_line[0] = left.data(), context.right_line[0] = right.data(), context.delay_position = kLength - 2;
  Component set(kDelaySetType, &context), add(kDelayAddType, &context), get(kDelayGetType, &context),
      simple(kDelaySimpleType, &context);
  Feed x({1.0, 10.0, 2.0, 20.0, 3.0, 30.0}), delay({2.9, NAN, 2.9, NAN, -0.5, NAN}), one(1.0), y({0.5, 0.5, 0.5, 0.5}),
      two(2.0), delays({2.0, NAN, 1.0, NAN});
  EXPECT_TRUE(set.Run(3, {&x, &delay}).buffer() == x.values.data() && x.values == std::vector<double>({1.0, 10.0, 2.0, 20.0, 3.0, 30.0}));
  // Frames 0 and 2 (delays 2 and 0) both land on position 0: the later wins.
  EXPECT_TRUE(left[0] == 3.0 && right[0] == 30.0 && left[1] == 2.0 && right[1] == 20.0);
  // A constant 1.0 added twice with no delay raises P..P+3 by 2.0.
  add.Run(4, {&one, nullptr}).Run(4, {&one, nullptr});
  EXPECT_TRUE(left[kLength - 2] == 2.0 && right[kLength - 1] == 2.0 && left[0] == 5.0 && right[1] == 22.0);
  EXPECT_EQ(add.buffer()[7], 1.0) << "the constant passes on in the own buffer";
  EXPECT_TRUE(set.Run(4, {nullptr, &one}).IsConstant(0.0) && left[kLength - 1] == 2.0) << "no in1, no write";
  // Get adds the line to in1; Simple without in1 returns the line alone.
  get.Run(2, {&y, &two});
  EXPECT_EQ(y.values, (std::vector<double>{5.5, 32.5, 4.5, 22.5}));
  EXPECT_TRUE(simple.Run(2, {nullptr, &delays}).buffer() == delays.values.data() && delays.values == std::vector<double>({5.0, 32.0, 5.0, 32.0}));
}

// Four-point interpolation is exact for a cubic: with the line holding
// c(j) at j frames back, a tap at any delay d returns c(d), also between
// samples, across the switch of its four frames, and at whole delays.
TEST(DelayTap, ReadsBetweenSamplesExactlyForACubicAndHoldsItsDelayInRange) {
  std::vector<double> left(kLength), right(kLength);
  EngineContext context{};
  context.left_line[0] = left.data(), context.right_line[0] = right.data(), context.delay_position = 3;
  const auto cubic = [](double j) { return ((0.001 * j - 0.2) * j + 3.0) * j + 7.0; };
  for (std::uint32_t j = 0; j < 400; ++j) {
    const std::uint32_t at = (context.delay_position + kLength - j) % kLength;  // wraps below position 0
    left[at] = cubic(j);
    right[at] = -cubic(j);
  }
  Component tap(kDelayTapType, &context);
  for (const double d : {0.0, 0.25, 1.0, 1.5, 1.999999, 2.0, 2.5, 100.5, 250.75, 399.0 - 4.0}) {
    Feed delay(d);
    tap.Run(1, {nullptr, &delay});
    EXPECT_NEAR(tap.buffer()[0], cubic(d), 1e-9 * std::fabs(cubic(d)) + 1e-9) << d;
    EXPECT_NEAR(tap.buffer()[1], -cubic(d), 1e-9 * std::fabs(cubic(d)) + 1e-9) << d;
  }
  // Frame k reads k frames later in the line: c(d - k); in1 is added.
  Feed delay(100.5), x(Stereo(3, 1000.0, 2000.0));
  tap.Run(3, {&x, &delay});
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(x.values[2 * k], 1000.0 + cubic(100.5 - k), 1e-9) << k;
  // A delay buffer, read per frame before the frame is written.
  Feed sweep({10.0, 0.0, 10.25, 0.0, 10.5, 0.0});
  EXPECT_EQ(tap.Run(3, {nullptr, &sweep}).buffer(), sweep.values.data());
  EXPECT_NEAR(sweep.values[4], cubic(10.5 - 2), 1e-9);
  // Whole delays come back bit for bit; negative and NaN read as 0, and
  // beyond the line the tap stops at its end.
  for (const double d : {-5.0, double{NAN}, -double{INFINITY}}) {
    Feed held(d);
    EXPECT_EQ(tap.Run(1, {nullptr, &held}).buffer()[0], cubic(0)) << d;
  }
  Feed whole(37.0);
  EXPECT_EQ(tap.Run(1, {nullptr, &whole}).buffer()[0], left[(3 + kLength - 37) % kLength]);
  EXPECT_EQ(TapNearest(INFINITY), TapNearest(kMaxTapDelay));
  EXPECT_EQ(TapNearest(kMaxTapDelay) + 3, kLength - 2) << "the farthest frame read stays in the line";
}

// Sweeping the delay never jumps: near the delays where the four frames
// change, the output moves by no more than the signal does.
TEST(DelayTap, TheOutputIsContinuousInTheDelay) {
  std::vector<double> left(kLength), right(kLength);
  EngineContext context{};
  context.left_line[0] = left.data(), context.right_line[0] = right.data();
  std::uint32_t seed = 7;
  for (std::uint32_t j = 0; j < 64; ++j) {
    seed = seed * 1664525u + 1013904223u;
    left[(kLength - j) % kLength] = static_cast<double>(seed >> 8) / 16777216.0 * 2.0 - 1.0;
  }
  Component tap(kDelayTapType, &context);
  const auto at = [&](double d) {
    Feed delay(d);
    return tap.Run(1, {nullptr, &delay}).buffer()[0];
  };
  for (const double d : {1.0, 2.0, 3.0, 17.0, 40.0}) EXPECT_NEAR(at(d - 1e-9), at(d), 1e-7) << d;
  EXPECT_NEAR(at(1e-9), at(0.0), 1e-7);
}

TEST(DelayZ, DelaysEachChannelByOneFrame) {
  Component z(kDelayZType);
  Feed x({1.0, 10.0, 2.0, 20.0, 3.0, 30.0}), next(4.0);
  z.Run(3, {&x, nullptr});
  EXPECT_EQ(x.values, (std::vector<double>{0.0, 0.0, 1.0, 10.0, 2.0, 20.0}));
  const double* own = z.Run(2, {&next, nullptr}).buffer();
  EXPECT_EQ(std::vector<double>(own, own + 4), (std::vector<double>{3.0, 30.0, 4.0, 4.0}));
  EXPECT_TRUE(z.Run(2, {nullptr, nullptr}).IsConstant(0.0) && z.as<DelayZRecord>().held[1] == 4.0);
}

// IN -> Delay Set (1000) -> x+y <- Delay Get: an impulse comes back 1000
// frames later, across blocks and the end of the line, allocating nothing.
TEST_F(EngineTest, AnImpulseReturnsAfterTheDelay) {
  const int in = Create(kInType), set = Create(kDelaySetType), get = Create(kDelayGetType);
  const int add = Create(kAddType), out = Create(kOutType), delay = Create(kConstantType);
  SetConstantValue(*engine, delay, 1000.0);
  ASSERT_TRUE(engine->Connect(in, 0, set, 0) && engine->Connect(delay, 0, set, 1) && engine->Connect(set, 0, add, 0) &&
              engine->Connect(get, 0, add, 1) && engine->Connect(add, 0, out, 0));
  EngineTestAccess::Context(*engine).delay_position = kLength - 300;
  AllocationCounter counter;
  for (int block = 0; block < 6; ++block) {
    std::fill_n(engine->InputBuffer(), 512, 0.0);
    if (block == 0) engine->InputBuffer()[10] = 1.0, engine->InputBuffer()[11] = -2.0;  // frame 5
    const double* result = engine->ProcessBlock(256);
    for (int f = 0, frame = 256 * block; f < 256; ++f, ++frame) {
      const double expected = frame == 5 || frame == 1005 ? 1.0 : 0.0;
      ASSERT_TRUE(result[2 * f] == expected && result[2 * f + 1] == -2.0 * expected) << frame;
    }
  }
  EXPECT_EQ(counter.count(), 0u);
}

}  // namespace
}  // namespace korvel::testing

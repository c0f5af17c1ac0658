// Delay Set, Add and Get over the global line, and the one-frame Z^-1.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "components/arithmetic.h"
#include "components/delays.h"
#include "components/routing.h"
#include "components/value_sources.h"
#include "tests/components/component_harness.h"
#include "tests/support/alloc_counter.h"
#include "tests/support/engine_fixture.h"

namespace korvel {
namespace {

using testing::Component;
using testing::Feed;

constexpr std::uint32_t kLength = kDelayLineLength;

// Line 0 is all the delay components use.
struct Lines {
  Lines() { context.left_line[0] = left.data(), context.right_line[0] = right.data(); }
  std::vector<double> left = std::vector<double>(kLength), right = std::vector<double>(kLength);
  EngineContext context{};
};

TEST(DelayLine, PositionsWrapForAnyDelay) {
  EXPECT_EQ(DelayLinePosition(100, 3, 2.9), 105u);
  EXPECT_EQ(DelayLinePosition(100, 3, -0.5), 103u);
  EXPECT_EQ(DelayLinePosition(kLength - 1, 1, 0.0), 0u);
  EXPECT_EQ(DelayLinePosition(0, 0, -1.0), kLength - 1);
  EXPECT_EQ(DelayLinePosition(10, 0, 3.0 * kLength + 5), 15u);
  EXPECT_EQ(DelayLinePosition(10, 0, -2.0 * kLength - 11), kLength - 1);
  EXPECT_EQ(DelayLinePosition(0, 0, INFINITY), INT64_MAX % kLength);
  EXPECT_EQ(DelayLinePosition(0, 0, -1e300), kLength + INT64_MIN % kLength);
  EXPECT_EQ(DelayLinePosition(7, 0, NAN), 7u);
}

TEST(DelayLine, SetOverwritesAddAccumulates) {
  Lines lines;
  lines.context.delay_position = kLength - 2;
  Component set(kDelaySetType, &lines.context), add(kDelayAddType, &lines.context);
  Feed x({1.0, 10.0, 2.0, 20.0, 3.0, 30.0}), delay({2.9, NAN, 2.9, NAN, -0.5, NAN}), one(1.0);
  set.Run(3, {&x, &delay});
  EXPECT_EQ(set.buffer(), x.values.data());
  EXPECT_EQ(x.values, (std::vector<double>{1.0, 10.0, 2.0, 20.0, 3.0, 30.0}));
  // Frames 0 and 2 (delays 2 and 0) both land on position 0: the later wins.
  EXPECT_TRUE(lines.left[0] == 3.0 && lines.right[0] == 30.0 && lines.left[1] == 2.0 && lines.right[1] == 20.0);
  // A constant 1.0 added twice with no delay raises P..P+3 by 2.0.
  add.Run(4, {&one, nullptr});
  add.Run(4, {&one, nullptr});
  EXPECT_TRUE(lines.left[kLength - 2] == 2.0 && lines.right[kLength - 1] == 2.0 && lines.left[0] == 5.0 &&
              lines.right[1] == 22.0);
  EXPECT_EQ(add.buffer()[7], 1.0) << "the constant passes on in the own buffer";
  set.Run(4, {nullptr, &one});
  EXPECT_TRUE(set.IsConstant(0.0) && lines.left[kLength - 1] == 2.0) << "no in1, no write";
}

TEST(DelayLine, GetAddsTheLineToIn1OrReturnsItAlone) {
  Lines lines;
  lines.context.delay_position = 100;
  for (std::uint32_t i = 0; i < kLength; ++i) lines.left[i] = i, lines.right[i] = -1.0 * i;
  Component get(kDelayGetType, &lines.context), simple(kDelaySimpleType, &lines.context);
  Feed x({0.5, 0.5, 0.5, 0.5}), ten(10.0), delays({-100.0, 7.0, -99.0, 7.0});
  get.Run(2, {&x, &ten});
  EXPECT_EQ(x.values, (std::vector<double>{110.5, -109.5, 111.5, -110.5}));
  simple.Run(2, {nullptr, &delays});
  EXPECT_EQ(simple.buffer(), delays.values.data());
  EXPECT_EQ(delays.values, (std::vector<double>{0.0, 0.0, 2.0, -2.0}));
  simple.Run(2, {nullptr, nullptr});
  EXPECT_TRUE(simple.buffer()[2] == 101.0 && lines.left[101] == 101.0);
}

TEST(DelayZ, DelaysEachChannelByOneFrame) {
  Component z(kDelayZType);
  Feed x({1.0, 10.0, 2.0, 20.0, 3.0, 30.0}), next(4.0);
  z.Run(3, {&x, nullptr});
  EXPECT_EQ(x.values, (std::vector<double>{0.0, 0.0, 1.0, 10.0, 2.0, 20.0}));
  z.Run(2, {&next, nullptr});
  EXPECT_EQ(std::vector<double>(z.buffer(), z.buffer() + 4), (std::vector<double>{3.0, 30.0, 4.0, 4.0}));
  z.Run(2, {nullptr, nullptr});
  EXPECT_TRUE(z.IsConstant(0.0) && z.as<DelayZRecord>().held[1] == 4.0);
}

using testing::EngineTest;

// IN -> Delay Set (1000) -> x+y <- Delay Get: an impulse comes back 1000
// frames later, across blocks and the end of the line, allocating nothing.
TEST_F(EngineTest, AnImpulseReturnsAfterTheDelay) {
  const int in = Create(kInType), set = Create(kDelaySetType), get = Create(kDelayGetType);
  const int add = Create(kAddType), out = Create(kOutType), delay = Create(kConstantType);
  static_cast<ConstantRecord*>(engine->record[delay])->value = 1000.0;
  ASSERT_TRUE(engine->Connect(in, 0, set, 0) && engine->Connect(delay, 0, set, 1) && engine->Connect(set, 0, add, 0) &&
              engine->Connect(get, 0, add, 1) && engine->Connect(add, 0, out, 0));
  engine->context.delay_position = kLength - 300;
  testing::AllocationCounter counter;
  for (int block = 0; block < 6; ++block) {
    std::fill_n(engine->input_buffer, 512, 0.0);
    if (block == 0) engine->input_buffer[10] = 1.0, engine->input_buffer[11] = -2.0;  // frame 5
    const double* result = engine->ProcessBlock(256);
    for (int f = 0; f < 256; ++f) {
      const int frame = 256 * block + f;
      const double expected = frame == 5 || frame == 1005 ? 1.0 : 0.0;
      ASSERT_TRUE(result[2 * f] == expected && result[2 * f + 1] == -2.0 * expected) << frame;
    }
  }
  EXPECT_EQ(counter.count(), 0u);
}

}  // namespace
}  // namespace korvel

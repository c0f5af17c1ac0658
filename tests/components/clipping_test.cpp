// Clip, Clip Top and Clip Bottom over every pairing of constant and buffer.
#include <gtest/gtest.h>

#include "components/clipping.h"
#include "tests/components/component_harness.h"

namespace korvel {
namespace {

using testing::Component;
using testing::Feed;

// x clipped by t gives `expected` whichever input is a constant, except that
// Clip gives `from_constant` for a constant x against a threshold buffer.
const struct { int type; double x, t, expected, from_constant; } kCases[] = {
    {kClipType, 5000.0, 3000.0, 3000.0, 3000.0},       {kClipType, -5000.0, 3000.0, -3000.0, -3000.0},
    {kClipType, 200.0, 3000.0, 200.0, 200.0},          {kClipType, 0.0, -100.0, 100.0, 100.0},
    {kClipType, 500.0, -100.0, 100.0, -100.0},         {kClipType, -500.0, -100.0, 100.0, 100.0},
    {kClipTopType, 2000.0, 1000.0, 1000.0, 1000.0},    {kClipTopType, -1500.0, 1000.0, -1500.0, -1500.0},
    {kClipTopType, -200.0, -100.0, -200.0, -200.0},    {kClipBottomType, -1500.0, 1000.0, -1000.0, -1000.0},
    {kClipBottomType, 2000.0, 1000.0, 2000.0, 2000.0}, {kClipBottomType, 50.0, -100.0, 100.0, 100.0},
};

TEST(Clipping, RulesForEveryPairingOfConstantAndBuffer) {
  for (const auto& c : kCases) {
    SCOPED_TRACE(::testing::Message() << c.type << ": " << c.x << " by " << c.t);
    Component clip(c.type);
    Feed x(c.x), t(c.t), xs({c.x, c.x}), ts({c.t, c.t}), xb({c.x, c.x}), tb({c.t, c.t});
    clip.Run(1, {&x, &t});
    EXPECT_TRUE(clip.IsConstant(c.expected));
    clip.Run(1, {&xs, &t});
    EXPECT_TRUE(clip.buffer() == xs.values.data() && xs.values[0] == c.expected && xs.values[1] == c.expected);
    clip.Run(1, {&xb, &tb});
    EXPECT_TRUE(clip.buffer() == xb.values.data() && xb.values[1] == c.expected && tb.values[1] == c.t);
    clip.Run(1, {&x, &ts});
    EXPECT_TRUE(clip.buffer() == ts.values.data() && ts.values[0] == c.from_constant && ts.values[1] == c.from_constant);
  }
}

TEST(Clipping, AMissingInputGivesTheConstantZero) {
  for (int type : {kClipType, kClipTopType, kClipBottomType}) {
    Component clip(type);
    Feed x({7.0, 8.0}), t(1.0);
    clip.Run(1, {&x, nullptr});
    EXPECT_TRUE(clip.IsConstant(0.0));
    clip.Run(1, {nullptr, &t});
    EXPECT_TRUE(clip.IsConstant(0.0));
    EXPECT_EQ(x.values, (std::vector<double>{7.0, 8.0}));
  }
}

}  // namespace
}  // namespace korvel

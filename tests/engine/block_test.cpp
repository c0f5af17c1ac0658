// Block evaluation: what a block returns, the delay position, fan-out.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "components/delays.h"
#include "components/routing.h"
#include "components/value_sources.h"
#include "tests/support/alloc_counter.h"
#include "tests/support/engine_fixture.h"

namespace korvel {
namespace {

using testing::EngineTest;

TEST_F(EngineTest, InWiredToOutHandsBackTheInputBufferItself) {
  const int in = Create(kInType), out = Create(kOutType);
  ASSERT_TRUE(engine->Connect(in, 0, out, 0));
  FillInput(64);
  const double* result = engine->ProcessBlock(64);
  EXPECT_EQ(result, engine->InputBuffer());
  EXPECT_EQ(result[0], 1.0);
  EXPECT_EQ(result[127], -64.0);
}

TEST_F(EngineTest, WithoutAnOutNothingRunsAndTheDelayPositionStays) {
  Create(kInType);
  EngineTestAccess::Context(*engine).delay_position = 1234;
  EXPECT_EQ(engine->ProcessBlock(256), nullptr);
  EXPECT_EQ(engine->Context().delay_position, 1234u);
  EXPECT_EQ(engine->Record(0)->pending, 0) << "no slot is marked";
}

TEST_F(EngineTest, SilenceWhenOutDeliversNoBuffer) {
  // Unconnected OUT.
  const int out = Create(kOutType);
  EXPECT_EQ(engine->ProcessBlock(16), nullptr);
  EXPECT_EQ(engine->Record(out)->constant_flag[0], 1);
  EXPECT_EQ(engine->Record(out)->constant[0], 0.0);
  // A constant (an unfed Replicator's outputs) into OUT.
  const int rep = Create(kReplicatorType);
  ASSERT_TRUE(engine->Connect(rep, 3, out, 0));
  EXPECT_EQ(engine->ProcessBlock(16), nullptr);
  // An output never set reads as 0.0: IN's outputs 2..16, and any output
  // of an In that is not the module's IN.
  const int module_in = Create(kInType), second_in = Create(kInType);
  ASSERT_TRUE(engine->Connect(module_in, 3, out, 0));
  EXPECT_EQ(engine->ProcessBlock(16), nullptr);
  ASSERT_TRUE(engine->Connect(second_in, 0, out, 0));
  EXPECT_EQ(engine->ProcessBlock(16), nullptr);
  ASSERT_TRUE(engine->Connect(module_in, 0, out, 0));
  EXPECT_EQ(engine->ProcessBlock(16), engine->InputBuffer());
}

TEST_F(EngineTest, DelayPositionAdvancesAndWrapsAtTheLineLength) {
  const int in = Create(kInType), out = Create(kOutType);
  engine->Connect(in, 0, out, 0);
  engine->ProcessBlock(100);
  EXPECT_EQ(engine->Context().delay_position, 100u);
  EngineTestAccess::Context(*engine).delay_position = kDelayLineLength - 256;
  engine->ProcessBlock(256);
  EXPECT_EQ(engine->Context().delay_position, 0u);
  EngineTestAccess::Context(*engine).delay_position = kDelayLineLength - 10;
  engine->ProcessBlock(16);
  EXPECT_EQ(engine->Context().delay_position, 6u);
}

TEST_F(EngineTest, EveryLiveRecordGetsTheBlockLength) {
  const int in = Create(kInType), out = Create(kOutType);
  const int loose = Create(kReplicatorType);
  engine->Connect(in, 0, out, 0);
  engine->ProcessBlock(4096);
  EXPECT_EQ(engine->Record(loose)->block_length, 4096);
  EXPECT_EQ(engine->Record(loose)->pending, 1) << "not on the path from OUT";
  EXPECT_EQ(engine->Record(out)->pending, 0);
}

TEST_F(EngineTest, ReplicatorGivesEveryConsumerItsOwnBlock) {
  const int in = Create(kInType), rep = Create(kReplicatorType), out = Create(kOutType);
  engine->Connect(in, 0, rep, 0);
  engine->Connect(rep, 0, out, 0);
  FillInput(256);
  engine->ProcessBlock(256);
  const ComponentRecord& r = *engine->Record(rep);
  EXPECT_EQ(r.output[0], engine->InputBuffer());
  for (int j = 1; j < 8; ++j) {
    ASSERT_EQ(r.constant_flag[j], 0);
    EXPECT_NE(r.output[j], engine->InputBuffer());
    EXPECT_EQ(r.output[j][0], 1.0);
    EXPECT_EQ(r.output[j][511], -256.0) << "copies reach the block's last value";
  }
  r.output[2][5] = 99.0;
  EXPECT_NE(r.output[3][5], 99.0);
}

TEST_F(EngineTest, ReplicatorCopiesBlocksUpToTheEnginesLargest) {
  const int in = Create(kInType), rep = Create(kReplicatorType), out = Create(kOutType);
  engine->Connect(in, 0, rep, 0);
  engine->Connect(rep, 7, out, 0);
  FillInput(kMaxBlockFrames);
  const double* result = engine->ProcessBlock(kMaxBlockFrames);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result[2 * kMaxBlockFrames - 2], kMaxBlockFrames);
}

TEST_F(EngineTest, AConsumerReachedTwiceIsProcessedOnce) {
  // IN -> Replicator; outputs 1 and 2 both lead to OUT's path through a
  // second Replicator chain. Each slot's process runs once: the second
  // Replicator, pulled by two paths, keeps the copy made on its first call.
  const int in = Create(kInType), a = Create(kReplicatorType), b = Create(kReplicatorType);
  const int out = Create(kOutType);
  engine->Connect(in, 0, a, 0);
  engine->Connect(a, 0, b, 0);
  engine->Connect(b, 1, out, 0);
  FillInput(8);
  engine->ProcessBlock(8);
  EXPECT_EQ(engine->Record(a)->pending, 0);
  EXPECT_EQ(engine->Record(b)->pending, 0);
  EXPECT_EQ(engine->ProcessBlock(8)[0], 1.0);
}

TEST_F(EngineTest, ProcessingABlockAllocatesNothing) {
  const int in = Create(kInType), out = Create(kOutType);
  int previous = in;
  for (int i = 0; i < 40; ++i) {
    const int rep = Create(kReplicatorType);
    engine->Connect(previous, 0, rep, 0);
    previous = rep;
  }
  engine->Connect(previous, 4, out, 0);
  FillInput(kMaxBlockFrames);
  engine->ProcessBlock(kMaxBlockFrames);
  testing::AllocationCounter counter;
  for (int i = 0; i < 20; ++i) ASSERT_NE(engine->ProcessBlock(256), nullptr);
  EXPECT_EQ(counter.count(), 0u);
}

// A loop of 10 frames runs in slices of 10, and neither the slices nor
// oversampling allocate while a block runs.
TEST_F(EngineTest, SlicedAndOversampledBlocksAllocateNothing) {
  const int in = Create(kInType), get = Create(kDelayGetType), split = Create(kReplicatorType);
  const int set = Create(kDelaySetType), delay = Create(kConstantType), out = Create(kOutType);
  std::string error;
  ASSERT_TRUE(engine->SetSettings(delay, {{"value", 10}}, error)) << error;
  ASSERT_TRUE(engine->Connect(in, 0, get, 0) && engine->Connect(get, 0, split, 0) && engine->Connect(split, 0, out, 0) &&
              engine->Connect(split, 1, set, 0) && engine->Connect(delay, 0, set, 1));
  for (const int factor : {1, 4}) {
    ASSERT_TRUE(engine->SetOversampling(factor));
    FillInput(kMaxBlockFrames);
    ASSERT_NE(engine->ProcessBlock(kMaxBlockFrames), nullptr);
    EXPECT_EQ(engine->LastSliceLength(), 10u);
    testing::AllocationCounter counter;
    for (int i = 0; i < 20; ++i) ASSERT_NE(engine->ProcessBlock(256), nullptr);
    EXPECT_EQ(counter.count(), 0u) << factor;
  }
}

}  // namespace
}  // namespace korvel

// Creating, deleting, clearing and wiring components; routing processes.
#include <gtest/gtest.h>

#include <cstring>

#include <nlohmann/json.hpp>

#include "components/routing.h"
#include "components/biquad_filters.h"
#include "components/value_sources.h"
#include "engine/type_table.h"
#include "tests/support/engine_fixture.h"

namespace korvel {
namespace {

using testing::EngineTest;

TEST_F(EngineTest, NewComponentTakesTypeDefaults) {
  engine->Editor().new_component_x = 120;
  engine->Editor().new_component_y = 45;
  const int slot = Create(kReplicatorType);
  const ComponentDescriptor& d = Desc(slot);
  EXPECT_STREQ(d.label, "Replicator");
  EXPECT_STREQ(d.provider, "*internal");
  EXPECT_EQ(d.type, kReplicatorType);
  EXPECT_EQ(d.input_count, 1);
  EXPECT_EQ(d.output_count, 8);
  EXPECT_EQ(d.x, 120);
  EXPECT_EQ(d.y, 45);
  EXPECT_EQ(d.width, 80);
  EXPECT_EQ(d.height, 8 * 8 + 6);
  EXPECT_EQ(d.colour, 0xA1F66Du);
  EXPECT_EQ(d.input_source_slot[63], kNoSlot);
  EXPECT_EQ(d.output_target_input[0], kNoSlot);
  EXPECT_EQ(engine->Record(slot)->context, &engine->Context());
  EXPECT_NE(engine->ComponentInfo(slot).find("out8"), std::string::npos) << engine->ComponentInfo(slot);
  // The readers answer nothing, rather than reading past the tables, for a
  // slot that is empty or out of range.
  for (int s : {-1, slot + 1, kSlotCount, 65535}) {
    EXPECT_EQ(engine->Descriptor(s), nullptr) << s;
    EXPECT_EQ(engine->Record(s), nullptr) << s;
    EXPECT_EQ(engine->Dispatch(s), nullptr) << s;
    EXPECT_EQ(engine->ComponentInfo(s), "") << s;
  }
  EXPECT_EQ(engine->ParameterName(kNamedParameterCount), "");
  EXPECT_EQ(engine->ParameterKind(-1), 0u);
}

TEST_F(EngineTest, UnavailableTypesAreRefusedSilently) {
  for (int type : {-1, 4, 6, 33, 49, 199, 200, 1000}) EXPECT_EQ(Create(type), -1) << type;
  EXPECT_EQ(engine->SlotCount(), 0);
  EXPECT_TRUE(ui.messages.empty());
}

TEST_F(EngineTest, TheTwoHundredFiftySeventhComponentIsRefusedWithAMessage) {
  for (int i = 0; i < kSlotCount; ++i) ASSERT_EQ(Create(kGroupType), i);
  EXPECT_TRUE(ui.messages.empty());
  EXPECT_EQ(Create(kGroupType), -1);
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0].text, "Couldn't create component, no more component space left, sorry.");
  EXPECT_EQ(ui.messages[0].title, "Component Creation Problem");
  EXPECT_EQ(ui.messages[0].style, kMbOk | kMbIconExclamation);
  EXPECT_EQ(engine->SlotCount(), 256);
}

TEST_F(EngineTest, FreedSlotsAreReusedLowestFirstAndTheCountNeverDrops) {
  for (int i = 0; i < 6; ++i) Create(kReplicatorType);
  engine->DeleteComponent(3);
  engine->DeleteComponent(1);
  EXPECT_FALSE(engine->IsOccupied(3));
  EXPECT_EQ(engine->SlotCount(), 6);
  EXPECT_EQ(Create(kGroupType), 1);
  EXPECT_EQ(Create(kGroupType), 3);
  EXPECT_EQ(Create(kGroupType), 6);
  EXPECT_EQ(engine->SlotCount(), 7);
}

TEST_F(EngineTest, TheFirstInAndOutServeTheModule) {
  const int in1 = Create(kInType), in2 = Create(kInType);
  const int out1 = Create(kOutType), out2 = Create(kOutType);
  EXPECT_EQ(engine->InSlot(), in1);
  EXPECT_EQ(engine->OutSlot(), out1);
  engine->DeleteComponent(in1);
  engine->DeleteComponent(out1);
  EXPECT_EQ(engine->InSlot(), -1) << "the second IN does not take over";
  EXPECT_EQ(engine->OutSlot(), -1);
  EXPECT_EQ(Create(kInType), in1);
  EXPECT_EQ(engine->InSlot(), in1);
  engine->DeleteComponent(in2);
  engine->DeleteComponent(out2);
  EXPECT_EQ(engine->InSlot(), in1);
}

TEST_F(EngineTest, ConnectionsAreRecordedOnBothEndsAndReleasedOnDelete) {
  const int in = Create(kInType), rep = Create(kReplicatorType), out = Create(kOutType);
  ASSERT_TRUE(engine->Connect(in, 0, rep, 0));
  ASSERT_TRUE(engine->Connect(rep, 2, out, 0));
  EXPECT_EQ(Desc(rep).input_source_slot[0], in);
  EXPECT_EQ(Desc(in).output_target_slot[0], rep);
  EXPECT_EQ(Desc(out).input_source_output[0], 2);
  EXPECT_EQ(Desc(rep).output_target_slot[2], out);
  engine->DeleteComponent(rep);
  EXPECT_EQ(Desc(in).output_target_slot[0], kNoSlot);
  EXPECT_EQ(Desc(in).output_target_input[0], 0);
  EXPECT_EQ(Desc(out).input_source_slot[0], kNoSlot);
  EXPECT_EQ(Desc(out).input_source_output[0], 0);
}

TEST_F(EngineTest, ReconnectingMovesWires) {
  const int in = Create(kInType), a = Create(kReplicatorType), b = Create(kReplicatorType);
  ASSERT_TRUE(engine->Connect(in, 0, a, 0));
  // The same output to another input: the old target lets go.
  ASSERT_TRUE(engine->Connect(in, 0, b, 0));
  EXPECT_EQ(Desc(a).input_source_slot[0], kNoSlot);
  EXPECT_EQ(Desc(b).input_source_slot[0], in);
  // Another source into an input that has one: the old source lets go.
  ASSERT_TRUE(engine->Connect(in, 1, b, 0));
  EXPECT_EQ(Desc(in).output_target_slot[0], kNoSlot);
  EXPECT_EQ(Desc(in).output_target_slot[1], b);
  EXPECT_EQ(Desc(b).input_source_output[0], 1);
  engine->DetachOutput(in, 1);
  EXPECT_EQ(Desc(b).input_source_slot[0], kNoSlot);
  EXPECT_EQ(Desc(in).output_target_slot[1], kNoSlot);
}

TEST_F(EngineTest, WiresThatWouldCloseACycleOrMissAPortAreRefused) {
  const int a = Create(kReplicatorType), b = Create(kReplicatorType), c = Create(kReplicatorType);
  ASSERT_TRUE(engine->Connect(a, 0, b, 0));
  ASSERT_TRUE(engine->Connect(b, 0, c, 0));
  EXPECT_FALSE(engine->Connect(c, 0, a, 0));
  EXPECT_FALSE(engine->Connect(b, 1, a, 0));
  EXPECT_FALSE(engine->Connect(a, 1, a, 0));
  EXPECT_EQ(Desc(a).input_source_slot[0], kNoSlot);
  EXPECT_TRUE(engine->ClosesLoop(c, a)) << "a feeds c";
  EXPECT_FALSE(engine->ClosesLoop(a, c));
  EXPECT_TRUE(engine->ClosesLoop(b, b));
  EXPECT_FALSE(engine->Connect(a, 8, c, 0)) << "a Replicator has outputs 0..7";
  EXPECT_FALSE(engine->Connect(a, 1, c, 1)) << "and one input";
  EXPECT_FALSE(engine->Connect(a, 1, 200, 0)) << "an empty slot";
}

TEST_F(EngineTest, ClearModuleEmptiesSlotsAndNamesButKeepsKindsScriptTextsAndDelays) {
  char names[kNamedParameterCount][64];
  for (int p = 0; p < kNamedParameterCount; ++p) {
    std::strcpy(names[p], "Gain");
  }
  char* lent[kNamedParameterCount];
  for (int p = 0; p < kNamedParameterCount; ++p) lent[p] = names[p];
  EngineTestAccess::LendParameterNames(*engine, lent);
  for (int p = 0; p < kNamedParameterCount; ++p) engine->SetParameterInfo(p, "Gain", 2);
  engine->SetModuleTexts("Untitled Korvel", "someone", "");
  engine->ApplyScript("# mine");
  ASSERT_TRUE(engine->ReserveDelayLines());
  EngineTestAccess::Line(*engine, 3)[77] = 5.0;
  EngineTestAccess::Context(*engine).delay_position = 99;
  const int in = Create(kInType), out = Create(kOutType);
  engine->Connect(in, 0, out, 0);
  engine->Editor().selected_slot = out;
  engine->ClearModule();
  for (int s = 0; s < kSlotCount; ++s) EXPECT_FALSE(engine->IsOccupied(s));
  EXPECT_EQ(engine->SlotCount(), 0);
  EXPECT_EQ(engine->InSlot(), -1);
  EXPECT_EQ(engine->OutSlot(), -1);
  EXPECT_EQ(engine->Editor().selected_slot, -1);
  EXPECT_STREQ(names[7], "");
  EXPECT_EQ(engine->ParameterKind(7), 2u) << "display kinds belong to the host's parameters";
  EXPECT_EQ(engine->ScriptText(), "# mine");
  EXPECT_EQ(engine->ModuleAuthor(), "someone");
  EXPECT_EQ(engine->DelayLine(3)[77], 5.0);
  EXPECT_EQ(engine->Context().delay_position, 99u);
  EXPECT_EQ(Create(kInType), 0);
}

// Settings change through the type's own hooks: a renewed record, the
// other keys kept, and a refused value changing nothing.
TEST_F(EngineTest, SettingsChangeByRenewalAndARefusedValueChangesNothing) {
  const int slider = Create(kSliderType), filter = Create(kLowpassType);
  std::string error;
  const ComponentRecord* before = engine->Record(slider);
  ASSERT_TRUE(engine->SetSettings(slider, {{"parameter", 3}, {"max", 3000.0}}, error)) << error;
  EXPECT_NE(engine->Record(slider), before);
  EXPECT_EQ(engine->Settings(slider).dump(), R"({"parameter":3,"min":0.0,"max":3000.0})");
  EXPECT_FALSE(engine->SetSettings(slider, {{"min", 1.0}, {"parameter", 26}}, error));
  EXPECT_EQ(error, "\"parameter\" is 26, outside 1..25");
  EXPECT_EQ(engine->Settings(slider).dump(), R"({"parameter":3,"min":0.0,"max":3000.0})");
  EXPECT_FALSE(engine->SetSettings(filter, {{"value", 1.0}}, error));
  EXPECT_TRUE(engine->Settings(filter).empty());
}

TEST(RoutingProcess, GenericOutputsSixtyFourSilentConstants) {
  auto* rec = reinterpret_cast<ComponentRecord*>(kComponentTypeTable.dispatch[kGenericType](kCreateState, nullptr, nullptr));
  ComponentRecord* inputs[1] = {nullptr};
  const std::int16_t outs[1] = {0};
  rec->constant[9] = 4.0;
  kComponentTypeTable.process[kGenericType](rec, inputs, outs);
  for (int k = 0; k < kMaxPorts; ++k) {
    EXPECT_EQ(rec->constant_flag[k], 1);
    EXPECT_EQ(rec->constant[k], 0.0);
  }
  kComponentTypeTable.dispatch[kGenericType](kDestroyState, nullptr, rec);
}

TEST(RoutingProcess, ReplicatorFedAConstantPassesItOnWithoutCopying) {
  auto dispatch = kComponentTypeTable.dispatch[kReplicatorType];
  auto* rec = reinterpret_cast<ReplicatorRecord*>(dispatch(kCreateState, nullptr, nullptr));
  ComponentRecord source{};
  source.constant_flag[2] = 1;
  source.constant[2] = 1000.0;
  ComponentRecord* inputs[1] = {&source};
  const std::int16_t outs[1] = {2};
  rec->block_length = 256;
  kComponentTypeTable.process[kReplicatorType](rec, inputs, outs);
  for (int k = 0; k < 8; ++k) {
    EXPECT_EQ(rec->constant_flag[k], 1);
    EXPECT_EQ(rec->constant[k], 1000.0);
  }
  EXPECT_EQ(rec->copies[0][0], 0.0);
  dispatch(kDestroyState, nullptr, rec);
}

// A new factor renews every record (a filter designed at the old rate has
// no place at the new one) with its settings kept, and sets the latency; a
// factor outside the list changes nothing; a new module runs at 1.
TEST_F(EngineTest, OversamplingRenewsRecordsKeepsSettingsAndSetsTheLatency) {
  const int c = Create(kConstantType), lp = Create(kLowpassType);
  std::string error;
  ASSERT_TRUE(engine->SetSettings(c, {{"value", 2.5}}, error)) << error;
  const ComponentRecord* before = engine->Record(lp);
  EXPECT_FALSE(engine->SetOversampling(3));
  EXPECT_EQ(engine->Record(lp), before);
  ASSERT_TRUE(engine->SetOversampling(8));
  EXPECT_NE(engine->Record(lp), before);
  EXPECT_EQ(engine->Settings(c)["value"], 2.5);
  EXPECT_EQ(engine->Oversampling(), 8);
  EXPECT_EQ(engine->LatencyFrames(), OversamplingLatency(8));
  engine->ClearModule();
  EXPECT_EQ(engine->Oversampling(), 1);
  EXPECT_EQ(engine->LatencyFrames(), 0u);
}

}  // namespace
}  // namespace korvel

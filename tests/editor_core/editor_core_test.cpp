// The editor core against a real engine: long random edit sessions undone
// to the first byte and redone to the last, the clipboard's fragments, and
// what an undo must leave sounding.
#include "editor/core/editor_core.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <random>
#include <string>

#include "engine/module_image.h"
#include "tests/support/engine_fixture.h"

namespace korvel::editor_core {
namespace {

using korvel::testing::EngineTest;

constexpr int kTypes[] = {10, 11, 12, 15, 16, 22, 80, 2};

class EditorCoreTest : public EngineTest {
 protected:
  EditorCoreTest() : core(*engine) {}

  // In → Lowpass → Out, with a constant feeding the cutoff.
  void StartWithPatch() {
    ASSERT_GE(core.Add(0, 10, 10), 0);
    ASSERT_GE(core.Add(15, 120, 10), 0);
    ASSERT_GE(core.Add(1, 240, 10), 0);
    ASSERT_GE(core.Add(80, 10, 80), 0);
    ASSERT_TRUE(core.Connect(0, 0, 1, 0));
    ASSERT_TRUE(core.Connect(1, 0, 2, 0));
    ASSERT_TRUE(core.Connect(3, 0, 1, 2));
    core.Forget();
  }

  // One random command; the history decides whether it counts.
  void RandomCommand(std::mt19937& rng) {
    const auto pick = [&rng](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    const auto any_slot = [&] {
      std::vector<int> slots;
      for (int s = 0; s < kSlotCount; ++s)
        if (engine->IsOccupied(s)) slots.push_back(s);
      return slots.empty() ? -1 : slots[static_cast<std::size_t>(pick(static_cast<int>(slots.size())))];
    };
    std::string error;
    switch (pick(14)) {
      case 0:
      case 1: core.Add(kTypes[pick(8)], pick(900), pick(600)); break;
      case 2: core.Select(any_slot()); core.DeleteSelection(); break;
      case 3: {
        const int s = any_slot();
        if (s < 0) break;
        core.BeginMove(s);
        for (int i = 0; i < 3; ++i) core.MoveBy(pick(200) - 100, pick(200) - 100);
        core.EndMove();
        break;
      }
      case 4:
      case 5: {
        const int s = any_slot(), t = any_slot();
        if (s < 0 || t < 0) break;
        core.Connect(s, pick(std::max<int>(1, engine->Descriptor(s)->output_count)), t,
                     pick(std::max<int>(1, engine->Descriptor(t)->input_count)));
        break;
      }
      case 6: if (const int s = any_slot(); s >= 0) core.Disconnect(s, 0); break;
      case 7: if (const int s = any_slot(); s >= 0) core.Relabel(s, "L" + std::to_string(pick(1000))); break;
      case 8:
        for (int s = 0; s < kSlotCount; ++s)
          if (engine->IsOccupied(s) && engine->Descriptor(s)->type == 80) {
            core.ChangeSettings(s, {{"value", pick(1000) / 8.0}}, error);
            break;
          }
        break;
      case 9: core.SetModuleTexts("Name " + std::to_string(pick(9)), "Déjà vu", "x"); break;
      case 10: core.SetParameterInfo(pick(25), "P" + std::to_string(pick(9)), static_cast<std::uint32_t>(pick(3))); break;
      case 11: core.Select(any_slot()); core.Duplicate(error); break;
      case 12: core.ApplyScript(":Main\r\n" + std::string(static_cast<std::size_t>(pick(3)), ' ')); break;
      case 13: pick(2) ? (void)core.Undo(error) : (void)core.Redo(error); break;
    }
  }

  EditorCore core;
};

TEST_F(EditorCoreTest, RandomSessionsUndoToTheFirstByteAndRedoToTheLast) {
  for (unsigned seed = 1; seed <= 6; ++seed) {
    engine->ClearModule();
    StartWithPatch();
    const std::string first = core.Image();
    std::mt19937 rng(seed);
    for (int i = 0; i < 400; ++i) RandomCommand(rng);
    const std::string last = core.Image();
    std::string error;
    std::size_t undone = 0;
    while (core.CanUndo()) {
      ASSERT_TRUE(core.Undo(error)) << error;
      ++undone;
    }
    ASSERT_LE(undone, kMaxHistorySteps);
    EXPECT_GT(undone, 100u);  // the session did edit
    EXPECT_EQ(core.Image(), first) << "seed " << seed;
    while (core.CanRedo()) ASSERT_TRUE(core.Redo(error)) << error;
    EXPECT_EQ(core.Image(), last) << "seed " << seed;
  }
}

TEST_F(EditorCoreTest, UndoKeepsUntouchedComponentsSoundingAndLeavesHostValuesAlone) {
  StartWithPatch();
  const ComponentRecord* filter = engine->Record(1);
  const ComponentRecord* constant = engine->Record(3);
  std::string error;
  ASSERT_TRUE(core.ChangeSettings(3, {{"value", 440.0}}, error)) << error;
  EXPECT_NE(engine->Record(3), constant);
  core.Add(12, 400, 400);
  core.Select(4);
  ASSERT_TRUE(core.DeleteSelection());
  EXPECT_EQ(core.UndoName(), step::kDelete);
  while (core.CanUndo()) ASSERT_TRUE(core.Undo(error)) << error;
  // The filter was never edited: its record (and so its ringing) stays.
  EXPECT_EQ(engine->Record(1), filter);
  EXPECT_EQ(core.RedoName(), step::kSettings);
  EXPECT_EQ(engine->Settings(3)["value"], 0.0);
}

TEST_F(EditorCoreTest, OneStepPerDragAndNoStepForNothing) {
  StartWithPatch();
  const std::size_t depth = core.UndoDepth();
  core.ToggleSelected(0);
  core.ToggleSelected(1);
  core.BeginMove(1);  // the whole selection moves
  core.MoveBy(5, 5);
  core.MoveBy(-900, 30);  // held at the origin, together
  EXPECT_TRUE(core.EndMove());
  EXPECT_EQ(core.UndoDepth(), depth + 1);
  EXPECT_EQ(engine->Descriptor(0)->x, 0);
  EXPECT_EQ(engine->Descriptor(1)->x, 110);
  EXPECT_EQ(engine->Descriptor(1)->y, 40);
  core.BeginMove(1);
  EXPECT_FALSE(core.EndMove());  // a click, not a move
  EXPECT_FALSE(core.Connect(2, 0, 0, 0));  // Out has no output: refused
  EXPECT_FALSE(core.Connect(2, 0, 1, 0));  // from a port that is not there
  EXPECT_EQ(core.UndoDepth(), depth + 1);
}

TEST_F(EditorCoreTest, ClipboardKeepsInnerWiresAndRefusesWhatIsNoFragment) {
  StartWithPatch();
  core.Select(1);
  core.ToggleSelected(3);
  const std::string text = core.Copy();
  const auto fragment = nlohmann::json::parse(text);
  ASSERT_EQ(fragment["components"].size(), 2u);
  ASSERT_EQ(fragment["connections"].size(), 1u);  // constant → cutoff; the wires to In and Out lead out

  std::string error;
  ASSERT_TRUE(core.Paste(text, error)) << error;
  EXPECT_EQ(core.Selection(), (std::vector<int>{4, 5}));
  EXPECT_EQ(engine->Descriptor(4)->type, 15);
  EXPECT_EQ(engine->Descriptor(4)->x, 140);
  EXPECT_EQ(engine->Descriptor(4)->input_source_slot[2], 5);
  EXPECT_EQ(engine->Descriptor(4)->input_source_slot[0], kNoSlot);

  const std::string before = core.Image();
  for (const std::string& bad : {std::string(), std::string("hello"), std::string("{\"format\": \"korvel-module\"}"),
                                std::string("{\"format\": \"korvel-module\", \"version\": 1, \"components\": []}")}) {
    error.clear();
    EXPECT_FALSE(core.Paste(bad, error));
    EXPECT_FALSE(error.empty());
  }
  EXPECT_EQ(core.Image(), before);

  // More pieces than free slots: refused whole.
  nlohmann::json big = {{"format", "korvel-module"}, {"version", 1}, {"components", nlohmann::json::array()}};
  for (int s = 0; s < 253; ++s) big["components"].push_back({{"slot", s}, {"type", 10}});
  EXPECT_FALSE(core.Paste(big.dump(), error));
  EXPECT_NE(error.find("only 250 of the 256 slots are free"), std::string::npos) << error;
  EXPECT_EQ(core.Image(), before);
}

TEST_F(EditorCoreTest, HistoryIsBoundedAndForgottenWhenTheModuleIsReplacedElsewhere) {
  core.Add(11, 0, 0);
  const std::string type_name = engine->Descriptor(0)->label;
  for (int i = 0; i < 520; ++i) core.Relabel(0, std::to_string(i));
  EXPECT_EQ(core.UndoDepth(), kMaxHistorySteps);
  // A host restore replaces the module behind the editor's back.
  std::string error;
  const std::string other = R"({"format": "korvel-module", "version": 1, "components": [{"slot": 7, "type": 11}]})";
  ASSERT_TRUE(ReadModuleImage(*engine, other.data(), other.size(), error)) << error;
  core.Relabel(7, "after");
  EXPECT_EQ(core.UndoDepth(), 1u);
  ASSERT_TRUE(core.Undo(error));
  EXPECT_EQ(engine->Descriptor(7)->label, type_name);
}

TEST_F(EditorCoreTest, HitTestsFollowTheViewsRules) {
  StartWithPatch();  // Lowpass at (120, 10), 80 wide
  EXPECT_EQ(PressAt(*engine, {150, 20}).kind, Hit::kBody);
  const Hit out = PressAt(*engine, {195, 15});
  EXPECT_EQ(out.kind, Hit::kOutput);
  EXPECT_EQ(out.port, 0);
  EXPECT_EQ(PressAt(*engine, {120, 20}).kind, Hit::kNothing);  // the border line
  // A wire from In dropped on the filter's second input row.
  const Hit drop = DropAt(*engine, 0, {125, 10 + 8 + 5});
  EXPECT_EQ(drop.kind, Hit::kInput);
  EXPECT_EQ(drop.port, 1);
  // The filter feeds Out: a wire from Out may not end on it (a loop).
  EXPECT_EQ(DropAt(*engine, 2, {125, 15}).kind, Hit::kLoop);
  core.SelectWhere({100, 0, 130, 12}, false);
  EXPECT_EQ(core.Selection(), (std::vector<int>{1}));
}

}  // namespace
}  // namespace korvel::editor_core

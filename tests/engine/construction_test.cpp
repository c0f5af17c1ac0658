// Construction, reset, teardown and the engine registry.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "engine/messages.h"
#include "script/script_engine.h"
#include "tests/support/engine_fixture.h"

namespace korvel {
namespace {

using testing::EngineTest;
using testing::TestUi;

TEST_F(EngineTest, ResetGivesTheDefaultModule) {
  EXPECT_EQ(engine->ScriptText(), "# TODO: Insert code below\r\n\r\n:Main\r\n\r\n:\r\n");
  EXPECT_EQ(engine->ModuleName(), "Untitled Korvel");
  EXPECT_EQ(engine->ModuleAuthor(), "");
  EXPECT_EQ(engine->ModuleDescription(), "");
  EXPECT_EQ(engine->Editor().current_view, View::kModule);
  EXPECT_EQ(engine->DelayLine(0), nullptr) << "reserved only when needed";
  ASSERT_TRUE(engine->ReserveDelayLines());
  EXPECT_EQ(engine->Context().left_line[2], engine->DelayLine(4));
  EXPECT_EQ(engine->Context().right_line[3], engine->DelayLine(7));
  EXPECT_EQ(engine->Context().name, engine->ModuleName()) << "the context shows the name";
}

TEST_F(EngineTest, TheDefaultScriptIsCompiledAndItsMainDoesNothing) {
  ScriptEngine& script = *engine->Script();
  ASSERT_EQ(script.Tokens().size(), 2u);
  EXPECT_STREQ(script.Tokens()[0].get(), ":main");
  EXPECT_STREQ(script.Tokens()[1].get(), ":");
  ASSERT_EQ(script.Functions().size(), 1u);
  EXPECT_TRUE(script.Messages().empty());
  std::string trace;
  script.SetTraceSink([&](const char* line) { trace += line; });
  EXPECT_TRUE(script.RunFunction("main"));
  EXPECT_EQ(trace, "");
}

TEST_F(EngineTest, ResetSilencesDelayLinesAndEmptiesSlots) {
  ASSERT_TRUE(engine->ReserveDelayLines());
  for (int i = 0; i < kDelayLineCount; ++i) std::fill_n(EngineTestAccess::Line(*engine, i), kDelayLineLength, 7.0);
  EngineTestAccess::Context(*engine).delay_position = 1000;
  engine->SetModuleTexts("Old", "", "");
  engine->ApplyScript("x");
  engine->CreateComponent(0);
  engine->CreateComponent(1);
  engine->ResetEngine();
  for (int i = 0; i < kDelayLineCount; ++i)
    EXPECT_TRUE(std::all_of(engine->DelayLine(i), engine->DelayLine(i) + kDelayLineLength,
                            [](double v) { return v == 0.0; }));
  EXPECT_EQ(engine->Context().delay_position, 0u);
  EXPECT_EQ(engine->SlotCount(), 0);
  EXPECT_FALSE(engine->IsOccupied(0));
  EXPECT_EQ(engine->InSlot(), -1);
  EXPECT_EQ(engine->OutSlot(), -1);
  EXPECT_EQ(engine->ScriptText(), text::kDefaultScript);
  EXPECT_EQ(engine->ModuleName(), "Untitled Korvel");
}

TEST(EngineLifetime, FontsAreMadeOnConstructionAndReleasedOnTeardown) {
  TestUi ui;
  {
    auto engine = std::make_unique<PatchEngine>();
    ASSERT_EQ(ui.fonts.size(), 3u);
    EXPECT_STREQ(ui.fonts[0].face, "Arial");
    EXPECT_EQ(ui.fonts[0].height, 13);
    EXPECT_EQ(ui.fonts[0].weight, 700);
    EXPECT_EQ(ui.fonts[0].quality, 4);
    EXPECT_EQ(ui.fonts[1].height, 14);
    EXPECT_EQ(ui.fonts[1].weight, 400);
    EXPECT_STREQ(ui.fonts[2].face, "Lucida Console");
    EXPECT_EQ(ui.fonts[2].height, 13);
  }
  EXPECT_EQ(ui.released_fonts, 3);
}

TEST(EngineLifetime, RegistryTracksLiveEnginesAndFindsThemByWindow) {
  TestUi ui;
  const int before = RegisteredEngineCount();
  auto a = std::make_unique<PatchEngine>();
  auto b = std::make_unique<PatchEngine>();
  auto c = std::make_unique<PatchEngine>();
  ASSERT_EQ(RegisteredEngineCount(), before + 3);
  int window_a = 0, window_b = 0;
  a->Editor().main_window = &window_a;
  b->Editor().main_window = &window_b;
  EXPECT_EQ(FindEngine(&window_a), a.get());
  EXPECT_EQ(FindEngine(&window_b), b.get());
  EXPECT_EQ(FindEngine(nullptr), nullptr) << "a closed editor is nobody's window";
  // Tearing down the first moves the last into its place.
  ASSERT_EQ(RegisteredEngine(before), a.get());
  a->Editor().main_window = nullptr;
  a.reset();
  EXPECT_EQ(RegisteredEngineCount(), before + 2);
  EXPECT_EQ(RegisteredEngine(before), c.get());
  EXPECT_EQ(FindEngine(&window_a), nullptr);
}

}  // namespace
}  // namespace korvel

// The editor in step with the engine: host restores and module loads with
// the editor open or closed, refused chunks told without a box inside the
// host's call, and a Module View that cannot lose a box.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include "editor/editor_internal.h"
#include "engine/module_image.h"
#include "host/plugin_module.h"
#include "tests/editor/editor_fixture.h"
#include "tools/pluginhost/plugin_host.h"

namespace korvel::testing {
namespace {

std::string WindowText(void* window) {
  char text[4096] = {};
  GetWindowTextA(static_cast<HWND>(window), text, sizeof text);
  return text;
}

std::string StatusText(const PatchEngine& engine) {
  char text[1024] = {};
  SendMessageA(static_cast<HWND>(engine.Editor().status_bar), SB_GETTEXTA, 0, reinterpret_cast<LPARAM>(text));
  return text;
}

std::string ImageWithScript(const char* script, int x = 10, int y = 10) {
  return std::string(R"({"format": "korvel-module", "version": 1, "name": "Far", "script": ")") + script +
         R"(", "components": [{"slot": 0, "type": 0, "x": )" + std::to_string(x) + ", \"y\": " +
         std::to_string(y) + "}]}";
}

using InStepTest = EditorTest;

// RestoreState runs in the host's call: a garbage chunk must return at once
// (no box), leave the module alone, and the editor then tells the reason:
// in its status bar when open, and in a box when next opened.
TEST(HostRestoreTest, AGarbageChunkReturnsAtOnceAndTheEditorShowsTheReason) {
  EditorUi ui;
  auto owned = std::make_unique<PluginModule>();  // the delay lines are large
  PluginModule& module = *owned;
  module.Init(nullptr);
  PatchEngine& engine = module.engine();
  const auto restore = [&](const char* image) {
    pluginhost::MemoryStream stream(pluginhost::ChunkOf(image));
    const auto start = std::chrono::steady_clock::now();
    module.RestoreState(&stream);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  };
  const auto pump = [] {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
  };
  const std::string before = WriteModuleImage(engine);

  restore("garbage");  // editor closed
  EXPECT_TRUE(ui.messages.empty()) << "no box inside the host's call";
  EXPECT_EQ(WriteModuleImage(engine), before);
  const std::string reason = engine.Problem();
  EXPECT_NE(reason.find("not a module"), std::string::npos) << reason;
  ASSERT_TRUE(module.OnMenuCommand(0, 0));
  pump();
  ASSERT_EQ(ui.messages.size(), 1u) << "told when the editor opens";
  EXPECT_EQ(ui.messages[0].text, reason);
  EXPECT_EQ(StatusText(engine), reason);

  restore("{\"format\": \"korvel-module\"}");  // editor open
  EXPECT_EQ(ui.messages.size(), 1u);
  pump();
  EXPECT_EQ(StatusText(engine), engine.Problem());
  EXPECT_NE(engine.Problem().find("version"), std::string::npos);
  EXPECT_EQ(RefusedModalUiCount(), 0);
  // Seen in the open editor: opening it again asks nothing.
  SendMessageA(static_cast<HWND>(engine.Editor().main_window), WM_CLOSE, 0, 0);
  module.OnMenuCommand(0, 0);
  pump();
  EXPECT_EQ(ui.messages.size(), 1u);
  SendMessageA(static_cast<HWND>(engine.Editor().main_window), WM_CLOSE, 0, 0);
}

// Load Module with the Code View showing: the loaded script replaces the
// old one there, so "Save and Apply" keeps it.
TEST_F(InStepTest, LoadModuleWithTheCodeViewOpenShowsTheLoadedScriptAndApplyKeepsIt) {
  Command(ID_CODE_VIEW);
  SetWindowTextA(static_cast<HWND>(engine->Editor().code_edit), "typed, never applied");
  const std::string loaded = ":Main\\r\\n( 1 + 2 )\\r\\n:\\r\\n";
  const std::string path = "in-step-load.korvel";
  std::ofstream(path, std::ios::binary) << ImageWithScript(loaded.c_str());
  ui.answers = {kIdYes};
  ui.files = {path};
  Command(ID_LOAD_MODULE);
  Pump();
  std::remove(path.c_str());
  const std::string script = ":Main\r\n( 1 + 2 )\r\n:\r\n";
  EXPECT_EQ(engine->ScriptText(), script);
  EXPECT_EQ(WindowText(engine->Editor().code_edit), script);
  SendMessageA(GetDlgItem(Main(), IDC_SAVE_AND_APPLY), BM_CLICK, 0, 0);
  EXPECT_EQ(engine->ScriptText(), script);
  EXPECT_TRUE(ui.messages.size() == 1u) << "only the load's question";
}

// A host restore while the editor is open: the scroll ranges reach every
// box of the restored module, the Code View and the tab follow it.
TEST_F(InStepTest, AHostRestoreWithTheEditorOpenGivesScrollRangesThatReachEveryBox) {
  std::string error;
  const std::string image = ImageWithScript(":far\\r\\n:\\r\\n", 1500, 1200);
  ASSERT_TRUE(ReadModuleImage(*engine, image.data(), image.size(), error)) << error;
  Pump();
  SCROLLINFO horizontal = {sizeof horizontal, SIF_ALL, 0, 0, 0, 0, 0}, vertical = horizontal;
  GetScrollInfo(View(), SB_HORZ, &horizontal);
  GetScrollInfo(View(), SB_VERT, &vertical);
  EXPECT_GE(horizontal.nMax + 1, 1500 + D(0).width);
  EXPECT_GE(vertical.nMax + 1, 1200 + D(0).height);
  EXPECT_EQ(WindowText(engine->Editor().code_edit), ":far\r\n:\r\n");
  Screenshot(Main(), "restored-far-module");
}

// Dragging past the top-left corner stops the box at the origin; losing
// the mouse capture ends a drag where the box is.
TEST_F(InStepTest, BoxesStayReachableAndALostCaptureEndsTheDrag) {
  const int a = Add(ID_ADD, 40, 50);
  DragBox(a, -300, -200);
  EXPECT_EQ((std::array{D(a).x, D(a).y}), (std::array{0, 0}));

  DragBox(a, 100, 100);
  Mouse(WM_LBUTTONDOWN, D(a).x + 30, D(a).y + 3);
  Mouse(WM_MOUSEMOVE, 160, 140);
  ASSERT_EQ(engine->Editor().dragged_slot, a);
  const std::array<int, 2> held = {D(a).x, D(a).y};
  SendMessageA(View(), WM_CAPTURECHANGED, 0, 0);
  EXPECT_EQ(engine->Editor().dragged_slot, -1);
  Mouse(WM_MOUSEMOVE, 400, 300);
  EXPECT_EQ((std::array{D(a).x, D(a).y}), held) << "the box no longer follows the pointer";
}

// The wheel scrolls down and up, Shift+wheel across; Delete asks as the
// menu command does and deletes on Yes.
TEST_F(InStepTest, TheWheelScrollsAndDeleteDeletesTheSelectionAfterAsking) {
  const int a = Add(ID_ADD, 30, 30);
  Add(ID_ADD, 2000, 2000);
  SendMessageA(View(), WM_MOUSEWHEEL, MAKEWPARAM(0, static_cast<WORD>(-WHEEL_DELTA)), 0);
  EXPECT_EQ(engine->Editor().scroll_y, -30);
  SendMessageA(View(), WM_MOUSEWHEEL, MAKEWPARAM(MK_SHIFT, static_cast<WORD>(-2 * WHEEL_DELTA)), 0);
  EXPECT_EQ((std::array{engine->Editor().scroll_x, engine->Editor().scroll_y}), (std::array{-60, -30}));
  SendMessageA(View(), WM_MOUSEWHEEL, MAKEWPARAM(0, static_cast<WORD>(5 * WHEEL_DELTA)), 0);
  EXPECT_EQ(engine->Editor().scroll_y, 0) << "not beyond the top";

  SendMessageA(View(), WM_HSCROLL, SB_PAGEUP, 0);
  Click(D(a).x + 20, D(a).y + 5);
  ASSERT_EQ(engine->Editor().selected_slot, a);
  SendMessageA(View(), WM_KEYDOWN, VK_DELETE, 0);
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_TRUE(engine->IsOccupied(a)) << "No keeps it";
  ui.answers = {kIdYes};
  SendMessageA(View(), WM_KEYDOWN, VK_DELETE, 0);
  ASSERT_EQ(ui.messages.size(), 2u);
  EXPECT_EQ(ui.messages[1].title, ui.messages[0].title);
  EXPECT_FALSE(engine->IsOccupied(a));
}

}  // namespace
}  // namespace korvel::testing

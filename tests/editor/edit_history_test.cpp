// Undo, redo, the selection and the clipboard in the editor, driven with
// real input: the pointer and the keyboard through SendInput, as a user's
// hand would, so the keys' state (Ctrl, Shift) is the system's own.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <cstring>
#include <string>

#include "tests/editor/editor_fixture.h"

namespace korvel::testing {
namespace {

class EditHistoryTest : public EditorTest {
 protected:
  void SetUp() override {
    EditorTest::SetUp();
    SetForegroundWindow(Main());
    Pump();
  }

  void Send(INPUT input) {
    SendInput(1, &input, sizeof input);
    Pump();
  }
  // The pointer to module point (x, y) of the Module View.
  void PointAt(int x, int y) {
    POINT p = {x + engine->Editor().scroll_x, y + engine->Editor().scroll_y};
    ClientToScreen(View(), &p);
    INPUT in = {};
    in.type = INPUT_MOUSE;
    in.mi.dx = MulDiv(p.x, 65535, GetSystemMetrics(SM_CXSCREEN) - 1);
    in.mi.dy = MulDiv(p.y, 65535, GetSystemMetrics(SM_CYSCREEN) - 1);
    in.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    Send(in);
  }
  void Button(DWORD flag) {
    INPUT in = {};
    in.type = INPUT_MOUSE;
    in.mi.dwFlags = flag;
    Send(in);
  }
  void HandDrag(int x0, int y0, int x1, int y1) {
    PointAt(x0, y0);
    Button(MOUSEEVENTF_LEFTDOWN);
    PointAt((x0 + x1) / 2, (y0 + y1) / 2);
    PointAt(x1, y1);
    Button(MOUSEEVENTF_LEFTUP);
  }
  void Key(WORD key, bool up) {
    INPUT in = {};
    in.type = INPUT_KEYBOARD;
    in.ki.wVk = key;
    in.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    Send(in);
  }
  void Press(WORD key) {
    Key(key, false);
    Key(key, true);
  }
  void Ctrl(WORD key, bool shift = false) {
    Key(VK_CONTROL, false);
    if (shift) Key(VK_SHIFT, false);
    Press(key);
    if (shift) Key(VK_SHIFT, true);
    Key(VK_CONTROL, true);
  }
  std::string EditMenuItem(int id) {
    HMENU edit = GetSubMenu(GetMenu(Main()), 1);
    SendMessageA(Main(), WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(edit), 1);
    char text[128] = {};
    GetMenuStringA(edit, static_cast<UINT>(id), text, sizeof text, MF_BYCOMMAND);
    return text;
  }
  std::string ClipboardText() {
    std::string text;
    if (!OpenClipboard(Main())) return text;
    if (HANDLE data = GetClipboardData(CF_TEXT)) {
      text = static_cast<const char*>(GlobalLock(data));
      GlobalUnlock(data);
    }
    CloseClipboard();
    return text;
  }
};

TEST_F(EditHistoryTest, CtrlZTakesBackADragADeleteAndAWireAndCtrlYRedoesThem) {
  const std::vector<int> s = Build({{ID_ADD, 40, 40}, {ID_MULTIPLY, 200, 40}}, {});
  const int a = s[0], b = s[1];
  HandDrag(D(a).x + 30, D(a).y + 5, 130, 200);
  ASSERT_EQ((std::array{D(a).x, D(a).y}), (std::array{100, 195}));
  EXPECT_EQ(EditMenuItem(ID_UNDO), "&Undo Move\tCtrl+Z");
  Ctrl('Z');
  EXPECT_EQ((std::array{D(a).x, D(a).y}), (std::array{40, 40}));
  Ctrl('Y');
  EXPECT_EQ((std::array{D(a).x, D(a).y}), (std::array{100, 195}));

  HandDrag(D(a).x + 74, D(a).y + 6, D(b).x + 6, D(b).y + 14);  // out1 → in2
  ASSERT_EQ(D(b).input_source_slot[1], a);
  Ctrl('Z');
  EXPECT_EQ(D(b).input_source_slot[1], kNoSlot);
  EXPECT_EQ(D(a).output_target_slot[0], kNoSlot);
  Ctrl('Z', /*shift=*/true);  // Ctrl+Shift+Z redoes too
  ASSERT_EQ(D(b).input_source_slot[1], a);

  HandDrag(D(b).x + 30, D(b).y + 5, D(b).x + 30, D(b).y + 5);  // a click selects b
  ui.answers = {kIdYes};
  Press(VK_DELETE);
  ASSERT_FALSE(engine->IsOccupied(b));
  EXPECT_EQ(ui.messages.size(), 1u);
  Ctrl('Z');
  ASSERT_TRUE(engine->IsOccupied(b));
  EXPECT_EQ(D(b).input_source_slot[1], a);  // with its wire
  EXPECT_EQ(EditMenuItem(ID_REDO), "&Redo Delete\tCtrl+Y");
}

TEST_F(EditHistoryTest, ARubberBandCopiesAsModuleTextAndPastesWithTheWiresInside) {
  const std::vector<int> s =
      Build({{ID_ADD, 40, 40}, {ID_MULTIPLY, 200, 40}, {ID_LOWPASS, 200, 160}}, {{0, 0, 1, 0}, {1, 0, 2, 0}});
  HandDrag(20, 20, 300, 70);  // from empty space across the first two boxes
  const int before = engine->SlotCount();
  Ctrl('C');
  const std::string text = ClipboardText();
  const auto fragment = nlohmann::json::parse(text, nullptr, false);
  ASSERT_FALSE(fragment.is_discarded()) << text;
  EXPECT_EQ(fragment["format"], "korvel-module");
  EXPECT_EQ(fragment["components"].size(), 2u);
  EXPECT_EQ(fragment["connections"].size(), 1u);  // the wire into the lowpass leads out

  Ctrl('V');
  ASSERT_EQ(engine->SlotCount(), before + 2);
  const int a2 = before, b2 = before + 1;
  EXPECT_EQ((std::array{D(a2).x, D(a2).y}), (std::array{60, 60}));
  EXPECT_EQ(D(b2).input_source_slot[0], a2);
  EXPECT_EQ(EditMenuItem(ID_UNDO), "&Undo Paste\tCtrl+Z");
  Screenshot(Main(), "editor-pasted-selection");

  // Text that is no module: a message, and the module as it was.
  OpenClipboard(Main());
  EmptyClipboard();
  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, 6);
  std::memcpy(GlobalLock(memory), "hello", 6);
  GlobalUnlock(memory);
  SetClipboardData(CF_TEXT, memory);
  CloseClipboard();
  Ctrl('V');
  EXPECT_EQ(engine->SlotCount(), before + 2);
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0].title, "Paste");
  EXPECT_NE(ui.messages[0].text.find("does not hold Korvel components"), std::string::npos);
  (void)s;
}

}  // namespace
}  // namespace korvel::testing

// The editor's windows: the main window's children and their places, view
// switching, the component and module commands, the Code View's buttons,
// closing; the Module View driven with mouse messages: wiring under the
// engine's rules, dragging boxes, scrolling and the pop-up menus.
#include <windows.h>

#include <gtest/gtest.h>

#include "editor/editor_internal.h"
#include "engine/type_table.h"
#include "script/script_engine.h"
#include "tests/editor/editor_fixture.h"

namespace korvel::testing {
namespace {

bool Visible(void* window) { return IsWindowVisible(static_cast<HWND>(window)) != FALSE; }

// The window's rectangle in its parent's client coordinates.
std::array<LONG, 4> Place(void* window) {
  RECT r;
  GetWindowRect(static_cast<HWND>(window), &r);
  MapWindowPoints(nullptr, GetParent(static_cast<HWND>(window)), reinterpret_cast<POINT*>(&r), 2);
  return {r.left, r.top, r.right, r.bottom};
}

using MainWindowTest = EditorTest;

TEST_F(MainWindowTest, OpensItsWindowsInPlaceAndOpeningAgainOnlyRaisesIt) {
  HWND main = FindWindowA("DravikWnd", "Korvel Modular");
  ASSERT_EQ(main, Main());
  RECT frame, client;
  GetWindowRect(main, &frame);
  GetClientRect(main, &client);
  EXPECT_EQ((std::array{frame.left, frame.top, frame.right, frame.bottom}), (std::array{32L, 16L, 832L, 616L}));
  EXPECT_EQ(FindWindowExA(main, nullptr, "KorvelModuleView", "korvelview-module"), View());
  EXPECT_EQ(FindWindowExA(main, nullptr, "KorvelGUIView", "korvelview-gui"), engine->Editor().gui_view);
  EXPECT_EQ(FindWindowExA(main, nullptr, "Button", "Save and Apply"), engine->Editor().apply_button);
  EXPECT_EQ(FindWindowExA(main, nullptr, "Button", "Revert"), engine->Editor().revert_button);
  EXPECT_EQ(FindWindowExA(main, nullptr, "msctls_statusbar32", nullptr), engine->Editor().status_bar);
  // The views fill the client area between the tab strip and the status
  // bar; the Code View's buttons sit in the top left corner.
  for (void* view : {engine->Editor().module_view, engine->Editor().code_edit, engine->Editor().gui_view})
    EXPECT_EQ(Place(view), (std::array{3L, 21L, client.right - 3, client.bottom - 23}));
  EXPECT_EQ(Place(engine->Editor().apply_button)[0], 3);
  EXPECT_EQ(Place(engine->Editor().revert_button), (std::array{103L, 0L, 203L, 21L}));
  Screenshot(main, "editor-empty");

  ui.drivers.push_back([](HWND dialog) { Screenshot(dialog, "dialog-about"); });
  Command(ID_ABOUT);
  EXPECT_EQ(ui.dialogs, std::vector<int>{IDD_ABOUT});

  // Under another window, it comes back on top; no second one opens.
  HWND other = CreateWindowA("STATIC", "", WS_POPUP | WS_VISIBLE, 0, 0, 90, 90, nullptr, nullptr, nullptr, nullptr);
  OpenEditor(*engine);
  EXPECT_EQ(Main(), main);
  bool above = false;
  for (HWND w = main; w != nullptr; w = GetWindow(w, GW_HWNDNEXT)) above = above || w == other;
  EXPECT_TRUE(above);
  EXPECT_EQ(FindWindowExA(nullptr, nullptr, "DravikWnd", nullptr), main);
  EXPECT_EQ(FindWindowExA(nullptr, main, "DravikWnd", nullptr), nullptr);
  DestroyWindow(other);
}

TEST_F(MainWindowTest, ViewCommandsShowOnlyTheChosenView) {
  // {command, module view, code view, gui view}; 0: as opened.
  for (const auto& [command, module, code, gui] : {std::array{0, 1, 0, 0}, {ID_CODE_VIEW, 0, 1, 0},
                                                  {ID_GUI_VIEW, 0, 0, 1}, {ID_MODULE_VIEW, 1, 0, 0}}) {
    if (command != 0) Command(command);
    const std::array<int, 5> shown = {Visible(engine->Editor().module_view), Visible(engine->Editor().code_edit),
                                      Visible(engine->Editor().apply_button), Visible(engine->Editor().revert_button),
                                      Visible(engine->Editor().gui_view)};
    EXPECT_EQ(shown, (std::array{module, code, code, code, gui})) << command;
  }
}

TEST_F(MainWindowTest, EachComponentCommandCreatesItsTypeAtTheNewComponentPosition) {
  const std::pair<int, int> commands[] = {
      {40070, 0},  {40071, 1},  {40034, 2},  {40004, 10}, {40005, 11}, {40006, 12}, {40007, 13},
      {40054, 14}, {40008, 15}, {40009, 16}, {40010, 17}, {40011, 18}, {40051, 19}, {40050, 20},
      {40012, 22}, {40026, 23}, {40013, 24}, {40032, 25}, {40033, 26}, {40014, 27}, {40016, 28},
      {40015, 29}, {40061, 30}, {40077, 31}, {40018, 80}, {40019, 81}, {40020, 82}, {40031, 83},
      {40022, 84}, {40023, 85}, {40076, 86}, {40042, 40}, {40043, 41}, {40044, 42}, {40066, 43},
      {40065, 44}, {40081, 45}, {40053, 46}, {40069, 47}, {40082, 48}, {40052, 50}, {40084, 60},
      {40085, 61}, {40086, 62}, {40087, 63}};
  int n = 0;
  for (const auto& [command, type] : commands) {
    if (!IsTypeAvailable(type)) continue;
    const int x = 10 + 7 * n, y = 20 + 5 * n++;
    const int slot = Add(command, x, y);
    ASSERT_GE(slot, 0) << command;
    EXPECT_EQ((std::array{D(slot).type, D(slot).x, D(slot).y}), (std::array{type, x, y})) << command;
  }
  EXPECT_GE(n, 25);
  // Items of types that do not exist, and help, change nothing.
  for (int command : {40074, 40075, 40067, 40068, 40025}) Command(command);
  EXPECT_EQ(engine->SlotCount(), n);
  EXPECT_TRUE(ui.messages.empty() && ui.dialogs.empty());
}

TEST_F(MainWindowTest, DeleteAndNewModuleAskFirstAndActOnlyOnYes) {
  const int a = Add(ID_REPLICATOR, 40, 40);
  const int b = Add(ID_REPLICATOR, 200, 40);
  Command(ID_DELETE_COMPONENT);  // nothing selected: no question
  EXPECT_TRUE(ui.messages.empty());
  Click(60, 45);
  ASSERT_EQ(engine->Editor().selected_slot, a);
  Command(ID_DELETE_COMPONENT);  // answered No
  EXPECT_TRUE(engine->IsOccupied(a));
  ui.answers = {kIdYes};
  Command(ID_DELETE_COMPONENT);
  EXPECT_FALSE(engine->IsOccupied(a));
  EXPECT_TRUE(engine->IsOccupied(b));
  Command(ID_DELETE_COMPONENT);  // the selected slot is empty now: no question
  EXPECT_EQ(ui.messages.size(), 2u);

  parameter_names[4][0] = 'x';
  Command(ID_NEW_MODULE);  // answered No
  EXPECT_TRUE(engine->IsOccupied(b));
  ui.answers = {kIdYes};
  Command(ID_NEW_MODULE);
  EXPECT_FALSE(engine->IsOccupied(b));
  EXPECT_EQ(parameter_names[4][0], '\0');
  EXPECT_EQ(ui.messages.size(), 4u);
}

TEST_F(MainWindowTest, CodeViewAppliesShowsExactlyTheFaultsRevertsAndReopensWithTheAppliedText) {
  HWND edit = static_cast<HWND>(engine->Editor().code_edit);
  char shown[64] = {};
  const auto press = [&](int button) { SendMessageA(GetDlgItem(Main(), button), BM_CLICK, 0, 0); };
  Command(ID_CODE_VIEW);

  // Each apply starts from a clean list: the sound script after the faulty
  // one shows nothing.
  const char* faulty = ":Main\r\n(1 + 2\r\n:\r\n";
  const char* sound = ":Main\r\nx = (1 + 2)\r\n:\r\n";
  for (const char* text : {faulty, "", sound}) {
    ui.messages.clear();
    SetWindowTextA(edit, text);
    if (text == faulty) Screenshot(Main(), "code-view");
    press(IDC_SAVE_AND_APPLY);
    EXPECT_EQ(engine->ScriptText(), text);
    const std::vector<std::string>& messages = engine->Script()->Messages();
    ASSERT_EQ(ui.messages.size(), text == faulty ? 1u : 0u) << text;
    ASSERT_EQ(messages.size(), ui.messages.size()) << text;
    if (text != faulty) continue;
    EXPECT_EQ(ui.messages[0].text, messages[0]);
    EXPECT_NE(messages[0].find("Brackets don't match"), std::string::npos);
  }
  SetWindowTextA(edit, "unapplied");
  press(IDC_REVERT);
  GetWindowTextA(edit, shown, sizeof shown);
  EXPECT_STREQ(shown, sound);

  // Closing forgets the windows; reopening restores the view and the
  // unapplied edits, which the engine kept meanwhile.
  SetWindowTextA(edit, "unapplied");
  HWND old = Main();
  Command(ID_CLOSE_WINDOW);
  EXPECT_EQ((std::array{engine->Editor().main_window, engine->Editor().module_view}), (std::array<void*, 2>{}));
  EXPECT_FALSE(IsWindow(old));
  OpenEditor(*engine);
  ASSERT_NE(Main(), nullptr);
  edit = static_cast<HWND>(engine->Editor().code_edit);
  EXPECT_TRUE(Visible(edit));
  EXPECT_FALSE(Visible(View()));
  GetWindowTextA(edit, shown, sizeof shown);
  EXPECT_STREQ(shown, "unapplied");
  EXPECT_EQ(engine->ScriptText(), sound) << "kept, not applied";
  press(IDC_REVERT);
  GetWindowTextA(edit, shown, sizeof shown);
  EXPECT_STREQ(shown, sound);
  SendMessageA(Main(), WM_CLOSE, 0, 0);
  EXPECT_EQ(engine->Editor().main_window, nullptr);
}

class ModuleViewTest : public EditorTest {
 protected:
  // Whether the wire's colour is drawn within one pixel of (x, y).
  bool WireNear(int x, int y) {
    Pump();
    HDC dc = GetDC(View());
    bool found = false;
    for (int dy = -1; dy <= 1; ++dy)
      for (int dx = -1; dx <= 1; ++dx) found = found || GetPixel(dc, x + dx, y + dy) == 0x602F2F;
    ReleaseDC(View(), dc);
    return found;
  }
  // The wire as both of its ends record it.
  void ExpectWire(int from, int k, int to, int j) {
    EXPECT_EQ((std::array<int, 4>{D(to).input_source_slot[j], D(to).input_source_output[j],
                                  D(from).output_target_slot[k], D(from).output_target_input[k]}),
              (std::array{from, k, to, j}));
  }
};

TEST_F(ModuleViewTest, WiresFollowThePointerAreRecordedOnBothEndsAndBreakWhenPickedUp) {
  const std::vector<int> s = Build({{ID_INPUT_COMPONENT, 20, 60}, {ID_CONSTANT, 40, 220}, {ID_CONSTANT, 40, 290},
                                    {ID_LOWPASS, 220, 120}, {ID_CLIPPING, 400, 180}, {ID_OUTPUT_COMPONENT, 580, 100}},
                                   {{1, 0, 3, 1}, {2, 0, 3, 2}, {3, 0, 4, 0}, {4, 0, 5, 0}});
  const int in = s[0], lp = s[3], clip = s[4];
  Mouse(WM_LBUTTONDOWN, D(in).x + 74, D(in).y + 6);
  Mouse(WM_MOUSEMOVE, 150, 150);
  EXPECT_TRUE(WireNear(122, 108));  // the straight line to the pointer
  Screenshot(Main(), "module-view-dragging-a-wire");
  Mouse(WM_MOUSEMOVE, D(lp).x + 6, D(lp).y + 6);
  Mouse(WM_LBUTTONUP, D(lp).x + 6, D(lp).y + 6);
  EXPECT_EQ((std::array{engine->Editor().wire_drag, engine->Editor().wire_source_slot}), (std::array{0, -1}));
  ExpectWire(in, 0, lp, 0);
  ExpectWire(s[2], 0, lp, 2);
  ExpectWire(lp, 0, clip, 0);
  Click(250, 125);
  Mouse(WM_MOUSEMOVE, 222, 134);
  Screenshot(Main(), "module-view-patch");

  // Picking a wired output up breaks its wire at once; dropped on nothing,
  // it stays broken.
  Mouse(WM_LBUTTONDOWN, D(lp).x + 74, D(lp).y + 6);
  EXPECT_EQ((std::array<int, 2>{D(lp).output_target_slot[0], D(clip).input_source_slot[0]}),
            (std::array<int, 2>{kNoSlot, kNoSlot}));
  Mouse(WM_MOUSEMOVE, 300, 400);
  Mouse(WM_LBUTTONUP, 300, 400);
  EXPECT_EQ(D(clip).input_source_slot[0], kNoSlot);
  EXPECT_EQ(engine->Editor().wire_drag, 0);
}

TEST_F(ModuleViewTest, ADropUpstreamConnectsNothingAndOnAConnectedInputReplacesItsSource) {
  const std::vector<int> s =
      Build({{ID_ADD, 20, 30}, {ID_ADD, 170, 30}, {ID_ADD, 320, 30}, {ID_ADD, 20, 130}}, {{0, 0, 1, 0}, {1, 0, 2, 0}});
  const int a = s[0], b = s[1], c = s[2], d = s[3];
  DragWire(c, 0, a, 1);  // would close a loop through b
  EXPECT_EQ(D(a).input_source_slot[1], kNoSlot);
  EXPECT_EQ(D(c).output_target_slot[0], kNoSlot);
  DragWire(d, 0, c, 0);
  ExpectWire(d, 0, c, 0);
  EXPECT_EQ(D(b).output_target_slot[0], kNoSlot);
  ExpectWire(a, 0, b, 0);
}

TEST_F(ModuleViewTest, ABoxDraggedFarAwayGrowsTheScrollRangesAndScrollingStaysWithinThem) {
  const std::vector<int> s =
      Build({{ID_ADD, 20, 30}, {ID_ADD, 300, 200}, {ID_REPLICATOR, 500, 300}}, {{1, 0, 2, 0}, {2, 3, 0, 1}});
  const int a = s[0];
  DragBox(a, 1000, 30);
  SCROLLINFO info = {sizeof info, SIF_RANGE, 0, 0, 0, 0, 0};
  GetScrollInfo(View(), SB_HORZ, &info);
  EXPECT_EQ((std::array{D(a).x, D(a).y, engine->Editor().dragged_slot, engine->Editor().content_width, info.nMax}),
            (std::array{1000, 30, -1, 1130, 1129}));

  DragBox(a, 2000, 900);
  RECT client;
  GetClientRect(View(), &client);
  const auto scroll = [&](UINT bar, WPARAM how, int times) {
    for (int i = 0; i < times; ++i) SendMessageA(View(), bar, how, 0);
  };
  scroll(WM_HSCROLL, SB_LINEDOWN, 25);
  scroll(WM_VSCROLL, SB_LINEDOWN, 15);
  EXPECT_EQ((std::array{engine->Editor().scroll_x, engine->Editor().scroll_y}), (std::array{-250, -150}));
  EXPECT_EQ((std::array{GetScrollPos(View(), SB_HORZ), GetScrollPos(View(), SB_VERT)}), (std::array{250, 150}));
  Screenshot(Main(), "module-view-scrolled");
  scroll(WM_HSCROLL, SB_PAGEUP, 1);
  EXPECT_EQ(engine->Editor().scroll_x, 0);
  scroll(WM_HSCROLL, SB_PAGEDOWN, 1);
  EXPECT_EQ(engine->Editor().scroll_x, -client.right);
  scroll(WM_HSCROLL, SB_PAGEDOWN, 10);
  EXPECT_EQ(engine->Editor().scroll_x, client.right - 2130);  // stops at the content's end
  Click(D(a).x + 20, D(a).y + 5);
  EXPECT_EQ(engine->Editor().selected_slot, a);
}

TEST_F(ModuleViewTest, RightClicksSelectAndOpenTheMatchingPopupAtThePointer) {
  const int a = Add(ID_ADD, 100, 100);
  RECT where = {};
  HMENU menu = OpenedPopup([&] { Click(120, 105, WM_RBUTTONDOWN, WM_RBUTTONUP); }, &where);
  EXPECT_EQ(menu, editor::Globals().component_popup);
  EXPECT_EQ(engine->Editor().selected_slot, a);
  POINT pointer = {120, 105};
  ClientToScreen(View(), &pointer);
  EXPECT_EQ((std::array{where.left, where.top}), (std::array{pointer.x, pointer.y}));

  // On empty space the button down keeps the selection; the release clears
  // it and offers the view's menu, whose new component lands there.
  Mouse(WM_MOUSEMOVE, 400, 300);
  menu = OpenedPopup([&] {
    Mouse(WM_RBUTTONDOWN, 400, 300);
    EXPECT_EQ(engine->Editor().selected_slot, a);
    Mouse(WM_RBUTTONUP, 400, 300);
  });
  EXPECT_EQ(menu, editor::Globals().view_popup);
  EXPECT_EQ(engine->Editor().selected_slot, -1);
  SendMessageA(View(), WM_COMMAND, ID_REPLICATOR, 0);
  ASSERT_TRUE(engine->IsOccupied(1));
  EXPECT_EQ((std::array{D(1).x, D(1).y}), (std::array{400, 300}));
}

}  // namespace
}  // namespace korvel::testing

// The Module View driven with mouse messages: wiring under the engine's
// rules, dragging and scrolling, the pop-up menus, painting and the status
// bar.
#include <windows.h>

#include <gtest/gtest.h>

#include "editor/editor_internal.h"
#include "engine/type_table.h"
#include "resources/resource.h"
#include "tests/editor/editor_fixture.h"

namespace korvel::testing {
namespace {

constexpr COLORREF kWire = 0x602F2F;

class ModuleViewTest : public EditorTest {
 protected:
  const ComponentDescriptor& D(int slot) { return *engine->descriptor[slot]; }
  bool Unconnected(int slot, bool output, int port) {
    const ComponentDescriptor& d = D(slot);
    return output ? d.output_target_slot[port] == kNoSlot : d.input_source_slot[port] == kNoSlot;
  }
  // Whether any pixel within one of (x, y) of the view's client point has `colour`.
  bool ColourNear(int x, int y, COLORREF colour) {
    for (int dy = -1; dy <= 1; ++dy)
      for (int dx = -1; dx <= 1; ++dx)
        if (ScreenPixel(View(), x + dx, y + dy) == colour) return true;
    return false;
  }
};

TEST_F(ModuleViewTest, AWireDraggedFromAnOutputToAnInputIsRecordedOnBothEndsAndDrawn) {
  const int a = Add(ID_ADD, 20, 30);
  const int b = Add(ID_ADD, 220, 130);
  const ComponentDescriptor& target = D(b);
  Mouse(WM_LBUTTONDOWN, D(a).x + 74, D(a).y + 6);
  Mouse(WM_MOUSEMOVE, 150, 100);
  EXPECT_EQ(engine->wire_drag, 1);
  EXPECT_EQ(engine->wire_source_slot, a);
  Pump();
  EXPECT_TRUE(ColourNear(125, 70, kWire));  // the straight line to the pointer
  Screenshot(Main(), "module-view-dragging-a-wire");
  Mouse(WM_MOUSEMOVE, target.x + 6, target.y + 14);
  Mouse(WM_LBUTTONUP, target.x + 6, target.y + 14);

  EXPECT_EQ(engine->wire_drag, 0);
  EXPECT_EQ(engine->wire_source_slot, -1);
  EXPECT_EQ(target.input_source_slot[1], a);
  EXPECT_EQ(target.input_source_output[1], 0);
  EXPECT_EQ(D(a).output_target_slot[0], b);
  EXPECT_EQ(D(a).output_target_input[0], 1);
  EXPECT_TRUE(Unconnected(b, false, 0));

  // The curve's middle lies halfway between the two ports.
  Pump();
  const int x0 = D(a).x + 76, y0 = D(a).y + 6, x3 = target.x + 4, y3 = target.y + 14;
  EXPECT_TRUE(ColourNear(x0 + (x3 - x0) / 2, (y0 + y3) / 2, kWire));
}

TEST_F(ModuleViewTest, PickingUpAWiredOutputBreaksTheWireBeforeTheDrop) {
  const int a = Add(ID_ADD, 20, 30);
  const int b = Add(ID_ADD, 220, 30);
  DragWire(a, 0, b, 0);
  ASSERT_EQ(D(b).input_source_slot[0], a);

  Mouse(WM_LBUTTONDOWN, D(a).x + 74, D(a).y + 6);
  EXPECT_TRUE(Unconnected(a, true, 0));
  EXPECT_TRUE(Unconnected(b, false, 0));
  Mouse(WM_MOUSEMOVE, 150, 300);
  Mouse(WM_LBUTTONUP, 150, 300);  // on nothing
  EXPECT_TRUE(Unconnected(a, true, 0));
  EXPECT_TRUE(Unconnected(b, false, 0));
  EXPECT_EQ(engine->wire_drag, 0);
}

TEST_F(ModuleViewTest, AWireDroppedOnAComponentUpstreamOfItsSourceConnectsNothing) {
  const int a = Add(ID_ADD, 20, 30);
  const int b = Add(ID_ADD, 170, 30);
  const int c = Add(ID_ADD, 320, 30);
  DragWire(a, 0, b, 0);
  DragWire(b, 0, c, 0);
  DragWire(c, 0, a, 1);  // would close a loop through b
  EXPECT_TRUE(Unconnected(a, false, 1));
  EXPECT_TRUE(Unconnected(c, true, 0));
  DragWire(b, 0, a, 0);  // picks b's wire up, then is refused too
  EXPECT_TRUE(Unconnected(a, false, 0) || D(a).input_source_slot[0] != b);
  EXPECT_EQ(D(b).input_source_slot[0], a);
}

TEST_F(ModuleViewTest, AWireDroppedOnAConnectedInputReplacesItsSource) {
  const int a = Add(ID_ADD, 20, 30);
  const int b = Add(ID_ADD, 20, 130);
  const int c = Add(ID_ADD, 250, 80);
  DragWire(a, 0, c, 0);
  DragWire(b, 0, c, 0);
  EXPECT_EQ(D(c).input_source_slot[0], b);
  EXPECT_EQ(D(b).output_target_slot[0], c);
  EXPECT_TRUE(Unconnected(a, true, 0));
}

TEST_F(ModuleViewTest, AWireDroppedOnABoxOutsideItsInputColumnConnectsNothing) {
  const int a = Add(ID_ADD, 20, 30);
  const int b = Add(ID_ADD, 220, 30);
  Mouse(WM_LBUTTONDOWN, D(a).x + 74, D(a).y + 6);
  Mouse(WM_LBUTTONUP, D(b).x + 10, D(b).y + 6);
  EXPECT_TRUE(Unconnected(b, false, 0));
  EXPECT_TRUE(Unconnected(a, true, 0));
}

TEST_F(ModuleViewTest, ABoxIsHitOnlyInsideItsBorder) {
  const int a = Add(ID_ADD, 100, 100);
  for (auto [x, y] : {std::pair{100, 110}, {180, 110}, {140, 100}, {140, 122}}) {
    Mouse(WM_LBUTTONDOWN, x, y);
    Mouse(WM_LBUTTONUP, x, y);
    EXPECT_EQ(engine->selected_slot, -1) << x << "," << y;
  }
  Mouse(WM_LBUTTONDOWN, 101, 101);
  Mouse(WM_LBUTTONUP, 101, 101);
  EXPECT_EQ(engine->selected_slot, a);
}

TEST_F(ModuleViewTest, DraggingABoxFarRightGrowsTheContentAndTheScrollRange) {
  const int a = Add(ID_ADD, 20, 30);
  SCROLLINFO before = {sizeof before, SIF_ALL, 0, 0, 0, 0, 0};
  GetScrollInfo(View(), SB_HORZ, &before);
  DragBox(a, 1000, 30);
  EXPECT_EQ(D(a).x, 1000);
  EXPECT_EQ(D(a).y, 30);
  EXPECT_EQ(engine->content_width, 1130);
  EXPECT_EQ(engine->dragged_slot, -1);
  SCROLLINFO after = {sizeof after, SIF_ALL, 0, 0, 0, 0, 0};
  GetScrollInfo(View(), SB_HORZ, &after);
  EXPECT_EQ(after.nMax, 1129);
  EXPECT_GT(after.nMax, before.nMax);
}

TEST_F(ModuleViewTest, ScrollingMovesTheViewAndHitsFollowTheOffset) {
  const int a = Add(ID_ADD, 20, 30);
  const int b = Add(ID_ADD, 300, 200);
  const int c = Add(ID_REPLICATOR, 500, 300);
  DragWire(b, 0, c, 0);
  DragWire(c, 3, a, 1);
  DragBox(a, 2000, 900);
  for (int i = 0; i < 25; ++i) SendMessageA(View(), WM_HSCROLL, SB_LINEDOWN, 0);
  for (int i = 0; i < 15; ++i) SendMessageA(View(), WM_VSCROLL, SB_LINEDOWN, 0);
  Screenshot(Main(), "module-view-scrolled");
  SendMessageA(View(), WM_HSCROLL, SB_PAGEUP, 0);
  SendMessageA(View(), WM_HSCROLL, SB_PAGEUP, 0);
  SendMessageA(View(), WM_VSCROLL, SB_PAGEUP, 0);
  EXPECT_EQ(engine->scroll_x, 0);
  EXPECT_EQ(engine->scroll_y, 0);
  RECT client;
  GetClientRect(View(), &client);
  const int last_x = 2130 - client.right;

  SendMessageA(View(), WM_HSCROLL, SB_LINEUP, 0);  // already at the start
  EXPECT_EQ(engine->scroll_x, 0);
  SendMessageA(View(), WM_HSCROLL, SB_LINEDOWN, 0);
  EXPECT_EQ(engine->scroll_x, -10);
  EXPECT_EQ(GetScrollPos(View(), SB_HORZ), 10);
  SendMessageA(View(), WM_HSCROLL, SB_PAGEDOWN, 0);
  EXPECT_EQ(engine->scroll_x, -(10 + client.right));
  for (int i = 0; i < 10; ++i) SendMessageA(View(), WM_HSCROLL, SB_PAGEDOWN, 0);
  EXPECT_EQ(engine->scroll_x, -last_x);  // stops at the content's end
  for (int i = 0; i < 15; ++i) SendMessageA(View(), WM_VSCROLL, SB_LINEDOWN, 0);
  EXPECT_EQ(engine->scroll_y, -150);
  EXPECT_EQ(GetScrollPos(View(), SB_VERT), 150);

  // Module coordinates stay the box's own: a click on it selects it.
  Mouse(WM_LBUTTONDOWN, D(a).x + 20, D(a).y + 5);
  Mouse(WM_LBUTTONUP, D(a).x + 20, D(a).y + 5);
  EXPECT_EQ(engine->selected_slot, a);
  SendMessageA(View(), WM_HSCROLL, SB_PAGEUP, 0);
  EXPECT_EQ(engine->scroll_x, std::min(0, -last_x + static_cast<int>(client.right)));
}

TEST_F(ModuleViewTest, RightClicksSelectAndOfferTheMatchingPopupMenu) {
  const int a = Add(ID_ADD, 100, 100);
  Add(ID_ADD, 300, 100);
  RECT where = {};
  HMENU menu = OpenedPopup([&] {
    Mouse(WM_RBUTTONDOWN, 120, 105);
    EXPECT_EQ(engine->selected_slot, a);
    Mouse(WM_RBUTTONUP, 120, 105);
  }, &where);
  EXPECT_EQ(menu, editor::Globals().component_popup);
  EXPECT_EQ(engine->selected_slot, a);
  POINT pointer = {120, 105};
  ClientToScreen(View(), &pointer);
  EXPECT_EQ(where.left, pointer.x);
  EXPECT_EQ(where.top, pointer.y);

  // A right button down on empty space keeps the selection; the release clears it.
  Mouse(WM_MOUSEMOVE, 400, 300);
  menu = OpenedPopup([&] {
    Mouse(WM_RBUTTONDOWN, 400, 300);
    EXPECT_EQ(engine->selected_slot, a);
    Mouse(WM_RBUTTONUP, 400, 300);
  });
  EXPECT_EQ(menu, editor::Globals().view_popup);
  EXPECT_EQ(engine->selected_slot, -1);

  // "&New Component" puts the box where the button was released.
  SendMessageA(View(), WM_COMMAND, ID_REPLICATOR, 0);
  const int made = engine->slot_count - 1;
  ASSERT_TRUE(engine->IsOccupied(made));
  EXPECT_EQ(D(made).x, 400);
  EXPECT_EQ(D(made).y, 300);

  // Scrolled, the menu still opens at the pointer.
  DragBox(a, 1100, 100);
  SendMessageA(View(), WM_HSCROLL, SB_PAGEDOWN, 0);
  ASSERT_LT(engine->scroll_x, 0);
  menu = OpenedPopup([&] {
    Mouse(WM_RBUTTONDOWN, 1120, 105);
    Mouse(WM_RBUTTONUP, 1120, 105);
  }, &where);
  EXPECT_EQ(menu, editor::Globals().component_popup);
  pointer = {1120 + engine->scroll_x, 105 + engine->scroll_y};
  ClientToScreen(View(), &pointer);
  EXPECT_EQ(where.left, pointer.x);
}

TEST_F(ModuleViewTest, ThePopupMenusCarryTheirItems) {
  auto text = [](HMENU menu, int position) {
    char item[64] = {};
    GetMenuStringA(menu, static_cast<UINT>(position), item, sizeof item, MF_BYPOSITION);
    return std::string(item);
  };
  HMENU component = editor::Globals().component_popup;
  ASSERT_EQ(GetMenuItemCount(component), 4);
  EXPECT_EQ(text(component, 0), "Component &Settings...");
  EXPECT_EQ(text(component, 1), "Component &Info...");
  EXPECT_EQ(text(component, 3), "&Delete Component");
  EXPECT_EQ(GetMenuDefaultItem(component, TRUE, 0), 0u);
  HMENU view = editor::Globals().view_popup;
  ASSERT_EQ(GetMenuItemCount(view), 4);
  EXPECT_EQ(text(view, 0), "&New Component");
  EXPECT_EQ(GetSubMenu(view, 0), GetSubMenu(editor::Globals().module_menu, 3));
  EXPECT_EQ(text(view, 2), "Parameter &Properties...");
  EXPECT_EQ(text(view, 3), "&Module Information...");
  EXPECT_EQ(GetMenuDefaultItem(view, FALSE, 0), static_cast<UINT>(ID_PARAMETER_PROPERTIES));
}

TEST_F(ModuleViewTest, TheStatusBarNamesThePortUnderThePointerElseTheSelection) {
  if (!IsTypeAvailable(15)) GTEST_SKIP() << "no filters in this build";
  const int lp = Add(ID_LOWPASS, 100, 100);
  HWND status = static_cast<HWND>(engine->status_bar);
  Mouse(WM_MOUSEMOVE, 105, 100 + 8 * 1 + 6);
  EXPECT_EQ(StatusText(status), "LP filter \xE2\x80\x94 in2: Cutoff");
  Mouse(WM_MOUSEMOVE, 175, 106);
  EXPECT_EQ(StatusText(status), "LP filter \xE2\x80\x94 out1: Filtered result");
  Mouse(WM_MOUSEMOVE, 400, 400);
  EXPECT_EQ(StatusText(status), "");
  Mouse(WM_LBUTTONDOWN, 140, 110);
  Mouse(WM_LBUTTONUP, 140, 110);
  Mouse(WM_MOUSEMOVE, 400, 400);
  ASSERT_EQ(engine->selected_slot, lp);
  EXPECT_EQ(StatusText(status), "LP filter (LP filter)");

  // Ranges in the info text name every port they cover.
  const int r = Add(ID_REPLICATOR, 300, 100);
  Mouse(WM_MOUSEMOVE, D(r).x + 74, D(r).y + 8 * 5 + 6);
  EXPECT_EQ(StatusText(status), "Replicator \xE2\x80\x94 out1 - out8: same as in1");
}

TEST_F(ModuleViewTest, SelectionIsFramedAndBoxesWearTheirColours) {
  const int a = Add(ID_REPLICATOR, 100, 100);
  Mouse(WM_LBUTTONDOWN, 140, 110);
  Mouse(WM_LBUTTONUP, 140, 110);
  ASSERT_EQ(engine->selected_slot, a);
  Pump();
  EXPECT_EQ(ScreenPixel(View(), 130, 101), RGB(255, 255, 255));  // the frame
  EXPECT_EQ(ScreenPixel(View(), 130, 103), D(a).colour);
  EXPECT_EQ(ScreenPixel(View(), 105, 105), RGB(0, 0, 0));  // input port 0
  EXPECT_EQ(ScreenPixel(View(), 50, 50), RGB(0xEF, 0xEF, 0xF0));
}

TEST_F(ModuleViewTest, ASixComponentPatch) {
  for (int type : {0, 1, 15, 24, 80})
    if (!IsTypeAvailable(type)) GTEST_SKIP() << "type " << type << " missing";
  const int in = Add(ID_INPUT_COMPONENT, 20, 60);
  const int cutoff = Add(ID_CONSTANT, 40, 220);
  const int resonance = Add(ID_CONSTANT, 40, 290);
  const int lp = Add(ID_LOWPASS, 220, 120);
  const int clip = Add(ID_CLIPPING, 400, 180);
  const int out = Add(ID_OUTPUT_COMPONENT, 580, 100);
  DragWire(in, 0, lp, 0);
  DragWire(cutoff, 0, lp, 1);
  DragWire(resonance, 0, lp, 2);
  DragWire(lp, 0, clip, 0);
  DragWire(clip, 0, out, 0);
  EXPECT_EQ(D(lp).input_source_slot[0], in);
  EXPECT_EQ(D(lp).input_source_slot[1], cutoff);
  EXPECT_EQ(D(lp).input_source_slot[2], resonance);
  EXPECT_EQ(D(clip).input_source_slot[0], lp);
  EXPECT_EQ(D(out).input_source_slot[0], clip);
  Mouse(WM_LBUTTONDOWN, 250, 125);
  Mouse(WM_LBUTTONUP, 250, 125);
  Mouse(WM_MOUSEMOVE, 222, 120 + 14);
  Pump();
  Screenshot(Main(), "module-view-patch");
}

}  // namespace
}  // namespace korvel::testing

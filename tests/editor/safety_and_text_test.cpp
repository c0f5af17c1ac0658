// Faults found using the editor: dialogs outliving their component or
// their engine, text that is not ASCII, a double-click that cut a wire, a
// tab and status bar left stale, and the small things of everyday use
// (stacked boxes, dragging past the edge, centred dialogs, a selection
// that shows, a refused wire that says why).
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "components/value_sources.h"
#include "editor/editor_internal.h"
#include "editor/utf8.h"
#include "engine/module_image.h"
#include "tests/editor/editor_fixture.h"

namespace korvel::testing {
namespace {

using editor::Utf8;

std::wstring ItemText(HWND dialog, int control) {
  wchar_t text[1024] = {};
  GetDlgItemTextW(dialog, control, text, 1024);
  return text;
}

void Press(HWND dialog, int control) {
  SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(control, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, control)));
}

std::string StatusText(const PatchEngine& engine) {
  wchar_t text[1024] = {};
  SendMessageW(static_cast<HWND>(engine.Editor().status_bar), SB_GETTEXTW, 0, reinterpret_cast<LPARAM>(text));
  return Utf8(text);
}

void PumpFor(int rounds) {
  for (int i = 0; i < rounds; ++i, Sleep(10)) {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
  }
}

class SafetyTest : public EditorTest {
 protected:
  void DoubleClickAt(int x, int y) {
    Mouse(WM_LBUTTONDOWN, x, y);
    Mouse(WM_LBUTTONUP, x, y);
    Mouse(WM_LBUTTONDBLCLK, x, y);
    Mouse(WM_LBUTTONUP, x, y);
  }
  void DoubleClick(int slot) { DoubleClickAt(D(slot).x + 30, D(slot).y + 3); }
  void Restore(const std::string& components) {
    const std::string image =
        R"({"format": "korvel-module", "version": 1, "name": "Restored", "components": [)" + components + "]}";
    std::string error;
    ASSERT_TRUE(ReadModuleImage(*engine, image.data(), image.size(), error)) << error;
  }
};

// A host restore while a settings dialog is open replaces the component
// under it: OK then writes nothing into what holds the slot now, and the
// restore's own notice closes such a dialog.
TEST_F(SafetyTest, ARestoreUnderAnOpenSettingsDialogLeavesTheRestoredComponentAlone) {
  const int constant = Add(ID_CONSTANT, 100, 100);
  ASSERT_EQ(constant, 0);
  bool open_after_ok = true;
  ui.drivers.push_back([&](HWND dialog) {
    Restore(R"({"slot": 0, "type": 87, "label": "restored", "min": 5, "max": 9})");
    SetDlgItemTextA(dialog, IDC_LABEL, "typed before the restore");
    SetDlgItemTextA(dialog, IDC_CONSTANT_VALUE, "3");
    Press(dialog, IDOK);
    open_after_ok = IsWindow(dialog) && IsWindowVisible(dialog);
  });
  DoubleClick(constant);
  EXPECT_FALSE(open_after_ok);
  EXPECT_STREQ(D(0).label, "restored");
  EXPECT_EQ(static_cast<const SliderRecord*>(engine->Record(0))->minimum, 5.0);

  // Left open, the dialog is closed by the restore's notice.
  bool closed_by_restore = false;
  ui.drivers.push_back([&](HWND dialog) {
    Restore(R"({"slot": 0, "type": 80, "label": "again", "value": 2})");
    PumpFor(5);
    closed_by_restore = !IsWindow(dialog) || !IsWindowVisible(dialog);
    if (!closed_by_restore) Press(dialog, IDOK);
  });
  DoubleClick(0);
  EXPECT_TRUE(closed_by_restore);
  EXPECT_STREQ(D(0).label, "again");
  EXPECT_EQ(static_cast<const ConstantRecord*>(engine->Record(0))->value, 2.0);
}

// The module torn down (the host closing the plug-in) while a settings
// dialog is open: the dialog ends with it and nothing reads or writes the
// engine after; its memory, poisoned once freed, stays as poisoned.
TEST(DialogTeardownTest, TearingTheEngineDownEndsItsOpenDialogAndNothingTouchesItAfter) {
  EditorUi ui;
  alignas(PatchEngine) static unsigned char memory[sizeof(PatchEngine)];
  char names[kNamedParameterCount][kParameterNameSize] = {};
  auto* engine = new (memory) PatchEngine();
  engine->ResetEngine();
  {
    PatchEngine::EditLock lock(*engine);
    engine->LendHostLocked(names, nullptr, nullptr, nullptr);
  }
  OpenEditor(*engine);
  engine->Editor().new_component_x = engine->Editor().new_component_y = 100;
  SendMessageA(static_cast<HWND>(engine->Editor().main_window), WM_COMMAND, ID_CONSTANT, 0);
  ASSERT_TRUE(engine->IsOccupied(0));
  engine->Editor().selected_slot = 0;
  HWND view = static_cast<HWND>(engine->Editor().module_view);
  HWND opened = nullptr;
  ui.drivers.push_back([&](HWND dialog) {
    opened = dialog;
    engine->~PatchEngine();
    std::memset(memory, 0xDD, sizeof memory);
  });
  SendMessageA(view, WM_LBUTTONDBLCLK, 0, MAKELPARAM(130, 103));
  PumpFor(3);
  ASSERT_NE(opened, nullptr);
  EXPECT_FALSE(IsWindow(opened)) << "the dialog ended with its engine";
  EXPECT_EQ(ui.dialogs, std::vector<int>{IDD_CONSTANT_SETTINGS});
  bool untouched = true;
  for (unsigned char byte : memory) untouched = untouched && byte == 0xDD;
  EXPECT_TRUE(untouched) << "the freed engine was written after the dialog returned";
  EXPECT_FALSE(IsWindow(view));
  EXPECT_EQ(editor::Globals().dialog_engine, nullptr);
}

// Text is UTF-8 in the engine and UTF-16 on the screen: accents typed in
// the dialogs are stored as typed, names from a file show as written, and
// a label cut to its field never keeps half a character.
TEST_F(SafetyTest, TextTypedOrLoadedWithAccentsSurvivesTheDialogsAndTheCodeView) {
  std::string error;
  const std::string named = R"({"format": "korvel-module", "version": 1, "name": "Café Ω", "components": [)"
                            R"({"slot": 0, "type": 10, "label": "Café Ω"}], "script": "# naïve\r\n"})";
  ASSERT_TRUE(ReadModuleImage(*engine, named.data(), named.size(), error)) << error;
  std::strcpy(parameter_names[0], "Größe");
  Pump();

  std::wstring shown_name, shown_parameter;
  ui.drivers.push_back([&](HWND dialog) {
    shown_name = ItemText(dialog, IDC_ENSEMBLE_NAME);
    SetDlgItemTextW(dialog, IDC_ENSEMBLE_AUTHOR, L"Łukasz Żółć");
    SetDlgItemTextW(dialog, IDC_ENSEMBLE_DESCRIPTION, L"Déjà vu ♪");
    Press(dialog, IDOK);
  });
  Command(ID_MODULE_INFO);
  EXPECT_EQ(shown_name, L"Café Ω");
  EXPECT_EQ(engine->ModuleAuthor(), "Łukasz Żółć");
  EXPECT_EQ(engine->ModuleDescription(), "Déjà vu ♪");

  ui.drivers.push_back([&](HWND dialog) {
    shown_parameter = ItemText(dialog, IDC_PARAMETER_NAME_FIRST);
    SetDlgItemTextW(dialog, IDC_PARAMETER_NAME_FIRST + 1, L"Hôte");
    Press(dialog, IDOK);
  });
  Command(ID_PARAMETER_PROPERTIES);
  EXPECT_EQ(shown_parameter, L"Größe");
  EXPECT_STREQ(parameter_names[1], "Hôte");

  std::wstring shown_label;
  ui.drivers.push_back([&](HWND dialog) {
    shown_label = ItemText(dialog, IDC_LABEL);
    SetDlgItemTextW(dialog, IDC_LABEL, L"Déjà vu");
    Press(dialog, IDOK);
  });
  DoubleClick(0);
  EXPECT_EQ(shown_label, L"Café Ω");
  EXPECT_STREQ(D(0).label, "Déjà vu");
  Screenshot(Main(), "unicode-label-and-tab");

  // 126 ASCII letters and an é are 128 bytes: the é does not fit the
  // 127-byte label and goes whole.
  ui.drivers.push_back([&](HWND dialog) {
    SendDlgItemMessageW(dialog, IDC_LABEL, EM_LIMITTEXT, 0, 0);
    SetDlgItemTextW(dialog, IDC_LABEL, (std::wstring(126, L'a') + L"é").c_str());
    Press(dialog, IDOK);
  });
  DoubleClick(0);
  EXPECT_EQ(std::string(D(0).label), std::string(126, 'a'));

  HWND edit = static_cast<HWND>(engine->Editor().code_edit);
  wchar_t script[64] = {};
  GetWindowTextW(edit, script, 64);
  EXPECT_STREQ(script, L"# naïve\r\n");
  Command(ID_CODE_VIEW);
  SetWindowTextW(edit, L"# café ☕\r\n");
  SendMessageA(GetDlgItem(Main(), IDC_SAVE_AND_APPLY), BM_CLICK, 0, 0);
  EXPECT_EQ(engine->ScriptText(), "# café ☕\r\n");
}

// The first click of a double-click on a wired output picks the wire up
// (the written rule); the double-click puts it back before the settings
// open, so Cancel leaves the patch as it was.
TEST_F(SafetyTest, ADoubleClickOnAWiredOutputKeepsTheWire) {
  const std::vector<int> s = Build({{ID_INPUT_COMPONENT, 20, 40}, {ID_OUTPUT_COMPONENT, 250, 40}}, {{0, 0, 1, 0}});
  ASSERT_EQ(D(s[1]).input_source_slot[0], s[0]);
  DoubleClickAt(D(s[0]).x + 74, D(s[0]).y + 6);
  EXPECT_EQ(ui.dialogs, std::vector<int>{IDD_COMPONENT_SETTINGS}) << "the settings still open, and are cancelled";
  EXPECT_EQ((std::array<int, 2>{D(s[1]).input_source_slot[0], D(s[0]).output_target_slot[0]}),
            (std::array<int, 2>{s[0], s[1]}));
  // A single press still takes the wire away, by the rule.
  Click(D(s[0]).x + 74, D(s[0]).y + 6);
  EXPECT_EQ(D(s[1]).input_source_slot[0], kNoSlot);
}

// The tab and the status bar follow a rename at once, and the status bar
// a view switch and a restore.
TEST_F(SafetyTest, TheTabAndTheStatusBarFollowRenamesViewSwitchesAndRestores) {
  const int a = Add(ID_ADD, 100, 100);
  const std::string type = D(a).label;  // a new box is labelled with its type's name
  Click(D(a).x + 30, D(a).y + 3);
  Pump();
  ui.drivers.push_back([&](HWND dialog) {
    SetDlgItemTextA(dialog, IDC_ENSEMBLE_NAME, "Renamed");
    Press(dialog, IDOK);
  });
  Command(ID_MODULE_INFO);
  HRGN update = CreateRectRgn(0, 0, 0, 0);
  GetUpdateRgn(Main(), update, FALSE);
  EXPECT_TRUE(PtInRegion(update, 30, 12)) << "the tab is to be repainted";
  DeleteObject(update);

  ui.drivers.push_back([&](HWND dialog) {
    SetDlgItemTextA(dialog, IDC_LABEL, "mixer");
    Press(dialog, IDOK);
  });
  Command(ID_COMPONENT_SETTINGS);
  EXPECT_EQ(StatusText(*engine), "mixer (" + type + ")");

  engine->SetLabel(a, "renamed elsewhere");
  Command(ID_CODE_VIEW);
  EXPECT_EQ(StatusText(*engine), "renamed elsewhere (" + type + ")");
  Command(ID_MODULE_VIEW);

  Restore(R"({"slot": 0, "type": 11, "label": "restored"})");
  Pump();
  EXPECT_EQ(StatusText(*engine), "") << "the restore cleared the selection";
}

TEST_F(SafetyTest, BoxesAddedWithoutMovingThePointerDoNotStack) {
  const int first = Add(ID_ADD, 100, 100);
  const int second = Add(ID_ADD, 100, 100);
  Command(ID_ADD);
  ASSERT_TRUE(engine->IsOccupied(2));
  EXPECT_EQ((std::array{D(first).x, D(first).y, D(second).x, D(second).y, D(2).x, D(2).y}),
            (std::array{100, 100, 116, 116, 132, 132}));
}

// Held past the right edge, a dragged box scrolls the view and follows.
TEST_F(SafetyTest, DraggingPastTheEdgeScrollsTheView) {
  const int a = Add(ID_ADD, 100, 100);
  RECT client;
  GetClientRect(View(), &client);
  Mouse(WM_LBUTTONDOWN, D(a).x + 30, D(a).y + 3);
  Mouse(WM_MOUSEMOVE, client.right + 20, D(a).y + 3);
  for (int i = 0; i < 200 && engine->Editor().scroll_x > -60; ++i) PumpFor(1);
  EXPECT_LE(engine->Editor().scroll_x, -60);
  EXPECT_EQ(GetScrollPos(View(), SB_HORZ), -engine->Editor().scroll_x);
  EXPECT_GT(D(a).x, client.right - 30) << "the box followed the pointer";
  Mouse(WM_LBUTTONUP, D(a).x + 30, D(a).y + 3);
  const int scrolled = engine->Editor().scroll_x;
  PumpFor(5);
  EXPECT_EQ(engine->Editor().scroll_x, scrolled) << "the drag ended: no more scrolling";
}

TEST_F(SafetyTest, DialogsOpenCentredOnTheMainWindow) {
  MoveWindow(Main(), 200, 150, 700, 500, TRUE);
  RECT main, dialog_rect = {};
  GetWindowRect(Main(), &main);
  ui.drivers.push_back([&](HWND dialog) { GetWindowRect(dialog, &dialog_rect); });
  Command(ID_MODULE_INFO);
  EXPECT_NEAR((dialog_rect.left + dialog_rect.right) / 2, (main.left + main.right) / 2, 1);
  EXPECT_NEAR((dialog_rect.top + dialog_rect.bottom) / 2, (main.top + main.bottom) / 2, 1);
}

// The selection shows on the lightest boxes: a dark line on the box's edge
// around the white frame.
TEST_F(SafetyTest, TheSelectionFrameShowsOnYellowAndGreenBoxes) {
  for (const int command : {ID_CONSTANT, ID_REPLICATOR}) {
    const int slot = Add(command, command == ID_CONSTANT ? 100 : 300, 100);
    Click(D(slot).x + 30, D(slot).y + 3);
    Pump();
    HDC dc = GetDC(View());
    const int y = D(slot).y + D(slot).height / 2;
    EXPECT_EQ(GetPixel(dc, D(slot).x, y), RGB(0x20, 0x20, 0x20)) << command;
    EXPECT_EQ(GetPixel(dc, D(slot).x + 1, y), RGB(255, 255, 255)) << command;
    EXPECT_EQ(GetPixel(dc, D(slot).x + 2, y), static_cast<COLORREF>(D(slot).colour)) << command;
    ReleaseDC(View(), dc);
    Screenshot(View(), command == ID_CONSTANT ? "selected-yellow-box" : "selected-green-box");
  }
}

// A wire that would close a loop, or dropped on a box's body, says why in
// the status bar until the next press.
TEST_F(SafetyTest, ARefusedWireSaysWhyInTheStatusBar) {
  const std::vector<int> s = Build({{ID_ADD, 20, 30}, {ID_ADD, 170, 30}, {ID_ADD, 320, 30}, {ID_ADD, 170, 130}},
                                   {{0, 0, 1, 0}, {1, 0, 2, 0}});
  Click(D(s[1]).x + 30, D(s[1]).y + 3);
  engine->SetLabel(s[0], "first");
  engine->SetLabel(s[2], "last");
  DragWire(s[2], 0, s[0], 1);
  EXPECT_EQ(StatusText(*engine), "Not connected: \"first\" already feeds \"last\", so the wire would close a loop.");
  Mouse(WM_MOUSEMOVE, 600, 300);
  EXPECT_NE(StatusText(*engine).find("close a loop"), std::string::npos) << "kept until the next press";
  Drag(D(s[2]).x + 74, D(s[2]).y + 6, D(s[3]).x + 40, D(s[3]).y + 6);
  EXPECT_EQ(StatusText(*engine), "Not connected: drop a wire on an input square, at a box's left edge.");
  Click(600, 300);
  EXPECT_EQ(StatusText(*engine).find("Not connected"), std::string::npos);
}

}  // namespace
}  // namespace korvel::testing

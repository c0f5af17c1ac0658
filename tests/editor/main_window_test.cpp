// The main window: its children and their places, the menu, view
// switching, the component commands and the module commands.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "editor/editor_internal.h"
#include "engine/type_table.h"
#include "resources/resource.h"
#include "tests/editor/editor_fixture.h"

namespace korvel::testing {
namespace {

std::string MenuText(HMENU menu, int position) {
  char text[128] = {};
  GetMenuStringA(menu, static_cast<UINT>(position), text, sizeof text, MF_BYPOSITION);
  return text;
}

BOOL CALLBACK CountMainWindows(HWND window, LPARAM count) {
  char name[32] = {};
  GetClassNameA(window, name, sizeof name);
  if (std::string(name) == "DravikWnd") ++*reinterpret_cast<int*>(count);
  return TRUE;
}

int MainWindowCount() {
  int count = 0;
  EnumThreadWindows(GetCurrentThreadId(), CountMainWindows, reinterpret_cast<LPARAM>(&count));
  return count;
}

bool Visible(void* window) { return IsWindowVisible(static_cast<HWND>(window)) != FALSE; }

void ExpectViewPlacement(HWND main, HWND view) {
  RECT client;
  GetClientRect(main, &client);
  const RECT r = ChildRect(view);
  EXPECT_EQ(r.left, 3);
  EXPECT_EQ(r.top, 21);
  EXPECT_EQ(r.right - r.left, client.right - 6);
  EXPECT_EQ(r.bottom - r.top, client.bottom - 44);
}

using MainWindowTest = EditorTest;

TEST_F(MainWindowTest, OpensWithItsChildrenFoundByClassAndTitle) {
  HWND main = FindWindowA("DravikWnd", "Korvel Modular");
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(main, Main());
  RECT frame;
  GetWindowRect(main, &frame);
  EXPECT_EQ(frame.left, 32);
  EXPECT_EQ(frame.top, 16);
  EXPECT_EQ(frame.right - frame.left, 800);
  EXPECT_EQ(frame.bottom - frame.top, 600);

  HWND module_view = FindWindowExA(main, nullptr, "KorvelModuleView", "korvelview-module");
  HWND gui_view = FindWindowExA(main, nullptr, "KorvelGUIView", "korvelview-gui");
  HWND status = GetDlgItem(main, 1222);
  ASSERT_EQ(module_view, View());
  ASSERT_EQ(gui_view, static_cast<HWND>(engine->gui_view));
  ASSERT_NE(status, nullptr);
  char name[64] = {};
  GetClassNameA(status, name, sizeof name);
  EXPECT_STREQ(name, "msctls_statusbar32");
  for (HWND view : {module_view, gui_view, static_cast<HWND>(engine->code_edit)})
    ExpectViewPlacement(main, view);

  HWND apply = GetDlgItem(main, 123);
  HWND revert = GetDlgItem(main, 124);
  ASSERT_NE(apply, nullptr);
  ASSERT_NE(revert, nullptr);
  char text[64] = {};
  GetWindowTextA(apply, text, sizeof text);
  EXPECT_STREQ(text, "Save and Apply");
  GetWindowTextA(revert, text, sizeof text);
  EXPECT_STREQ(text, "Revert");
  EXPECT_EQ(ChildRect(apply).left, 3);
  EXPECT_EQ(ChildRect(apply).top, 0);
  EXPECT_EQ(ChildRect(revert).left, 103);
  EXPECT_EQ(ChildRect(revert).right - ChildRect(revert).left, 100);
  EXPECT_EQ(ChildRect(revert).bottom - ChildRect(revert).top, 21);

  EXPECT_TRUE(Visible(module_view));
  EXPECT_FALSE(Visible(engine->code_edit));
  EXPECT_FALSE(Visible(apply));
  EXPECT_FALSE(Visible(gui_view));
  char script[256] = {};
  GetWindowTextA(static_cast<HWND>(engine->code_edit), script, sizeof script);
  EXPECT_EQ(std::string(script), engine->script_text);
  Screenshot(main, "editor-empty");
}

TEST_F(MainWindowTest, MenuCarriesEveryCommandWithTheUnbuiltTypesGreyed) {
  HMENU menu = GetMenu(Main());
  ASSERT_NE(menu, nullptr);
  ASSERT_EQ(GetMenuItemCount(menu), 5);
  EXPECT_EQ(MenuText(menu, 2), "&View");
  EXPECT_EQ(MenuText(menu, 3), "&Components");
  HMENU components = GetSubMenu(menu, 3);
  std::string submenus;
  for (int i = 0; i < GetMenuItemCount(components); ++i)
    if (GetSubMenu(components, i) != nullptr) submenus += MenuText(components, i) + ",";
  EXPECT_EQ(submenus, "Mathematics,Filter,Distortion,Delay,Values,Generators,");

  const int present[] = {40003, 40004, 40005, 40006, 40007, 40008, 40009, 40010, 40011, 40012, 40013,
                         40014, 40015, 40016, 40018, 40019, 40020, 40022, 40023, 40024, 40025, 40026,
                         40031, 40032, 40033, 40034, 40035, 40036, 40037, 40038, 40039, 40040, 40051,
                         40053, 40054, 40055, 40056, 40061, 40070, 40071, 40074, 40075, 40076, 40078,
                         40079, 40080};
  for (int id : present) {
    const UINT state = GetMenuState(menu, static_cast<UINT>(id), MF_BYCOMMAND);
    ASSERT_NE(state, static_cast<UINT>(-1)) << id;
    EXPECT_EQ(state & MF_GRAYED, 0u) << id;
  }
  const int greyed[] = {40050, 40077, 40067, 40068, 40066, 40065, 40042, 40043,
                        40044, 40052, 40027, 40045, 40046, 40047, 40069};
  for (int id : greyed)
    EXPECT_NE(GetMenuState(menu, static_cast<UINT>(id), MF_BYCOMMAND) & MF_GRAYED, 0u) << id;
}

TEST_F(MainWindowTest, OpeningAgainOnlyBringsTheWindowToTheTop) {
  HWND first = Main();
  OpenEditor(*engine);
  Pump();
  EXPECT_EQ(Main(), first);
  EXPECT_EQ(MainWindowCount(), 1);
}

TEST_F(MainWindowTest, ViewCommandsShowOnlyTheChosenViewAndTheTabStripOnlyInTheModuleView) {
  const COLORREF tab = ScreenPixel(Main(), 60, 14);
  EXPECT_NE(tab, RGB(0xDB, 0xDB, 0xDE));  // the active tab's bitmap

  Command(ID_CODE_VIEW);
  Pump();
  EXPECT_EQ(engine->current_view, View::kCode);
  EXPECT_TRUE(Visible(engine->code_edit));
  EXPECT_TRUE(Visible(engine->apply_button));
  EXPECT_TRUE(Visible(engine->revert_button));
  EXPECT_FALSE(Visible(engine->module_view));
  EXPECT_FALSE(Visible(engine->gui_view));

  Command(ID_GUI_VIEW);
  Pump();
  EXPECT_TRUE(Visible(engine->gui_view));
  EXPECT_FALSE(Visible(engine->code_edit));
  EXPECT_FALSE(Visible(engine->apply_button));
  EXPECT_FALSE(Visible(engine->module_view));
  EXPECT_EQ(ScreenPixel(Main(), 60, 14), RGB(0xDB, 0xDB, 0xDE));  // no tab strip
  EXPECT_EQ(ScreenPixel(static_cast<HWND>(engine->gui_view), 20, 20), RGB(0xEF, 0xEF, 0xF0));

  Command(ID_MODULE_VIEW);
  Pump();
  EXPECT_TRUE(Visible(engine->module_view));
  EXPECT_FALSE(Visible(engine->gui_view));
  EXPECT_FALSE(Visible(engine->code_edit));
  EXPECT_EQ(ScreenPixel(Main(), 60, 14), tab);
}

TEST_F(MainWindowTest, AfterAResizeTheViewsFollowAndTheButtonsStay) {
  SetWindowPos(Main(), nullptr, 0, 0, 640, 480, SWP_NOMOVE | SWP_NOZORDER);
  Pump();
  for (void* view : {engine->module_view, engine->code_edit, engine->gui_view})
    ExpectViewPlacement(Main(), static_cast<HWND>(view));
  EXPECT_EQ(ChildRect(static_cast<HWND>(engine->apply_button)).left, 3);
  EXPECT_EQ(ChildRect(static_cast<HWND>(engine->revert_button)).top, 0);
}

TEST_F(MainWindowTest, EachComponentCommandCreatesItsTypeAtTheNewComponentPosition) {
  const std::pair<int, int> commands[] = {
      {40070, 0},  {40071, 1},  {40034, 2},  {40004, 10}, {40005, 11}, {40006, 12}, {40007, 13},
      {40054, 14}, {40008, 15}, {40009, 16}, {40010, 17}, {40011, 18}, {40051, 19}, {40050, 20},
      {40012, 22}, {40026, 23}, {40013, 24}, {40032, 25}, {40033, 26}, {40014, 27}, {40016, 28},
      {40015, 29}, {40061, 30}, {40077, 31}, {40018, 80}, {40019, 81}, {40020, 82}, {40031, 83},
      {40022, 84}, {40023, 85}, {40076, 86}};
  int n = 0;
  for (const auto& [command, type] : commands) {
    if (!IsTypeAvailable(type)) continue;
    const int x = 10 + 7 * n, y = 20 + 5 * n;
    const int slot = Add(command, x, y);
    ASSERT_GE(slot, 0) << command;
    EXPECT_EQ(engine->descriptor[slot]->type, type) << command;
    EXPECT_EQ(engine->descriptor[slot]->x, x) << command;
    EXPECT_EQ(engine->descriptor[slot]->y, y) << command;
    ++n;
  }
  EXPECT_GE(n, 3);
  // Items of types that do not exist, and help, change nothing.
  const int slots = engine->slot_count;
  for (int command : {40074, 40075, 40053, 40067, 40042, 40025}) Command(command);
  EXPECT_EQ(engine->slot_count, slots);
  EXPECT_TRUE(ui.messages.empty());
  EXPECT_TRUE(ui.dialogs.empty());
}

TEST_F(MainWindowTest, NewModuleAsksAndClearsOnlyOnYes) {
  Add(ID_REPLICATOR, 40, 40);
  Add(ID_REPLICATOR, 200, 40);
  parameter_names[4][0] = 'x';
  Command(ID_NEW_MODULE);
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0].text, "Are you sure? This will clear the current module.");
  EXPECT_EQ(ui.messages[0].title, "New Module");
  EXPECT_EQ(ui.messages[0].style, kMbYesNo | kMbIconExclamation | kMbSystemModal);
  EXPECT_TRUE(engine->IsOccupied(1));  // answered No

  ui.answers.push_back(kIdYes);
  Command(ID_NEW_MODULE);
  EXPECT_FALSE(engine->IsOccupied(0));
  EXPECT_FALSE(engine->IsOccupied(1));
  EXPECT_EQ(parameter_names[4][0], '\0');
  EXPECT_EQ(engine->content_width, 1);
}

TEST_F(MainWindowTest, DeleteAsksOnlyForAnOccupiedSelectionAndDeletesOnYes) {
  const int a = Add(ID_REPLICATOR, 40, 40);
  Command(ID_DELETE_COMPONENT);  // nothing selected
  EXPECT_TRUE(ui.messages.empty());

  Mouse(WM_LBUTTONDOWN, 60, 45);
  Mouse(WM_LBUTTONUP, 60, 45);
  ASSERT_EQ(engine->selected_slot, a);
  Command(ID_DELETE_COMPONENT);
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0].text, "Are you sure? You are about to delete this component.");
  EXPECT_EQ(ui.messages[0].title, "Delete Component");
  EXPECT_TRUE(engine->IsOccupied(a));

  ui.answers.push_back(kIdYes);
  Command(ID_DELETE_COMPONENT);
  EXPECT_FALSE(engine->IsOccupied(a));
  Command(ID_DELETE_COMPONENT);  // the selected slot is empty now
  EXPECT_EQ(ui.messages.size(), 2u);
}

TEST_F(MainWindowTest, ClosingForgetsTheWindowsAndReopeningRestoresTheView) {
  Command(ID_CODE_VIEW);
  HWND old = Main();
  Command(ID_CLOSE_WINDOW);
  Pump();
  EXPECT_EQ(engine->main_window, nullptr);
  EXPECT_EQ(engine->module_view, nullptr);
  EXPECT_FALSE(IsWindow(old));

  OpenEditor(*engine);
  Pump();
  ASSERT_NE(Main(), nullptr);
  EXPECT_TRUE(Visible(engine->code_edit));
  EXPECT_FALSE(Visible(engine->module_view));

  SendMessageA(Main(), WM_CLOSE, 0, 0);
  EXPECT_EQ(engine->main_window, nullptr);
  EXPECT_EQ(MainWindowCount(), 0);
}

TEST_F(MainWindowTest, SaveAndLoadGoThroughTheFileDialogsAndRedrawTheModule) {
  char folder[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, folder);
  const std::string path = std::string(folder) + "editor-test.korvel";
  DeleteFileA(path.c_str());
  const int a = Add(ID_REPLICATOR, 40, 40);
  DragBox(a, 900, 40);
  ui.files.push_back(path);
  Command(ID_SAVE_MODULE);
  ASSERT_EQ(ui.file_requests.size(), 1u);
  EXPECT_TRUE(ui.file_requests[0].save);
  EXPECT_NE(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);

  ui.answers.push_back(kIdYes);
  Command(ID_NEW_MODULE);
  ASSERT_FALSE(engine->IsOccupied(a));
  EXPECT_EQ(engine->content_width, 1);

  ui.answers.push_back(kIdYes);
  ui.files.push_back(path);
  Command(ID_LOAD_MODULE);
  ASSERT_EQ(ui.file_requests.size(), 2u);
  EXPECT_FALSE(ui.file_requests[1].save);
  ASSERT_TRUE(engine->IsOccupied(a));
  EXPECT_EQ(engine->descriptor[a]->x, 900);
  EXPECT_EQ(engine->content_width, 900 + 80 + 50);  // the scroll range covers what was loaded
  DeleteFileA(path.c_str());
}

TEST_F(MainWindowTest, AboutOpensTheAboutBox) {
  std::string caption;
  ui.drivers.push_back([&](HWND dialog) {
    char text[128] = {};
    GetWindowTextA(dialog, text, sizeof text);
    caption = text;
    Screenshot(dialog, "dialog-about");
    SendMessageA(dialog, WM_COMMAND, IDOK, 0);
  });
  Command(ID_ABOUT);
  ASSERT_EQ(ui.dialogs.size(), 1u);
  EXPECT_EQ(ui.dialogs[0], IDD_ABOUT);
  EXPECT_EQ(caption, "About Vorlant Ferrant Effects");
  EXPECT_FALSE(ui.dialog_timed_out);

  ShowAbout(*engine);  // the plug-in's own menu; closed by the default driver
  EXPECT_EQ(ui.dialogs.size(), 2u);
  EXPECT_FALSE(ui.dialog_timed_out);
}

}  // namespace
}  // namespace korvel::testing

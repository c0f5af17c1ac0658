// The editor opened on a fresh engine, with a UI that keeps real windows,
// fonts and dialogs but answers message boxes and file dialogs itself, and
// helpers that drive the Module View with window messages.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "editor/editor.h"
#include "editor/win32_ui.h"
#include "engine/patch_engine.h"
#include "tests/support/test_ui.h"

namespace korvel::testing {

// Runs while a modal dialog of the editor is open, given its window; it
// must end the dialog (a guard ends it after a few seconds otherwise).
using DialogDriver = std::function<void(HWND dialog)>;

class EditorUi : public Win32Ui {
 public:
  EditorUi() { SetUi(this); }
  ~EditorUi() override { SetUi(&TheWin32Ui()); }

  int ShowMessage(void* owner, const char* text, const char* title, unsigned style) override;
  bool ChooseFile(const FileDialogRequest& request, std::string& path) override;
  std::intptr_t RunDialog(void* owner, int template_id) override;

  std::vector<ShownMessage> messages;
  std::deque<int> answers;  // replies to message boxes; default No or OK
  std::deque<std::string> files;
  std::vector<FileDialogRequest> file_requests;
  std::vector<int> dialogs;             // templates opened, in order
  std::deque<DialogDriver> drivers;     // one per dialog; none: the close box
  bool dialog_timed_out = false;
};

class EditorTest : public ::testing::Test {
 protected:
  EditorTest();
  ~EditorTest() override;
  void SetUp() override;

  HWND Main() const { return static_cast<HWND>(engine->main_window); }
  HWND View() const { return static_cast<HWND>(engine->module_view); }
  void Command(int id) { SendMessageA(Main(), WM_COMMAND, static_cast<WPARAM>(id), 0); }

  // Mouse messages to the Module View at a point in module coordinates.
  void Mouse(UINT message, int x, int y);
  // A component of `type` with its corner at (x, y), through the menu.
  int Add(int command, int x, int y);
  // Button down on output k of `from`, moves, button up on input j of `to`.
  void DragWire(int from, int k, int to, int j);
  void DragBox(int slot, int to_x, int to_y);
  // Handles every queued message, then paints what is invalid.
  void Pump();

  EditorUi ui;
  char parameter_names[kNamedParameterCount][kParameterNameSize] = {};
  std::unique_ptr<PatchEngine> engine;
};

// Runs `action` (which opens a pop-up menu) and answers the menu that
// opened, after closing it; null when none did. `where` gets its screen
// rectangle.
HMENU OpenedPopup(const std::function<void()>& action, RECT* where = nullptr);

// The window's client rectangle in its parent's client coordinates.
RECT ChildRect(HWND child);
// Text of a status bar part, as UTF-8.
std::string StatusText(HWND status_bar);

// Set before the first window of the process: see the definition.
void LeaveWindowsUnmanaged();

// Saves what the window shows on screen as build/<preset>/screenshots/<name>.png.
void Screenshot(HWND window, const char* name);
// Colour at a client point of the window, as drawn on screen.
COLORREF ScreenPixel(HWND window, int x, int y);

}  // namespace korvel::testing

// The editor opened on a fresh engine, with a UI that keeps real windows,
// fonts and dialogs but answers message boxes itself, and
// helpers that drive the Module View with window messages.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <deque>
#include <functional>
#include <string>
#include <memory>
#include <vector>

#include "editor/editor.h"
#include "editor/win32_ui.h"
#include "engine/patch_engine.h"
#include "resources/resource.h"
#include "tests/support/test_ui.h"

namespace korvel::testing {

class EditorUi : public Win32Ui {
 public:
  EditorUi() { SetUi(this); }
  ~EditorUi() override { SetUi(&TheWin32Ui()); }
  int ShowMessage(void* owner, const char* text, const char* title, unsigned style) override;
  std::intptr_t RunDialog(void* owner, int template_id) override;
  // Answers from `files` ("" or none cancels), never opening the dialog.
  bool ChooseFile(const FileDialogRequest& request, std::string& path) override;

  std::vector<ShownMessage> messages;
  std::deque<std::string> files;
  std::deque<int> answers;  // replies to message boxes; default No or OK
  std::vector<int> dialogs;  // templates opened, in order
  // One per dialog, run once it has painted; whatever they leave open,
  // and dialogs without one, are then cancelled.
  std::deque<std::function<void(HWND dialog)>> drivers;
};

class EditorTest : public ::testing::Test {
 protected:
  EditorTest();
  ~EditorTest() override;
  void SetUp() override;

  HWND Main() const { return static_cast<HWND>(engine->Editor().main_window); }
  HWND View() const { return static_cast<HWND>(engine->Editor().module_view); }
  const ComponentDescriptor& D(int slot) const { return *engine->Descriptor(slot); }
  void Command(int id) { SendMessageA(Main(), WM_COMMAND, static_cast<WPARAM>(id), 0); }
  // Mouse messages to the Module View at points in module coordinates.
  void Mouse(UINT message, int x, int y);
  void Click(int x, int y, UINT down = WM_LBUTTONDOWN, UINT up = WM_LBUTTONUP) {
    Mouse(down, x, y);
    Mouse(up, x, y);
  }
  void Drag(int x0, int y0, int x1, int y1);  // down, two moves, up
  // From output k of `from` to input j of `to`.
  void DragWire(int from, int k, int to, int j) {
    Drag(D(from).x + 74, D(from).y + 8 * k + 6, D(to).x + 6, D(to).y + 8 * j + 6);
  }
  void DragBox(int slot, int x, int y) { Drag(D(slot).x + 30, D(slot).y + 3, x + 30, y + 3); }
  // A component through the menu with its corner at (x, y); its slot.
  int Add(int command, int x, int y);
  // Components {command, x, y}, then wires {from, output, to, input}
  // between them by index; returns their slots.
  std::vector<int> Build(std::initializer_list<std::array<int, 3>> parts,
                         std::initializer_list<std::array<int, 4>> wires);
  // Handles every queued message, then paints what is invalid.
  void Pump();

  EditorUi ui;
  char parameter_names[kNamedParameterCount][kParameterNameSize] = {};
  std::unique_ptr<PatchEngine> engine;
};

// Runs `action` (which opens a pop-up menu), closes the menu that opened
// and answers it, or null; `where` gets its screen rectangle.
HMENU OpenedPopup(const std::function<void()>& action, RECT* where = nullptr);
// Saves what the window shows as build/<preset>/screenshots/<name>.bmp.
void Screenshot(HWND window, const char* name);

}  // namespace korvel::testing

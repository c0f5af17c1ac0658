// The Edit menu: undo and redo, the clipboard and the selection, over the
// editor core. The clipboard carries the selection as module-file text
// (CF_UNICODETEXT), so it can be pasted into a text editor and back.
#include <windows.h>

#include <map>
#include <memory>
#include <string>

#include "editor/editor_internal.h"
#include "editor/editor_texts.h"
#include "editor/utf8.h"
#include "engine/ui.h"
#include "resources/resource.h"

namespace korvel::editor {
namespace {

// [window thread] One core per open editor.
std::map<PatchEngine*, std::unique_ptr<editor_core::EditorCore>>& Cores() {
  static std::map<PatchEngine*, std::unique_ptr<editor_core::EditorCore>> cores;
  return cores;
}

bool PutOnClipboard(HWND owner, const std::string& text) {
  const std::wstring wide = Wide(text);
  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, (wide.size() + 1) * sizeof(wchar_t));
  if (memory == nullptr) return false;
  auto* out = static_cast<wchar_t*>(GlobalLock(memory));
  std::copy(wide.c_str(), wide.c_str() + wide.size() + 1, out);
  GlobalUnlock(memory);
  if (!OpenClipboard(owner)) {
    GlobalFree(memory);
    return false;
  }
  EmptyClipboard();
  const bool put = SetClipboardData(CF_UNICODETEXT, memory) != nullptr;
  CloseClipboard();
  if (!put) GlobalFree(memory);
  return put;
}

std::string FromClipboard(HWND owner) {
  std::string text;
  if (!OpenClipboard(owner)) return text;
  if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
    if (const auto* wide = static_cast<const wchar_t*>(GlobalLock(data))) {
      text = Utf8(wide);
      GlobalUnlock(data);
    }
  }
  CloseClipboard();
  return text;
}

void Tell(PatchEngine& engine, const std::string& text, const char* title) {
  Ui().ShowMessage(engine.Editor().main_window, text.c_str(), title, kMbOk | kMbIconExclamation);
}

// After a step: what the module holds may have grown, the Code View may
// hold another script, and every view shows it.
void Refresh(PatchEngine& engine) {
  HWND main = AsWindow(engine.Editor().main_window);
  if (main != nullptr) SendMessageA(main, kEngineChangedMessage, 0, 0);
}

}  // namespace

editor_core::EditorCore& CoreOf(PatchEngine& engine) {
  auto& core = Cores()[&engine];
  if (!core) core = std::make_unique<editor_core::EditorCore>(engine);
  return *core;
}

void ForgetCore(PatchEngine& engine) { Cores().erase(&engine); }

void BeginStepOf(PatchEngine& engine, const char* name) { CoreOf(engine).BeginStep(name); }

bool EndStepOf(const PatchEngine* engine, HWND main) {
  // A closed module takes its editor window and its core with it; only a
  // live engine still showing that window ends the step.
  if (main == nullptr || FindEngine(main) != engine) return false;
  const auto core = Cores().find(const_cast<PatchEngine*>(engine));
  return core != Cores().end() && core->second->InStep() && core->second->EndStep();
}

bool OnEditCommand(PatchEngine& engine, int command) {
  editor_core::EditorCore& core = CoreOf(engine);
  HWND main = AsWindow(engine.Editor().main_window);
  std::string error;
  switch (command) {
    case ID_UNDO:
      if (!core.Undo(error) && !error.empty()) Tell(engine, error, editor_text::kUndoTitle);
      break;
    case ID_REDO:
      if (!core.Redo(error) && !error.empty()) Tell(engine, error, editor_text::kUndoTitle);
      break;
    case ID_COPY:
      if (!core.Selection().empty()) PutOnClipboard(main, core.Copy());
      break;
    case ID_CUT:
      if (!core.Selection().empty() && PutOnClipboard(main, core.Copy())) core.Cut();
      break;
    case ID_PASTE:
      if (!core.Paste(FromClipboard(main), error)) Tell(engine, error, editor_text::kPasteTitle);
      break;
    case ID_DUPLICATE:
      if (!core.Selection().empty() && !core.Duplicate(error)) Tell(engine, error, editor_text::kPasteTitle);
      break;
    case ID_SELECT_ALL:
      core.SelectAll();
      break;
    default:
      return false;
  }
  Refresh(engine);
  return true;
}

bool OnEditKey(PatchEngine& engine, WPARAM key) {
  if ((GetKeyState(VK_CONTROL) & 0x8000) == 0) return false;
  const bool shift = (GetKeyState(VK_SHIFT) & 0x8000) != 0;
  switch (key) {
    case 'Z': return OnEditCommand(engine, shift ? ID_REDO : ID_UNDO);
    case 'Y': return OnEditCommand(engine, ID_REDO);
    case 'X': return OnEditCommand(engine, ID_CUT);
    case 'C': return OnEditCommand(engine, ID_COPY);
    case 'V': return OnEditCommand(engine, ID_PASTE);
    case 'D': return OnEditCommand(engine, ID_DUPLICATE);
    case 'A': return OnEditCommand(engine, ID_SELECT_ALL);
    default: return false;
  }
}

void UpdateEditMenu(PatchEngine& engine, HMENU menu) {
  editor_core::EditorCore& core = CoreOf(engine);
  const auto name = [](const char* verb, const std::string& step, const char* keys) {
    return std::string(verb) + (step.empty() ? "" : " " + step) + keys;
  };
  ModifyMenuW(menu, ID_UNDO, MF_BYCOMMAND | MF_STRING | (core.CanUndo() ? MF_ENABLED : MF_GRAYED), ID_UNDO,
              Wide(name(editor_text::kUndoItem, core.UndoName(), editor_text::kUndoKeys)).c_str());
  ModifyMenuW(menu, ID_REDO, MF_BYCOMMAND | MF_STRING | (core.CanRedo() ? MF_ENABLED : MF_GRAYED), ID_REDO,
              Wide(name(editor_text::kRedoItem, core.RedoName(), editor_text::kRedoKeys)).c_str());
  const UINT with_selection = core.Selection().empty() ? MF_GRAYED : MF_ENABLED;
  for (const UINT item : {ID_CUT, ID_COPY, ID_DUPLICATE}) EnableMenuItem(menu, item, MF_BYCOMMAND | with_selection);
  EnableMenuItem(menu, ID_PASTE,
                 MF_BYCOMMAND | (IsClipboardFormatAvailable(CF_UNICODETEXT) ? MF_ENABLED : MF_GRAYED));
}

}  // namespace korvel::editor

// What the editor's source files share. Windows only.
#pragma once

#include <windows.h>

#include <string>

#include "engine/patch_engine.h"

#include "editor/core/editor_core.h"
#include "editor/core/port_text.h"

namespace korvel::editor {

// Process-wide state: the library's instance, the tab-strip bitmaps and
// the menus every editor window shares.
struct EditorGlobals {
  HINSTANCE instance = nullptr;
  HBITMAP bitmaps[10] = {};       // resources 111..120
  HBRUSH view_brush = nullptr;     // the views' class background
  HMENU module_menu = nullptr;     // resource 102, source of "&New Component"
  HMENU component_popup = nullptr;
  HMENU view_popup = nullptr;
  PatchEngine* dialog_engine = nullptr;  // read by the dialog procedures
};
EditorGlobals& Globals();
HBITMAP TabBitmap(int resource_id);
inline constexpr COLORREF kViewBackground = 0xF0EFEF;

// Main window.
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
void ShowView(PatchEngine& engine);
void UpdateScrollRanges(PatchEngine& engine);
void SetStatusText(PatchEngine& engine, const std::string& text);
// What the status bar says when nothing else is to be said: a refused
// restore, or the sound files that could not be loaded.
std::string ProblemLine(const PatchEngine& engine);
// Posted by the UI seam when the engine changed under an open editor.
inline constexpr UINT kEngineChangedMessage = WM_APP + 1;
// Brings the open editor in step with the engine after a load, a restore
// or a new module: the Code View's text, the content extent and scroll
// ranges, the tab, and a kept problem in the status bar.
void CatchUp(PatchEngine& engine);
// After an edit made in a dialog (a label, the module's name): the tab,
// the boxes and the status bar show it at once.
void RefreshAfterEdit(PatchEngine& engine);
// The status bar for the pointer's last place in the Module View.
void RefreshStatus(PatchEngine& engine);

// Module View.
LRESULT CALLBACK ModuleViewProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
// The text the status bar shows for the pointer at module point (x, y).
std::string StatusTextAt(const PatchEngine& engine, int x, int y);
// The line of an info text that describes a port (editor/core/port_text.h).
using editor_core::PortLine;

// Code View and GUI View.
LRESULT CALLBACK GuiViewProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
void ApplyCodeView(PatchEngine& engine);
void RevertCodeView(PatchEngine& engine);

// Dialogs: the procedure of each template, and the commands that open them.
DLGPROC DialogProcedureFor(int template_id);
// Every editor dialog runs inside this frame, given its own procedure as
// the creation parameter: it binds the dialog to the session of the
// command that opened it and centres it on the editor's main window.
INT_PTR CALLBACK DialogFrame(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
// Runs dialog `template_id` for `engine` (and component `slot`, for a
// settings dialog). False when the engine was torn down while the dialog
// was open: the caller must not touch it then.
bool RunDialog(PatchEngine& engine, int template_id, int slot = -1);
// The engine the dialog was opened for; null once it is torn down.
PatchEngine* DialogEngine(HWND dialog);
// The settings dialog's component; -1 when it is gone or the module was
// replaced under the dialog (a restore, a load), so an edit cannot land
// on whatever now holds the slot.
int SettingsSlot(HWND dialog);
// Ends the open dialogs of `engine`: all of them and for good when it is
// torn down (`gone`), otherwise the settings dialogs of a module replaced
// under them.
void EndDialogsOf(const PatchEngine& engine, bool gone);
// Sampler Settings (editor/sampler_dialog.cpp).
INT_PTR CALLBACK SamplerSettingsProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
void OpenSettingsDialog(PatchEngine& engine);
void OpenComponentInfo(PatchEngine& engine);
void OpenModuleInformation(PatchEngine& engine);
void OpenParameterProperties(PatchEngine& engine);
// Translation Table Settings (editor/table_dialog.cpp).
INT_PTR CALLBACK TableSettingsProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);

// The Edit menu and its keys (editor/edit_commands.cpp), over the editor
// core of the open window. The core lives as long as the editor's main
// window: the history starts when the editor opens.
editor_core::EditorCore& CoreOf(PatchEngine& engine);
void ForgetCore(PatchEngine& engine);
// True when `command` was one of the Edit menu's own.
bool OnEditCommand(PatchEngine& engine, int command);
// Ctrl+Z, Ctrl+Y, Ctrl+Shift+Z, Ctrl+X, C, V, D and A; true when taken.
bool OnEditKey(PatchEngine& engine, WPARAM key);
// Names the steps Undo and Redo would take, and greys what cannot run.
void UpdateEditMenu(PatchEngine& engine, HMENU menu);
// A dialog or a command run as one undo step.
template <class Edit>
bool AsOneStep(PatchEngine& engine, const char* name, Edit&& edit);

inline HWND AsWindow(void* handle) { return static_cast<HWND>(handle); }

// The two ends of AsOneStep. The end touches nothing when the module was
// closed meanwhile (the host's teardown ends a dialog that is open).
void BeginStepOf(PatchEngine& engine, const char* name);
bool EndStepOf(const PatchEngine* engine, HWND main);
template <class Edit>
bool AsOneStep(PatchEngine& engine, const char* name, Edit&& edit) {
  HWND main = AsWindow(engine.Editor().main_window);
  BeginStepOf(engine, name);
  const bool done = edit();
  return EndStepOf(&engine, main) && done;
}

}  // namespace korvel::editor

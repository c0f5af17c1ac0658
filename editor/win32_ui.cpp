#include "editor/win32_ui.h"

#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>

#include <cstring>

#include "editor/editor.h"
#include "editor/editor_internal.h"
#include "editor/utf8.h"
#include "resources/resource.h"

namespace korvel {

int Win32Ui::ShowMessage(void* owner, const char* text, const char* title, unsigned style) {
  return MessageBoxW(editor::AsWindow(owner), editor::Wide(text).c_str(), editor::Wide(title).c_str(), style);
}

bool Win32Ui::ChooseFile(const FileDialogRequest& request, std::string& path) {
  // The filter is "name\0pattern\0\0".
  std::string filter = request.filter_name;
  filter += '\0';
  filter += request.filter_pattern;
  filter += '\0';
  char file[255] = {};
  std::strncpy(file, request.initial_name, sizeof file - 1);
  OPENFILENAMEA dialog = {};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = editor::AsWindow(request.owner);
  dialog.lpstrFilter = filter.c_str();
  dialog.nFilterIndex = 1;
  dialog.lpstrFile = file;
  dialog.nMaxFile = sizeof file;
  dialog.lpstrTitle = request.title;
  dialog.lpstrDefExt = request.default_extension;
  dialog.Flags = request.save ? OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST
                              : OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
  const BOOL chosen = request.save ? GetSaveFileNameA(&dialog) : GetOpenFileNameA(&dialog);
  if (!chosen) return false;
  path = file;
  return true;
}

void* Win32Ui::MakeFont(const FontRequest& request) {
  return CreateFontA(request.height, 0, 0, 0, request.weight, FALSE, FALSE, FALSE, 1, 0, 0,
                     static_cast<DWORD>(request.quality), 1, request.face);
}

void Win32Ui::ReleaseFont(void* font) {
  if (font != nullptr) DeleteObject(static_cast<HFONT>(font));
}

void Win32Ui::Repaint(void* window) {
  if (window != nullptr) InvalidateRect(editor::AsWindow(window), nullptr, FALSE);
}

void Win32Ui::DestroyEditorWindow(void* window) {
  if (window != nullptr) DestroyWindow(editor::AsWindow(window));
}

void* Win32Ui::ForegroundWindow() { return GetForegroundWindow(); }

std::intptr_t Win32Ui::RunDialog(void* owner, int template_id) {
  // A Unicode dialog, so its edits hold any text; its own procedure runs
  // inside the frame every editor dialog shares.
  return DialogBoxParamW(editor::Globals().instance, MAKEINTRESOURCEW(template_id), editor::AsWindow(owner),
                         editor::DialogFrame,
                         reinterpret_cast<LPARAM>(editor::DialogProcedureFor(template_id)));
}

// Posted, never sent: the caller may be a host thread, or hold nothing the
// window thread would wait for.
void Win32Ui::EngineChanged(void* main_window) {
  if (main_window != nullptr) PostMessageA(editor::AsWindow(main_window), editor::kEngineChangedMessage, 0, 0);
}

void Win32Ui::EngineClosing(void* engine) { editor::EndDialogsOf(*static_cast<PatchEngine*>(engine), true); }

Win32Ui& TheWin32Ui() {
  static Win32Ui ui;
  return ui;
}

void EditorAttach(void* instance) {
  auto& globals = editor::Globals();
  globals.instance = static_cast<HINSTANCE>(instance);
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_BAR_CLASSES};
  InitCommonControlsEx(&controls);
  for (int i = 0; i < IDB_COUNT; ++i)
    globals.bitmaps[i] = LoadBitmapA(globals.instance, MAKEINTRESOURCEA(IDB_FIRST + i));
  globals.view_brush = CreateSolidBrush(editor::kViewBackground);
  SetUi(&TheWin32Ui());
}

void EditorDetach() {
  auto& globals = editor::Globals();
  if (globals.view_popup != nullptr) {
    // "&New Component" belongs to the module menu: detach it first so it
    // is destroyed once.
    RemoveMenu(globals.view_popup, 0, MF_BYPOSITION);
    DestroyMenu(globals.view_popup);
  }
  if (globals.component_popup != nullptr) DestroyMenu(globals.component_popup);
  if (globals.module_menu != nullptr) DestroyMenu(globals.module_menu);
  for (HBITMAP& bitmap : globals.bitmaps) {
    if (bitmap != nullptr) DeleteObject(bitmap);
    bitmap = nullptr;
  }
  globals.view_popup = globals.component_popup = globals.module_menu = nullptr;
  if (globals.view_brush != nullptr) DeleteObject(globals.view_brush);
  globals.view_brush = nullptr;
  globals.dialog_engine = nullptr;
  if (&Ui() == &TheWin32Ui()) SetUi(nullptr);
}

}  // namespace korvel

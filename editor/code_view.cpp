// The Code View's two buttons and the GUI View's empty panel.
#include <windows.h>

#include <string>
#include <vector>

#include "editor/editor_internal.h"
#include "editor/editor_texts.h"
#include "editor/utf8.h"
#include "engine/ui.h"
#include "script/script_engine.h"

namespace korvel::editor {
namespace {

// The message box cuts its text at whole messages below this length.
constexpr std::size_t kMessageTextLimit = 4090;

void PaintBackground(HWND view) {
  HBRUSH background = CreateSolidBrush(kViewBackground);
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(view, &paint);
  RECT client;
  GetClientRect(view, &client);
  HDC memory = CreateCompatibleDC(dc);
  HBITMAP bitmap = CreateCompatibleBitmap(dc, client.right > 0 ? client.right : 1,
                                          client.bottom > 0 ? client.bottom : 1);
  HGDIOBJ old_bitmap = SelectObject(memory, bitmap);
  FillRect(memory, &client, background);
  BitBlt(dc, 0, 0, client.right, client.bottom, memory, 0, 0, SRCCOPY);
  SelectObject(memory, old_bitmap);
  DeleteObject(bitmap);
  DeleteDC(memory);
  DeleteObject(background);
  EndPaint(view, &paint);
}

}  // namespace

void ApplyCodeView(PatchEngine& engine) {
  HWND edit = AsWindow(engine.Editor().code_edit);
  if (edit == nullptr) return;
  engine.ApplyScript(WindowText(edit).c_str());
  if (!engine.Script() || engine.Script()->Messages().empty()) return;
  std::string shown;
  for (const std::string& message : engine.Script()->Messages()) {
    if (shown.size() + message.size() >= kMessageTextLimit) break;
    shown += message;
  }
  Ui().ShowMessage(engine.Editor().main_window, shown.c_str(), editor_text::kErrorsTitle, kMbOk);
}

void RevertCodeView(PatchEngine& engine) {
  if (engine.Editor().code_edit != nullptr) PutWindowText(AsWindow(engine.Editor().code_edit), engine.ScriptText());
}

LRESULT CALLBACK GuiViewProc(HWND view, UINT message, WPARAM wparam, LPARAM lparam) {
  if (FindEngine(GetParent(view)) == nullptr) return DefWindowProcA(view, message, wparam, lparam);
  switch (message) {
    case WM_CREATE:
      return 0;
    case WM_SIZE:
      if (wparam != SIZE_MINIMIZED) InvalidateRect(view, nullptr, FALSE);
      return 0;
    case WM_PAINT:
      PaintBackground(view);
      return 0;
    case WM_KEYDOWN:
    case WM_KEYUP:
    case WM_CHAR:
    case WM_COMMAND:
      return SendMessageA(GetParent(view), message, wparam, lparam);
    case WM_HSCROLL:
    case WM_VSCROLL:
      return 1;
    default:
      return DefWindowProcA(view, message, wparam, lparam);
  }
}

}  // namespace korvel::editor

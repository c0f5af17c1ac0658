// Translation Table Settings: the label, the points as text (one "x y" pair
// per line) and the interpolation. The points are checked by the same
// reader the tests use; a mistake is shown with its line number and that
// line is selected, the dialog staying open. The table changes through the
// engine's settings hooks, as a loaded module's would.
#include <windows.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "components/tables.h"
#include "editor/editor_internal.h"
#include "editor/utf8.h"
#include "editor/editor_texts.h"
#include "engine/ui.h"
#include "resources/resource.h"

namespace korvel::editor {
namespace {

constexpr int kPointsTextLimit = 1 << 20;  // 4096 lines of two long numbers fit easily

std::string ControlText(HWND dialog, int control) {
  HWND edit = GetDlgItem(dialog, control);
  std::string text(static_cast<std::size_t>(GetWindowTextLengthA(edit)) + 1, '\0');
  text.resize(static_cast<std::size_t>(GetWindowTextA(edit, text.data(), static_cast<int>(text.size()))));
  return text;
}

// The number at the start of "line N: ...".
int LineOf(const std::string& error) {
  return error.rfind("line ", 0) == 0 ? std::atoi(error.c_str() + 5) : 0;
}

void Fill(HWND dialog, PatchEngine& engine, int slot) {
  SendDlgItemMessageA(dialog, IDC_LABEL, EM_LIMITTEXT, kLabelSize - 1, 0);
  PutDialogItemText(dialog, IDC_LABEL, engine.Descriptor(slot)->label);
  const auto& table = *static_cast<const TableRecord*>(engine.Record(slot));
  SendDlgItemMessageA(dialog, IDC_TABLE_POINTS, EM_LIMITTEXT, kPointsTextLimit, 0);
  SetDlgItemTextA(dialog, IDC_TABLE_POINTS, TableText(table).c_str());
  HWND choice = GetDlgItem(dialog, IDC_TABLE_INTERPOLATION);
  for (const char* name : kInterpolationNames) SendMessageA(choice, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
  SendMessageA(choice, CB_SETCURSEL, static_cast<WPARAM>(table.interpolation), 0);
}

// False, with the reason shown and its line selected, when the points are
// refused.
bool Store(HWND dialog, PatchEngine& engine, int slot) {
  std::vector<TablePoint> points;
  std::string error;
  if (ParseTableText(ControlText(dialog, IDC_TABLE_POINTS), points, error)) {
    nlohmann::json table = nlohmann::json::array();
    for (const TablePoint& p : points) table.push_back({p.x, p.y});
    const LRESULT chosen = SendDlgItemMessageA(dialog, IDC_TABLE_INTERPOLATION, CB_GETCURSEL, 0, 0);
    nlohmann::json settings = {{"table", std::move(table)}};
    if (chosen >= 0 && chosen < 3) settings["interpolation"] = kInterpolationNames[chosen];
    if (engine.SetSettings(slot, settings, error)) {
      engine.SetLabel(slot, CutUtf8(DialogItemText(dialog, IDC_LABEL), kLabelSize - 1).c_str());
      return true;
    }
  }
  Ui().ShowMessage(dialog, error.c_str(), editor_text::kTableSettingsTitle, kMbOk | kMbIconExclamation);
  HWND edit = GetDlgItem(dialog, IDC_TABLE_POINTS);
  if (const int line = LineOf(error); line > 0) {
    const LRESULT start = SendMessageA(edit, EM_LINEINDEX, static_cast<WPARAM>(line - 1), 0);
    const LRESULT length = SendMessageA(edit, EM_LINELENGTH, static_cast<WPARAM>(start), 0);
    SendMessageA(edit, EM_SETSEL, static_cast<WPARAM>(start), start + length);
    SendMessageA(edit, EM_SCROLLCARET, 0, 0);
  }
  SetFocus(edit);
  return false;
}

}  // namespace

INT_PTR CALLBACK TableSettingsProc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  PatchEngine* engine = DialogEngine(dialog);
  const int slot = SettingsSlot(dialog);
  const bool usable = engine != nullptr && engine->IsOccupied(slot) &&
                      engine->Descriptor(slot)->type == kTranslationTableType;
  switch (message) {
    case WM_INITDIALOG:
      if (usable) Fill(dialog, *engine, slot);
      return TRUE;
    case WM_SHOWWINDOW:
      return TRUE;
    case WM_CLOSE:
      EndDialog(dialog, IDCANCEL);
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wparam) == IDOK) {
        if (!usable || Store(dialog, *engine, slot)) EndDialog(dialog, IDOK);
        return TRUE;
      }
      if (LOWORD(wparam) == IDCANCEL) {
        EndDialog(dialog, IDCANCEL);
        return TRUE;
      }
      return FALSE;  // "&Help" among them
    default:
      return FALSE;
  }
}

}  // namespace korvel::editor

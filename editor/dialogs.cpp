// The modal dialogs: About, Ensemble Information, Component Info, the
// component settings and the parameter properties. Each reads the engine
// its command opened it for, through the dialog's session, which the
// engine's teardown empties and a restore makes stale.
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "components/biquad_filters.h"
#include "components/delays.h"
#include "components/filter_reset.h"
#include "components/iir_fir_filters.h"
#include "components/moog_state_filters.h"
#include "components/tables.h"
#include "components/sampler.h"
#include "components/value_sources.h"
#include "editor/editor_internal.h"
#include "editor/editor_texts.h"
#include "editor/utf8.h"
#include "engine/delay_lengths.h"
#include "engine/oversampling.h"
#include "engine/ui.h"
#include "resources/resource.h"

namespace korvel::editor {
namespace {

// What each open modal dialog works on. A session lives on the stack of
// the command that opened the dialog; only the window thread touches them.
struct DialogSession {
  PatchEngine* engine;  // null once the engine is torn down
  int slot;             // the settings dialog's component, or -1
  const ComponentDescriptor* descriptor;  // that component, as opened
  std::uint32_t layout_serial;            // the engine's, as opened
  HWND dialog;                            // null until the dialog starts
};
std::vector<DialogSession*> g_sessions;

DialogSession* SessionOf(HWND dialog) {
  for (DialogSession* session : g_sessions)
    if (session->dialog == dialog) return session;
  return nullptr;
}


int SettingsTemplateFor(int type) {
  if (type == kConstantType) return IDD_CONSTANT_SETTINGS;
  if (type == kSliderType) return IDD_SLIDER_SETTINGS;
  if (type == kSamplerType) return IDD_SAMPLER_SETTINGS;
  if (IsFilterType(type)) return IDD_FILTER_SETTINGS;
  if (type >= kDelaySetType && type <= kDelayTapType) return IDD_DELAY_SETTINGS;
  if (type == kTranslationTableType) return IDD_TABLE_SETTINGS;
  return IDD_COMPONENT_SETTINGS;
}

int ParameterKindControl(int index) {
  return index < 20 ? IDC_PARAMETER_KIND_FIRST + index : IDC_PARAMETER_KIND_LATE_FIRST + index - 20;
}

// What the control holds, cut to the engine's field of `capacity` bytes
// with its NUL.
std::string DialogText(HWND dialog, int control, std::size_t capacity) {
  return CutUtf8(DialogItemText(dialog, control), capacity - 1);
}

// The shortest text that reads back as the same double.
std::string FormatValue(double value) {
  char text[64];
  for (int precision = 15; precision <= 17; ++precision) {
    std::snprintf(text, sizeof text, "%.*g", precision, value);
    if (std::strtod(text, nullptr) == value) break;
  }
  return text;
}

// A finite number and nothing else but blanks around it.
bool ParseValue(const std::string& text, double& value) {
  const char* start = text.c_str();
  char* end = nullptr;
  value = std::strtod(start, &end);
  if (end == start) return false;
  while (*end == ' ' || *end == '\t') ++end;
  return *end == '\0' && std::isfinite(value);
}

// The close box and OK end the simple dialogs with 1.
INT_PTR CloseOn(HWND dialog, UINT message, WPARAM wparam, std::initializer_list<int> commands) {
  if (message == WM_CLOSE) {
    EndDialog(dialog, 1);
    return TRUE;
  }
  if (message == WM_COMMAND) {
    for (int command : commands) {
      if (LOWORD(wparam) == command) {
        EndDialog(dialog, 1);
        return TRUE;
      }
    }
  }
  return FALSE;
}

INT_PTR CALLBACK AboutProc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  if (message == WM_INITDIALOG || message == WM_SHOWWINDOW) return TRUE;
  return CloseOn(dialog, message, wparam, {IDOK});
}

INT_PTR CALLBACK ComponentInfoProc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  if (message == WM_INITDIALOG) {
    const PatchEngine* engine = DialogEngine(dialog);
    const int slot = engine != nullptr ? engine->Editor().selected_slot : -1;
    if (slot >= 0 && slot < kSlotCount && engine->Dispatch(slot) != nullptr) {
      std::string text = engine->ComponentInfo(slot);
      // A delay that does not fit the line says so under its description.
      for (const DelayLengthProblem& problem : DelayLengthProblems(*engine))
        if (problem.slot == slot) text += "\r\n\r\nNote: " + problem.text + ".";
      PutDialogItemText(dialog, IDC_COMPONENT_INFO_TEXT, text);
    }
    return TRUE;
  }
  if (message == WM_SHOWWINDOW) return TRUE;
  return CloseOn(dialog, message, wparam, {IDOK});
}

INT_PTR CALLBACK EnsembleInfoProc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  PatchEngine* engine = DialogEngine(dialog);
  if (message == WM_INITDIALOG) {
    if (engine != nullptr) {
      PutDialogItemText(dialog, IDC_ENSEMBLE_NAME, engine->ModuleName());
      PutDialogItemText(dialog, IDC_ENSEMBLE_AUTHOR, engine->ModuleAuthor());
      PutDialogItemText(dialog, IDC_ENSEMBLE_DESCRIPTION, engine->ModuleDescription());
      HWND list = GetDlgItem(dialog, IDC_OVERSAMPLING);
      int chosen = 0;
      for (int i = 0; i < static_cast<int>(std::size(kOversamplingFactors)); ++i) {
        const int factor = kOversamplingFactors[i];
        char entry[64];
        std::snprintf(entry, sizeof entry, editor_text::kOversamplingEntry, factor, OversamplingLatency(factor));
        SendMessageA(list, CB_ADDSTRING, 0,
                     reinterpret_cast<LPARAM>(factor == 1 ? editor_text::kOversamplingNone : entry));
        if (factor == engine->Oversampling()) chosen = i;
      }
      SendMessageA(list, CB_SETCURSEL, static_cast<WPARAM>(chosen), 0);
    }
    return TRUE;
  }
  if (message == WM_SHOWWINDOW) return TRUE;
  if (message == WM_COMMAND && LOWORD(wparam) == IDOK && engine != nullptr) {
    engine->SetModuleTexts(DialogText(dialog, IDC_ENSEMBLE_NAME, kModuleNameSize).c_str(),
                           DialogText(dialog, IDC_ENSEMBLE_AUTHOR, kModuleAuthorSize).c_str(),
                           DialogText(dialog, IDC_ENSEMBLE_DESCRIPTION, kModuleDescriptionSize).c_str());
    const LRESULT choice = SendDlgItemMessageA(dialog, IDC_OVERSAMPLING, CB_GETCURSEL, 0, 0);
    if (choice >= 0 && choice < static_cast<LRESULT>(std::size(kOversamplingFactors)) &&
        !engine->SetOversampling(kOversamplingFactors[choice]))
      Ui().ShowMessage(dialog, editor_text::kOversamplingNoMemory, editor_text::kOversamplingTitle,
                       kMbOk | kMbIconExclamation);
  }
  return CloseOn(dialog, message, wparam, {IDOK, IDCANCEL});
}

// "3: Cutoff", or "3" for a parameter with no name.
std::string ParameterEntry(const PatchEngine& engine, int p) {
  const std::string name = engine.ParameterName(p);
  const char* parameter_name = name.c_str();
  char entry[kParameterNameSize + 16];
  if (parameter_name[0] == '\0') {
    std::snprintf(entry, sizeof entry, editor_text::kUnnamedParameterEntry, p + 1);
  } else {
    std::snprintf(entry, sizeof entry, editor_text::kParameterEntry, p + 1, parameter_name);
  }
  return entry;
}

void FillSettings(HWND dialog, PatchEngine& engine, int slot) {
  const ComponentDescriptor& d = *engine.Descriptor(slot);
  SendDlgItemMessageA(dialog, IDC_LABEL, EM_LIMITTEXT, kLabelSize - 1, 0);
  PutDialogItemText(dialog, IDC_LABEL, d.label);
  if (d.type == kConstantType) {
    const double value = static_cast<const ConstantRecord*>(engine.Record(slot))->value;
    SetDlgItemTextA(dialog, IDC_CONSTANT_VALUE, FormatValue(value).c_str());
  }
  if (d.type == kSliderType) {
    const auto& slider = *static_cast<const SliderRecord*>(engine.Record(slot));
    SetDlgItemTextA(dialog, IDC_SLIDER_MIN, FormatValue(slider.minimum).c_str());
    SetDlgItemTextA(dialog, IDC_SLIDER_MAX, FormatValue(slider.maximum).c_str());
    HWND list = GetDlgItem(dialog, IDC_SLIDER_BINDING);
    for (int p = 0; p < kNamedParameterCount; ++p) {
      AddListEntry(list, LB_ADDSTRING, ParameterEntry(engine, p));
    }
    SendMessageA(list, LB_SETCURSEL, static_cast<WPARAM>(slider.parameter), 0);
  }
  if (HWND lines = GetDlgItem(dialog, IDC_DELAY_LINES)) {
    for (int line = 1; line <= 4; ++line) {
      char entry[96];
      std::snprintf(entry, sizeof entry, editor_text::kDelayLineEntry, line);
      SendMessageA(lines, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry));
    }
  }
}

// Reads a number field of the dialog; refuses (false, with a message, the
// field focused) what is not a number. A field the template lacks is skipped.
bool ReadNumber(HWND dialog, int control, const char* title, bool& present, double& value) {
  present = GetDlgItem(dialog, control) != nullptr;
  if (!present) return true;
  const std::string text = DialogText(dialog, control, 256);
  if (ParseValue(text, value)) return true;
  char message[400];
  std::snprintf(message, sizeof message, editor_text::kNotANumber, text.c_str());
  Ui().ShowMessage(dialog, message, title, kMbOk | kMbIconExclamation);
  SetFocus(GetDlgItem(dialog, control));
  return false;
}

// False, with a message, when a field is refused; the dialog stays open.
bool StoreSettings(HWND dialog, PatchEngine& engine, int slot) {
  if (!engine.IsOccupied(slot)) return true;
  double value = 0.0, minimum = 0.0, maximum = 0.0;
  bool has_value = false, has_minimum = false, has_maximum = false;
  if (!ReadNumber(dialog, IDC_CONSTANT_VALUE, editor_text::kConstantSettingsTitle, has_value, value) ||
      !ReadNumber(dialog, IDC_SLIDER_MIN, editor_text::kSliderSettingsTitle, has_minimum, minimum) ||
      !ReadNumber(dialog, IDC_SLIDER_MAX, editor_text::kSliderSettingsTitle, has_maximum, maximum))
    return false;
  const LRESULT binding = GetDlgItem(dialog, IDC_SLIDER_BINDING) != nullptr
                              ? SendDlgItemMessageA(dialog, IDC_SLIDER_BINDING, LB_GETCURSEL, 0, 0)
                              : LB_ERR;
  engine.SetLabel(slot, DialogText(dialog, IDC_LABEL, kLabelSize).c_str());
  // A new record with the new settings replaces the one the audio thread
  // may be reading.
  engine.RenewRecord(slot, [&](ComponentRecord& record, const ComponentRecord& old, int type) {
    if (type == kConstantType) {
      static_cast<ConstantRecord&>(record).value =
          has_value ? value : static_cast<const ConstantRecord&>(old).value;
    }
    if (type == kSliderType) {
      auto& slider = static_cast<SliderRecord&>(record);
      const auto& before = static_cast<const SliderRecord&>(old);
      slider.parameter = before.parameter;
      slider.minimum = has_minimum && has_maximum ? minimum : before.minimum;
      slider.maximum = has_minimum && has_maximum ? maximum : before.maximum;
      // No choice keeps the binding.
      if (binding >= 0 && binding < kNamedParameterCount) slider.parameter = static_cast<std::int32_t>(binding);
    }
  });
  return true;
}

// Constant, Slider, Filter, Delay and Component Settings share one procedure: each
// template carries only the controls of its kind.
INT_PTR CALLBACK SettingsProc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  PatchEngine* engine = DialogEngine(dialog);
  const int slot = SettingsSlot(dialog);
  if (engine == nullptr || !engine->IsOccupied(slot)) return CloseOn(dialog, message, wparam, {IDOK, IDCANCEL});
  switch (message) {
    case WM_INITDIALOG:
      FillSettings(dialog, *engine, slot);
      return TRUE;
    case WM_SHOWWINDOW:
      return TRUE;
    case WM_CLOSE:
      EndDialog(dialog, IDCANCEL);
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wparam)) {
        case IDOK:
          if (StoreSettings(dialog, *engine, slot)) EndDialog(dialog, IDOK);
          return TRUE;
        case IDCANCEL:
          EndDialog(dialog, IDCANCEL);
          return TRUE;
        case IDC_FILTER_RESET:
          // A fresh record is a filter with no history and no cached
          // coefficients; the running one is retired, never cleared under
          // the audio thread.
          engine->RenewRecord(slot, [](ComponentRecord& record, const ComponentRecord&, int type) {
            ResetFilterState(&record, type);
          });
          return TRUE;
        case IDC_DELAY_RESET:
          engine->ClearDelayLines();
          return TRUE;
        default:
          return FALSE;  // "&Help" among them
      }
    default:
      return FALSE;
  }
}

// The MIDI controller row of Parameter Information: the bindings as edited
// (stored on OK), and "learn", which waits for the next Control Change the
// module receives and binds it to the chosen parameter.
struct ControllerEdit {
  std::int32_t bindings[kNamedParameterCount];
  bool learning;
  std::uint32_t received_before;  // the module's count when learning began
};
ControllerEdit g_controller_edit = {};
constexpr UINT_PTR kLearnTimer = 1;
constexpr UINT kLearnPollMs = 50;

int ChosenParameter(HWND dialog) {
  const LRESULT p = SendDlgItemMessageA(dialog, IDC_CONTROLLER_PARAMETER, CB_GETCURSEL, 0, 0);
  return p >= 0 && p < kNamedParameterCount ? static_cast<int>(p) : 0;
}

void ShowBinding(HWND dialog) {
  SendDlgItemMessageA(dialog, IDC_CONTROLLER_NUMBER, CB_SETCURSEL,
                      static_cast<WPARAM>(g_controller_edit.bindings[ChosenParameter(dialog)] + 1), 0);
}

void StopLearning(HWND dialog) {
  if (g_controller_edit.learning) KillTimer(dialog, kLearnTimer);
  g_controller_edit.learning = false;
}

void InitControllerRow(HWND dialog, const PatchEngine& engine) {
  HWND parameters = GetDlgItem(dialog, IDC_CONTROLLER_PARAMETER);
  for (int p = 0; p < kNamedParameterCount; ++p) {
    AddListEntry(parameters, CB_ADDSTRING, ParameterEntry(engine, p));
    g_controller_edit.bindings[p] = engine.Controllers().Get(p);
  }
  SendMessageA(parameters, CB_SETCURSEL, 0, 0);
  HWND controllers = GetDlgItem(dialog, IDC_CONTROLLER_NUMBER);
  SendMessageA(controllers, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(editor_text::kNoControllerEntry));
  for (int c = 0; c < kControllerCount; ++c) {
    char entry[16];
    std::snprintf(entry, sizeof entry, editor_text::kControllerEntry, c);
    SendMessageA(controllers, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry));
  }
  g_controller_edit.learning = false;
  ShowBinding(dialog);
}

// Answers TRUE for the messages of the controller row.
bool ControllerRowMessage(HWND dialog, const PatchEngine& engine, UINT message, WPARAM wparam) {
  ControllerEdit& edit = g_controller_edit;
  if (message == WM_TIMER && wparam == kLearnTimer) {
    if (edit.learning && engine.Controllers().ReceivedCount() != edit.received_before) {
      const std::int32_t controller = engine.Controllers().LastReceived();
      StopLearning(dialog);
      edit.bindings[ChosenParameter(dialog)] = controller;
      ShowBinding(dialog);
      char status[64];
      std::snprintf(status, sizeof status, editor_text::kLearned, controller);
      SetDlgItemTextA(dialog, IDC_CONTROLLER_STATUS, status);
    }
    return true;
  }
  if (message != WM_COMMAND) return false;
  switch (LOWORD(wparam)) {
    case IDC_CONTROLLER_PARAMETER:
      if (HIWORD(wparam) != CBN_SELCHANGE) return true;
      StopLearning(dialog);
      SetDlgItemTextA(dialog, IDC_CONTROLLER_STATUS, "");
      ShowBinding(dialog);
      return true;
    case IDC_CONTROLLER_NUMBER:
      if (HIWORD(wparam) != CBN_SELCHANGE) return true;
      if (const LRESULT choice = SendDlgItemMessageA(dialog, IDC_CONTROLLER_NUMBER, CB_GETCURSEL, 0, 0); choice >= 0)
        edit.bindings[ChosenParameter(dialog)] = static_cast<std::int32_t>(choice) - 1;
      return true;
    case IDC_CONTROLLER_LEARN:
      StopLearning(dialog);
      edit.learning = true;
      edit.received_before = engine.Controllers().ReceivedCount();
      SetTimer(dialog, kLearnTimer, kLearnPollMs, nullptr);
      SetDlgItemTextA(dialog, IDC_CONTROLLER_STATUS, editor_text::kLearnWaiting);
      return true;
    default:
      return false;
  }
}

INT_PTR CALLBACK ParameterInfoProc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  PatchEngine* engine = DialogEngine(dialog);
  if (engine == nullptr) return CloseOn(dialog, message, wparam, {IDOK, IDCANCEL});
  if (ControllerRowMessage(dialog, *engine, message, wparam)) return TRUE;
  switch (message) {
    case WM_INITDIALOG:
      InitControllerRow(dialog, *engine);
      for (int i = 0; i < kNamedParameterCount; ++i) {
        SendDlgItemMessageA(dialog, IDC_PARAMETER_NAME_FIRST + i, EM_LIMITTEXT, kParameterNameSize - 1, 0);
        PutDialogItemText(dialog, IDC_PARAMETER_NAME_FIRST + i, engine->ParameterName(i));
        HWND kinds = GetDlgItem(dialog, ParameterKindControl(i));
        for (const char* kind : editor_text::kParameterKindNames)
          SendMessageA(kinds, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(kind));
        // Kinds the list cannot name show no choice and are kept.
        const std::uint32_t kind = engine->ParameterKind(i);
        SendMessageA(kinds, CB_SETCURSEL, kind < std::size(editor_text::kParameterKindNames) ? kind : -1, 0);
      }
      return TRUE;
    case WM_SHOWWINDOW:
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wparam) == IDOK) {
        for (int i = 0; i < kNamedParameterCount; ++i) {
          const LRESULT choice = SendDlgItemMessageA(dialog, ParameterKindControl(i), CB_GETCURSEL, 0, 0);
          const std::uint32_t kind =
              choice >= 0 ? static_cast<std::uint32_t>(choice) : engine->ParameterKind(i);
          engine->SetParameterInfo(
              i, DialogText(dialog, IDC_PARAMETER_NAME_FIRST + i, kParameterNameSize).c_str(), kind);
          engine->Controllers().Set(i, g_controller_edit.bindings[i]);
        }
      }
      if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) StopLearning(dialog);
      return CloseOn(dialog, message, wparam, {IDOK, IDCANCEL});
    case WM_DESTROY:
      StopLearning(dialog);
      return FALSE;
    default:
      return CloseOn(dialog, message, wparam, {});
  }
}

// The dialog's top-left corner that centres it on `over`, kept on the
// screen.
void CentreOn(HWND dialog, HWND over) {
  RECT box, target;
  if (over == nullptr || !GetWindowRect(dialog, &box) || !GetWindowRect(over, &target)) return;
  const int w = box.right - box.left, h = box.bottom - box.top;
  int x = (target.left + target.right - w) / 2, y = (target.top + target.bottom - h) / 2;
  const int screen_w = GetSystemMetrics(SM_CXSCREEN), screen_h = GetSystemMetrics(SM_CYSCREEN);
  x = std::max(0, std::min(x, screen_w - w));
  y = std::max(0, std::min(y, screen_h - h));
  SetWindowPos(dialog, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace

INT_PTR CALLBACK DialogFrame(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_INITDIALOG) {
    // The newest session not yet started is this dialog's.
    for (auto it = g_sessions.rbegin(); it != g_sessions.rend(); ++it) {
      if ((*it)->dialog != nullptr) continue;
      (*it)->dialog = dialog;
      break;
    }
    SetWindowLongPtrW(dialog, DWLP_USER, static_cast<LONG_PTR>(lparam));
    const DialogSession* session = SessionOf(dialog);
    HWND main = session != nullptr && session->engine != nullptr ? AsWindow(session->engine->Editor().main_window) : nullptr;
    CentreOn(dialog, main != nullptr && IsWindowVisible(main) ? main : GetWindow(dialog, GW_OWNER));
  }
  const auto procedure = reinterpret_cast<DLGPROC>(GetWindowLongPtrW(dialog, DWLP_USER));
  return procedure != nullptr ? procedure(dialog, message, wparam, message == WM_INITDIALOG ? 0 : lparam) : FALSE;
}

PatchEngine* DialogEngine(HWND dialog) {
  const DialogSession* session = SessionOf(dialog);
  return session != nullptr ? session->engine : nullptr;
}

int SettingsSlot(HWND dialog) {
  const DialogSession* session = SessionOf(dialog);
  if (session == nullptr || session->engine == nullptr || session->slot < 0) return -1;
  const PatchEngine& engine = *session->engine;
  // A restore or a load replaced the module under the dialog: whatever now
  // holds the slot is not what the dialog was opened on.
  if (engine.LayoutSerial() != session->layout_serial || !engine.IsOccupied(session->slot) ||
      engine.Descriptor(session->slot) != session->descriptor)
    return -1;
  return session->slot;
}

bool RunDialog(PatchEngine& engine, int template_id, int slot) {
  DialogSession session = {&engine, slot, engine.IsOccupied(slot) ? engine.Descriptor(slot) : nullptr,
                           engine.LayoutSerial(), nullptr};
  g_sessions.push_back(&session);
  Globals().dialog_engine = &engine;
  Ui().RunDialog(Ui().ForegroundWindow(), template_id);
  g_sessions.erase(std::find(g_sessions.begin(), g_sessions.end(), &session));
  if (session.engine == nullptr) return false;
  Globals().dialog_engine = &engine;
  return true;
}

void EndDialogsOf(const PatchEngine& engine, bool gone) {
  for (DialogSession* session : g_sessions) {
    if (session->engine != &engine) continue;
    // Otherwise only settings dialogs opened before the module was replaced.
    if (!gone && (session->slot < 0 || session->layout_serial == engine.LayoutSerial())) continue;
    if (gone) session->engine = nullptr;
    if (session->dialog != nullptr) EndDialog(session->dialog, IDCANCEL);
  }
  if (gone && Globals().dialog_engine == &engine) Globals().dialog_engine = nullptr;
}


DLGPROC DialogProcedureFor(int template_id) {
  switch (template_id) {
    case IDD_ABOUT:
      return AboutProc;
    case IDD_COMPONENT_INFO:
      return ComponentInfoProc;
    case IDD_ENSEMBLE_INFO:
      return EnsembleInfoProc;
    case IDD_PARAMETER_INFO:
      return ParameterInfoProc;
    case IDD_TABLE_SETTINGS:
      return TableSettingsProc;
    case IDD_CONSTANT_SETTINGS:
    case IDD_SLIDER_SETTINGS:
    case IDD_DELAY_SETTINGS:
    case IDD_FILTER_SETTINGS:
    case IDD_COMPONENT_SETTINGS:
      return SettingsProc;
    case IDD_SAMPLER_SETTINGS:
      return SamplerSettingsProc;
    default:
      return AboutProc;  // closes on OK or the close box
  }
}

void OpenSettingsDialog(PatchEngine& engine) {
  const int slot = engine.Editor().selected_slot;
  if (!engine.IsOccupied(slot)) return;
  // The engine may be gone when the dialog returns: touch it only if not.
  if (!RunDialog(engine, SettingsTemplateFor(engine.Descriptor(slot)->type), slot)) return;
  RefreshAfterEdit(engine);
}

void OpenComponentInfo(PatchEngine& engine) {
  if (engine.Editor().selected_slot >= 0) RunDialog(engine, IDD_COMPONENT_INFO);
}

void OpenModuleInformation(PatchEngine& engine) {
  // The tab shows the name, the status bar may show labels of it.
  if (RunDialog(engine, IDD_ENSEMBLE_INFO)) RefreshAfterEdit(engine);
}

void OpenParameterProperties(PatchEngine& engine) { RunDialog(engine, IDD_PARAMETER_INFO); }

}  // namespace korvel::editor

// Sampler Settings: the sound file (typed or chosen), its root frequency,
// one-shot or gate playback with the release, and the loop. OK hands every
// setting to the engine at once (PatchEngine::SetSettings), which loads the
// file on this thread before the audio thread sees the new record; a value
// the settings refuse is shown and the dialog stays open. A file that
// cannot be loaded is no refusal: the status bar and this dialog's status
// line say why, and the Sampler stays silent.
#include <windows.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "components/sampler.h"
#include "editor/editor_internal.h"
#include "editor/utf8.h"
#include "engine/ui.h"
#include "resources/resource.h"

namespace korvel::editor {
namespace {

namespace text {
inline constexpr char kTitle[] = "Sampler Settings";
inline constexpr char kFilterName[] = "Sound Files (*.wav)";
inline constexpr char kFilterPattern[] = "*.wav";
inline constexpr char kChooseTitle[] = "Choose a Sound File";
inline constexpr char kNoFile[] = "No sound file chosen: the Sampler is silent.";
// Rate, "mono" or "stereo", seconds, frames.
inline constexpr char kLoaded[] = "%.0f Hz %s, %.3f s (%d frames)";
inline constexpr char kNotLoadedYet[] = "Loaded when you press OK.";
// printf format: the field's name, the refused text.
inline constexpr char kNotAFrame[] = "%s: \"%s\" is not a whole number of frames.";
inline constexpr char kNotANumber[] = "%s: \"%s\" is not a number.";
inline constexpr const char* kLoopNames[] = {"Off", "Forward", "Ping-pong"};
}  // namespace text

std::string Text(HWND dialog, int control) {
  std::vector<char> buffer(4096, '\0');
  GetDlgItemTextA(dialog, control, buffer.data(), static_cast<int>(buffer.size()));
  return buffer.data();
}

// The shortest text that reads back as the same double.
std::string Shortest(double value) {
  char buffer[64];
  for (int precision = 6; precision <= 17; ++precision) {
    std::snprintf(buffer, sizeof buffer, "%.*g", precision, value);
    if (std::strtod(buffer, nullptr) == value) break;
  }
  return buffer;
}

void Refuse(HWND dialog, int control, const char* format, const char* field, const std::string& typed) {
  std::vector<char> message(typed.size() + 256);
  std::snprintf(message.data(), message.size(), format, field, typed.c_str());
  Ui().ShowMessage(dialog, message.data(), text::kTitle, kMbOk | kMbIconExclamation);
  SetFocus(GetDlgItem(dialog, control));
}

// A finite number, blanks around it allowed.
bool ReadNumber(HWND dialog, int control, const char* field, double& value) {
  const std::string typed = Text(dialog, control);
  char* end = nullptr;
  value = std::strtod(typed.c_str(), &end);
  bool ok = end != typed.c_str();
  while (ok && (*end == ' ' || *end == '\t')) ++end;
  if (ok && *end == '\0' && std::isfinite(value)) return true;
  Refuse(dialog, control, text::kNotANumber, field, typed);
  return false;
}

bool ReadFrame(HWND dialog, int control, const char* field, long long& value) {
  const std::string typed = Text(dialog, control);
  char* end = nullptr;
  value = std::strtoll(typed.c_str(), &end, 10);
  if (end != typed.c_str() && *end == '\0' && value >= 0 && value <= kMaxSoundFrames) return true;
  Refuse(dialog, control, text::kNotAFrame, field, typed);
  return false;
}

void ShowStatus(HWND dialog, const PatchEngine& engine, int slot, const std::string& shown_path) {
  const auto& sampler = *static_cast<const SamplerRecord*>(engine.Record(slot));
  const std::string path = sampler.file != nullptr ? sampler.file->path : std::string();
  std::string status;
  if (shown_path.empty()) {
    status = text::kNoFile;
  } else if (shown_path != path) {
    status = text::kNotLoadedYet;
  } else if (const Sound* sound = sampler.sound) {
    char line[160];
    std::snprintf(line, sizeof line, text::kLoaded, sound->rate, sound->channels == 1 ? "mono" : "stereo",
                  sound->frames / sound->rate, static_cast<int>(sound->frames));
    status = line;
  } else {
    status = engine.SoundProblem(slot);
  }
  PutDialogItemText(dialog, IDC_SAMPLER_STATUS, status);
}

void Fill(HWND dialog, PatchEngine& engine, int slot) {
  const auto& sampler = *static_cast<const SamplerRecord*>(engine.Record(slot));
  SendDlgItemMessageA(dialog, IDC_LABEL, EM_LIMITTEXT, kLabelSize - 1, 0);
  PutDialogItemText(dialog, IDC_LABEL, engine.Descriptor(slot)->label);
  const std::string path = sampler.file != nullptr ? sampler.file->path : std::string();
  SetDlgItemTextA(dialog, IDC_SAMPLER_FILE, path.c_str());
  SetDlgItemTextA(dialog, IDC_SAMPLER_ROOT, Shortest(sampler.root).c_str());
  CheckRadioButton(dialog, IDC_SAMPLER_ONE_SHOT, IDC_SAMPLER_GATE,
                   sampler.mode == kSamplerGate ? IDC_SAMPLER_GATE : IDC_SAMPLER_ONE_SHOT);
  SetDlgItemTextA(dialog, IDC_SAMPLER_RELEASE, Shortest(sampler.release).c_str());
  for (const char* name : text::kLoopNames) SendDlgItemMessageA(dialog, IDC_SAMPLER_LOOP, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
  SendDlgItemMessageA(dialog, IDC_SAMPLER_LOOP, CB_SETCURSEL, sampler.loop, 0);
  SetDlgItemTextA(dialog, IDC_SAMPLER_LOOP_START, std::to_string(sampler.loop_start).c_str());
  SetDlgItemTextA(dialog, IDC_SAMPLER_LOOP_END, std::to_string(sampler.loop_end).c_str());
  ShowStatus(dialog, engine, slot, path);
}

void Browse(HWND dialog, const PatchEngine& engine, int slot) {
  FileDialogRequest request;
  request.owner = dialog;
  // The Windows plug-in reads WAV.
  request.filter_name = text::kFilterName;
  request.filter_pattern = text::kFilterPattern;
  request.title = text::kChooseTitle;
  const std::string current = Text(dialog, IDC_SAMPLER_FILE);
  request.initial_name = current.c_str();
  request.default_extension = "wav";
  std::string path;
  if (!Ui().ChooseFile(request, path)) return;
  SetDlgItemTextA(dialog, IDC_SAMPLER_FILE, path.c_str());
  ShowStatus(dialog, engine, slot, path);
}

// False, with a message, when a field is refused; the dialog stays open.
bool Store(HWND dialog, PatchEngine& engine, int slot) {
  double root = 0.0, release = 0.0;
  long long loop_start = 0, loop_end = 0;
  if (!ReadNumber(dialog, IDC_SAMPLER_ROOT, "Root frequency", root) ||
      !ReadNumber(dialog, IDC_SAMPLER_RELEASE, "Release", release) ||
      !ReadFrame(dialog, IDC_SAMPLER_LOOP_START, "Loop start", loop_start) ||
      !ReadFrame(dialog, IDC_SAMPLER_LOOP_END, "Loop end", loop_end))
    return false;
  const LRESULT loop = SendDlgItemMessageA(dialog, IDC_SAMPLER_LOOP, CB_GETCURSEL, 0, 0);
  const nlohmann::json settings = {
      {"file", Text(dialog, IDC_SAMPLER_FILE)},
      {"root", root},
      {"mode", SamplerModeName(IsDlgButtonChecked(dialog, IDC_SAMPLER_GATE) == BST_CHECKED ? kSamplerGate
                                                                                             : kSamplerOneShot)},
      {"loop", SamplerLoopName(loop >= 0 ? static_cast<int>(loop) : kSamplerLoopOff)},
      {"loop_start", loop_start},
      {"loop_end", loop_end},
      {"release", release}};
  std::string error;
  if (!engine.SetSettings(slot, settings, error)) {
    Ui().ShowMessage(dialog, error.c_str(), text::kTitle, kMbOk | kMbIconExclamation);
    return false;
  }
  engine.SetLabel(slot, CutUtf8(DialogItemText(dialog, IDC_LABEL), kLabelSize - 1).c_str());
  // The file is loaded now: the status bar says so if it could not be.
  SetStatusText(engine, ProblemLine(engine));
  return true;
}

}  // namespace

INT_PTR CALLBACK SamplerSettingsProc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  PatchEngine* engine = DialogEngine(dialog);
  const int slot = SettingsSlot(dialog);
  if (engine == nullptr || !engine->IsOccupied(slot) || engine->Descriptor(slot)->type != kSamplerType) {
    if (message == WM_CLOSE || (message == WM_COMMAND && (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL))) {
      EndDialog(dialog, IDCANCEL);
      return TRUE;
    }
    return FALSE;
  }
  switch (message) {
    case WM_INITDIALOG:
      Fill(dialog, *engine, slot);
      return TRUE;
    case WM_SHOWWINDOW:
      return TRUE;
    case WM_CLOSE:
      EndDialog(dialog, IDCANCEL);
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wparam)) {
        case IDOK:
          if (Store(dialog, *engine, slot)) EndDialog(dialog, IDOK);
          return TRUE;
        case IDCANCEL:
          EndDialog(dialog, IDCANCEL);
          return TRUE;
        case IDC_SAMPLER_BROWSE:
          Browse(dialog, *engine, slot);
          return TRUE;
        case IDC_SAMPLER_FILE:
          if (HIWORD(wparam) == EN_CHANGE) ShowStatus(dialog, *engine, slot, Text(dialog, IDC_SAMPLER_FILE));
          return TRUE;
        default:
          return FALSE;  // "&Help" among them
      }
    default:
      return FALSE;
  }
}

}  // namespace korvel::editor

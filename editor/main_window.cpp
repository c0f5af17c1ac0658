// The editor's main window: menus, status bar, tab strip, the three views
// and the commands that turn menu choices into engine operations.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "editor/core/layout.h"
#include "editor/editor.h"
#include "editor/editor_internal.h"
#include "editor/editor_texts.h"
#include "editor/utf8.h"
#include "engine/module_file.h"
#include "engine/ui.h"
#include "resources/resource.h"

namespace korvel {
namespace editor {

EditorGlobals& Globals() {
  static EditorGlobals globals;
  return globals;
}

HBITMAP TabBitmap(int resource_id) { return Globals().bitmaps[resource_id - IDB_FIRST]; }

namespace {

constexpr COLORREF kMainBackground = 0xDEDBDB;

// Views sit below the tab strip and above the status bar.
constexpr int kViewLeft = 3;
constexpr int kViewTop = 21;
constexpr int kViewWidthLoss = 6;
constexpr int kViewHeightLoss = 44;
constexpr int kButtonWidth = 100;
constexpr int kButtonHeight = 21;

struct ComponentCommand {
  int command;
  int type;
};

constexpr ComponentCommand kComponentCommands[] = {
    {ID_INPUT_COMPONENT, 0}, {ID_OUTPUT_COMPONENT, 1}, {ID_REPLICATOR, 2},
    {ID_ADD, 10},            {ID_SUBTRACT, 11},        {ID_MULTIPLY, 12},
    {ID_DIVIDE, 13},         {ID_POWER, 14},           {ID_LOWPASS, 15},
    {ID_HIGHPASS, 16},       {ID_BANDPASS, 17},        {ID_BANDREJECT, 18},
    {ID_MOOG_FILTER, 19},    {ID_STATE_FILTER, 20},    {ID_IIR2, 22},
    {ID_FIR8, 23},           {ID_CLIPPING, 24},        {ID_TOP_CLIPPING, 25},
    {ID_BOTTOM_CLIPPING, 26}, {ID_DELAY_SET, 27},      {ID_DELAY_ADD, 28},
    {ID_DELAY_GET, 29},      {ID_DELAY_Z, 30},         {ID_DELAY_SIMPLE, 31},
    {ID_DELAY_TAP, 32},
    {ID_CONSTANT, 80},       {ID_SAMPLES_PER_SECOND, 81}, {ID_SAMPLES_PER_TICK, 82},
    {ID_MAX_SAMPLE_VALUE, 83}, {ID_BPM, 84},           {ID_TPB, 85},
    {ID_BPB, 86},            {ID_SLIDER_INTERFACE, 87}, {ID_NOTE_FREQUENCY, 88},
    {ID_NOTE_WAVEPERIOD, 89}, {ID_NOTE_TRIGGER, 90},
    {ID_BASIC_OSCILLATOR, 40}, {ID_FM_OSCILLATOR, 41},    {ID_WHITE_NOISE, 42},
    {ID_LINEAR_ADSR, 43},    {ID_EXPONENTIAL_ADSR, 44}, {ID_ENVELOPE_FOLLOWER, 45},
    {ID_STEP_COUNTER, 46},   {ID_TRANSLATION_TABLE, 47}, {ID_FUNCTION, 48},
    {ID_SAMPLER, 50},        {ID_PEAK_EQ, 60},          {ID_LOW_SHELF, 61},
    {ID_HIGH_SHELF, 62},     {ID_ALLPASS, 63},
};

void RegisterClasses() {
  const HINSTANCE instance = Globals().instance;
  WNDCLASSEXA main = {};
  main.cbSize = sizeof main;
  main.lpfnWndProc = MainWindowProc;
  main.hInstance = instance;
  main.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_KORVEL));
  main.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
  main.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  main.lpszMenuName = MAKEINTRESOURCEA(IDR_MODULE_MENU);
  main.lpszClassName = editor_text::kMainClass;
  RegisterClassExA(&main);  // fails harmlessly when already registered

  WNDCLASSEXA view = {};
  view.cbSize = sizeof view;
  view.style = CS_DBLCLKS;
  view.hInstance = instance;
  view.hCursor = main.hCursor;
  view.hbrBackground = Globals().view_brush;
  view.lpfnWndProc = ModuleViewProc;
  view.lpszClassName = editor_text::kModuleViewClass;
  RegisterClassExA(&view);
  view.lpfnWndProc = GuiViewProc;
  view.lpszClassName = editor_text::kGuiViewClass;
  RegisterClassExA(&view);
}

// The two pop-up menus of the Module View; built once per process.
void BuildMenus() {
  auto& globals = Globals();
  if (globals.component_popup == nullptr) {
    HMENU menu = CreatePopupMenu();
    AppendMenuA(menu, MF_STRING, ID_COMPONENT_SETTINGS, editor_text::kComponentSettingsItem);
    AppendMenuA(menu, MF_STRING, ID_COMPONENT_INFO, editor_text::kComponentInfoItem);
    AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(menu, MF_STRING, ID_DELETE_COMPONENT, editor_text::kDeleteComponentItem);
    SetMenuDefaultItem(menu, 0, TRUE);
    globals.component_popup = menu;
  }
  if (globals.view_popup == nullptr) {
    globals.module_menu = LoadMenuA(globals.instance, MAKEINTRESOURCEA(IDR_MODULE_MENU));
    HMENU menu = CreatePopupMenu();
    HMENU components = GetSubMenu(globals.module_menu, 3);
    AppendMenuA(menu, MF_POPUP, reinterpret_cast<UINT_PTR>(components),
                editor_text::kNewComponentItem);
    AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(menu, MF_STRING, ID_PARAMETER_PROPERTIES, editor_text::kParameterPropertiesItem);
    AppendMenuA(menu, MF_STRING, ID_MODULE_INFO, editor_text::kModuleInformationItem);
    SetMenuDefaultItem(menu, ID_PARAMETER_PROPERTIES, FALSE);
    globals.view_popup = menu;
  }
}

// Content is at least every box plus a 50-pixel margin.
void GrowContent(PatchEngine& engine, const ComponentDescriptor& d) {
  engine.Editor().content_width = std::max(engine.Editor().content_width, d.x + d.width + 50);
  engine.Editor().content_height = std::max(engine.Editor().content_height, d.y + d.height + 50);
}

void ComputeContent(PatchEngine& engine) {
  auto lock = engine.LockEdits();  // the boxes; the extent is the window thread's own
  engine.Editor().content_width = engine.Editor().content_height = 1;
  for (int s = 0; s < engine.SlotCount(); ++s)
    if (engine.Descriptor(s) != nullptr) GrowContent(engine, *engine.Descriptor(s));
}

void LayOut(PatchEngine& engine, bool repaint) {
  RECT client;
  GetClientRect(AsWindow(engine.Editor().main_window), &client);
  const int x = client.left + kViewLeft;
  const int y = client.top + kViewTop;
  const int w = client.right - client.left - kViewWidthLoss;
  const int h = client.bottom - client.top - kViewHeightLoss;
  for (void* view : {engine.Editor().module_view, engine.Editor().code_edit, engine.Editor().gui_view})
    MoveWindow(AsWindow(view), x, y, w, h, repaint);
}

// The whole editor, frames and children included.
void RepaintAll(PatchEngine& engine) {
  RedrawWindow(AsWindow(engine.Editor().main_window), nullptr, nullptr,
               RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN);
}

void PaintMain(HWND window, PatchEngine& engine) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  RECT client;
  GetClientRect(window, &client);
  HBRUSH background = CreateSolidBrush(kMainBackground);
  FillRect(dc, &client, background);
  DeleteObject(background);
  if (engine.Editor().current_view == View::kModule) {
    const int y = client.top + 5;
    HDC source = CreateCompatibleDC(dc);
    struct Piece {
      int bitmap, x, width;
    };
    for (const Piece& piece : {Piece{IDB_TAB_LEFT, client.left + 3, 8},
                               Piece{IDB_TAB_MIDDLE, client.left + 11, 107},
                               Piece{IDB_TAB_RIGHT, client.left + 118, 8}}) {
      HBITMAP bitmap = TabBitmap(piece.bitmap);
      if (bitmap == nullptr) continue;
      HGDIOBJ old = SelectObject(source, bitmap);
      BitBlt(dc, piece.x, y, piece.width, 17, source, 0, 0, SRCCOPY);
      SelectObject(source, old);
    }
    DeleteDC(source);
    HGDIOBJ old_font = SelectObject(dc, static_cast<HFONT>(engine.Editor().fonts[1]));
    SetTextColor(dc, RGB(255, 255, 255));
    SetBkMode(dc, TRANSPARENT);
    RECT text = {client.left + 16, y, client.left + 123, y + 16};
    // The tab names the module.
    DrawTextW(dc, Wide(engine.ModuleName()).c_str(), -1, &text, DT_SINGLELINE | DT_VCENTER | DT_LEFT | DT_END_ELLIPSIS | DT_NOPREFIX);
    SelectObject(dc, old_font);
  }
  EndPaint(window, &paint);
}

void SwitchView(PatchEngine& engine, View view) {
  engine.Editor().current_view = view;
  ShowView(engine);
  RefreshStatus(engine);
  RepaintAll(engine);
}

// A box added where another one's corner already is goes down and right
// of it, so adding twice without moving the pointer never hides a box.
constexpr int kStackOffset = 16;
void FreeTheSpot(PatchEngine& engine) {
  for (int tries = 0; tries < kSlotCount; ++tries) {
    bool taken = false;
    for (int s = 0; s < engine.SlotCount() && !taken; ++s)
      taken = engine.IsOccupied(s) && engine.Descriptor(s)->x == engine.Editor().new_component_x &&
              engine.Descriptor(s)->y == engine.Editor().new_component_y;
    if (!taken) return;
    engine.Editor().new_component_x += kStackOffset;
    engine.Editor().new_component_y += kStackOffset;
  }
}

bool Confirm(const char* question, const char* title) {
  return Ui().ShowMessage(Ui().ForegroundWindow(), question, title,
                          kMbYesNo | kMbIconExclamation | kMbSystemModal) == kIdYes;
}

void OnCommand(HWND window, PatchEngine& engine, int command) {
  for (const ComponentCommand& c : kComponentCommands) {
    if (c.command != command) continue;
    FreeTheSpot(engine);
    const int slot = CoreOf(engine).Add(c.type, engine.Editor().new_component_x, engine.Editor().new_component_y);
    if (slot >= 0) {
      GrowContent(engine, *engine.Descriptor(slot));
      UpdateScrollRanges(engine);
    }
    return;
  }
  if (OnEditCommand(engine, command)) return;
  editor_core::EditorCore& core = CoreOf(engine);
  // Each dialog's OK is one step; Cancel records none.
  const auto dialog = [&engine](const char* step, void (*open)(PatchEngine&)) {
    AsOneStep(engine, step, [&] {
      open(engine);
      return true;
    });
  };
  switch (command) {
    case IDC_SAVE_AND_APPLY:
      dialog(editor_core::step::kApplyScript, ApplyCodeView);
      break;
    case IDC_REVERT:
      RevertCodeView(engine);
      break;
    case ID_ABOUT:
      ShowAbout(engine);
      break;
    case ID_PARAMETER_PROPERTIES:
      dialog(editor_core::step::kParameterProperties, OpenParameterProperties);
      break;
    case ID_NEW_MODULE:
      if (Confirm(editor_text::kNewModuleQuestion, editor_text::kNewModuleTitle)) core.NewModule();
      CatchUp(engine);
      break;
    case ID_LOAD_MODULE:
      // A module without positions is laid out within the load's step.
      AsOneStep(engine, editor_core::step::kLoadModule, [&] {
        const bool loaded = LoadModuleCommand(engine);
        if (loaded) editor_core::LayOutIfUnplaced(engine);
        return loaded;
      });
      CatchUp(engine);
      break;
    case ID_SAVE_MODULE:
      SaveModuleAsCommand(engine);
      RepaintAll(engine);
      break;
    case ID_CLOSE_WINDOW:
      DestroyWindow(window);
      engine.Editor().main_window = nullptr;
      break;
    case ID_COMPONENT_SETTINGS:
      dialog(editor_core::step::kSettings, OpenSettingsDialog);
      break;
    case ID_DELETE_COMPONENT:
      // The whole selection, with one question and one undo step.
      if (engine.Editor().selected_slot >= 0 || !core.Selection().empty()) {
        if (!core.Selection().empty() && Confirm(editor_text::kDeleteQuestion, editor_text::kDeleteTitle))
          core.DeleteSelection();
        RefreshStatus(engine);
        RepaintAll(engine);
      }
      break;
    case ID_COMPONENT_INFO:
      OpenComponentInfo(engine);
      break;
    case ID_MODULE_INFO:
      dialog(editor_core::step::kModuleInformation, OpenModuleInformation);
      break;
    case ID_MODULE_VIEW:
      SwitchView(engine, View::kModule);
      break;
    case ID_CODE_VIEW:
      SwitchView(engine, View::kCode);
      break;
    case ID_GUI_VIEW:
      SwitchView(engine, View::kGui);
      break;
    default:
      break;  // "&Help Contents..." and the items of types that do not exist
  }
}

// What the Code View holds unapplied stays with the engine until the
// editor opens again.
void KeepCodeDraft(PatchEngine& engine) {
  HWND edit = AsWindow(engine.Editor().code_edit);
  if (edit == nullptr) return;
  const std::string text = WindowText(edit);
  engine.KeepCodeDraft(text.substr(0, std::strlen(text.c_str())));
}

const std::string& CodeViewText(const PatchEngine& engine) {
  return engine.HasCodeDraft() ? engine.CodeDraft() : engine.ScriptText();
}

// The serials the open editor last caught up with, kept on its window.
constexpr char kScriptSerialProperty[] = "KorvelScriptSerial";
constexpr char kLayoutSerialProperty[] = "KorvelLayoutSerial";
void Remember(HWND main, const char* property, std::uint32_t serial) {
  SetPropA(main, property, reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(serial) + 1));
}
bool Changed(HWND main, const char* property, std::uint32_t serial) {
  return reinterpret_cast<std::uintptr_t>(GetPropA(main, property)) != static_cast<std::uintptr_t>(serial) + 1;
}

void ForgetWindows(PatchEngine& engine) {
  HWND main = AsWindow(engine.Editor().main_window);
  if (main != nullptr) {
    RemovePropA(main, kScriptSerialProperty);
    RemovePropA(main, kLayoutSerialProperty);
  }
  engine.Editor().main_window = engine.Editor().status_bar = engine.Editor().module_view = nullptr;
  engine.Editor().code_edit = engine.Editor().gui_view = nullptr;
  engine.Editor().apply_button = engine.Editor().revert_button = nullptr;
}

}  // namespace

void ShowView(PatchEngine& engine) {
  const View view = engine.Editor().current_view;
  const auto show = [](void* window, bool visible) {
    if (window != nullptr) ShowWindow(AsWindow(window), visible ? SW_SHOW : SW_HIDE);
  };
  show(engine.Editor().module_view, view == View::kModule);
  show(engine.Editor().code_edit, view == View::kCode);
  show(engine.Editor().apply_button, view == View::kCode);
  show(engine.Editor().revert_button, view == View::kCode);
  show(engine.Editor().gui_view, view == View::kGui);
}

void UpdateScrollRanges(PatchEngine& engine) {
  HWND view = AsWindow(engine.Editor().module_view);
  if (view == nullptr) return;
  RECT client;
  GetClientRect(view, &client);
  const int cw = client.right;
  const int ch = client.bottom;
  const int range_width = std::max(engine.Editor().content_width, cw);
  const int range_height = std::max(engine.Editor().content_height, ch);
  // Never show space to the right of or below the content.
  if (cw - engine.Editor().scroll_x > engine.Editor().content_width)
    engine.Editor().scroll_x = cw - engine.Editor().content_width;
  if (ch - engine.Editor().scroll_y > engine.Editor().content_height)
    engine.Editor().scroll_y = ch - engine.Editor().content_height;
  engine.Editor().scroll_x = std::min(engine.Editor().scroll_x, 0);
  engine.Editor().scroll_y = std::min(engine.Editor().scroll_y, 0);
  // The bar positions follow the offsets, so the two never disagree.
  SCROLLINFO vertical = {sizeof vertical, SIF_RANGE | SIF_PAGE | SIF_POS, 0, range_height - 1,
                         static_cast<UINT>(ch), -engine.Editor().scroll_y, 0};
  SetScrollInfo(view, SB_VERT, &vertical, TRUE);
  SCROLLINFO horizontal = {sizeof horizontal, SIF_RANGE | SIF_PAGE | SIF_POS, 0, range_width - 1,
                           static_cast<UINT>(cw), -engine.Editor().scroll_x, 0};
  SetScrollInfo(view, SB_HORZ, &horizontal, TRUE);
}

void CatchUp(PatchEngine& engine) {
  HWND main = AsWindow(engine.Editor().main_window);
  if (main == nullptr) return;
  if (Changed(main, kScriptSerialProperty, engine.ScriptSerial())) {
    Remember(main, kScriptSerialProperty, engine.ScriptSerial());
    PutWindowText(AsWindow(engine.Editor().code_edit), CodeViewText(engine));
  }
  if (Changed(main, kLayoutSerialProperty, engine.LayoutSerial())) {
    Remember(main, kLayoutSerialProperty, engine.LayoutSerial());
    ComputeContent(engine);
    UpdateScrollRanges(engine);
    // A settings dialog open on a component of the module replaced is
    // about nothing now.
    EndDialogsOf(engine, false);
  }
  const std::string problem = ProblemLine(engine);
  if (!problem.empty()) {
    SetStatusText(engine, problem);
    engine.MarkProblemSeen();
  } else {
    RefreshStatus(engine);
  }
  RepaintAll(engine);
}

void RefreshAfterEdit(PatchEngine& engine) {
  if (engine.Editor().main_window == nullptr) return;
  RefreshStatus(engine);
  RepaintAll(engine);
}

void RefreshStatus(PatchEngine& engine) {
  SetStatusText(engine, StatusTextAt(engine, engine.Editor().new_component_x, engine.Editor().new_component_y));
}

std::string ProblemLine(const PatchEngine& engine) {
  std::string line = engine.Problem();
  if (!line.empty()) return line;
  const std::vector<std::string> sounds = engine.SoundProblems();
  if (sounds.empty()) return line;
  line = sounds.front();
  if (sounds.size() > 1) line += " (and " + std::to_string(sounds.size() - 1) + " more)";
  return line;
}

void SetStatusText(PatchEngine& engine, const std::string& text) {
  HWND bar = AsWindow(engine.Editor().status_bar);
  if (bar == nullptr) return;
  // UTF-8 in, so the status line can carry a dash.
  std::wstring wide(text.size() + 1, L'\0');
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                    wide.data(), static_cast<int>(wide.size()));
  wide.resize(static_cast<std::size_t>(std::max(n, 0)));
  SendMessageW(bar, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(wide.c_str()));
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  PatchEngine* engine = FindEngine(window);
  if (engine == nullptr) return DefWindowProcA(window, message, wparam, lparam);
  switch (message) {
    case WM_CREATE:
      return 0;
    case WM_DESTROY:
      KeepCodeDraft(*engine);
      ForgetWindows(*engine);
      ForgetCore(*engine);
      return DefWindowProcA(window, message, wparam, lparam);
    case WM_SIZE:
      if (wparam == SIZE_MINIMIZED) return 0;
      LayOut(*engine, false);
      UpdateScrollRanges(*engine);
      SendMessageA(AsWindow(engine->Editor().status_bar), WM_SIZE, 0, 0);
      RepaintAll(*engine);
      return 0;
    case WM_PAINT:
      PaintMain(window, *engine);
      return 0;
    case WM_CLOSE:
      DestroyWindow(window);
      engine->Editor().main_window = nullptr;
      return 0;
    case WM_INITMENUPOPUP:
      UpdateEditMenu(*engine, reinterpret_cast<HMENU>(wparam));
      return 0;
    case WM_KEYDOWN:
      if (engine->Editor().current_view == View::kModule && OnEditKey(*engine, wparam)) return 0;
      // The Module View hands its keys on: Delete there is the menu's
      // "Delete Component", with the same question.
      if (wparam == VK_DELETE && engine->Editor().current_view == View::kModule)
        OnCommand(window, *engine, ID_DELETE_COMPONENT);
      return 0;
    case WM_KEYUP:
    case WM_CHAR:
      return 0;
    case kEngineChangedMessage:
      CatchUp(*engine);
      return 0;
    case WM_COMMAND:
      OnCommand(window, *engine, LOWORD(wparam));
      return 0;
    default:
      return DefWindowProcA(window, message, wparam, lparam);
  }
}

}  // namespace editor

using namespace editor;

void OpenEditor(PatchEngine& engine) {
  if (engine.Editor().main_window != nullptr) {
    HWND window = AsWindow(engine.Editor().main_window);
    if (IsIconic(window)) ShowWindow(window, SW_RESTORE);
    BringWindowToTop(window);
    SetForegroundWindow(window);
    return;
  }
  const HINSTANCE instance = Globals().instance;
  const std::string title = engine.Editor().title_prefix != nullptr
                                ? std::string(engine.Editor().title_prefix) + editor_text::kTitleSuffix
                                : std::string(editor_text::kTitle);
  RegisterClasses();
  HWND main = CreateWindowExA(0, editor_text::kMainClass, title.c_str(),
                              WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN | WS_CLIPSIBLINGS, 32, 16, 800,
                              600, GetForegroundWindow(), nullptr, instance, nullptr);
  if (main == nullptr) return;
  engine.Editor().main_window = main;

  const auto child = [&](DWORD ex_style, const char* window_class, const char* text, DWORD style,
                         int x, int y, int w, int h, int id) {
    return CreateWindowExA(ex_style, window_class, text, WS_CHILD | style, x, y, w, h, main,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
  };
  HWND status = child(0, STATUSCLASSNAMEA, "",
                      WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN | SBARS_SIZEGRIP | SBARS_TOOLTIPS,
                      0, 0, 0, 0, IDC_STATUS_BAR);
  engine.Editor().status_bar = status;

  RECT client;
  GetClientRect(main, &client);
  const int left = client.left;
  const int top = client.top;
  const int x = left + kViewLeft;
  const int y = top + kViewTop;
  const int w = client.right - client.left - kViewWidthLoss;
  const int h = client.bottom - client.top - kViewHeightLoss;
  const DWORD view_style = WS_CLIPSIBLINGS | WS_CLIPCHILDREN | WS_VSCROLL | WS_HSCROLL;
  engine.Editor().module_view =
      child(WS_EX_STATICEDGE, editor_text::kModuleViewClass, editor_text::kModuleViewTitle, view_style, x, y, w, h, 0);
  ShowWindow(AsWindow(engine.Editor().module_view), SW_SHOW);

  // A Unicode edit control, so the script's UTF-8 text survives editing.
  HWND edit = CreateWindowExW(WS_EX_STATICEDGE, L"Edit", L"",
                              WS_CHILD | view_style | ES_MULTILINE | ES_NOHIDESEL | ES_WANTRETURN |
                                  ES_AUTOVSCROLL | ES_AUTOHSCROLL,
                              x, y, w, h, main, nullptr, instance, nullptr);
  engine.Editor().code_edit = edit;
  SendMessageA(edit, WM_SETFONT, reinterpret_cast<WPARAM>(engine.Editor().fonts[2]), FALSE);
  SendMessageA(edit, EM_SETLIMITTEXT, 0, 0);  // as long as memory allows

  const DWORD button_style = WS_CLIPSIBLINGS | WS_CLIPCHILDREN | BS_PUSHBUTTON;
  HWND apply = child(WS_EX_STATICEDGE, "Button", editor_text::kSaveAndApply, button_style,
                     left + 3, top, kButtonWidth, kButtonHeight, IDC_SAVE_AND_APPLY);
  HWND revert = child(WS_EX_STATICEDGE, "Button", editor_text::kRevert, button_style,
                      left + 3 + kButtonWidth, top, kButtonWidth, kButtonHeight, IDC_REVERT);
  engine.Editor().apply_button = apply;
  engine.Editor().revert_button = revert;
  PutWindowText(edit, CodeViewText(engine));
  Remember(main, kScriptSerialProperty, engine.ScriptSerial());
  Remember(main, kLayoutSerialProperty, engine.LayoutSerial());
  SendMessageA(apply, WM_SETFONT, reinterpret_cast<WPARAM>(engine.Editor().fonts[0]), FALSE);
  SendMessageA(revert, WM_SETFONT, reinterpret_cast<WPARAM>(engine.Editor().fonts[0]), FALSE);

  engine.Editor().gui_view =
      child(WS_EX_STATICEDGE, editor_text::kGuiViewClass, editor_text::kGuiViewTitle, view_style, x, y, w, h, 0);

  BuildMenus();
  ComputeContent(engine);
  SendMessageA(status, WM_SIZE, 0, 0);
  UpdateScrollRanges(engine);
  ShowView(engine);
  ShowWindow(main, SW_SHOW);
  BringWindowToTop(main);
  UpdateWindow(main);
  // A problem kept while the editor was closed (a refused host restore) is
  // told now, with nothing of the engine held.
  std::string problem;
  if (engine.TakeUnseenProblem(problem)) {
    SetStatusText(engine, problem);
    Ui().ShowMessage(main, problem.c_str(), editor_text::kTitle, kMbOk | kMbIconExclamation);
  } else if (!(problem = ProblemLine(engine)).empty()) {
    SetStatusText(engine, problem);
  }
}

void ShowAbout(PatchEngine& engine) { editor::RunDialog(engine, IDD_ABOUT); }

}  // namespace korvel

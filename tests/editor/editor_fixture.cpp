#include "tests/editor/editor_fixture.h"

#include <filesystem>
#include <fstream>
#include <utility>

namespace korvel::testing {
namespace {

// A timer watches the modal loops tests open: a pop-up menu is noted and
// closed, a dialog handed to its driver, then cancelled if still open. It
// waits a few ticks first, so the window has painted, and never while a
// driver runs (a driver's own message loops bring it back).
std::function<void(HWND)> g_driver;
HMENU g_popup = nullptr;
RECT g_popup_rect = {};
int g_ticks = 0;
bool g_driving = false;

void CALLBACK Watch(HWND, UINT, UINT_PTR, DWORD) {
  HWND menu = FindWindowA("#32768", nullptr);
  HWND dialog = FindWindowA("#32770", nullptr);
  if (++g_ticks < 3) return;
  if (menu != nullptr && IsWindowVisible(menu)) {
    g_popup = reinterpret_cast<HMENU>(SendMessageA(menu, MN_GETHMENU, 0, 0));
    GetWindowRect(menu, &g_popup_rect);
    EndMenu();
  } else if (dialog != nullptr && IsWindowVisible(dialog) && !g_driving) {
    g_driving = true;
    if (g_driver) std::exchange(g_driver, nullptr)(dialog);
    else EndDialog(dialog, IDCANCEL);
    g_driving = false;
  }
}

template <typename Loop>
auto Watched(Loop loop) {
  g_ticks = 0;
  const UINT_PTR timer = SetTimer(nullptr, 0, 20, Watch);
  auto result = loop();
  KillTimer(nullptr, timer);
  return result;
}

void PumpAll() {
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
}

}  // namespace

int EditorUi::ShowMessage(void*, const char* text, const char* title, unsigned style) {
  messages.push_back({text, title, style});
  if (answers.empty()) return (style & 0xF) == kMbYesNo ? kIdNo : kIdOk;
  const int answer = answers.front();
  answers.pop_front();
  return answer;
}

bool EditorUi::ChooseFile(const FileDialogRequest&, std::string& path) {
  if (files.empty()) return false;
  path = files.front();
  files.pop_front();
  return !path.empty();
}

std::intptr_t EditorUi::RunDialog(void* owner, int template_id) {
  dialogs.push_back(template_id);
  g_driver = nullptr;
  if (!drivers.empty()) {
    g_driver = std::move(drivers.front());
    drivers.pop_front();
  }
  return Watched([&] { return Win32Ui::RunDialog(owner, template_id); });
}

EditorTest::EditorTest() : engine(std::make_unique<PatchEngine>()) {
  engine->ResetEngine();
  PatchEngine::EditLock lock(*engine);
  engine->LendHostLocked(parameter_names, nullptr, nullptr, nullptr);
}

EditorTest::~EditorTest() {
  engine.reset();  // closes the editor
  PumpAll();
}

void EditorTest::SetUp() {
  OpenEditor(*engine);
  Pump();
}

void EditorTest::Mouse(UINT message, int x, int y) {
  const bool dragging = engine->Editor().dragged_slot >= 0 || engine->Editor().wire_drag;
  const WPARAM keys = message == WM_MOUSEMOVE && dragging ? MK_LBUTTON : 0;
  SendMessageA(
      View(), message, keys,
      MAKELPARAM(static_cast<WORD>(x + engine->Editor().scroll_x), static_cast<WORD>(y + engine->Editor().scroll_y)));
}

void EditorTest::Drag(int x0, int y0, int x1, int y1) {
  Mouse(WM_LBUTTONDOWN, x0, y0);
  Mouse(WM_MOUSEMOVE, (x0 + x1) / 2, (y0 + y1) / 2);
  Mouse(WM_MOUSEMOVE, x1, y1);
  Mouse(WM_LBUTTONUP, x1, y1);
}

int EditorTest::Add(int command, int x, int y) {
  Mouse(WM_MOUSEMOVE, x, y);
  bool before[kSlotCount];
  for (int s = 0; s < kSlotCount; ++s) before[s] = engine->IsOccupied(s);
  Command(command);
  for (int s = 0; s < kSlotCount; ++s)
    if (!before[s] && engine->IsOccupied(s)) return s;
  return -1;
}

std::vector<int> EditorTest::Build(std::initializer_list<std::array<int, 3>> parts,
                                   std::initializer_list<std::array<int, 4>> wires) {
  std::vector<int> slots;
  for (const auto& [command, x, y] : parts) slots.push_back(Add(command, x, y));
  for (const auto& [from, k, to, j] : wires) DragWire(slots[from], k, slots[to], j);
  return slots;
}

void EditorTest::Pump() {
  PumpAll();
  if (Main() != nullptr) RedrawWindow(Main(), nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
}

HMENU OpenedPopup(const std::function<void()>& action, RECT* where) {
  g_popup = nullptr;
  Watched([&] { return action(), 0; });
  if (where != nullptr) *where = g_popup_rect;
  return g_popup;
}

void Screenshot(HWND window, const char* name) {
  // Children paint on their own messages: let them all through first.
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
  for (int round = 0; round < 5; ++round, Sleep(10)) PumpAll();
  GdiFlush();
  RECT r;
  GetWindowRect(window, &r);
  const LONG w = r.right - r.left, h = r.bottom - r.top;
  BITMAPINFOHEADER info = {sizeof info, w, h, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HDC screen = GetDC(nullptr), memory = CreateCompatibleDC(screen);
  HBITMAP bitmap =
      CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
  GdiFlush();
  // build/<preset>/screenshots, beside the bin folder that holds the tests.
  char exe[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, exe, MAX_PATH);
  const auto folder = std::filesystem::path(exe).parent_path().parent_path() / "screenshots";
  std::filesystem::create_directories(folder);
  std::ofstream file(folder / (std::string(name) + ".bmp"), std::ios::binary);
  const DWORD size = static_cast<DWORD>((3 * w + 3) / 4 * 4 * h), offset = sizeof(BITMAPFILEHEADER) + sizeof info;
  const BITMAPFILEHEADER header = {0x4D42, offset + size, 0, 0, offset};
  file.write(reinterpret_cast<const char*>(&header), sizeof header);
  file.write(reinterpret_cast<const char*>(&info), sizeof info);
  file.write(static_cast<const char*>(bits), size);
  EXPECT_TRUE(file.good()) << name;
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
}

}  // namespace korvel::testing

int main(int argc, char** argv) {
  // Under Wine on a bare X server there is no window manager: Wine then
  // waits two seconds for one at every window destruction and leaves
  // captions undrawn, unless told to manage the windows itself.
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\X11 Driver", 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                      nullptr) == ERROR_SUCCESS) {
    RegSetValueExA(key, "Managed", 0, REG_SZ, reinterpret_cast<const BYTE*>("N"), 2);
    RegCloseKey(key);
  }
  ::testing::InitGoogleTest(&argc, argv);
  korvel::EditorAttach(GetModuleHandleA(nullptr));
  const int failed = RUN_ALL_TESTS();
  korvel::EditorDetach();
  return failed;
}

#include "tests/editor/editor_fixture.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "resources/resource.h"

namespace korvel::testing {
namespace {

constexpr UINT kTick = 20;        // milliseconds between timer checks
constexpr int kGiveUpTicks = 250;  // five seconds: a modal loop never hangs a test

// --- Modal dialogs ---------------------------------------------------------

struct DialogWatch {
  EditorUi* ui = nullptr;
  DialogDriver driver;
  int ticks = 0;
  bool driven = false;
};
DialogWatch g_dialog;

BOOL CALLBACK FindDialogWindow(HWND window, LPARAM found) {
  char name[32] = {};
  GetClassNameA(window, name, sizeof name);
  if (std::strcmp(name, "#32770") == 0 && IsWindowVisible(window) && IsWindowEnabled(window)) {
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
  }
  return TRUE;
}

HWND OpenDialog() {
  HWND found = nullptr;
  EnumThreadWindows(GetCurrentThreadId(), FindDialogWindow, reinterpret_cast<LPARAM>(&found));
  return found;
}

void CALLBACK DialogTimer(HWND, UINT, UINT_PTR, DWORD) {
  ++g_dialog.ticks;
  HWND dialog = OpenDialog();
  // A few ticks first, so the dialog has painted before the driver looks.
  if (dialog != nullptr && !g_dialog.driven && g_dialog.ticks >= 3) {
    g_dialog.driven = true;
    DialogDriver driver = std::move(g_dialog.driver);
    driver(dialog);
    return;
  }
  if (g_dialog.ticks > kGiveUpTicks && dialog != nullptr) {
    g_dialog.ui->dialog_timed_out = true;
    EndDialog(dialog, IDCANCEL);
  }
}

// --- Pop-up menus ----------------------------------------------------------

HMENU g_popup = nullptr;
RECT g_popup_rect = {};
int g_popup_ticks = 0;

void CALLBACK PopupTimer(HWND, UINT, UINT_PTR, DWORD) {
  ++g_popup_ticks;
  HWND menu = FindWindowA("#32768", nullptr);
  if (menu != nullptr && IsWindowVisible(menu) && g_popup_ticks >= 3) {
    g_popup = reinterpret_cast<HMENU>(SendMessageA(menu, MN_GETHMENU, 0, 0));
    GetWindowRect(menu, &g_popup_rect);
    EndMenu();
  } else if (g_popup_ticks > kGiveUpTicks) {
    EndMenu();
  }
}

// --- PNG (stored deflate blocks: no compressor needed) ----------------------

std::uint32_t Crc32(const std::uint8_t* data, std::size_t n, std::uint32_t crc = 0) {
  crc = ~crc;
  for (std::size_t i = 0; i < n; ++i) {
    crc ^= data[i];
    for (int b = 0; b < 8; ++b) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void PutBigEndian(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

void Chunk(std::vector<std::uint8_t>& png, const char* type, const std::vector<std::uint8_t>& data) {
  PutBigEndian(png, static_cast<std::uint32_t>(data.size()));
  std::vector<std::uint8_t> body(type, type + 4);
  body.insert(body.end(), data.begin(), data.end());
  png.insert(png.end(), body.begin(), body.end());
  PutBigEndian(png, Crc32(body.data(), body.size()));
}

// rgb: rows of 3·width bytes.
bool WritePng(const std::string& path, int width, int height, const std::vector<std::uint8_t>& rgb) {
  std::vector<std::uint8_t> raw;
  for (int y = 0; y < height; ++y) {
    raw.push_back(0);  // no filter
    raw.insert(raw.end(), rgb.begin() + y * width * 3, rgb.begin() + (y + 1) * width * 3);
  }
  std::vector<std::uint8_t> zlib = {0x78, 0x01};
  for (std::size_t at = 0; at < raw.size() || at == 0; at += 65535) {
    const std::size_t n = std::min<std::size_t>(65535, raw.size() - at);
    zlib.push_back(at + n >= raw.size() ? 1 : 0);
    zlib.push_back(static_cast<std::uint8_t>(n));
    zlib.push_back(static_cast<std::uint8_t>(n >> 8));
    zlib.push_back(static_cast<std::uint8_t>(~n));
    zlib.push_back(static_cast<std::uint8_t>(~n >> 8));
    zlib.insert(zlib.end(), raw.begin() + at, raw.begin() + at + n);
    if (raw.empty()) break;
  }
  std::uint32_t a = 1, b = 0;
  for (std::uint8_t byte : raw) {
    a = (a + byte) % 65521;
    b = (b + a) % 65521;
  }
  PutBigEndian(zlib, (b << 16) | a);

  std::vector<std::uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<std::uint8_t> header;
  PutBigEndian(header, static_cast<std::uint32_t>(width));
  PutBigEndian(header, static_cast<std::uint32_t>(height));
  header.insert(header.end(), {8, 2, 0, 0, 0});  // 8-bit RGB
  Chunk(png, "IHDR", header);
  Chunk(png, "IDAT", zlib);
  Chunk(png, "IEND", {});
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool ok = std::fwrite(png.data(), 1, png.size(), file) == png.size();
  return std::fclose(file) == 0 && ok;
}

// build/<preset>/screenshots, beside the bin folder that holds the tests.
std::string ScreenshotFolder() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder = path;
  folder.resize(folder.find_last_of("\\/"));           // .../bin
  folder.resize(folder.find_last_of("\\/"));           // .../build/<preset>
  folder += "\\screenshots";
  CreateDirectoryA(folder.c_str(), nullptr);
  return folder;
}

}  // namespace

// Under Wine on a bare X server there is no window manager: Wine then waits
// two seconds for one at every window destruction and leaves captions
// undrawn. Wine's own setting lets it manage the windows itself; windows
// ignores the key.
void LeaveWindowsUnmanaged() {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\X11 Driver", 0, nullptr, 0, KEY_SET_VALUE,
                      nullptr, &key, nullptr) != ERROR_SUCCESS)
    return;
  static const char kNo[] = "N";
  RegSetValueExA(key, "Managed", 0, REG_SZ, reinterpret_cast<const BYTE*>(kNo), sizeof kNo);
  RegCloseKey(key);
}

namespace {

class EditorEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { EditorAttach(GetModuleHandleA(nullptr)); }
  void TearDown() override { EditorDetach(); }
};

}  // namespace

int EditorUi::ShowMessage(void*, const char* text, const char* title, unsigned style) {
  messages.push_back({text, title, style});
  if (answers.empty()) return (style & 0xF) == kMbYesNo ? kIdNo : kIdOk;
  const int answer = answers.front();
  answers.pop_front();
  return answer;
}

bool EditorUi::ChooseFile(const FileDialogRequest& request, std::string& path) {
  file_requests.push_back(request);
  if (files.empty()) return false;
  path = files.front();
  files.pop_front();
  return !path.empty();
}

std::intptr_t EditorUi::RunDialog(void* owner, int template_id) {
  dialogs.push_back(template_id);
  g_dialog = {};
  g_dialog.ui = this;
  if (drivers.empty()) {
    g_dialog.driver = [](HWND dialog) { SendMessageA(dialog, WM_CLOSE, 0, 0); };
  } else {
    g_dialog.driver = std::move(drivers.front());
    drivers.pop_front();
  }
  const UINT_PTR timer = SetTimer(nullptr, 0, kTick, DialogTimer);
  const std::intptr_t result = Win32Ui::RunDialog(owner, template_id);
  KillTimer(nullptr, timer);
  return result;
}

EditorTest::EditorTest() {
  engine = std::make_unique<PatchEngine>();
  engine->ResetEngine();
  for (int i = 0; i < kNamedParameterCount; ++i) engine->parameter_names[i] = parameter_names[i];
}

EditorTest::~EditorTest() {
  engine.reset();  // closes the editor
  Pump();
}

void EditorTest::SetUp() {
  OpenEditor(*engine);
  Pump();
}

void EditorTest::Mouse(UINT message, int x, int y) {
  const int cx = x + engine->scroll_x;
  const int cy = y + engine->scroll_y;
  const WPARAM keys = message == WM_MOUSEMOVE && (engine->dragged_slot >= 0 || engine->wire_drag)
                          ? MK_LBUTTON
                          : 0;
  SendMessageA(View(), message, keys, MAKELPARAM(static_cast<WORD>(cx), static_cast<WORD>(cy)));
}

int EditorTest::Add(int command, int x, int y) {
  Mouse(WM_MOUSEMOVE, x, y);
  int before[kSlotCount];
  for (int s = 0; s < kSlotCount; ++s) before[s] = engine->descriptor[s] != nullptr;
  Command(command);
  for (int s = 0; s < kSlotCount; ++s)
    if (!before[s] && engine->descriptor[s] != nullptr) return s;
  return -1;
}

void EditorTest::DragWire(int from, int k, int to, int j) {
  const ComponentDescriptor& a = *engine->descriptor[from];
  const ComponentDescriptor& b = *engine->descriptor[to];
  const int x0 = a.x + 74, y0 = a.y + 8 * k + 6;
  const int x1 = b.x + 6, y1 = b.y + 8 * j + 6;
  Mouse(WM_LBUTTONDOWN, x0, y0);
  Mouse(WM_MOUSEMOVE, (x0 + x1) / 2, (y0 + y1) / 2);
  Mouse(WM_MOUSEMOVE, x1, y1);
  Mouse(WM_LBUTTONUP, x1, y1);
}

void EditorTest::DragBox(int slot, int to_x, int to_y) {
  const ComponentDescriptor& d = *engine->descriptor[slot];
  const int grab_x = d.x + 30, grab_y = d.y + 3;
  Mouse(WM_LBUTTONDOWN, grab_x, grab_y);
  Mouse(WM_MOUSEMOVE, (grab_x + to_x + 30) / 2, (grab_y + to_y + 3) / 2);
  Mouse(WM_MOUSEMOVE, to_x + 30, to_y + 3);
  Mouse(WM_LBUTTONUP, to_x + 30, to_y + 3);
}

void EditorTest::Pump() {
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  if (engine != nullptr && engine->main_window != nullptr)
    RedrawWindow(Main(), nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
}

HMENU OpenedPopup(const std::function<void()>& action, RECT* where) {
  g_popup = nullptr;
  g_popup_rect = {};
  g_popup_ticks = 0;
  const UINT_PTR timer = SetTimer(nullptr, 0, kTick, PopupTimer);
  action();
  KillTimer(nullptr, timer);
  if (where != nullptr) *where = g_popup_rect;
  return g_popup;
}

RECT ChildRect(HWND child) {
  RECT r;
  GetWindowRect(child, &r);
  MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

std::string StatusText(HWND status_bar) {
  wchar_t text[512] = {};
  SendMessageW(status_bar, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text));
  char utf8[1024] = {};
  WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
  return utf8;
}

void Screenshot(HWND window, const char* name) {
  // Children paint on their own messages: let them all through first.
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
  for (int round = 0; round < 5; ++round) {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
    Sleep(10);
  }
  GdiFlush();
  RECT r;
  GetWindowRect(window, &r);
  const int w = r.right - r.left, h = r.bottom - r.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = w;
  info.bmiHeader.biHeight = -h;  // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HBITMAP dib = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, dib);
  BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
  GdiFlush();
  std::vector<std::uint8_t> rgb(static_cast<std::size_t>(w) * h * 3);
  const auto* bgra = static_cast<const std::uint8_t*>(bits);
  for (int i = 0; i < w * h; ++i) {
    rgb[3 * i] = bgra[4 * i + 2];
    rgb[3 * i + 1] = bgra[4 * i + 1];
    rgb[3 * i + 2] = bgra[4 * i];
  }
  SelectObject(memory, old);
  DeleteObject(dib);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  const std::string path = ScreenshotFolder() + "\\" + name + ".png";
  EXPECT_TRUE(WritePng(path, w, h, rgb)) << path;
}

COLORREF ScreenPixel(HWND window, int x, int y) {
  RedrawWindow(window, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
  GdiFlush();
  POINT p = {x, y};
  ClientToScreen(window, &p);
  HDC screen = GetDC(nullptr);
  const COLORREF colour = GetPixel(screen, p.x, p.y);
  ReleaseDC(nullptr, screen);
  return colour;
}

}  // namespace korvel::testing

int main(int argc, char** argv) {
  korvel::testing::LeaveWindowsUnmanaged();
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new korvel::testing::EditorEnvironment);
  return RUN_ALL_TESTS();
}

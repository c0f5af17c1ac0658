// The Module View: boxes, ports and wires, drawn off-screen and copied in
// one transfer; dragging boxes and wires; the two pop-up menus.
#include <windows.h>
#include <windowsx.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "editor/editor_internal.h"
#include "editor/editor_texts.h"

namespace korvel::editor {
namespace {

constexpr COLORREF kWireColour = 0x602F2F;
constexpr int kPortPitch = 8;
constexpr int kOutputColumn = 70;  // px > x + 70: the output ports
constexpr int kInputColumn = 10;   // px < x + 10: the input ports, for a drop
constexpr int kMargin = 50;
constexpr int kLineStep = 10;
constexpr int kWheelLines = 3;

struct Point {
  int x, y;
};

PatchEngine* EngineOf(HWND view) { return FindEngine(GetParent(view)); }

// Message coordinates are signed 16-bit client values.
Point ModulePoint(const PatchEngine& engine, LPARAM lparam) {
  return {GET_X_LPARAM(lparam) - engine.Editor().scroll_x, GET_Y_LPARAM(lparam) - engine.Editor().scroll_y};
}

// Strict on all four sides: the border line itself is outside.
bool Contains(const ComponentDescriptor& d, Point p) {
  return d.x < p.x && p.x < d.x + d.width && d.y < p.y && p.y < d.y + d.height;
}

// The largest port row below `count` whose top edge lies above py.
int RowAt(const ComponentDescriptor& d, int count, int py) {
  int row = -1;
  for (int k = 0; k < count; ++k)
    if (py > d.y + kPortPitch * k + 3) row = k;
  return row;
}

// The box drawn on top at p: later slots are painted over earlier ones.
int BoxAt(const PatchEngine& engine, Point p) {
  for (int s = engine.SlotCount() - 1; s >= 0; --s) {
    const ComponentDescriptor* d = engine.Descriptor(s);
    if (d != nullptr && Contains(*d, p)) return s;
  }
  return -1;
}

Point OutputStart(const ComponentDescriptor& d, int k) {
  return {d.x + 76, d.y + kPortPitch * k + 6};
}

Point InputEnd(const ComponentDescriptor& d, int j) {
  return {d.x + 4, d.y + kPortPitch * j + 6};
}

void Repaint(HWND view) { InvalidateRect(view, nullptr, FALSE); }

void UpdateStatus(PatchEngine& engine, Point p) { SetStatusText(engine, StatusTextAt(engine, p.x, p.y)); }

void Paint(HWND view, PatchEngine& engine) {
  HBRUSH black = CreateSolidBrush(RGB(0, 0, 0));
  HBRUSH background = CreateSolidBrush(kViewBackground);
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(view, &paint);
  RECT client;
  GetClientRect(view, &client);
  HDC memory = CreateCompatibleDC(dc);
  HBITMAP bitmap = CreateCompatibleBitmap(dc, std::max<LONG>(client.right, 1),
                                          std::max<LONG>(client.bottom, 1));
  HGDIOBJ old_bitmap = SelectObject(memory, bitmap);
  FillRect(memory, &client, background);
  HGDIOBJ old_font = SelectObject(memory, static_cast<HFONT>(engine.Editor().fonts[0]));
  SetBkMode(memory, TRANSPARENT);
  SetTextColor(memory, RGB(0, 0, 0));

  const int sx = engine.Editor().scroll_x;
  const int sy = engine.Editor().scroll_y;
  HPEN white = CreatePen(PS_SOLID, 1, RGB(255, 255, 255));
  // The slot tables are read under the edit lock: a host restoring a
  // project may replace them from its own thread.
  auto lock = engine.LockEdits();
  for (int s = 0; s < engine.SlotCount(); ++s) {
    const ComponentDescriptor* d = engine.Descriptor(s);
    if (d == nullptr) continue;
    RECT box = {d->x + sx, d->y + sy, d->x + d->width + sx, d->y + d->height + sy};
    HBRUSH fill = CreateSolidBrush(d->colour);
    FillRect(memory, &box, fill);
    DeleteObject(fill);
    DrawTextA(memory, d->label, -1, &box, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    for (int j = 0; j < d->input_count; ++j) {
      RECT port = {d->x + 4 + sx, d->y + kPortPitch * j + 4 + sy, d->x + 8 + sx,
                   d->y + kPortPitch * j + 8 + sy};
      FillRect(memory, &port, black);
    }
    for (int k = 0; k < d->output_count; ++k) {
      RECT port = {d->x + 72 + sx, d->y + kPortPitch * k + 4 + sy, d->x + 76 + sx,
                   d->y + kPortPitch * k + 8 + sy};
      FillRect(memory, &port, black);
    }
    if (s == engine.Editor().selected_slot) {
      const int l = d->x + 1 + sx, t = d->y + 1 + sy;
      const int r = d->x + d->width - 2 + sx, b = d->y + d->height - 2 + sy;
      const POINT frame[] = {{l, t}, {r, t}, {r, b}, {l, b}, {l, t}};
      HGDIOBJ old_pen = SelectObject(memory, white);
      Polyline(memory, frame, 5);
      SelectObject(memory, old_pen);
    }
  }

  HPEN wire = CreatePen(PS_SOLID, 1, kWireColour);
  HGDIOBJ old_pen = SelectObject(memory, wire);
  if (engine.Editor().wire_drag == 1 && engine.IsOccupied(engine.Editor().wire_source_slot)) {
    const Point start =
        OutputStart(*engine.Descriptor(engine.Editor().wire_source_slot), engine.Editor().wire_source_output);
    MoveToEx(memory, start.x + sx, start.y + sy, nullptr);
    LineTo(memory, engine.Editor().wire_end_x + sx, engine.Editor().wire_end_y + sy);
  }
  for (int t = 0; t < engine.SlotCount(); ++t) {
    const ComponentDescriptor* d = engine.Descriptor(t);
    if (d == nullptr) continue;
    for (int j = 0; j < d->input_count; ++j) {
      const std::uint16_t s = d->input_source_slot[j];
      if (s == kNoSlot || engine.Descriptor(s) == nullptr) continue;
      const Point p0 = OutputStart(*engine.Descriptor(s), d->input_source_output[j]);
      const Point p3 = InputEnd(*d, j);
      const int mid = p0.x + (p3.x - p0.x) / 2;
      const POINT curve[] = {
          {p0.x + sx, p0.y + sy}, {mid + sx, p0.y + sy}, {mid + sx, p3.y + sy}, {p3.x + sx, p3.y + sy}};
      PolyBezier(memory, curve, 4);
    }
  }

  BitBlt(dc, 0, 0, client.right, client.bottom, memory, 0, 0, SRCCOPY);
  SelectObject(memory, old_pen);
  SelectObject(memory, old_font);
  SelectObject(memory, old_bitmap);
  DeleteObject(wire);
  DeleteObject(white);
  DeleteObject(bitmap);
  DeleteDC(memory);
  DeleteObject(black);
  DeleteObject(background);
  EndPaint(view, &paint);
}

// Moves the view so bar position `position` (clamped to the range) shows.
void ScrollTo(HWND view, PatchEngine& engine, int bar, int position) {
  SCROLLINFO info = {sizeof info, SIF_ALL, 0, 0, 0, 0, 0};
  GetScrollInfo(view, bar, &info);
  const int last = std::max(info.nMax - static_cast<int>(info.nPage) + 1, 0);  // largest thumb position
  position = std::clamp(position, 0, last);
  (bar == SB_HORZ ? engine.Editor().scroll_x : engine.Editor().scroll_y) = -position;
  info.fMask = SIF_POS;
  info.nPos = position;
  SetScrollInfo(view, bar, &info, TRUE);
  Repaint(view);
}

void Scroll(HWND view, PatchEngine& engine, int bar, int code) {
  SetFocus(view);
  SCROLLINFO info = {sizeof info, SIF_ALL, 0, 0, 0, 0, 0};
  GetScrollInfo(view, bar, &info);
  const int page = static_cast<int>(info.nPage);
  int position = -(bar == SB_HORZ ? engine.Editor().scroll_x : engine.Editor().scroll_y);
  switch (code) {
    case SB_LINEUP:
      position -= kLineStep;
      break;
    case SB_LINEDOWN:
      position += kLineStep;
      break;
    case SB_PAGEUP:
      position -= page;
      break;
    case SB_PAGEDOWN:
      position += page;
      break;
    case SB_THUMBTRACK:
      position = info.nTrackPos;
      break;
    default:
      Repaint(view);
      return;
  }
  ScrollTo(view, engine, bar, position);
}

// The wheel scrolls three lines a notch; Shift (or a sideways wheel) scrolls
// across.
void Wheel(HWND view, PatchEngine& engine, int delta, bool across) {
  const int bar = across ? SB_HORZ : SB_VERT;
  const int position = -(across ? engine.Editor().scroll_x : engine.Editor().scroll_y);
  ScrollTo(view, engine, bar, position - delta * kWheelLines * kLineStep / WHEEL_DELTA);
}

void LeftDown(HWND view, PatchEngine& engine, Point p) {
  SetFocus(view);  // so the Delete key and the wheel reach the view
  engine.Editor().selected_slot = -1;
  engine.Editor().new_component_x = p.x;
  engine.Editor().new_component_y = p.y;
  const int s = BoxAt(engine, p);
  if (s >= 0) {
    const ComponentDescriptor& d = *engine.Descriptor(s);
    if (p.x <= d.x + kOutputColumn) {
      engine.Editor().selected_slot = s;
      engine.Editor().dragged_slot = s;
      engine.Editor().drag_offset_x = p.x - d.x;
      engine.Editor().drag_offset_y = p.y - d.y;
      SetCapture(view);
    } else if (const int k = RowAt(d, d.output_count, p.y); k >= 0) {
      // Picking up an output takes its old wire away at once.
      engine.DetachOutput(s, k);
      engine.Editor().wire_drag = 1;
      engine.Editor().wire_end_x = p.x;
      engine.Editor().wire_end_y = p.y;
      engine.Editor().wire_source_slot = s;
      engine.Editor().wire_source_output = k;
      SetCapture(view);
    }
  }
  UpdateStatus(engine, p);
  Repaint(view);
}

void Move(HWND view, PatchEngine& engine, Point p) {
  engine.Editor().new_component_x = p.x;
  engine.Editor().new_component_y = p.y;
  UpdateStatus(engine, p);
  if (engine.IsOccupied(engine.Editor().dragged_slot)) {
    // Never above or left of the content's origin, where no scrolling
    // could reach the box again.
    engine.MoveComponent(engine.Editor().dragged_slot, std::max(p.x - engine.Editor().drag_offset_x, 0),
                         std::max(p.y - engine.Editor().drag_offset_y, 0));
    const ComponentDescriptor& d = *engine.Descriptor(engine.Editor().dragged_slot);
    bool grown = false;
    if (d.x + d.width + kMargin > engine.Editor().content_width) {
      engine.Editor().content_width = d.x + d.width + kMargin;
      grown = true;
    }
    if (d.y + d.height + kMargin > engine.Editor().content_height) {
      engine.Editor().content_height = d.y + d.height + kMargin;
      grown = true;
    }
    if (grown) UpdateScrollRanges(engine);
    Repaint(view);
  } else if (engine.Editor().wire_drag == 1) {
    engine.Editor().wire_end_x = p.x;
    engine.Editor().wire_end_y = p.y;
    Repaint(view);
  }
}

// Slots that would close a loop (ClosesLoop, the rule Connect refuses by)
// are passed over, so a box beneath them can still take the wire.
void DropWire(PatchEngine& engine, Point p) {
  const int source = engine.Editor().wire_source_slot;
  int target = -1, input = -1;
  {
    auto lock = engine.LockEdits();
    if (!engine.IsOccupied(source)) return;
    // Topmost box first, as with every other hit test.
    for (int n = engine.SlotCount() - 1; n >= 0; --n) {
      const ComponentDescriptor* d = engine.Descriptor(n);
      if (d == nullptr || engine.ClosesLoop(source, n)) continue;
      if (!Contains(*d, p)) continue;
      if (p.x >= d->x + kInputColumn) return;  // on the body: no connection
      const int j = RowAt(*d, d->input_count, p.y);
      if (j < 0) continue;
      target = n;
      input = j;
      break;
    }
  }
  if (target >= 0) engine.Connect(source, engine.Editor().wire_source_output, target, input);
}

void LeftUp(HWND view, PatchEngine& engine, Point p) {
  engine.Editor().new_component_x = p.x;
  engine.Editor().new_component_y = p.y;
  if (engine.Editor().dragged_slot >= 0) {
    engine.Editor().dragged_slot = -1;
    engine.Editor().drag_offset_x = engine.Editor().drag_offset_y = 0;
    ReleaseCapture();
    Repaint(view);
  } else if (engine.Editor().wire_drag == 1) {
    engine.Editor().wire_end_x = p.x;
    engine.Editor().wire_end_y = p.y;
    DropWire(engine, p);
    engine.Editor().wire_drag = 0;
    engine.Editor().wire_end_x = engine.Editor().wire_end_y = 0;
    engine.Editor().wire_source_slot = -1;
    engine.Editor().wire_source_output = 0;
    ReleaseCapture();
    Repaint(view);
  }
  UpdateStatus(engine, p);
}

// Another window took the mouse (a message box, Alt+Tab): a box drag ends
// where the box is, a wire drag is dropped on nothing.
void CaptureLost(HWND view, PatchEngine& engine) {
  if (engine.Editor().dragged_slot < 0 && engine.Editor().wire_drag == 0) return;
  engine.Editor().dragged_slot = -1;
  engine.Editor().drag_offset_x = engine.Editor().drag_offset_y = 0;
  engine.Editor().wire_drag = 0;
  engine.Editor().wire_end_x = engine.Editor().wire_end_y = 0;
  engine.Editor().wire_source_slot = -1;
  engine.Editor().wire_source_output = 0;
  Repaint(view);
}

void DoubleClick(HWND view, PatchEngine& engine, Point p) {
  const int s = BoxAt(engine, p);
  if (s < 0) return;
  engine.Editor().selected_slot = s;
  Globals().dialog_engine = &engine;
  Repaint(view);
  UpdateWindow(view);
  OpenSettingsDialog(engine);
  Repaint(view);
}

void RightDown(HWND view, PatchEngine& engine, Point p) {
  SetFocus(view);
  if (const int s = BoxAt(engine, p); s >= 0) engine.Editor().selected_slot = s;
  Repaint(view);
}

void RightUp(HWND view, PatchEngine& engine, LPARAM lparam, Point p) {
  const int s = BoxAt(engine, p);
  engine.Editor().selected_slot = s;
  HMENU menu = s >= 0 ? Globals().component_popup : Globals().view_popup;
  UpdateStatus(engine, p);
  Repaint(view);
  UpdateWindow(view);
  POINT screen = {GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam)};
  ClientToScreen(view, &screen);
  // The chosen command comes back to this view, which hands it on.
  TrackPopupMenu(menu, TPM_LEFTALIGN | TPM_TOPALIGN | TPM_RIGHTBUTTON, screen.x, screen.y, 0, view,
                 nullptr);
  Repaint(view);
}

// "in3" for input index 2; the numbers of the info texts count from 1.
bool LineNamesPort(const char* line, const char* prefix, int number) {
  const std::size_t n = std::strlen(prefix);
  if (std::strncmp(line, prefix, n) != 0) return false;
  char* end = nullptr;
  const long first = std::strtol(line + n, &end, 10);
  if (end == line + n) return false;
  if (*end == ':') return first == number;
  // A range: "out1 - out8: ..."
  while (*end == ' ') ++end;
  if (*end != '-') return false;
  ++end;
  while (*end == ' ') ++end;
  if (std::strncmp(end, prefix, n) != 0) return false;
  const char* last_text = end + n;
  const long last = std::strtol(last_text, &end, 10);
  return end != last_text && *end == ':' && first <= number && number <= last;
}

}  // namespace

std::string PortLine(const char* info, bool output, int index) {
  const char* prefix = output ? "out" : "in";
  const char* line = info;
  while (line != nullptr && *line != '\0') {
    const char* end = std::strpbrk(line, "\r\n");
    const std::size_t length = end != nullptr ? static_cast<std::size_t>(end - line) : std::strlen(line);
    if (LineNamesPort(line, prefix, index + 1)) return std::string(line, length);
    if (end == nullptr) break;
    line = end + std::strspn(end, "\r\n");
  }
  return prefix + std::to_string(index + 1);
}

std::string StatusTextAt(const PatchEngine& engine, int x, int y) {
  auto lock = engine.LockEdits();  // the tables, as Paint reads them
  const Point p = {x, y};
  char text[512];
  if (const int s = BoxAt(engine, p); s >= 0) {
    const ComponentDescriptor& d = *engine.Descriptor(s);
    int row = -1;
    bool output = false;
    if (p.x > d.x + kOutputColumn) {
      output = true;
      row = RowAt(d, d.output_count, p.y);
    } else if (p.x < d.x + kInputColumn) {
      row = RowAt(d, d.input_count, p.y);
    }
    if (row >= 0) {
      const std::string info = engine.ComponentInfo(s);
      std::snprintf(text, sizeof text, editor_text::kPortStatus, d.label,
                    PortLine(info.c_str(), output, row).c_str());
      return text;
    }
  }
  const int selected = engine.Editor().selected_slot;
  if (!engine.IsOccupied(selected)) return ProblemLine(engine);
  const auto* type_name =
      reinterpret_cast<const char*>(engine.Dispatch(selected)(kGetName, nullptr, nullptr));
  std::snprintf(text, sizeof text, editor_text::kSelectionStatus, engine.Descriptor(selected)->label,
                type_name != nullptr ? type_name : "");
  return text;
}

LRESULT CALLBACK ModuleViewProc(HWND view, UINT message, WPARAM wparam, LPARAM lparam) {
  PatchEngine* engine = EngineOf(view);
  if (engine == nullptr) return DefWindowProcA(view, message, wparam, lparam);
  switch (message) {
    case WM_CREATE:
      return 0;
    case WM_SIZE:
      if (wparam != SIZE_MINIMIZED) {
        UpdateScrollRanges(*engine);
        Repaint(view);
      }
      return 0;
    case WM_PAINT:
      Paint(view, *engine);
      return 0;
    case WM_HSCROLL:
      Scroll(view, *engine, SB_HORZ, LOWORD(wparam));
      return 1;
    case WM_VSCROLL:
      Scroll(view, *engine, SB_VERT, LOWORD(wparam));
      return 1;
    case WM_MOUSEMOVE:
      Move(view, *engine, ModulePoint(*engine, lparam));
      break;
    case WM_CAPTURECHANGED:
      CaptureLost(view, *engine);
      break;
    case WM_MOUSEWHEEL:
      Wheel(view, *engine, GET_WHEEL_DELTA_WPARAM(wparam), (GET_KEYSTATE_WPARAM(wparam) & MK_SHIFT) != 0);
      return 0;
    case WM_MOUSEHWHEEL:
      Wheel(view, *engine, -GET_WHEEL_DELTA_WPARAM(wparam), true);
      return 0;
    case WM_LBUTTONDOWN:
      LeftDown(view, *engine, ModulePoint(*engine, lparam));
      break;
    case WM_LBUTTONUP:
      LeftUp(view, *engine, ModulePoint(*engine, lparam));
      break;
    case WM_LBUTTONDBLCLK:
      DoubleClick(view, *engine, ModulePoint(*engine, lparam));
      break;
    case WM_RBUTTONDOWN:
      RightDown(view, *engine, ModulePoint(*engine, lparam));
      break;
    case WM_RBUTTONUP:
      RightUp(view, *engine, lparam, ModulePoint(*engine, lparam));
      break;
    case WM_KEYDOWN:
    case WM_KEYUP:
    case WM_CHAR:
    case WM_COMMAND:
      return SendMessageA(GetParent(view), message, wparam, lparam);
    default:
      break;
  }
  return DefWindowProcA(view, message, wparam, lparam);
}

}  // namespace korvel::editor

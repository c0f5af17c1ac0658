// The Module View: boxes, ports and wires, drawn off-screen and copied in
// one transfer; dragging boxes and wires; the two pop-up menus.
#include <windows.h>
#include <windowsx.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "editor/editor_internal.h"
#include "editor/editor_texts.h"
#include "editor/utf8.h"

namespace korvel::editor {
namespace {

using editor_core::BoxAt;
using editor_core::Hit;
using editor_core::Point;
namespace geometry = module_view;

constexpr COLORREF kSelectionOutline = 0x202020;
constexpr int kLineStep = 10;
constexpr int kWheelLines = 3;
// Dragging past an edge scrolls the view, on a timer while the pointer
// stays out, by the distance past the edge, at most this much a tick.
constexpr int kAutoScrollStep = 40;
constexpr UINT_PTR kAutoScrollTimer = 1;
constexpr UINT kAutoScrollMs = 50;

// [window thread] The rubber band being dragged over empty space, in module
// coordinates; one pointer drags at a time.
struct Band {
  bool active = false;
  bool add = false;  // Shift held: the band adds to the selection
  Point start{}, end{};
};
Band& RubberBand() {
  static Band band;
  return band;
}
// Where a box drag's press was, so the selection moves by the pointer's way.
Point& DragStart() {
  static Point start{};
  return start;
}

// Why the last drop connected nothing, for the status bar until the next
// press; empty when it connected or was dropped on nothing. [window thread]
std::string g_refusal;

// The last press picked up a wired output, so a double-click it began
// takes that back. [window thread]
bool g_took_wire = false;

// The pointer's last place during a drag, in client coordinates, for the
// auto-scroll timer.
Point g_drag_client = {0, 0};

PatchEngine* EngineOf(HWND view) { return FindEngine(GetParent(view)); }

// Message coordinates are signed 16-bit client values.
Point ModulePoint(const PatchEngine& engine, LPARAM lparam) {
  return {GET_X_LPARAM(lparam) - engine.Editor().scroll_x, GET_Y_LPARAM(lparam) - engine.Editor().scroll_y};
}

bool ShiftHeld() { return (GetKeyState(VK_SHIFT) & 0x8000) != 0; }

void Repaint(HWND view) { InvalidateRect(view, nullptr, FALSE); }

void UpdateStatus(PatchEngine& engine, Point p) {
  SetStatusText(engine, g_refusal.empty() ? StatusTextAt(engine, p.x, p.y) : g_refusal);
}

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
  const editor_core::EditorCore& core = CoreOf(engine);
  HPEN white = CreatePen(PS_SOLID, 1, RGB(255, 255, 255));
  HPEN dark = CreatePen(PS_SOLID, 1, kSelectionOutline);
  for (int s = 0; s < engine.SlotCount(); ++s) {
    const ComponentDescriptor* d = engine.Descriptor(s);
    if (d == nullptr) continue;
    RECT box = {d->x + sx, d->y + sy, d->x + d->width + sx, d->y + d->height + sy};
    HBRUSH fill = CreateSolidBrush(d->colour);
    FillRect(memory, &box, fill);
    DeleteObject(fill);
    DrawTextW(memory, Wide(d->label).c_str(), -1, &box, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    const auto fill_port = [&](geometry::Rect r) {
      RECT port = {r.left + sx, r.top + sy, r.right + sx, r.bottom + sy};
      FillRect(memory, &port, black);
    };
    for (int j = 0; j < d->input_count; ++j) fill_port(geometry::InputPort(d->x, d->y, j));
    for (int k = 0; k < d->output_count; ++k) fill_port(geometry::OutputPort(d->x, d->y, k));
    if (core.IsSelected(s)) {
      const int l = d->x + 1 + sx, t = d->y + 1 + sy;
      const int r = d->x + d->width - 2 + sx, b = d->y + d->height - 2 + sy;
      const POINT frame[] = {{l, t}, {r, t}, {r, b}, {l, b}, {l, t}};
      // White inside dark: seen on every box colour.
      const POINT outline[] = {{l - 1, t - 1}, {r + 1, t - 1}, {r + 1, b + 1}, {l - 1, b + 1}, {l - 1, t - 1}};
      HGDIOBJ old_pen = SelectObject(memory, dark);
      Polyline(memory, outline, 5);
      SelectObject(memory, white);
      Polyline(memory, frame, 5);
      SelectObject(memory, old_pen);
    }
  }

  HPEN wire = CreatePen(PS_SOLID, geometry::kWireWidth, geometry::kWireColour);
  HGDIOBJ old_pen = SelectObject(memory, wire);
  if (engine.Editor().wire_drag == 1 && engine.IsOccupied(engine.Editor().wire_source_slot)) {
    const ComponentDescriptor& source = *engine.Descriptor(engine.Editor().wire_source_slot);
    const Point start = geometry::OutputStart(source.x, source.y, engine.Editor().wire_source_output);
    MoveToEx(memory, start.x + sx, start.y + sy, nullptr);
    LineTo(memory, engine.Editor().wire_end_x + sx, engine.Editor().wire_end_y + sy);
  }
  for (int t = 0; t < engine.SlotCount(); ++t) {
    const ComponentDescriptor* d = engine.Descriptor(t);
    if (d == nullptr) continue;
    for (int j = 0; j < d->input_count; ++j) {
      const std::uint16_t s = d->input_source_slot[j];
      if (s == kNoSlot || engine.Descriptor(s) == nullptr) continue;
      const ComponentDescriptor& from = *engine.Descriptor(s);
      const geometry::Bezier b = geometry::WireCurve(geometry::OutputStart(from.x, from.y, d->input_source_output[j]),
                                                     geometry::InputEnd(d->x, d->y, j));
      const POINT curve[] = {{b.p0.x + sx, b.p0.y + sy},
                             {b.p1.x + sx, b.p1.y + sy},
                             {b.p2.x + sx, b.p2.y + sy},
                             {b.p3.x + sx, b.p3.y + sy}};
      PolyBezier(memory, curve, 4);
    }
  }
  if (const Band& band = RubberBand(); band.active) {
    // A dotted frame in the wires' colour: seen on the background and on
    // every box.
    HPEN dotted = CreatePen(PS_DOT, 1, geometry::kWireColour);
    SelectObject(memory, dotted);
    SelectObject(memory, GetStockObject(NULL_BRUSH));
    Rectangle(memory, std::min(band.start.x, band.end.x) + sx, std::min(band.start.y, band.end.y) + sy,
              std::max(band.start.x, band.end.x) + sx + 1, std::max(band.start.y, band.end.y) + sy + 1);
    SelectObject(memory, wire);
    DeleteObject(dotted);
  }

  BitBlt(dc, 0, 0, client.right, client.bottom, memory, 0, 0, SRCCOPY);
  SelectObject(memory, old_pen);
  SelectObject(memory, old_font);
  SelectObject(memory, old_bitmap);
  DeleteObject(wire);
  DeleteObject(white);
  DeleteObject(dark);
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

void EndWireDrag(PatchEngine& engine) {
  engine.Editor().wire_drag = 0;
  engine.Editor().wire_end_x = engine.Editor().wire_end_y = 0;
  engine.Editor().wire_source_slot = -1;
  engine.Editor().wire_source_output = 0;
}

void LeftDown(HWND view, PatchEngine& engine, Point p) {
  SetFocus(view);  // so the keys and the wheel reach the view
  g_refusal.clear();
  g_took_wire = false;
  editor_core::EditorCore& core = CoreOf(engine);
  engine.Editor().new_component_x = p.x;
  engine.Editor().new_component_y = p.y;
  const Hit hit = editor_core::PressAt(engine, p);
  if (hit.kind == Hit::kBody && ShiftHeld()) {
    core.ToggleSelected(hit.slot);
  } else if (hit.kind == Hit::kBody) {
    // A press on a selected box drags the whole selection.
    core.BeginMove(hit.slot);
    engine.Editor().selected_slot = hit.slot;
    engine.Editor().dragged_slot = hit.slot;
    const ComponentDescriptor& d = *engine.Descriptor(hit.slot);
    engine.Editor().drag_offset_x = p.x - d.x;
    engine.Editor().drag_offset_y = p.y - d.y;
    DragStart() = p;
    SetCapture(view);
  } else if (hit.kind == Hit::kOutput) {
    // Picking up an output takes its old wire away at once; the drop ends
    // the step, so taking a wire and laying it elsewhere is one undo.
    core.BeginStep(editor_core::step::kDisconnect);
    g_took_wire = engine.Descriptor(hit.slot)->output_target_slot[hit.port] != kNoSlot;
    engine.DetachOutput(hit.slot, hit.port);
    engine.Editor().wire_drag = 1;
    engine.Editor().wire_end_x = p.x;
    engine.Editor().wire_end_y = p.y;
    engine.Editor().wire_source_slot = hit.slot;
    engine.Editor().wire_source_output = hit.port;
    SetCapture(view);
  } else {
    if (!ShiftHeld()) core.ClearSelection();
    RubberBand() = {true, ShiftHeld(), p, p};
    SetCapture(view);
  }
  UpdateStatus(engine, p);
  Repaint(view);
}

void Move(HWND view, PatchEngine& engine, Point p) {
  engine.Editor().new_component_x = p.x;
  engine.Editor().new_component_y = p.y;
  UpdateStatus(engine, p);
  if (engine.IsOccupied(engine.Editor().dragged_slot)) {
    CoreOf(engine).MoveBy(p.x - DragStart().x, p.y - DragStart().y);
    bool grown = false;
    for (int s : CoreOf(engine).Selection()) {
      const ComponentDescriptor& d = *engine.Descriptor(s);
      if (d.x + d.width + geometry::kMargin > engine.Editor().content_width) {
        engine.Editor().content_width = d.x + d.width + geometry::kMargin;
        grown = true;
      }
      if (d.y + d.height + geometry::kMargin > engine.Editor().content_height) {
        engine.Editor().content_height = d.y + d.height + geometry::kMargin;
        grown = true;
      }
    }
    if (grown) UpdateScrollRanges(engine);
    Repaint(view);
  } else if (engine.Editor().wire_drag == 1) {
    engine.Editor().wire_end_x = p.x;
    engine.Editor().wire_end_y = p.y;
    Repaint(view);
  } else if (RubberBand().active) {
    RubberBand().end = p;
    Repaint(view);
  }
}

// How far past the view's edges a client point lies, each axis cut to
// one auto-scroll step.
Point PastTheEdge(HWND view, Point client) {
  RECT area;
  GetClientRect(view, &area);
  const auto past = [](int at, int end) {
    const int by = at < 0 ? at : at >= end ? at - end + 1 : 0;
    return std::clamp(by, -kAutoScrollStep, kAutoScrollStep);
  };
  return {past(client.x, area.right), past(client.y, area.bottom)};
}

// A pointer move during a drag, in client coordinates: the box or wire
// follows, and while the pointer is past an edge the timer scrolls.
void DragMove(HWND view, PatchEngine& engine, Point client) {
  g_drag_client = client;
  Move(view, engine, {client.x - engine.Editor().scroll_x, client.y - engine.Editor().scroll_y});
  const Point past = PastTheEdge(view, client);
  if (past.x != 0 || past.y != 0) {
    SetTimer(view, kAutoScrollTimer, kAutoScrollMs, nullptr);
  } else {
    KillTimer(view, kAutoScrollTimer);
  }
}

// A tick while the pointer is held past an edge: scroll that way (a box
// dragged right or down has grown the content first), and the box or wire
// follows the pointer over the content that moved under it.
void AutoScroll(HWND view, PatchEngine& engine) {
  if (engine.Editor().dragged_slot < 0 && engine.Editor().wire_drag == 0 && !RubberBand().active) {
    KillTimer(view, kAutoScrollTimer);
    return;
  }
  const Point past = PastTheEdge(view, g_drag_client);
  if (past.x != 0) ScrollTo(view, engine, SB_HORZ, past.x - engine.Editor().scroll_x);
  if (past.y != 0) ScrollTo(view, engine, SB_VERT, past.y - engine.Editor().scroll_y);
  DragMove(view, engine, g_drag_client);
}

// Connects the dragged wire to the input at p (the step it began is named
// for what happened). Answers why nothing was connected when the pointer
// was on a box that refused it; empty when it connected, or was dropped on
// nothing or on its own box.
std::string DropWire(PatchEngine& engine, Point p) {
  const int source = engine.Editor().wire_source_slot;
  const Hit drop = editor_core::DropAt(engine, source, p);
  switch (drop.kind) {
    case Hit::kInput:
      if (!engine.Connect(source, engine.Editor().wire_source_output, drop.slot, drop.port)) return editor_text::kWireRefused;
      CoreOf(engine).RenameStep(editor_core::step::kConnect);
      return {};
    case Hit::kBody:
      return editor_text::kWireOnBody;
    case Hit::kLoop: {
      char text[400];
      std::snprintf(text, sizeof text, editor_text::kWireWouldLoop, engine.Descriptor(drop.slot)->label,
                    engine.Descriptor(source)->label);
      return text;
    }
    default:
      return {};
  }
}

void LeftUp(HWND view, PatchEngine& engine, Point p) {
  engine.Editor().new_component_x = p.x;
  engine.Editor().new_component_y = p.y;
  KillTimer(view, kAutoScrollTimer);
  editor_core::EditorCore& core = CoreOf(engine);
  if (engine.Editor().dragged_slot >= 0) {
    engine.Editor().dragged_slot = -1;
    engine.Editor().drag_offset_x = engine.Editor().drag_offset_y = 0;
    core.EndMove();
    ReleaseCapture();
    Repaint(view);
  } else if (engine.Editor().wire_drag == 1) {
    engine.Editor().wire_end_x = p.x;
    engine.Editor().wire_end_y = p.y;
    g_refusal = DropWire(engine, p);
    core.EndStep();
    EndWireDrag(engine);
    ReleaseCapture();
    Repaint(view);
  } else if (RubberBand().active) {
    const Band band = RubberBand();
    RubberBand().active = false;
    core.SelectWhere({band.start.x, band.start.y, p.x, p.y}, band.add);
    ReleaseCapture();
    Repaint(view);
  }
  UpdateStatus(engine, p);
}

// Another window took the mouse (a message box, Alt+Tab): a box drag ends
// where the box is, a wire drag is dropped on nothing, a band selects
// nothing more.
void CaptureLost(HWND view, PatchEngine& engine) {
  editor_core::EditorCore& core = CoreOf(engine);
  if (engine.Editor().dragged_slot >= 0) core.EndMove();
  if (engine.Editor().wire_drag == 1) core.EndStep();
  const bool was_dragging = engine.Editor().dragged_slot >= 0 || engine.Editor().wire_drag != 0 || RubberBand().active;
  engine.Editor().dragged_slot = -1;
  engine.Editor().drag_offset_x = engine.Editor().drag_offset_y = 0;
  EndWireDrag(engine);
  RubberBand().active = false;
  if (was_dragging) Repaint(view);
}

void DoubleClick(HWND view, PatchEngine& engine, Point p) {
  // The first click of a double-click picked an output up by the written
  // rule; a double-click is no request to disconnect: that step is taken
  // back, wire and all.
  editor_core::EditorCore& core = CoreOf(engine);
  std::string ignored;
  if (std::exchange(g_took_wire, false) && core.UndoName() == editor_core::step::kDisconnect) {
    core.TakeBack(ignored);
    g_refusal.clear();
  }
  const int s = BoxAt(engine, p);
  if (s < 0) return;
  core.Select(s);
  Globals().dialog_engine = &engine;
  Repaint(view);
  UpdateWindow(view);
  // The engine may be gone when the dialog returns (the host closed the
  // module): nothing is touched through it after this.
  AsOneStep(engine, editor_core::step::kSettings, [&] {
    OpenSettingsDialog(engine);
    return true;
  });
}

void RightDown(HWND view, PatchEngine& engine, Point p) {
  SetFocus(view);
  // A box already in the selection keeps it, so the menu acts on all.
  if (const int s = BoxAt(engine, p); s >= 0 && !CoreOf(engine).IsSelected(s)) CoreOf(engine).Select(s);
  Repaint(view);
}

void RightUp(HWND view, PatchEngine& engine, LPARAM lparam, Point p) {
  const int s = BoxAt(engine, p);
  if (s < 0 || !CoreOf(engine).IsSelected(s)) CoreOf(engine).Select(s);
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

}  // namespace

std::string StatusTextAt(const PatchEngine& engine, int x, int y) {
  auto lock = engine.LockEdits();  // the tables, as Paint reads them
  const Point p = {x, y};
  char text[512];
  if (const int s = BoxAt(engine, p); s >= 0) {
    const ComponentDescriptor& d = *engine.Descriptor(s);
    int row = -1;
    bool output = false;
    if (p.x > d.x + geometry::kOutputColumn) {
      output = true;
      row = editor_core::RowAt(d, d.output_count, p.y);
    } else if (p.x < d.x + geometry::kInputColumn) {
      row = editor_core::RowAt(d, d.input_count, p.y);
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
      if (engine->Editor().dragged_slot >= 0 || engine->Editor().wire_drag == 1 || RubberBand().active) {
        DragMove(view, *engine, {GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam)});
      } else {
        Move(view, *engine, ModulePoint(*engine, lparam));
      }
      break;
    case WM_TIMER:
      if (wparam != kAutoScrollTimer) break;
      AutoScroll(view, *engine);
      return 0;
    case WM_CAPTURECHANGED:
      KillTimer(view, kAutoScrollTimer);
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

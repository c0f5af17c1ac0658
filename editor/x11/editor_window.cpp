#include "editor/x11/editor_window.h"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

#include "editor/cairo/module_painter.h"
#include "editor/core/component_menu.h"
#include "editor/core/port_text.h"
#include "editor/editor_texts.h"
#include "engine/ui.h"

// Xlib last: its macros must not reach the engine's headers.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <cairo-xlib.h>
#include <cairo.h>

namespace korvel::x11_editor {

namespace mv = module_view;
using editor_core::Hit;
using editor_core::MenuItem;

namespace {

constexpr unsigned kStatusBackground = 0xE0E0E0;
constexpr unsigned kMenuBackground = 0xF8F8F8;
constexpr unsigned kMenuHighlight = 0xE8C8A0;
constexpr unsigned kGreyText = 0x909090;
constexpr int kWheelStep = 30;

void Text(cairo_t* cr, double x, double baseline, const std::string& text, unsigned colour) {
  module_painter::SetColour(cr, colour);
  cairo_move_to(cr, x, baseline);
  cairo_show_text(cr, text.c_str());
}

}  // namespace

mv::Point MenuPlace(int x, int y, int rows, int width, int height) {
  return {std::max(0, std::min(x, width - kMenuWidth)), std::max(0, std::min(y, height - rows * kMenuRowHeight))};
}

mv::Point SubmenuPlace(mv::Point menu, int row, int rows, int width, int height) {
  const int x = menu.x + 2 * kMenuWidth <= width ? menu.x + kMenuWidth : menu.x - kMenuWidth;
  return MenuPlace(x, menu.y + row * kMenuRowHeight, rows, width, height);
}

mv::Point EditorWindow::SubmenuPlace() const {
  const MenuItem& sub = editor_core::ComponentMenu().items[submenu_];
  return x11_editor::SubmenuPlace({menu_x_, menu_y_}, submenu_, static_cast<int>(sub.submenu_size), width_,
                                  height_ - kStatusHeight);
}

EditorWindow::EditorWindow(Display* display, PatchEngine& engine, const std::string& title, int width, int height,
                           XWindow parent)
    : display_(display), core_(engine), width_(width), height_(height) {
  const int screen = DefaultScreen(display_);
  window_ = XCreateSimpleWindow(display_, parent != 0 ? parent : RootWindow(display_, screen), 0, 0,
                                static_cast<unsigned>(width),
                                static_cast<unsigned>(height), 0, BlackPixel(display_, screen),
                                WhitePixel(display_, screen));
  XSelectInput(display_, window_,
               ExposureMask | StructureNotifyMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask |
                   KeyPressMask);
  delete_window_ = XInternAtom(display_, "WM_DELETE_WINDOW", False);
  clipboard_ = XInternAtom(display_, "CLIPBOARD", False);
  utf8_ = XInternAtom(display_, "UTF8_STRING", False);
  targets_ = XInternAtom(display_, "TARGETS", False);
  paste_property_ = XInternAtom(display_, "KORVEL_PASTE", False);
  XSetWMProtocols(display_, window_, &delete_window_, 1);
  SetTitle(title);
  XMapWindow(display_, window_);
}

EditorWindow::~EditorWindow() {
  if (window_ != 0) XDestroyWindow(display_, window_);
  XFlush(display_);
}

void EditorWindow::SetTitle(const std::string& title) {
  if (window_ == 0) return;
  XStoreName(display_, window_, title.c_str());
  XChangeProperty(display_, window_, XInternAtom(display_, "_NET_WM_NAME", False), utf8_, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(title.data()), static_cast<int>(title.size()));
}

// ------------------------------------------------------------ painting

void EditorWindow::Redraw() {
  if (window_ == 0) return;  // destroyed with the host's window
  const int view_height = std::max(height_ - kStatusHeight, 1);
  // Off-screen first, so the window never shows half a picture; an image
  // surface rasterises exactly as `korvel draw`'s PNG does.
  cairo_surface_t* image = cairo_image_surface_create(CAIRO_FORMAT_RGB24, std::max(width_, 1), std::max(height_, 1));
  cairo_t* cr = cairo_create(image);
  cairo_save(cr);
  cairo_rectangle(cr, 0, 0, width_, view_height);
  cairo_clip(cr);
  cairo_translate(cr, -scroll_x_, -scroll_y_);
  module_painter::Overlay overlay;
  overlay.selected = [this](int s) { return core_.IsSelected(s); };
  const PatchEngine& engine = core_.Engine();
  if (drag_ == Drag::kWire && engine.IsOccupied(wire_source_)) {
    const ComponentDescriptor& d = *engine.Descriptor(wire_source_);
    overlay.wire = true;
    overlay.wire_from = mv::OutputStart(d.x, d.y, wire_output_);
    overlay.wire_to = pointer_;
  }
  if (drag_ == Drag::kBand) {
    overlay.band = true;
    overlay.band_rect = {drag_start_.x, drag_start_.y, pointer_.x, pointer_.y};
  }
  module_painter::PaintModule(cr, engine, {scroll_x_, scroll_y_, scroll_x_ + width_, scroll_y_ + view_height},
                              &overlay);
  cairo_restore(cr);

  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, 12);
  module_painter::SetColour(cr, kStatusBackground);
  cairo_rectangle(cr, 0, view_height, width_, kStatusHeight);
  cairo_fill(cr);
  Text(cr, 6, view_height + 14, StatusText(), 0x000000);
  if (menu_open_) PaintMenu(cr);
  cairo_destroy(cr);

  cairo_surface_t* target = cairo_xlib_surface_create(display_, window_, DefaultVisual(display_, DefaultScreen(display_)),
                                                      width_, height_);
  cairo_t* out = cairo_create(target);
  cairo_set_source_surface(out, image, 0, 0);
  cairo_paint(out);
  cairo_destroy(out);
  cairo_surface_destroy(target);
  cairo_surface_destroy(image);
  XFlush(display_);
}

void EditorWindow::PaintMenu(cairo_t* cr) {
  const editor_core::Menu menu = editor_core::ComponentMenu();
  const auto column = [&](const MenuItem* items, std::size_t n, int x, int y) {
    module_painter::SetColour(cr, kMenuBackground);
    cairo_rectangle(cr, x, y, kMenuWidth, static_cast<double>(n) * kMenuRowHeight);
    cairo_fill_preserve(cr);
    module_painter::SetColour(cr, 0x808080);
    cairo_set_line_width(cr, 1);
    cairo_stroke(cr);
    for (std::size_t i = 0; i < n; ++i) {
      const int top = y + static_cast<int>(i) * kMenuRowHeight;
      const MenuItem& item = items[i];
      if (item.name == nullptr) {
        module_painter::SetColour(cr, 0xC0C0C0);
        cairo_move_to(cr, x + 4, top + kMenuRowHeight / 2 + 0.5);
        cairo_line_to(cr, x + kMenuWidth - 4, top + kMenuRowHeight / 2 + 0.5);
        cairo_stroke(cr);
        continue;
      }
      if (items == menu.items && static_cast<int>(i) == submenu_) {
        module_painter::SetColour(cr, kMenuHighlight);
        cairo_rectangle(cr, x + 1, top, kMenuWidth - 2, kMenuRowHeight);
        cairo_fill(cr);
      }
      Text(cr, x + 8, top + 13, item.name, item.greyed ? kGreyText : 0x000000);
      if (item.submenu != nullptr) Text(cr, x + kMenuWidth - 14, top + 13, ">", 0x000000);
    }
  };
  column(menu.items, menu.size, menu_x_, menu_y_);
  if (submenu_ >= 0) {
    const MenuItem& sub = menu.items[submenu_];
    const Point at = SubmenuPlace();
    column(sub.submenu, sub.submenu_size, at.x, at.y);
  }
}

// ------------------------------------------------------------ events

bool EditorWindow::Handle(XEvent& event) {
  switch (event.type) {
    case Expose:
      if (event.xexpose.window != window_) return false;
      if (event.xexpose.count == 0) Redraw();
      return true;
    case ConfigureNotify:
      if (event.xconfigure.window != window_) return false;
      if (event.xconfigure.width != width_ || event.xconfigure.height != height_) {
        width_ = event.xconfigure.width;
        height_ = event.xconfigure.height;
        Redraw();
      }
      return true;
    case DestroyNotify:
      // A child window goes with its parent: a host may destroy its own
      // window before it closes the UI. Nothing is drawn on it after.
      if (event.xdestroywindow.window != window_ || window_ == 0) return false;
      window_ = 0;
      return true;
    case ButtonPress:
      if (event.xbutton.window != window_) return false;
      ButtonDown(event);
      return true;
    case ButtonRelease:
      if (event.xbutton.window != window_) return false;
      ButtonUp(event);
      return true;
    case MotionNotify:
      if (event.xmotion.window != window_) return false;
      Motion(event);
      return true;
    case KeyPress:
      if (event.xkey.window != window_) return false;
      Key(event);
      return true;
    case ClientMessage:
      if (event.xclient.window != window_) return false;
      if (static_cast<Atom>(event.xclient.data.l[0]) == delete_window_ && on_close) on_close();
      return true;
    case SelectionRequest:
      if (event.xselectionrequest.owner != window_) return false;
      AnswerSelectionRequest(event);
      return true;
    case SelectionClear:
      if (event.xselectionclear.window != window_) return false;
      own_clipboard_ = false;
      return true;
    case SelectionNotify:
      if (event.xselection.requestor != window_) return false;
      ReceiveSelection(event);
      return true;
    default:
      return false;
  }
}

void EditorWindow::ButtonDown(const XEvent& event) {
  const XButtonEvent& e = event.xbutton;
  const bool shift = (e.state & ShiftMask) != 0;
  if (e.button == Button4 || e.button == Button5) {
    const int step = e.button == Button4 ? -kWheelStep : kWheelStep;
    shift ? Scroll(step, 0) : Scroll(0, step);
    return;
  }
  if (e.button == 6 || e.button == 7) {
    Scroll(e.button == 6 ? -kWheelStep : kWheelStep, 0);
    return;
  }
  if (menu_open_) {
    if (e.button == Button1 && MenuPress(e.x, e.y)) return;
    menu_open_ = false;
    submenu_ = -1;
    Redraw();
    if (e.button != Button3) return;
  }
  const Point p = ToModule(e.x, e.y);
  pointer_ = p;
  PatchEngine& engine = core_.Engine();
  if (e.button == Button3) {
    const int s = editor_core::BoxAt(engine, p);
    if (s >= 0) {
      if (!core_.IsSelected(s)) core_.Select(s);
    } else {
      // The Components menu, adding where it was opened.
      new_component_ = p;
      menu_open_ = true;
      const Point at = MenuPlace(e.x, e.y, static_cast<int>(editor_core::ComponentMenu().size), width_,
                                 height_ - kStatusHeight);
      menu_x_ = at.x;
      menu_y_ = at.y;
      submenu_ = -1;
    }
    Redraw();
    return;
  }
  if (e.button != Button1) return;
  refusal_.clear();
  const Hit hit = editor_core::PressAt(engine, p);
  if (hit.kind == Hit::kBody && shift) {
    core_.ToggleSelected(hit.slot);
  } else if (hit.kind == Hit::kBody) {
    core_.BeginMove(hit.slot);
    drag_ = Drag::kBoxes;
    drag_start_ = p;
  } else if (hit.kind == Hit::kOutput) {
    // Picking up an output takes its old wire away at once; the drop ends
    // the step, so moving a wire is one undo.
    core_.BeginStep(editor_core::step::kDisconnect);
    engine.DetachOutput(hit.slot, hit.port);
    drag_ = Drag::kWire;
    wire_source_ = hit.slot;
    wire_output_ = hit.port;
  } else {
    if (!shift) core_.ClearSelection();
    drag_ = Drag::kBand;
    band_add_ = shift;
    drag_start_ = p;
  }
  UpdateStatus(p);
  Redraw();
}

void EditorWindow::Motion(const XEvent& event) {
  const XMotionEvent& e = event.xmotion;
  if (menu_open_) {
    MenuHover(e.x, e.y);
    return;
  }
  const Point p = ToModule(e.x, e.y);
  pointer_ = p;
  UpdateStatus(p);
  if (drag_ == Drag::kBoxes) core_.MoveBy(p.x - drag_start_.x, p.y - drag_start_.y);
  Redraw();
}

void EditorWindow::ButtonUp(const XEvent& event) {
  const XButtonEvent& e = event.xbutton;
  if (e.button != Button1) return;
  const Point p = ToModule(e.x, e.y);
  pointer_ = p;
  PatchEngine& engine = core_.Engine();
  const Drag drag = std::exchange(drag_, Drag::kNone);
  if (drag == Drag::kBoxes) {
    core_.EndMove();
  } else if (drag == Drag::kWire) {
    const Hit drop = editor_core::DropAt(engine, wire_source_, p);
    if (drop.kind == Hit::kInput) {
      if (engine.Connect(wire_source_, wire_output_, drop.slot, drop.port)) {
        core_.RenameStep(editor_core::step::kConnect);
      } else {
        refusal_ = editor_text::kWireRefused;
      }
    } else if (drop.kind == Hit::kBody) {
      refusal_ = editor_text::kWireOnBody;
    } else if (drop.kind == Hit::kLoop) {
      char text[400];
      std::snprintf(text, sizeof text, editor_text::kWireWouldLoop, engine.Descriptor(drop.slot)->label,
                    engine.Descriptor(wire_source_)->label);
      refusal_ = text;
    }
    core_.EndStep();
    wire_source_ = -1;
  } else if (drag == Drag::kBand) {
    core_.SelectWhere({drag_start_.x, drag_start_.y, p.x, p.y}, band_add_);
  }
  if (!refusal_.empty()) std::fprintf(stderr, "korvel: %s\n", refusal_.c_str());
  UpdateStatus(p);
  Edited();
}

void EditorWindow::Key(XEvent& event) {
  XKeyEvent& e = event.xkey;
  const KeySym key = XLookupKeysym(&e, 0);
  const bool control = (e.state & ControlMask) != 0;
  const bool shift = (e.state & ShiftMask) != 0;
  std::string error;
  if (key == XK_Escape && menu_open_) {
    menu_open_ = false;
    submenu_ = -1;
  } else if (key == XK_Delete) {
    DeleteSelection();
  } else if (control && (key == XK_z || key == XK_Z)) {
    shift ? core_.Redo(error) : core_.Undo(error);
  } else if (control && (key == XK_y || key == XK_Y)) {
    core_.Redo(error);
  } else if (control && key == XK_c) {
    Copy();
  } else if (control && key == XK_x) {
    Copy();
    if (!clipboard_text_.empty()) core_.Cut();
  } else if (control && key == XK_v) {
    RequestPaste();
  } else if (control && key == XK_d) {
    if (!core_.Duplicate(error)) refusal_ = error;
  } else if (control && key == XK_a) {
    core_.SelectAll();
  } else if (control && key == XK_s) {
    if (on_save) on_save();
  } else {
    return;
  }
  if (!error.empty()) Ui().ShowMessage(nullptr, error.c_str(), editor_text::kTitle, kMbOk | kMbIconExclamation);
  Edited();
}

void EditorWindow::Edited() {
  if (on_edit) on_edit();
  Redraw();
}

void EditorWindow::Scroll(int dx, int dy) {
  // The view starts at the module's origin: nothing lies above or left.
  scroll_x_ = std::max(0, scroll_x_ + dx);
  scroll_y_ = std::max(0, scroll_y_ + dy);
  Redraw();
}

void EditorWindow::UpdateStatus(Point p) {
  const PatchEngine& engine = core_.Engine();
  const int s = editor_core::BoxAt(engine, p);
  if (s >= 0) {
    const ComponentDescriptor& d = *engine.Descriptor(s);
    int row = -1;
    const bool output = p.x > d.x + mv::kOutputColumn;
    if (output) {
      row = editor_core::RowAt(d, d.output_count, p.y);
    } else if (p.x < d.x + mv::kInputColumn) {
      row = editor_core::RowAt(d, d.input_count, p.y);
    }
    if (row >= 0) {
      const std::string line = editor_core::PortLine(editor_core::InfoTextOf(d.type).c_str(), output, row);
      char text[512];
      std::snprintf(text, sizeof text, editor_text::kPortStatus, d.label, line.c_str());
      status_ = text;
      return;
    }
    status_ = d.label;
    return;
  }
  status_ = module_name_;
}

// ------------------------------------------------------------ commands

void EditorWindow::DeleteSelection() {
  if (core_.Selection().empty()) return;
  if (Ui().ShowMessage(nullptr, editor_text::kDeleteQuestion, editor_text::kDeleteTitle,
                       kMbYesNo | kMbIconExclamation) == kIdYes)
    core_.DeleteSelection();
}

void EditorWindow::Copy() {
  clipboard_text_ = core_.Copy();
  if (clipboard_text_.empty()) return;
  XSetSelectionOwner(display_, clipboard_, window_, CurrentTime);
  own_clipboard_ = XGetSelectionOwner(display_, clipboard_) == window_;
}

void EditorWindow::RequestPaste() {
  // Our own copy needs no trip through the server.
  if (own_clipboard_) {
    PasteText(clipboard_text_);
    return;
  }
  XConvertSelection(display_, clipboard_, utf8_, paste_property_, window_, CurrentTime);
}

void EditorWindow::PasteText(const std::string& text) {
  std::string error;
  if (!core_.Paste(text, error)) refusal_ = error;
}

void EditorWindow::AnswerSelectionRequest(const XEvent& event) {
  const XSelectionRequestEvent& request = event.xselectionrequest;
  XSelectionEvent reply = {};
  reply.type = SelectionNotify;
  reply.display = request.display;
  reply.requestor = request.requestor;
  reply.selection = request.selection;
  reply.target = request.target;
  reply.time = request.time;
  reply.property = None;
  // Old clients name no property: the target's name is used instead.
  const Atom property = request.property != None ? request.property : request.target;
  if (request.selection == clipboard_ && own_clipboard_) {
    if (request.target == targets_) {
      const Atom offered[] = {targets_, utf8_, XA_STRING};
      XChangeProperty(display_, request.requestor, property, XA_ATOM, 32, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(offered), 3);
      reply.property = property;
    } else if (request.target == utf8_ || request.target == XA_STRING) {
      // Module text is ASCII in its structure; labels are UTF-8 either way.
      XChangeProperty(display_, request.requestor, property, request.target, 8, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(clipboard_text_.data()),
                      static_cast<int>(clipboard_text_.size()));
      reply.property = property;
    }
  }
  XSendEvent(display_, request.requestor, False, 0, reinterpret_cast<XEvent*>(&reply));
  XFlush(display_);
}

void EditorWindow::ReceiveSelection(const XEvent& event) {
  const XSelectionEvent& e = event.xselection;
  if (e.property == None) return;  // nothing on the clipboard, or not text
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(display_, window_, e.property, 0, 1 << 24, True, AnyPropertyType, &type, &format, &count,
                         &after, &data) == Success &&
      data != nullptr) {
    if (format == 8) PasteText(std::string(reinterpret_cast<const char*>(data), count));
    XFree(data);
  }
  Edited();
}

// ------------------------------------------------------------ the menu

bool EditorWindow::MenuPress(int x, int y) {
  const editor_core::Menu menu = editor_core::ComponentMenu();
  const MenuItem* picked = nullptr;
  const auto row_of = [](int at, int top, std::size_t n) {
    const int row = at >= top ? (at - top) / kMenuRowHeight : -1;
    return row < static_cast<int>(n) ? row : -1;
  };
  if (x >= menu_x_ && x < menu_x_ + kMenuWidth) {
    const int row = row_of(y, menu_y_, menu.size);
    if (row < 0) return false;
    if (menu.items[row].submenu != nullptr) {
      submenu_ = row;
      Redraw();
      return true;
    }
    picked = &menu.items[row];
  } else if (submenu_ >= 0 && x >= SubmenuPlace().x && x < SubmenuPlace().x + kMenuWidth) {
    const MenuItem& sub = menu.items[submenu_];
    const int row = row_of(y, SubmenuPlace().y, sub.submenu_size);
    if (row < 0) return false;
    picked = &sub.submenu[row];
  } else {
    return false;
  }
  // A separator or a greyed item keeps the menu open, as a menu does.
  if (picked->name == nullptr || picked->greyed || picked->type < 0) return true;
  menu_open_ = false;
  submenu_ = -1;
  // As in the Win32 editor, adding selects nothing.
  core_.Add(picked->type, new_component_.x, new_component_.y);
  Edited();
  return true;
}

void EditorWindow::MenuHover(int x, int y) {
  const editor_core::Menu menu = editor_core::ComponentMenu();
  if (x < menu_x_ || x >= menu_x_ + kMenuWidth || y < menu_y_) return;
  const int row = (y - menu_y_) / kMenuRowHeight;
  if (row >= static_cast<int>(menu.size) || menu.items[row].submenu == nullptr || row == submenu_) return;
  submenu_ = row;
  Redraw();
}

}  // namespace korvel::x11_editor

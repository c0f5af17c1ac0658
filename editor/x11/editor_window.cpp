#include "editor/x11/editor_window.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>
#include <vector>

#include "editor/cairo/module_painter.h"
#include "editor/core/component_menu.h"
#include "editor/core/port_text.h"
#include "editor/editor_texts.h"
#include "engine/ui.h"

#include <nlohmann/json.hpp>

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
  cairo_rectangle(cr, 0, 0, ViewWidth(), view_height);
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
  module_painter::PaintModule(cr, engine, {scroll_x_, scroll_y_, scroll_x_ + ViewWidth(), scroll_y_ + view_height},
                              &overlay);
  cairo_restore(cr);

  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, 12);
  module_painter::SetColour(cr, kStatusBackground);
  cairo_rectangle(cr, 0, view_height, width_, kStatusHeight);
  cairo_fill(cr);
  Text(cr, 6, view_height + 14, StatusText(), 0x000000);
  if (!parameters_.empty()) PaintStrip(cr);
  if (form_slot_ >= 0) PaintForm(cr);
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
    case MappingNotify:
      // The keyboard layout changed: the form types with the new one.
      // Every window of the display may see this; refreshing twice is harmless.
      XRefreshKeyboardMapping(&event.xmapping);
      return false;
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
  if (form_slot_ >= 0) {
    // A press outside the form closes it as Escape does.
    if (e.button == Button1 && FormPress(e.x, e.y)) return;
    CloseForm();
    Redraw();
    return;
  }
  if (e.button == Button1 && !menu_open_) {
    slider_ = SliderAt(e.x, e.y);
    if (slider_ >= 0) {
      MoveSlider(slider_, e.x);
      return;
    }
    if (!parameters_.empty() && e.x >= width_ - kStripWidth) return;
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
  const bool twice = hit.kind == Hit::kBody && !shift && hit.slot == last_press_slot_ &&
                     e.time - last_press_time_ < kDoubleClickMs;
  last_press_slot_ = hit.kind == Hit::kBody && !shift && !twice ? hit.slot : -1;
  last_press_time_ = e.time;
  if (twice) {
    OpenForm(hit.slot);
    return;
  }
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
  if (slider_ >= 0) {
    MoveSlider(slider_, e.x);
    return;
  }
  if (form_slot_ >= 0) return;
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
  if (slider_ >= 0) {
    slider_ = -1;
    return;
  }
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
  if (form_slot_ >= 0) {
    FormKey(event);
    return;
  }
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

namespace korvel::x11_editor {

namespace {

constexpr unsigned kFormBackground = 0xE8FFFF;  // pale yellow
constexpr unsigned kFormFocus = 0xFFFFFF;
constexpr unsigned kSliderTrack = 0xC8C8C8;
constexpr unsigned kSliderFill = 0xC08050;  // as SetColour takes it: blue in the high byte
constexpr char kFormHint[] = "Return applies, Escape closes";

// The byte offset of the character before / after `at` in UTF-8 text.
std::size_t CharBefore(const std::string& text, std::size_t at) {
  while (at > 0 && (static_cast<unsigned char>(text[--at]) & 0xC0) == 0x80) {
  }
  return at;
}
std::size_t CharAfter(const std::string& text, std::size_t at) {
  if (at >= text.size()) return text.size();
  ++at;
  while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) ++at;
  return at;
}

// The character a key types, as UTF-8 ("" for none). Latin-1 keysyms are
// their code points and the rest carry theirs above 0x01000000, so no
// input method is needed for what a keyboard layout types directly.
std::string Typed(KeySym key) {
  unsigned long c = 0;
  if ((key >= 0x20 && key <= 0x7E) || (key >= 0xA0 && key <= 0xFF)) {
    c = key;
  } else if ((key & 0xFF000000UL) == 0x01000000UL) {
    c = key & 0x00FFFFFFUL;
  }
  if (c < 0x20 || c > 0x10FFFF || (c >= 0x7F && c < 0xA0) || (c >= 0xD800 && c < 0xE000)) return {};
  std::string out;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

// A setting as the user edits it: a text as itself, anything else as JSON.
std::string RowText(const nlohmann::ordered_json& value) {
  return value.is_string() ? value.get<std::string>() : value.dump();
}

// The row's text back as a value: a setting that was text stays text;
// others are JSON where the text parses (numbers, lists), else the text,
// which the engine then refuses naming the key.
nlohmann::ordered_json RowValue(const nlohmann::ordered_json& was, const std::string& text) {
  if (was.is_string()) return text;
  nlohmann::ordered_json value = nlohmann::ordered_json::parse(text, nullptr, false);
  if (value.is_discarded()) return text;
  return value;
}

}  // namespace

// ------------------------------------------------------------ the form

void EditorWindow::OpenForm(int slot) {
  const PatchEngine& engine = core_.Engine();
  if (!engine.IsOccupied(slot)) return;
  form_rows_.clear();
  form_rows_.emplace_back("label", engine.Descriptor(slot)->label);
  const nlohmann::ordered_json settings = engine.Settings(slot);  // held: the loop walks into it
  for (const auto& [key, value] : settings.items()) form_rows_.emplace_back(key, RowText(value));
  form_slot_ = slot;
  form_row_ = 0;
  form_cursor_ = form_rows_[0].second.size();
  Redraw();
}

std::vector<std::pair<std::string, std::string>> EditorWindow::FormRows() const { return form_rows_; }

void EditorWindow::CloseForm() {
  form_slot_ = -1;
  form_rows_.clear();
}

mv::Point EditorWindow::FormPlace() const {
  const ComponentDescriptor* d = core_.Engine().Descriptor(form_slot_);
  const int rows = static_cast<int>(form_rows_.size()) + 1;  // and the hint
  const int x = d != nullptr ? d->x - scroll_x_ : 0, y = d != nullptr ? d->y - scroll_y_ : 0;
  return {std::max(0, std::min(x, ViewWidth() - kFormWidth)),
          std::max(0, std::min(y, height_ - kStatusHeight - rows * kFormRowHeight))};
}

void EditorWindow::ApplyForm() {
  PatchEngine& engine = core_.Engine();
  if (!engine.IsOccupied(form_slot_)) {
    CloseForm();
    Redraw();
    return;
  }
  const nlohmann::ordered_json before = engine.Settings(form_slot_);
  nlohmann::ordered_json settings = before;
  for (std::size_t i = 1; i < form_rows_.size(); ++i) {
    const std::string& key = form_rows_[i].first;
    settings[key] = RowValue(before[key], form_rows_[i].second);
  }
  const std::string& label = form_rows_[0].second;
  const bool relabel = label != engine.Descriptor(form_slot_)->label;
  const bool change = settings != before;
  std::string error;
  // The label and the settings as one step: a refused value changes
  // neither, so the label goes only after the settings are taken.
  core_.Change(change ? editor_core::step::kSettings : editor_core::step::kRename, [&] {
    if (change && !engine.SetSettings(form_slot_, nlohmann::json::parse(settings.dump()), error)) return false;
    if (relabel) engine.SetLabel(form_slot_, label.c_str());
    return change || relabel;
  });
  if (!error.empty()) {
    refusal_ = error;
    std::fprintf(stderr, "korvel: %s\n", error.c_str());
    Redraw();
    return;
  }
  refusal_.clear();
  CloseForm();
  Edited();
}

void EditorWindow::FormKey(XEvent& event) {
  char bytes[16];
  KeySym key = 0;
  XLookupString(&event.xkey, bytes, sizeof bytes, &key, nullptr);
  std::string& text = form_rows_[form_row_].second;
  const std::size_t rows = form_rows_.size();
  if (key == XK_Escape) {
    CloseForm();
    refusal_.clear();
  } else if (key == XK_Return || key == XK_KP_Enter) {
    ApplyForm();
    return;
  } else if (key == XK_Tab || key == XK_ISO_Left_Tab || key == XK_Down || key == XK_Up) {
    const bool back = key == XK_ISO_Left_Tab || key == XK_Up || (key == XK_Tab && (event.xkey.state & ShiftMask));
    form_row_ = (form_row_ + (back ? rows - 1 : 1)) % rows;
    form_cursor_ = form_rows_[form_row_].second.size();
  } else if (key == XK_BackSpace) {
    const std::size_t from = CharBefore(text, form_cursor_);
    text.erase(from, form_cursor_ - from);
    form_cursor_ = from;
  } else if (key == XK_Delete || key == XK_KP_Delete) {
    text.erase(form_cursor_, CharAfter(text, form_cursor_) - form_cursor_);
  } else if (key == XK_Left) {
    form_cursor_ = CharBefore(text, form_cursor_);
  } else if (key == XK_Right) {
    form_cursor_ = CharAfter(text, form_cursor_);
  } else if (key == XK_Home) {
    form_cursor_ = 0;
  } else if (key == XK_End) {
    form_cursor_ = text.size();
  } else if ((event.xkey.state & ControlMask) == 0) {
    const std::string typed = Typed(key);
    if (typed.empty()) return;
    text.insert(form_cursor_, typed);
    form_cursor_ += typed.size();
  } else {
    return;
  }
  Redraw();
}

bool EditorWindow::FormPress(int x, int y) {
  const Point at = FormPlace();
  if (x < at.x || x >= at.x + kFormWidth || y < at.y) return false;
  const int row = (y - at.y) / kFormRowHeight;
  if (row > static_cast<int>(form_rows_.size())) return false;
  if (row < static_cast<int>(form_rows_.size())) {
    form_row_ = static_cast<std::size_t>(row);
    form_cursor_ = form_rows_[form_row_].second.size();
  }
  Redraw();
  return true;
}

void EditorWindow::PaintForm(cairo_t* cr) {
  const Point at = FormPlace();
  const int rows = static_cast<int>(form_rows_.size());
  module_painter::SetColour(cr, kFormBackground);
  cairo_rectangle(cr, at.x, at.y, kFormWidth, (rows + 1) * kFormRowHeight);
  cairo_fill_preserve(cr);
  module_painter::SetColour(cr, 0x606060);
  cairo_set_line_width(cr, 1);
  cairo_stroke(cr);
  for (int i = 0; i < rows; ++i) {
    const int top = at.y + i * kFormRowHeight;
    const auto& [key, text] = form_rows_[static_cast<std::size_t>(i)];
    Text(cr, at.x + 6, top + 14, key, 0x404040);
    const double fx = at.x + kFormKeyWidth, fw = kFormWidth - kFormKeyWidth - 4;
    const bool focused = static_cast<std::size_t>(i) == form_row_;
    module_painter::SetColour(cr, focused ? kFormFocus : kFormBackground);
    cairo_rectangle(cr, fx, top + 2, fw, kFormRowHeight - 4);
    cairo_fill_preserve(cr);
    module_painter::SetColour(cr, focused ? 0x000000 : 0xB0B0B0);
    cairo_stroke(cr);
    // A long text scrolls so the cursor stays in the field.
    cairo_text_extents_t before;
    cairo_text_extents(cr, focused ? text.substr(0, form_cursor_).c_str() : "", &before);
    const double shift = std::max(0.0, before.x_advance - (fw - 8));
    cairo_save(cr);
    cairo_rectangle(cr, fx + 1, top + 2, fw - 2, kFormRowHeight - 4);
    cairo_clip(cr);
    Text(cr, fx + 3 - shift, top + 14, text, 0x000000);
    if (focused) {
      const double cx = std::floor(fx + 3 - shift + before.x_advance) + 0.5;
      cairo_move_to(cr, cx, top + 4);
      cairo_line_to(cr, cx, top + kFormRowHeight - 4);
      cairo_stroke(cr);
    }
    cairo_restore(cr);
  }
  Text(cr, at.x + 6, at.y + rows * kFormRowHeight + 14, kFormHint, kGreyText);
}

// ------------------------------------------------------------ the strip

void EditorWindow::ShowParameters(int count) {
  parameters_.assign(static_cast<std::size_t>(std::max(count, 0)), 0.0f);
  Redraw();
}

void EditorWindow::SetParameterValue(int index, float value) {
  if (index < 0 || index >= static_cast<int>(parameters_.size())) return;
  parameters_[static_cast<std::size_t>(index)] = std::clamp(value, 0.0f, 1.0f);
}

std::string EditorWindow::ParameterLabel(int index) const {
  std::string name = core_.Engine().ParameterName(index);
  return name.empty() ? "Parameter " + std::to_string(index + 1) : name;
}

int EditorWindow::SliderAt(int x, int y) const {
  const int left = width_ - kStripWidth;
  if (parameters_.empty() || x < left + kSliderLeft - 4 || x >= left + kSliderLeft + kSliderWidth + 4 || y < 4)
    return -1;
  const int row = (y - 4) / kSliderRowHeight;
  return row < static_cast<int>(parameters_.size()) ? row : -1;
}

void EditorWindow::MoveSlider(int index, int x) {
  const float value =
      std::clamp(static_cast<float>(x - (width_ - kStripWidth + kSliderLeft)) / kSliderWidth, 0.0f, 1.0f);
  parameters_[static_cast<std::size_t>(index)] = value;
  if (on_parameter) on_parameter(index, value);
  Redraw();
}

void EditorWindow::PaintStrip(cairo_t* cr) {
  const int left = width_ - kStripWidth;
  const int bottom = height_ - kStatusHeight;
  module_painter::SetColour(cr, kStatusBackground);
  cairo_rectangle(cr, left, 0, kStripWidth, bottom);
  cairo_fill(cr);
  cairo_set_line_width(cr, 1);
  for (std::size_t i = 0; i < parameters_.size(); ++i) {
    const int top = 4 + static_cast<int>(i) * kSliderRowHeight;
    if (top + kSliderRowHeight > bottom) break;
    cairo_save(cr);
    cairo_rectangle(cr, left + 4, top, kSliderLeft - 8, kSliderRowHeight);
    cairo_clip(cr);
    Text(cr, left + 6, top + 15, ParameterLabel(static_cast<int>(i)), 0x000000);
    cairo_restore(cr);
    const double bx = left + kSliderLeft, by = top + 6, bh = kSliderRowHeight - 12;
    module_painter::SetColour(cr, kSliderTrack);
    cairo_rectangle(cr, bx, by, kSliderWidth, bh);
    cairo_fill(cr);
    module_painter::SetColour(cr, kSliderFill);
    cairo_rectangle(cr, bx, by, kSliderWidth * parameters_[i], bh);
    cairo_fill(cr);
    module_painter::SetColour(cr, 0x000000);
    cairo_rectangle(cr, bx + kSliderWidth * parameters_[i] - 1.5, top + 3, 3, kSliderRowHeight - 6);
    cairo_fill(cr);
  }
}

}  // namespace korvel::x11_editor

#include "editor/x11/x11_ui.h"

#include <cstdio>
#include <string>
#include <vector>

#include "editor/cairo/module_painter.h"

// Xlib last: its macros must not reach the engine's headers.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <cairo-xlib.h>
#include <cairo.h>

namespace korvel::x11_editor {

namespace {

constexpr int kWidth = 460;
constexpr int kLineHeight = 16;
constexpr int kButtonWidth = 80, kButtonHeight = 24;
constexpr unsigned kMbYesNoCancel = 0x3;
constexpr unsigned kMbOkCancel = 0x1;

struct Button {
  const char* name;
  int answer;
};

std::vector<Button> ButtonsOf(unsigned style) {
  switch (style & 0xF) {
    case kMbYesNo: return {{"Yes", kIdYes}, {"No", kIdNo}};
    case kMbYesNoCancel: return {{"Yes", kIdYes}, {"No", kIdNo}, {"Cancel", kIdCancel}};
    case kMbOkCancel: return {{"OK", kIdOk}, {"Cancel", kIdCancel}};
    default: return {{"OK", kIdOk}};
  }
}

// Lines at most ~70 characters, broken at spaces and at the text's own breaks.
std::vector<std::string> Wrap(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  std::size_t i = 0;
  while (i <= text.size()) {
    const std::size_t end = text.find_first_of(" \n", i);
    const std::string word = text.substr(i, end == std::string::npos ? std::string::npos : end - i);
    if (!line.empty() && line.size() + 1 + word.size() > 70) {
      lines.push_back(line);
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
    if (end == std::string::npos) break;
    if (text[end] == '\n') {
      lines.push_back(line);
      line.clear();
    }
    i = end + 1;
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

}  // namespace

int X11Ui::ShowMessage(void* /*owner*/, const char* text, const char* title, unsigned style) {
  std::fprintf(stderr, "korvel: %s\n", text);
  const std::vector<Button> buttons = ButtonsOf(style);
  const int safe = buttons.size() == 1 ? buttons[0].answer : buttons.back().answer;
  if (!ModalUiAllowed()) return safe;
  const std::vector<std::string> lines = Wrap(text);
  const int height = 20 + static_cast<int>(lines.size()) * kLineHeight + 16 + kButtonHeight + 12;
  const int screen = DefaultScreen(display_);
  const Window box = XCreateSimpleWindow(display_, RootWindow(display_, screen), 40, 40, kWidth,
                                         static_cast<unsigned>(height), 1, BlackPixel(display_, screen),
                                         WhitePixel(display_, screen));
  XStoreName(display_, box, title);
  Atom close = XInternAtom(display_, "WM_DELETE_WINDOW", False);
  XSetWMProtocols(display_, box, &close, 1);
  XSelectInput(display_, box, ExposureMask | ButtonPressMask | KeyPressMask);
  XMapRaised(display_, box);
  const int buttons_top = height - kButtonHeight - 12;
  const auto button_left = [&](std::size_t i) {
    return kWidth - static_cast<int>(buttons.size() - i) * (kButtonWidth + 8);
  };
  const auto paint = [&] {
    cairo_surface_t* surface =
        cairo_xlib_surface_create(display_, box, DefaultVisual(display_, screen), kWidth, height);
    cairo_t* cr = cairo_create(surface);
    module_painter::SetColour(cr, 0xF0F0F0);
    cairo_paint(cr);
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, 12);
    module_painter::SetColour(cr, 0x000000);
    for (std::size_t i = 0; i < lines.size(); ++i) {
      cairo_move_to(cr, 14, 26 + static_cast<double>(i) * kLineHeight);
      cairo_show_text(cr, lines[i].c_str());
    }
    cairo_set_line_width(cr, 1);
    for (std::size_t i = 0; i < buttons.size(); ++i) {
      cairo_rectangle(cr, button_left(i) + 0.5, buttons_top + 0.5, kButtonWidth, kButtonHeight);
      cairo_stroke(cr);
      cairo_move_to(cr, button_left(i) + 10, buttons_top + 16);
      cairo_show_text(cr, buttons[i].name);
    }
    cairo_destroy(cr);
    cairo_surface_destroy(surface);
    XFlush(display_);
  };
  const auto has = [&](int answer) {
    for (const Button& b : buttons)
      if (b.answer == answer) return true;
    return false;
  };
  int answer = 0;
  while (answer == 0) {
    XEvent event;
    XNextEvent(display_, &event);
    if (event.xany.window != box) {
      // Input for the editor waits until the question is answered; the
      // rest (repaints, the clipboard) is served.
      if (event.type != KeyPress && event.type != ButtonPress && event.type != ButtonRelease &&
          event.type != MotionNotify && others_)
        others_(event);
      continue;
    }
    if (event.type == Expose && event.xexpose.count == 0) {
      paint();
    } else if (event.type == ButtonPress) {
      for (std::size_t i = 0; i < buttons.size(); ++i)
        if (event.xbutton.x >= button_left(i) && event.xbutton.x < button_left(i) + kButtonWidth &&
            event.xbutton.y >= buttons_top && event.xbutton.y < buttons_top + kButtonHeight)
          answer = buttons[i].answer;
    } else if (event.type == KeyPress) {
      const KeySym key = XLookupKeysym(&event.xkey, 0);
      if (key == XK_Return || key == XK_KP_Enter || key == XK_y) {
        answer = buttons[0].answer;
      } else if (key == XK_n && has(kIdNo)) {
        answer = kIdNo;
      } else if (key == XK_Escape) {
        answer = safe;
      }
    } else if (event.type == ClientMessage && static_cast<Atom>(event.xclient.data.l[0]) == close) {
      answer = safe;
    }
  }
  XDestroyWindow(display_, box);
  XFlush(display_);
  return answer;
}

}  // namespace korvel::x11_editor

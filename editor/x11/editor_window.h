// The Linux editor window: the Module View over the editor core, painted
// by the cairo painter `korvel draw` uses (off-screen, then copied in one
// transfer), with a status line under it and the right-click Components
// menu drawn inside the window. Mouse and keys as in the Win32 editor;
// the clipboard is X11's CLIPBOARD selection carrying module-file text.
// [editor thread] Everything here runs on the thread that owns the Display.
#pragma once

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "editor/core/editor_core.h"
#include "editor/module_view_geometry.h"

// Xlib's names, declared without its header: its macros (None, Bool,
// Status) must not reach the engine's headers.
struct _XDisplay;
union _XEvent;
struct _cairo;

namespace korvel::x11_editor {

using XWindow = unsigned long;  // an X window or atom id

// The right-click menu, in window pixels from the point it opens at: each
// row kMenuRowHeight high, a submenu kMenuWidth to the right at its row.
inline constexpr int kMenuRowHeight = 18;
inline constexpr int kMenuWidth = 170;
inline constexpr int kStatusHeight = 20;
// The inline form a double-click opens at a box: one row per field.
inline constexpr int kFormRowHeight = 20;
inline constexpr int kFormWidth = 340;
inline constexpr int kFormKeyWidth = 100;
// The host's parameters as sliders in a strip along the right edge.
inline constexpr int kStripWidth = 220;
inline constexpr int kSliderRowHeight = 22;
inline constexpr int kSliderLeft = 110;  // the bar, from the strip's left edge
inline constexpr int kSliderWidth = 100;
// Two presses on one box within this many milliseconds: a double-click.
inline constexpr unsigned long kDoubleClickMs = 400;

// Where a menu column of `rows` rows asked for at (x, y) lands: moved up
// and left as far as it must to fit a view `width` by `height`.
module_view::Point MenuPlace(int x, int y, int rows, int width, int height);
// Where the submenu of row `row` of a menu at `menu` lands: right of it,
// or left of it when the view ends first; moved up to fit.
module_view::Point SubmenuPlace(module_view::Point menu, int row, int rows, int width, int height);

class EditorWindow {
 public:
  // `parent` 0: a top-level window; otherwise a child filling the host's
  // window (an LV2 UI embedded by its host).
  EditorWindow(_XDisplay* display, PatchEngine& engine, const std::string& title, int width, int height,
               XWindow parent = 0);
  ~EditorWindow();
  EditorWindow(const EditorWindow&) = delete;
  EditorWindow& operator=(const EditorWindow&) = delete;

  XWindow Handle() const { return window_; }
  editor_core::EditorCore& Core() { return core_; }
  // One event: false when it was not this window's.
  bool Handle(_XEvent& event);
  void Redraw();
  void SetTitle(const std::string& title);
  // The module's name, shown in the status line when nothing else is.
  void SetModuleName(const std::string& name) { module_name_ = status_ = name; }
  // A line shown in the status line until the next press (a refusal).
  void SetNotice(const std::string& text) { refusal_ = text; }
  // What the status line shows now.
  const std::string& StatusText() const { return refusal_.empty() ? status_ : refusal_; }
  int Width() const { return width_; }
  int Height() const { return height_; }

  std::function<void()> on_save;   // Ctrl+S
  std::function<void()> on_close;  // the window manager's close button
  std::function<void()> on_edit;   // after anything that may have changed the module

  // ---- the inline form: the label and each setting of one component as
  // text rows; Return applies them as one step, Escape closes.
  void OpenForm(int slot);
  bool FormOpen() const { return form_slot_ >= 0; }
  void CloseForm();  // without a change
  // Its rows as (key, text); the first row is the label's.
  std::vector<std::pair<std::string, std::string>> FormRows() const;

  // ---- the parameter strip: `count` sliders (0: no strip), each 0..1.
  void ShowParameters(int count);
  // The host's value for one (automation): moves the slider only.
  void SetParameterValue(int index, float value);
  float ParameterValue(int index) const { return parameters_.at(static_cast<std::size_t>(index)); }
  // A parameter's name as the module gives it, or "Parameter N".
  std::string ParameterLabel(int index) const;
  std::function<void(int index, float value)> on_parameter;  // the user moved a slider

 private:
  using Point = module_view::Point;
  Point ToModule(int x, int y) const { return {x + scroll_x_, y + scroll_y_}; }
  void ButtonDown(const _XEvent& e);
  void ButtonUp(const _XEvent& e);
  void Motion(const _XEvent& e);
  void Key(_XEvent& e);
  void Edited();
  void UpdateStatus(Point p);
  void DeleteSelection();
  void Copy();
  void RequestPaste();
  void PasteText(const std::string& text);
  void AnswerSelectionRequest(const _XEvent& request);
  void ReceiveSelection(const _XEvent& e);
  // The menu: false when the press was not on it (it closes).
  bool MenuPress(int x, int y);
  void MenuHover(int x, int y);
  void PaintMenu(_cairo* cr);
  void Scroll(int dx, int dy);
  Point SubmenuPlace() const;
  int ViewWidth() const { return std::max(width_ - (parameters_.empty() ? 0 : kStripWidth), 1); }
  Point FormPlace() const;
  void FormKey(_XEvent& e);
  bool FormPress(int x, int y);
  void ApplyForm();
  void PaintForm(_cairo* cr);
  void PaintStrip(_cairo* cr);
  // The slider under a window point, or -1.
  int SliderAt(int x, int y) const;
  void MoveSlider(int index, int x);

  _XDisplay* display_;
  XWindow window_ = 0;
  editor_core::EditorCore core_;
  int width_, height_;
  int scroll_x_ = 0, scroll_y_ = 0;  // the module point at the window's corner
  XWindow delete_window_, clipboard_, utf8_, targets_, paste_property_;
  std::string module_name_;
  std::string status_;
  std::string refusal_;  // why the last drop connected nothing, until the next press
  std::string clipboard_text_;
  bool own_clipboard_ = false;
  // Drags: one at a time.
  enum class Drag { kNone, kBoxes, kWire, kBand } drag_ = Drag::kNone;
  Point drag_start_{}, pointer_{};
  int wire_source_ = -1, wire_output_ = 0;
  bool band_add_ = false;
  // The menu: where it opened (window pixels), which submenu shows.
  bool menu_open_ = false;
  int menu_x_ = 0, menu_y_ = 0, submenu_ = -1;
  Point new_component_{};
  // Double-click: the last plain press on a box.
  unsigned long last_press_time_ = 0;
  int last_press_slot_ = -1;
  // The form: the slot it edits (-1: closed), its rows, the focused row
  // and the cursor's byte offset in it (always at a character's start).
  int form_slot_ = -1;
  std::vector<std::pair<std::string, std::string>> form_rows_;
  std::size_t form_row_ = 0, form_cursor_ = 0;
  // The strip's slider values, and the one being dragged (-1: none).
  std::vector<float> parameters_;
  int slider_ = -1;
};

}  // namespace korvel::x11_editor

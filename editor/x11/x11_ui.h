// The user-interface seam (engine/ui.h) for the Linux editor: message boxes
// as small modal windows on the editor's display. Each text is also
// written to standard error, so a script running the editor sees it.
// Keys answer too: Return (or y) for OK or Yes, n for No, Escape for the
// safe choice (Cancel, or No).
// [editor thread] Runs on the thread that owns the Display.
#pragma once

#include <functional>
#include <utility>

#include "engine/ui.h"

struct _XDisplay;
union _XEvent;

namespace korvel::x11_editor {

class X11Ui : public SilentUi {
 public:
  // `others`: events for other windows while a box is open (the editor
  // repaints under it).
  X11Ui(_XDisplay* display, std::function<void(_XEvent&)> others) : display_(display), others_(std::move(others)) {}
  int ShowMessage(void* owner, const char* text, const char* title, unsigned style) override;

 private:
  _XDisplay* display_;
  std::function<void(_XEvent&)> others_;
};

}  // namespace korvel::x11_editor

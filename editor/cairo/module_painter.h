// The Module View painted with cairo: what `korvel draw` writes to a
// picture and what the Linux editor shows, from one painter, so the two
// agree to the pixel on boxes, ports and wires. Module coordinates: the
// caller sets the transform (scroll, scale).
// [editor thread] The caller holds the edit lock or is the thread that
// edits, so the slot tables do not change while they are painted.
#pragma once

#include <cairo.h>

#include <functional>

#include "editor/module_view_geometry.h"
#include "engine/patch_engine.h"

namespace korvel::module_painter {

// What an editor draws over the patch; `korvel draw` draws none of it.
struct Overlay {
  std::function<bool(int)> selected;  // framed boxes (none when empty)
  bool wire = false;                  // a wire being dragged, a straight line
  module_view::Point wire_from{}, wire_to{};
  bool band = false;                  // a rubber band, dotted
  module_view::Rect band_rect{};
};

// Sets a 0x00BBGGRR colour.
void SetColour(cairo_t* cr, unsigned colour, double alpha = 1.0);

// Fills `area` with the view's background, then draws every box with its
// label and port squares, then the wires over them, then the overlay.
void PaintModule(cairo_t* cr, const PatchEngine& engine, const module_view::Rect& area,
                 const Overlay* overlay = nullptr);

}  // namespace korvel::module_painter

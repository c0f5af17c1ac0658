#include "editor/cairo/module_painter.h"

#include <algorithm>
#include <cmath>

namespace korvel::module_painter {

namespace mv = module_view;

namespace {

// Dark outside white: a selection frame shows on every box colour.
constexpr unsigned kSelectionOutline = 0x202020;

void FillRect(cairo_t* cr, const mv::Rect& r, unsigned colour) {
  SetColour(cr, colour);
  cairo_rectangle(cr, r.left, r.top, r.right - r.left, r.bottom - r.top);
  cairo_fill(cr);
}

// A one-pixel frame through the centres of the pixels from (l, t) to
// (r, b) inclusive, as a one-pixel pen draws it.
void Frame(cairo_t* cr, int l, int t, int r, int b, unsigned colour) {
  SetColour(cr, colour);
  cairo_rectangle(cr, l + 0.5, t + 0.5, r - l, b - t);
  cairo_stroke(cr);
}

// The label font at the size whose cell (ascent + descent) is the
// editor's font height, whatever family fontconfig gives for the face.
struct LabelFont {
  double size = 0, ascent = 0, cell = 0;
};

LabelFont SelectLabelFont(cairo_t* cr) {
  cairo_select_font_face(cr, mv::kLabelFace, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
  cairo_set_font_size(cr, 100.0);
  cairo_font_extents_t unit;
  cairo_font_extents(cr, &unit);
  LabelFont font;
  font.size = 100.0 * mv::kLabelCellHeight / (unit.ascent + unit.descent);
  font.ascent = unit.ascent * font.size / 100.0;
  font.cell = mv::kLabelCellHeight;
  cairo_set_font_size(cr, font.size);
  return font;
}

// Centred on one line and clipped to the box, on whole pixels as the
// editor's text lands.
void DrawLabel(cairo_t* cr, const LabelFont& font, const ComponentDescriptor& d) {
  cairo_text_extents_t text;
  cairo_text_extents(cr, d.label, &text);
  const double x = d.x + std::floor((d.width - text.x_advance) / 2);
  const double top = d.y + std::floor((d.height - font.cell) / 2);
  cairo_save(cr);
  cairo_rectangle(cr, d.x, d.y, d.width, d.height);
  cairo_clip(cr);
  SetColour(cr, mv::kLabelColour);
  cairo_move_to(cr, x, top + std::round(font.ascent));
  cairo_show_text(cr, d.label);
  cairo_restore(cr);
}

}  // namespace

void SetColour(cairo_t* cr, unsigned colour, double alpha) {
  cairo_set_source_rgba(cr, mv::RedOf(colour) / 255.0, mv::GreenOf(colour) / 255.0, mv::BlueOf(colour) / 255.0,
                        alpha);
}

void PaintModule(cairo_t* cr, const PatchEngine& e, const mv::Rect& area, const Overlay* overlay) {
  cairo_save(cr);
  FillRect(cr, area, mv::kBackground);
  const LabelFont font = SelectLabelFont(cr);
  for (int s = 0; s < e.SlotCount(); ++s) {
    const ComponentDescriptor* d = e.Descriptor(s);
    if (d == nullptr) continue;
    FillRect(cr, {d->x, d->y, d->x + d->width, d->y + d->height}, d->colour);
    DrawLabel(cr, font, *d);
    for (int j = 0; j < d->input_count; ++j) FillRect(cr, mv::InputPort(d->x, d->y, j), mv::kPortColour);
    for (int k = 0; k < d->output_count; ++k) FillRect(cr, mv::OutputPort(d->x, d->y, k), mv::kPortColour);
  }
  // Wires over the boxes, through pixel centres as a one-pixel pen draws.
  SetColour(cr, mv::kWireColour);
  cairo_set_line_width(cr, mv::kWireWidth);
  for (int t = 0; t < e.SlotCount(); ++t) {
    const ComponentDescriptor* d = e.Descriptor(t);
    if (d == nullptr) continue;
    for (int j = 0; j < d->input_count; ++j) {
      const ComponentDescriptor* from = e.Descriptor(d->input_source_slot[j]);
      if (d->input_source_slot[j] == kNoSlot || from == nullptr) continue;
      const mv::Bezier c =
          mv::WireCurve(mv::OutputStart(from->x, from->y, d->input_source_output[j]), mv::InputEnd(d->x, d->y, j));
      cairo_move_to(cr, c.p0.x + 0.5, c.p0.y + 0.5);
      cairo_curve_to(cr, c.p1.x + 0.5, c.p1.y + 0.5, c.p2.x + 0.5, c.p2.y + 0.5, c.p3.x + 0.5, c.p3.y + 0.5);
      cairo_stroke(cr);
    }
  }
  if (overlay != nullptr) {
    cairo_set_line_width(cr, 1.0);
    if (overlay->selected) {
      for (int s = 0; s < e.SlotCount(); ++s) {
        const ComponentDescriptor* d = e.Descriptor(s);
        if (d == nullptr || !overlay->selected(s)) continue;
        const int l = d->x + 1, t = d->y + 1, r = d->x + d->width - 2, b = d->y + d->height - 2;
        Frame(cr, l - 1, t - 1, r + 1, b + 1, kSelectionOutline);
        Frame(cr, l, t, r, b, mv::kSelectionColour);
      }
    }
    if (overlay->wire) {
      SetColour(cr, mv::kWireColour);
      cairo_move_to(cr, overlay->wire_from.x + 0.5, overlay->wire_from.y + 0.5);
      cairo_line_to(cr, overlay->wire_to.x + 0.5, overlay->wire_to.y + 0.5);
      cairo_stroke(cr);
    }
    if (overlay->band) {
      const mv::Rect& r = overlay->band_rect;
      const double dash = 1.0;
      cairo_set_dash(cr, &dash, 1, 0);
      Frame(cr, std::min(r.left, r.right), std::min(r.top, r.bottom), std::max(r.left, r.right),
            std::max(r.top, r.bottom), mv::kWireColour);
      cairo_set_dash(cr, nullptr, 0, 0);
    }
  }
  cairo_restore(cr);
}

}  // namespace korvel::module_painter

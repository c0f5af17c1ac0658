// Where a point of the Module View falls: which box, which port row. The
// rules every editor shares (the Win32 view, the Linux UI), on the one
// geometry `korvel draw` also uses. Module coordinates throughout.
// [editor thread] The caller holds the edit lock or is the thread that
// edits, so the slot tables do not change underneath.
#pragma once

#include "editor/module_view_geometry.h"
#include "engine/patch_engine.h"

namespace korvel::editor_core {

using module_view::Point;
using module_view::Rect;

// Strict on all four sides: the border line itself is outside.
bool Contains(const ComponentDescriptor& d, Point p);
// The largest port row below `count` whose top edge lies above py; -1 for
// none.
int RowAt(const ComponentDescriptor& d, int count, int py);
// The box drawn on top at p (later slots are painted over earlier ones);
// -1 for none.
int BoxAt(const PatchEngine& engine, Point p);

// What a point means to a press of the left button.
struct Hit {
  // kLoop: on a box that feeds the wire's source (a drop there would
  // close a loop).
  enum Kind { kNothing, kBody, kOutput, kInput, kLoop } kind = kNothing;
  int slot = -1;
  int port = -1;  // the row, for kOutput and kInput
};
// On the topmost box at p: its output column picks up a wire, the rest of
// it is the body (written rule: p.x <= x + 70 is the body).
Hit PressAt(const PatchEngine& engine, Point p);
// Where a wire from (source, output) dropped at p would end: the input row
// of the topmost box whose input column holds p, skipping the source itself
// and the boxes that feed it. kBody: released on a body (no connection);
// kLoop: only boxes that feed the source were there.
Hit DropAt(const PatchEngine& engine, int source, Point p);

// Boxes that meet the rectangle (any corner order), for a rubber band.
bool Meets(const ComponentDescriptor& d, Rect r);

}  // namespace korvel::editor_core

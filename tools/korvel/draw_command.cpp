// korvel draw: the patch as the editor's Module View paints it, as a PNG
// or an SVG.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

#include "editor/cairo/module_painter.h"
#include "editor/core/layout.h"
#include "editor/module_view_geometry.h"
#include "tools/korvel/cli.h"
#include "tools/korvel/module_io.h"
#include "tools/korvel/picture.h"
#include "tools/korvel/text_format.h"

namespace korvel::cli {

namespace {

namespace mv = module_view;

constexpr char kDrawUsage[] =
    "usage: korvel draw MODULE.korvel -o PICTURE.png|svg [--scale S]\n"
    "\n"
    "Draws the module's patch as the editor's Module View shows it: the boxes\n"
    "at their saved positions with their colours and labels, the port squares\n"
    "and the wires. A module saved without positions (every box at 0, 0) is\n"
    "laid out in columns along its wires, as the editor lays it out. The\n"
    "picture reaches 50 units right of and below the furthest box.\n"
    "  -o PICTURE    .png or .svg\n"
    "  --scale S     size factor, 0.25 to 8 (default 1: one PNG pixel per\n"
    "                editor pixel)\n";

constexpr double kMinScale = 0.25;
constexpr double kMaxScale = 8.0;

// In 64 bits: positions are 32-bit and a box's far edge or the margin
// beyond it may not fit one.
struct Extent {
  std::int64_t left = 0, top = 0, right = mv::kMargin, bottom = mv::kMargin;
  int furthest = -1;  // the slot that reaches furthest from the origin
};

// From the module's origin, as the unscrolled view shows it, out to the
// margin the view keeps beyond the furthest box; boxes dragged above or
// left of the origin widen it that way too.
Extent ExtentOf(const PatchEngine& e) {
  Extent extent;
  std::int64_t furthest = -1;
  for (int s = 0; s < e.SlotCount(); ++s) {
    const ComponentDescriptor* d = e.Descriptor(s);
    if (d == nullptr) continue;
    const std::int64_t x = d->x, y = d->y;
    extent.left = std::min(extent.left, x);
    extent.top = std::min(extent.top, y);
    extent.right = std::max(extent.right, x + d->width + mv::kMargin);
    extent.bottom = std::max(extent.bottom, y + d->height + mv::kMargin);
    const std::int64_t reach = std::max({-x, -y, x + d->width, y + d->height});
    if (reach > furthest) {
      furthest = reach;
      extent.furthest = s;
    }
  }
  return extent;
}

}  // namespace

int DrawCommand(const Args& args) {
  if (WantsHelp(args)) {
    std::fputs(kDrawUsage, stdout);
    return kExitOk;
  }
  std::string path, output;
  double scale = 1.0;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-o" || a == "--scale") {
      if (i + 1 >= args.size()) return UsageError(a + " needs a value", kDrawUsage);
      const std::string& v = args[++i];
      if (a == "-o") {
        if (!output.empty()) return UsageError("-o is given twice", kDrawUsage);
        output = v;
      } else if (!ParseNumber(v, scale) || scale < kMinScale || scale > kMaxScale) {
        return UsageError("--scale needs a number from 0.25 to 8, not '" + v + "'", kDrawUsage);
      }
    } else if (!a.empty() && a[0] == '-') {
      return UsageError("unknown option '" + a + "'", kDrawUsage);
    } else if (path.empty()) {
      path = a;
    } else {
      return UsageError("one module only ('" + a + "' is extra)", kDrawUsage);
    }
  }
  if (path.empty()) return UsageError("no module given", kDrawUsage);
  if (output.empty()) return UsageError("no picture given (-o PICTURE.png or .svg)", kDrawUsage);
  const auto format = PictureFormatOf(output);
  if (!format) return UsageError("the picture must end in .png or .svg, not '" + output + "'", kDrawUsage);

  std::string error;
  const auto module = LoadModule(path, error);
  if (!module) return Fail(kExitFailure, error);
  // A module written without positions is drawn as the editor lays it out.
  editor_core::LayOutIfUnplaced(*module->engine);
  // A position the reader accepts may lie far beyond any picture: refused,
  // naming the box, before anything is drawn.
  const PatchEngine& engine = *module->engine;
  const Extent extent = ExtentOf(engine);
  const double width = static_cast<double>(extent.right - extent.left);
  const double height = static_cast<double>(extent.bottom - extent.top);
  int pixels_wide = 0, pixels_high = 0;
  std::string reason;
  if (!PictureFits(width, height, scale, pixels_wide, pixels_high, reason)) {
    const ComponentDescriptor& far = *engine.Descriptor(extent.furthest);
    return Fail(kExitFailure, "'" + path + "': cannot draw the patch: " + reason + " (slot " +
                                  std::to_string(extent.furthest) + " '" + Excerpt(far.label) + "' is at (" +
                                  std::to_string(far.x) + ", " + std::to_string(far.y) + "))");
  }
  auto picture = Picture::Begin(output, {{path, "the module"}}, *format, width, height, scale, error);
  if (!picture) return Fail(kExitFailure, error);
  // Within the picture bound (checked above), every position fits an int.
  cairo_t* cr = picture->cr();
  cairo_translate(cr, static_cast<double>(-extent.left), static_cast<double>(-extent.top));
  module_painter::PaintModule(cr, engine,
                              {static_cast<int>(extent.left), static_cast<int>(extent.top),
                               static_cast<int>(extent.right), static_cast<int>(extent.bottom)});
  if (!picture->Finish(error)) return Fail(kExitFailure, error);
  return kExitOk;
}

}  // namespace korvel::cli

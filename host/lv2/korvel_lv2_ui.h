// The LV2 UI's one addition beyond the LV2 interfaces: a look inside for
// programs that drive the UI without a person at the mouse (the tests, a
// script host). Given by the UI's extension_data under kUiInspectUri; plain
// C types only, since the UI library keeps its own copy of the engine.
// [UI thread] Every call runs where the host calls port_event and idle.
#pragma once

#include <cstddef>

namespace korvel::lv2 {

inline constexpr char kUiInspectUri[] = "urn:korvel:lv2:modular#ui-inspect";

struct UiInspect {
  // The module the UI shows, as a module image (with the parameter values
  // it holds), copied into `out` up to `size` bytes; answers the whole
  // text's length.
  std::size_t (*image)(void* ui, char* out, std::size_t size);
  // Adds a component of `type` at (x, y) as the Components menu does,
  // which then goes to the plug-in at the next idle call as any edit
  // does; the slot, or -1.
  int (*add)(void* ui, int type, int x, int y);
  // Steps Undo can take back.
  std::size_t (*undo_depth)(void* ui);
  // What the status line shows, as image() copies.
  std::size_t (*status)(void* ui, char* out, std::size_t size);
  // Where the slider of host parameter `index` (0..24) stands, 0..1.
  float (*slider)(void* ui, int index);
};

}  // namespace korvel::lv2

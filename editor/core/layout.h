// Places the boxes of a module that carries no positions (written by hand
// or by a program: every box at (0, 0)), so it can be seen and edited:
// columns by how far along the wires a box is from the patch's sources,
// left to right, the OUT boxes last; in each column boxes stacked without
// overlap. Platform-free: `korvel draw` and every editor lay out alike.
// [editor thread] Moves boxes through the engine's own operation.
#pragma once

#include "engine/patch_engine.h"

namespace korvel::editor_core {

inline constexpr int kLayoutMargin = 20;     // from the origin to the first box
inline constexpr int kLayoutColumnGap = 60;  // room for the wires between columns
inline constexpr int kLayoutRowGap = 20;

// True when the module has at least two boxes and every one is at (0, 0).
bool NeedsLayout(const PatchEngine& engine);
// Lays every box out as above, whatever its position.
void LayOut(PatchEngine& engine);
// LayOut when NeedsLayout; answers whether it did.
bool LayOutIfUnplaced(PatchEngine& engine);

}  // namespace korvel::editor_core

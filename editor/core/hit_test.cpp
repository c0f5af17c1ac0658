#include "editor/core/hit_test.h"

#include <algorithm>

namespace korvel::editor_core {

using namespace module_view;

bool Contains(const ComponentDescriptor& d, Point p) {
  return d.x < p.x && p.x < d.x + d.width && d.y < p.y && p.y < d.y + d.height;
}

int RowAt(const ComponentDescriptor& d, int count, int py) {
  int row = -1;
  for (int k = 0; k < count; ++k)
    if (py > d.y + kPortPitch * k + 3) row = k;
  return row;
}

int BoxAt(const PatchEngine& engine, Point p) {
  for (int s = engine.SlotCount() - 1; s >= 0; --s) {
    const ComponentDescriptor* d = engine.Descriptor(s);
    if (d != nullptr && Contains(*d, p)) return s;
  }
  return -1;
}

Hit PressAt(const PatchEngine& engine, Point p) {
  const int s = BoxAt(engine, p);
  if (s < 0) return {};
  const ComponentDescriptor& d = *engine.Descriptor(s);
  if (p.x <= d.x + kOutputColumn) return {Hit::kBody, s, -1};
  const int k = RowAt(d, d.output_count, p.y);
  return k >= 0 ? Hit{Hit::kOutput, s, k} : Hit{};
}


Hit DropAt(const PatchEngine& engine, int source, Point p) {
  if (!engine.IsOccupied(source)) return {};
  Hit looping;
  for (int n = engine.SlotCount() - 1; n >= 0; --n) {
    const ComponentDescriptor* d = engine.Descriptor(n);
    if (d == nullptr || n == source || !Contains(*d, p)) continue;
    if (engine.ClosesLoop(source, n)) {
      if (looping.kind == Hit::kNothing) looping = {Hit::kLoop, n, -1};
      continue;
    }
    if (p.x >= d->x + kInputColumn) return {Hit::kBody, n, -1};
    const int j = RowAt(*d, d->input_count, p.y);
    if (j >= 0) return {Hit::kInput, n, j};
  }
  return looping;
}

bool Meets(const ComponentDescriptor& d, Rect r) {
  const int left = std::min(r.left, r.right), right = std::max(r.left, r.right);
  const int top = std::min(r.top, r.bottom), bottom = std::max(r.top, r.bottom);
  return d.x <= right && left <= d.x + d.width && d.y <= bottom && top <= d.y + d.height;
}

}  // namespace korvel::editor_core

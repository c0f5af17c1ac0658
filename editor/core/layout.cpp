#include "editor/core/layout.h"

#include <algorithm>
#include <vector>

namespace korvel::editor_core {

namespace {

constexpr int kOutType = 1;

// A box's wired sources, occupied ones only.
std::vector<int> SourcesOf(const PatchEngine& engine, int slot) {
  std::vector<int> sources;
  const ComponentDescriptor& d = *engine.Descriptor(slot);
  for (int j = 0; j < d.input_count; ++j) {
    const int s = d.input_source_slot[j];
    if (s != kNoSlot && s != slot && engine.IsOccupied(s)) sources.push_back(s);
  }
  return sources;
}

}  // namespace

bool NeedsLayout(const PatchEngine& engine) {
  int boxes = 0;
  for (int s = 0; s < engine.SlotCount(); ++s) {
    const ComponentDescriptor* d = engine.Descriptor(s);
    if (d == nullptr) continue;
    if (d->x != 0 || d->y != 0) return false;
    ++boxes;
  }
  return boxes >= 2;
}

void LayOut(PatchEngine& engine) {
  const int n = engine.SlotCount();
  std::vector<int> slots;
  std::vector<std::vector<int>> sources(static_cast<std::size_t>(n)), targets(static_cast<std::size_t>(n));
  for (int s = 0; s < n; ++s) {
    if (!engine.IsOccupied(s)) continue;
    slots.push_back(s);
    for (int from : SourcesOf(engine, s)) {
      sources[static_cast<std::size_t>(s)].push_back(from);
      targets[static_cast<std::size_t>(from)].push_back(s);
    }
  }
  if (slots.empty()) return;

  // The longest way from a box with no wired input. The engine keeps the
  // patch free of loops; a file's loop only stops the climb after n rounds.
  std::vector<int> column(static_cast<std::size_t>(n), 0);
  for (int round = 0; round < n; ++round) {
    bool changed = false;
    for (int s : slots)
      for (int from : sources[static_cast<std::size_t>(s)])
        if (column[static_cast<std::size_t>(s)] < column[static_cast<std::size_t>(from)] + 1 &&
            column[static_cast<std::size_t>(from)] + 1 < n) {
          column[static_cast<std::size_t>(s)] = column[static_cast<std::size_t>(from)] + 1;
          changed = true;
        }
    if (!changed) break;
  }
  // A source that feeds only later columns (a constant for a cutoff) moves
  // up to just before its first reader, so its wire stays short; the OUT
  // boxes go to the last column.
  int last = 0;
  for (int s : slots) last = std::max(last, column[static_cast<std::size_t>(s)]);
  for (int s : slots)
    if (engine.Descriptor(s)->type == kOutType && targets[static_cast<std::size_t>(s)].empty())
      column[static_cast<std::size_t>(s)] = last;
  std::vector<int> by_column = slots;
  std::sort(by_column.begin(), by_column.end(),
            [&](int a, int b) { return column[static_cast<std::size_t>(a)] > column[static_cast<std::size_t>(b)]; });
  for (int s : by_column) {
    const auto& readers = targets[static_cast<std::size_t>(s)];
    if (readers.empty()) continue;
    int first = n;
    for (int t : readers) first = std::min(first, column[static_cast<std::size_t>(t)]);
    if (first - 1 > column[static_cast<std::size_t>(s)]) column[static_cast<std::size_t>(s)] = first - 1;
  }

  // Columns as wide as their widest box; in each, boxes in the order of
  // their sources' rows (then of their slots), so wires cross little.
  for (int s : slots) last = std::max(last, column[static_cast<std::size_t>(s)]);
  std::vector<std::vector<int>> members(static_cast<std::size_t>(last) + 1);
  for (int s : slots) members[static_cast<std::size_t>(column[static_cast<std::size_t>(s)])].push_back(s);
  std::vector<double> order(static_cast<std::size_t>(n), 0.0);
  int x = kLayoutMargin;
  for (auto& member : members) {
    for (int s : member) {
      const auto& from = sources[static_cast<std::size_t>(s)];
      double sum = 0;
      for (int f : from) sum += order[static_cast<std::size_t>(f)];
      // Boxes fed by nothing first, in slot order.
      order[static_cast<std::size_t>(s)] = from.empty() ? -1.0 : sum / static_cast<double>(from.size());
    }
    std::stable_sort(member.begin(), member.end(), [&](int a, int b) {
      return order[static_cast<std::size_t>(a)] < order[static_cast<std::size_t>(b)];
    });
    int y = kLayoutMargin, widest = 0;
    for (std::size_t i = 0; i < member.size(); ++i) {
      const int s = member[i];
      const ComponentDescriptor& d = *engine.Descriptor(s);
      engine.MoveComponent(s, x, y);
      order[static_cast<std::size_t>(s)] = static_cast<double>(i);
      y += d.height + kLayoutRowGap;
      widest = std::max(widest, static_cast<int>(d.width));
    }
    x += widest + kLayoutColumnGap;
  }
}

bool LayOutIfUnplaced(PatchEngine& engine) {
  if (!NeedsLayout(engine)) return false;
  LayOut(engine);
  return true;
}

}  // namespace korvel::editor_core

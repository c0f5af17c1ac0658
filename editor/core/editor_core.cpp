#include "editor/core/editor_core.h"

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>

#include "editor/core/layout.h"
#include "engine/module_file.h"
#include "engine/module_image.h"

namespace korvel::editor_core {
namespace {

using Json = nlohmann::ordered_json;

// What the user reads when a paste is refused.
constexpr char kNotAFragment[] = "The clipboard does not hold Korvel components: ";
constexpr char kNoComponents[] = "The clipboard holds a module without components.";

}  // namespace

EditorCore::EditorCore(PatchEngine& engine) : engine_(engine) {
  layout_seen_ = engine_.LayoutSerial();
  script_seen_ = engine_.ScriptSerial();
  if (engine_.IsOccupied(engine_.Editor().selected_slot)) selected_.set(static_cast<std::size_t>(engine_.Editor().selected_slot));
}

// ------------------------------------------------------------ selection

bool EditorCore::IsSelected(int slot) const {
  return engine_.IsOccupied(slot) && selected_.test(static_cast<std::size_t>(slot));
}

std::vector<int> EditorCore::Selection() const {
  std::vector<int> slots;
  for (int s = 0; s < kSlotCount; ++s)
    if (IsSelected(s)) slots.push_back(s);
  return slots;
}

void EditorCore::Select(int slot) {
  selected_.reset();
  engine_.Editor().selected_slot = engine_.IsOccupied(slot) ? slot : -1;
  if (engine_.Editor().selected_slot >= 0) selected_.set(static_cast<std::size_t>(slot));
}

void EditorCore::ToggleSelected(int slot) {
  if (!engine_.IsOccupied(slot)) return;
  selected_.flip(static_cast<std::size_t>(slot));
  if (selected_.test(static_cast<std::size_t>(slot))) {
    engine_.Editor().selected_slot = slot;
  } else if (engine_.Editor().selected_slot == slot) {
    const std::vector<int> rest = Selection();
    engine_.Editor().selected_slot = rest.empty() ? -1 : rest.back();
  }
}

void EditorCore::SelectWhere(Rect band, bool add) {
  if (!add) Select(-1);
  for (int s = 0; s < engine_.SlotCount(); ++s) {
    const ComponentDescriptor* d = engine_.Descriptor(s);
    if (d == nullptr || !Meets(*d, band)) continue;
    selected_.set(static_cast<std::size_t>(s));
    engine_.Editor().selected_slot = s;
  }
}

void EditorCore::SelectAll() { SelectWhere({-kMaxPosition, -kMaxPosition, 2 * kMaxPosition, 2 * kMaxPosition}, false); }

void EditorCore::PruneSelection() {
  for (int s = 0; s < kSlotCount; ++s)
    if (!engine_.IsOccupied(s)) selected_.reset(static_cast<std::size_t>(s));
  if (!engine_.IsOccupied(engine_.Editor().selected_slot)) {
    const std::vector<int> rest = Selection();
    engine_.Editor().selected_slot = rest.empty() ? -1 : rest.back();
  }
}

// ------------------------------------------------------------ history

std::string EditorCore::Image() const { return WriteModuleImage(engine_, {}, ParameterValues::kLeftOut); }

void EditorCore::Notice() {
  if (engine_.LayoutSerial() == layout_seen_ && engine_.ScriptSerial() == script_seen_) return;
  Forget();
}

void EditorCore::Forget() {
  undo_.clear();
  redo_.clear();
  history_bytes_ = 0;
  layout_seen_ = engine_.LayoutSerial();
  script_seen_ = engine_.ScriptSerial();
  PruneSelection();
}

void EditorCore::BeginStep(const char* name) {
  if (in_step_) EndStep();
  Notice();
  in_step_ = true;
  pending_name_ = name;
  pending_before_ = Image();
}

bool EditorCore::EndStep() {
  if (!in_step_) return false;
  in_step_ = false;
  // New Module and Load Module replace the module through the engine's own
  // paths, which tell every editor so: these are this editor's doing.
  layout_seen_ = engine_.LayoutSerial();
  script_seen_ = engine_.ScriptSerial();
  PruneSelection();
  std::string before = std::move(pending_before_);
  if (before == Image()) return false;
  Record(std::move(pending_name_), std::move(before));
  return true;
}

void EditorCore::Record(std::string name, std::string before) {
  for (const Step& step : redo_) history_bytes_ -= step.image.size();
  redo_.clear();
  history_bytes_ += before.size();
  undo_.push_back({std::move(name), std::move(before)});
  Trim();
}

void EditorCore::Trim() {
  while (!undo_.empty() && (undo_.size() > kMaxHistorySteps || history_bytes_ > kMaxHistoryBytes)) {
    history_bytes_ -= undo_.front().image.size();
    undo_.pop_front();
  }
}

bool EditorCore::Travel(std::deque<Step>& from, std::deque<Step>& to, std::string& error) {
  if (in_step_) EndStep();
  Notice();
  if (from.empty()) return false;
  Step step = std::move(from.back());
  from.pop_back();
  history_bytes_ -= step.image.size();
  std::string now = Image();
  if (!RestoreModuleImage(engine_, step.image, error)) {
    from.clear();  // a step that cannot be taken back ends the history
    to.clear();
    history_bytes_ = 0;
    return false;
  }
  layout_seen_ = engine_.LayoutSerial();
  script_seen_ = engine_.ScriptSerial();
  history_bytes_ += now.size();
  to.push_back({std::move(step.name), std::move(now)});
  PruneSelection();
  return true;
}

bool EditorCore::Undo(std::string& error) { return Travel(undo_, redo_, error); }
bool EditorCore::Redo(std::string& error) { return Travel(redo_, undo_, error); }

bool EditorCore::TakeBack(std::string& error) {
  if (!Undo(error)) return false;
  history_bytes_ -= redo_.back().image.size();
  redo_.pop_back();
  return true;
}

// ------------------------------------------------------------ commands

int EditorCore::Add(int type, int x, int y) {
  int slot = -1;
  Change(step::kAdd, [&] {
    engine_.Editor().new_component_x = x;
    engine_.Editor().new_component_y = y;
    slot = engine_.CreateComponent(type);
    return slot >= 0;
  });
  return slot;
}

bool EditorCore::DeleteSelection() {
  const std::vector<int> slots = Selection();
  if (slots.empty()) return false;
  return Change(step::kDelete, [&] {
    for (int s : slots) engine_.DeleteComponent(s);
    return true;
  });
}

void EditorCore::BeginMove(int pressed_slot) {
  if (!IsSelected(pressed_slot)) Select(pressed_slot);
  BeginStep(step::kMove);
  move_start_.clear();
  for (int s : Selection()) move_start_.push_back({s, engine_.Descriptor(s)->x, engine_.Descriptor(s)->y});
}

void EditorCore::MoveBy(int dx, int dy) {
  // Never above or left of the content's origin, where no scrolling could
  // reach a box again; the boxes keep their places relative to each other.
  for (const Start& start : move_start_) {
    dx = std::max(dx, -start.x);
    dy = std::max(dy, -start.y);
  }
  for (const Start& start : move_start_) engine_.MoveComponent(start.slot, start.x + dx, start.y + dy);
}

bool EditorCore::EndMove() {
  move_start_.clear();
  return EndStep();
}

bool EditorCore::Connect(int source, int output, int target, int input) {
  return Change(step::kConnect, [&] { return engine_.Connect(source, output, target, input); });
}

bool EditorCore::Disconnect(int source, int output) {
  return Change(step::kDisconnect, [&] {
    engine_.DetachOutput(source, output);
    return true;
  });
}

bool EditorCore::Relabel(int slot, const std::string& label) {
  return Change(step::kRename, [&] {
    if (!engine_.IsOccupied(slot)) return false;
    engine_.SetLabel(slot, label.c_str());
    return true;
  });
}

bool EditorCore::ChangeSettings(int slot, const nlohmann::json& settings, std::string& error) {
  return Change(step::kSettings, [&] { return engine_.SetSettings(slot, settings, error); });
}

bool EditorCore::SetParameterInfo(int index, const std::string& name, std::uint32_t kind) {
  return Change(step::kParameterProperties, [&] {
    engine_.SetParameterInfo(index, name.c_str(), kind);
    return true;
  });
}

bool EditorCore::SetModuleTexts(const std::string& name, const std::string& author, const std::string& description) {
  return Change(step::kModuleInformation, [&] {
    engine_.SetModuleTexts(name.c_str(), author.c_str(), description.c_str());
    return true;
  });
}

bool EditorCore::ApplyScript(const std::string& text) {
  return Change(step::kApplyScript, [&] {
    engine_.ApplyScript(text.c_str());
    return true;
  });
}

bool EditorCore::NewModule() {
  const bool changed = Change(step::kNewModule, [&] {
    engine_.ClearModule();
    return true;
  });
  Select(-1);
  return changed;
}

bool EditorCore::LoadModule(const std::string& path, std::string& error) {
  bool loaded = false;
  // A module without positions is laid out in the same step, so the view
  // shows it and one undo takes the whole load back.
  Change(step::kLoadModule, [&] {
    loaded = LoadModuleFile(engine_, path, error);
    if (loaded) LayOutIfUnplaced(engine_);
    return loaded;
  });
  Select(-1);
  return loaded;
}

// ------------------------------------------------------------ clipboard

std::string EditorCore::Copy() const {
  const std::vector<int> slots = Selection();
  if (slots.empty()) return {};
  const Json whole = Json::parse(Image());
  const auto chosen = [this](const Json& slot) { return IsSelected(slot.get<int>()); };
  Json fragment = Json::object();
  fragment["format"] = whole["format"];
  fragment["version"] = whole["version"];
  fragment["components"] = Json::array();
  for (const Json& c : whole["components"])
    if (chosen(c["slot"])) fragment["components"].push_back(c);
  fragment["connections"] = Json::array();
  for (const Json& c : whole["connections"])
    if (chosen(c["from"][0]) && chosen(c["to"][0])) fragment["connections"].push_back(c);
  return fragment.dump(2) + "\n";
}

bool EditorCore::Cut() {
  if (Selection().empty()) return false;
  return Change(step::kCut, [&] {
    for (int s : Selection()) engine_.DeleteComponent(s);
    return true;
  });
}

bool EditorCore::Paste(const std::string& text, std::string& error) {
  if (in_step_) EndStep();
  Notice();
  std::string why;
  if (text.empty() || !CheckModuleImage(text.data(), text.size(), why)) {
    error = kNotAFragment + (text.empty() ? std::string("it is empty") : why) + ".";
    return false;
  }
  const nlohmann::json fragment = nlohmann::json::parse(text);
  const nlohmann::json& pieces = fragment["components"];
  if (pieces.empty()) {
    error = kNoComponents;
    return false;
  }
  std::vector<int> free_slots;
  for (int s = 0; s < kSlotCount; ++s)
    if (!engine_.IsOccupied(s)) free_slots.push_back(s);
  if (pieces.size() > free_slots.size()) {
    error = "The clipboard holds " + std::to_string(pieces.size()) + " components, but only " +
            std::to_string(free_slots.size()) + " of the " + std::to_string(kSlotCount) +
            " slots are free. Nothing was pasted.";
    return false;
  }
  Json whole = Json::parse(Image());
  std::map<int, int> slot_of;  // fragment slot -> new slot
  std::vector<int> pasted;
  for (const nlohmann::json& piece : pieces) {
    const int slot = free_slots[slot_of.size()];
    slot_of[piece["slot"].get<int>()] = slot;
    pasted.push_back(slot);
    Json c = Json::parse(piece.dump());  // keeps the entry's key order
    c["slot"] = slot;
    const auto offset = [&c](const char* key) {
      const long long at = c.contains(key) ? c[key].get<long long>() : 0;
      c[key] = std::clamp<long long>(at + kPasteOffset, 0, kMaxPosition);
    };
    offset("x");
    offset("y");
    whole["components"].push_back(std::move(c));
  }
  if (fragment.contains("connections"))
    for (const nlohmann::json& wire : fragment["connections"]) {
      const auto from = slot_of.find(wire["from"][0].get<int>());
      const auto to = slot_of.find(wire["to"][0].get<int>());
      if (from == slot_of.end() || to == slot_of.end()) continue;  // leads out of the fragment
      whole["connections"].push_back(
          {{"from", {from->second, wire["from"][1]}}, {"to", {to->second, wire["to"][1]}}});
    }
  const std::string image = whole.dump(2);
  bool restored = false;
  Change(step::kPaste, [&] { return restored = RestoreModuleImage(engine_, image, why); });
  if (!restored) {
    error = kNotAFragment + why + ".";
    return false;
  }
  Select(-1);
  for (int s : pasted) ToggleSelected(s);
  return true;
}

bool EditorCore::Duplicate(std::string& error) {
  const std::string copied = Copy();
  if (copied.empty()) return false;
  if (!Paste(copied, error)) return false;
  if (!undo_.empty()) undo_.back().name = step::kDuplicate;
  return true;
}

}  // namespace korvel::editor_core

// Creating, deleting and wiring components.
#include <algorithm>
#include <cstring>

#include "components/routing.h"
#include "engine/messages.h"
#include "engine/patch_engine.h"
#include "engine/type_table.h"
#include "engine/ui.h"
#include "script/script_engine.h"

namespace korvel {

int PatchEngine::CreateComponent(int type) {
  if (!IsTypeAvailable(type)) return -1;
  int slot = -1;
  {
    auto lock = LockEdits();
    const auto free_slot = std::find(std::begin(descriptor), std::end(descriptor), nullptr);
    if (free_slot != std::end(descriptor)) {
      slot = static_cast<int>(free_slot - std::begin(descriptor));
      if (!CreateComponentAtLocked(slot, type)) return -1;
      PublishLocked();
    }
  }
  // Shown with nothing held: the audio thread and the host go on meanwhile.
  if (slot < 0) {
    Ui().ShowMessage(nullptr, text::kNoComponentSpace, text::kComponentCreationTitle,
                     kMbOk | kMbIconExclamation);
    return -1;
  }
  Ui().Repaint(module_view);
  return slot;
}

bool PatchEngine::CreateComponentAt(int slot, int type) {
  {
    auto lock = LockEdits();
    if (!CreateComponentAtLocked(slot, type)) return false;
    PublishLocked();
  }
  Ui().Repaint(module_view);
  return true;
}

// The record is made here, off the audio thread; the audio thread meets it
// in the next plan.
bool PatchEngine::CreateComponentAtLocked(int slot, int type) {
  if (!IsTypeAvailable(type) || slot < 0 || slot >= kSlotCount) return false;
  if (descriptor[slot] != nullptr) return false;
  if (kComponentTypeTable.line_access[type] != LineAccess::kNone && !ReserveDelayLinesLocked()) return false;
  const ComponentDispatch type_dispatch = kComponentTypeTable.dispatch[type];
  auto* self = reinterpret_cast<ComponentRecord*>(type_dispatch(kCreateState, nullptr, nullptr));
  if (self == nullptr) return false;
  auto* d = new (std::nothrow) ComponentDescriptor{};
  if (d == nullptr) {
    type_dispatch(kDestroyState, nullptr, self);
    return false;
  }
  self->context = &context;
  std::strcpy(d->provider, text::kInternalProvider);
  d->type = type;
  d->x = std::clamp(new_component_x, 0, kMaxPosition);
  d->y = std::clamp(new_component_y, 0, kMaxPosition);
  d->width = 80;
  d->input_count = static_cast<std::uint8_t>(type_dispatch(kGetInputCount, nullptr, nullptr));
  d->output_count = static_cast<std::uint8_t>(type_dispatch(kGetOutputCount, nullptr, nullptr));
  d->height = static_cast<std::int16_t>(8 * std::max(d->input_count, d->output_count) + 6);
  const auto* type_name = reinterpret_cast<const char*>(type_dispatch(kGetName, nullptr, nullptr));
  std::strncpy(d->label, type_name, kLabelSize - 1);
  const auto colour = static_cast<std::uint32_t>(type_dispatch(kGetColour, nullptr, nullptr));
  d->colour = colour != 0 ? colour : kDefaultBoxColour;
  std::fill(std::begin(d->input_source_slot), std::end(d->input_source_slot), kNoSlot);
  std::fill(std::begin(d->input_source_output), std::end(d->input_source_output), kNoSlot);
  std::fill(std::begin(d->output_target_slot), std::end(d->output_target_slot), kNoSlot);
  std::fill(std::begin(d->output_target_input), std::end(d->output_target_input), kNoSlot);

  record[slot] = self;
  descriptor[slot] = d;
  process[slot] = kComponentTypeTable.process[type];
  dispatch[slot] = type_dispatch;
  if (type == kInType && in_slot == -1) in_slot = slot;
  if (type == kOutType && out_slot == -1) out_slot = slot;
  if (slot_count <= slot) slot_count = slot + 1;
  plan_stale_ = true;
  return true;
}

void PatchEngine::DeleteComponent(int slot) {
  {
    auto lock = LockEdits();
    if (!IsOccupied(slot)) return;
    DeleteLocked(slot);
    PublishLocked();
  }
  Ui().Repaint(module_view);
}

// The record is retired, not freed: the plan the audio thread may be
// running still names it.
void PatchEngine::DeleteLocked(int s) {
  if (s == in_slot) in_slot = -1;
  if (s == out_slot) out_slot = -1;
  ComponentDescriptor* d = descriptor[s];
  ComponentRecord* self = record[s];
  descriptor[s] = nullptr;
  record[s] = nullptr;
  for (int k = 0; k < d->input_count; ++k) {
    const std::uint16_t u = d->input_source_slot[k];
    if (u == kNoSlot) continue;
    const std::uint16_t m = d->input_source_output[k];
    if (descriptor[u] != nullptr && m < kMaxPorts) {
      descriptor[u]->output_target_slot[m] = kNoSlot;
      descriptor[u]->output_target_input[m] = 0;
    }
    d->input_source_slot[k] = kNoSlot;
    d->input_source_output[k] = 0;
  }
  for (int k = 0; k < d->output_count; ++k) {
    const std::uint16_t u = d->output_target_slot[k];
    if (u == kNoSlot) continue;
    const std::uint16_t m = d->output_target_input[k];
    if (descriptor[u] != nullptr && m < kMaxPorts) {
      descriptor[u]->input_source_slot[m] = kNoSlot;
      descriptor[u]->input_source_output[m] = 0;
    }
    d->output_target_slot[k] = kNoSlot;
    d->output_target_input[k] = 0;
  }
  process[s] = nullptr;
  delete d;
  SetSoundProblemLocked(s, std::string());
  RetireRecordLocked(self, dispatch[s]);
  dispatch[s] = nullptr;
}

void PatchEngine::ClearModule() {
  {
    auto lock = LockEdits();
    ClearModuleLocked();
    oversampling_ = 1;  // a new module runs at the host's rate
    ++layout_serial_;
    PublishLocked();
  }
  Ui().EngineChanged(main_window);
}

void PatchEngine::ClearModuleLocked() {
  // Display kinds stay: they describe the host's parameters, not the patch.
  for (int p = 0; p < kNamedParameterCount; ++p)
    if (parameter_names[p] != nullptr) parameter_names[p][0] = '\0';
  for (int s = 0; s < kSlotCount; ++s)
    if (descriptor[s] != nullptr) DeleteLocked(s);
  slot_count = 0;
  ResetEditorState();
  plan_stale_ = true;
}

// Whether a is not b and does not feed b, directly or through other slots.
// Slots already searched are not searched again, so diamond-shaped patches
// cost one visit per slot rather than one per path.
bool PatchEngine::IsNotUpstream(int a, int b) const {
  bool seen[kSlotCount] = {};
  int stack[kSlotCount];
  int depth = 0;
  stack[depth++] = b;
  seen[b] = true;
  while (depth > 0) {
    const int slot = stack[--depth];
    if (slot == a) return false;
    const ComponentDescriptor* d = descriptor[slot];
    if (d == nullptr) continue;
    for (int k = 0; k < kMaxPorts; ++k) {
      const std::uint16_t u = d->input_source_slot[k];
      if (u != kNoSlot && !seen[u]) {
        seen[u] = true;
        stack[depth++] = u;
      }
    }
  }
  return true;
}

void PatchEngine::AttachInput(int t, int k, int s, int m) {
  auto lock = LockEdits();
  AttachInputLocked(t, k, s, m);
  PublishLocked();
}

void PatchEngine::AttachInputLocked(int t, int k, int s, int m) {
  descriptor[t]->input_source_slot[k] = static_cast<std::uint16_t>(s);
  descriptor[t]->input_source_output[k] = static_cast<std::uint16_t>(m);
  descriptor[s]->output_target_slot[m] = static_cast<std::uint16_t>(t);
  descriptor[s]->output_target_input[m] = static_cast<std::uint16_t>(k);
  plan_stale_ = true;
}

void PatchEngine::DetachOutput(int s, int m) {
  auto lock = LockEdits();
  DetachOutputLocked(s, m);
  if (plan_stale_) PublishLocked();
}

void PatchEngine::DetachOutputLocked(int s, int m) {
  if (!IsOccupied(s) || m < 0 || m >= kMaxPorts) return;
  ComponentDescriptor* d = descriptor[s];
  const std::uint16_t u = d->output_target_slot[m];
  if (u == kNoSlot) return;
  if (ComponentDescriptor* target = descriptor[u]) {
    for (int j = 0; j < kMaxPorts; ++j) {
      if (target->input_source_slot[j] == s && target->input_source_output[j] == m) {
        target->input_source_slot[j] = kNoSlot;
        target->input_source_output[j] = 0;
      }
    }
  }
  d->output_target_slot[m] = kNoSlot;
  d->output_target_input[m] = 0;
  plan_stale_ = true;
}

bool PatchEngine::Connect(int s, int m, int t, int k) {
  auto lock = LockEdits();
  const bool connected = ConnectLocked(s, m, t, k);
  if (plan_stale_) PublishLocked();
  return connected;
}

bool PatchEngine::ConnectLocked(int s, int m, int t, int k) {
  if (!IsOccupied(s) || !IsOccupied(t) || s == t) return false;
  ComponentDescriptor* source = descriptor[s];
  ComponentDescriptor* target = descriptor[t];
  if (m < 0 || m >= source->output_count || k < 0 || k >= target->input_count) return false;
  // t must not already feed s, or the new wire would close a cycle.
  for (int j = 0; j < kMaxPorts; ++j) {
    const std::uint16_t u = source->input_source_slot[j];
    if (u != kNoSlot && !IsNotUpstream(t, u)) return false;
  }
  // The input's old source lets go of it.
  const std::uint16_t old_source = target->input_source_slot[k];
  if (old_source != kNoSlot) {
    const std::uint16_t old_output = target->input_source_output[k];
    ComponentDescriptor* u = descriptor[old_source];
    if (u != nullptr && old_output < kMaxPorts && u->output_target_slot[old_output] == t &&
        u->output_target_input[old_output] == k) {
      u->output_target_slot[old_output] = kNoSlot;
      u->output_target_input[old_output] = 0;
    }
    target->input_source_slot[k] = kNoSlot;
    target->input_source_output[k] = 0;
  }
  // An output feeds one input: a wire it had moves here.
  DetachOutputLocked(s, m);
  AttachInputLocked(t, k, s, m);
  return true;
}

void PatchEngine::MoveComponent(int slot, int x, int y) {
  auto lock = LockEdits();
  if (!IsOccupied(slot)) return;
  descriptor[slot]->x = std::clamp(x, 0, kMaxPosition);
  descriptor[slot]->y = std::clamp(y, 0, kMaxPosition);
}

namespace {
void CopyCut(char* destination, std::size_t capacity, const char* source) {
  std::memset(destination, 0, capacity);
  if (source != nullptr) std::strncpy(destination, source, capacity - 1);
}
}  // namespace

void PatchEngine::SetLabel(int slot, const char* label) {
  auto lock = LockEdits();
  if (IsOccupied(slot)) CopyCut(descriptor[slot]->label, kLabelSize, label);
}

void PatchEngine::SetModuleTexts(const char* module_name, const char* module_author,
                                 const char* module_description) {
  auto lock = LockEdits();
  CopyCut(name, kModuleNameSize, module_name);
  CopyCut(author, kModuleAuthorSize, module_author);
  CopyCut(description, kModuleDescriptionSize, module_description);
}

void PatchEngine::SetParameterInfo(int index, const char* parameter_name, std::uint32_t kind) {
  if (index < 0 || index >= kNamedParameterCount) return;
  auto lock = LockEdits();
  if (parameter_names[index] != nullptr) CopyCut(parameter_names[index], kParameterNameSize, parameter_name);
  parameter_kinds[index] = kind;
}

// Off the audio thread: a delay component that is running meanwhile reads
// either the old values or zeros, both of them sound.
void PatchEngine::ClearDelayLines() {
  auto lock = LockEdits();
  delay_line_storage.Clear();
}

void PatchEngine::ApplyScript(const char* text) {
  auto lock = LockEdits();
  RecompileLocked(text != nullptr ? text : "");
  DropCodeDraft();
}

}  // namespace korvel

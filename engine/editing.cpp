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
    EditLock lock(*this);
    const auto free_slot = std::find(std::begin(slots_.descriptor), std::end(slots_.descriptor), nullptr);
    if (free_slot != std::end(slots_.descriptor)) {
      slot = static_cast<int>(free_slot - std::begin(slots_.descriptor));
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
  Ui().Repaint(editor_.module_view);
  return slot;
}

bool PatchEngine::CreateComponentAt(int slot, int type) {
  {
    EditLock lock(*this);
    if (!CreateComponentAtLocked(slot, type)) return false;
    PublishLocked();
  }
  Ui().Repaint(editor_.module_view);
  return true;
}

// The record is made here, off the audio thread; the audio thread meets it
// in the next plan.
bool PatchEngine::CreateComponentAtLocked(int slot, int type) {
  if (!IsTypeAvailable(type) || slot < 0 || slot >= kSlotCount) return false;
  if (slots_.descriptor[slot] != nullptr) return false;
  if (kComponentTypeTable.line_access[type] != LineAccess::kNone && !ReserveDelayLinesLocked()) return false;
  const ComponentDispatch type_dispatch = kComponentTypeTable.dispatch[type];
  auto* self = reinterpret_cast<ComponentRecord*>(type_dispatch(kCreateState, nullptr, nullptr));
  if (self == nullptr) return false;
  auto* d = new (std::nothrow) ComponentDescriptor{};
  if (d == nullptr) {
    type_dispatch(kDestroyState, nullptr, self);
    return false;
  }
  self->context = &context_;
  std::strcpy(d->provider, text::kInternalProvider);
  d->type = type;
  d->x = std::clamp(editor_.new_component_x, 0, kMaxPosition);
  d->y = std::clamp(editor_.new_component_y, 0, kMaxPosition);
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

  slots_.record[slot] = self;
  slots_.descriptor[slot] = d;
  slots_.process[slot] = kComponentTypeTable.process[type];
  slots_.dispatch[slot] = type_dispatch;
  if (type == kInType && slots_.in_slot == -1) slots_.in_slot = slot;
  if (type == kOutType && slots_.out_slot == -1) slots_.out_slot = slot;
  if (slots_.slot_count <= slot) slots_.slot_count = slot + 1;
  plan_stale_ = true;
  return true;
}

void PatchEngine::DeleteComponent(int slot) {
  {
    EditLock lock(*this);
    if (!IsOccupied(slot)) return;
    DeleteLocked(slot);
    PublishLocked();
  }
  Ui().Repaint(editor_.module_view);
}

// The record is retired, not freed: the plan the audio thread may be
// running still names it.
void PatchEngine::DeleteLocked(int s) {
  if (s == slots_.in_slot) slots_.in_slot = -1;
  if (s == slots_.out_slot) slots_.out_slot = -1;
  ComponentDescriptor* d = slots_.descriptor[s];
  ComponentRecord* self = slots_.record[s];
  slots_.descriptor[s] = nullptr;
  slots_.record[s] = nullptr;
  for (int k = 0; k < d->input_count; ++k) {
    const std::uint16_t u = d->input_source_slot[k];
    if (u == kNoSlot) continue;
    const std::uint16_t m = d->input_source_output[k];
    if (slots_.descriptor[u] != nullptr && m < kMaxPorts) {
      slots_.descriptor[u]->output_target_slot[m] = kNoSlot;
      slots_.descriptor[u]->output_target_input[m] = 0;
    }
    d->input_source_slot[k] = kNoSlot;
    d->input_source_output[k] = 0;
  }
  for (int k = 0; k < d->output_count; ++k) {
    const std::uint16_t u = d->output_target_slot[k];
    if (u == kNoSlot) continue;
    const std::uint16_t m = d->output_target_input[k];
    if (slots_.descriptor[u] != nullptr && m < kMaxPorts) {
      slots_.descriptor[u]->input_source_slot[m] = kNoSlot;
      slots_.descriptor[u]->input_source_output[m] = 0;
    }
    d->output_target_slot[k] = kNoSlot;
    d->output_target_input[k] = 0;
  }
  slots_.process[s] = nullptr;
  delete d;
  SetSoundProblemLocked(s, std::string());
  RetireRecordLocked(self, slots_.dispatch[s]);
  slots_.dispatch[s] = nullptr;
}

void PatchEngine::ClearModule() {
  {
    EditLock lock(*this);
    ClearModuleLocked();
    oversampling_ = 1;  // a new module runs at the host's rate
    ++layout_serial_;
    PublishLocked();
  }
  Ui().EngineChanged(editor_.main_window);
}

void PatchEngine::ClearModuleLocked() {
  // Display kinds stay: they describe the host's parameters, not the patch.
  for (int p = 0; p < kNamedParameterCount; ++p)
    if (parameter_names_[p] != nullptr) parameter_names_[p][0] = '\0';
  for (int s = 0; s < kSlotCount; ++s)
    if (slots_.descriptor[s] != nullptr) DeleteLocked(s);
  slots_.slot_count = 0;
  ResetEditorState();
  plan_stale_ = true;
}

// Whether a is not b and does not feed b, directly or through other slots.
// Slots already searched are not searched again, so diamond-shaped patches
// cost one visit per slot rather than one per path.
bool PatchEngine::IsNotUpstreamLocked(int a, int b) const {
  bool seen[kSlotCount] = {};
  int stack[kSlotCount];
  int depth = 0;
  stack[depth++] = b;
  seen[b] = true;
  while (depth > 0) {
    const int slot = stack[--depth];
    if (slot == a) return false;
    const ComponentDescriptor* d = slots_.descriptor[slot];
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

void PatchEngine::AttachInputLocked(int t, int k, int s, int m) {
  slots_.descriptor[t]->input_source_slot[k] = static_cast<std::uint16_t>(s);
  slots_.descriptor[t]->input_source_output[k] = static_cast<std::uint16_t>(m);
  slots_.descriptor[s]->output_target_slot[m] = static_cast<std::uint16_t>(t);
  slots_.descriptor[s]->output_target_input[m] = static_cast<std::uint16_t>(k);
  plan_stale_ = true;
}

// t must not already feed s, or the new wire would close a cycle.
bool PatchEngine::ClosesLoopLocked(int s, int t) const {
  if (s == t) return true;
  const ComponentDescriptor* source = slots_.descriptor[s];
  for (int j = 0; j < kMaxPorts; ++j) {
    const std::uint16_t u = source->input_source_slot[j];
    if (u != kNoSlot && !IsNotUpstreamLocked(t, u)) return true;
  }
  return false;
}

// The thread that edits reads without the lock; any other holds it.
bool PatchEngine::ClosesLoop(int s, int t) const NO_THREAD_SAFETY_ANALYSIS {
  return !IsOccupied(s) || !IsOccupied(t) || ClosesLoopLocked(s, t);
}

void PatchEngine::DetachOutput(int s, int m) {
  EditLock lock(*this);
  DetachOutputLocked(s, m);
  if (plan_stale_) PublishLocked();
}

void PatchEngine::DetachOutputLocked(int s, int m) {
  if (!IsOccupied(s) || m < 0 || m >= kMaxPorts) return;
  ComponentDescriptor* d = slots_.descriptor[s];
  const std::uint16_t u = d->output_target_slot[m];
  if (u == kNoSlot) return;
  if (ComponentDescriptor* target = slots_.descriptor[u]) {
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
  EditLock lock(*this);
  const bool connected = ConnectLocked(s, m, t, k);
  if (plan_stale_) PublishLocked();
  return connected;
}

bool PatchEngine::ConnectLocked(int s, int m, int t, int k) {
  if (!IsOccupied(s) || !IsOccupied(t) || s == t) return false;
  ComponentDescriptor* source = slots_.descriptor[s];
  ComponentDescriptor* target = slots_.descriptor[t];
  if (m < 0 || m >= source->output_count || k < 0 || k >= target->input_count) return false;
  if (ClosesLoopLocked(s, t)) return false;
  // The input's old source lets go of it.
  const std::uint16_t old_source = target->input_source_slot[k];
  if (old_source != kNoSlot) {
    const std::uint16_t old_output = target->input_source_output[k];
    ComponentDescriptor* u = slots_.descriptor[old_source];
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
  EditLock lock(*this);
  if (!IsOccupied(slot)) return;
  slots_.descriptor[slot]->x = std::clamp(x, 0, kMaxPosition);
  slots_.descriptor[slot]->y = std::clamp(y, 0, kMaxPosition);
}

namespace {
void CopyCut(char* destination, std::size_t capacity, const char* source) {
  std::memset(destination, 0, capacity);
  if (source != nullptr) std::strncpy(destination, source, capacity - 1);
}
}  // namespace

void PatchEngine::SetLabel(int slot, const char* label) {
  EditLock lock(*this);
  if (IsOccupied(slot)) CopyCut(slots_.descriptor[slot]->label, kLabelSize, label);
}

void PatchEngine::SetModuleTexts(const char* module_name, const char* module_author,
                                 const char* module_description) {
  EditLock lock(*this);
  SetModuleTextsLocked(module_name, module_author, module_description);
}

void PatchEngine::SetModuleTextsLocked(const char* module_name, const char* module_author,
                                       const char* module_description) {
  CopyCut(name_, kModuleNameSize, module_name);
  CopyCut(author_, kModuleAuthorSize, module_author);
  CopyCut(description_, kModuleDescriptionSize, module_description);
}

void PatchEngine::SetParameterInfo(int index, const char* parameter_name, std::uint32_t kind) {
  EditLock lock(*this);
  SetParameterInfoLocked(index, parameter_name, kind);
}

void PatchEngine::SetParameterInfoLocked(int index, const char* parameter_name, std::uint32_t kind) {
  if (index < 0 || index >= kNamedParameterCount) return;
  if (parameter_names_[index] != nullptr) CopyCut(parameter_names_[index], kParameterNameSize, parameter_name);
  parameter_kinds_[index] = kind;
}

// Off the audio thread: a delay component that is running meanwhile reads
// either the old values or zeros, both of them sound.
void PatchEngine::ClearDelayLines() {
  EditLock lock(*this);
  ClearDelayLinesLocked();
}

void PatchEngine::ClearDelayLinesLocked() { delay_line_storage_.Clear(); }

void PatchEngine::ApplyScript(const char* text) {
  EditLock lock(*this);
  RecompileLocked(text != nullptr ? text : "");
  DropCodeDraft();
}

}  // namespace korvel

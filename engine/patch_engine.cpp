#include "engine/patch_engine.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "engine/messages.h"
#include "engine/ui.h"
#include "script/script_engine.h"

namespace korvel {

namespace {

// The fonts every engine creates: tab strip and boxes, tab labels, code.
constexpr FontRequest kEngineFonts[3] = {
    {"Arial", 13, 700, 4},
    {"Arial", 14, 400, 0},
    {"Lucida Console", 13, 400, 0},
};

std::mutex g_registry_mutex;
std::vector<PatchEngine*>& Registry() {
  static std::vector<PatchEngine*> registry;
  return registry;
}

}  // namespace

void ScriptEngineDeleter::operator()(ScriptEngine* script) const { delete script; }

PatchEngine::PatchEngine() {
  {
    std::lock_guard lock(g_registry_mutex);
    Registry().push_back(this);
  }
  script.reset(new (std::nothrow) ScriptEngine());
  for (int i = 0; i < 3; ++i) fonts[i] = Ui().MakeFont(kEngineFonts[i]);
}

// No audio block runs any more: everything retired or published is freed.
PatchEngine::~PatchEngine() {
  if (main_window != nullptr) Ui().DestroyEditorWindow(main_window);
  script.reset();
  {
    std::lock_guard lock(g_registry_mutex);
    auto& registry = Registry();
    auto it = std::find(registry.begin(), registry.end(), this);
    if (it != registry.end()) {
      *it = registry.back();
      registry.pop_back();
    }
  }
  {
    auto lock = LockEdits();
    for (int s = 0; s < kSlotCount; ++s)
      if (descriptor[s] != nullptr) DeleteLocked(s);
    Retired last{0, plan_.exchange(nullptr), std::move(retiring_records_)};
    FreeRetired(last);
    for (Retired& retired : retired_) FreeRetired(retired);
    retired_.clear();
  }
  for (void* font : fonts) Ui().ReleaseFont(font);
}

void PatchEngine::ResetEngine() {
  {
    auto lock = LockEdits();
    current_view = View::kModule;
    main_window = status_bar = module_view = nullptr;
    RecompileLocked(text::kDefaultScript);
    std::memset(name, 0, sizeof name);
    std::strcpy(name, text::kDefaultModuleName);
    std::memset(author, 0, sizeof author);
    std::memset(description, 0, sizeof description);
    delay_line_storage.Clear();
    context.name = name;
    context.author = author;
    context.description = description;
    for (int line = 0; line < 4; ++line) {
      context.left_line[line] = delay_lines[2 * line];
      context.right_line[line] = delay_lines[2 * line + 1];
    }
    context.delay_position = 0;
    // Components left from an earlier life of the engine are released, not leaked.
    for (int s = 0; s < kSlotCount; ++s)
      if (descriptor[s] != nullptr) DeleteLocked(s);
    slot_count = 0;
    ResetEditorState();
    DropCodeDraft();
    ++script_serial_;
    ++layout_serial_;
    PublishLocked();
  }
}

void PatchEngine::ResetEditorState() {
  drag_offset_x = drag_offset_y = 0;
  wire_drag = 0;
  wire_end_x = wire_end_y = 0;
  in_slot = out_slot = -1;
  dragged_slot = selected_slot = -1;
  wire_source_slot = wire_source_output = -1;
}

// ------------------------------------------------------------ audio thread

const double* PatchEngine::ProcessBlock(std::uint32_t n) {
  const std::uint64_t generation = ++audio_generation_;
  audio_state_.store(2 * generation + 1);
  const EvaluationPlan* plan = plan_.load();
  const std::uint32_t restart = delay_restart_.load(std::memory_order_relaxed);
  if (restart != delay_restart_seen_) {
    delay_restart_seen_ = restart;
    context.delay_position = 0;
  }
  if (plan == nullptr || plan->out == nullptr) return nullptr;
  const auto frames = static_cast<std::int16_t>(n);
  for (ComponentRecord* live : plan->live) {
    live->pending = 1;
    live->block_length = frames;
  }
  for (const PlanStep& step : plan->steps) {
    step.self->pending = 0;
    if (step.process == nullptr) {
      SetBuffer(step.self, 0, input_buffer);
    } else {
      step.process(step.self, step.inputs, step.source_outputs);
    }
  }
  std::uint32_t position = context.delay_position + n;
  if (position >= kDelayLineLength) position -= kDelayLineLength;
  context.delay_position = position;
  const ComponentRecord* out = plan->out;
  if (out->constant_flag[0]) return nullptr;
  return out->output[0];
}

void PatchEngine::BlockDone() { audio_state_.store(2 * audio_generation_); }

// ------------------------------------------------------------ plans

// Pull order: every slot after the slots feeding it, sources in ascending
// input order, each slot once.
void PatchEngine::PublishLocked() {
  auto* plan = new EvaluationPlan();
  for (int s = 0; s < slot_count; ++s)
    if (record[s] != nullptr) plan->live.push_back(record[s]);
  if (out_slot >= 0 && record[out_slot] != nullptr) {
    bool placed[kSlotCount] = {};
    const auto place = [&](auto& self, int s) -> void {
      const ComponentDescriptor* d = descriptor[s];
      if (placed[s] || d == nullptr || record[s] == nullptr) return;
      placed[s] = true;
      for (int k = 0; k < d->input_count; ++k)
        if (d->input_source_slot[k] != kNoSlot) self(self, d->input_source_slot[k]);
      PlanStep step{};
      step.self = record[s];
      step.process = s == in_slot ? nullptr : process[s];
      for (int k = 0; k < d->input_count; ++k) {
        const std::uint16_t source = d->input_source_slot[k];
        step.inputs[k] = source == kNoSlot ? nullptr : record[source];
        step.source_outputs[k] = static_cast<std::int16_t>(d->input_source_output[k]);
      }
      // A slot of a type with no process function (none is built in) is
      // left out rather than called.
      if (step.self != nullptr && (step.process != nullptr || s == in_slot)) plan->steps.push_back(step);
    };
    place(place, out_slot);
    plan->out = record[out_slot];
  }
  const EvaluationPlan* old = plan_.exchange(plan);
  retired_.push_back({audio_state_.load(), old, std::move(retiring_records_)});
  retiring_records_.clear();
  plan_stale_ = false;
  CollectLocked();
}

// A retired plan (and the records that left with it) may still be in use
// only by the block that was running when it was retired: once the audio
// thread is seen outside that block, nothing can reach it.
void PatchEngine::CollectLocked() {
  const std::uint64_t now = audio_state_.load();
  auto keep = retired_.begin();
  for (auto it = retired_.begin(); it != retired_.end(); ++it) {
    const bool in_use = (it->audio_state & 1) != 0 && it->audio_state == now;
    if (in_use) {
      if (keep != it) *keep = std::move(*it);
      ++keep;
    } else {
      FreeRetired(*it);
    }
  }
  retired_.erase(keep, retired_.end());
}

void PatchEngine::FreeRetired(Retired& retired) {
  delete retired.plan;
  retired.plan = nullptr;
  for (auto& [self, type_dispatch] : retired.records) type_dispatch(kDestroyState, nullptr, self);
  retired.records.clear();
}

void PatchEngine::RetireRecordLocked(ComponentRecord* self, ComponentDispatch type_dispatch) {
  retiring_records_.emplace_back(self, type_dispatch);
  plan_stale_ = true;
}

std::size_t PatchEngine::RetiredCount() const {
  auto lock = LockEdits();
  return retired_.size();
}

ComponentRecord* PatchEngine::NewRecordLocked(int slot) {
  if (!IsOccupied(slot) || dispatch[slot] == nullptr) return nullptr;
  auto* fresh = reinterpret_cast<ComponentRecord*>(dispatch[slot](kCreateState, nullptr, nullptr));
  if (fresh != nullptr) fresh->context = &context;
  return fresh;
}

void PatchEngine::SwapRecordLocked(int slot, ComponentRecord* fresh) {
  RetireRecordLocked(record[slot], dispatch[slot]);
  record[slot] = fresh;
  PublishLocked();
}

void PatchEngine::ModuleReplacedLocked() {
  delay_restart_.fetch_add(1, std::memory_order_relaxed);
  DropCodeDraft();
  ++script_serial_;
  ++layout_serial_;
}

// ------------------------------------------------------------ editor side

void PatchEngine::RecompileLocked(const std::string& text) {
  script_text = text;
  if (script) {
    script->ClearMessages();
    script->ClearCompiled();
    script->CompileScript(script_text.c_str());
  }
}

void PatchEngine::KeepCodeDraft(const std::string& text) {
  auto lock = LockEdits();
  has_code_draft_ = text != script_text;
  code_draft_ = has_code_draft_ ? text : std::string();
}

void PatchEngine::DropCodeDraft() {
  has_code_draft_ = false;
  code_draft_.clear();
}

void PatchEngine::KeepProblem(const std::string& line) {
  std::lock_guard lock(problem_mutex_);
  problem_ = line;
  problem_unseen_ = true;
}

void PatchEngine::ClearProblem() {
  std::lock_guard lock(problem_mutex_);
  problem_.clear();
  problem_unseen_ = false;
}

std::string PatchEngine::Problem() const {
  std::lock_guard lock(problem_mutex_);
  return problem_;
}

bool PatchEngine::TakeUnseenProblem(std::string& line) {
  std::lock_guard lock(problem_mutex_);
  if (!problem_unseen_) return false;
  problem_unseen_ = false;
  line = problem_;
  return true;
}

void PatchEngine::MarkProblemSeen() {
  std::lock_guard lock(problem_mutex_);
  problem_unseen_ = false;
}

PatchEngine* FindEngine(void* main_window) {
  if (main_window == nullptr) return nullptr;
  std::lock_guard lock(g_registry_mutex);
  for (PatchEngine* engine : Registry())
    if (engine->main_window == main_window) return engine;
  return nullptr;
}

int RegisteredEngineCount() {
  std::lock_guard lock(g_registry_mutex);
  return static_cast<int>(Registry().size());
}

PatchEngine* RegisteredEngine(int index) {
  std::lock_guard lock(g_registry_mutex);
  const auto& registry = Registry();
  return index >= 0 && index < static_cast<int>(registry.size()) ? registry[index] : nullptr;
}

}  // namespace korvel

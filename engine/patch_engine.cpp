#include "engine/patch_engine.h"

#include <nlohmann/json.hpp>

#include <emmintrin.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "components/routing.h"
#include "engine/messages.h"
#include "engine/sound_paths.h"
#include "engine/sound_store.h"
#include "engine/type_settings.h"
#include "engine/type_table.h"
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
  const ComponentCall* calls = plan->calls.data();
  const double watch = offence_record_.load(std::memory_order_relaxed) == nullptr
                           ? watch_limit_.load(std::memory_order_relaxed)
                           : 0.0;
  for (const PlanRun& run : plan->runs) {
    const ComponentCall* first = calls + run.first;
    for (std::uint32_t i = 0; i < run.count; ++i) first[i].self->pending = 0;
    if (run.cascade != nullptr && (watch == 0.0 ? run.cascade(first, static_cast<int>(run.count))
                                                : RunWatchedCascade(*plan, run, n, watch)))
      continue;
    for (std::uint32_t i = 0; i < run.count; ++i) {
      const ComponentCall& call = first[i];
      if (call.process == nullptr) {
        SetBuffer(call.self, 0, input_buffer);
        // out3 and out4: the sidechain's left and right, or silence.
        for (int c = 0; c < 2; ++c) {
          if (sidechain_present_) {
            SetBuffer(call.self, kSidechainOutput + c, sidechain_buffer_[c]);
          } else {
            SetConstant(call.self, kSidechainOutput + c, 0.0);
          }
        }
      } else {
        call.process(call.self, call.inputs, call.source_outputs);
        if (watch != 0.0) InspectOutput(call.self, n, watch);
      }
    }
  }
  frames_done_ += n;
  std::uint32_t position = context.delay_position + n;
  if (position >= kDelayLineLength) position -= kDelayLineLength;
  context.delay_position = position;
  const ComponentRecord* out = plan->out;
  if (out->constant_flag[0]) return nullptr;
  return out->output[0];
}

void PatchEngine::BlockDone() { audio_state_.store(2 * audio_generation_); }

namespace {

// Whether every value of a block of n frames is finite and within ±limit.
// A frame's two values are compared at once, both ways (a NaN fails both),
// with no branch until the end: a fraction of any component's own work.
bool Within(const double* b, std::uint32_t n, double limit) {
  const __m128d high = _mm_set1_pd(limit), low = _mm_set1_pd(-limit);
  __m128d within = _mm_castsi128_pd(_mm_set1_epi32(-1));
  for (std::uint32_t f = 0; f < n; ++f) {
    const __m128d v = _mm_loadu_pd(b + 2 * f);
    within = _mm_and_pd(within, _mm_and_pd(_mm_cmple_pd(v, high), _mm_cmpge_pd(v, low)));
  }
  return _mm_movemask_pd(within) == 3;
}

}  // namespace

// [audio thread] Keeps the first component whose output 0 holds a value
// that is not finite or beyond ±limit.
void PatchEngine::InspectOutput(const ComponentRecord* self, std::uint32_t n, double limit) {
  if (offence_record_.load(std::memory_order_relaxed) != nullptr || self->constant_flag[0] ||
      self->output[0] == nullptr)
    return;
  const double* b = self->output[0];
  if (Within(b, n, limit)) return;
  std::uint32_t i = 0;
  while (b[i] <= limit && b[i] >= -limit) ++i;
  offence_frame_.store(frames_done_ + i / 2, std::memory_order_relaxed);
  offence_value_.store(b[i], std::memory_order_relaxed);
  offence_record_.store(self, std::memory_order_release);
}

// [audio thread] A cascade under watch: its members' outputs share one
// block, so only the last is there to look at afterwards. The records and
// the block are copied first; when the cascade's output holds an offence,
// both are put back and the answer is false, so the members run again one
// by one and each output is looked at: the same bits, since a cascade gives
// what its calls give one after the other.
bool PatchEngine::RunWatchedCascade(const EvaluationPlan& plan, const PlanRun& run, std::uint32_t n, double limit) {
  const ComponentCall* first = plan.calls.data() + run.first;
  const Signal in = ReadInput(first[0].inputs, first[0].source_outputs, 0);
  if (!in.is_buffer()) return false;
  char* copy = reinterpret_cast<char*>(plan.cascade_copy.data());
  const std::size_t block = sizeof(double) * 2 * n;
  std::memcpy(copy, in.buffer, block);
  std::size_t at = block;
  for (std::uint32_t i = 0; i < run.count; ++i) {
    std::memcpy(copy + at, first[i].self, plan.record_sizes[run.first + i]);
    at += plan.record_sizes[run.first + i];
  }
  if (!run.cascade(first, static_cast<int>(run.count))) return false;
  const ComponentRecord* last = first[run.count - 1].self;
  if (offence_record_.load(std::memory_order_relaxed) != nullptr || Within(last->output[0], n, limit)) return true;
  std::memcpy(in.buffer, copy, block);
  at = block;
  for (std::uint32_t i = 0; i < run.count; ++i) {
    std::memcpy(static_cast<void*>(first[i].self), copy + at, plan.record_sizes[run.first + i]);
    at += plan.record_sizes[run.first + i];
  }
  return false;
}

void PatchEngine::WatchOutputs(double limit) {
  offence_record_.store(nullptr, std::memory_order_relaxed);
  watch_limit_.store(limit > 0.0 ? limit : 0.0, std::memory_order_relaxed);
}

bool PatchEngine::FirstOffence(int& slot, std::uint64_t& frame, double& value) const {
  const ComponentRecord* found = offence_record_.load(std::memory_order_acquire);
  if (found == nullptr) return false;
  frame = offence_frame_.load(std::memory_order_relaxed);
  value = offence_value_.load(std::memory_order_relaxed);
  auto lock = LockEdits();
  slot = -1;
  for (int s = 0; s < slot_count; ++s)
    if (record[s] == found) slot = s;
  return true;
}

// ------------------------------------------------------------ plans

namespace {

// What grouping calls into runs needs to know of each call.
struct CallShape {
  ComponentProcessCascade cascade;  // null: never part of a cascade
  int slot;
  int feeder;          // the slot whose output 0 feeds input 0; -1 otherwise
  bool free_standing;  // no input connected
  bool single_reader;  // exactly one input in the module reads its outputs
};

// Groups calls in pull order into runs (see PlanRun), moving a cascade's
// members to the place of its last one.
void GroupRuns(EvaluationPlan& plan, const std::vector<CallShape>& shape) {
  std::vector<ComponentCall> ordered;
  ordered.reserve(plan.calls.size());
  std::vector<std::size_t> members, between;
  const auto emit = [&](std::size_t i) {
    plan.runs.push_back({static_cast<std::uint32_t>(ordered.size()), 1, nullptr});
    ordered.push_back(plan.calls[i]);
  };
  const auto close = [&] {
    if (members.size() == 1) {
      emit(members[0]);
      for (const std::size_t i : between) emit(i);
    } else if (!members.empty()) {
      for (const std::size_t i : between) emit(i);
      const PlanRun run{static_cast<std::uint32_t>(ordered.size()), static_cast<std::uint32_t>(members.size()),
                        shape[members[0]].cascade};
      for (const std::size_t i : members) ordered.push_back(plan.calls[i]);
      plan.runs.push_back(run);
    }
    members.clear();
    between.clear();
  };
  for (std::size_t i = 0; i < plan.calls.size(); ++i) {
    if (!members.empty()) {
      const CallShape& last = shape[members.back()];
      if (shape[i].cascade == shape[members[0]].cascade && shape[i].feeder == last.slot && last.single_reader) {
        members.push_back(i);
        continue;
      }
      if (shape[i].free_standing) {
        between.push_back(i);
        continue;
      }
      close();
    }
    if (shape[i].cascade != nullptr) {
      members.push_back(i);
    } else {
      emit(i);
    }
  }
  close();
  plan.calls = std::move(ordered);
}

}  // namespace

// Pull order: every slot after the slots feeding it, sources in ascending
// input order, each slot once; then grouped into runs.
void PatchEngine::PublishLocked() {
  auto* plan = new EvaluationPlan();
  for (int s = 0; s < slot_count; ++s)
    if (record[s] != nullptr) plan->live.push_back(record[s]);
  if (out_slot >= 0 && record[out_slot] != nullptr) {
    int readers[kSlotCount] = {};
    for (int s = 0; s < slot_count; ++s) {
      if (descriptor[s] == nullptr) continue;
      for (int k = 0; k < descriptor[s]->input_count; ++k)
        if (descriptor[s]->input_source_slot[k] < kSlotCount) ++readers[descriptor[s]->input_source_slot[k]];
    }
    std::vector<CallShape> shape;
    shape.reserve(slot_count);
    plan->calls.reserve(slot_count);
    bool placed[kSlotCount] = {};
    const auto place = [&](auto& self, int s) -> void {
      const ComponentDescriptor* d = descriptor[s];
      if (placed[s] || d == nullptr || record[s] == nullptr) return;
      placed[s] = true;
      for (int k = 0; k < d->input_count; ++k)
        if (d->input_source_slot[k] != kNoSlot) self(self, d->input_source_slot[k]);
      ComponentCall call{};
      call.self = record[s];
      call.process = s == in_slot ? nullptr : process[s];
      bool free_standing = true;
      for (int k = 0; k < d->input_count; ++k) {
        const std::uint16_t source = d->input_source_slot[k];
        call.inputs[k] = source == kNoSlot ? nullptr : record[source];
        call.source_outputs[k] = static_cast<std::int16_t>(d->input_source_output[k]);
        free_standing = free_standing && call.inputs[k] == nullptr;
      }
      // A slot of a type with no process function (none is built in) is
      // left out rather than called.
      if (call.self == nullptr || (call.process == nullptr && s != in_slot)) return;
      // Only a slot running its type's own process may join a cascade.
      const bool own_process = d->type >= 0 && d->type < kTypeCount &&
                               call.process == kComponentTypeTable.process[d->type] && call.process != nullptr;
      const bool fed_at_zero = d->input_count > 0 && call.inputs[0] != nullptr && d->input_source_output[0] == 0;
      shape.push_back({own_process ? kComponentTypeTable.cascade[d->type] : nullptr, s,
                       fed_at_zero ? static_cast<int>(d->input_source_slot[0]) : -1, free_standing,
                       readers[s] == 1});
      plan->calls.push_back(call);
    };
    place(place, out_slot);
    GroupRuns(*plan, shape);
    plan->out = record[out_slot];
    // Record sizes, and room to copy the largest cascade with its block.
    std::size_t largest = 0;
    for (const ComponentCall& call : plan->calls) {
      std::uint32_t size = 0;
      for (int s = 0; s < slot_count; ++s)
        if (record[s] == call.self && descriptor[s] != nullptr)
          size = static_cast<std::uint32_t>(RecordSizeOf(descriptor[s]->type));
      plan->record_sizes.push_back(size);
    }
    for (const PlanRun& run : plan->runs) {
      if (run.cascade == nullptr) continue;
      std::size_t bytes = 0;
      for (std::uint32_t i = 0; i < run.count; ++i) bytes += plan->record_sizes[run.first + i];
      largest = std::max(largest, bytes);
    }
    if (largest > 0) plan->cascade_copy.resize(kMaxBlockValues + (largest + sizeof(double) - 1) / sizeof(double));
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

std::vector<std::uint32_t> PatchEngine::RunLengths() const {
  auto lock = LockEdits();
  std::vector<std::uint32_t> lengths;
  if (const EvaluationPlan* plan = plan_.load())
    for (const PlanRun& run : plan->runs) lengths.push_back(run.count);
  return lengths;
}

ComponentRecord* PatchEngine::NewRecordLocked(int slot) {
  if (!IsOccupied(slot) || dispatch[slot] == nullptr) return nullptr;
  auto* fresh = reinterpret_cast<ComponentRecord*>(dispatch[slot](kCreateState, nullptr, nullptr));
  if (fresh != nullptr) fresh->context = &context;
  return fresh;
}

nlohmann::ordered_json PatchEngine::Settings(int slot) const {
  auto lock = LockEdits();
  nlohmann::ordered_json values = nlohmann::ordered_json::object();
  if (!IsOccupied(slot) || record[slot] == nullptr) return values;
  if (const TypeSettings* hooks = SettingsOf(descriptor[slot]->type)) hooks->write(*record[slot], values);
  return values;
}

namespace {

// The path a record's settings name under `key`, or "".
std::string SoundPathOf(const TypeSettings& hooks, const ComponentRecord& self) {
  nlohmann::ordered_json values = nlohmann::ordered_json::object();
  hooks.write(self, values);
  const auto it = values.find(hooks.sound_key);
  return it != values.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace

std::string SoundProblemLine(int type, const char* label, int slot, const std::string& path,
                             const std::string& reason) {
  const ComponentDispatch type_dispatch = type >= 0 && type < kTypeCount ? kComponentTypeTable.dispatch[type] : nullptr;
  const char* type_name =
      type_dispatch != nullptr ? reinterpret_cast<const char*>(type_dispatch(kGetName, nullptr, nullptr)) : "";
  const int length = std::snprintf(nullptr, 0, text::kSoundProblem, type_name, label, slot, path.c_str(),
                                   reason.c_str());
  std::string line(static_cast<std::size_t>(std::max(length, 0)), '\0');
  std::snprintf(line.data(), line.size() + 1, text::kSoundProblem, type_name, label, slot, path.c_str(),
                reason.c_str());
  return line;
}

bool PatchEngine::SetSettings(int slot, const nlohmann::json& settings, std::string& error) {
  nlohmann::json changed = settings;
  std::string path;  // the sound file the new settings name
  {
    auto lock = LockEdits();
    const TypeSettings* hooks = IsOccupied(slot) ? SettingsOf(descriptor[slot]->type) : nullptr;
    if (hooks != nullptr && hooks->sound_key != nullptr && record[slot] != nullptr) {
      const auto it = changed.find(hooks->sound_key);
      if (it != changed.end() && it->is_string()) {
        ImagePaths paths;
        paths.folder = ModuleFolder();
        *it = paths.Absolute(it->get<std::string>());
        path = it->get<std::string>();
      } else {
        path = SoundPathOf(*hooks, *record[slot]);
      }
    }
  }
  // Read with nothing held: the editor side may go on meanwhile, and the
  // audio thread never waits for anything anyway.
  std::string reason;
  SoundRef sound = path.empty() ? nullptr : LoadSound(path, reason);

  bool problems_changed = false;
  {
    auto lock = LockEdits();
    const TypeSettings* hooks = IsOccupied(slot) ? SettingsOf(descriptor[slot]->type) : nullptr;
    if (hooks == nullptr || record[slot] == nullptr) {
      error = IsOccupied(slot) ? "this component has no settings" : "there is no component in that slot";
      return false;
    }
    ComponentRecord* fresh = NewRecordLocked(slot);
    if (fresh == nullptr) {
      error = "not enough memory to change the settings";
      return false;
    }
    // The settings it had, then the ones that change.
    nlohmann::ordered_json kept = nlohmann::ordered_json::object();
    hooks->write(*record[slot], kept);
    if (!hooks->read(nlohmann::json(kept), *fresh, error) || !hooks->read(changed, *fresh, error)) {
      dispatch[slot](kDestroyState, nullptr, fresh);
      return false;
    }
    if (hooks->sound_key != nullptr && hooks->attach != nullptr) {
      // Another edit may have changed the file meanwhile: what is attached
      // is always what the record names.
      const std::string named = SoundPathOf(*hooks, *fresh);
      if (named != path) {
        reason.clear();
        sound = named.empty() ? nullptr : LoadSound(named, reason);
        path = named;
      }
      hooks->attach(*fresh, sound);
      const std::string line =
          sound == nullptr && !path.empty()
              ? SoundProblemLine(descriptor[slot]->type, descriptor[slot]->label, slot, path, reason)
              : std::string();
      SetSoundProblemLocked(slot, line);
      problems_changed = true;
    }
    SwapRecordLocked(slot, fresh);
  }
  if (problems_changed) Ui().EngineChanged(main_window);
  return true;
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

void PatchEngine::SetSoundProblemLocked(int slot, const std::string& line) {
  std::lock_guard lock(problem_mutex_);
  if (line.empty()) {
    sound_problems_.erase(slot);
  } else {
    sound_problems_[slot] = line;
  }
}

void PatchEngine::ClearSoundProblemsLocked() {
  std::lock_guard lock(problem_mutex_);
  sound_problems_.clear();
}

std::vector<std::string> PatchEngine::SoundProblems() const {
  std::lock_guard lock(problem_mutex_);
  std::vector<std::string> lines;
  for (const auto& [slot, line] : sound_problems_) lines.push_back(line);
  return lines;
}

std::string PatchEngine::SoundProblem(int slot) const {
  std::lock_guard lock(problem_mutex_);
  const auto it = sound_problems_.find(slot);
  return it != sound_problems_.end() ? it->second : std::string();
}

std::string PatchEngine::ModuleFolder() const {
  std::lock_guard lock(problem_mutex_);
  return module_folder_;
}

void PatchEngine::SetModuleFolder(const std::string& folder) {
  std::lock_guard lock(problem_mutex_);
  module_folder_ = folder;
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

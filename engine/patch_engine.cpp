#include "engine/patch_engine.h"

#include <nlohmann/json.hpp>

#include <emmintrin.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "components/delays.h"
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
  script_.reset(new (std::nothrow) ScriptEngine());
  for (int i = 0; i < 3; ++i) editor_.fonts[i] = Ui().MakeFont(kEngineFonts[i]);
}

// No audio block runs any more: everything retired or published is freed.
PatchEngine::~PatchEngine() {
  Ui().EngineClosing(this);
  if (editor_.main_window != nullptr) Ui().DestroyEditorWindow(editor_.main_window);
  script_.reset();
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
    EditLock lock(*this);
    for (int s = 0; s < kSlotCount; ++s)
      if (slots_.descriptor[s] != nullptr) DeleteLocked(s);
    Retired last{0, plan_.exchange(nullptr), std::move(retiring_records_)};
    FreeRetired(last);
    for (Retired& retired : retired_) FreeRetired(retired);
    retired_.clear();
  }
  for (void* font : editor_.fonts) Ui().ReleaseFont(font);
}

void PatchEngine::ResetEngine() {
  {
    EditLock lock(*this);
    editor_.current_view = View::kModule;
    editor_.main_window = editor_.status_bar = editor_.module_view = nullptr;
    RecompileLocked(text::kDefaultScript);
    std::memset(name_, 0, sizeof name_);
    std::strcpy(name_, text::kDefaultModuleName);
    std::memset(author_, 0, sizeof author_);
    std::memset(description_, 0, sizeof description_);
    delay_line_storage_.Clear();
    context_.name = name_;
    context_.author = author_;
    context_.description = description_;
    context_.delay_position = 0;
    // Components left from an earlier life of the engine are released, not leaked.
    for (int s = 0; s < kSlotCount; ++s)
      if (slots_.descriptor[s] != nullptr) DeleteLocked(s);
    slots_.slot_count = 0;
    oversampling_ = 1;
    ResetEditorState();
    DropCodeDraft();
    ++script_serial_;
    ++layout_serial_;
    PublishLocked();
  }
}

bool PatchEngine::ReserveDelayLines() {
  EditLock lock(*this);
  return ReserveDelayLinesLocked();
}

// The audio thread reads the lines only through components of plans
// published after this, so setting the context's pointers here is safe.
bool PatchEngine::ReserveDelayLinesLocked() {
  if (delay_lines_ != nullptr) return true;
  if (!delay_line_storage_.Reserve()) return false;
  delay_lines_ = delay_line_storage_.lines();
  for (int line = 0; line < 4; ++line) {
    context_.left_line[line] = delay_lines_[2 * line];
    context_.right_line[line] = delay_lines_[2 * line + 1];
  }
  return true;
}

void PatchEngine::ResetEditorState() {
  editor_.drag_offset_x = editor_.drag_offset_y = 0;
  editor_.wire_drag = 0;
  editor_.wire_end_x = editor_.wire_end_y = 0;
  slots_.in_slot = slots_.out_slot = -1;
  editor_.dragged_slot = editor_.selected_slot = -1;
  editor_.wire_source_slot = editor_.wire_source_output = -1;
}

// ------------------------------------------------------------ audio thread

const double* PatchEngine::ProcessBlock(std::uint32_t n) {
  const std::uint64_t generation = ++audio_generation_;
  audio_state_.store(2 * generation + 1);
  const EvaluationPlan* plan = plan_.load();
  const std::uint32_t restart = delay_restart_.load(std::memory_order_relaxed);
  const bool restarted = restart != delay_restart_seen_;
  if (restarted) {
    delay_restart_seen_ = restart;
    context_.delay_position = 0;
  }
  if (plan == nullptr || plan->out == nullptr) return nullptr;
  context_.rate_factor = static_cast<std::uint32_t>(plan->factor);
  watch_ = offence_record_.load(std::memory_order_relaxed) == nullptr ? watch_limit_.load(std::memory_order_relaxed)
                                                                      : 0.0;
  running_at_ = 0;
  if (plan->factor <= 1 || plan->oversampler == nullptr) {
    const InFrames in{
        input_buffer_,
        {sidechain_present_ ? sidechain_buffer_[0] : nullptr, sidechain_present_ ? sidechain_buffer_[1] : nullptr}};
    const double* out = RunPlan(*plan, in, n, output_buffer_);
    frames_done_ += n;
    return out;
  }

  // Oversampled: in passes of at most the engine's block at the running
  // rate, each raised, run and brought back down.
  Oversampler& cascade = *plan->oversampler;
  if (restarted || cascade.factor() != plan->factor) cascade.Reset(plan->factor);
  const auto factor = static_cast<std::uint32_t>(plan->factor);
  const NoteBlock* notes = context_.notes;
  for (std::uint32_t done = 0; done < n;) {
    const std::uint32_t frames = std::min<std::uint32_t>(n - done, static_cast<std::uint32_t>(cascade.HostFramesPerPass()));
    cascade.Up(input_buffer_ + 2 * done, static_cast<int>(frames));
    InFrames in{cascade.running_input(), {nullptr, nullptr}};
    if (sidechain_present_) {
      cascade.UpSidechain(sidechain_buffer_[0] + 2 * done, sidechain_buffer_[1] + 2 * done, static_cast<int>(frames));
      in.side[0] = cascade.running_sidechain(0);
      in.side[1] = cascade.running_sidechain(1);
    } else {
      cascade.NoSidechain();
    }
    if (notes != nullptr) {
      // The pass's notes, at their frames of the running rate.
      pass_notes_.frequency = notes->frequency;
      pass_notes_.gate = notes->gate;
      pass_notes_.change_count = 0;
      for (std::int32_t i = 0; i < notes->change_count; ++i) {
        const NoteChange& change = notes->changes[i];
        if (change.frame < done) {
          pass_notes_.frequency = change.frequency;
          pass_notes_.gate = change.gate;
        } else if (change.frame < done + frames) {
          pass_notes_.changes[pass_notes_.change_count++] = {(change.frame - done) * factor, change.frequency,
                                                             change.gate};
        }
      }
      context_.notes = &pass_notes_;
    }
    running_at_ = done * factor;
    const double* out = RunPlan(*plan, in, frames * factor, cascade.running_output());
    cascade.Down(out, static_cast<int>(frames), output_buffer_ + 2 * done);
    done += frames;
  }
  context_.notes = notes;
  frames_done_ += n;
  return output_buffer_;
}

void PatchEngine::RunRuns(const EvaluationPlan& plan, std::size_t first, std::size_t end, const InFrames& in,
                          std::uint32_t frames) {
  const ComponentCall* calls = plan.calls.data();
  const double watch = watch_;
  for (std::size_t r = first; r < end; ++r) {
    const PlanRun& run = plan.runs[r];
    const ComponentCall* head = calls + run.first;
    for (std::uint32_t i = 0; i < run.count; ++i) head[i].self->pending = 0;
    if (run.cascade != nullptr && (watch == 0.0 ? run.cascade(head, static_cast<int>(run.count))
                                                : RunWatchedCascade(plan, run, frames, watch)))
      continue;
    for (std::uint32_t i = 0; i < run.count; ++i) {
      const ComponentCall& call = head[i];
      if (call.process == nullptr) {
        SetBuffer(call.self, 0, in.signal);
        // out3 and out4: the sidechain's left and right, or silence.
        for (int c = 0; c < 2; ++c) {
          if (in.side[c] != nullptr) {
            SetBuffer(call.self, kSidechainOutput + c, in.side[c]);
          } else {
            SetConstant(call.self, kSidechainOutput + c, 0.0);
          }
        }
      } else {
        call.process(call.self, call.inputs, call.source_outputs);
        if (watch != 0.0) InspectOutput(call.self, frames, watch);
      }
    }
  }
}

namespace {
void Advance(EngineContext& context, std::uint32_t frames) {
  std::uint32_t position = context.delay_position + frames;
  if (position >= kDelayLineLength) position -= kDelayLineLength;
  context.delay_position = position;
}
}  // namespace

const double* PatchEngine::RunPlan(const EvaluationPlan& plan, const InFrames& in, std::uint32_t frames,
                                   double* gather) {
  const auto length = static_cast<std::int16_t>(frames);
  for (ComponentRecord* live : plan.live) {
    live->pending = 1;
    live->block_length = length;
  }
  const ComponentRecord* out = plan.out;
  const std::size_t control_runs = plan.control_runs;
  RunRuns(plan, 0, control_runs, in, frames);
  const std::uint32_t slice = plan.line_steps.empty() ? frames : SliceLength(plan, frames);
  if (slice >= frames) {
    RunRuns(plan, control_runs, plan.runs.size(), in, frames);
    Advance(context_, frames);
    return out->constant_flag[0] ? nullptr : out->output[0];
  }

  // Slices: the sliced records see each slice as a block of its own; the
  // first part's outputs they read move along with it.
  bool heard = false;
  std::uint32_t offset = 0, shifted = 0;
  const std::uint32_t pass_at = running_at_;
  while (offset < frames) {
    const std::uint32_t n = std::min(slice, frames - offset);
    if (offset != shifted) {
      for (const BoundaryOutput& b : plan.boundary)
        if (!b.record->constant_flag[b.output] && b.record->output[b.output] != nullptr)
          b.record->output[b.output] += 2 * static_cast<std::ptrdiff_t>(offset - shifted);
      shifted = offset;
    }
    for (ComponentRecord* r : plan.sliced) r->block_length = static_cast<std::int16_t>(n);
    running_at_ = pass_at + offset;
    RunRuns(plan, control_runs, plan.runs.size(), in.At(offset), n);
    if (!plan.out_in_control) {
      double* to = gather + 2 * static_cast<std::size_t>(offset);
      if (out->constant_flag[0] || out->output[0] == nullptr) {
        std::fill(to, to + 2 * n, 0.0);
      } else {
        if (out->output[0] != to) std::memcpy(to, out->output[0], sizeof(double) * 2 * n);
        heard = true;
      }
    }
    Advance(context_, n);
    offset += n;
  }
  for (const BoundaryOutput& b : plan.boundary)
    if (!b.record->constant_flag[b.output] && b.record->output[b.output] != nullptr)
      b.record->output[b.output] -= 2 * static_cast<std::ptrdiff_t>(shifted);
  if (plan.out_in_control) return out->constant_flag[0] ? nullptr : out->output[0];
  return heard ? gather : nullptr;
}

namespace {

constexpr std::int64_t kLine = kDelayLineLength;

// The smallest r in 1 .. line length - 1 congruent (modulo the line
// length) to some value in low..high, or the line length when there is
// none.
std::int64_t SmallestPositiveResidue(std::int64_t low, std::int64_t high) {
  if (high - low >= kLine) return 1;
  const std::int64_t r = ((low % kLine) + kLine) % kLine;
  if (r == 0) return high > low ? 1 : kLine;
  if (r + (high - low) > kLine) return 1;  // wraps past 0 to 1
  return r;
}

}  // namespace

// Two calls A before B in plan order that both reach the line, one of them
// writing: frame by frame, A's access at frame f and B's at frame g meet at
// one position when g - f = a - b (their offsets, modulo the line). When g
// < f, frame order has B there first; in a slice holding both frames A
// would go first. So a slice must be no longer than the smallest f - g =
// (b - a) mod length over the offsets they can reach this block. Offsets
// known before the slices (constants, or buffers of the first part) are
// exact; an offset that follows the audio may be anything.
std::uint32_t PatchEngine::SliceLength(const EvaluationPlan& plan, std::uint32_t frames) {
  const std::size_t count = plan.line_steps.size();
  bool same = plan.serial == ranged_plan_;
  for (std::size_t i = 0; i < count; ++i) {
    const LineStep& step = plan.line_steps[i];
    const bool ahead = step.access != LineAccess::kReadBehind;
    OffsetRange range = ahead ? OffsetRange{0, kLine - 1} : OffsetRange{-(kLine - 1), 0};
    if (step.delay != LineStep::kAudio) {
      const Signal delay = step.delay == LineStep::kNoDelay
                               ? Signal{Signal::kUnconnected, 0.0, nullptr}
                               : ReadInput(&step.delay_source, &step.delay_output, 0);
      const auto reach = [ahead](double value) -> OffsetRange {
        if (ahead) {
          const std::int64_t o = DelayLineOffset(value);
          return {o, o};
        }
        const std::int64_t nearest = TapNearest(value);
        return {-(nearest + 3), -nearest};
      };
      if (delay.is_buffer()) {
        range = reach(delay.buffer[0]);
        for (std::uint32_t k = 1; k < frames; ++k) {
          const OffsetRange at = reach(delay.buffer[2 * k]);
          range.low = std::min(range.low, at.low);
          range.high = std::max(range.high, at.high);
        }
      } else {
        range = reach(delay.value);
      }
    }
    same = same && step_range_[i] == range;
    step_range_[i] = range;
  }
  if (!same) {
    std::int64_t slice = kMaxBlockFrames;
    for (std::size_t b = 1; b < count && slice > 1; ++b) {
      for (std::size_t a = 0; a < b && slice > 1; ++a) {
        if (!plan.line_steps[a].writes && !plan.line_steps[b].writes) continue;
        const OffsetRange& ra = step_range_[a];
        const OffsetRange& rb = step_range_[b];
        slice = std::min(slice, SmallestPositiveResidue(rb.low - ra.high, rb.high - ra.low));
      }
    }
    ranged_plan_ = plan.serial;
    ranged_slice_ = static_cast<std::uint32_t>(slice);
  }
  slice_length_ = std::min(ranged_slice_, frames);
  return slice_length_;
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
  offence_frame_.store(frames_done_ + (running_at_ + i / 2) / std::max<std::uint32_t>(context_.rate_factor, 1),
                       std::memory_order_relaxed);
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
  EditLock lock(*this);
  slot = -1;
  for (int s = 0; s < slots_.slot_count; ++s)
    if (slots_.record[s] == found) slot = s;
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
// members to the place of its last one. Appends to `ordered` and `runs`.
void GroupRuns(const std::vector<ComponentCall>& calls, const std::vector<CallShape>& shape,
               std::vector<ComponentCall>& ordered, std::vector<PlanRun>& runs) {
  std::vector<std::size_t> members, between;
  const auto emit = [&](std::size_t i) {
    runs.push_back({static_cast<std::uint32_t>(ordered.size()), 1, nullptr});
    ordered.push_back(calls[i]);
  };
  const auto close = [&] {
    if (members.size() == 1) {
      emit(members[0]);
      for (const std::size_t i : between) emit(i);
    } else if (!members.empty()) {
      for (const std::size_t i : between) emit(i);
      const PlanRun run{static_cast<std::uint32_t>(ordered.size()), static_cast<std::uint32_t>(members.size()),
                        shape[members[0]].cascade};
      for (const std::size_t i : members) ordered.push_back(calls[i]);
      runs.push_back(run);
    }
    members.clear();
    between.clear();
  };
  for (std::size_t i = 0; i < calls.size(); ++i) {
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
}

LineAccess AccessOf(int type) {
  return type >= 0 && type < kTypeCount ? kComponentTypeTable.line_access[type] : LineAccess::kNone;
}

std::uint64_t g_plan_serial = 0;  // under each engine's edit mutex; only uniqueness matters

}  // namespace

// Pull order: every slot after the slots feeding it, sources in ascending
// input order, each slot once; then the delay writers the pull from OUT did
// not reach (their output leads nowhere), in ascending slot order, each
// after its own sources. Then grouped into runs; a plan that reaches the
// delay line is split into the part that runs once per block and the part
// that runs in slices (see EvaluationPlan).
void PatchEngine::PublishLocked() {
  // The lambdas below read the tables through this: the analysis does not
  // carry the held lock into them.
  const SlotTables* tables = &slots_;
  auto* plan = new EvaluationPlan();
  plan->serial = ++g_plan_serial;
  plan->factor = oversampling_;
  plan->oversampler = oversampling_ > 1 ? oversampler_.get() : nullptr;
  for (int s = 0; s < slots_.slot_count; ++s)
    if (slots_.record[s] != nullptr) plan->live.push_back(slots_.record[s]);
  if (slots_.out_slot >= 0 && slots_.record[slots_.out_slot] != nullptr) {
    int readers[kSlotCount] = {};
    for (int s = 0; s < slots_.slot_count; ++s) {
      if (slots_.descriptor[s] == nullptr) continue;
      for (int k = 0; k < slots_.descriptor[s]->input_count; ++k)
        if (slots_.descriptor[s]->input_source_slot[k] < kSlotCount)
          ++readers[slots_.descriptor[s]->input_source_slot[k]];
    }
    std::vector<ComponentCall> calls;
    std::vector<CallShape> shape;
    std::vector<int> slots;
    calls.reserve(slots_.slot_count);
    bool placed[kSlotCount] = {};
    // A slot runs in a plan's first part when it reads no audio and does not
    // reach the line: not IN, no line access, every source in the first part.
    bool control[kSlotCount] = {};
    bool any_line = false;
    const auto place = [&](auto& self, int s) -> void {
      const ComponentDescriptor* d = tables->descriptor[s];
      if (placed[s] || d == nullptr || tables->record[s] == nullptr) return;
      placed[s] = true;
      bool from_control = true;
      for (int k = 0; k < d->input_count; ++k) {
        const std::uint16_t source = d->input_source_slot[k];
        if (source == kNoSlot) continue;
        self(self, source);
        from_control = from_control && control[source];
      }
      control[s] = s != tables->in_slot && AccessOf(d->type) == LineAccess::kNone && from_control;
      ComponentCall call{};
      call.self = tables->record[s];
      call.process = s == tables->in_slot ? nullptr : tables->process[s];
      bool free_standing = true;
      for (int k = 0; k < d->input_count; ++k) {
        const std::uint16_t source = d->input_source_slot[k];
        call.inputs[k] = source == kNoSlot ? nullptr : tables->record[source];
        call.source_outputs[k] = static_cast<std::int16_t>(d->input_source_output[k]);
        free_standing = free_standing && call.inputs[k] == nullptr;
      }
      // A slot of a type with no process function (none is built in) is
      // left out rather than called.
      if (call.self == nullptr || (call.process == nullptr && s != tables->in_slot)) return;
      // Only a slot running its type's own process may join a cascade.
      const bool own_process = d->type >= 0 && d->type < kTypeCount &&
                               call.process == kComponentTypeTable.process[d->type] && call.process != nullptr;
      const bool fed_at_zero = d->input_count > 0 && call.inputs[0] != nullptr && d->input_source_output[0] == 0;
      shape.push_back({own_process ? kComponentTypeTable.cascade[d->type] : nullptr, s,
                       fed_at_zero ? static_cast<int>(d->input_source_slot[0]) : -1, free_standing,
                       readers[s] == 1});
      calls.push_back(call);
      slots.push_back(s);
      any_line = any_line || (call.process != nullptr && AccessOf(d->type) != LineAccess::kNone);
    };
    place(place, slots_.out_slot);
    for (int s = 0; s < slots_.slot_count; ++s)
      if (!placed[s] && slots_.descriptor[s] != nullptr &&
          AccessOf(slots_.descriptor[s]->type) == LineAccess::kWriteAhead)
        place(place, s);

    if (!any_line) {
      GroupRuns(calls, shape, plan->calls, plan->runs);
    } else {
      // The first part, then the sliced part, each grouped on its own.
      std::vector<ComponentCall> part_calls[2];
      std::vector<CallShape> part_shape[2];
      for (std::size_t i = 0; i < calls.size(); ++i) {
        const int part = control[slots[i]] ? 0 : 1;
        part_calls[part].push_back(calls[i]);
        part_shape[part].push_back(shape[i]);
      }
      GroupRuns(part_calls[0], part_shape[0], plan->calls, plan->runs);
      plan->control_runs = static_cast<std::uint32_t>(plan->runs.size());
      const std::size_t first_sliced = plan->calls.size();
      GroupRuns(part_calls[1], part_shape[1], plan->calls, plan->runs);
      // The sliced part's records, line steps and the first part's outputs
      // it reads, in the order the calls now run.
      const auto slot_for = [&](const ComponentRecord* r) {
        for (int s = 0; s < tables->slot_count; ++s)
          if (tables->record[s] == r) return s;
        return -1;
      };
      for (std::size_t i = first_sliced; i < plan->calls.size(); ++i) {
        const ComponentCall& call = plan->calls[i];
        plan->sliced.push_back(call.self);
        const int s = slot_for(call.self);
        const ComponentDescriptor* d = slots_.descriptor[s];
        for (int k = 0; k < d->input_count; ++k) {
          const std::uint16_t source = d->input_source_slot[k];
          if (source == kNoSlot || !control[source] || call.source_outputs[k] >= kMaxPorts) continue;
          plan->boundary.push_back({slots_.record[source], call.source_outputs[k]});
        }
        const LineAccess access = AccessOf(d->type);
        if (access == LineAccess::kNone || call.process == nullptr) continue;
        LineStep step{access, access == LineAccess::kWriteAhead, LineStep::kNoDelay, nullptr, 0};
        // A writer without a value to write leaves the line alone.
        if (step.writes && call.inputs[0] == nullptr) step.writes = false;
        const std::uint16_t delay_source = d->input_count > 1 ? d->input_source_slot[1] : kNoSlot;
        if (delay_source != kNoSlot) {
          step.delay = control[delay_source] ? LineStep::kKnown : LineStep::kAudio;
          step.delay_source = slots_.record[delay_source];
          step.delay_output = call.source_outputs[1];
        }
        plan->line_steps.push_back(step);
      }
      plan->out_in_control = control[slots_.out_slot];
    }
    plan->out = slots_.record[slots_.out_slot];
    // Record sizes, and room to copy the largest cascade with its block.
    std::size_t largest = 0;
    for (const ComponentCall& call : plan->calls) {
      std::uint32_t size = 0;
      for (int s = 0; s < slots_.slot_count; ++s)
        if (slots_.record[s] == call.self && slots_.descriptor[s] != nullptr)
          size = static_cast<std::uint32_t>(RecordSizeOf(slots_.descriptor[s]->type));
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
  latency_frames_.store(OversamplingLatency(oversampling_), std::memory_order_relaxed);
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

// ------------------------------------------------------------ reading

// The readers below are for the holder of the edit lock or the thread that
// edits (which alone writes); the analysis cannot tell the second apart.
const ComponentDescriptor* PatchEngine::Descriptor(int slot) const NO_THREAD_SAFETY_ANALYSIS {
  return slot >= 0 && slot < kSlotCount ? slots_.descriptor[slot] : nullptr;
}

const ComponentRecord* PatchEngine::Record(int slot) const NO_THREAD_SAFETY_ANALYSIS {
  return slot >= 0 && slot < kSlotCount ? slots_.record[slot] : nullptr;
}

ComponentDispatch PatchEngine::Dispatch(int slot) const NO_THREAD_SAFETY_ANALYSIS {
  return slot >= 0 && slot < kSlotCount ? slots_.dispatch[slot] : nullptr;
}

std::string PatchEngine::ComponentInfo(int slot) const NO_THREAD_SAFETY_ANALYSIS {
  if (!IsOccupied(slot) || slots_.dispatch[slot] == nullptr) return std::string();
  std::string info(kInfoBufferSize, '\0');
  slots_.dispatch[slot](kGetInfo, info.data(), slots_.record[slot]);
  info.resize(std::strlen(info.c_str()));
  return info;
}

int PatchEngine::SlotCount() const NO_THREAD_SAFETY_ANALYSIS { return slots_.slot_count; }
int PatchEngine::InSlot() const NO_THREAD_SAFETY_ANALYSIS { return slots_.in_slot; }
int PatchEngine::OutSlot() const NO_THREAD_SAFETY_ANALYSIS { return slots_.out_slot; }
const std::string& PatchEngine::ScriptText() const NO_THREAD_SAFETY_ANALYSIS { return script_text_; }
std::string PatchEngine::ModuleName() const NO_THREAD_SAFETY_ANALYSIS { return name_; }
std::string PatchEngine::ModuleAuthor() const NO_THREAD_SAFETY_ANALYSIS { return author_; }
std::string PatchEngine::ModuleDescription() const NO_THREAD_SAFETY_ANALYSIS { return description_; }

std::string PatchEngine::ParameterName(int index) const NO_THREAD_SAFETY_ANALYSIS {
  if (index < 0 || index >= kNamedParameterCount || parameter_names_[index] == nullptr) return std::string();
  return parameter_names_[index];
}

std::uint32_t PatchEngine::ParameterKind(int index) const NO_THREAD_SAFETY_ANALYSIS {
  return index >= 0 && index < kNamedParameterCount ? parameter_kinds_[index] : 0;
}

ComponentDescriptor* PatchEngine::DescriptorLocked(int slot) {
  return slot >= 0 && slot < kSlotCount ? slots_.descriptor[slot] : nullptr;
}

ComponentRecord* PatchEngine::RecordLocked(int slot) {
  return slot >= 0 && slot < kSlotCount ? slots_.record[slot] : nullptr;
}

void PatchEngine::SetEndsLocked(int in_slot, int out_slot) {
  slots_.in_slot = in_slot;
  slots_.out_slot = out_slot;
}

void PatchEngine::SetSlotCountLocked(int count) { slots_.slot_count = std::clamp(count, 0, kSlotCount); }

void PatchEngine::LendHostLocked(char (*parameter_names)[kParameterNameSize], double* parameter_values,
                                 const NoteBlock* notes, const InstanceTiming* timing) {
  for (int p = 0; p < kNamedParameterCount; ++p) {
    parameter_names_[p] = parameter_names != nullptr ? parameter_names[p] : nullptr;
    parameter_kinds_[p] = 0;
  }
  context_.parameter_values = parameter_values;
  context_.extra_parameter = parameter_values != nullptr ? &parameter_values[kNamedParameterCount] : nullptr;
  context_.notes = notes;
  context_.timing = timing;
}

std::size_t PatchEngine::RetiredCount() const {
  EditLock lock(*this);
  return retired_.size();
}

std::vector<std::uint32_t> PatchEngine::RunLengths() const {
  EditLock lock(*this);
  std::vector<std::uint32_t> lengths;
  if (const EvaluationPlan* plan = plan_.load())
    for (const PlanRun& run : plan->runs) lengths.push_back(run.count);
  return lengths;
}

ComponentRecord* PatchEngine::NewRecordLocked(int slot) {
  if (!IsOccupied(slot) || slots_.dispatch[slot] == nullptr) return nullptr;
  auto* fresh = reinterpret_cast<ComponentRecord*>(slots_.dispatch[slot](kCreateState, nullptr, nullptr));
  if (fresh != nullptr) fresh->context = &context_;
  return fresh;
}

nlohmann::ordered_json PatchEngine::Settings(int slot) const {
  EditLock lock(*this);
  nlohmann::ordered_json values = nlohmann::ordered_json::object();
  if (!IsOccupied(slot) || slots_.record[slot] == nullptr) return values;
  if (const TypeSettings* hooks = SettingsOf(slots_.descriptor[slot]->type)) hooks->write(*slots_.record[slot], values);
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
    EditLock lock(*this);
    const TypeSettings* hooks = IsOccupied(slot) ? SettingsOf(slots_.descriptor[slot]->type) : nullptr;
    if (hooks != nullptr && hooks->sound_key != nullptr && slots_.record[slot] != nullptr) {
      const auto it = changed.find(hooks->sound_key);
      if (it != changed.end() && it->is_string()) {
        ImagePaths paths;
        paths.folder = ModuleFolder();
        *it = paths.Absolute(it->get<std::string>());
        path = it->get<std::string>();
      } else {
        path = SoundPathOf(*hooks, *slots_.record[slot]);
      }
    }
  }
  // Read with nothing held: the editor side may go on meanwhile, and the
  // audio thread never waits for anything anyway.
  std::string reason;
  SoundRef sound = path.empty() ? nullptr : LoadSound(path, reason);

  bool problems_changed = false;
  {
    EditLock lock(*this);
    const TypeSettings* hooks = IsOccupied(slot) ? SettingsOf(slots_.descriptor[slot]->type) : nullptr;
    if (hooks == nullptr || slots_.record[slot] == nullptr) {
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
    hooks->write(*slots_.record[slot], kept);
    if (!hooks->read(nlohmann::json(kept), *fresh, error) || !hooks->read(changed, *fresh, error)) {
      slots_.dispatch[slot](kDestroyState, nullptr, fresh);
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
              ? SoundProblemLine(slots_.descriptor[slot]->type, slots_.descriptor[slot]->label, slot, path, reason)
              : std::string();
      SetSoundProblemLocked(slot, line);
      problems_changed = true;
    }
    SwapRecordLocked(slot, fresh);
  }
  if (problems_changed) Ui().EngineChanged(editor_.main_window);
  return true;
}

void PatchEngine::SwapRecordLocked(int slot, ComponentRecord* fresh) {
  RetireRecordLocked(slots_.record[slot], slots_.dispatch[slot]);
  slots_.record[slot] = fresh;
  PublishLocked();
}

int PatchEngine::Oversampling() const {
  EditLock lock(*this);
  return oversampling_;
}

void PatchEngine::PrepareOversamplingLocked(int factor) {
  if (factor > 1 && oversampler_ == nullptr) oversampler_ = std::make_unique<Oversampler>();
  oversampling_ = factor;
}

bool PatchEngine::SetOversampling(int factor) {
  if (!IsOversamplingFactor(factor)) return false;
  EditLock lock(*this);
  if (factor == oversampling_) return true;
  // Every fresh record is made before anything changes, so running out of
  // memory leaves the module as it was.
  std::vector<std::pair<int, ComponentRecord*>> fresh;
  bool made = true;
  try {
    if (factor > 1 && oversampler_ == nullptr) oversampler_ = std::make_unique<Oversampler>();
    for (int s = 0; s < slots_.slot_count && made; ++s) {
      if (!IsOccupied(s) || slots_.record[s] == nullptr) continue;
      ComponentRecord* renewed = NewRecordLocked(s);
      made = renewed != nullptr;
      if (made) fresh.emplace_back(s, renewed);
    }
  } catch (const std::bad_alloc&) {
    made = false;
  }
  if (!made) {
    for (auto& [s, r] : fresh) slots_.dispatch[s](kDestroyState, nullptr, r);
    return false;
  }
  for (auto& [s, renewed] : fresh) {
    if (const TypeSettings* hooks = SettingsOf(slots_.descriptor[s]->type)) {
      nlohmann::ordered_json kept = nlohmann::ordered_json::object();
      hooks->write(*slots_.record[s], kept);
      std::string ignored;
      hooks->read(nlohmann::json(kept), *renewed, ignored);
    }
    RetireRecordLocked(slots_.record[s], slots_.dispatch[s]);
    slots_.record[s] = renewed;
  }
  oversampling_ = factor;
  delay_line_storage_.Clear();
  delay_restart_.fetch_add(1, std::memory_order_relaxed);
  PublishLocked();
  return true;
}

void PatchEngine::ModuleReplacedLocked() {
  delay_restart_.fetch_add(1, std::memory_order_relaxed);
  DropCodeDraft();
  ++script_serial_;
  ++layout_serial_;
}

// ------------------------------------------------------------ editor side

void PatchEngine::RecompileLocked(const std::string& text) {
  script_text_ = text;
  if (script_) {
    script_->ClearMessages();
    script_->ClearCompiled();
    script_->CompileScript(script_text_.c_str());
  }
}

void PatchEngine::KeepCodeDraft(const std::string& text) {
  EditLock lock(*this);
  has_code_draft_ = text != script_text_;
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
    if (engine->Editor().main_window == main_window) return engine;
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

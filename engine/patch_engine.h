// The PatchEngine: one Module's 256 component slots, their wiring, the
// shared delay lines and the editor's view state, and the block evaluation
// that pulls audio from OUT back to IN.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "engine/component.h"
#include "engine/controllers.h"
#include "engine/delay_line_storage.h"
#include "engine/notes.h"
#include "engine/oversampling.h"
#include "engine/thread_annotations.h"
#include "engine/ui.h"

namespace korvel {

class ScriptEngine;
struct ScriptEngineDeleter {
  void operator()(ScriptEngine* script) const;
};

inline constexpr int kSlotCount = 256;
inline constexpr int kNamedParameterCount = 25;
inline constexpr std::size_t kModuleNameSize = 256;
inline constexpr std::size_t kModuleAuthorSize = 256;
inline constexpr std::size_t kModuleDescriptionSize = 1024;
inline constexpr std::size_t kLabelSize = 128;
inline constexpr std::size_t kParameterNameSize = 64;
inline constexpr std::size_t kProviderSize = 130;
// A box's corner lies within 0..kMaxPosition on both axes: where the view
// can scroll to (it never shows negative coordinates), and small enough
// that no sum of a position, a box size, a port offset and a scroll
// position overflows an int anywhere the patch is drawn.
inline constexpr std::int32_t kMaxPosition = 1 << 20;
// A box is 1..kMaxBoxSide pixels wide and high: an empty box cannot be
// clicked, and the sides are stored in 16 bits.
inline constexpr std::int32_t kMaxBoxSide = 32767;

struct ComponentDescriptor {
  std::uint8_t input_count;
  std::uint8_t output_count;
  std::uint16_t input_source_slot[kMaxPorts];
  std::uint16_t input_source_output[kMaxPorts];
  std::uint16_t output_target_slot[kMaxPorts];
  std::uint16_t output_target_input[kMaxPorts];
  char label[kLabelSize];
  char provider[kProviderSize];
  std::int32_t type;
  std::int32_t x, y;
  std::int16_t width;
  std::int16_t height;
  std::uint32_t colour;
};

enum class View : std::int32_t { kModule = 0, kCode = 1, kGui = 2 };

// What the audio thread evaluates: the pull order with each slot's inputs
// resolved to records, built off the audio thread from the slot tables and
// never changed once published. Slots reached along several paths appear
// once.
//
// Calls are grouped into runs. Most runs are one call. A run of several is
// a cascade: calls of types sharing a cascade function, each fed at input 0
// by the one before it and its only reader, processed together (the
// filters of a cascade keep several recurrences in flight at once). The
// calls of a cascade are gathered at the place of its last member; what
// ran between them in pull order was a component with no inputs (a
// constant for a control, say), which reads no audio and cannot tell the
// difference, and now runs just before the cascade.
struct PlanRun {
  std::uint32_t first;  // index into calls
  std::uint32_t count;
  ComponentProcessCascade cascade;  // null: the calls are made one by one
};

// A call that reaches delay line 0, and where its in2 (the delay) comes
// from: nowhere (0), a call of the block's first part (known before the
// slices run), or audio (known only frame by frame).
struct LineStep {
  enum Delay : std::uint8_t { kNoDelay, kKnown, kAudio };
  LineAccess access;
  bool writes;
  Delay delay;
  ComponentRecord* delay_source;  // kKnown: the record feeding in2
  std::int16_t delay_output;      // and which of its outputs
};

// An output of the block's first part read by a call of the sliced part.
struct BoundaryOutput {
  ComponentRecord* record;
  int output;
};

struct EvaluationPlan {
  std::vector<ComponentRecord*> live;  // every record, for the block's marking
  std::vector<ComponentCall> calls;    // sources before the slots they feed
  std::vector<PlanRun> runs;           // in order; every call in one run
  ComponentRecord* out = nullptr;      // the OUT record; null: the module is silent

  // A plan that reaches delay line 0 is run in two parts. Runs [0,
  // control_runs) read no audio and touch no line (value sources, and what
  // computes on them alone): they run once over the whole block. The rest
  // runs in slices no longer than the shortest distance along the line
  // between a call and a later one that could meet it (SliceLength), so
  // that every block size gives the bits of running frame by frame. Empty
  // line_steps: one part, the whole block at once.
  std::uint32_t control_runs = 0;
  std::vector<ComponentRecord*> sliced;     // records of the runs from control_runs on
  std::vector<LineStep> line_steps;         // the sliced calls reaching the line, in order
  std::vector<BoundaryOutput> boundary;     // shifted to each slice's frames
  bool out_in_control = false;              // OUT itself runs in the first part

  std::uint64_t serial = 0;           // unique per published plan
  int factor = 1;                     // oversampling: the running rate over the host's
  Oversampler* oversampler = nullptr; // the engine's, when factor > 1
  // Per call, the size of its record: what a watched cascade keeps a copy
  // of before it runs.
  std::vector<std::uint32_t> record_sizes;
  // [audio thread] Room for that copy and the cascade's block, sized for
  // the largest cascade; the only part of a plan written after publishing.
  mutable std::vector<double> cascade_copy;
};

// Never moved. Its delay lines live in pages of their own (DelayLineStorage),
// so the object itself is small and creating it writes no line.
//
// Threads. The audio thread runs ProcessBlock and BlockDone only; it reads
// the published plan and the records it names, and owns the InputBuffer,
// the delay position and the records' contents while a block runs. Every
// other operation belongs to the editor side (the window thread and the
// host's non-audio calls) and is serialised by one plain mutex; helpers
// that expect it held end in "Locked" and say so to clang's thread-safety
// analysis (REQUIRES), as the fields it guards do (GUARDED_BY). The state
// is private; other code reads it through the accessors below, under the
// lock or on the thread that edits, and changes it only through the
// engine's operations. Structural edits build a new plan
// and publish it with one atomic swap; the plan and the records it
// replaces are freed once the audio thread has been seen outside the block
// that might still use them.
class PatchEngine {
 public:
  PatchEngine();  // registers the engine, creates its ScriptEngine and fonts
  ~PatchEngine();  // the teardown: closes the editor, frees every component
  PatchEngine(const PatchEngine&) = delete;
  PatchEngine& operator=(const PatchEngine&) = delete;

  // The edit mutex with the calling thread's modal UI refused while held.
  // Code the thread-safety analysis checks takes it as `EditLock lock(engine)`:
  // the analysis then knows the ...Locked helpers may be called.
  class SCOPED_CAPABILITY EditLock {
   public:
    explicit EditLock(const PatchEngine& engine) ACQUIRE(engine.edit_mutex_) : mutex_(engine.edit_mutex_) {
      mutex_.lock();
    }
    ~EditLock() RELEASE() { mutex_.unlock(); }
    EditLock(const EditLock&) = delete;
    EditLock& operator=(const EditLock&) = delete;

   private:
    NoModalUi no_modal_;
    Mutex& mutex_;
  };
  // The edit mutex itself, for naming it in REQUIRES_EDITS (helpers of the
  // engine's own files that run under the lock).
  Mutex& EditMutex() const RETURN_CAPABILITY(edit_mutex_) { return edit_mutex_; }
  // The same lock as a value (`auto lock = engine.LockEdits();`), for the
  // editor, which reads under it but calls no ...Locked helper: the
  // analysis cannot follow a lock returned from a function.
  class EditsHeld {
   public:
    explicit EditsHeld(const PatchEngine& engine) NO_THREAD_SAFETY_ANALYSIS : mutex_(engine.edit_mutex_) {
      mutex_.lock();
    }
    ~EditsHeld() NO_THREAD_SAFETY_ANALYSIS { mutex_.unlock(); }
    EditsHeld(const EditsHeld&) = delete;
    EditsHeld& operator=(const EditsHeld&) = delete;

   private:
    NoModalUi no_modal_;
    Mutex& mutex_;
  };
  [[nodiscard]] EditsHeld LockEdits() const { return EditsHeld(*this); }

  // [editor thread] Back to a new module: default script (compiled),
  // texts, silent delay lines, empty slots. Runs before the audio port is
  // registered (Init) or with no audio running.
  void ResetEngine();

  // [audio thread] Evaluates one block of n frames (n <= kMaxBlockFrames)
  // from the InputBuffer with the plan published when the block began;
  // answers OUT's output buffer, or null for silence. Wait-free. The answer
  // stays valid until BlockDone.
  const double* ProcessBlock(std::uint32_t n);
  // [audio thread] The block's output has been read: what edits retired
  // may be freed.
  void BlockDone();

  // Editing, [editor thread]. Each takes the edit mutex; none waits for
  // the audio thread.
  // Creates `type` in the lowest free slot; answers the slot, or -1.
  int CreateComponent(int type);
  // Creates `type` in `slot` if that slot is free; answers false otherwise.
  bool CreateComponentAt(int slot, int type);
  void DeleteComponent(int slot);
  void ClearModule();
  // Whether wiring an output of slot s into slot t would close a loop (t
  // is s, or already feeds s): the rule Connect refuses by. Under the same
  // rule as Descriptor().
  bool ClosesLoop(int s, int t) const;
  void DetachOutput(int source, int output);
  // Wires output m of slot s to input k of slot t under the wiring rules:
  // refused (false) when it would close a cycle or a port is out of range;
  // an input's old source is replaced, an output's old target released.
  bool Connect(int s, int m, int t, int k);

  // Cosmetic and editor-side changes: the audio thread never reads these
  // fields, so no plan is rebuilt.
  void MoveComponent(int slot, int x, int y);  // each kept within 0..kMaxPosition
  void SetLabel(int slot, const char* label);  // cut to kLabelSize - 1
  // Each text is cut to its buffer's capacity.
  void SetModuleTexts(const char* module_name, const char* module_author,
                      const char* module_description);
  // Into the buffers the plug-in lends (parameter_names); name cut to 63.
  void SetParameterInfo(int index, const char* parameter_name, std::uint32_t kind);
  void ClearDelayLines();  // all eight buffers, the position kept
  // Reserves the delay lines now (they are otherwise reserved when the
  // first component using them is made); false when the system refuses.
  bool ReserveDelayLines();

  // The module's oversampling factor (1, 2, 4, 8 or 16). Changing it gives
  // every component a fresh record (a filter designed at the old rate must
  // not run at the new one; settings are kept), clears the delay lines and
  // restarts their position. False, nothing changed, for a factor outside
  // the list or when memory runs out. [editor thread]
  bool SetOversampling(int factor);
  int Oversampling() const;
  // The same for a module being built under the lock (loading): makes the
  // cascade's state if it is missing; throws std::bad_alloc when it cannot.
  void PrepareOversamplingLocked(int factor) REQUIRES(edit_mutex_);
  int OversamplingLocked() const REQUIRES(edit_mutex_) { return oversampling_; }
  // Stores `text` as the script and compiles it afresh (RecompileLocked).
  // The Code View's unapplied text is dropped: this is now the script.
  void ApplyScript(const char* text);
  // Gives an occupied slot a new record of its type, set up by
  // setup(new record, old record, type) before the audio thread can see it;
  // the old record is retired. Settings that live inside a component (a
  // constant's value; a fresh record is also a filter with no history).
  // False for an empty slot or when no record could be made.
  template <class Setup>
  bool RenewRecord(int slot, Setup&& setup) {
    bool renewed = false;
    {
      EditLock lock(*this);
      ComponentRecord* fresh = NewRecordLocked(slot);
      if (fresh != nullptr) {
        setup(*fresh, *slots_.record[slot], slots_.descriptor[slot]->type);
        SwapRecordLocked(slot, fresh);
        renewed = true;
      }
    }
    return renewed;
  }

  // A component's own settings (engine/type_settings.h) as the module file
  // holds them, sound files as absolute paths: an empty object for types
  // without any or an empty slot.
  nlohmann::ordered_json Settings(int slot) const;
  // Changes some or all of a component's settings (the keys `settings`
  // holds; the rest keep their values) by renewing its record. False with
  // `error` set, and nothing changed, when a value is refused, the slot is
  // empty or its type has no settings. A sound file the settings name is
  // loaded on this thread before the edit lock is taken (a relative path is
  // read against ModuleFolder()); one that cannot be loaded is no error:
  // the settings change, the component plays silence and SoundProblems()
  // says why.
  bool SetSettings(int slot, const nlohmann::json& settings, std::string& error);

  // One line for each component whose sound file could not be loaded, in
  // slot order, naming the component, the file and the reason. Replaced by
  // every module load and kept up to date by settings changes and deletes.
  // [any thread]
  std::vector<std::string> SoundProblems() const;
  // The line of one slot, or "".
  std::string SoundProblem(int slot) const;
  // The folder of the module file last loaded or saved (empty for none).
  // [any thread]
  std::string ModuleFolder() const;
  void SetModuleFolder(const std::string& folder);

  // Under the same rule as Descriptor().
  bool IsOccupied(int slot) const NO_THREAD_SAFETY_ANALYSIS {
    return slot >= 0 && slot < kSlotCount && slots_.descriptor[slot] != nullptr;
  }

  // The Locked helpers: the caller holds LockEdits(). Structural ones mark
  // the plan stale; PublishLocked builds and publishes it.
  bool CreateComponentAtLocked(int slot, int type) REQUIRES(edit_mutex_);
  void DeleteLocked(int slot) REQUIRES(edit_mutex_);
  void ClearModuleLocked() REQUIRES(edit_mutex_);
  void DetachOutputLocked(int source, int output) REQUIRES(edit_mutex_);
  bool ConnectLocked(int s, int m, int t, int k) REQUIRES(edit_mutex_);
  // The one recompile path: the script text becomes `text`, then the
  // message list and the compiled state are cleared and `text` compiled.
  void RecompileLocked(const std::string& text) REQUIRES(edit_mutex_);
  // The whole module was replaced (loaded, restored): the delay position
  // restarts at the next block, the Code View's unapplied text is dropped
  // and an open editor catches up.
  void ModuleReplacedLocked() REQUIRES(edit_mutex_);
  void PublishLocked() REQUIRES(edit_mutex_);
  // The sound problem of a slot: set (a line) or cleared (empty); all of
  // them cleared. The caller holds the edit lock.
  void SetSoundProblemLocked(int slot, const std::string& line) REQUIRES(edit_mutex_);
  void ClearSoundProblemsLocked() REQUIRES(edit_mutex_);

  // Unapplied Code View text, kept with the engine while the editor is
  // closed. [editor thread]
  bool HasCodeDraft() const { return has_code_draft_; }
  const std::string& CodeDraft() const { return code_draft_; }
  void KeepCodeDraft(const std::string& text);  // equal to the script: no draft
  void DropCodeDraft();
  // Bumped when the script text or the component set is replaced by
  // something other than the editor's own edits. [editor thread]
  std::uint32_t ScriptSerial() const { return script_serial_; }
  std::uint32_t LayoutSerial() const { return layout_serial_; }

  // A problem the user must hear of without a modal box (a host restore
  // refused): one line, kept until the next one or a successful restore.
  // [any thread]
  void KeepProblem(const std::string& line);
  void ClearProblem();
  std::string Problem() const;
  // True once for a problem the open editor has not yet shown.
  bool TakeUnseenProblem(std::string& line);
  void MarkProblemSeen();

  // [any thread, atomic] Frames by which the output lags the input (the
  // processing the plan adds, such as resampling filters); 0 for a plan
  // that adds none. Hosts report it to line the output up.
  std::uint32_t LatencyFrames() const { return latency_frames_.load(std::memory_order_relaxed); }

  // Watching the components' outputs, for a host that wants to name the
  // component where a runaway began. While a limit is set, every block
  // checks each component's first output, in pull order, for a value that
  // is not finite or beyond ±limit, and keeps the first it finds (a
  // cascade whose output holds one runs again one call at a time, which
  // gives the same bits). 0 stops watching. [any thread, atomic]
  void WatchOutputs(double limit);
  // The first offence since watching began: the slot whose output held it
  // (-1 when the component has gone since), its frame, counted from the
  // engine's first block, and the value. False when there was none.
  // [editor thread]
  bool FirstOffence(int& slot, std::uint64_t& frame, double& value) const;

  // [audio thread] The sidechain of the next block: a host that has one
  // fills SidechainBuffer(0) and (1) (each channel in both of a signal's
  // channels) and calls SetSidechain(true) before ProcessBlock; the IN
  // component then outputs them as out3 and out4. Without one they are the
  // constant 0.0.
  double* SidechainBuffer(int channel) { return sidechain_buffer_[channel & 1]; }
  void SetSidechain(bool present) { sidechain_present_ = present; }

  // Published plan generations retired but not yet freed (tests).
  std::size_t RetiredCount() const;
  // [audio thread] The slice length the last sliced block ran with (tests
  // and benchmarks); 0 before any.
  std::uint32_t LastSliceLength() const { return slice_length_; }
  // The published plan's runs, by their number of calls (tests).
  std::vector<std::uint32_t> RunLengths() const;

  // ------------------------------------------------------------ reading
  // The module as the editor side sees it. The caller holds the edit lock
  // (LockEdits) or is the thread that edits; another thread (a host
  // restoring a project) may otherwise change it meanwhile.
  // The component in `slot`; null for an empty slot or one out of range.
  const ComponentDescriptor* Descriptor(int slot) const;
  const ComponentRecord* Record(int slot) const;
  ComponentDispatch Dispatch(int slot) const;
  // The component's info text (its type's, with its settings); "" for an
  // empty slot.
  std::string ComponentInfo(int slot) const;
  // One more than the highest slot filled since the module was cleared.
  int SlotCount() const;
  int InSlot() const;   // -1: none
  int OutSlot() const;  // -1: none
  const std::string& ScriptText() const;
  std::string ModuleName() const;
  std::string ModuleAuthor() const;
  std::string ModuleDescription() const;
  // Parameter `index` (< kNamedParameterCount): its name ("" before the
  // plug-in lends the buffers) and its kind.
  std::string ParameterName(int index) const;
  std::uint32_t ParameterKind(int index) const;
  // The compiled script; it keeps its own thread rules.
  ScriptEngine* Script() const { return script_.get(); }

  // The Locked forms, for engine code that builds a module under the lock
  // (the module image reader). Descriptors and records are written nowhere
  // else outside the engine's own operations.
  ComponentDescriptor* DescriptorLocked(int slot) REQUIRES(edit_mutex_);
  ComponentRecord* RecordLocked(int slot) REQUIRES(edit_mutex_);
  void SetEndsLocked(int in_slot, int out_slot) REQUIRES(edit_mutex_);
  void SetSlotCountLocked(int count) REQUIRES(edit_mutex_);
  void SetModuleTextsLocked(const char* module_name, const char* module_author, const char* module_description)
      REQUIRES(edit_mutex_);
  void SetParameterInfoLocked(int index, const char* parameter_name, std::uint32_t kind) REQUIRES(edit_mutex_);
  void ClearDelayLinesLocked() REQUIRES(edit_mutex_);

  // What the plug-in lends the engine before any block runs: its
  // kNamedParameterCount name buffers (kParameterNameSize each), its
  // kNamedParameterCount + 1 parameter values, its notes and its timing
  // (each may be null). The parameter kinds become 0.
  void LendHostLocked(char (*parameter_names)[kParameterNameSize], double* parameter_values, const NoteBlock* notes,
                      const InstanceTiming* timing) REQUIRES(edit_mutex_);
  // The values lent (null before): [any thread] each value is atomic.
  double* ParameterValues() const { return context_.parameter_values; }

  // [any thread, atomic] The MIDI controller bound to each parameter; like
  // the kinds, they describe the host's parameters and outlive New Module.
  ControllerBindings& Controllers() { return controllers_; }
  const ControllerBindings& Controllers() const { return controllers_; }

  // [audio thread] The host's block for the next ProcessBlock: the IN
  // component's output (kMaxBlockValues values).
  double* InputBuffer() { return input_buffer_; }
  // What components share (tests and tools read it; the audio thread owns
  // the delay position while blocks run).
  const EngineContext& Context() const { return context_; }
  // Delay line `line` (0 .. kDelayLineCount - 1), kDelayLineLength values;
  // null until reserved.
  const double* DelayLine(int line) const { return delay_lines_ != nullptr ? delay_lines_[line] : nullptr; }

  // [window thread only] The editor's windows, fonts, title and Module View
  // state. The engine itself reads only main_window (FindEngine, and to
  // tell an open editor that something changed).
  struct EditorState {
    // Window handles; main_window is null while the editor is closed.
    void* main_window = nullptr;
    void* status_bar = nullptr;
    void* module_view = nullptr;
    void* code_edit = nullptr;
    void* gui_view = nullptr;
    void* apply_button = nullptr;
    void* revert_button = nullptr;
    // Made with the engine, released with it: tab strip and boxes, tab
    // labels, code.
    void* fonts[3] = {};
    const char* title_prefix = nullptr;
    // Module View: where the next new component goes, the selection, the
    // extent and scroll position, and the drags in progress.
    std::int32_t new_component_x = 0, new_component_y = 0;
    std::int32_t selected_slot = -1;
    std::int32_t content_width = 0, content_height = 0, scroll_x = 0, scroll_y = 0;
    std::int32_t dragged_slot = -1;
    std::int32_t drag_offset_x = 0, drag_offset_y = 0;
    std::int32_t wire_drag = 0;
    std::int32_t wire_end_x = 0, wire_end_y = 0;
    std::int32_t wire_source_slot = -1;
    std::int32_t wire_source_output = -1;
    View current_view = View::kModule;
  };
  EditorState& Editor() { return editor_; }
  const EditorState& Editor() const { return editor_; }

 private:
  struct Retired {
    std::uint64_t audio_state;  // audio_state_ when it was retired
    const EvaluationPlan* plan;
    std::vector<std::pair<ComponentRecord*, ComponentDispatch>> records;
  };

  void ResetEditorState() REQUIRES(edit_mutex_);
  // Whether a is not b and does not feed b, directly or through others.
  bool IsNotUpstreamLocked(int a, int b) const REQUIRES(edit_mutex_);
  bool ClosesLoopLocked(int s, int t) const REQUIRES(edit_mutex_);
  // Wires without checking: only ConnectLocked, which checks, calls it.
  void AttachInputLocked(int target, int input, int source, int output) REQUIRES(edit_mutex_);
  bool ReserveDelayLinesLocked() REQUIRES(edit_mutex_);
  // [audio thread]
  void InspectOutput(const ComponentRecord* self, std::uint32_t n, double limit);
  bool RunWatchedCascade(const EvaluationPlan& plan, const PlanRun& run, std::uint32_t n, double limit);
  ComponentRecord* NewRecordLocked(int slot) REQUIRES(edit_mutex_);
  // What the IN of a pass or a slice outputs: the host's block (at the
  // running rate) and the sidechain's two channels, null when there is
  // none.
  struct InFrames {
    double* signal;
    double* side[2];
    InFrames At(std::uint32_t frame) const {
      const std::size_t values = 2 * static_cast<std::size_t>(frame);
      return {signal + values, {side[0] ? side[0] + values : nullptr, side[1] ? side[1] + values : nullptr}};
    }
  };
  // One pass of the plan over `frames` frames whose IN outputs `in`: marks
  // the records, runs the first part once and the rest in slices, and
  // advances the delay position. Answers OUT's output (a slice's output is
  // gathered into `gather`), or null for silence. [audio thread]
  const double* RunPlan(const EvaluationPlan& plan, const InFrames& in, std::uint32_t frames, double* gather);
  // Runs [first, end) over `frames` frames (the records' block length).
  void RunRuns(const EvaluationPlan& plan, std::size_t first, std::size_t end, const InFrames& in,
               std::uint32_t frames);
  std::uint32_t SliceLength(const EvaluationPlan& plan, std::uint32_t frames);
  void SwapRecordLocked(int slot, ComponentRecord* fresh) REQUIRES(edit_mutex_);
  void RetireRecordLocked(ComponentRecord* self, ComponentDispatch type_dispatch) REQUIRES(edit_mutex_);
  void CollectLocked() REQUIRES(edit_mutex_);
  static void FreeRetired(Retired& retired);

  friend struct EngineTestAccess;  // tests/support: what tests set up directly

  // The slot tables plans are built from. The audio thread reads records
  // only through the published plan. A slot is occupied exactly when its
  // descriptor is set.
  struct SlotTables {
    std::int32_t out_slot = -1;
    std::int32_t in_slot = -1;
    ComponentRecord* record[kSlotCount] = {};
    ComponentDescriptor* descriptor[kSlotCount] = {};
    ComponentProcess process[kSlotCount] = {};
    ComponentDispatch dispatch[kSlotCount] = {};
    std::int32_t slot_count = 0;
  };

  // ------------------------------------------------------------ state
  // [editor side] The script engine, made with the engine.
  std::unique_ptr<ScriptEngine, ScriptEngineDeleter> script_;
  // [window thread]
  EditorState editor_;
  // [editor side] Under the edit mutex: the module's texts and what
  // describes the host's parameters (the name buffers the plug-in lends).
  char* parameter_names_[kNamedParameterCount] GUARDED_BY(edit_mutex_) = {};
  std::uint32_t parameter_kinds_[kNamedParameterCount] GUARDED_BY(edit_mutex_) = {};
  ControllerBindings controllers_;  // [any thread, atomic]
  char name_[kModuleNameSize] GUARDED_BY(edit_mutex_) = {};
  char author_[kModuleAuthorSize] GUARDED_BY(edit_mutex_) = {};
  char description_[kModuleDescriptionSize] GUARDED_BY(edit_mutex_) = {};
  // [audio thread] Read and written by delay components while blocks run;
  // cleared by edits (ClearDelayLines, loading) off the audio thread.
  DelayLineStorage delay_line_storage_;
  // The eight lines, delay_lines_[i][0 .. kDelayLineLength - 1]; null until
  // reserved (ReserveDelayLines, or the first component that uses them).
  double (*delay_lines_)[kDelayLineLength] = nullptr;
  // [audio thread] delay_position; the pointers are fixed by ResetEngine
  // and the plug-in (LendHostLocked) before any block runs.
  EngineContext context_ = {};
  // [audio thread]
  double input_buffer_[kMaxBlockValues] = {};
  // [editor side] Under the edit mutex.
  SlotTables slots_ GUARDED_BY(edit_mutex_);
  std::string script_text_ GUARDED_BY(edit_mutex_);

  // [any thread, atomic]
  std::atomic<const EvaluationPlan*> plan_{nullptr};
  // 2 · generation + 1 while the audio thread is inside block `generation`,
  // 2 · generation after it.
  std::atomic<std::uint64_t> audio_state_{0};
  std::atomic<std::uint32_t> delay_restart_{0};  // bumped by module loads
  std::atomic<std::uint32_t> latency_frames_{0};  // written when a plan is published
  std::atomic<double> watch_limit_{0.0};          // 0: not watching
  std::atomic<const ComponentRecord*> offence_record_{nullptr};  // written once by the audio thread
  std::atomic<std::uint64_t> offence_frame_{0};
  std::atomic<double> offence_value_{0.0};

  // [audio thread]
  std::uint64_t audio_generation_ = 0;
  bool sidechain_present_ = false;
  double sidechain_buffer_[2][kMaxBlockValues] = {};
  std::uint32_t delay_restart_seen_ = 0;
  std::uint32_t slice_length_ = 0;
  // The line offsets each line step reached in the last sliced block, and
  // the slice length they gave: unchanged offsets need no new comparison.
  struct OffsetRange {
    std::int64_t low, high;
    bool operator==(const OffsetRange&) const = default;
  };
  OffsetRange step_range_[kSlotCount] = {};
  std::uint64_t ranged_plan_ = 0;  // the serial of the plan they belong to
  std::uint32_t ranged_slice_ = 0;
  // A block's output when it is gathered from slices or brought down from
  // the running rate; the notes of one oversampled pass.
  double output_buffer_[kMaxBlockValues] = {};
  NoteBlock pass_notes_ = {};
  std::uint64_t frames_done_ = 0;  // frames of every block so far
  // Under watch, the block's limit (0: not watching) and the frames of
  // the running rate from the block's start to the pass or slice now
  // running: where an offence is, in host frames.
  double watch_ = 0.0;
  std::uint32_t running_at_ = 0;

  // [editor thread] Under the edit mutex. The cascade's state lives as long
  // as the engine once made; only the audio thread touches its contents.
  int oversampling_ GUARDED_BY(edit_mutex_) = 1;
  std::unique_ptr<Oversampler> oversampler_;

  // [editor thread] Under the edit mutex.
  mutable Mutex edit_mutex_;
  bool plan_stale_ GUARDED_BY(edit_mutex_) = false;
  std::vector<std::pair<ComponentRecord*, ComponentDispatch>> retiring_records_ GUARDED_BY(edit_mutex_);
  std::vector<Retired> retired_ GUARDED_BY(edit_mutex_);
  std::string code_draft_;
  bool has_code_draft_ = false;
  std::uint32_t script_serial_ = 0;
  std::uint32_t layout_serial_ = 0;

  // [any thread] Under its own mutex: kept from host calls, read by the
  // editor.
  mutable std::mutex problem_mutex_;
  std::string problem_;
  bool problem_unseen_ = false;
  std::map<int, std::string> sound_problems_;  // by slot
  std::string module_folder_;
};

// The line SoundProblems() gives for a component of `type` labelled
// `label` in `slot` whose file `path` could not be loaded for `reason`.
std::string SoundProblemLine(int type, const char* label, int slot, const std::string& path,
                             const std::string& reason);

// Live engines, so window procedures can find theirs by window handle.
PatchEngine* FindEngine(void* main_window);
int RegisteredEngineCount();
// The registry's entry `index`, in its current order.
PatchEngine* RegisteredEngine(int index);

}  // namespace korvel

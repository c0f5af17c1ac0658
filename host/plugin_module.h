// The module object a host creates: the table of 23 operations, the three
// port callbacks, the 26 parameters and the state chunk, around one
// embedded PatchEngine.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/component.h"
#include "engine/host_timing.h"
#include "engine/notes.h"
#include "engine/patch_engine.h"
#include "host/host_api.h"
#include "host/timed_events.h"

namespace korvel {

class PluginModule final : public ModuleBase {
 public:
  PluginModule() = default;
  // The engine's destructor is the teardown: editor closed, components freed.
  ~PluginModule() = default;

  std::int32_t Operation0() override { return 0; }
  void Init(HostInterface* host) override;
  void RestoreState(HostStream* stream) override;
  void SaveState(HostStream* stream) override;
  std::int32_t GetParameterCount() override { return kParameterCount; }
  std::int32_t GetParameterName(std::int32_t index, char* text) override;
  std::int32_t GetParameterLabel(std::int32_t index, char* text) override;
  std::int32_t GetParameterDisplay(std::int32_t index, char* text) override;
  std::int32_t GetParameterMinimum(std::int32_t index, ParameterValueRecord* record) override;
  std::int32_t GetParameterMaximum(std::int32_t index, ParameterValueRecord* record) override;
  std::int32_t GetParameterValue(std::int32_t index, ParameterValueRecord* record) override;
  std::int32_t SetParameterValue(std::int32_t index, ParameterValueRecord* record) override;
  void Operation12() override {}
  void Operation13() override {}
  void Operation14(std::int32_t, std::int32_t) override {}
  std::int32_t GetMenuItemCount(std::int32_t menu) override;
  bool GetMenuItemText(std::int32_t menu, std::int32_t item, char* text) override;
  bool OnMenuCommand(std::int32_t menu, std::int32_t item) override;
  void Operation18(std::int32_t, std::int32_t) override {}
  void Operation19(std::int32_t) override {}
  bool Operation20(std::int32_t) override { return false; }
  std::int32_t Operation21(std::int32_t, std::int32_t) override { return 0; }
  void Operation22(std::int32_t) override {}

  // Port callbacks. Each answers what the host's port expects; audio answers
  // the bytes written back. Control Changes and transport records split
  // the call at their frames, so each is heard from its own frame on.
  std::int32_t AudioCallback(AudioBlockRecord* block);
  // Copies the events (a NotesRecord: notes and Control Changes) for the
  // next audio call.
  std::int32_t NotesCallback(void* notes);
  std::int32_t AutomationCallback(AutomationEventList* events);

  // Declares the host's sample rate (see KorvelSetSampleRate): the timing's
  // sample rate becomes `rate` now, and Init and SetParameterValue restore
  // it rather than 44100. False, and nothing changes, outside the range.
  bool SetSampleRate(double rate);
  // This instance's timing, which its components read. [any thread, atomic]
  InstanceTiming& timing() { return timing_; }
  // [event call] The song's tempo and position at a frame of the next
  // audio call (see TransportRecord); false when 64 are already queued.
  bool QueueTransport(const TransportRecord& record);
  // [audio thread] The sidechain for the next audio call (see
  // KorvelSidechainFn); read during that call only.
  void SetSidechain(const float* samples, std::uint32_t frames);

  // Binds MIDI controller 0..127 (or kNoController) to parameter 0..24;
  // false, and nothing changed, outside those. The bindings are the
  // module's (saved with it); automation events whose controller number
  // lies in the automation range reach the parameters bound to it too.
  bool BindController(int parameter, std::int32_t controller);
  void SetAutomationRange(std::int32_t low, std::int32_t high);

  PatchEngine& engine() { return engine_; }
  // The last refused state chunk's reason, or empty.
  std::string StateProblem() const { return engine_.Problem(); }
  // [any thread, atomic] Output values replaced by 0.0 at the audio boundary
  // because they were not finite, since the module was created.
  std::uint64_t NonFiniteCount() const { return non_finite_count_.load(std::memory_order_relaxed); }
  // The same per channel (0, 1), and as frames where either channel was
  // replaced (2): what a host mixing the pair to one channel counts.
  std::uint64_t NonFiniteIn(int which) const {
    return which == 2 ? non_finite_frames_.load(std::memory_order_relaxed)
                      : non_finite_channel_[which & 1].load(std::memory_order_relaxed);
  }
  HostInterface* host() const { return host_; }
  // [any thread] Frames by which the output lags the input.
  std::uint32_t LatencyFrames() const { return engine_.LatencyFrames(); }
  // The folder relative sound-file paths in a restored state are read
  // against (see KorvelSetModuleFolder).
  void SetModuleFolder(const std::string& folder) { engine_.SetModuleFolder(folder); }
  // The sound files the module could not load, a line each.
  std::vector<std::string> SoundProblems() const { return engine_.SoundProblems(); }

 private:
  struct ControlChange {
    std::uint8_t controller, value;
  };

  void Process(float* samples, const float* sidechain, std::uint32_t sidechain_frames, std::uint32_t frames,
               bool& wrote);
  void ResetTiming();
  void ApplyEventsDue(std::uint32_t frame);
  void ApplyTransport(const TransportRecord& record);
  void AdvanceTransport(std::uint32_t frames);

  HostInterface* host_ = nullptr;
  PatchEngine engine_;
  // The parameter block. Kinds and controller bindings live in the engine
  // (parameter_kinds, controllers), which is where the editor, ClearModule
  // and module loading change them.
  char parameter_names_[kNamedParameterCount][kParameterNameSize] = {};
  // [any thread] Read and written through LoadParameter/StoreParameter.
  alignas(8) double parameter_values_[kParameterCount] = {};
  std::int32_t automation_low_ = 65535;
  std::int32_t automation_high_ = 0;
  // Notes: queued by the notes callback, turned into each engine block's
  // NoteBlock by the audio callback (the EngineContext points at it).
  NoteTracker notes_;
  NoteBlock note_block_ = {};
  std::atomic<std::uint64_t> non_finite_count_{0};  // [audio thread writes]
  std::atomic<std::uint64_t> non_finite_channel_[2] = {0, 0};
  std::atomic<std::uint64_t> non_finite_frames_{0};
  InstanceTiming timing_;
  // Set once a host has given a tempo: samples per tick then follow it,
  // where they are otherwise the fixed 100. [any thread, atomic]
  std::atomic<bool> host_tempo_{false};
  // Control Changes and transport records for the next audio call.
  TimedEvents<ControlChange, kMaxBlockNoteEvents> control_changes_;
  TimedEvents<TransportRecord, 64> transport_;
  // [audio thread] The next audio call's sidechain, or null.
  const float* sidechain_ = nullptr;
  std::uint32_t sidechain_frames_ = 0;
};

// The callbacks as plain functions taking the module first, the form in
// which they are handed to the host.
std::int32_t KORVEL_THISCALL AudioPort(void* module, void* block);
std::int32_t KORVEL_THISCALL NotesPort(void* module, void* notes);
std::int32_t KORVEL_THISCALL AutomationPort(void* module, void* events);

}  // namespace korvel

#include "host/plugin_module.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "engine/fp_state.h"
#include "engine/host_timing.h"
#include "engine/module_image.h"
#include "engine/parameters.h"
#include "engine/ui.h"
#include "host/finite_output.h"
#include "host/host_texts.h"

#ifdef _WIN32
#include "editor/editor.h"
#endif

namespace korvel {
namespace {

constexpr double kInitialValue = 0.5;
constexpr double kInitialExtraValue = 1.0;
constexpr double kExtraDisplayFactor = 0.7874015748031495;  // 100 / 127
constexpr std::uint32_t kStateScratchSize = 65536;

// Truncated toward zero and held to 32 bits; NaN reads as 0.
std::int32_t Truncate(double value) {
  if (std::isnan(value)) return 0;
  const double t = std::trunc(value);
  if (t <= std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
  if (t >= std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(t);
}

// A refused chunk is never shown in a modal box from inside the host's
// call: the line is kept in the engine, the open editor's status bar shows
// it, and the editor's next opening shows it in a box.
void KeepStateProblem(PatchEngine& engine, const std::string& reason) {
  std::vector<char> line(std::strlen(text::kRestoreStateFailed) + reason.size() + 1);
  std::snprintf(line.data(), line.size(), text::kRestoreStateFailed, reason.c_str());
  engine.KeepProblem(line.data());
  Ui().EngineChanged(engine.Editor().main_window);
}

}  // namespace

void PluginModule::Init(HostInterface* host) {
  host_ = host;
  automation_low_ = 65535;
  automation_high_ = 0;
  std::memset(parameter_names_, 0, sizeof parameter_names_);
  engine_.Controllers().Clear();
  engine_.ResetEngine();
  {
    PatchEngine::EditLock lock(engine_);
    engine_.LendHostLocked(parameter_names_, parameter_values_, &note_block_, &timing_);
    notes_.Reset();
    note_block_ = {};
  }
  for (double& value : parameter_values_) StoreParameter(value, kInitialValue);
  StoreParameter(parameter_values_[kNamedParameterCount], kInitialExtraValue);
  HostTiming timing;  // the defaults, at the declared rate
  timing.sample_rate = timing_.Load().declared_sample_rate;
  StoreHostTiming(timing);
  timing_.Store(timing);
  host_tempo_.store(false, std::memory_order_relaxed);
  if (host_ != nullptr) {
    host_->RegisterPort(text::kAudioPort, 0, &AudioPort);
    host_->RegisterPort(text::kNotesPort, 0, &NotesPort);
    host_->RegisterPort(text::kAutomationPort, 0, &AutomationPort);
  }
}

// The chunk is the image's length and then the image. A chunk too large or
// not a module is reported and changes nothing.
void PluginModule::RestoreState(HostStream* stream) {
  const NoModalUi host_call;
  if (stream == nullptr) return;
  std::uint32_t length = 0;
  stream->ReadLength(&length);
  std::vector<char> image;
  if (length <= kMaxModuleImageSize) {
    try {
      image.resize(length);
    } catch (const std::bad_alloc&) {
    }
  }
  if (image.size() != length) {
    // Read past it all the same, so the host's stream stays in step.
    std::vector<char> scratch(kStateScratchSize);
    for (std::uint32_t left = length; left > 0;) {
      const std::uint32_t piece = std::min(left, kStateScratchSize);
      stream->Read(scratch.data(), piece);
      left -= piece;
    }
    KeepStateProblem(engine_, TooLargeReason("the module state", length));
    return;
  }
  stream->Read(image.data(), length);
  // Chunks carry absolute paths; a relative one (a module file handed over
  // as a chunk) is read against the folder the host declared.
  ImagePaths paths;
  paths.folder = engine_.ModuleFolder();
  std::string error;
  if (!ReadModuleImage(engine_, image.data(), image.size(), error, paths)) KeepStateProblem(engine_, error);
}

void PluginModule::SaveState(HostStream* stream) {
  const NoModalUi host_call;
  if (stream == nullptr) return;
  const std::string image = WriteModuleImage(engine_);
  const auto length = static_cast<std::uint32_t>(image.size());
  stream->WriteLength(length);
  stream->Write(image.data(), length);
}

std::int32_t PluginModule::GetParameterName(std::int32_t index, char* text) {
  if (index < 0 || index >= kNamedParameterCount || text == nullptr) return 0;
  std::memcpy(text, parameter_names_[index], strnlen(parameter_names_[index], kParameterNameSize - 1));
  text[strnlen(parameter_names_[index], kParameterNameSize - 1)] = '\0';
  return 1;
}

std::int32_t PluginModule::GetParameterLabel(std::int32_t index, char* text) {
  return GetParameterName(index, text);
}

std::int32_t PluginModule::GetParameterDisplay(std::int32_t index, char* text) {
  if (index < 0 || index > kNamedParameterCount || text == nullptr) return 0;
  const double v = LoadParameter(parameter_values_[index]);
  if (index == kNamedParameterCount) {
    std::snprintf(text, kHostTextSize, "%.2f%%", v * kExtraDisplayFactor);
    return 1;
  }
  std::uint32_t kind = 0;
  {
    PatchEngine::EditLock lock(engine_);
    kind = engine_.ParameterKind(index);
  }
  switch (kind) {
    case 0:
      // + 0.0 turns a negative zero into "0".
      std::snprintf(text, kHostTextSize, "%.0f", std::trunc(v * 100.0) + 0.0);
      return 1;
    case 1:
      std::snprintf(text, kHostTextSize, "%.2f%%", v * 100.0);
      return 1;
    case 2:
      std::snprintf(text, kHostTextSize, "%.2f%%", v * 200.0 - 100.0);
      return 1;
    case 3:
      std::snprintf(text, kHostTextSize, "%.2f%%", v * 100.0 - 100.0);
      return 1;
    case 4:
      return 1;
    case 5:
      std::snprintf(text, kHostTextSize, "%.2f ms", v * 1000.0);
      return 1;
    case 6:
      std::snprintf(text, kHostTextSize, "%.2f ms", v * 500.0);
      return 1;
    case 7:
      std::snprintf(text, kHostTextSize, "%.2f ms", v * 50.0);
      return 1;
    default:
      return 0;
  }
}

std::int32_t PluginModule::GetParameterMinimum(std::int32_t, ParameterValueRecord* record) {
  if (record != nullptr) {
    record->value = 0.0;
    record->integer = 0;
  }
  return 1;
}

std::int32_t PluginModule::GetParameterMaximum(std::int32_t, ParameterValueRecord* record) {
  if (record != nullptr) {
    record->value = 1.0;
    record->integer = 1;
  }
  return 1;
}

std::int32_t PluginModule::GetParameterValue(std::int32_t index, ParameterValueRecord* record) {
  if (index < 0 || index >= kParameterCount || record == nullptr) return 0;
  record->value = LoadParameter(parameter_values_[index]);
  record->integer = Truncate(record->value);
  return 1;
}

std::int32_t PluginModule::SetParameterValue(std::int32_t index, ParameterValueRecord* record) {
  const NoModalUi host_call;
  ResetTiming();
  if (index < 0 || index >= kParameterCount || record == nullptr) return 0;
  StoreParameter(parameter_values_[index], record->value);
  return 1;
}

namespace {

constexpr double kFixedSamplesPerTick = 100.0;

// Samples per tick at a tempo; 0 when the tempo gives no usable number.
double SamplesPerTick(double rate, double bpm, double tpb) {
  const double samples = rate * 60.0 / (bpm * tpb);
  return std::isfinite(samples) && samples > 0.0 ? samples : 0.0;
}

bool Positive(double value) { return std::isfinite(value) && value > 0.0; }

}  // namespace

bool PluginModule::SetSampleRate(double rate) {
  if (!(rate >= kMinSampleRate && rate <= kMaxSampleRate)) return false;
  timing_.StoreDeclaredSampleRate(rate);
  StoreSampleTiming(rate, LoadHostTiming().samples_per_tick);
  const HostTiming own = timing_.Load();
  const double tempo_samples = SamplesPerTick(rate, own.bpm, own.tpb);
  const bool tempo = host_tempo_.load(std::memory_order_relaxed) && tempo_samples > 0.0;
  timing_.StoreSampleTiming(rate, tempo ? tempo_samples : own.samples_per_tick);
  return true;
}

// Parameter changes restore the declared rate (44100 unless a host that
// knows its own declared it) and 100 samples per tick, in the process-wide
// values as the host interface defines. This instance's own copy gets the
// same, except that once a host has given a tempo its samples per tick
// follow the tempo: a parameter change must not undo the song.
void PluginModule::ResetTiming() {
  const HostTiming own = timing_.Load();
  const double rate = own.declared_sample_rate;
  StoreSampleTiming(rate, kFixedSamplesPerTick);
  const double tempo_samples = SamplesPerTick(rate, own.bpm, own.tpb);
  const bool tempo = host_tempo_.load(std::memory_order_relaxed) && tempo_samples > 0.0;
  timing_.StoreSampleTiming(rate, tempo ? tempo_samples : kFixedSamplesPerTick);
}

bool PluginModule::QueueTransport(const TransportRecord& record) { return transport_.Push(record.frame, record); }

void PluginModule::SetSidechain(const float* samples, std::uint32_t frames) {
  sidechain_ = samples;
  sidechain_frames_ = samples != nullptr ? frames : 0;
}

// [audio thread] Each field the record gives replaces the one the instance
// had; what it does not give (NaN) or gives unusable is kept. Samples per
// tick follow from the tempo once there is one.
void PluginModule::ApplyTransport(const TransportRecord& record) {
  HostTiming timing = timing_.Load();
  const double bpm = Positive(record.beats_per_minute) ? record.beats_per_minute : timing.bpm;
  const double tpb = Positive(record.ticks_per_beat) ? record.ticks_per_beat : timing.tpb;
  const bool tempo_given = Positive(record.beats_per_minute);
  const bool tempo = tempo_given || host_tempo_.load(std::memory_order_relaxed);
  const double samples = SamplesPerTick(timing.sample_rate, bpm, tpb);
  if (!tempo || samples > 0.0) {
    timing.bpm = bpm;
    timing.tpb = tpb;
    if (tempo) {
      timing.samples_per_tick = samples;
      host_tempo_.store(true, std::memory_order_relaxed);
    }
  }
  if (Positive(record.beats_per_bar)) timing.bpb = record.beats_per_bar;
  if (std::isfinite(record.beat)) timing.beat = record.beat;
  if (std::isfinite(record.speed)) timing.speed = record.speed;
  timing_.Store(timing);
}

// [audio thread] The song moves on by `frames` at its tempo and speed.
void PluginModule::AdvanceTransport(std::uint32_t frames) {
  const HostTiming timing = timing_.Load();
  if (timing.speed == 0.0) return;
  const double beat = timing.beat + timing.speed * frames * timing.bpm / (60.0 * timing.sample_rate);
  if (std::isfinite(beat)) timing_.StoreTransport(beat, timing.speed);
}

// [audio thread] Control Changes and transport records due at `frame`.
void PluginModule::ApplyEventsDue(std::uint32_t frame) {
  while (const TransportRecord* record = transport_.TakeDue(frame)) ApplyTransport(*record);
  while (const ControlChange* change = control_changes_.TakeDue(frame))
    engine_.Controllers().Apply(change->controller, change->value, parameter_values_);
}

bool PluginModule::BindController(int parameter, std::int32_t controller) {
  return engine_.Controllers().Set(parameter, controller);
}

void PluginModule::SetAutomationRange(std::int32_t low, std::int32_t high) {
  automation_low_ = low;
  automation_high_ = high;
}

std::int32_t PluginModule::GetMenuItemCount(std::int32_t menu) { return menu == 0 ? 2 : 0; }

bool PluginModule::GetMenuItemText(std::int32_t menu, std::int32_t item, char* text) {
  if (menu != 0 || text == nullptr) return false;
  if (item == 0) {
    std::memcpy(text, text::kEditModuleItem, sizeof text::kEditModuleItem);
    return true;
  }
  if (item == 1) {
    std::memcpy(text, text::kAboutItem, sizeof text::kAboutItem);
    return true;
  }
  return false;
}

// The editor exists on Windows only; elsewhere the commands are answered
// and nothing opens.
bool PluginModule::OnMenuCommand(std::int32_t menu, std::int32_t item) {
  if (menu != 0) return false;
  if (item == 0) {
    engine_.Editor().title_prefix = nullptr;
#ifdef _WIN32
    OpenEditor(engine_);
#endif
    return true;
  }
  if (item == 1) {
#ifdef _WIN32
    ShowAbout(engine_);
#endif
    return true;
  }
  return false;
}

// Runs in the host's audio thread: no allocation, no lock, no waiting, no
// user interface. Each piece is evaluated with the plan published when it
// began, so an edit made meanwhile is heard from the next piece on.
// Subnormal values are flushed to zero while the block is computed.
//
// The call is processed in pieces: at most the engine's block, and ended
// early at the frame of the next transport record or Control Change that
// moves a parameter, which is applied before the piece that starts there.
// Events past the end of the call land on its last frame.
std::int32_t PluginModule::AudioCallback(AudioBlockRecord* block) {
  const float* sidechain = sidechain_;  // for this call only
  const std::uint32_t sidechain_frames = sidechain_frames_;
  sidechain_ = nullptr;
  sidechain_frames_ = 0;
  if (block == nullptr || block->buffers == nullptr || block->buffers[0] == nullptr) return 0;
  auto* samples = static_cast<float*>(block->buffers[0]);
  const std::uint32_t frames = block->count;
  if (frames == 0) return 0;
  // The host's floating-point state is restored when this returns.
  const FlushDenormals flush;
  constexpr std::uint32_t kNone = 0xFFFFFFFFu;
  control_changes_.Begin();
  transport_.Begin();
  bool wrote = false;
  for (std::uint32_t done = 0; done < frames;) {
    ApplyEventsDue(done + 1 == frames ? kNone : done);
    std::uint32_t end = std::min<std::uint32_t>(frames, done + kMaxBlockFrames);
    // Only a Control Change that moves a parameter ends a piece; the others
    // are applied as the pieces pass them.
    const std::uint32_t next_change = control_changes_.NextFrameWhere(
        [this](const ControlChange& change) { return engine_.Controllers().Moves(change.controller); }, kNone);
    const std::uint32_t next = std::min(next_change, transport_.NextFrame(kNone));
    if (next != kNone) end = std::min(end, std::min(next, frames - 1));
    const std::uint32_t piece = end - done;
    notes_.Render(done, piece, end == frames, note_block_);
    const std::uint32_t side_left = sidechain_frames > done ? sidechain_frames - done : 0;
    Process(samples + 2 * static_cast<std::size_t>(done),
            sidechain != nullptr ? sidechain + 2 * static_cast<std::size_t>(std::min(done, sidechain_frames)) : nullptr,
            side_left, piece, wrote);
    AdvanceTransport(piece);
    done = end;
  }
  ApplyEventsDue(kNone);  // those that moved nothing, for the editor's "learn"
  control_changes_.Clear();
  transport_.Clear();
  return wrote ? static_cast<std::int32_t>(8u * frames) : 0;
}

void PluginModule::Process(float* samples, const float* sidechain, std::uint32_t sidechain_frames,
                           std::uint32_t frames, bool& wrote) {
  const std::size_t values = 2 * static_cast<std::size_t>(frames);
  double* in = engine_.InputBuffer();
  for (std::size_t i = 0; i < values; ++i) in[i] = samples[i];
  // Each sidechain channel fills both channels of its output; past the
  // host's frames it is silence.
  engine_.SetSidechain(sidechain != nullptr);
  if (sidechain != nullptr) {
    double* left = engine_.SidechainBuffer(0);
    double* right = engine_.SidechainBuffer(1);
    for (std::uint32_t f = 0; f < frames; ++f) {
      const bool given = f < sidechain_frames;
      left[2 * f] = left[2 * f + 1] = given ? sidechain[2 * f] : 0.0;
      right[2 * f] = right[2 * f + 1] = given ? sidechain[2 * f + 1] : 0.0;
    }
  }
  const double* out = engine_.ProcessBlock(frames);
  if (out == nullptr) {
    std::fill(samples, samples + values, 0.0f);
  } else {
    // Only finite samples reach the host; what was not is counted.
    if (const ReplacedValues replaced = SanitizeBlock(out, samples, values); replaced.frames != 0) {
      non_finite_count_.fetch_add(replaced.total(), std::memory_order_relaxed);
      for (int c = 0; c < 2; ++c) non_finite_channel_[c].fetch_add(replaced.channel[c], std::memory_order_relaxed);
      non_finite_frames_.fetch_add(replaced.frames, std::memory_order_relaxed);
    }
    wrote = true;
  }
  engine_.BlockDone();  // `out` has been read: retired plans may go
}

// [notes callback] The host's record is valid only during this call; the
// events are copied into the tracker's fixed queue, nothing is allocated.
std::int32_t PluginModule::NotesCallback(void* notes) {
  const NoModalUi host_call;
  const auto* record = static_cast<const NotesRecord*>(notes);
  if (record == nullptr || record->events == nullptr) return 0;
  for (std::int32_t i = 0; i < record->count; ++i) {
    const NoteEvent& event = record->events[i];
    if ((event.status & 0xF0) != kControlChange) {
      notes_.Push(event.frame, event.status, event.note, event.velocity);
    } else if (event.note < kControllerCount && event.velocity < 0x80) {
      // Past the queue's end a Control Change is dropped.
      control_changes_.Push(event.frame, {event.note, event.velocity});
    }
  }
  return 0;
}

std::int32_t PluginModule::AutomationCallback(AutomationEventList* list) {
  const NoModalUi host_call;
  if (list == nullptr || list->count < 1 || list->controllers == nullptr || list->events == nullptr) return 0;
  for (std::int32_t i = 0; i < list->count; ++i) {
    const std::int32_t controller = list->controllers[i];
    if (controller < automation_low_ || controller > automation_high_ || controller == kNoController) continue;
    for (int p = 0; p < kNamedParameterCount; ++p) {
      // Through the table, as the host would set it.
      if (engine_.Controllers().Get(p) == controller) SetParameterValue(p, &list->events[i].value);
    }
  }
  return 0;
}

namespace {
PluginModule* AsModule(void* module) { return static_cast<PluginModule*>(static_cast<ModuleBase*>(module)); }
}  // namespace

std::int32_t KORVEL_THISCALL AudioPort(void* module, void* block) {
  return AsModule(module)->AudioCallback(static_cast<AudioBlockRecord*>(block));
}
std::int32_t KORVEL_THISCALL NotesPort(void* module, void* notes) { return AsModule(module)->NotesCallback(notes); }
std::int32_t KORVEL_THISCALL AutomationPort(void* module, void* events) {
  return AsModule(module)->AutomationCallback(static_cast<AutomationEventList*>(events));
}

}  // namespace korvel

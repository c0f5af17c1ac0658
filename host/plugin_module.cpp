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
  Ui().EngineChanged(engine.main_window);
}

}  // namespace

void PluginModule::Init(HostInterface* host) {
  host_ = host;
  automation_low_ = 65535;
  automation_high_ = 0;
  std::memset(parameter_names_, 0, sizeof parameter_names_);
  std::fill(std::begin(controller_bindings_), std::end(controller_bindings_), -1);
  engine_.ResetEngine();
  {
    auto lock = engine_.LockEdits();
    for (int p = 0; p < kNamedParameterCount; ++p) {
      engine_.parameter_names[p] = parameter_names_[p];
      engine_.parameter_kinds[p] = 0;
    }
    engine_.context.parameter_values = parameter_values_;
    engine_.context.extra_parameter = &parameter_values_[kNamedParameterCount];
    engine_.context.notes = &note_block_;
    engine_.context.timing = &timing_;
    notes_.Reset();
    note_block_ = {};
  }
  for (double& value : parameter_values_) StoreParameter(value, kInitialValue);
  StoreParameter(parameter_values_[kNamedParameterCount], kInitialExtraValue);
  HostTiming timing;  // the defaults, at the declared rate
  timing.sample_rate = timing_.Load().declared_sample_rate;
  StoreHostTiming(timing);
  timing_.Store(timing);
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
  std::string error;
  if (!ReadModuleImage(engine_, image.data(), image.size(), error)) KeepStateProblem(engine_, error);
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
  switch (engine_.parameter_kinds[index]) {
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

bool PluginModule::SetSampleRate(double rate) {
  if (!(rate >= kMinSampleRate && rate <= kMaxSampleRate)) return false;
  timing_.StoreDeclaredSampleRate(rate);
  StoreSampleTiming(rate, LoadHostTiming().samples_per_tick);
  timing_.StoreSampleTiming(rate, timing_.Load().samples_per_tick);
  return true;
}

// Parameter changes restore the declared rate (44100 unless a host that
// knows its own declared it) and 100 samples per tick, in the process-wide
// values as the host interface defines and in this instance's own.
void PluginModule::ResetTiming() {
  const double rate = timing_.Load().declared_sample_rate;
  StoreSampleTiming(rate, 100.0);
  timing_.StoreSampleTiming(rate, 100.0);
}

void PluginModule::BindController(int parameter, std::int32_t controller) {
  if (parameter >= 0 && parameter < kNamedParameterCount) controller_bindings_[parameter] = controller;
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
    engine_.title_prefix = nullptr;
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
std::int32_t PluginModule::AudioCallback(AudioBlockRecord* block) {
  if (block == nullptr || block->buffers == nullptr || block->buffers[0] == nullptr) return 0;
  auto* samples = static_cast<float*>(block->buffers[0]);
  const std::uint32_t frames = block->count;
  if (frames == 0) return 0;
  // The host's floating-point state is restored when this returns.
  const FlushDenormals flush;
  bool wrote = false;
  for (std::uint32_t done = 0; done < frames;) {
    const std::uint32_t piece = std::min<std::uint32_t>(frames - done, kMaxBlockFrames);
    notes_.Render(done, piece, done + piece == frames, note_block_);
    Process(samples + 2 * static_cast<std::size_t>(done), piece, wrote);
    done += piece;
  }
  return wrote ? static_cast<std::int32_t>(8u * frames) : 0;
}

void PluginModule::Process(float* samples, std::uint32_t frames, bool& wrote) {
  const std::size_t values = 2 * static_cast<std::size_t>(frames);
  double* in = engine_.input_buffer;
  for (std::size_t i = 0; i < values; ++i) in[i] = samples[i];
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
    notes_.Push(event.frame, event.status, event.note, event.velocity);
  }
  return 0;
}

std::int32_t PluginModule::AutomationCallback(AutomationEventList* list) {
  const NoModalUi host_call;
  if (list == nullptr || list->count < 1 || list->controllers == nullptr || list->events == nullptr) return 0;
  for (std::int32_t i = 0; i < list->count; ++i) {
    const std::int32_t controller = list->controllers[i];
    if (controller < automation_low_ || controller > automation_high_) continue;
    for (int p = 0; p < kNamedParameterCount; ++p) {
      // Through the table, as the host would set it.
      if (controller_bindings_[p] == controller) SetParameterValue(p, &list->events[i].value);
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

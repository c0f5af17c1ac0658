// The functions a host finds in the library, under their plain names, and
// the library entry point.
#include <algorithm>
#include <cstring>
#include <cstdint>
#include <new>
#include <string>

#include "host/host_api.h"
#include "host/host_texts.h"
#include "host/plugin_module.h"

#ifdef _WIN32
#include <windows.h>

#include "editor/editor.h"
#endif

namespace {
constexpr korvel::ModuleInfoRecord kModuleInfo = {korvel::text::kModuleName, korvel::text::kModuleShortName, 16, 1};
}  // namespace

KORVEL_EXPORT korvel::ModuleBase* CreateDaveModule() {
  // One allocation of the whole object, delay lines and all; no exception
  // may cross into the host.
  try {
    return new (std::nothrow) korvel::PluginModule();
  } catch (...) {
    return nullptr;
  }
}

// Releases what CreateDaveModule made: the engine's teardown runs in its
// destructor.
KORVEL_EXPORT void DestroyDaveModule(korvel::ModuleBase* module) {
  delete static_cast<korvel::PluginModule*>(module);
}

KORVEL_EXPORT bool KorvelSetSampleRate(korvel::ModuleBase* module, double rate) {
  return module != nullptr && static_cast<korvel::PluginModule*>(module)->SetSampleRate(rate);
}

// Output values the module has replaced by 0.0 at the audio boundary because
// they were not finite; for the command-line host and the tests.
KORVEL_EXPORT std::uint64_t KorvelNonFiniteCount(const korvel::ModuleBase* module) {
  return module == nullptr ? 0 : static_cast<const korvel::PluginModule*>(module)->NonFiniteCount();
}

// The same count per channel and per frame: counts[0] and counts[1] the
// values replaced in channels 0 and 1, counts[2] the frames in which either
// was.
KORVEL_EXPORT void KorvelNonFiniteCounts(const korvel::ModuleBase* module, std::uint64_t* counts) {
  if (counts == nullptr) return;
  for (int i = 0; i < 3; ++i)
    counts[i] = module == nullptr ? 0 : static_cast<const korvel::PluginModule*>(module)->NonFiniteIn(i);
}

// Watches each component's output for a value that is not finite or
// beyond ±limit (on the engine's scale); 0 stops. For hosts that name the
// component where a runaway began.
KORVEL_EXPORT void KorvelWatchOutputs(korvel::ModuleBase* module, double limit) {
  if (module != nullptr) static_cast<korvel::PluginModule*>(module)->engine().WatchOutputs(limit);
}

// The first offence the watch found: its slot (-1 when that component has
// been deleted since), its frame, counted from the module's first block,
// and the value (engine scale). Answers false when there was none.
KORVEL_EXPORT bool KorvelFirstOffence(korvel::ModuleBase* module, std::int32_t* slot, std::uint64_t* frame,
                                      double* value) {
  if (module == nullptr) return false;
  int found_slot = -1;
  std::uint64_t found_frame = 0;
  double found_value = 0.0;
  if (!static_cast<korvel::PluginModule*>(module)->engine().FirstOffence(found_slot, found_frame, found_value))
    return false;
  if (slot != nullptr) *slot = found_slot;
  if (frame != nullptr) *frame = found_frame;
  if (value != nullptr) *value = found_value;
  return true;
}

// Frames by which the module's output lags its input, for hosts that line
// the output up or report the delay to theirs.
KORVEL_EXPORT std::uint32_t KorvelLatencyFrames(const korvel::ModuleBase* module) {
  return module == nullptr ? 0 : static_cast<const korvel::PluginModule*>(module)->LatencyFrames();
}

// The folder relative sound-file paths in the next restored state are read
// against: a command-line host hands a module file over as a state chunk.
KORVEL_EXPORT void KorvelSetModuleFolder(korvel::ModuleBase* module, const char* folder) {
  if (module != nullptr) static_cast<korvel::PluginModule*>(module)->SetModuleFolder(folder != nullptr ? folder : "");
}

// The sound files the module could not load, one line each, joined by line
// feeds: a command-line host prints them as warnings.
KORVEL_EXPORT std::int32_t KorvelSoundProblems(korvel::ModuleBase* module, char* text, std::int32_t capacity) {
  if (module == nullptr) return 0;
  std::string lines;
  for (const std::string& line : static_cast<korvel::PluginModule*>(module)->SoundProblems())
    lines += (lines.empty() ? "" : "\n") + line;
  if (text != nullptr && capacity > 0) {
    const std::size_t n = std::min(lines.size(), static_cast<std::size_t>(capacity - 1));
    std::memcpy(text, lines.data(), n);
    text[n] = '\0';
  }
  return static_cast<std::int32_t>(lines.size());
}

// The song's tempo and position at a frame of the next audio call, from
// hosts that play one (the command-line host's --bpm and MIDI tempo map).
KORVEL_EXPORT bool KorvelTransport(korvel::ModuleBase* module, const korvel::TransportRecord* record) {
  return module != nullptr && record != nullptr &&
         static_cast<korvel::PluginModule*>(module)->QueueTransport(*record);
}

// The sidechain of the next audio call: the IN component's out3 and out4.
KORVEL_EXPORT void KorvelSidechain(korvel::ModuleBase* module, const float* samples, std::uint32_t frames) {
  if (module != nullptr) static_cast<korvel::PluginModule*>(module)->SetSidechain(samples, frames);
}

KORVEL_EXPORT const korvel::ModuleInfoRecord* DaveModuleInfo(korvel::PortDeclarer* ports) {
  if (ports != nullptr) {
    ports->DeclareFirstKind(korvel::text::kAutomationPort, 1);
    ports->DeclareFirstKind(korvel::text::kNotesPort, 1);
    ports->DeclareFirstKind(korvel::text::kAudioPort, 1);
    ports->DeclareSecondKind(korvel::text::kAudioPort, 1);
  }
  return &kModuleInfo;
}

KORVEL_EXPORT const char* DaveModuleName() { return korvel::text::kModuleName; }

// Not part of the host's set: how a command-line host learns why a state
// chunk was refused, since the plug-in shows no box from inside RestoreState.
KORVEL_EXPORT std::int32_t KorvelStateProblem(korvel::ModuleBase* module, char* text, std::int32_t capacity) {
  if (module == nullptr) return 0;
  const std::string line = static_cast<korvel::PluginModule*>(module)->StateProblem();
  if (text != nullptr && capacity > 0) {
    const std::size_t n = std::min(line.size(), static_cast<std::size_t>(capacity - 1));
    std::memcpy(text, line.data(), n);
    text[n] = '\0';
  }
  return static_cast<std::int32_t>(line.size());
}

KORVEL_EXPORT void* CreateAdapterHandler() { return nullptr; }

KORVEL_EXPORT bool HasAdapterHandler() { return false; }

#ifdef _WIN32
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) korvel::EditorAttach(instance);
  if (reason == DLL_PROCESS_DETACH) korvel::EditorDetach();
  return TRUE;
}
#endif

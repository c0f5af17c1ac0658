// The LV2 plug-in: a thin wrapper that hands an LV2 host's ports, MIDI,
// state and files to the same PluginModule every other host drives. The
// module is linked in; nothing of the engine is copied or changed here.
//
// Threads: run(), connect_port() and work_response() are [audio thread];
// work() is [worker thread]; instantiate(), restore() and cleanup() run
// while the host is not running the plug-in; save() may run beside run().
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include <lv2/atom/atom.h>
#include <lv2/atom/forge.h>
#include <lv2/atom/util.h>
#include <lv2/core/lv2.h>
#include <lv2/log/log.h>
#include <lv2/log/logger.h>
#include <lv2/midi/midi.h>
#include <lv2/patch/patch.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include "engine/module_file.h"
#include "engine/module_image.h"
#include "components/routing.h"
#include "engine/patch_engine.h"
#include "host/host_api.h"
#include "host/lv2/lv2_names.h"
#include "host/plugin_module.h"

namespace korvel::lv2 {
namespace {

namespace text {
// Log lines; the module file or reason follows where the format says.
inline constexpr char kNoUridMap[] =
    "Korvel Modular: the host offers no URID map (urid:map); MIDI, the \"Module file\" parameter and state "
    "are unavailable\n";
inline constexpr char kBadRate[] = "Korvel Modular: the sample rate %.0f Hz is outside %.0f to %.0f Hz; not instantiated\n";
inline constexpr char kNoMemory[] = "Korvel Modular: not enough memory for a module\n";
inline constexpr char kNoWorker[] =
    "Korvel Modular: the host offers no worker (work:schedule); the \"Module file\" parameter is unavailable\n";
inline constexpr char kRefusedFile[] = "Korvel Modular: couldn't load \"%s\": %s; the module is unchanged\n";
inline constexpr char kRefusedState[] =
    "Korvel Modular: couldn't restore the module from the saved state: %s; the module is unchanged\n";
inline constexpr char kBadStateType[] =
    "Korvel Modular: couldn't restore the module from the saved state: its image is not text; "
    "the module is unchanged\n";
// A sound file a component could not load (the engine's line).
inline constexpr char kSoundProblem[] = "Korvel Modular: %s\n";
}  // namespace text

// Frames handed to the module per audio call; longer runs are split.
constexpr std::uint32_t kChunkFrames = kMaxBlockFrames;
// Note events kept per run(); later ones in the same run are dropped.
constexpr std::int32_t kMaxNotes = 1024;
// The longest module file name reported back on the notify port.
constexpr std::size_t kMaxPath = 4096;

// Without a map (a host that offers none) every URID is 0, which no event
// or state type has: the plug-in then runs audio and controls only.
struct Uris {
  explicit Uris(LV2_URID_Map* map)
      : atom_path(Map(map, LV2_ATOM__Path)),
        atom_string(Map(map, LV2_ATOM__String)),
        atom_chunk(Map(map, LV2_ATOM__Chunk)),
        atom_urid(Map(map, LV2_ATOM__URID)),
        atom_object(Map(map, LV2_ATOM__Object)),
        atom_blank(Map(map, LV2_ATOM__Blank)),
        midi_event(Map(map, LV2_MIDI__MidiEvent)),
        patch_get(Map(map, LV2_PATCH__Get)),
        patch_set(Map(map, LV2_PATCH__Set)),
        patch_property(Map(map, LV2_PATCH__property)),
        patch_value(Map(map, LV2_PATCH__value)),
        module_image(Map(map, kModuleImageUri)),
        module_file(Map(map, kModuleFileUri)) {}

  static LV2_URID Map(LV2_URID_Map* map, const char* uri) { return map != nullptr ? map->map(map->handle, uri) : 0; }

  LV2_URID atom_path, atom_string, atom_chunk, atom_urid, atom_object, atom_blank;
  LV2_URID midi_event;
  LV2_URID patch_get, patch_set, patch_property, patch_value;
  LV2_URID module_image, module_file;
};

class Plugin {
 public:
  Plugin(std::unique_ptr<PluginModule> module, LV2_URID_Map* map, const LV2_Log_Logger& logger,
         LV2_Worker_Schedule* schedule)
      : module_(std::move(module)), mapped_(map != nullptr), uris_(map), logger_(logger), schedule_(schedule) {
    if (mapped_) lv2_atom_forge_init(&forge_, map);
  }

  void Connect(std::uint32_t port, void* data);
  void Run(std::uint32_t frames);  // [audio thread]

  LV2_State_Status Save(LV2_State_Store_Function store, LV2_State_Handle handle, const LV2_Feature* const* features);
  LV2_State_Status Restore(LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle,
                           const LV2_Feature* const* features);
  LV2_Worker_Status Work(LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle,
                         std::uint32_t size, const void* data);  // [worker thread]
  LV2_Worker_Status WorkResponse(std::uint32_t size, const void* data);  // [audio thread]

 private:
  void ApplyParameters();
  void ReadControl(std::uint32_t frames);
  void ReadMessage(const LV2_Atom_Object* object);
  void AddNote(const LV2_Atom_Event* event, std::uint32_t frames);
  void WriteFileReport();
  void LogSoundProblems();
  void ProcessChunk(std::uint32_t start, std::uint32_t frames, std::int32_t& next_note);

  std::unique_ptr<PluginModule> module_;
  bool mapped_;  // the host offered urid:map: events and state work
  Uris uris_;
  LV2_Log_Logger logger_;
  LV2_Worker_Schedule* schedule_;
  LV2_Atom_Forge forge_ = {};

  // Ports, as the host connected them; any may be null.
  const float* input_[2] = {};
  float* output_[2] = {};
  const float* parameter_[kParameterPortCount] = {};
  const LV2_Atom_Sequence* control_ = nullptr;
  LV2_Atom_Sequence* notify_ = nullptr;

  // [audio thread] The values last handed to the module.
  float sent_[kParameterPortCount] = {};
  // Set when a new image replaced the module's parameter values: the ports
  // are handed over again, since the host's controls own the values.
  std::atomic<bool> resend_parameters_{true};

  // [audio thread] This run's notes, frames relative to the run.
  NoteEvent notes_[kMaxNotes] = {};
  std::int32_t note_count_ = 0;
  float interleaved_[2 * kChunkFrames] = {};

  // [audio thread] The module file last loaded, reported on the notify port.
  char module_file_[kMaxPath] = {};
  bool report_file_ = false;
};

void Plugin::Connect(std::uint32_t port, void* data) {
  if (port == kInputLeft || port == kInputRight) {
    input_[port - kInputLeft] = static_cast<const float*>(data);
  } else if (port == kOutputLeft || port == kOutputRight) {
    output_[port - kOutputLeft] = static_cast<float*>(data);
  } else if (port >= kFirstParameter && port < kFirstParameter + kParameterPortCount) {
    parameter_[port - kFirstParameter] = static_cast<const float*>(data);
  } else if (port == kControl) {
    control_ = static_cast<const LV2_Atom_Sequence*>(data);
  } else if (port == kNotify) {
    notify_ = static_cast<LV2_Atom_Sequence*>(data);
  }
}

// A control port's value reaches the module only when it changed, through
// the same SetParameterValue every host calls. The declared sample rate is
// what that call restores, so the host's rate holds. Parameter values are
// atomic, so a module image being applied on the worker may write them at
// the same time; once it is in, every control is sent again.
void Plugin::ApplyParameters() {
  const bool all = resend_parameters_.exchange(false, std::memory_order_acquire);
  for (int p = 0; p < kParameterPortCount; ++p) {
    if (parameter_[p] == nullptr) continue;
    const float value = *parameter_[p];
    if (std::isnan(value)) continue;
    const float clamped = std::clamp(value, 0.0f, 1.0f);
    if (!all && clamped == sent_[p]) continue;
    ParameterValueRecord record = {};
    record.value = clamped;
    module_->SetParameterValue(p, &record);
    sent_[p] = clamped;
  }
}

void Plugin::AddNote(const LV2_Atom_Event* event, std::uint32_t frames) {
  if (event->body.size < 3 || note_count_ >= kMaxNotes) return;
  const auto* midi = reinterpret_cast<const std::uint8_t*>(event + 1);
  const std::uint8_t kind = midi[0] & 0xF0;
  if (kind != kNoteOn && kind != kNoteOff) return;
  NoteEvent& note = notes_[note_count_++];
  const std::int64_t frame = std::clamp<std::int64_t>(event->time.frames, 0, frames - 1);
  note.frame = static_cast<std::uint32_t>(frame);
  note.note = midi[1] & 0x7F;
  note.velocity = midi[2] & 0x7F;
  note.status = (kind == kNoteOn && note.velocity > 0) ? kNoteOn : kNoteOff;
  note.reserved = 0;
}

void Plugin::ReadMessage(const LV2_Atom_Object* object) {
  const LV2_Atom* property = nullptr;
  const LV2_Atom* value = nullptr;
  lv2_atom_object_get(object, uris_.patch_property, &property, uris_.patch_value, &value, 0);
  const bool ours = property != nullptr && property->type == uris_.atom_urid &&
                    reinterpret_cast<const LV2_Atom_URID*>(property)->body == uris_.module_file;
  if (object->body.otype == uris_.patch_get) {
    if (property == nullptr || ours) report_file_ = true;
  } else if (object->body.otype == uris_.patch_set && ours && value != nullptr && value->type == uris_.atom_path) {
    // The file is read and checked on the worker thread; the module changes
    // there, under the engine's own rules for edits beside the audio.
    if (schedule_ != nullptr) schedule_->schedule_work(schedule_->handle, value->size, LV2_ATOM_BODY_CONST(value));
  }
}

void Plugin::ReadControl(std::uint32_t frames) {
  note_count_ = 0;
  if (control_ == nullptr || !mapped_) return;
  LV2_ATOM_SEQUENCE_FOREACH(control_, event) {
    if (event->body.type == uris_.midi_event) {
      AddNote(event, frames);
    } else if (event->body.type == uris_.atom_object || event->body.type == uris_.atom_blank) {
      ReadMessage(reinterpret_cast<const LV2_Atom_Object*>(&event->body));
    }
  }
}

void Plugin::WriteFileReport() {
  LV2_Atom_Forge_Frame frame;
  if (!lv2_atom_forge_frame_time(&forge_, 0)) return;
  if (!lv2_atom_forge_object(&forge_, &frame, 0, uris_.patch_set)) return;
  lv2_atom_forge_key(&forge_, uris_.patch_property);
  lv2_atom_forge_urid(&forge_, uris_.module_file);
  lv2_atom_forge_key(&forge_, uris_.patch_value);
  lv2_atom_forge_path(&forge_, module_file_, static_cast<std::uint32_t>(std::strlen(module_file_)));
  lv2_atom_forge_pop(&forge_, &frame);
}

// One audio call of the module: its notes first, then the block, both on
// the scale and in the layout the module's host interface defines.
void Plugin::ProcessChunk(std::uint32_t start, std::uint32_t frames, std::int32_t& next_note) {
  const std::int32_t first = next_note;
  while (next_note < note_count_ && notes_[next_note].frame < start + frames) notes_[next_note++].frame -= start;
  NotesRecord notes = {next_note - first, notes_ + first};
  module_->NotesCallback(&notes);

  for (int c = 0; c < 2; ++c) {
    const float* in = input_[c] != nullptr ? input_[c] + start : nullptr;
    for (std::uint32_t i = 0; i < frames; ++i) interleaved_[2 * i + c] = in != nullptr ? in[i] * kEngineScale : 0.0f;
  }
  void* buffers[1] = {interleaved_};
  AudioBlockRecord block = {buffers, frames};
  module_->AudioCallback(&block);
  constexpr float kHostScale = 1.0f / kEngineScale;  // exact: a power of two
  for (int c = 0; c < 2; ++c) {
    float* out = output_[c];
    if (out == nullptr) continue;
    for (std::uint32_t i = 0; i < frames; ++i) out[start + i] = interleaved_[2 * i + c] * kHostScale;
  }
}

void Plugin::Run(std::uint32_t frames) {
  ApplyParameters();
  ReadControl(frames);

  bool notifying = false;
  LV2_Atom_Forge_Frame sequence;
  if (notify_ != nullptr && mapped_) {
    lv2_atom_forge_set_buffer(&forge_, reinterpret_cast<std::uint8_t*>(notify_), notify_->atom.size);
    notifying = lv2_atom_forge_sequence_head(&forge_, &sequence, 0) != 0;
  }
  if (notifying && report_file_) WriteFileReport();
  report_file_ = false;

  std::int32_t next_note = 0;
  for (std::uint32_t done = 0; done < frames;) {
    const std::uint32_t piece = std::min(frames - done, kChunkFrames);
    ProcessChunk(done, piece, next_note);
    done += piece;
  }
  if (notifying) lv2_atom_forge_pop(&forge_, &sequence);
}

const LV2_Feature* FindFeature(const LV2_Feature* const* features, const char* uri) {
  for (; features != nullptr && *features != nullptr; ++features)
    if (std::strcmp((*features)->URI, uri) == 0) return *features;
  return nullptr;
}

// Sound paths through the host's state:mapPath, when it offers one: the host
// stores them its own way (relative to the session, or as links and
// copies), so a session moved to another folder or machine keeps its
// sounds. Without it, paths stay absolute.
ImagePaths HostPaths(const LV2_Feature* const* features) {
  ImagePaths paths;
  const LV2_Feature* map_feature = FindFeature(features, LV2_STATE__mapPath);
  const LV2_Feature* free_feature = FindFeature(features, LV2_STATE__freePath);
  if (map_feature == nullptr || map_feature->data == nullptr) return paths;
  const auto* map = static_cast<const LV2_State_Map_Path*>(map_feature->data);
  const auto* release = free_feature != nullptr ? static_cast<const LV2_State_Free_Path*>(free_feature->data) : nullptr;
  const auto take = [release](char* mapped) {
    std::string text = mapped != nullptr ? mapped : "";
    if (mapped != nullptr) {
      if (release != nullptr) {
        release->free_path(release->handle, mapped);
      } else {
        std::free(mapped);
      }
    }
    return text;
  };
  paths.to_stored = [map, take](const std::string& absolute) {
    return take(map->abstract_path(map->handle, absolute.c_str()));
  };
  paths.to_absolute = [map, take](const std::string& stored) {
    return take(map->absolute_path(map->handle, stored.c_str()));
  };
  return paths;
}

// The state is the module image, the same JSON as a ".korvel" file.
LV2_State_Status Plugin::Save(LV2_State_Store_Function store, LV2_State_Handle handle,
                              const LV2_Feature* const* features) {
  if (!mapped_) return LV2_STATE_ERR_NO_FEATURE;
  const std::string image = WriteModuleImage(module_->engine(), HostPaths(features));
  return store(handle, uris_.module_image, image.c_str(), image.size() + 1, uris_.atom_string,
               LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE);
}

// Restoring runs outside the audio thread (the host does not run the
// plug-in meanwhile): the sounds the image names are loaded here, before
// the new module is published.
LV2_State_Status Plugin::Restore(LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle,
                                 const LV2_Feature* const* features) {
  if (!mapped_) return LV2_STATE_ERR_NO_FEATURE;
  std::size_t size = 0;
  std::uint32_t type = 0;
  std::uint32_t flags = 0;
  const void* data = retrieve(handle, uris_.module_image, &size, &type, &flags);
  if (data == nullptr) return LV2_STATE_SUCCESS;  // a state without a module keeps the module
  if (type != uris_.atom_string && type != uris_.atom_chunk) {
    lv2_log_error(&logger_, text::kBadStateType);
    return LV2_STATE_ERR_BAD_TYPE;
  }
  // A string's size counts its terminating NUL.
  const std::size_t length = type == uris_.atom_string ? strnlen(static_cast<const char*>(data), size) : size;
  std::string error;
  if (!ReadModuleImage(module_->engine(), data, length, error, HostPaths(features))) {
    lv2_log_error(&logger_, text::kRefusedState, error.c_str());
    return LV2_STATE_ERR_UNKNOWN;
  }
  LogSoundProblems();
  module_file_[0] = '\0';
  resend_parameters_.store(true, std::memory_order_release);
  return LV2_STATE_SUCCESS;
}

void Plugin::LogSoundProblems() {
  for (const std::string& line : module_->SoundProblems()) lv2_log_warning(&logger_, text::kSoundProblem, line.c_str());
}

LV2_Worker_Status Plugin::Work(LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle,
                               std::uint32_t size, const void* data) {
  const std::string path(static_cast<const char*>(data), strnlen(static_cast<const char*>(data), size));
  std::string error;
  if (!LoadModuleFile(module_->engine(), path, error)) {
    lv2_log_error(&logger_, text::kRefusedFile, path.c_str(), error.c_str());
    return LV2_WORKER_SUCCESS;
  }
  LogSoundProblems();
  resend_parameters_.store(true, std::memory_order_release);
  respond(handle, static_cast<std::uint32_t>(path.size() + 1), path.c_str());
  return LV2_WORKER_SUCCESS;
}

LV2_Worker_Status Plugin::WorkResponse(std::uint32_t size, const void* data) {
  const char* path = static_cast<const char*>(data);
  const std::size_t length = strnlen(path, size);
  if (length >= kMaxPath) return LV2_WORKER_SUCCESS;  // loaded, but too long a name to report
  std::memcpy(module_file_, path, length);
  module_file_[length] = '\0';
  report_file_ = true;
  return LV2_WORKER_SUCCESS;
}

Plugin* Self(LV2_Handle handle) { return static_cast<Plugin*>(handle); }

// The module a new instance starts with: IN wired to OUT, an effect that
// passes its input until the host or the user chooses a module.
void MakeDefaultModule(PatchEngine& engine) {
  const int in = engine.CreateComponent(kInType);
  const int out = engine.CreateComponent(kOutType);
  engine.MoveComponent(in, 20, 40);
  engine.MoveComponent(out, 220, 40);
  engine.Connect(in, 0, out, 0);
}

LV2_Handle Instantiate(const LV2_Descriptor*, double rate, const char*, const LV2_Feature* const* features) {
  const LV2_Feature* map_feature = FindFeature(features, LV2_URID__map);
  const LV2_Feature* log_feature = FindFeature(features, LV2_LOG__log);
  const LV2_Feature* worker_feature = FindFeature(features, LV2_WORKER__schedule);
  auto* map = map_feature != nullptr ? static_cast<LV2_URID_Map*>(map_feature->data) : nullptr;

  LV2_Log_Logger logger = {};
  if (log_feature != nullptr) logger.log = static_cast<LV2_Log_Log*>(log_feature->data);
  lv2_log_logger_set_map(&logger, map);
  if (map == nullptr && logger.log != nullptr) lv2_log_note(&logger, text::kNoUridMap);
  try {
    std::unique_ptr<PluginModule> module(new (std::nothrow) PluginModule());
    if (!module) {
      lv2_log_error(&logger, text::kNoMemory);
      return nullptr;
    }
    module->Init(nullptr);
    if (!module->SetSampleRate(rate)) {
      lv2_log_error(&logger, text::kBadRate, rate, kMinSampleRate, kMaxSampleRate);
      return nullptr;
    }
    MakeDefaultModule(module->engine());
    auto* schedule = worker_feature != nullptr ? static_cast<LV2_Worker_Schedule*>(worker_feature->data) : nullptr;
    // Said only to a host that logs: command-line hosts without a worker
    // need no reminder on every run.
    if (schedule == nullptr && map != nullptr && logger.log != nullptr) lv2_log_note(&logger, text::kNoWorker);
    return new Plugin(std::move(module), map, logger, schedule);
  } catch (const std::bad_alloc&) {
    lv2_log_error(&logger, text::kNoMemory);
    return nullptr;
  }
}

void ConnectPort(LV2_Handle handle, std::uint32_t port, void* data) { Self(handle)->Connect(port, data); }
void RunPlugin(LV2_Handle handle, std::uint32_t frames) { Self(handle)->Run(frames); }
void Cleanup(LV2_Handle handle) { delete Self(handle); }

LV2_State_Status SaveState(LV2_Handle handle, LV2_State_Store_Function store, LV2_State_Handle state, std::uint32_t,
                           const LV2_Feature* const* features) {
  try {
    return Self(handle)->Save(store, state, features);
  } catch (const std::bad_alloc&) {
    return LV2_STATE_ERR_UNKNOWN;
  }
}

LV2_State_Status RestoreState(LV2_Handle handle, LV2_State_Retrieve_Function retrieve, LV2_State_Handle state,
                              std::uint32_t, const LV2_Feature* const* features) {
  try {
    return Self(handle)->Restore(retrieve, state, features);
  } catch (const std::bad_alloc&) {
    return LV2_STATE_ERR_UNKNOWN;
  }
}

LV2_Worker_Status DoWork(LV2_Handle handle, LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle respond_handle,
                         std::uint32_t size, const void* data) {
  try {
    return Self(handle)->Work(respond, respond_handle, size, data);
  } catch (const std::bad_alloc&) {
    return LV2_WORKER_ERR_UNKNOWN;
  }
}

LV2_Worker_Status WorkResponse(LV2_Handle handle, std::uint32_t size, const void* data) {
  return Self(handle)->WorkResponse(size, data);
}

const void* ExtensionData(const char* uri) {
  static const LV2_State_Interface state = {SaveState, RestoreState};
  static const LV2_Worker_Interface worker = {DoWork, WorkResponse, nullptr};
  if (std::strcmp(uri, LV2_STATE__interface) == 0) return &state;
  if (std::strcmp(uri, LV2_WORKER__interface) == 0) return &worker;
  return nullptr;
}

const LV2_Descriptor kDescriptor = {kPluginUri, Instantiate, ConnectPort, nullptr, RunPlugin, nullptr, Cleanup,
                                    ExtensionData};

}  // namespace
}  // namespace korvel::lv2

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(std::uint32_t index) {
  return index == 0 ? &korvel::lv2::kDescriptor : nullptr;
}

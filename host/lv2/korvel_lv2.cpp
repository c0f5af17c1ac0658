// The LV2 plug-in: a thin wrapper that hands an LV2 host's ports, MIDI,
// state and files to the same PluginModule every other host drives. The
// module is linked in; nothing of the engine is copied or changed here.
//
// A UI talks to the plug-in only through patch messages: patch:Get of the
// module property is answered with its text on the notify port, and a
// patch:Set of it replaces the module, in pieces when the text is larger
// than a port buffer holds. The text is written and read on the worker; the
// audio thread only copies pieces between ports and worker messages.
//
// Threads: run(), connect_port() and work_response() are [audio thread];
// work() is [worker thread]; instantiate(), restore() and cleanup() run
// while the host is not running the plug-in; save() may run beside run().
//
// What reaches the module at a frame of a run: notes and Control Changes
// (through its notes port), the song's tempo and position (time:Position,
// through its transport queue) and the sidechain; the module splits its
// audio call at each Control Change and position.
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
#include <lv2/time/time.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include "engine/file_io.h"
#include "engine/module_file.h"
#include "engine/module_image.h"
#include "components/routing.h"
#include "engine/patch_engine.h"
#include "engine/sound_paths.h"
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
inline constexpr char kEmptyState[] = "the saved module is empty, not a module";
// A module a UI sent, refused: logged with the prefix, and the status
// property carries the same line without it.
inline constexpr char kLogPrefix[] = "Korvel Modular: ";
inline constexpr char kRefusedModule[] = "couldn't take the module: ";
inline constexpr char kUnchanged[] = "; the module is unchanged";
inline constexpr char kEmptyModule[] = "the module is empty, not a module";
inline constexpr char kModuleWhat[] = "the module";
inline constexpr char kPieceLost[] = "a piece of the module is missing (one starts at byte ";
inline constexpr char kPieceExpected[] = ", the next expected at byte ";
inline constexpr char kPieceOverrun[] = "its pieces hold more bytes than the total they give";
// Refusals the audio thread gives itself: fixed texts, nothing to build.
inline constexpr char kNoWorkerStatus[] =
    "couldn't take the module: the host offers no worker (work:schedule); the module is unchanged";
inline constexpr char kPieceTooLarge[] =
    "couldn't take the module: a piece is larger than 65536 bytes; send it in smaller pieces; "
    "the module is unchanged";
inline constexpr char kPieceNotPassed[] =
    "couldn't take the module: the host could not pass a piece to the worker; the module is unchanged";
}  // namespace text

// Frames handed to the module per audio call; longer runs are split.
constexpr std::uint32_t kChunkFrames = kMaxBlockFrames;
// Note and Control Change events kept per run(); later ones in the same run
// are dropped.
constexpr std::int32_t kMaxNotes = 1024;
// time:Position objects kept per run(); later ones are dropped.
constexpr std::int32_t kMaxPositions = 64;
// What the worker answers the audio thread: a file loaded (its path
// follows) or refused (the file playing is reported again).
constexpr char kLoaded = 'L';
constexpr char kRefused = 'R';
// Worker answers that hand over a text made on the worker (a pointer to
// it follows): the module to send, or the reason a module was refused.
constexpr char kModuleText = 'T';
constexpr char kStatusText = 'S';
// Requests to the worker besides kWorkLoadFile: write the module's text
// for the notify port; a piece of a module sent by a UI (a PieceHeader and
// its bytes follow); free a text the audio thread is done with (its
// pointer follows).
constexpr char kWriteModule = 'G';
constexpr char kPiece = 'P';
constexpr char kFreeText = 'D';
// Room an event of one piece needs beside its text: the event, object,
// property, offset and total atoms, and padding.
constexpr std::uint32_t kPieceOverhead = 192;
// Texts the audio thread gave up and has not yet handed to the worker.
constexpr int kMaxRetired = 16;

struct PieceHeader {
  std::uint64_t offset, total;
};
// A piece the audio thread could not pass on (it already said why): the
// worker drops the module being joined, and its later pieces with it.
constexpr PieceHeader kDropPieces = {~std::uint64_t{0}, 0};

// A text for the notify port, made and freed off the audio thread.
struct OutText {
  std::string text;
};
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
        atom_int(Map(map, LV2_ATOM__Int)),
        atom_long(Map(map, LV2_ATOM__Long)),
        atom_float(Map(map, LV2_ATOM__Float)),
        atom_double(Map(map, LV2_ATOM__Double)),
        midi_event(Map(map, LV2_MIDI__MidiEvent)),
        time_position(Map(map, LV2_TIME__Position)),
        time_bar(Map(map, LV2_TIME__bar)),
        time_bar_beat(Map(map, LV2_TIME__barBeat)),
        time_beat_unit(Map(map, LV2_TIME__beatUnit)),
        time_beats_per_bar(Map(map, LV2_TIME__beatsPerBar)),
        time_beats_per_minute(Map(map, LV2_TIME__beatsPerMinute)),
        time_speed(Map(map, LV2_TIME__speed)),
        patch_get(Map(map, LV2_PATCH__Get)),
        patch_set(Map(map, LV2_PATCH__Set)),
        patch_property(Map(map, LV2_PATCH__property)),
        patch_value(Map(map, LV2_PATCH__value)),
        module_image(Map(map, kModuleImageUri)),
        module_file(Map(map, kModuleFileUri)),
        module(Map(map, kModuleUri)),
        status(Map(map, kStatusUri)),
        piece_offset(Map(map, kPieceOffsetUri)),
        piece_total(Map(map, kPieceTotalUri)) {}

  static LV2_URID Map(LV2_URID_Map* map, const char* uri) { return map != nullptr ? map->map(map->handle, uri) : 0; }

  LV2_URID atom_path, atom_string, atom_chunk, atom_urid, atom_object, atom_blank;
  LV2_URID atom_int, atom_long, atom_float, atom_double;
  LV2_URID midi_event;
  LV2_URID time_position, time_bar, time_bar_beat, time_beat_unit, time_beats_per_bar, time_beats_per_minute,
      time_speed;
  LV2_URID patch_get, patch_set, patch_property, patch_value;
  LV2_URID module_image, module_file;
  LV2_URID module, status, piece_offset, piece_total;
};

class Plugin {
 public:
  Plugin(std::unique_ptr<PluginModule> module, LV2_URID_Map* map, const LV2_Log_Logger& logger,
         LV2_Worker_Schedule* schedule)
      : module_(std::move(module)), mapped_(map != nullptr), uris_(map), logger_(logger), schedule_(schedule) {
    if (mapped_) lv2_atom_forge_init(&forge_, map);
  }
  // Not on the audio thread: the texts still held are freed here.
  ~Plugin() {
    delete sending_;
    delete status_;
    for (OutText* text : retired_) delete text;
  }
  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;

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
  void ReadMessage(const LV2_Atom_Object* object, std::int64_t frame, std::uint32_t frames);
  void ReadPosition(const LV2_Atom_Object* object, std::uint32_t frame);
  double NumberOf(const LV2_Atom* atom) const;
  void AddMidi(const LV2_Atom_Event* event, std::uint32_t frames);
  void WriteFileReport();
  void LogSoundProblems();
  // [audio thread]
  void ReadModulePiece(const LV2_Atom_Object* object, const LV2_Atom* value);
  void Schedule(char kind);
  void Retire(OutText* text);
  void FreeRetired();
  std::uint32_t Room() const { return forge_.size - forge_.offset; }
  bool WriteStatus(const char* text, std::size_t size);
  void WriteModulePieces();
  // [worker thread]
  void TakePiece(const PieceHeader& header, const char* bytes, std::size_t size, LV2_Worker_Respond_Function respond,
                 LV2_Worker_Respond_Handle handle);
  void TakeModule(LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle);
  static void Hand(char kind, OutText* text, LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle);
  void HandModuleText(LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle);
  void RefuseModule(const std::string& reason, LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle);
  void ProcessChunk(std::uint32_t start, std::uint32_t frames, std::int32_t& next_note, std::int32_t& next_position);

  std::unique_ptr<PluginModule> module_;
  bool mapped_;  // the host offered urid:map: events and state work
  Uris uris_;
  LV2_Log_Logger logger_;
  LV2_Worker_Schedule* schedule_;
  LV2_Atom_Forge forge_ = {};

  // Ports, as the host connected them; any may be null.
  const float* input_[2] = {};
  float* output_[2] = {};
  const float* sidechain_[2] = {};
  float* latency_ = nullptr;
  const float* parameter_[kParameterPortCount] = {};
  const LV2_Atom_Sequence* control_ = nullptr;
  LV2_Atom_Sequence* notify_ = nullptr;

  // [audio thread] The values last handed to the module.
  float sent_[kParameterPortCount] = {};
  // Set when a new image replaced the module's parameter values: the ports
  // are handed over again, since the host's controls own the values.
  std::atomic<bool> resend_parameters_{true};

  // [audio thread] This run's notes and Control Changes, and its song
  // positions, frames relative to the run.
  NoteEvent notes_[kMaxNotes] = {};
  std::int32_t note_count_ = 0;
  TransportRecord positions_[kMaxPositions] = {};
  std::int32_t position_count_ = 0;
  float interleaved_[2 * kChunkFrames] = {};
  float sidechain_interleaved_[2 * kChunkFrames] = {};
  // [audio thread] What the host's positions are counted in: the beat unit
  // (4: quarter notes) and beats per bar in that unit, as last given.
  double beat_unit_ = 4.0;
  double host_beats_per_bar_ = NAN;

  // The module file whose module plays ("" for none: the default module, a
  // preset or a state without one), reported on the notify port. Written
  // by the audio thread, and by restore() while the plug-in does not run.
  char module_file_[kMaxPath] = {};
  std::atomic<bool> report_file_{false};
  // The same name for save(), which may run beside run(): kept by the
  // threads that change the module (worker, restore), under its own lock.
  std::mutex file_mutex_;
  std::string saved_file_;

  // [audio thread] The module text being sent in pieces (null: none) and
  // how much of it has gone; the reason the last module was refused, made
  // on the worker or one of the audio thread's own fixed texts; texts
  // replaced, waiting to go back to the worker to be freed. restore()
  // also sets the module text, while the plug-in does not run.
  OutText* sending_ = nullptr;
  std::size_t sent_bytes_ = 0;
  OutText* status_ = nullptr;
  const char* fixed_status_ = nullptr;
  OutText* retired_[kMaxRetired] = {};
  // [audio thread] A piece of a module on its way to the worker: a kind
  // byte, its header and its bytes, built here without allocating.
  char piece_message_[1 + sizeof(PieceHeader) + kMaxPieceIn] = {};
  // [worker thread] The module a UI is sending, joined piece by piece;
  // `joining_` is false between modules and after a refused piece, whose
  // followers are dropped until a new first piece comes.
  std::string incoming_;
  std::uint64_t incoming_total_ = 0;
  bool joining_ = false;
};

void Plugin::Connect(std::uint32_t port, void* data) {
  if (port == kInputLeft || port == kInputRight) {
    input_[port - kInputLeft] = static_cast<const float*>(data);
  } else if (port == kOutputLeft || port == kOutputRight) {
    output_[port - kOutputLeft] = static_cast<float*>(data);
  } else if (port >= kFirstParameter && port < kFirstParameter + kParameterPortCount) {
    parameter_[port - kFirstParameter] = static_cast<const float*>(data);
  } else if (port == kMidiIn) {
    control_ = static_cast<const LV2_Atom_Sequence*>(data);
  } else if (port == kNotify) {
    notify_ = static_cast<LV2_Atom_Sequence*>(data);
  } else if (port == kSidechainLeft || port == kSidechainRight) {
    sidechain_[port - kSidechainLeft] = static_cast<const float*>(data);
  } else if (port == kLatency) {
    latency_ = static_cast<float*>(data);
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

// Notes and Control Changes of any channel; other MIDI is ignored.
void Plugin::AddMidi(const LV2_Atom_Event* event, std::uint32_t frames) {
  if (event->body.size < 3 || note_count_ >= kMaxNotes) return;
  const auto* midi = reinterpret_cast<const std::uint8_t*>(event + 1);
  const std::uint8_t kind = midi[0] & 0xF0;
  if (kind != kNoteOn && kind != kNoteOff && kind != kControlChange) return;
  NoteEvent& note = notes_[note_count_++];
  const std::int64_t frame = std::clamp<std::int64_t>(event->time.frames, 0, frames - 1);
  note.frame = static_cast<std::uint32_t>(frame);
  note.note = midi[1] & 0x7F;
  note.velocity = midi[2] & 0x7F;
  note.status = kind == kControlChange                  ? kControlChange
                : (kind == kNoteOn && note.velocity > 0) ? kNoteOn
                                                         : kNoteOff;
  note.reserved = 0;
}

// An atom's number, whichever numeric type the host chose; NaN otherwise.
double Plugin::NumberOf(const LV2_Atom* atom) const {
  if (atom == nullptr) return NAN;
  if (atom->type == uris_.atom_float) return reinterpret_cast<const LV2_Atom_Float*>(atom)->body;
  if (atom->type == uris_.atom_double) return reinterpret_cast<const LV2_Atom_Double*>(atom)->body;
  if (atom->type == uris_.atom_int) return reinterpret_cast<const LV2_Atom_Int*>(atom)->body;
  if (atom->type == uris_.atom_long) return static_cast<double>(reinterpret_cast<const LV2_Atom_Long*>(atom)->body);
  return NAN;
}

// A time:Position, in the host's beat unit, as quarter notes for the
// module. What the host leaves out stays NaN, which the module keeps as it
// was; the module also ignores a tempo of 0, below 0 or NaN.
void Plugin::ReadPosition(const LV2_Atom_Object* object, std::uint32_t frame) {
  if (position_count_ >= kMaxPositions) return;
  const LV2_Atom *bar = nullptr, *bar_beat = nullptr, *unit = nullptr, *per_bar = nullptr, *per_minute = nullptr,
                 *speed = nullptr;
  lv2_atom_object_get(object, uris_.time_bar, &bar, uris_.time_bar_beat, &bar_beat, uris_.time_beat_unit, &unit,
                      uris_.time_beats_per_bar, &per_bar, uris_.time_beats_per_minute, &per_minute, uris_.time_speed,
                      &speed, 0);
  if (const double u = NumberOf(unit); std::isfinite(u) && u > 0.0) beat_unit_ = u;
  if (const double b = NumberOf(per_bar); std::isfinite(b) && b > 0.0) host_beats_per_bar_ = b;
  const double quarters = 4.0 / beat_unit_;
  TransportRecord& record = positions_[position_count_++];
  record = {};
  record.frame = frame;
  record.beats_per_minute = NumberOf(per_minute) * quarters;
  record.beats_per_bar = NumberOf(per_bar) * quarters;
  record.ticks_per_beat = kTicksPerBeat;
  record.beat = (NumberOf(bar) * host_beats_per_bar_ + NumberOf(bar_beat)) * quarters;
  record.speed = NumberOf(speed);
}

void Plugin::ReadMessage(const LV2_Atom_Object* object, std::int64_t frame, std::uint32_t frames) {
  if (object->body.otype == uris_.time_position) {
    ReadPosition(object, static_cast<std::uint32_t>(std::clamp<std::int64_t>(frame, 0, frames - 1)));
    return;
  }
  const LV2_Atom* property = nullptr;
  const LV2_Atom* value = nullptr;
  lv2_atom_object_get(object, uris_.patch_property, &property, uris_.patch_value, &value, 0);
  const LV2_URID key = property != nullptr && property->type == uris_.atom_urid
                           ? reinterpret_cast<const LV2_Atom_URID*>(property)->body
                           : 0;
  const bool ours = key == uris_.module_file;
  if (object->body.otype == uris_.patch_get) {
    // A Get of everything answers with both.
    if (property == nullptr || ours) report_file_.store(true, std::memory_order_relaxed);
    if (property == nullptr || key == uris_.module) Schedule(kWriteModule);
  } else if (object->body.otype == uris_.patch_set && key == uris_.module && property != nullptr) {
    ReadModulePiece(object, value);
  } else if (object->body.otype == uris_.patch_set && ours && value != nullptr && value->type == uris_.atom_path) {
    // The file is read and checked on the worker thread; the module changes
    // there, under the engine's own rules for edits beside the audio.
    // The request is the kind byte and the path, built in the piece buffer
    // (a path longer than it could never be reported back anyway).
    if (schedule_ != nullptr && value->size < sizeof piece_message_) {
      piece_message_[0] = kWorkLoadFile;
      std::memcpy(piece_message_ + 1, LV2_ATOM_BODY_CONST(value), value->size);
      schedule_->schedule_work(schedule_->handle, value->size + 1, piece_message_);
    }
  }
}

// [audio thread] A request that carries nothing but its kind.
void Plugin::Schedule(char kind) {
  if (schedule_ != nullptr) schedule_->schedule_work(schedule_->handle, 1, &kind);
}

// A patch:Set of the module: the whole text, or a piece of it with its
// offset and the total. Each piece goes to the worker as it comes, which
// joins them; what cannot go is refused here with a fixed reason.
void Plugin::ReadModulePiece(const LV2_Atom_Object* object, const LV2_Atom* value) {
  if (value == nullptr || value->type != uris_.atom_string) return;
  if (schedule_ == nullptr) {
    fixed_status_ = text::kNoWorkerStatus;
    return;
  }
  const auto* bytes = static_cast<const char*>(LV2_ATOM_BODY_CONST(value));
  // A string's body ends in its NUL.
  const std::size_t size = value->size > 0 && bytes[value->size - 1] == '\0' ? value->size - 1 : value->size;
  const LV2_Atom* offset = nullptr;
  const LV2_Atom* total = nullptr;
  lv2_atom_object_get(object, uris_.piece_offset, &offset, uris_.piece_total, &total, 0);
  PieceHeader header = {0, size};
  if (offset != nullptr || total != nullptr) {
    const double at = NumberOf(offset), whole = NumberOf(total);
    // Anything not a count is taken as a piece that does not join.
    header.offset = std::isfinite(at) && at >= 0 && at < 1e15 ? static_cast<std::uint64_t>(at) : kDropPieces.offset - 1;
    header.total = std::isfinite(whole) && whole >= 0 && whole < 1e15 ? static_cast<std::uint64_t>(whole) : 0;
  }
  if (size > kMaxPieceIn) {
    fixed_status_ = text::kPieceTooLarge;
    header = kDropPieces;
  }
  piece_message_[0] = kPiece;
  std::memcpy(piece_message_ + 1, &header, sizeof header);
  const std::size_t copied = size > kMaxPieceIn ? 0 : size;
  std::memcpy(piece_message_ + 1 + sizeof header, bytes, copied);
  const auto message_size = static_cast<std::uint32_t>(1 + sizeof header + copied);
  if (schedule_->schedule_work(schedule_->handle, message_size, piece_message_) != LV2_WORKER_SUCCESS) {
    fixed_status_ = text::kPieceNotPassed;
    // The worker must not join the next piece to the ones before this.
    header = kDropPieces;
    std::memcpy(piece_message_ + 1, &header, sizeof header);
    schedule_->schedule_work(schedule_->handle, 1 + sizeof header, piece_message_);
  }
}

// [audio thread] A text the audio thread no longer needs goes back to the
// worker to be freed; kept until the worker can take it.
void Plugin::Retire(OutText* text) {
  if (text == nullptr) return;
  for (OutText*& slot : retired_) {
    if (slot == nullptr) {
      slot = text;
      return;
    }
  }
  // Every slot taken (the worker has been stuck for many answers): the
  // text is left unfreed rather than freed here.
}

void Plugin::FreeRetired() {
  if (schedule_ == nullptr) return;
  for (OutText*& slot : retired_) {
    if (slot == nullptr) continue;
    char message[1 + sizeof(OutText*)];
    message[0] = kFreeText;
    std::memcpy(message + 1, &slot, sizeof slot);
    if (schedule_->schedule_work(schedule_->handle, sizeof message, message) == LV2_WORKER_SUCCESS) slot = nullptr;
  }
}

// [audio thread] A patch:Set of the status property; false when the port
// has no room for it this run.
bool Plugin::WriteStatus(const char* status, std::size_t size) {
  if (Room() < size + kPieceOverhead) return false;
  LV2_Atom_Forge_Frame frame;
  lv2_atom_forge_frame_time(&forge_, 0);
  lv2_atom_forge_object(&forge_, &frame, 0, uris_.patch_set);
  lv2_atom_forge_key(&forge_, uris_.patch_property);
  lv2_atom_forge_urid(&forge_, uris_.status);
  lv2_atom_forge_key(&forge_, uris_.patch_value);
  lv2_atom_forge_string(&forge_, status, static_cast<std::uint32_t>(size));
  lv2_atom_forge_pop(&forge_, &frame);
  return true;
}

// [audio thread] As many pieces of the module text as the port has room
// for, at most kPieceBytes each, cut between UTF-8 characters so each
// piece is text too; the rest goes in the runs that follow.
void Plugin::WriteModulePieces() {
  if (sending_ == nullptr) return;
  const std::string& whole = sending_->text;
  while (sent_bytes_ < whole.size() || (whole.empty() && sent_bytes_ == 0)) {
    if (Room() < kPieceOverhead + 8) return;
    std::size_t size = std::min<std::size_t>({whole.size() - sent_bytes_, kPieceBytes, Room() - kPieceOverhead});
    const std::size_t end = sent_bytes_ + size;
    if (end < whole.size()) {
      std::size_t cut = end;
      while (cut > sent_bytes_ && (static_cast<unsigned char>(whole[cut]) & 0xC0) == 0x80) --cut;
      if (cut == sent_bytes_) return;  // no whole character fits this run
      size = cut - sent_bytes_;
    }
    LV2_Atom_Forge_Frame frame;
    lv2_atom_forge_frame_time(&forge_, 0);
    lv2_atom_forge_object(&forge_, &frame, 0, uris_.patch_set);
    lv2_atom_forge_key(&forge_, uris_.patch_property);
    lv2_atom_forge_urid(&forge_, uris_.module);
    lv2_atom_forge_key(&forge_, uris_.patch_value);
    lv2_atom_forge_string(&forge_, whole.data() + sent_bytes_, static_cast<std::uint32_t>(size));
    lv2_atom_forge_key(&forge_, uris_.piece_offset);
    lv2_atom_forge_long(&forge_, static_cast<std::int64_t>(sent_bytes_));
    lv2_atom_forge_key(&forge_, uris_.piece_total);
    lv2_atom_forge_long(&forge_, static_cast<std::int64_t>(whole.size()));
    lv2_atom_forge_pop(&forge_, &frame);
    sent_bytes_ += size;
    if (whole.empty()) break;
  }
  Retire(sending_);
  sending_ = nullptr;
  sent_bytes_ = 0;
}

void Plugin::ReadControl(std::uint32_t frames) {
  note_count_ = 0;
  position_count_ = 0;
  if (control_ == nullptr || !mapped_) return;
  LV2_ATOM_SEQUENCE_FOREACH(control_, event) {
    if (event->body.type == uris_.midi_event) {
      AddMidi(event, frames);
    } else if (event->body.type == uris_.atom_object || event->body.type == uris_.atom_blank) {
      ReadMessage(reinterpret_cast<const LV2_Atom_Object*>(&event->body), event->time.frames, frames);
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

// One audio call of the module: its notes, positions and sidechain first,
// then the block, all on the scale and in the layout the module's host
// interface defines. Events arrive in frame order (an atom sequence's rule).
void Plugin::ProcessChunk(std::uint32_t start, std::uint32_t frames, std::int32_t& next_note,
                          std::int32_t& next_position) {
  const std::int32_t first = next_note;
  while (next_note < note_count_ && notes_[next_note].frame < start + frames) notes_[next_note++].frame -= start;
  NotesRecord notes = {next_note - first, notes_ + first};
  module_->NotesCallback(&notes);
  for (; next_position < position_count_ && positions_[next_position].frame < start + frames; ++next_position) {
    TransportRecord record = positions_[next_position];
    record.frame -= start;
    module_->QueueTransport(record);
  }

  for (int c = 0; c < 2; ++c) {
    const float* in = input_[c] != nullptr ? input_[c] + start : nullptr;
    for (std::uint32_t i = 0; i < frames; ++i) interleaved_[2 * i + c] = in != nullptr ? in[i] * kEngineScale : 0.0f;
  }
  // An unconnected sidechain is silence: out3 and out4 are then constants.
  if (sidechain_[0] != nullptr || sidechain_[1] != nullptr) {
    for (int c = 0; c < 2; ++c) {
      const float* in = sidechain_[c] != nullptr ? sidechain_[c] + start : nullptr;
      for (std::uint32_t i = 0; i < frames; ++i)
        sidechain_interleaved_[2 * i + c] = in != nullptr ? in[i] * kEngineScale : 0.0f;
    }
    module_->SetSidechain(sidechain_interleaved_, frames);
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
  if (report_file_.exchange(false, std::memory_order_relaxed) && notifying) WriteFileReport();
  if (notifying) {
    // The reason before the module: a UI that sent a refused module reads
    // why before it reads the module that stays.
    if (fixed_status_ != nullptr && WriteStatus(fixed_status_, std::strlen(fixed_status_))) fixed_status_ = nullptr;
    if (status_ != nullptr && WriteStatus(status_->text.data(), status_->text.size())) {
      Retire(status_);
      status_ = nullptr;
    }
    WriteModulePieces();
  }
  FreeRetired();

  std::int32_t next_note = 0, next_position = 0;
  for (std::uint32_t done = 0; done < frames;) {
    const std::uint32_t piece = std::min(frames - done, kChunkFrames);
    ProcessChunk(done, piece, next_note, next_position);
    done += piece;
  }
  if (notifying) lv2_atom_forge_pop(&forge_, &sequence);
  // The plan's latency, as the module now stands (a module load changes it).
  if (latency_ != nullptr) *latency_ = static_cast<float>(module_->LatencyFrames());
}

// A host's features; entries without a URI (some hosts pass them) are
// skipped.
const LV2_Feature* FindFeature(const LV2_Feature* const* features, const char* uri) {
  for (; features != nullptr && *features != nullptr; ++features)
    if ((*features)->URI != nullptr && std::strcmp((*features)->URI, uri) == 0) return *features;
  return nullptr;
}

template <class Data>
Data* FeatureData(const LV2_Feature* const* features, const char* uri) {
  const LV2_Feature* feature = FindFeature(features, uri);
  return feature != nullptr ? static_cast<Data*>(feature->data) : nullptr;
}

// A path the host's state:mapPath returned, released as the host asks.
void FreePath(const LV2_Feature* const* features, char* path) {
  if (auto* free_path = FeatureData<LV2_State_Free_Path>(features, LV2_STATE__freePath)) {
    free_path->free_path(free_path->handle, path);
  } else {
    std::free(path);
  }
}

// Sound paths through the host's state:mapPath, when it offers one: the host
// stores them its own way (relative to the session, or as links and
// copies), so a session moved to another folder or machine keeps its
// sounds. Without it, paths stay absolute.
ImagePaths HostPaths(const LV2_Feature* const* features) {
  ImagePaths paths;
  const auto* map = FeatureData<LV2_State_Map_Path>(features, LV2_STATE__mapPath);
  if (map == nullptr) return paths;
  const auto take = [features](char* mapped) {
    std::string text = mapped != nullptr ? mapped : "";
    if (mapped != nullptr) FreePath(features, mapped);
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

// The state is the module image, the same JSON as a ".korvel" file, and the
// module file it came from, if any, so a reopened project still names it.
// Sound paths in the image are mapped by the host like the module file's.
LV2_State_Status Plugin::Save(LV2_State_Store_Function store, LV2_State_Handle handle,
                              const LV2_Feature* const* features) {
  if (!mapped_) return LV2_STATE_ERR_NO_FEATURE;
  const std::string image = WriteModuleImage(module_->engine(), HostPaths(features));
  const LV2_State_Status status = store(handle, uris_.module_image, image.c_str(), image.size() + 1,
                                        uris_.atom_string, LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE);
  std::string file;
  {
    std::lock_guard lock(file_mutex_);
    file = saved_file_;
  }
  if (status != LV2_STATE_SUCCESS || file.empty()) return status;
  auto* map_path = FeatureData<LV2_State_Map_Path>(features, LV2_STATE__mapPath);
  char* abstract = map_path != nullptr ? map_path->abstract_path(map_path->handle, file.c_str()) : nullptr;
  const std::string stored = abstract != nullptr ? abstract : file;
  if (abstract != nullptr) FreePath(features, abstract);
  return store(handle, uris_.module_file, stored.c_str(), stored.size() + 1, uris_.atom_path,
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
  if (length == 0) error = text::kEmptyState;
  if (!error.empty() || !ReadModuleImage(module_->engine(), data, length, error, HostPaths(features))) {
    lv2_log_error(&logger_, text::kRefusedState, error.c_str());
    return LV2_STATE_ERR_UNKNOWN;
  }
  LogSoundProblems();
  // The file the module came from, when the state names one.
  std::string file;
  const void* path = retrieve(handle, uris_.module_file, &size, &type, &flags);
  if (path != nullptr && type == uris_.atom_path) {
    file.assign(static_cast<const char*>(path), strnlen(static_cast<const char*>(path), size));
    auto* map_path = FeatureData<LV2_State_Map_Path>(features, LV2_STATE__mapPath);
    if (char* absolute = map_path != nullptr ? map_path->absolute_path(map_path->handle, file.c_str()) : nullptr) {
      file = absolute;
      FreePath(features, absolute);
    }
  }
  if (file.size() >= kMaxPath) file.clear();
  std::memcpy(module_file_, file.c_str(), file.size() + 1);
  {
    std::lock_guard lock(file_mutex_);
    saved_file_ = file;
  }
  report_file_.store(true, std::memory_order_relaxed);
  resend_parameters_.store(true, std::memory_order_release);
  // An open UI catches up with the restored module (a preset, a project).
  // The plug-in does not run meanwhile, so the slot is set here.
  auto text = std::make_unique<OutText>();
  text->text = WriteModuleImage(module_->engine());
  delete sending_;
  sending_ = text.release();
  sent_bytes_ = 0;
  return LV2_STATE_SUCCESS;
}

void Plugin::LogSoundProblems() {
  for (const std::string& line : module_->SoundProblems()) lv2_log_warning(&logger_, text::kSoundProblem, line.c_str());
}

// A refused file changes nothing; the audio thread is asked to report the
// file that plays, so a host that showed the refused name shows the truth.
LV2_Worker_Status Plugin::Work(LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle,
                               std::uint32_t size, const void* data) {
  const auto* message = static_cast<const char*>(data);
  if (size < 1) return LV2_WORKER_ERR_UNKNOWN;
  switch (message[0]) {
    case kWriteModule:
      HandModuleText(respond, handle);
      return LV2_WORKER_SUCCESS;
    case kFreeText:
      if (size == 1 + sizeof(OutText*)) {
        OutText* text = nullptr;
        std::memcpy(&text, message + 1, sizeof text);
        delete text;
      }
      return LV2_WORKER_SUCCESS;
    case kPiece:
      if (size >= 1 + sizeof(PieceHeader)) {
        PieceHeader header;
        std::memcpy(&header, message + 1, sizeof header);
        TakePiece(header, message + 1 + sizeof header, size - 1 - sizeof header, respond, handle);
      }
      return LV2_WORKER_SUCCESS;
    case kWorkLoadFile:
      break;
    default:
      return LV2_WORKER_ERR_UNKNOWN;
  }
  const std::string path(message + 1, strnlen(message + 1, size - 1));
  // Through the one reader: a directory, a device or a FIFO is refused by
  // what it is, before anything is read, so the worker never waits on one;
  // an empty file would load nothing and is refused too.
  ReadLimits limits = kModuleFileLimits;
  limits.empty = false;
  // Sounds named relative to the module file are found beside it.
  ImagePaths paths;
  paths.folder = FolderOf(path);
  std::string bytes, error;
  if (!ReadInputFile(path, limits, bytes, error) ||
      !ReadModuleImage(module_->engine(), bytes.data(), bytes.size(), error, paths)) {
    lv2_log_error(&logger_, text::kRefusedFile, path.c_str(), error.c_str());
    respond(handle, 1, &kRefused);
    return LV2_WORKER_SUCCESS;
  }
  module_->engine().SetModuleFolder(paths.folder);
  LogSoundProblems();
  resend_parameters_.store(true, std::memory_order_release);
  {
    std::lock_guard lock(file_mutex_);
    saved_file_ = path.size() < kMaxPath ? path : std::string();
  }
  const std::string answer = kLoaded + path;
  respond(handle, static_cast<std::uint32_t>(answer.size() + 1), answer.c_str());
  HandModuleText(respond, handle);  // an open UI follows the new module
  return LV2_WORKER_SUCCESS;
}

// [worker thread] A text handed to the audio thread by its pointer; when
// the host cannot pass the answer, it is freed here.
void Plugin::Hand(char kind, OutText* text, LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle) {
  char answer[1 + sizeof(OutText*)];
  answer[0] = kind;
  std::memcpy(answer + 1, &text, sizeof text);
  if (respond(handle, sizeof answer, answer) != LV2_WORKER_SUCCESS) delete text;
}

// [worker thread] The module's text as it now plays, for the notify port.
// Sound paths stay absolute: a UI runs on the same machine.
void Plugin::HandModuleText(LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle) {
  auto text = std::make_unique<OutText>();
  text->text = WriteModuleImage(module_->engine());
  Hand(kModuleText, text.release(), respond, handle);
}

void Plugin::RefuseModule(const std::string& reason, LV2_Worker_Respond_Function respond,
                          LV2_Worker_Respond_Handle handle) {
  joining_ = false;
  incoming_.clear();
  incoming_.shrink_to_fit();
  auto status = std::make_unique<OutText>();
  status->text = std::string(text::kRefusedModule) + reason + text::kUnchanged;
  lv2_log_error(&logger_, "%s%s\n", text::kLogPrefix, status->text.c_str());
  Hand(kStatusText, status.release(), respond, handle);
}

// [worker thread] Joins a UI's pieces in order: a piece at offset 0 starts
// a module (dropping one half joined), each next one must start where the
// text so far ends, and the module is taken when the total is reached.
void Plugin::TakePiece(const PieceHeader& header, const char* bytes, std::size_t size,
                       LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle) {
  if (header.offset == kDropPieces.offset) {
    joining_ = false;
    incoming_.clear();
    return;
  }
  if (header.offset == 0) {
    if (header.total > kMaxModuleImageSize) {
      RefuseModule(TooLargeReason(text::kModuleWhat, header.total), respond, handle);
      return;
    }
    incoming_.clear();
    incoming_.reserve(header.total);
    incoming_total_ = header.total;
    joining_ = true;
  } else if (!joining_) {
    return;  // the rest of a module already refused
  } else if (header.offset != incoming_.size()) {
    RefuseModule(text::kPieceLost + std::to_string(header.offset) + text::kPieceExpected +
                     std::to_string(incoming_.size()) + ")",
                 respond, handle);
    return;
  }
  if (size > incoming_total_ - incoming_.size()) {
    RefuseModule(text::kPieceOverrun, respond, handle);
    return;
  }
  incoming_.append(bytes, size);
  if (incoming_.size() == incoming_total_) TakeModule(respond, handle);
}

// [worker thread] The joined module becomes the one that plays with the
// fewest changes (an edit in a UI): components it keeps as they were keep
// sounding, and the delay lines and the host's parameter values stay. It
// is no file's, so the file reported becomes none.
void Plugin::TakeModule(LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle) {
  std::string error;
  if (incoming_.empty()) error = text::kEmptyModule;
  if (!error.empty() || !RestoreModuleImage(module_->engine(), incoming_, error)) {
    RefuseModule(error, respond, handle);
    return;
  }
  joining_ = false;
  incoming_.clear();
  incoming_.shrink_to_fit();
  module_->engine().SetModuleFolder(std::string());
  LogSoundProblems();
  resend_parameters_.store(true, std::memory_order_release);
  {
    std::lock_guard lock(file_mutex_);
    saved_file_.clear();
  }
  respond(handle, 1, &kLoaded);
  HandModuleText(respond, handle);
}

LV2_Worker_Status Plugin::WorkResponse(std::uint32_t size, const void* data) {
  const char* answer = static_cast<const char*>(data);
  if (size == 1 + sizeof(OutText*) && (answer[0] == kModuleText || answer[0] == kStatusText)) {
    OutText* text = nullptr;
    std::memcpy(&text, answer + 1, sizeof text);
    // The newest module replaces one half sent: a UI joining pieces starts
    // again at the new offset 0.
    OutText*& slot = answer[0] == kModuleText ? sending_ : status_;
    Retire(slot);
    slot = text;
    if (answer[0] == kModuleText) sent_bytes_ = 0;
    return LV2_WORKER_SUCCESS;
  }
  if (size >= 1 && answer[0] == kLoaded) {
    const std::size_t length = strnlen(answer + 1, size - 1);
    // A name too long to report is reported as none, never cut.
    const std::size_t kept = length < kMaxPath ? length : 0;
    std::memcpy(module_file_, answer + 1, kept);
    module_file_[kept] = '\0';
  }
  report_file_.store(true, std::memory_order_relaxed);
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
  auto* map = FeatureData<LV2_URID_Map>(features, LV2_URID__map);
  LV2_Log_Logger logger = {};
  logger.log = FeatureData<LV2_Log_Log>(features, LV2_LOG__log);
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
    auto* schedule = FeatureData<LV2_Worker_Schedule>(features, LV2_WORKER__schedule);
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

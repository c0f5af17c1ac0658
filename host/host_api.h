// The binary interface between a host and the plug-in: the module's table of
// operations, the host objects the module calls, the records it reads and
// the exported functions. Shared by the plug-in and the plug-in host, so
// both sides agree on every slot and offset.
#pragma once

#include <cstddef>
#include <cstdint>

// Member operations on 32-bit Windows are thiscall (the module in ECX);
// callbacks handed to the host as plain function pointers must match.
#if defined(_WIN32) && defined(__i386__)
#define KORVEL_THISCALL __attribute__((thiscall))
#else
#define KORVEL_THISCALL
#endif

#if defined(_WIN32)
#define KORVEL_EXPORT extern "C" __declspec(dllexport)
#else
#define KORVEL_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace korvel {

class HostInterface;
class HostStream;
class PortDeclarer;

// Text buffers the host lends are at least this long; longer display texts
// are cut to fit.
inline constexpr std::size_t kHostTextSize = 64;

// Bytes 0..7 are the host's and are never touched.
struct ParameterValueRecord {
  std::uint8_t host_reserved[8];
  double value;
  std::int32_t integer;
};

// The host's first buffer holds n frames of interleaved stereo 32-bit floats
// on the 16-bit scale.
struct AudioBlockRecord {
  void** buffers;
  std::uint32_t count;
};

// The "notes" port's record: the MIDI events of the block the host calls the
// audio port with next. The record and its events are the host's, valid only
// during the NotesCallback call; the module copies what it needs.
enum NoteStatus : std::uint8_t { kNoteOff = 0x80, kNoteOn = 0x90, kControlChange = 0xB0 };

// A MIDI channel message as its bytes, any channel: a note, or a Control
// Change (status kControlChange: `note` is the controller number and
// `velocity` its value). Other statuses are ignored.
struct NoteEvent {
  std::uint32_t frame;     // offset within the next block, 0 .. n - 1
  std::uint8_t status;     // kNoteOn, kNoteOff (a note on of velocity 0 is a note off) or kControlChange
  std::uint8_t note;       // 0..127, 69 = A4 = 440 Hz; the controller for a Control Change
  std::uint8_t velocity;   // 0..127; the controller's value for a Control Change
  std::uint8_t reserved;   // 0
};
static_assert(sizeof(NoteEvent) == 8);

struct NotesRecord {
  std::int32_t count;       // events in `events`, in frame order
  const NoteEvent* events;  // the host's array
};

// Event value records lie 40 bytes apart on the 32-bit build.
struct AutomationEventRecord {
  ParameterValueRecord value;
  std::uint8_t host_reserved[40 - sizeof(ParameterValueRecord)];
};

struct AutomationEventList {
  std::uint8_t host_reserved[24];
  std::int32_t* controllers;
  AutomationEventRecord* events;
  std::uint8_t host_reserved2[4];
  std::int32_t count;
};

struct ModuleInfoRecord {
  const char* name;
  const char* short_name;
  std::int32_t first;   // 16, the host's to interpret
  std::int32_t second;  // 1
};

#if defined(_WIN32) && defined(__i386__)
static_assert(offsetof(AudioBlockRecord, buffers) == 0);
static_assert(offsetof(AudioBlockRecord, count) == 4);
static_assert(offsetof(ParameterValueRecord, value) == 8);
static_assert(offsetof(ParameterValueRecord, integer) == 16);
static_assert(sizeof(AutomationEventRecord) == 40);
static_assert(offsetof(AutomationEventList, controllers) == 24);
static_assert(offsetof(AutomationEventList, events) == 28);
static_assert(offsetof(AutomationEventList, count) == 36);
static_assert(offsetof(ModuleInfoRecord, first) == 8);
#endif

// A port callback: the module it was registered by, and the port's record.
using PortCallback = std::int32_t(KORVEL_THISCALL*)(void* module, void* record);

// The host's module base class: exactly 23 operations, slot k = operation k,
// and no virtual destructor, whose slots would shift the table between
// compilers. Defaults do nothing and answer 0 or false.
class ModuleBase {
 public:
  virtual std::int32_t Operation0() { return 0; }
  virtual void Init(HostInterface*) {}
  virtual void RestoreState(HostStream*) {}
  virtual void SaveState(HostStream*) {}
  virtual std::int32_t GetParameterCount() { return 0; }
  virtual std::int32_t GetParameterName(std::int32_t, char*) { return 0; }
  virtual std::int32_t GetParameterLabel(std::int32_t, char*) { return 0; }
  virtual std::int32_t GetParameterDisplay(std::int32_t, char*) { return 0; }
  virtual std::int32_t GetParameterMinimum(std::int32_t, ParameterValueRecord*) { return 0; }
  virtual std::int32_t GetParameterMaximum(std::int32_t, ParameterValueRecord*) { return 0; }
  virtual std::int32_t GetParameterValue(std::int32_t, ParameterValueRecord*) { return 0; }
  virtual std::int32_t SetParameterValue(std::int32_t, ParameterValueRecord*) { return 0; }
  virtual void Operation12() {}
  virtual void Operation13() {}
  virtual void Operation14(std::int32_t, std::int32_t) {}
  virtual std::int32_t GetMenuItemCount(std::int32_t) { return 0; }
  virtual bool GetMenuItemText(std::int32_t, std::int32_t, char*) { return false; }
  virtual bool OnMenuCommand(std::int32_t, std::int32_t) { return false; }
  virtual void Operation18(std::int32_t, std::int32_t) {}
  virtual void Operation19(std::int32_t) {}
  virtual bool Operation20(std::int32_t) { return false; }
  virtual std::int32_t Operation21(std::int32_t, std::int32_t) { return 0; }
  virtual void Operation22(std::int32_t) {}

 protected:
  ~ModuleBase() = default;  // objects are released through DestroyDaveModule
};

inline constexpr int kModuleOperationCount = 23;

// Slots the plug-in does not call, so that the ones it does call sit at the
// host's slot numbers.
#define KORVEL_UNUSED_HOST_SLOT(n) \
  virtual std::int32_t Unused##n() { return 0; }

class PortDeclarer {
 public:
  KORVEL_UNUSED_HOST_SLOT(0)
  virtual std::int32_t DeclareFirstKind(const char* port, std::int32_t flag) = 0;   // 1
  virtual std::int32_t DeclareSecondKind(const char* port, std::int32_t flag) = 0;  // 2

 protected:
  ~PortDeclarer() = default;
};

class HostInterface {
 public:
  KORVEL_UNUSED_HOST_SLOT(0) KORVEL_UNUSED_HOST_SLOT(1) KORVEL_UNUSED_HOST_SLOT(2)
  KORVEL_UNUSED_HOST_SLOT(3) KORVEL_UNUSED_HOST_SLOT(4) KORVEL_UNUSED_HOST_SLOT(5)
  KORVEL_UNUSED_HOST_SLOT(6) KORVEL_UNUSED_HOST_SLOT(7) KORVEL_UNUSED_HOST_SLOT(8)
  KORVEL_UNUSED_HOST_SLOT(9) KORVEL_UNUSED_HOST_SLOT(10) KORVEL_UNUSED_HOST_SLOT(11)
  KORVEL_UNUSED_HOST_SLOT(12) KORVEL_UNUSED_HOST_SLOT(13) KORVEL_UNUSED_HOST_SLOT(14)
  KORVEL_UNUSED_HOST_SLOT(15) KORVEL_UNUSED_HOST_SLOT(16) KORVEL_UNUSED_HOST_SLOT(17)
  KORVEL_UNUSED_HOST_SLOT(18) KORVEL_UNUSED_HOST_SLOT(19) KORVEL_UNUSED_HOST_SLOT(20)
  KORVEL_UNUSED_HOST_SLOT(21) KORVEL_UNUSED_HOST_SLOT(22) KORVEL_UNUSED_HOST_SLOT(23)
  KORVEL_UNUSED_HOST_SLOT(24) KORVEL_UNUSED_HOST_SLOT(25)
  // 26: registers `callback` for the named port.
  virtual std::int32_t RegisterPort(const char* port, std::int32_t flag, PortCallback callback) = 0;

 protected:
  ~HostInterface() = default;
};

class HostStream {
 public:
  KORVEL_UNUSED_HOST_SLOT(0) KORVEL_UNUSED_HOST_SLOT(1) KORVEL_UNUSED_HOST_SLOT(2)
  virtual std::int32_t Read(void* buffer, std::uint32_t bytes) = 0;  // 3
  KORVEL_UNUSED_HOST_SLOT(4) KORVEL_UNUSED_HOST_SLOT(5) KORVEL_UNUSED_HOST_SLOT(6)
  KORVEL_UNUSED_HOST_SLOT(7) KORVEL_UNUSED_HOST_SLOT(8) KORVEL_UNUSED_HOST_SLOT(9)
  KORVEL_UNUSED_HOST_SLOT(10)
  virtual std::int32_t ReadLength(std::uint32_t* length) = 0;  // 11
  KORVEL_UNUSED_HOST_SLOT(12) KORVEL_UNUSED_HOST_SLOT(13)
  virtual std::int32_t Write(const void* buffer, std::uint32_t bytes) = 0;  // 14
  KORVEL_UNUSED_HOST_SLOT(15) KORVEL_UNUSED_HOST_SLOT(16) KORVEL_UNUSED_HOST_SLOT(17)
  KORVEL_UNUSED_HOST_SLOT(18) KORVEL_UNUSED_HOST_SLOT(19) KORVEL_UNUSED_HOST_SLOT(20)
  KORVEL_UNUSED_HOST_SLOT(21)
  virtual std::int32_t WriteLength(std::uint32_t length) = 0;  // 22

 protected:
  ~HostStream() = default;
};

#undef KORVEL_UNUSED_HOST_SLOT

// The exported functions, as a host resolves them.
using CreateDaveModuleFn = ModuleBase* (*)();
using DestroyDaveModuleFn = void (*)(ModuleBase*);
using DaveModuleInfoFn = const ModuleInfoRecord* (*)(PortDeclarer*);
using DaveModuleNameFn = const char* (*)();
using CreateAdapterHandlerFn = void* (*)();
using HasAdapterHandlerFn = bool (*)();
// Extension for hosts that run at a rate of their own (the command-line host,
// the LV2 wrapper): declares the sample rate; answers false for a rate
// outside kMinSampleRate..kMaxSampleRate, which changes nothing.
using KorvelSetSampleRateFn = bool (*)(ModuleBase*, double);
inline constexpr double kMinSampleRate = 1000.0;
inline constexpr double kMaxSampleRate = 768000.0;
// Copies the module's kept problem line (a refused state chunk) into
// `text` (capacity bytes, NUL-terminated); answers its full length, 0 for
// none.
using KorvelStateProblemFn = std::int32_t (*)(ModuleBase*, char* text, std::int32_t capacity);
// Korvel's own: output values replaced at the audio boundary.
using KorvelNonFiniteCountFn = std::uint64_t (*)(const ModuleBase*);
// Korvel's own: the same per channel (counts[0], counts[1]) and per frame
// (counts[2]: frames where either channel was replaced).
using KorvelNonFiniteCountsFn = void (*)(const ModuleBase*, std::uint64_t* counts);
// Korvel's own: watch every component's output for a value not finite or
// beyond ±limit (engine scale; 0 stops), and ask for the first found.
using KorvelWatchOutputsFn = void (*)(ModuleBase*, double limit);
using KorvelFirstOffenceFn = bool (*)(ModuleBase*, std::int32_t* slot, std::uint64_t* frame, double* value);
// Korvel's own: frames by which the output lags the input.
using KorvelLatencyFramesFn = std::uint32_t (*)(const ModuleBase*);
// Korvel's own: the folder that relative sound-file paths in the next
// restored state are read against (the module file's, for a host that
// hands over a module file as a state chunk); null or "" for none.
using KorvelSetModuleFolderFn = void (*)(ModuleBase*, const char* folder);
// Korvel's own: one line per sound file the module could not load (file and
// reason), joined by line feeds, copied like KorvelStateProblem's; answers
// the full length, 0 for none.
using KorvelSoundProblemsFn = std::int32_t (*)(ModuleBase*, char* text, std::int32_t capacity);

// Korvel's own: the song's tempo and position from a host that plays one,
// for a frame of the next audio call. A beat is a quarter note. A field
// that is NaN is not given and keeps its value; a tempo, beats per bar or
// ticks per beat that is not a finite number above 0, and a position or
// speed that is not finite, are ignored the same way.
struct TransportRecord {
  std::uint32_t frame;      // offset within the next audio call
  std::uint32_t reserved;   // 0
  double beats_per_minute;  // quarter notes per minute
  double beats_per_bar;     // quarter notes per bar (3 for 3/4 and for 6/8)
  double ticks_per_beat;    // the host's resolution
  double beat;              // position in beats from the song's start
  double speed;             // 1 playing, 0 stopped
};
static_assert(offsetof(TransportRecord, beats_per_minute) == 8 && sizeof(TransportRecord) == 48);
// Queues the record for the next audio call; false when the module's queue
// (64 records per call) is full or the record is null.
using KorvelTransportFn = bool (*)(ModuleBase*, const TransportRecord*);
// Korvel's own: the sidechain for the next audio call only, `frames` frames
// of interleaved stereo floats on the audio port's scale, read during that
// call (the host keeps them until it returns). Frames beyond `frames` are
// silence; null, or no call, is no sidechain.
using KorvelSidechainFn = void (*)(ModuleBase*, const float* samples, std::uint32_t frames);

}  // namespace korvel

// The contract every component type shares: its record header, the two
// functions of a type, and the helpers through which process functions read
// their inputs and publish their outputs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvel {

inline constexpr int kMaxPorts = 64;
inline constexpr int kMaxBlockFrames = 4096;
inline constexpr int kMaxBlockValues = 2 * kMaxBlockFrames;
inline constexpr int kTypeCount = 200;
inline constexpr std::uint16_t kNoSlot = 65535;

// Frames each delay line holds: 2^21, over 10 s at 192 kHz (47.5 s at 44.1
// kHz). A power of two, so a position wraps with a mask.
inline constexpr std::uint32_t kDelayLineLength = std::uint32_t{1} << 21;
inline constexpr int kDelayLineCount = 8;  // four stereo lines
inline constexpr int kParameterCount = 26;

struct NoteBlock;
class InstanceTiming;
struct TypeSettings;  // engine/type_settings.h

// Values an engine shares with its components.
struct EngineContext {
  char* name;
  char* author;
  char* description;
  double* left_line[4];   // channel 0 of global delay lines 0..3
  double* right_line[4];  // channel 1
  std::uint32_t delay_position;  // common write position, < kDelayLineLength
  double* parameter_values;      // the module's 26 parameter values
  double* extra_parameter;       // parameter value 25
  // The notes of the block being processed (engine/notes.h); null when no
  // module feeds the engine notes, which the Note components read as none.
  const NoteBlock* notes;
  // The module instance's timing (engine/host_timing.h), read through
  // TimingOf; null for an engine no module object feeds, which reads the
  // process-wide values.
  const InstanceTiming* timing;
  // How many times the host's rate the module runs at (oversampling); 0
  // reads as 1. Written by the audio thread before each block, so TimingOf
  // answers the running rate.
  std::uint32_t rate_factor;
};

// Header of every component instance. A type's own data follows it (types
// derive from it), so the header sits at the same place in every record.
struct ComponentRecord {
  std::uint8_t pending;
  std::uint8_t constant_flag[kMaxPorts];
  double* output[kMaxPorts];
  double constant[kMaxPorts];
  std::int16_t block_length;
  EngineContext* context;
};

// Requests a ComponentDispatch answers.
enum ComponentRequest : std::int16_t {
  kCreateState = 1,
  kDestroyState = 2,
  kGetInputCount = 3,
  kGetOutputCount = 4,
  kGetName = 5,
  kGetInfo = 6,
  kGetColour = 10,
};

inline constexpr std::size_t kInfoBufferSize = 32768;
inline constexpr std::uint32_t kDefaultBoxColour = 0xE36A69;

// Answers are numbers or pointers, so the answer is as wide as a pointer
// (32 bits on the 32-bit product).
using ComponentDispatch = std::intptr_t (*)(std::int16_t request, char* buffer, void* record);
#if defined(_WIN32) && defined(__i386__)
// The 32-bit product: pointers, and so dispatch answers, are 4 bytes.
static_assert(sizeof(void*) == 4 && sizeof(std::intptr_t) == 4);
#endif
using ComponentProcess = void (*)(ComponentRecord* self, ComponentRecord* const* inputs,
                                  const std::int16_t* source_outputs);

// One component's call in a block: its record, its process and its inputs
// resolved to the records that feed them.
struct ComponentCall {
  ComponentRecord* self;
  ComponentProcess process;  // null for the module's IN: its output is the InputBuffer
  ComponentRecord* inputs[kMaxPorts];       // null where unconnected
  std::int16_t source_outputs[kMaxPorts];  // which output of inputs[k] feeds input k
};

// Processes `count` calls as one cascade: each call's input 0 is the output
// 0 of the call before it, nothing else reads that output, and the calls'
// other inputs are already set for the block. The result must be what the
// calls' processes give one after the other, bit for bit. Answers false,
// having set no output, when this block's inputs do not allow it; the
// engine then makes the calls one by one.
using ComponentProcessCascade = bool (*)(const ComponentCall* calls, int count);

// What one input delivers this block, resolved once: unconnected, a constant
// for the whole block, or a buffer of 2·n values. An output its source never
// set (no buffer) reads as the constant 0.0.
struct Signal {
  enum Kind : std::uint8_t { kUnconnected, kConstant, kBuffer };
  Kind kind;
  double value;    // kConstant (and 0.0 when unconnected)
  double* buffer;  // kBuffer

  bool connected() const { return kind != kUnconnected; }
  bool is_buffer() const { return kind == kBuffer; }
  bool is_constant() const { return kind == kConstant; }
  // Value of frame f's channel 0: how control inputs are read.
  double control(int frame) const { return kind == kBuffer ? buffer[2 * frame] : value; }
};

inline Signal ReadInput(ComponentRecord* const* inputs, const std::int16_t* source_outputs, int k) {
  const ComponentRecord* source = inputs[k];
  if (source == nullptr) return {Signal::kUnconnected, 0.0, nullptr};
  const int m = static_cast<std::uint16_t>(source_outputs[k]);
  if (m >= kMaxPorts) return {Signal::kConstant, 0.0, nullptr};
  if (source->constant_flag[m]) return {Signal::kConstant, source->constant[m], nullptr};
  if (source->output[m] == nullptr) return {Signal::kConstant, 0.0, nullptr};
  return {Signal::kBuffer, 0.0, source->output[m]};
}

inline void SetConstant(ComponentRecord* self, int k, double value) {
  self->constant_flag[k] = 1;
  self->constant[k] = value;
}

inline void SetBuffer(ComponentRecord* self, int k, double* buffer) {
  self->constant_flag[k] = 0;
  self->output[k] = buffer;
}

// Hands an input on unchanged; an unconnected input becomes the constant 0.0.
inline void PassOn(ComponentRecord* self, int k, const Signal& in) {
  if (in.is_buffer()) {
    SetBuffer(self, k, in.buffer);
  } else {
    SetConstant(self, k, in.value);
  }
}

// Values in the current block (two channels interleaved).
inline int BlockValues(const ComponentRecord* self) { return 2 * self->block_length; }

// How a type uses the engine's delay line 0, which decides how finely the
// engine must cut a block so that every block size gives the same result.
// Each reaches the line at an offset from the frame's own position, given
// by its in2.
enum class LineAccess : std::uint8_t {
  kNone,
  kWriteAhead,  // writes at position + in2 (Delay Set, Delay Add), when in1 is connected
  kReadAhead,   // reads at position + in2 (Delay Get, Delay Simple)
  kReadBehind,  // reads around position - in2, between samples (Delay Tap)
};

// A type described as data; the type table derives its dispatch function
// from this. `info` is the whole info text, lines joined by "\r\n".
struct TypeDescription {
  int type;
  const char* name;
  std::uint8_t inputs;
  std::uint8_t outputs;
  std::uint32_t colour;
  const char* info;
  std::size_t record_size;
  ComponentProcess process;
  // Settings that do not start at zero, set right after CreateState's
  // zero-filled allocation; null for most types.
  void (*initialise)(ComponentRecord*) = nullptr;
  // Set for types whose calls run faster together when one feeds the next;
  // types sharing the function may be mixed in one cascade.
  ComponentProcessCascade process_cascade = nullptr;
  // The type's own settings, saved with the module; null for types that
  // have none.
  const TypeSettings* settings = nullptr;
  LineAccess line_access = LineAccess::kNone;
};

// Box colours by family.
inline constexpr std::uint32_t kRoutingColour = 0xA1F66D;
inline constexpr std::uint32_t kProcessingColour = 0xF5B963;
inline constexpr std::uint32_t kValueSourceColour = 0x69FFF6;

}  // namespace korvel

// The PatchEngine: one Module's 256 component slots, their wiring, the
// shared delay lines and the editor's view state, and the block evaluation
// that pulls audio from OUT back to IN.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "engine/component.h"
#include "engine/delay_line_storage.h"

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

// Never moved. Its delay lines live in pages of their own (DelayLineStorage),
// so the object itself is small and creating it writes no line.
class PatchEngine {
 public:
  PatchEngine();  // registers the engine, creates its ScriptEngine and fonts
  ~PatchEngine();  // the teardown: closes the editor, frees every component
  PatchEngine(const PatchEngine&) = delete;
  PatchEngine& operator=(const PatchEngine&) = delete;

  // Back to a new module: default script (compiled), texts, silent delay
  // lines, empty slots.
  void ResetEngine();

  // Evaluates one block of n frames (n <= kMaxBlockFrames) from the
  // InputBuffer; answers OUT's output buffer, or null for silence. Call
  // with the graph lock held (or try-locked).
  const double* ProcessBlock(std::uint32_t n);

  // Editing. Each holds the graph lock, so an audio thread never sees a
  // half-changed graph.
  // Creates `type` in the lowest free slot; answers the slot, or -1.
  int CreateComponent(int type);
  // Creates `type` in `slot` if that slot is free; answers false otherwise.
  bool CreateComponentAt(int slot, int type);
  void DeleteComponent(int slot);
  void ClearModule();
  bool IsNotUpstream(int a, int b) const;
  void AttachInput(int target, int input, int source, int output);
  void DetachOutput(int source, int output);
  // Wires output m of slot s to input k of slot t under the wiring rules:
  // refused (false) when it would close a cycle or a port is out of range;
  // an input's old source is replaced, an output's old target released.
  bool Connect(int s, int m, int t, int k);

  // Editor changes outside the wiring, each under the graph lock.
  void MoveComponent(int slot, int x, int y);
  void SetLabel(int slot, const char* label);  // cut to kLabelSize - 1
  // Each text is cut to its buffer's capacity.
  void SetModuleTexts(const char* module_name, const char* module_author,
                      const char* module_description);
  // Into the buffers the plug-in lends (parameter_names); name cut to 63.
  void SetParameterInfo(int index, const char* parameter_name, std::uint32_t kind);
  void ClearDelayLines();  // all eight buffers, the position kept
  // Stores `text` as the script and compiles it afresh: messages and the
  // compiled state are cleared first, so the message list holds this
  // compilation's faults only.
  void ApplyScript(const char* text);
  // Runs change(record, type) on an occupied slot's record under the graph
  // lock: settings that live inside a component (a constant's value, a
  // filter's history). False for an empty slot.
  template <class Change>
  bool ChangeRecord(int slot, Change&& change) {
    std::lock_guard lock(graph_mutex_);
    if (!IsOccupied(slot)) return false;
    change(*record[slot], descriptor[slot]->type);
    return true;
  }

  bool IsOccupied(int slot) const {
    return slot >= 0 && slot < kSlotCount && descriptor[slot] != nullptr;
  }
  // Every change to the graph holds this; the audio callback only try-locks.
  std::recursive_mutex& graph_mutex() const { return graph_mutex_; }

  // --- State, in the order the engine keeps it ---
  std::unique_ptr<ScriptEngine, ScriptEngineDeleter> script;
  void* main_window = nullptr;
  void* status_bar = nullptr;
  void* module_view = nullptr;
  void* code_edit = nullptr;
  void* gui_view = nullptr;
  void* apply_button = nullptr;
  void* revert_button = nullptr;
  void* fonts[3] = {};
  const char* title_prefix = nullptr;
  char* parameter_names[kNamedParameterCount] = {};
  std::uint32_t parameter_kinds[kNamedParameterCount] = {};
  char name[kModuleNameSize] = {};
  char author[kModuleAuthorSize] = {};
  char description[kModuleDescriptionSize] = {};
  DelayLineStorage delay_line_storage;
  // The eight lines, delay_lines[i][0 .. kDelayLineLength - 1].
  double (*const delay_lines)[kDelayLineLength] = delay_line_storage.lines();
  EngineContext context = {};
  std::int32_t new_component_x = 0, new_component_y = 0;
  std::int32_t selected_slot = -1;
  std::int32_t content_width = 0, content_height = 0, scroll_x = 0, scroll_y = 0;
  double input_buffer[kMaxBlockValues] = {};
  std::int32_t out_slot = -1;
  std::int32_t in_slot = -1;
  ComponentRecord* record[kSlotCount] = {};
  ComponentDescriptor* descriptor[kSlotCount] = {};
  ComponentProcess process[kSlotCount] = {};
  ComponentDispatch dispatch[kSlotCount] = {};
  std::int32_t dragged_slot = -1;
  std::int32_t drag_offset_x = 0, drag_offset_y = 0;
  std::int32_t wire_drag = 0;
  std::int32_t wire_end_x = 0, wire_end_y = 0;
  std::int32_t wire_source_slot = -1;
  std::int32_t wire_source_output = -1;
  View current_view = View::kModule;
  std::string script_text;
  std::int32_t slot_count = 0;
  ComponentRecord* input_pointers[kMaxPorts] = {};

 private:
  void PullEvaluate(int slot);
  void DeleteLocked(int slot);
  void ResetEditorState();

  mutable std::recursive_mutex graph_mutex_;
};

// Live engines, so window procedures can find theirs by window handle.
PatchEngine* FindEngine(void* main_window);
int RegisteredEngineCount();
// The registry's entry `index`, in its current order.
PatchEngine* RegisteredEngine(int index);

}  // namespace korvel

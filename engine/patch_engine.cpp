#include "engine/patch_engine.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "engine/messages.h"
#include "engine/ui.h"

namespace korvel {

ScriptEngine* NewScriptEngine();
void CompileScriptText(ScriptEngine& script, const char* text);

namespace {

// The fonts every engine creates: tab strip and boxes, tab labels, code.
constexpr FontRequest kEngineFonts[3] = {
    {"Arial", 13, 700, 4},
    {"Arial", 14, 400, 0},
    {"Lucida Console", 13, 400, 0},
};

std::mutex g_registry_mutex;
std::vector<PatchEngine*>& Registry() {
  static std::vector<PatchEngine*> registry;
  return registry;
}

}  // namespace

PatchEngine::PatchEngine() {
  {
    std::lock_guard lock(g_registry_mutex);
    Registry().push_back(this);
  }
  script.reset(NewScriptEngine());
  for (int i = 0; i < 3; ++i) fonts[i] = Ui().MakeFont(kEngineFonts[i]);
}

PatchEngine::~PatchEngine() {
  if (main_window != nullptr) Ui().DestroyEditorWindow(main_window);
  script.reset();
  {
    std::lock_guard lock(g_registry_mutex);
    auto& registry = Registry();
    auto it = std::find(registry.begin(), registry.end(), this);
    if (it != registry.end()) {
      *it = registry.back();
      registry.pop_back();
    }
  }
  {
    std::lock_guard lock(graph_mutex_);
    for (int s = 0; s < kSlotCount; ++s)
      if (descriptor[s] != nullptr) DeleteLocked(s);
  }
  for (void* font : fonts) Ui().ReleaseFont(font);
}

void PatchEngine::ResetEngine() {
  std::lock_guard lock(graph_mutex_);
  current_view = View::kModule;
  main_window = status_bar = module_view = nullptr;
  script_text = text::kDefaultScript;
  if (script) CompileScriptText(*script, script_text.c_str());
  std::memset(name, 0, sizeof name);
  std::strcpy(name, text::kDefaultModuleName);
  std::memset(author, 0, sizeof author);
  std::memset(description, 0, sizeof description);
  delay_line_storage.Clear();
  context.name = name;
  context.author = author;
  context.description = description;
  for (int line = 0; line < 4; ++line) {
    context.left_line[line] = delay_lines[2 * line];
    context.right_line[line] = delay_lines[2 * line + 1];
  }
  context.delay_position = 0;
  // Components left from an earlier life of the engine are released, not leaked.
  for (int s = 0; s < kSlotCount; ++s)
    if (descriptor[s] != nullptr) DeleteLocked(s);
  slot_count = 0;
  std::fill(std::begin(record), std::end(record), nullptr);
  std::fill(std::begin(descriptor), std::end(descriptor), nullptr);
  std::fill(std::begin(process), std::end(process), nullptr);
  std::fill(std::begin(dispatch), std::end(dispatch), nullptr);
  ResetEditorState();
}

void PatchEngine::ResetEditorState() {
  drag_offset_x = drag_offset_y = 0;
  wire_drag = 0;
  wire_end_x = wire_end_y = 0;
  in_slot = out_slot = -1;
  dragged_slot = selected_slot = -1;
  wire_source_slot = wire_source_output = -1;
}

const double* PatchEngine::ProcessBlock(std::uint32_t n) {
  if (out_slot < 0) return nullptr;
  const auto frames = static_cast<std::int16_t>(n);
  for (int s = 0; s < slot_count; ++s) {
    if (record[s] != nullptr) {
      record[s]->pending = 1;
      record[s]->block_length = frames;
    }
  }
  PullEvaluate(out_slot);
  std::uint32_t position = context.delay_position + n;
  if (position >= kDelayLineLength) position -= kDelayLineLength;
  context.delay_position = position;
  const ComponentRecord* out = record[out_slot];
  if (out == nullptr || out->constant_flag[0]) return nullptr;
  return out->output[0];
}

// Each slot is processed at most once per block: a component that feeds two
// consumers works once, and in-place consumers downstream see its result once.
void PatchEngine::PullEvaluate(int s) {
  ComponentRecord* self = record[s];
  const ComponentDescriptor* d = descriptor[s];
  if (self == nullptr || d == nullptr || !self->pending) return;
  self->pending = 0;
  for (int k = 0; k < d->input_count; ++k)
    if (d->input_source_slot[k] != kNoSlot) PullEvaluate(d->input_source_slot[k]);
  if (s == in_slot) {
    SetBuffer(self, 0, input_buffer);
    return;
  }
  for (int k = 0; k < d->input_count; ++k) {
    const std::uint16_t source = d->input_source_slot[k];
    input_pointers[k] = source == kNoSlot ? nullptr : record[source];
  }
  // Signed and unsigned 16-bit views of the same array may alias.
  process[s](self, input_pointers, reinterpret_cast<const std::int16_t*>(d->input_source_output));
}

PatchEngine* FindEngine(void* main_window) {
  if (main_window == nullptr) return nullptr;
  std::lock_guard lock(g_registry_mutex);
  for (PatchEngine* engine : Registry())
    if (engine->main_window == main_window) return engine;
  return nullptr;
}

int RegisteredEngineCount() {
  std::lock_guard lock(g_registry_mutex);
  return static_cast<int>(Registry().size());
}

PatchEngine* RegisteredEngine(int index) {
  std::lock_guard lock(g_registry_mutex);
  const auto& registry = Registry();
  return index >= 0 && index < static_cast<int>(registry.size()) ? registry[index] : nullptr;
}

}  // namespace korvel

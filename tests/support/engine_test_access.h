// What tests set up inside a PatchEngine directly, where no engine
// operation does it: the delay position and lines, and parameter name
// buffers lent without values.
#pragma once

#include "components/value_sources.h"
#include "engine/patch_engine.h"

namespace korvel {

struct EngineTestAccess {
  static EngineContext& Context(PatchEngine& engine) { return engine.context_; }
  // Null until the lines are reserved.
  static double* Line(PatchEngine& engine, int line) {
    return engine.delay_lines_ != nullptr ? engine.delay_lines_[line] : nullptr;
  }
  // A wire no edit makes (an output read by a second input), for the plan's
  // own guard against it.
  static void AttachUnchecked(PatchEngine& engine, int target, int input, int source, int output) {
    PatchEngine::EditLock lock(engine);
    engine.AttachInputLocked(target, input, source, output);
    engine.PublishLocked();
  }
  static void LendParameterNames(PatchEngine& engine, char* const* names) NO_THREAD_SAFETY_ANALYSIS {
    PatchEngine::EditLock lock(engine);
    for (int p = 0; p < kNamedParameterCount; ++p) engine.parameter_names_[p] = names[p];
  }
};

// A Constant's value, set as its dialog sets it: the slot gets a fresh record.
inline void SetConstantValue(PatchEngine& engine, int slot, double value) {
  engine.RenewRecord(slot, [value](ComponentRecord& fresh, const ComponentRecord&, int) {
    static_cast<ConstantRecord&>(fresh).value = value;
  });
}

}  // namespace korvel

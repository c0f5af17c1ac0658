// The benchmarks' cascade: IN -> 64 LP filters -> OUT, the controls
// constants (cutoffs from 500 Hz up in 150 Hz steps, resonance 0.7).
#pragma once

#include <cstdlib>
#include <memory>

#include "components/biquad_filters.h"
#include "components/routing.h"
#include "components/value_sources.h"
#include "engine/patch_engine.h"

namespace korvel::bench {

inline constexpr int kStages = 64;
inline constexpr double kResonance = 0.7;
inline double Cutoff(int stage) { return 500.0 + 150.0 * stage; }

// A Constant's value, set as its dialog sets it: the slot gets a fresh record.
inline void SetConstantValue(PatchEngine& engine, int slot, double value) {
  engine.RenewRecord(slot, [value](ComponentRecord& fresh, const ComponentRecord&, int) {
    static_cast<ConstantRecord&>(fresh).value = value;
  });
}

inline std::unique_ptr<PatchEngine> CascadeEngine() {
  auto engine = std::make_unique<PatchEngine>();
  engine->ResetEngine();
  int previous = engine->CreateComponent(kInType);
  for (int i = 0; i < kStages; ++i) {
    const int lp = engine->CreateComponent(kLowpassType);
    const int f = engine->CreateComponent(kConstantType), r = engine->CreateComponent(kConstantType);
    SetConstantValue(*engine, f, Cutoff(i));
    SetConstantValue(*engine, r, kResonance);
    if (!engine->Connect(previous, 0, lp, 0) || !engine->Connect(f, 0, lp, 1) || !engine->Connect(r, 0, lp, 2))
      std::abort();
    previous = lp;
  }
  if (!engine->Connect(previous, 0, engine->CreateComponent(kOutType), 0)) std::abort();
  return engine;
}

}  // namespace korvel::bench

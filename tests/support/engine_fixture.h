// A freshly reset engine on the heap, with a test UI installed.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "engine/patch_engine.h"
#include "tests/support/engine_test_access.h"
#include "tests/support/test_ui.h"

namespace korvel::testing {

class EngineTest : public ::testing::Test {
 protected:
  EngineTest() : engine(std::make_unique<PatchEngine>()) { engine->ResetEngine(); }

  int Create(int type) { return engine->CreateComponent(type); }
  // Fills the InputBuffer with a ramp for n frames (channel 1 negated).
  void FillInput(int frames, double start = 1.0) {
    for (int f = 0; f < frames; ++f) {
      engine->InputBuffer()[2 * f] = start + f;
      engine->InputBuffer()[2 * f + 1] = -(start + f);
    }
  }
  const ComponentDescriptor& Desc(int slot) { return *engine->Descriptor(slot); }

  TestUi ui;
  std::unique_ptr<PatchEngine> engine;
};

}  // namespace korvel::testing

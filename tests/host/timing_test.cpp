// The process-wide host timing the module object keeps at its defaults.
#include <gtest/gtest.h>

#include <memory>

#include "engine/host_timing.h"
#include "tests/host/module_fixture.h"

namespace korvel {
namespace {

using testing::ModuleTest;

TEST_F(ModuleTest, InitAndEverySetParameterValueRestoreTheTiming) {
  HostTiming& timing = GetHostTiming();
  timing = {1.0, 2.0, 3.0, 4.0, 5.0};
  pluginhost::RecordingHost other_host;
  auto other = std::make_unique<PluginModule>();  // far too large for the stack
  other->Init(&other_host);
  EXPECT_EQ(timing.sample_rate, 44100.0);
  EXPECT_EQ(timing.samples_per_tick, 100.0);
  EXPECT_EQ(timing.bpm, 1.0);
  EXPECT_EQ(timing.tpb, 1.0);
  EXPECT_EQ(timing.bpb, 1.0);

  timing = {1.0, 2.0, 3.0, 4.0, 5.0};
  ParameterValueRecord record{};
  record.value = 0.3;
  EXPECT_EQ(module->SetParameterValue(26, &record), 0) << "refused, but the timing is still reset";
  EXPECT_EQ(timing.sample_rate, 44100.0);
  EXPECT_EQ(timing.samples_per_tick, 100.0);
  EXPECT_EQ(timing.bpm, 3.0) << "tempo values are left alone";
  EXPECT_EQ(timing.bpb, 5.0);
}

}  // namespace
}  // namespace korvel

// Value sources publish one constant per block.
#include <gtest/gtest.h>

#include "components/value_sources.h"
#include "engine/host_timing.h"
#include "tests/components/component_harness.h"

namespace korvel {
namespace {

using testing::Component;

TEST(ValueSources, ConstantsOutputTheirOwnValue) {
  Component fresh(kConstantType), a(kConstantType), b(kConstantType);
  a.as<ConstantRecord>().value = -12.5;
  for (Component* c : {&fresh, &a, &b}) c->Run(4, {});
  EXPECT_TRUE(fresh.IsConstant(0.0) && a.IsConstant(-12.5) && b.IsConstant(0.0));
}

TEST(ValueSources, HostValuesAreReadEveryBlock) {
  HostTiming& timing = GetHostTiming();
  const HostTiming saved = timing;
  const int types[] = {kSampleRateType, kSamplesPerTickType, kMaxSampleType, kBpmType, kTpbType, kBpbType};
  const double defaults[] = {44100.0, 100.0, 32767.0, 1.0, 1.0, 1.0}, changed[] = {48000.0, 512.0, 32767.0, 128.0, 96.0, 3.0};
  for (int i = 0; i < 6; ++i) {
    Component c(types[i]);
    c.Run(1, {});
    EXPECT_TRUE(c.IsConstant(defaults[i])) << types[i];
    timing = {48000.0, 512.0, 128.0, 96.0, 3.0};
    c.Run(1, {});
    EXPECT_TRUE(c.IsConstant(changed[i])) << types[i];
    timing = saved;
  }
}

}  // namespace
}  // namespace korvel

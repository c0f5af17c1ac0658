#include "components/value_sources.h"

#include "engine/host_timing.h"

namespace korvel {

// Each block reads the value afresh, so a change shows in the next block.
void ProcessConstant(ComponentRecord* self, ComponentRecord* const*, const std::int16_t*) {
  SetConstant(self, 0, static_cast<ConstantRecord*>(self)->value);
}
void ProcessSampleRate(ComponentRecord* self, ComponentRecord* const*, const std::int16_t*) {
  SetConstant(self, 0, LoadHostTiming().sample_rate);
}
void ProcessSamplesPerTick(ComponentRecord* self, ComponentRecord* const*, const std::int16_t*) {
  SetConstant(self, 0, LoadHostTiming().samples_per_tick);
}
void ProcessMaxSample(ComponentRecord* self, ComponentRecord* const*, const std::int16_t*) {
  SetConstant(self, 0, kMaxSampleValue);
}
void ProcessBpm(ComponentRecord* self, ComponentRecord* const*, const std::int16_t*) {
  SetConstant(self, 0, LoadHostTiming().bpm);
}
void ProcessTpb(ComponentRecord* self, ComponentRecord* const*, const std::int16_t*) {
  SetConstant(self, 0, LoadHostTiming().tpb);
}
void ProcessBpb(ComponentRecord* self, ComponentRecord* const*, const std::int16_t*) {
  SetConstant(self, 0, LoadHostTiming().bpb);
}

}  // namespace korvel

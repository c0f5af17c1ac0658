#include "components/routing.h"

#include <algorithm>

namespace korvel {

// The engine itself publishes the InputBuffer and the sidechain for the
// module's IN slot; any other In leaves its outputs unset (they read as the
// constant 0.0).
void ProcessIn(ComponentRecord*, ComponentRecord* const*, const std::int16_t*) {}

void ProcessOut(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  PassOn(self, 0, ReadInput(inputs, source_outputs, 0));
}

void ProcessReplicator(ComponentRecord* self, ComponentRecord* const* inputs,
                       const std::int16_t* source_outputs) {
  auto* rec = static_cast<ReplicatorRecord*>(self);
  const Signal in = ReadInput(inputs, source_outputs, 0);
  if (!in.is_buffer()) {
    for (int k = 0; k < 8; ++k) SetConstant(self, k, in.value);
    return;
  }
  const int n = BlockValues(self);
  SetBuffer(self, 0, in.buffer);
  for (int j = 0; j < 7; ++j) {
    std::copy_n(in.buffer, n, rec->copies[j]);
    SetBuffer(self, j + 1, rec->copies[j]);
  }
}

void ProcessGroup(ComponentRecord*, ComponentRecord* const*, const std::int16_t*) {}

void ProcessGeneric(ComponentRecord* self, ComponentRecord* const*, const std::int16_t*) {
  for (int k = 0; k < kMaxPorts; ++k) SetConstant(self, k, 0.0);
}

}  // namespace korvel

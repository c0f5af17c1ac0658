// Routing components: In, Out, Replicator, Group and Generic.
#pragma once

#include "engine/component.h"

namespace korvel {

inline constexpr int kInType = 0;
inline constexpr int kOutType = 1;
inline constexpr int kReplicatorType = 2;
inline constexpr int kGroupType = 3;
inline constexpr int kGenericType = 5;
// The module's IN outputs the host's sidechain as out3 (left) and out4
// (right), each channel in both of the signal's channels: output indices
// 2 and 3. Out2 is never set.
inline constexpr int kSidechainOutput = 2;

// Outputs 2..8 each get a copy of the block; output 1 shares the source's.
// Sized to the engine's largest block.
struct ReplicatorRecord : ComponentRecord {
  double copies[7][kMaxBlockValues];
};

// Room for submodules; the type never touches it.
struct GroupRecord : ComponentRecord {
  void* reserved[16];
};

void ProcessIn(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessOut(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessReplicator(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessGroup(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessGeneric(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);

inline constexpr TypeDescription kRoutingTypes[] = {
    {kInType, "In", 0, 16, kRoutingColour,
     "IN\r\n\r\n"
     "This component outputs a stream of samples that enters from outside the current module.\r\n\r\n"
     "out1: stream of samples",
     sizeof(ComponentRecord), ProcessIn},
    {kOutType, "Out", 16, 0, kRoutingColour,
     "OUT\r\n"
     "This component outputs a stream of samples that will be sent off back into the host's effect chain.\r\n\r\n"
     "in1: output stream of samples",
     sizeof(ComponentRecord), ProcessOut},
    {kReplicatorType, "Replicator", 1, 8, kRoutingColour,
     "REPLICATOR\r\n"
     "This component replicates the input signal and splits it into multiple outputs.\r\n\r\n"
     "in1: signal to replicate\r\n"
     "out1 - out8: same as in1",
     sizeof(ReplicatorRecord), ProcessReplicator},
    {kGroupType, "Group", 16, 16, kRoutingColour,
     "GROUP\r\n"
     "This component can be used to create submodules within the module.\r\n\r\n"
     "in1 - in64: These feed the group with input\r\n"
     "out1 - out64: These are the output of the group",
     sizeof(GroupRecord), ProcessGroup},
    {kGenericType, "Generic", 1, 0, kRoutingColour,
     "GENERIC\r\n"
     "This component appears when the component meant to be here (ie a plugin) could not be found. "
     "This plugin does not process input, and outputs nothing.",
     sizeof(ComponentRecord), ProcessGeneric},
};

}  // namespace korvel

// The host's timing values, shared by every module object in the process:
// the plug-in module writes them, value sources and filters read them.
#pragma once

namespace korvel {

struct HostTiming {
  double sample_rate = 44100.0;
  double samples_per_tick = 100.0;
  double bpm = 1.0;  // beats per minute
  double tpb = 1.0;  // ticks per beat
  double bpb = 1.0;  // beats per bar
};

HostTiming& GetHostTiming();

}  // namespace korvel

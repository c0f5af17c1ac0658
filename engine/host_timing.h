// The host's timing values, shared by every module object in the process:
// the plug-in module writes them, value sources and filters read them. The
// host may set parameters (which rewrites them) on one thread while another
// processes audio, so each value is a relaxed atomic: a reader sees every
// value whole, old or new.
#pragma once

namespace korvel {

// A copy of the values, as one reader saw them.
struct HostTiming {
  double sample_rate = 44100.0;
  double samples_per_tick = 100.0;
  double bpm = 1.0;  // beats per minute
  double tpb = 1.0;  // ticks per beat
  double bpb = 1.0;  // beats per bar
};

// [any thread, atomic]
HostTiming LoadHostTiming();
void StoreHostTiming(const HostTiming& timing);
// Only the two values the module resets on every parameter change.
void StoreSampleTiming(double sample_rate, double samples_per_tick);

}  // namespace korvel

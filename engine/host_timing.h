// The host's timing values, shared by every module object in the process:
// the plug-in module writes them, value sources and filters read them. The
// host may set parameters (which rewrites them) on one thread while another
// processes audio, so each value is a relaxed atomic: a reader sees every
// value whole, old or new.
#pragma once

namespace korvel {

inline constexpr double kDefaultSampleRate = 44100.0;

// A copy of the values, as one reader saw them.
struct HostTiming {
  double sample_rate = kDefaultSampleRate;
  double samples_per_tick = 100.0;
  double bpm = 1.0;  // beats per minute
  double tpb = 1.0;  // ticks per beat
  double bpb = 1.0;  // beats per bar
  // The rate a host that knows its own has declared (KorvelSetSampleRate):
  // what Init and SetParameterValue restore instead of 44100. Hosts of the
  // DLL never declare one, so for them nothing changes.
  double declared_sample_rate = kDefaultSampleRate;
};

// [any thread, atomic]
HostTiming LoadHostTiming();
void StoreHostTiming(const HostTiming& timing);
// Only the two values the module resets on every parameter change.
void StoreSampleTiming(double sample_rate, double samples_per_tick);
// The declared rate only (StoreHostTiming leaves it alone).
void StoreDeclaredSampleRate(double sample_rate);

}  // namespace korvel

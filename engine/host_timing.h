// The host's timing values, shared by every module object in the process:
// the plug-in module writes them, value sources and filters read them.
#pragma once

namespace korvel {

inline constexpr double kDefaultSampleRate = 44100.0;

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

HostTiming& GetHostTiming();

}  // namespace korvel

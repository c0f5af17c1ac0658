// The host's timing values. Two layers:
//  - the process-wide values the written host interface defines, shared by
//    every module object in the process, which the module object keeps
//    writing where it always did;
//  - each module instance's own copy (InstanceTiming), written alongside
//    them and by whatever only that instance learns (a declared rate, a
//    host's tempo). Components read their instance's copy, so two
//    instances at different rates in one process each run at their own.
// The host may set parameters (which rewrite the values) on one thread
// while another processes audio, so each value is a relaxed atomic: a
// reader sees every value whole, old or new.
#pragma once

#include <atomic>

namespace korvel {

struct ComponentRecord;

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
  // The song's transport, where a host plays one: the position in beats
  // (quarter notes) from the song's start at the block's first frame, and
  // the speed (1 playing, 0 stopped). 0 and 0 for hosts that play none.
  double beat = 0.0;
  double speed = 0.0;
};

// [any thread, atomic] The process-wide values.
HostTiming LoadHostTiming();
void StoreHostTiming(const HostTiming& timing);
// Only the two values the module resets on every parameter change.
void StoreSampleTiming(double sample_rate, double samples_per_tick);
// The declared rate only (StoreHostTiming leaves it alone).
void StoreDeclaredSampleRate(double sample_rate);

// One module instance's timing. [any thread, atomic]
class InstanceTiming {
 public:
  HostTiming Load() const;
  void Store(const HostTiming& timing);  // every value but the declared rate
  void StoreSampleTiming(double sample_rate, double samples_per_tick);
  void StoreDeclaredSampleRate(double sample_rate);
  void StoreTransport(double beat, double speed);
  double SampleRate() const { return sample_rate_.load(kOrder); }

 private:
  static constexpr auto kOrder = std::memory_order_relaxed;
  std::atomic<double> sample_rate_{kDefaultSampleRate};
  std::atomic<double> samples_per_tick_{100.0};
  std::atomic<double> bpm_{1.0};
  std::atomic<double> tpb_{1.0};
  std::atomic<double> bpb_{1.0};
  std::atomic<double> declared_sample_rate_{kDefaultSampleRate};
  std::atomic<double> beat_{0.0};
  std::atomic<double> speed_{0.0};
};

// [audio thread] The timing a component runs by: its engine's instance
// copy, or the process-wide values for an engine no module object feeds
// (the command-line host's scratch engines, tests), with the sample rate
// and samples per tick at the running rate (the host's times the module's
// oversampling).
HostTiming TimingOf(const ComponentRecord* self);
// The running sample rate alone, the same way.
double SampleRateOf(const ComponentRecord* self);

}  // namespace korvel

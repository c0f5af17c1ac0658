#include "engine/host_timing.h"

#include <atomic>
#include <cstdint>

#include "engine/component.h"

namespace korvel {
namespace {

// Constant-initialised, so valid before any other static runs. Relaxed
// order is enough: the values are independent, and nothing else is
// published through them.
struct SharedTiming {
  std::atomic<double> sample_rate{kDefaultSampleRate};
  std::atomic<double> samples_per_tick{100.0};
  std::atomic<double> bpm{1.0};
  std::atomic<double> tpb{1.0};
  std::atomic<double> bpb{1.0};
  std::atomic<double> declared_sample_rate{kDefaultSampleRate};
};
constinit SharedTiming g_timing;

constexpr auto kOrder = std::memory_order_relaxed;

}  // namespace

HostTiming LoadHostTiming() {
  return {g_timing.sample_rate.load(kOrder), g_timing.samples_per_tick.load(kOrder), g_timing.bpm.load(kOrder),
          g_timing.tpb.load(kOrder), g_timing.bpb.load(kOrder), g_timing.declared_sample_rate.load(kOrder)};
}

void StoreHostTiming(const HostTiming& timing) {
  StoreSampleTiming(timing.sample_rate, timing.samples_per_tick);
  g_timing.bpm.store(timing.bpm, kOrder);
  g_timing.tpb.store(timing.tpb, kOrder);
  g_timing.bpb.store(timing.bpb, kOrder);
}

void StoreSampleTiming(double sample_rate, double samples_per_tick) {
  g_timing.sample_rate.store(sample_rate, kOrder);
  g_timing.samples_per_tick.store(samples_per_tick, kOrder);
}

void StoreDeclaredSampleRate(double sample_rate) { g_timing.declared_sample_rate.store(sample_rate, kOrder); }

HostTiming InstanceTiming::Load() const {
  return {sample_rate_.load(kOrder), samples_per_tick_.load(kOrder), bpm_.load(kOrder),
          tpb_.load(kOrder),         bpb_.load(kOrder),              declared_sample_rate_.load(kOrder),
          beat_.load(kOrder),        speed_.load(kOrder)};
}

void InstanceTiming::Store(const HostTiming& timing) {
  StoreSampleTiming(timing.sample_rate, timing.samples_per_tick);
  bpm_.store(timing.bpm, kOrder);
  tpb_.store(timing.tpb, kOrder);
  bpb_.store(timing.bpb, kOrder);
  StoreTransport(timing.beat, timing.speed);
}

void InstanceTiming::StoreTransport(double beat, double speed) {
  beat_.store(beat, kOrder);
  speed_.store(speed, kOrder);
}

void InstanceTiming::StoreSampleTiming(double sample_rate, double samples_per_tick) {
  sample_rate_.store(sample_rate, kOrder);
  samples_per_tick_.store(samples_per_tick, kOrder);
}

void InstanceTiming::StoreDeclaredSampleRate(double sample_rate) {
  declared_sample_rate_.store(sample_rate, kOrder);
}

namespace {
// The running rate is the host's times the module's oversampling; so is a
// tick counted in samples.
// Through a signed 32-bit value, which 32-bit code converts in SSE2.
double RateFactor(const EngineContext* context) {
  return context != nullptr && context->rate_factor > 1 ? static_cast<std::int32_t>(context->rate_factor) : 1.0;
}
}  // namespace

HostTiming TimingOf(const ComponentRecord* self) {
  const EngineContext* context = self != nullptr ? self->context : nullptr;
  HostTiming timing = context != nullptr && context->timing != nullptr ? context->timing->Load() : LoadHostTiming();
  timing.sample_rate *= RateFactor(context);
  timing.samples_per_tick *= RateFactor(context);
  return timing;
}

}  // namespace korvel

namespace korvel {

double SampleRateOf(const ComponentRecord* self) {
  const EngineContext* context = self != nullptr ? self->context : nullptr;
  const double rate = context != nullptr && context->timing != nullptr ? context->timing->SampleRate()
                                                                       : LoadHostTiming().sample_rate;
  return context != nullptr && context->rate_factor > 1 ? rate * static_cast<std::int32_t>(context->rate_factor) : rate;
}

}  // namespace korvel

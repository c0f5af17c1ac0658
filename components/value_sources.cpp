#include "components/value_sources.h"

#include <cmath>

#include <nlohmann/json.hpp>

#include "engine/host_timing.h"
#include "engine/notes.h"
#include "engine/parameters.h"
#include "engine/type_settings.h"

namespace korvel {
namespace {

constexpr const char* kConstantKeys[] = {"value"};
constexpr const char* kSliderKeys[] = {"parameter", "min", "max"};

void WriteConstant(const ComponentRecord& self, nlohmann::ordered_json& out) {
  out["value"] = settings::Number(static_cast<const ConstantRecord&>(self).value);
}

bool ReadConstant(const nlohmann::json& in, ComponentRecord& self, std::string& error) {
  return settings::ReadReal(in, "value", static_cast<ConstantRecord&>(self).value, error);
}

// Parameters are numbered 1..25 in the file, as the user sees them.
void WriteSlider(const ComponentRecord& self, nlohmann::ordered_json& out) {
  const auto& slider = static_cast<const SliderRecord&>(self);
  out["parameter"] = slider.parameter + 1;
  out["min"] = settings::Number(slider.minimum);
  out["max"] = settings::Number(slider.maximum);
}

bool ReadSlider(const nlohmann::json& in, ComponentRecord& self, std::string& error) {
  auto& slider = static_cast<SliderRecord&>(self);
  long long parameter = slider.parameter + 1;
  if (!settings::ReadInteger(in, "parameter", 1, kParameterCount - 1, parameter, error)) return false;
  slider.parameter = static_cast<std::int32_t>(parameter - 1);
  return settings::ReadReal(in, "min", slider.minimum, error) && settings::ReadReal(in, "max", slider.maximum, error);
}

}  // namespace

const TypeSettings kConstantSettings = {kConstantKeys, std::size(kConstantKeys), WriteConstant, ReadConstant};
const TypeSettings kSliderSettings = {kSliderKeys, std::size(kSliderKeys), WriteSlider, ReadSlider};

// Each block reads the value afresh, so a change shows in the next block.
void ProcessConstant(ComponentRecord* self, ComponentRecord* const*, const std::int16_t*) {
  SetConstant(self, 0, static_cast<ConstantRecord*>(self)->value);
}
void ProcessSampleRate(ComponentRecord* self, ComponentRecord* const*, const std::int16_t*) {
  SetConstant(self, 0, SampleRateOf(self));
}
void ProcessSamplesPerTick(ComponentRecord* self, ComponentRecord* const*, const std::int16_t*) {
  SetConstant(self, 0, TimingOf(self).samples_per_tick);
}
void ProcessMaxSample(ComponentRecord* self, ComponentRecord* const*, const std::int16_t*) {
  SetConstant(self, 0, kMaxSampleValue);
}
void ProcessBpm(ComponentRecord* self, ComponentRecord* const*, const std::int16_t*) {
  SetConstant(self, 0, TimingOf(self).bpm);
}
void ProcessTpb(ComponentRecord* self, ComponentRecord* const*, const std::int16_t*) {
  SetConstant(self, 0, TimingOf(self).tpb);
}
void ProcessBpb(ComponentRecord* self, ComponentRecord* const*, const std::int16_t*) {
  SetConstant(self, 0, TimingOf(self).bpb);
}

void InitialiseSlider(ComponentRecord* self) {
  auto* slider = static_cast<SliderRecord*>(self);
  slider->minimum = kSliderDefaultMinimum;
  slider->maximum = kSliderDefaultMaximum;
}

// [audio thread] A value that holds still is a constant; a change since the
// last block is a linear ramp that reaches the new value on the block's last
// frame, so a jump of the whole range moves (Max - Min) / n per frame.
void ProcessSlider(ComponentRecord* self, ComponentRecord* const*, const std::int16_t*) {
  auto* slider = static_cast<SliderRecord*>(self);
  double value = 0.0;
  const EngineContext* context = self->context;
  if (context != nullptr && context->parameter_values != nullptr && slider->parameter >= 0 &&
      slider->parameter < kParameterCount - 1)
    value = LoadParameter(context->parameter_values[slider->parameter]);
  const double from = slider->last;
  // A parameter a host set to NaN is ignored: the output holds.
  const double target = std::isnan(value) && slider->started
                            ? from
                            : slider->minimum + (slider->maximum - slider->minimum) * (std::isnan(value) ? 0.0 : value);
  const int n = self->block_length;
  slider->last = target;
  const bool ramps = slider->started && target != from && std::isfinite(target) && std::isfinite(from) && n > 1;
  slider->started = 1;
  if (!ramps) {
    SetConstant(self, 0, target);
    return;
  }
  const double change = target - from;
  for (int f = 0; f + 1 < n; ++f) slider->ramp[2 * f] = slider->ramp[2 * f + 1] = from + change * (f + 1) / n;
  slider->ramp[2 * (n - 1)] = slider->ramp[2 * (n - 1) + 1] = target;
  SetBuffer(self, 0, slider->ramp);
}

namespace {

// [audio thread] The Note components: a constant while nothing changes in the
// block, otherwise a buffer that steps at each change's frame.
template <class ValueOf>
void ProcessNoteSource(ComponentRecord* self, ValueOf value_of) {
  const NoteBlock* notes = self->context != nullptr ? self->context->notes : nullptr;
  if (notes == nullptr) {
    SetConstant(self, 0, 0.0);
    return;
  }
  double current = value_of(notes->frequency, notes->gate);
  if (notes->change_count == 0) {
    SetConstant(self, 0, current);
    return;
  }
  double* out = static_cast<NoteSourceRecord*>(self)->values;
  const int n = self->block_length;
  int next = 0;
  for (int f = 0; f < n; ++f) {
    for (; next < notes->change_count && notes->changes[next].frame <= static_cast<std::uint32_t>(f); ++next)
      current = value_of(notes->changes[next].frequency, notes->changes[next].gate);
    out[2 * f] = out[2 * f + 1] = current;
  }
  SetBuffer(self, 0, out);
}

}  // namespace

void ProcessNoteFrequency(ComponentRecord* self, ComponentRecord* const*, const std::int16_t*) {
  ProcessNoteSource(self, [](double frequency, double) { return frequency; });
}
void ProcessNoteWavePeriod(ComponentRecord* self, ComponentRecord* const*, const std::int16_t*) {
  const double rate = SampleRateOf(self);
  ProcessNoteSource(self, [rate](double frequency, double) { return frequency > 0.0 ? rate / frequency : 0.0; });
}
void ProcessNoteTrigger(ComponentRecord* self, ComponentRecord* const*, const std::int16_t*) {
  ProcessNoteSource(self, [](double, double gate) { return gate; });
}

}  // namespace korvel

#include "engine/delay_lengths.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "components/arithmetic.h"
#include "components/clipping.h"
#include "components/delays.h"
#include "components/routing.h"
#include "components/value_sources.h"
#include "engine/host_timing.h"
#include "engine/patch_engine.h"
#include "engine/type_table.h"

namespace korvel {
namespace {

// Types whose output is a function of their inputs and the host's timing
// alone. Sliders and notes move; filters and delays have memory.
bool Foldable(int type) {
  return (type >= kAddType && type <= kPowerType) || (type >= kClipType && type <= kClipBottomType) ||
         type == kReplicatorType || (type >= kConstantType && type <= kBpbType);
}

struct FreeRecord {
  void operator()(ComponentRecord* r) const { std::free(r); }
};
using Scratch = std::unique_ptr<ComponentRecord, FreeRecord>;

Scratch MakeRecord(int type) {
  return Scratch(reinterpret_cast<ComponentRecord*>(kComponentTypeTable.dispatch[type](kCreateState, nullptr, nullptr)));
}

std::optional<double> Fold(const PatchView& view, int slot, int output, EngineContext& context, int depth) {
  const int type = view.Type(slot);
  if (depth > 256 || !Foldable(type) || !IsTypeAvailable(type)) return std::nullopt;
  const int inputs = static_cast<int>(kComponentTypeTable.dispatch[type](kGetInputCount, nullptr, nullptr));
  // Each input becomes a one-frame constant from a record of its own.
  std::unique_ptr<ComponentRecord[]> feeds(new ComponentRecord[inputs > 0 ? inputs : 1]());
  ComponentRecord* in[kMaxPorts] = {};
  std::int16_t source_outputs[kMaxPorts] = {};
  for (int k = 0; k < inputs; ++k) {
    int from = 0, from_output = 0;
    if (!view.Source(slot, k, from, from_output)) continue;
    const std::optional<double> value = Fold(view, from, from_output, context, depth + 1);
    if (!value) return std::nullopt;
    feeds[k].constant_flag[0] = 1;
    feeds[k].constant[0] = *value;
    in[k] = &feeds[k];
  }
  Scratch self = MakeRecord(type);
  if (self == nullptr) return std::nullopt;
  self->context = &context;
  self->block_length = 1;
  if (type == kConstantType) static_cast<ConstantRecord*>(self.get())->value = view.ConstantValue(slot);
  kComponentTypeTable.process[type](self.get(), in, source_outputs);
  if (output < 0 || output >= kMaxPorts) return 0.0;
  if (self->constant_flag[output]) return self->constant[output];
  return self->output[output] != nullptr ? self->output[output][0] : 0.0;  // an unset output is silence
}

// No fabs here or below: 32-bit code would compute it on the x87.
std::string Grouped(double frames) {
  char digits[64];
  if (!(frames < 1e15 && frames > -1e15)) {
    std::snprintf(digits, sizeof digits, "%.3g", frames);
    return digits;
  }
  std::snprintf(digits, sizeof digits, "%.0f", frames < 0 ? -frames : frames);
  std::string text(digits), grouped;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i > 0 && (text.size() - i) % 3 == 0) grouped += ',';
    grouped += text[i];
  }
  return (frames < 0 ? "-" : "") + grouped;
}

std::string Seconds(double frames, double rate) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", frames / rate);
  return text;
}

}  // namespace

std::optional<double> ConstantOutput(const PatchView& view, int slot, int output, double host_rate, int factor) {
  InstanceTiming timing;
  HostTiming values = LoadHostTiming();
  values.sample_rate = host_rate;
  timing.Store(values);
  EngineContext context{};
  context.timing = &timing;
  context.rate_factor = static_cast<std::uint32_t>(factor);
  return Fold(view, slot, output, context, 0);
}

std::vector<DelayLengthProblem> DelayLengthProblems(const PatchView& view, double host_rate, int factor) {
  std::vector<DelayLengthProblem> found;
  const double rate = host_rate * factor;
  const std::string line = "the delay line (" + Grouped(kDelayLineLength) + " frames, " +
                           Seconds(kDelayLineLength, rate) + " at " + Grouped(rate) + " Hz)";
  for (int slot = 0; slot < view.SlotCount(); ++slot) {
    const int type = view.Type(slot);
    if (type < 0 || type >= kTypeCount || kComponentTypeTable.line_access[type] == LineAccess::kNone) continue;
    int from = 0, from_output = 0;
    if (!view.Source(slot, 1, from, from_output)) continue;
    const std::optional<double> delay = ConstantOutput(view, from, from_output, host_rate, factor);
    if (!delay) continue;
    if (type == kDelayTapType) {
      if (std::isnan(*delay) || *delay < 0)
        found.push_back({slot, "the delay " + std::string(std::isnan(*delay) ? "is not a number" : "is negative") +
                                   ", so the tap reads the line at 0 frames"});
      else if (*delay > kMaxTapDelay)
        found.push_back({slot, "the delay of " + Grouped(*delay) + " frames is longer than " + line +
                                   ", so the tap reads " + Grouped(kMaxTapDelay) + " frames back"});
      continue;
    }
    const double frames = std::trunc(*delay);
    if (frames >= kDelayLineLength || frames <= -1.0 * kDelayLineLength)
      found.push_back({slot, "the delay of " + Grouped(frames) + " frames is longer than " + line +
                                 ", so it wraps around to " +
                                 Grouped(static_cast<std::int32_t>(DelayLineOffset(*delay))) + " frames"});
  }
  return found;
}

namespace {

class EngineView final : public PatchView {
 public:
  explicit EngineView(const PatchEngine& engine) : engine_(engine) {}
  int SlotCount() const override { return engine_.SlotCount(); }
  int Type(int slot) const override { return engine_.IsOccupied(slot) ? engine_.Descriptor(slot)->type : -1; }
  double ConstantValue(int slot) const override {
    return engine_.Record(slot) != nullptr ? static_cast<const ConstantRecord*>(engine_.Record(slot))->value : 0.0;
  }
  bool Source(int slot, int input, int& from_slot, int& from_output) const override {
    const ComponentDescriptor* d = engine_.Descriptor(slot);
    if (d == nullptr || input >= d->input_count || d->input_source_slot[input] == kNoSlot) return false;
    from_slot = d->input_source_slot[input];
    from_output = d->input_source_output[input];
    return engine_.IsOccupied(from_slot);
  }

 private:
  const PatchEngine& engine_;
};

}  // namespace

std::vector<DelayLengthProblem> DelayLengthProblems(const PatchEngine& engine) {
  const double rate = engine.Context().timing != nullptr ? engine.Context().timing->SampleRate()
                                                       : LoadHostTiming().sample_rate;
  return DelayLengthProblems(EngineView(engine), rate, engine.Oversampling());
}

}  // namespace korvel

#include "tools/korvel/module_check.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>

#include "components/arithmetic.h"
#include "components/biquad_filters.h"
#include "components/clipping.h"
#include "components/delays.h"
#include "components/eq_filters.h"
#include "components/iir_fir_filters.h"
#include "components/moog_state_filters.h"
#include "components/routing.h"
#include "components/sources.h"
#include "components/tables.h"
#include "components/sampler.h"
#include "components/value_sources.h"
#include "engine/delay_lengths.h"
#include "engine/type_table.h"
#include "tools/korvel/text_format.h"

namespace korvel::cli {

namespace {

using Json = nlohmann::json;

// The inputs without which a type's output is silence, and what each is.
struct Required {
  int type;
  std::vector<std::pair<int, const char*>> inputs;
};

const std::vector<Required>& RequiredInputs() {
  static const std::vector<Required> table = [] {
    std::vector<Required> t;
    for (int type : {kLowpassType, kHighpassType, kMoogType})
      t.push_back({type, {{0, "the signal (in1)"}, {1, "the cutoff (in2)"}, {2, "the resonance (in3)"}}});
    for (int type : {kBandpassType, kBandRejectType, kStateFilterType})
      t.push_back({type, {{0, "the signal (in1)"}, {1, "the cutoff (in2)"}, {2, "the bandwidth (in3)"}}});
    for (int type : {kPeakEqType, kLowShelfType, kHighShelfType, kAllpassType})
      t.push_back({type, {{0, "the signal (in1)"}, {1, "the frequency (in2)"}}});
    t.push_back({kIir2Type, {{0, "the signal (in1)"}, {1, "b0/a0 (in2)"}, {2, "b1/a0 (in3)"}}});
    t.push_back({kFir8Type, {{0, "the signal (in1)"}, {1, "b0 (in2)"}, {2, "b1 (in3)"}}});
    for (int type : {kMultiplyType, kDivideType, kPowerType})
      t.push_back({type, {{0, "the first operand (in1)"}, {1, "the second operand (in2)"}}});
    for (int type : {kClipType, kClipTopType, kClipBottomType})
      t.push_back({type, {{0, "the signal (in1)"}, {1, "the threshold (in2)"}}});
    for (int type : {kDelaySetType, kDelayAddType, kDelayZType, kReplicatorType})
      t.push_back({type, {{0, "the signal (in1)"}}});
    t.push_back({kOutType, {{0, "the signal (in1)"}}});
    for (int type : {kEnvelopeFollowerType, kTranslationTableType, kFunctionType})
      t.push_back({type, {{0, "the signal (in1)"}}});
    t.push_back({kSamplerType, {{0, "the trigger (in1)"}}});
    return t;
  }();
  return table;
}

const char* TypeName(int type) {
  return IsTypeAvailable(type)
             ? reinterpret_cast<const char*>(kComponentTypeTable.dispatch[type](kGetName, nullptr, nullptr))
             : "?";
}

struct Component {
  int slot, type;
  std::string label;
  bool has_value;
  double value;
  std::string file;  // a Sampler's sound file
  bool has_seed;
  // The highest value the component's output can take when that is known
  // from the file (a constant, a Slider's range); NaN otherwise.
  double highest;
};

// The inputs read as gates or clocks (high from 0.5), and what each is.
struct Trigger {
  int type, input;
  const char* what;
  const char* effect;
};
constexpr Trigger kTriggers[] = {
    {kLinearAdsrType, 0, "the gate (in1)", "the envelope never starts"},
    {kExponentialAdsrType, 0, "the gate (in1)", "the envelope never starts"},
    {kLinearAdsrType, 5, "the retrigger (in6)", "it never retriggers"},
    {kExponentialAdsrType, 5, "the retrigger (in6)", "it never retriggers"},
    {kStepCounterType, 0, "the clock (in1)", "it never leaves step 0"},
    {kStepCounterType, 2, "the reset (in3)", "it never resets"},
    {kOscillatorType, 3, "the sync (in4)", "it never restarts"},
};

double Highest(const Json& c, int type) {
  const auto number = [&](const char* key, double otherwise) {
    const auto it = c.find(key);
    return it != c.end() && it->is_number() ? it->get<double>() : otherwise;
  };
  if (type == kConstantType) return number("value", 0.0);
  if (type == kSliderType) return std::max(number("min", 0.0), number("max", 1.0));
  return std::nan("");
}

struct Wire {
  int from_slot, from_output, to_slot, to_input;
};

// Outputs that no process ever sets, so they read as silence. The IN's
// out3 and out4 are the host's sidechain.
bool OutputNeverSet(int type, int output) {
  const bool in_unset = output > 0 && output != kSidechainOutput && output != kSidechainOutput + 1;
  return (type == kInType && in_unset) || type == kGroupType || (type == kStateFilterType && output > 0);
}

// The filters whose in2 is a frequency in Hz.
bool HasCutoff(int type) {
  return (type >= kLowpassType && type <= kStateFilterType) || (type >= kPeakEqType && type <= kAllpassType);
}

// The delay components whose in2 is a delay in frames.
bool HasDelay(int type) {
  return type == kDelaySetType || type == kDelayAddType || type == kDelayGetType || type == kDelaySimpleType ||
         type == kDelayTapType;
}

// The module's oversampling: the factor its delays and cutoffs run at.
int Factor(const Json& root) {
  return root.contains("oversampling") && root["oversampling"].is_number_integer() ? root["oversampling"].get<int>()
                                                                                   : 1;
}

// The module file as the delay-length check reads it.
class JsonView final : public PatchView {
 public:
  explicit JsonView(const Json& root) {
    for (const Json& c : root["components"]) {
      const int slot = c.value("slot", 0);
      types_[slot] = c.value("type", -1);
      const Json& value = c.contains("value") ? c["value"] : Json();
      values_[slot] = value.is_number() ? value.get<double>() : value == "nan" ? NAN : value == "inf" ? INFINITY
                                                                 : value == "-inf" ? -INFINITY : 0.0;
    }
    if (root.contains("connections"))
      for (const Json& w : root["connections"])
        sources_[{w["to"][0].get<int>(), w["to"][1].get<int>()}] = {w["from"][0].get<int>(), w["from"][1].get<int>()};
  }
  int SlotCount() const override { return 256; }
  int Type(int slot) const override {
    const auto it = types_.find(slot);
    return it == types_.end() ? -1 : it->second;
  }
  double ConstantValue(int slot) const override {
    const auto it = values_.find(slot);
    return it == values_.end() ? 0.0 : it->second;
  }
  bool Source(int slot, int input, int& from_slot, int& from_output) const override {
    const auto it = sources_.find({slot, input});
    if (it == sources_.end()) return false;
    from_slot = it->second.first;
    from_output = it->second.second;
    return true;
  }

 private:
  std::map<int, int> types_;
  std::map<int, double> values_;
  std::map<std::pair<int, int>, std::pair<int, int>> sources_;
};

struct Module {
  Json root;
  std::map<int, Component> components;
  std::vector<Wire> wires;

  bool Read(const std::string& image) {
    try {
      root = Json::parse(image);
    } catch (const Json::exception&) {
      return false;
    }
    if (!root.is_object() || !root.contains("components")) return false;
    for (const Json& c : root["components"]) {
      const Json value = c.value("value", Json(0.0));
      const int type = c.value("type", 0);
      Component component{c.value("slot", 0),
                          type,
                          c.value("label", std::string()),
                          c.contains("value"),
                          value.is_number() ? value.get<double>() : 0.0,
                          c.contains("file") && c["file"].is_string() ? c["file"].get<std::string>() : std::string(),
                          c.contains("seed"),
                          Highest(c, type)};
      if (component.label.empty()) component.label = TypeName(component.type);
      components[component.slot] = component;
    }
    if (root.contains("connections"))
      for (const Json& w : root["connections"])
        wires.push_back(
            {w["from"][0].get<int>(), w["from"][1].get<int>(), w["to"][0].get<int>(), w["to"][1].get<int>()});
    return true;
  }

  std::string Name(int slot) const {
    const auto c = components.find(slot);
    if (c == components.end()) return "slot " + std::to_string(slot);
    return "slot " + std::to_string(slot) + " (" + TypeName(c->second.type) + " \"" + Escaped(c->second.label) +
           "\")";
  }

  const Wire* SourceOf(int slot, int input) const {
    for (const Wire& w : wires)
      if (w.to_slot == slot && w.to_input == input) return &w;
    return nullptr;
  }
};

// A value the module computes from constants alone, and whether the sample
// rate went into it.
struct Folded {
  double value;
  bool uses_rate;
};

// What input `input` of `slot` is for the whole render when it follows from
// constants, the sample rate and arithmetic on them (the way a delay of a
// quarter second is written: Samplerate × 0.25); nothing when it is a
// signal or depends on the host.
std::optional<Folded> ConstantInput(const Module& m, int slot, int input, double rate, int depth = 0) {
  const Wire* w = m.SourceOf(slot, input);
  if (w == nullptr || depth > 256) return std::nullopt;
  const auto c = m.components.find(w->from_slot);
  if (c == m.components.end()) return std::nullopt;
  const int from = w->from_slot;
  const auto operand = [&](int k) { return ConstantInput(m, from, k, rate, depth + 1); };
  const auto connected = [&](int k) { return m.SourceOf(from, k) != nullptr; };
  switch (c->second.type) {
    case kConstantType: return Folded{c->second.value, false};
    case kSampleRateType: return Folded{rate, true};
    case kMaxSampleType: return Folded{32767.0, false};
    case kReplicatorType: return operand(0);
    case kAddType:
    case kSubtractType:
    case kMultiplyType:
    case kDivideType:
    case kPowerType: {
      const int type = c->second.type;
      const bool in1 = connected(0), in2 = connected(1);
      const auto x = operand(0), y = operand(1);
      if ((in1 && !x) || (in2 && !y)) return std::nullopt;
      const bool uses_rate = (x && x->uses_rate) || (y && y->uses_rate);
      const double a = x ? x->value : 0.0, b = y ? y->value : 0.0;
      if (type == kAddType) return Folded{a + b, uses_rate};
      if (type == kSubtractType) return Folded{a - b, uses_rate};
      if (!in1 || !in2) return Folded{0.0, false};
      if (type == kMultiplyType) return Folded{a * b, uses_rate};
      if (type == kDivideType) return Folded{a / b, uses_rate};
      return Folded{std::pow(a, b), uses_rate};
    }
    default: return std::nullopt;
  }
}

}  // namespace

std::int64_t LongestDelay(const std::string& image, double rate) {
  Module m;
  if (!m.Read(image)) return 0;
  const int factor = std::max(1, Factor(m.root));
  // In frames of the running rate, then in the host's (rounded up).
  double longest = 0;
  for (const auto& [slot, c] : m.components) {
    if (!HasDelay(c.type)) continue;
    if (m.SourceOf(slot, 1) == nullptr) continue;  // no delay
    const auto delay = ConstantInput(m, slot, 1, rate * factor);
    if (!delay || !(std::fabs(delay->value) < kDelayLineLength)) {
      longest = kDelayLineLength;
      break;
    }
    longest = std::max(longest, std::fabs(std::trunc(delay->value)) + (c.type == kDelayTapType ? 2.0 : 0.0));
  }
  return (static_cast<std::int64_t>(longest) + factor - 1) / factor;
}

std::string ComponentName(const std::string& image, int slot) {
  Module m;
  if (!m.Read(image)) return "slot " + std::to_string(slot);
  return m.Name(slot);
}

std::vector<Finding> CheckModule(const std::string& image, double rate) {
  std::vector<Finding> findings;
  Module m;
  if (!m.Read(image)) return findings;
  const Json& root = m.root;
  const auto& components = m.components;
  const auto& wires = m.wires;
  const auto name = [&](int slot) { return m.Name(slot); };
  const auto source_of = [&](int slot, int input) { return m.SourceOf(slot, input); };
  struct Collector {
    std::vector<Finding>& to;
    void push_back(std::string text) { to.push_back({std::move(text), false}); }
  } found{findings};

  // The module's IN and OUT: named, or the lowest-numbered of each type.
  std::vector<int> ins, outs;
  for (const auto& [slot, c] : components) {
    if (c.type == kInType) ins.push_back(slot);
    if (c.type == kOutType) outs.push_back(slot);
  }
  const auto endpoint = [&](const char* key, const std::vector<int>& all) -> int {
    if (root.contains(key)) return root[key].get<int>();
    return all.empty() ? -1 : all.front();
  };
  const int in = endpoint("in", ins), out = endpoint("out", outs);

  for (const auto& [slot, c] : components) {
    if (c.has_value && c.type != kConstantType)
      found.push_back(name(slot) + ": \"value\" is ignored; only a constant (type 80) has a value");
    for (const Required& r : RequiredInputs()) {
      if (r.type != c.type) continue;
      if (c.type == kOutType && slot != out) continue;
      for (const auto& [input, what] : r.inputs)
        if (source_of(slot, input) == nullptr)
          found.push_back(name(slot) + ": " + what + " is not connected, so its output is silence");
    }
    if (c.type == kSamplerType && c.file.empty())
      found.push_back(name(slot) + ": no sound file is chosen (\"file\"), so its output is silence");
    if ((c.type == kAddType || c.type == kSubtractType) && source_of(slot, 0) == nullptr &&
        source_of(slot, 1) == nullptr)
      found.push_back(name(slot) + ": neither operand is connected, so its output is silence");
    if ((c.type == kOscillatorType || c.type == kFmOscillatorType) && source_of(slot, 0) == nullptr)
      found.push_back(name(slot) + ": the frequency (in1) is not connected, so the wave stands still at 0 Hz");
    if (c.type == kNoiseType && !c.has_seed)
      found.push_back(name(slot) + ": it has no \"seed\", so it draws different noise at every load");
    for (const Trigger& t : kTriggers) {
      if (t.type != c.type) continue;
      const Wire* w = source_of(slot, t.input);
      if (w == nullptr) {
        // A gate or clock left unconnected; an unconnected retrigger, reset
        // or sync is only unused.
        if (t.input == 0) found.push_back(name(slot) + ": " + t.what + " is not connected, so " + t.effect);
        continue;
      }
      const double highest = components.at(w->from_slot).highest;
      if (highest < 0.5)
        found.push_back(name(slot) + ": " + t.what + " comes from " + name(w->from_slot) + ", which never reaches 0.5, so " +
                        t.effect);
    }
  }
  for (const Wire& w : wires) {
    const Component& from = components.at(w.from_slot);
    if (OutputNeverSet(from.type, w.from_output))
      found.push_back(name(w.from_slot) + ": out" + std::to_string(w.from_output + 1) + " (output " +
                      std::to_string(w.from_output) + ") is never set, so " + name(w.to_slot) + " reads silence there" +
                      " (ports are numbered from 0 in a module file)");
    if (components.at(w.to_slot).type == kOutType && w.to_input > 0)
      found.push_back(name(w.to_slot) + ": in" + std::to_string(w.to_input + 1) + " (input " +
                      std::to_string(w.to_input) + ") is never read; only in1 (input 0) reaches the host");
  }
  const auto second = [&](const std::vector<int>& all, int chosen, const char* kind, const char* effect) {
    for (int slot : all)
      if (slot != chosen)
        found.push_back(name(slot) + ": a second " + kind + "; the module's " + kind + " is slot " +
                        std::to_string(chosen) + ", so this one " + effect);
  };
  second(ins, in, "In", "outputs silence");
  second(outs, out, "Out", "is never heard");

  // Whether the input reaches the output: through wires, or through the
  // shared delay lines (written on one path, read on another). A module
  // that makes sounds of its own (an oscillator, noise or a Sampler
  // reaching OUT) is an instrument: it may leave its input unheard, or
  // have no In at all.
  const auto upstream = [&](int from) {
    std::vector<bool> seen(256, false);
    std::vector<int> stack{from};
    seen[from] = true;
    while (!stack.empty()) {
      const int s = stack.back();
      stack.pop_back();
      for (const Wire& w : wires)
        if (w.to_slot == s && !seen[w.from_slot]) stack.push_back(w.from_slot), seen[w.from_slot] = true;
    }
    return seen;
  };
  if (out < 0) {
    found.push_back("the module has no Out component, so its output is silence");
  } else {
    const auto feeds_out = upstream(out);
    bool plays_sounds = false;
    for (const auto& [slot, c] : components)
      if ((c.type == kSamplerType || c.type == kOscillatorType || c.type == kFmOscillatorType ||
           c.type == kNoiseType) &&
          feeds_out[slot])
        plays_sounds = true;
    if (plays_sounds) {
      // its own sound reaches OUT: the input need not
    } else if (in < 0) {
      found.push_back("the module has no In component, so the input is never heard");
    } else {
      bool reached = feeds_out[in];
      if (!reached) {
        bool line_written = false, line_heard = false;
        for (const auto& [slot, c] : components) {
          if ((c.type == kDelaySetType || c.type == kDelayAddType) && upstream(slot)[in]) line_written = true;
          if ((c.type == kDelayGetType || c.type == kDelaySimpleType || c.type == kDelayTapType) && feeds_out[slot])
            line_heard = true;
        }
        reached = line_written && line_heard;
      }
      if (!reached)
        found.push_back("OUT (slot " + std::to_string(out) + ") is not reached from IN (slot " +
                        std::to_string(in) + "), so the input is never heard");
    }
  }

  // Work that goes nowhere: a component none of whose outputs is wired is
  // never run (a block is pulled from OUT), so its effect is lost. Delay
  // writers are the exception: they run every block all the same.
  for (const auto& [slot, c] : components) {
    const int outputs = IsTypeAvailable(c.type) ? static_cast<int>(kComponentTypeTable.dispatch[c.type](
                                                      kGetOutputCount, nullptr, nullptr))
                                                : 0;
    if (outputs == 0 || c.type == kInType || c.type == kGroupType) continue;
    if (kComponentTypeTable.line_access[c.type] == LineAccess::kWriteAhead) continue;
    const bool wired =
        std::any_of(wires.begin(), wires.end(), [&, from = slot](const Wire& w) { return w.from_slot == from; });
    if (!wired) found.push_back(name(slot) + ": its output leads nowhere, so it never runs");
  }

  // What holds only at this rate: the module runs at it times its
  // oversampling, and its cutoffs and delays are judged there.
  const int factor = std::max(1, Factor(root));
  const double running = rate * factor;
  const double nyquist = running / 2;
  for (const auto& [slot, c] : components) {
    if (!HasCutoff(c.type)) continue;
    const auto cutoff = ConstantInput(m, slot, 1, running);
    if (cutoff && cutoff->value >= nyquist)
      findings.push_back({name(slot) + ": the cutoff " + ShortestNumber(cutoff->value) +
                              " Hz is at or above half the sample rate (" + ShortestNumber(nyquist) + " Hz at " +
                              ShortestNumber(running) + " Hz); it is computed as " +
                              ShortestNumber(TopCutoff(running)) + " Hz",
                          true});
  }
  // The delays, in the words the editor's Component Info uses. One that
  // follows from constants alone holds at every rate; any other is said
  // per rate.
  for (const DelayLengthProblem& p : DelayLengthProblems(JsonView(root), rate, factor)) {
    if (components.count(p.slot) == 0) continue;
    const auto delay = ConstantInput(m, p.slot, 1, running);
    findings.push_back({name(p.slot) + ": " + p.text, !delay || delay->uses_rate});
  }
  return findings;
}

}  // namespace korvel::cli

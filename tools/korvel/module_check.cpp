#include "tools/korvel/module_check.h"

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>

#include "components/arithmetic.h"
#include "components/biquad_filters.h"
#include "components/clipping.h"
#include "components/delays.h"
#include "components/iir_fir_filters.h"
#include "components/moog_state_filters.h"
#include "components/routing.h"
#include "components/sampler.h"
#include "components/value_sources.h"
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
    t.push_back({kIir2Type, {{0, "the signal (in1)"}, {1, "b0/a0 (in2)"}, {2, "b1/a0 (in3)"}}});
    t.push_back({kFir8Type, {{0, "the signal (in1)"}, {1, "b0 (in2)"}, {2, "b1 (in3)"}}});
    for (int type : {kMultiplyType, kDivideType, kPowerType})
      t.push_back({type, {{0, "the first operand (in1)"}, {1, "the second operand (in2)"}}});
    for (int type : {kClipType, kClipTopType, kClipBottomType})
      t.push_back({type, {{0, "the signal (in1)"}, {1, "the threshold (in2)"}}});
    for (int type : {kDelaySetType, kDelayAddType, kDelayZType, kReplicatorType})
      t.push_back({type, {{0, "the signal (in1)"}}});
    t.push_back({kOutType, {{0, "the signal (in1)"}}});
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
  std::string file;  // a Sampler's sound file
};

struct Wire {
  int from_slot, from_output, to_slot, to_input;
};

// Outputs that no process ever sets, so they read as silence. The IN's
// out3 and out4 are the host's sidechain.
bool OutputNeverSet(int type, int output) {
  const bool in_unset = output > 0 && output != kSidechainOutput && output != kSidechainOutput + 1;
  return (type == kInType && in_unset) || type == kGroupType || (type == kStateFilterType && output > 0);
}

}  // namespace

std::vector<std::string> CheckModule(const std::string& image) {
  std::vector<std::string> found;
  Json root;
  try {
    root = Json::parse(image);
  } catch (const Json::exception&) {
    return found;
  }
  if (!root.is_object() || !root.contains("components")) return found;
  std::map<int, Component> components;
  for (const Json& c : root["components"]) {
    Component component{c.value("slot", 0), c.value("type", 0), c.value("label", std::string()), c.contains("value"),
                        c.contains("file") && c["file"].is_string() ? c["file"].get<std::string>() : std::string()};
    if (component.label.empty()) component.label = TypeName(component.type);
    components[component.slot] = component;
  }
  std::vector<Wire> wires;
  if (root.contains("connections"))
    for (const Json& w : root["connections"])
      wires.push_back({w["from"][0].get<int>(), w["from"][1].get<int>(), w["to"][0].get<int>(), w["to"][1].get<int>()});
  const auto name = [&](int slot) {
    const Component& c = components.at(slot);
    return "slot " + std::to_string(slot) + " (" + TypeName(c.type) + " \"" + Escaped(c.label) + "\")";
  };
  const auto source_of = [&](int slot, int input) -> const Wire* {
    for (const Wire& w : wires)
      if (w.to_slot == slot && w.to_input == input) return &w;
    return nullptr;
  };

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
  // that plays sounds of its own (a Sampler reaching OUT) may leave its
  // input unheard, or have no In at all.
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
    return found;
  }
  const auto feeds_out = upstream(out);
  bool plays_sounds = false;
  for (const auto& [slot, c] : components) plays_sounds = plays_sounds || (c.type == kSamplerType && feeds_out[slot]);
  if (plays_sounds) return found;
  if (in < 0) {
    found.push_back("the module has no In component, so the input is never heard");
    return found;
  }
  bool reached = feeds_out[in];
  if (!reached) {
    bool line_written = false, line_heard = false;
    for (const auto& [slot, c] : components) {
      if ((c.type == kDelaySetType || c.type == kDelayAddType) && upstream(slot)[in]) line_written = true;
      if ((c.type == kDelayGetType || c.type == kDelaySimpleType) && feeds_out[slot]) line_heard = true;
    }
    reached = line_written && line_heard;
  }
  if (!reached)
    found.push_back("OUT (slot " + std::to_string(out) + ") is not reached from IN (slot " + std::to_string(in) +
                    "), so the input is never heard");
  return found;
}

}  // namespace korvel::cli

// Which delays reach past the end of the delay line: a delay whose in2 is a
// constant (a constant, Samplerate, arithmetic on them...) longer than the
// line wraps around, or for Delay Tap stops at the line's end. The editor's
// Component Info and `korvel check` say so; the audio path does not care.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace korvel {

// A patch as these checks read it: the engine's slot tables, or a module
// file not loaded into any engine.
class PatchView {
 public:
  virtual ~PatchView() = default;
  virtual int SlotCount() const = 0;
  virtual int Type(int slot) const = 0;             // -1: empty
  virtual double ConstantValue(int slot) const = 0;  // a constant's value
  // The slot and output feeding `input` of `slot`; false when unconnected.
  virtual bool Source(int slot, int input, int& from_slot, int& from_output) const = 0;
};

// Output `output` of `slot` when it is the same at every frame whatever
// the host does, computed by the components' own process functions at
// `host_rate` × `factor` (Samplerate, arithmetic, clipping and replicated
// copies of constants); nothing when it follows audio, notes or parameters.
std::optional<double> ConstantOutput(const PatchView& view, int slot, int output, double host_rate, int factor);

struct DelayLengthProblem {
  int slot;
  std::string text;  // "the delay of 2,400,000 frames is longer than ..."
};
// Every delay component whose constant delay does not fit the line.
std::vector<DelayLengthProblem> DelayLengthProblems(const PatchView& view, double host_rate, int factor);

class PatchEngine;
// The same for an engine's module, at its host's rate and its oversampling.
// [editor thread]
std::vector<DelayLengthProblem> DelayLengthProblems(const PatchEngine& engine);

}  // namespace korvel

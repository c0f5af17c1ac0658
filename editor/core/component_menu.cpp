#include "editor/core/component_menu.h"

#include <iterator>

namespace korvel::editor_core {

namespace {

constexpr MenuItem Add(const char* name, int type, bool greyed = false) { return {name, type, greyed, nullptr, 0}; }
constexpr MenuItem kSeparator = {nullptr, -1, false, nullptr, 0};

constexpr MenuItem kMathematics[] = {Add("Add", 10),     Add("Subtract", 11), Add("Multiply", 12),
                                     Add("Divide", 13),  Add("Power", 14),    Add("Function", 48)};
constexpr MenuItem kFilter[] = {Add("Lowpass Filter", 15), Add("Highpass Filter", 16), Add("Bandpass Filter", 17),
                                Add("Bandreject Filter", 18), kSeparator,            Add("Moog Filter", 19),
                                Add("State Filter", 20, true), kSeparator,           Add("IIR2 Filter", 22),
                                Add("FIR8 Filter", 23),    kSeparator,               Add("Peak EQ", 60),
                                Add("Low Shelf", 61),      Add("High Shelf", 62),    Add("Allpass", 63)};
constexpr MenuItem kDistortion[] = {Add("Clipping", 24), Add("Top Clipping", 25), Add("Bottom Clipping", 26)};
constexpr MenuItem kDelay[] = {Add("Delay Set", 27), Add("Delay Add", 28), Add("Delay Get", 29),
                               Add("Delay Z^-1", 30), Add("Delay Tap", 32), Add("Delay Simple", 31, true)};
constexpr MenuItem kValues[] = {Add("Constant", 80),           Add("Samples per Second", 81),
                                Add("Samples per Tick", 82),   Add("Max Sample Value", 83),
                                kSeparator,                    Add("BPM", 84),
                                Add("TPB", 85),                Add("BPB", 86),
                                kSeparator,                    Add("Step Counter", 46),
                                Add("Slider Interface", 87),   Add("Translation Table", 47),
                                Add("Note Frequency", 88),     Add("Note WavePeriod", 89),
                                Add("Note Trigger", 90)};
constexpr MenuItem kGenerators[] = {Add("Basic Oscillator", 40), Add("FM Oscillator", 41), Add("White noise", 42),
                                    Add("Sampler", 50),          kSeparator,               Add("Linear ADSR", 43),
                                    Add("Exponential ADSR", 44), Add("Envelope Follower", 45)};

template <std::size_t N>
constexpr MenuItem Sub(const char* name, const MenuItem (&items)[N]) {
  return {name, -1, false, items, N};
}

constexpr MenuItem kTop[] = {
    Add("Input Component", 0),  Add("Output Component", 1), Add("Replicator Component", 2),
    Add("Group Component", 3, true), Add("Mini Plugin...", -1, true), kSeparator,
    Sub("Mathematics", kMathematics), Sub("Filter", kFilter), Sub("Distortion", kDistortion),
    Sub("Delay", kDelay), Sub("Values", kValues), Sub("Generators", kGenerators),
};

}  // namespace

Menu ComponentMenu() { return {kTop, std::size(kTop)}; }

}  // namespace korvel::editor_core

// Module images the tests load, written by hand as a user would.
#pragma once

#include <string>

namespace korvel::testing {

// IN straight to OUT.
inline constexpr char kPassThroughImage[] = R"({"format": "korvel-module", "version": 1,
  "components": [{"slot": 0, "type": 0}, {"slot": 1, "type": 1}], "connections": [{"from": [0, 0], "to": [1, 0]}]})";

// IN * 0.5, delayed by one sample, to OUT.
inline constexpr char kHalfAndDelayImage[] = R"({"format": "korvel-module", "version": 1, "components": [
  {"slot": 0, "type": 0}, {"slot": 1, "type": 1}, {"slot": 2, "type": 80, "value": 0.5}, {"slot": 3, "type": 12},
  {"slot": 4, "type": 30}], "connections": [{"from": [0, 0], "to": [3, 0]}, {"from": [2, 0], "to": [3, 1]},
  {"from": [3, 0], "to": [4, 0]}, {"from": [4, 0], "to": [1, 0]}]})";

// IN times the Samplerate value source, to OUT: a block of ones comes back
// as the rate the module computes at.
inline constexpr char kSampleRateImage[] = R"({"format": "korvel-module", "version": 1, "components": [
  {"slot": 0, "type": 0}, {"slot": 1, "type": 1}, {"slot": 2, "type": 81}, {"slot": 3, "type": 12}],
  "connections": [{"from": [0, 0], "to": [3, 0]}, {"from": [2, 0], "to": [3, 1]}, {"from": [3, 0], "to": [1, 0]}]})";

// Every kind of field: texts, script, parameters, labels, positions, sizes,
// colours, constants, a filter with state, a delay, a gap in the slots.
inline constexpr char kRichImage[] = R"({"format": "korvel-module", "version": 1,
  "name": "Warm Echo", "author": "Ada \u00e9", "description": "Line one\r\nLine two",
  "script": "var n\r\n:Main\r\n( n + 1 ) >> n\r\n:\r\n", "in": 0, "out": 1,
  "parameters": [{"name": "Mix", "kind": 1, "value": 0.25},
                 {"name": "Feedback", "kind": 2, "controller": 74, "value": 0.75},
                 {"name": "Cutoff", "kind": 5, "value": 0.125}],
  "components": [
    {"slot": 0, "type": 0, "label": "Host in", "x": 20, "y": 40}, {"slot": 1, "type": 1, "x": 600, "colour": 255},
    {"slot": 2, "type": 80, "label": "gain", "x": 100, "y": 200, "value": 0.5},
    {"slot": 3, "type": 12, "x": 200, "y": 40, "width": 120, "height": 30}, {"slot": 5, "type": 15, "x": 300},
    {"slot": 6, "type": 80, "value": 2000.0}, {"slot": 7, "type": 80, "value": 1.0}, {"slot": 9, "type": 30}],
  "connections": [
    {"from": [0, 0], "to": [3, 0]}, {"from": [2, 0], "to": [3, 1]}, {"from": [3, 0], "to": [5, 0]},
    {"from": [6, 0], "to": [5, 1]}, {"from": [7, 0], "to": [5, 2]}, {"from": [5, 0], "to": [9, 0]},
    {"from": [9, 0], "to": [1, 0]}]})";

// IN divided by a constant 0.0: 0/0 is NaN, x/0 an infinity.
inline constexpr char kDivideByZeroImage[] = R"({"format": "korvel-module", "version": 1, "components": [
  {"slot": 0, "type": 0}, {"slot": 1, "type": 1}, {"slot": 2, "type": 13}, {"slot": 3, "type": 80, "value": 0.0}],
  "connections": [{"from": [0, 0], "to": [2, 0]}, {"from": [3, 0], "to": [2, 1]}, {"from": [2, 0], "to": [1, 0]}]})";

// IN plus the host's sample rate, read afresh every block.
inline constexpr char kPlusSampleRateImage[] = R"({"format": "korvel-module", "version": 1, "components": [
  {"slot": 0, "type": 0}, {"slot": 1, "type": 1}, {"slot": 2, "type": 10}, {"slot": 3, "type": 81}],
  "connections": [{"from": [0, 0], "to": [2, 0]}, {"from": [3, 0], "to": [2, 1]}, {"from": [2, 0], "to": [1, 0]}]})";

// Parameter 3 named "Depth", of `kind`, at 0.25.
inline std::string ImageWithDepth(unsigned kind) {
  return R"({"format": "korvel-module", "version": 1, "components": [],
    "parameters": [{}, {}, {}, {"name": "Depth", "value": 0.25, "kind": )" + std::to_string(kind) + "}]}";
}

}  // namespace korvel::testing

// Curves a signal goes through: the Translation Table (points the user
// gives, stored with the module) and Function (one of nine maths
// functions).
#pragma once

#include <string>
#include <vector>

#include "components/sources.h"
#include "engine/component.h"

namespace korvel {

inline constexpr int kTranslationTableType = 47;
inline constexpr int kFunctionType = 48;

inline constexpr int kMaxTablePoints = 4096;
// Table values are kept within this, so differences between them stay finite.
inline constexpr double kLargestTableValue = 1e300;

enum class Interpolation : std::uint8_t { kStep = 0, kLinear = 1, kCubic = 2 };
inline constexpr const char* kInterpolationNames[] = {"step", "linear", "cubic"};

struct TablePoint {
  double x, y;
};

// The settings (points and interpolation) change only by renewing the
// record; `hint` is the audio thread's.
struct TableRecord : ComponentRecord {
  std::int32_t count;  // 1..kMaxTablePoints
  Interpolation interpolation;
  double x[kMaxTablePoints];  // strictly increasing
  double y[kMaxTablePoints];
  double slope[kMaxTablePoints];  // dy/dx at each point, for "cubic"
  std::int32_t hint[2];           // [audio thread] each channel's last segment
  double out[kMaxBlockValues];
};
// A new table is the straight line through (-32768, -32768) and (32768,
// 32768): it passes the signal unchanged.
void InitialiseTable(ComponentRecord* self);
// Puts points (already checked) and an interpolation into a record, with
// the slopes "cubic" needs.
void SetTable(TableRecord& table, const std::vector<TablePoint>& points, Interpolation interpolation);
extern const TypeSettings kTableSettings;

// The points as text, one "x y" line each (lines end with "\r\n"), numbers
// in their shortest form that reads back the same.
std::string TableText(const TableRecord& table);
// Reads points from text: one pair per line, x and y separated by blanks or
// a comma; blank lines and lines starting with '#' are skipped. On a
// mistake: false, and `error` names the line ("line 3: ...").
bool ParseTableText(const std::string& text, std::vector<TablePoint>& points, std::string& error);

struct FunctionRecord : ComponentRecord {
  double out[kMaxBlockValues];
};

void ProcessTranslationTable(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);
void ProcessFunction(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);

inline constexpr TypeDescription kTableTypes[] = {
    {kTranslationTableType, "Translation Table", 1, 1, kSourceColour,
     "TRANSLATION TABLE\r\n"
     "Maps its input through a curve of up to 4096 points stored with the module: between two points by a "
     "step, a straight line or a smooth monotone cubic; below the first point and above the last it holds the "
     "end values. A shaper for the signal (x on the 16-bit scale), or a sequence for a Step Counter (x the step). "
     "The points are edited in the component's settings, one \"x y\" pair per line.\r\n\r\n"
     "in1: x\r\n"
     "out1: the table's y at x",
     sizeof(TableRecord), ProcessTranslationTable, InitialiseTable, nullptr, &kTableSettings},
    {kFunctionType, "Function", 2, 1, kProcessingColour,
     "FUNCTION\r\n"
     "Passes its input through one of nine functions. sin and cos take radians. Every answer is finite: a NaN "
     "input counts as 0 and an infinity as the largest double; sqrt of a negative x is -sqrt(-x); log takes "
     "|x|, and log 0 is -708.4; exp gives at most the largest double; sign is -1, 0 or 1.\r\n\r\n"
     "in1: x\r\n"
     "in2: function: 0 sin, 1 cos, 2 tanh, 3 abs, 4 sqrt, 5 exp, 6 log, 7 floor, 8 sign\r\n"
     "out1: f(x)",
     sizeof(FunctionRecord), ProcessFunction},
};

}  // namespace korvel

#include "components/tables.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>

#include "components/source_maths.h"
#include "engine/type_settings.h"

namespace korvel {
namespace {

constexpr double kLargestDouble = std::numeric_limits<double>::max();

std::string Shortest(double value) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

// Fritsch and Carlson's slopes: the mean of the neighbouring secants, 0 at
// a turn, then cut so that no segment overshoots its two points.
void MonotoneSlopes(TableRecord& t) {
  const int n = t.count;
  if (n < 2) {
    if (n == 1) t.slope[0] = 0.0;
    return;
  }
  std::vector<double> secant(static_cast<std::size_t>(n - 1));
  for (int k = 0; k + 1 < n; ++k) secant[k] = (t.y[k + 1] - t.y[k]) / (t.x[k + 1] - t.x[k]);
  t.slope[0] = secant[0];
  t.slope[n - 1] = secant[n - 2];
  for (int k = 1; k + 1 < n; ++k)
    t.slope[k] = secant[k - 1] * secant[k] > 0.0 ? 0.5 * (secant[k - 1] + secant[k]) : 0.0;
  for (int k = 0; k + 1 < n; ++k) {
    if (secant[k] == 0.0) {
      t.slope[k] = t.slope[k + 1] = 0.0;
      continue;
    }
    const double a = t.slope[k] / secant[k], b = t.slope[k + 1] / secant[k];
    const double length = a * a + b * b;
    if (length > 9.0) {
      const double cut = 3.0 / std::sqrt(length);
      t.slope[k] = cut * a * secant[k];
      t.slope[k + 1] = cut * b * secant[k];
    }
  }
}

// The segment holding x (x[k] <= x < x[k + 1]), found from the last one:
// a signal moves little between frames, so a step or two usually does.
int SegmentOf(const TableRecord& t, double x, std::int32_t& hint) {
  int k = hint;
  if (k < 0 || k > t.count - 2) k = 0;
  if (x >= t.x[k] && x < t.x[k + 1]) return k;
  if (k + 2 < t.count && x >= t.x[k + 1] && x < t.x[k + 2]) return hint = k + 1;
  int low = 0, high = t.count - 1;  // x[low] <= x < x[high]
  while (high - low > 1) {
    const int middle = (low + high) / 2;
    if (x < t.x[middle]) {
      high = middle;
    } else {
      low = middle;
    }
  }
  return hint = low;
}

double Lookup(const TableRecord& t, double x, std::int32_t& hint) {
  x = source_maths::NumberOr(x, 0.0);
  const int last = t.count - 1;
  if (x <= t.x[0]) return t.y[0];
  if (x >= t.x[last]) return t.y[last];
  const int k = SegmentOf(t, x, hint);
  if (t.interpolation == Interpolation::kStep) return t.y[k];
  const double width = t.x[k + 1] - t.x[k];
  const double s = (x - t.x[k]) / width;
  if (t.interpolation == Interpolation::kLinear) return t.y[k] + (t.y[k + 1] - t.y[k]) * s;
  const double s2 = s * s, s3 = s2 * s;
  return (2.0 * s3 - 3.0 * s2 + 1.0) * t.y[k] + (s3 - 2.0 * s2 + s) * width * t.slope[k] +
         (3.0 * s2 - 2.0 * s3) * t.y[k + 1] + (s3 - s2) * width * t.slope[k + 1];
}

// ---------------------------------------------------------------- settings

constexpr const char* kTableKeys[] = {"table", "interpolation"};

void WriteTable(const ComponentRecord& self, nlohmann::ordered_json& out) {
  const auto& t = static_cast<const TableRecord&>(self);
  nlohmann::ordered_json points = nlohmann::ordered_json::array();
  for (int k = 0; k < t.count; ++k) points.push_back({t.x[k], t.y[k]});
  out["table"] = std::move(points);
  out["interpolation"] = kInterpolationNames[static_cast<int>(t.interpolation)];
}

bool Finite(const nlohmann::json& v, double& value) {
  return settings::NumberValue(v, value) && source_maths::Magnitude(value) <= kLargestTableValue;
}

bool ReadTable(const nlohmann::json& in, ComponentRecord& self, std::string& error) {
  auto& t = static_cast<TableRecord&>(self);
  std::vector<TablePoint> points;
  for (int k = 0; k < t.count; ++k) points.push_back({t.x[k], t.y[k]});
  Interpolation interpolation = t.interpolation;
  if (const auto it = in.find("interpolation"); it != in.end()) {
    int found = -1;
    if (it->is_string())
      for (int i = 0; i < 3; ++i)
        if (it->get_ref<const std::string&>() == kInterpolationNames[i]) found = i;
    if (found < 0) {
      error = "\"interpolation\" is " + it->dump() + "; it is one of \"step\", \"linear\", \"cubic\"";
      return false;
    }
    interpolation = static_cast<Interpolation>(found);
  }
  if (const auto it = in.find("table"); it != in.end()) {
    const nlohmann::json& list = *it;
    if (!list.is_array()) {
      error = "\"table\" is not a list of [x, y] points";
      return false;
    }
    if (list.empty() || list.size() > static_cast<std::size_t>(kMaxTablePoints)) {
      error = "\"table\" has " + std::to_string(list.size()) + " points; it holds 1 to " +
              std::to_string(kMaxTablePoints);
      return false;
    }
    points.clear();
    for (std::size_t k = 0; k < list.size(); ++k) {
      const nlohmann::json& p = list[k];
      TablePoint point{};
      const std::string where = "\"table\" point " + std::to_string(k + 1);
      if (!p.is_array() || p.size() != 2 || !Finite(p[0], point.x) || !Finite(p[1], point.y)) {
        error = where + " is not [x, y] with two numbers within ±1e300";
        return false;
      }
      if (!points.empty() && !(point.x > points.back().x)) {
        error = where + ": x " + Shortest(point.x) + " is not greater than the x before it (" +
                Shortest(points.back().x) + ")";
        return false;
      }
      points.push_back(point);
    }
  }
  SetTable(t, points, interpolation);
  return true;
}

// Reads one number from the start of `text`, skipping blanks before it.
bool ReadNumber(const char*& p, const char* end, double& value) {
  while (p < end && (*p == ' ' || *p == '\t')) ++p;
  if (p < end && *p == '+') ++p;  // from_chars takes no plus sign
  const auto result = std::from_chars(p, end, value);
  if (result.ec != std::errc() || result.ptr == p) return false;
  p = result.ptr;
  return true;
}

}  // namespace

void SetTable(TableRecord& table, const std::vector<TablePoint>& points, Interpolation interpolation) {
  table.count = static_cast<std::int32_t>(points.size());
  for (std::size_t k = 0; k < points.size(); ++k) {
    table.x[k] = points[k].x;
    table.y[k] = points[k].y;
  }
  table.interpolation = interpolation;
  MonotoneSlopes(table);
}

void InitialiseTable(ComponentRecord* self) {
  SetTable(*static_cast<TableRecord*>(self), {{-32768.0, -32768.0}, {32768.0, 32768.0}}, Interpolation::kLinear);
}

const TypeSettings kTableSettings = {kTableKeys, std::size(kTableKeys), WriteTable, ReadTable};

std::string TableText(const TableRecord& table) {
  std::string text;
  for (int k = 0; k < table.count; ++k) text += Shortest(table.x[k]) + " " + Shortest(table.y[k]) + "\r\n";
  return text;
}

bool ParseTableText(const std::string& text, std::vector<TablePoint>& points, std::string& error) {
  points.clear();
  int line_number = 0, previous_line = 0;
  for (std::size_t start = 0; start <= text.size();) {
    std::size_t stop = text.find('\n', start);
    if (stop == std::string::npos) stop = text.size();
    ++line_number;
    const char* p = text.data() + start;
    const char* end = text.data() + stop;
    start = stop + 1;
    if (end > p && end[-1] == '\r') --end;
    const char* first = p;
    while (first < end && (*first == ' ' || *first == '\t')) ++first;
    if (first == end || *first == '#') continue;
    const std::string where = "line " + std::to_string(line_number) + ": ";
    TablePoint point{};
    if (!ReadNumber(p, end, point.x)) {
      error = where + "x is not a number";
      return false;
    }
    while (p < end && (*p == ' ' || *p == '\t')) ++p;
    if (p < end && *p == ',') ++p;
    if (!ReadNumber(p, end, point.y)) {
      error = where + (p == end || *p == ' ' ? "there is no y: write \"x y\"" : "y is not a number");
      return false;
    }
    while (p < end && (*p == ' ' || *p == '\t')) ++p;
    if (p != end) {
      error = where + "more than two numbers: write \"x y\"";
      return false;
    }
    if (!(source_maths::Magnitude(point.x) <= kLargestTableValue) || !(source_maths::Magnitude(point.y) <= kLargestTableValue)) {
      error = where + "numbers must lie within ±1e300";
      return false;
    }
    if (!points.empty() && !(point.x > points.back().x)) {
      error = where + "x " + Shortest(point.x) + " is not greater than the x of line " + std::to_string(previous_line) +
              " (" + Shortest(points.back().x) + ")";
      return false;
    }
    if (points.size() == static_cast<std::size_t>(kMaxTablePoints)) {
      error = where + "more than " + std::to_string(kMaxTablePoints) + " points";
      return false;
    }
    points.push_back(point);
    previous_line = line_number;
  }
  if (points.empty()) {
    error = "there are no points: write one \"x y\" pair per line";
    return false;
  }
  return true;
}

// [audio thread] A constant in gives a constant out; an unconnected input
// gives the constant 0.
void ProcessTranslationTable(ComponentRecord* self, ComponentRecord* const* inputs,
                             const std::int16_t* source_outputs) {
  auto& t = *static_cast<TableRecord*>(self);
  const Signal in = ReadInput(inputs, source_outputs, 0);
  if (!in.connected()) {
    SetConstant(self, 0, 0.0);
    return;
  }
  if (in.is_constant()) {
    std::int32_t hint = t.hint[0];
    SetConstant(self, 0, Lookup(t, in.value, hint));
    return;
  }
  const int values = BlockValues(self);
  for (int i = 0; i < values; ++i) t.out[i] = Lookup(t, in.buffer[i], t.hint[i & 1]);
  SetBuffer(self, 0, t.out);
}

namespace {

double Apply(int function, double x) {
  x = source_maths::NumberOr(x, 0.0);
  if (std::isinf(x)) x = std::copysign(kLargestDouble, x);
  switch (function) {
    case 0:
      return std::sin(x);
    case 1:
      return std::cos(x);
    case 2:
      return std::tanh(x);
    case 3:
      return source_maths::Magnitude(x);
    case 4:
      return x < 0.0 ? -std::sqrt(-x) : std::sqrt(x);
    case 5: {
      const double e = std::exp(x);
      return e <= kLargestDouble ? e : kLargestDouble;
    }
    case 6:
      return std::log(std::fmax(source_maths::Magnitude(x), std::numeric_limits<double>::min()));
    case 7:
      return std::floor(x);
    default:
      return x > 0.0 ? 1.0 : (x < 0.0 ? -1.0 : 0.0);
  }
}

int FunctionOf(double choice) {
  if (!(choice >= 0.0)) return 0;
  if (choice >= 8.0) return 8;
  const auto whole = static_cast<int>(choice + 0.5);
  return whole;
}

}  // namespace

// [audio thread] The function is chosen per frame (from in2's left
// channel); constants in give a constant out, an unconnected in1 the
// constant 0.
void ProcessFunction(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  auto& o = *static_cast<FunctionRecord*>(self);
  const Signal x = ReadInput(inputs, source_outputs, 0);
  const Signal which = ReadInput(inputs, source_outputs, 1);
  if (!x.connected()) {
    SetConstant(self, 0, 0.0);
    return;
  }
  if (x.is_constant() && !which.is_buffer()) {
    SetConstant(self, 0, Apply(FunctionOf(which.value), x.value));
    return;
  }
  const int n = self->block_length;
  for (int f = 0; f < n; ++f) {
    const int function = FunctionOf(which.control(f));
    for (int c = 0; c < 2; ++c) o.out[2 * f + c] = Apply(function, x.is_buffer() ? x.buffer[2 * f + c] : x.value);
  }
  SetBuffer(self, 0, o.out);
}

}  // namespace korvel

#include "tools/korvel/automation_file.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace korvel::cli {
namespace {

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

std::string Lowered(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Unquote(const std::string& text) {
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') return text.substr(1, text.size() - 2);
  return text;
}

}  // namespace

bool ReadAutomationFile(const std::string& text, std::vector<AutomationPoint>& points, std::string& error) {
  std::istringstream in(text);
  std::string row;
  bool first_row = true;
  for (int line = 1; std::getline(in, row); ++line) {
    const std::string trimmed = Trim(row);
    if (trimmed.empty() || trimmed[0] == '#') continue;
    std::vector<std::string> fields;
    std::stringstream split(trimmed);
    for (std::string field; std::getline(split, field, ',');) fields.push_back(Unquote(Trim(field)));
    if (trimmed.back() == ',') fields.emplace_back();
    const bool header = first_row && !fields.empty() && Lowered(fields[0]) == "seconds";
    first_row = false;
    if (header) continue;
    const auto fail = [&](const std::string& reason) {
      error = "line " + std::to_string(line) + ": " + reason;
      return false;
    };
    if (fields.size() != 3)
      return fail("expected seconds,parameter,value but found " + std::to_string(fields.size()) + " field" +
                  (fields.size() == 1 ? "" : "s"));
    AutomationPoint point{0.0, fields[1], 0.0, line};
    if (!ParseNumber(fields[0], point.seconds) || !std::isfinite(point.seconds))
      return fail("'" + fields[0] + "' is not a time in seconds");
    if (point.seconds < 0) return fail("the time " + fields[0] + " is before the start");
    if (point.parameter.empty()) return fail("no parameter");
    if (!ParseNumber(fields[2], point.value)) return fail("'" + fields[2] + "' is not a number");
    if (!(point.value >= 0.0 && point.value <= 1.0)) return fail("the value " + fields[2] + " is outside 0..1");
    points.push_back(point);
  }
  return true;
}

}  // namespace korvel::cli

#include "tools/korvel/automation_file.h"

#include <cctype>
#include <cmath>
#include <vector>

#include "tools/korvel/text_format.h"

namespace korvel::cli {
namespace {

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string Lowered(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lowered;
}

std::string_view Unquote(std::string_view text) {
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') return text.substr(1, text.size() - 2);
  return text;
}

// A field as a message quotes it.
std::string Quote(std::string_view field) { return "'" + Excerpt(std::string(field)) + "'"; }

}  // namespace

bool ReadAutomationFile(std::string_view text, const AutomationSink& add, std::string& error) {
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) text.remove_prefix(kByteOrderMark.size());
  bool first_row = true;
  std::vector<std::string_view> fields;
  int line = 0;
  while (!text.empty()) {
    // A line ends at LF, CR LF or a lone CR.
    const std::size_t end = text.find_first_of("\r\n");
    const std::string_view row = Trim(text.substr(0, end));
    std::size_t next = end == std::string_view::npos ? text.size() : end + 1;
    if (end != std::string_view::npos && text[end] == '\r' && next < text.size() && text[next] == '\n') ++next;
    text.remove_prefix(next);
    ++line;
    if (row.empty() || row[0] == '#') continue;
    fields.clear();
    for (std::string_view rest = row;;) {
      const std::size_t comma = rest.find(',');
      fields.push_back(Unquote(Trim(rest.substr(0, comma))));
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
    const bool header = first_row && Lowered(fields[0]) == "seconds";
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
    if (!ParseNumber(std::string(fields[0]), point.seconds) || !std::isfinite(point.seconds))
      return fail(Quote(fields[0]) + " is not a time in seconds");
    if (point.seconds < 0) return fail("the time " + Quote(fields[0]) + " is before the start");
    if (point.parameter.empty()) return fail("no parameter");
    if (!ParseNumber(std::string(fields[2]), point.value)) return fail(Quote(fields[2]) + " is not a number");
    if (!(point.value >= 0.0 && point.value <= 1.0)) return fail("the value " + Quote(fields[2]) + " is outside 0..1");
    std::string reason;
    if (!add(point, reason)) return fail(reason);
  }
  return true;
}

}  // namespace korvel::cli

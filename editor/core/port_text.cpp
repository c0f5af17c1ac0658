#include "editor/core/port_text.h"

#include <cstdlib>
#include <cstring>

#include "engine/type_table.h"

namespace korvel::editor_core {

namespace {

// "in3" for input index 2; the numbers of the info texts count from 1.
bool LineNamesPort(const char* line, const char* prefix, int number) {
  const std::size_t n = std::strlen(prefix);
  if (std::strncmp(line, prefix, n) != 0) return false;
  char* end = nullptr;
  const long first = std::strtol(line + n, &end, 10);
  if (end == line + n) return false;
  if (*end == ':') return first == number;
  // A range: "out1 - out8: ..."
  while (*end == ' ') ++end;
  if (*end != '-') return false;
  ++end;
  while (*end == ' ') ++end;
  if (std::strncmp(end, prefix, n) != 0) return false;
  const char* last_text = end + n;
  const long last = std::strtol(last_text, &end, 10);
  return end != last_text && *end == ':' && first <= number && number <= last;
}

}  // namespace

std::string PortLine(const char* info, bool output, int index) {
  const char* prefix = output ? "out" : "in";
  const char* line = info;
  while (line != nullptr && *line != '\0') {
    const char* end = std::strpbrk(line, "\r\n");
    const std::size_t length = end != nullptr ? static_cast<std::size_t>(end - line) : std::strlen(line);
    if (LineNamesPort(line, prefix, index + 1)) return std::string(line, length);
    if (end == nullptr) break;
    line = end + std::strspn(end, "\r\n");
  }
  return prefix + std::to_string(index + 1);
}

std::string InfoTextOf(int type) {
  if (!IsTypeAvailable(type)) return {};
  std::string info(kInfoBufferSize, '\0');
  kComponentTypeTable.dispatch[type](kGetInfo, info.data(), nullptr);
  info.resize(std::strlen(info.c_str()));
  return info;
}

}  // namespace korvel::editor_core

// The plumbing every command shares: messages, usage errors, numbers.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/korvel/cli.h"
#include "tools/korvel/text_format.h"

namespace korvel::cli {

int Fail(int code, const std::string& message) {
  std::fprintf(stderr, "korvel: %s\n", Escaped(message).c_str());
  return code;
}

int UsageError(const std::string& message, const char* usage) {
  // The usage's first line only; --help has the rest.
  const char* end = std::strchr(usage, '\n');
  const int length = end != nullptr ? static_cast<int>(end - usage) : static_cast<int>(std::strlen(usage));
  std::fprintf(stderr, "korvel: %s\n%.*s\n(--help for more)\n", Escaped(message).c_str(), length, usage);
  return kExitUsage;
}

bool WantsHelp(const Args& args) {
  for (const std::string& a : args)
    if (a == "--help" || a == "-h") return true;
  return false;
}

bool ParseNumber(const std::string& text, double& value) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return false;
  const std::string t = text.substr(first, text.find_last_not_of(" \t") - first + 1);
  char* end = nullptr;
  value = std::strtod(t.c_str(), &end);
  return end == t.c_str() + t.size() && std::isfinite(value);
}

}  // namespace korvel::cli

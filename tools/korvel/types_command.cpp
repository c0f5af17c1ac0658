// korvel types [N]
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/type_table.h"
#include "tools/korvel/cli.h"

// docs/components.md, carried by the program (generated at build time).
extern const char kComponentsDoc[];

namespace korvel::cli {

namespace {
constexpr char kTypesUsage[] =
    "usage: korvel types [N]\n"
    "Lists every available component type (number, name, inputs, outputs),\n"
    "or prints type N's info text and its entry of the component reference\n"
    "(docs/components.md): inputs and outputs with units and ranges, what an\n"
    "unconnected input does, and an example.\n";

const char* TypeName(int type) {
  return reinterpret_cast<const char*>(kComponentTypeTable.dispatch[type](kGetName, nullptr, nullptr));
}
// The reference's entry for `type`: from its heading "### N Name" to the
// next heading.
std::string ReferenceEntry(int type) {
  const std::string doc = std::string("\n") + kComponentsDoc;
  const std::size_t start = doc.find("\n### " + std::to_string(type) + " ");
  if (start == std::string::npos) return {};
  const std::size_t end = doc.find("\n#", start + 1);
  return doc.substr(start + 1, end == std::string::npos ? std::string::npos : end - start);
}

int Count(int type, ComponentRequest request) {
  return static_cast<int>(kComponentTypeTable.dispatch[type](request, nullptr, nullptr));
}
}  // namespace

int TypesCommand(const Args& args) {
  if (WantsHelp(args)) {
    std::fputs(kTypesUsage, stdout);
    return kExitOk;
  }
  if (args.size() > 1) return UsageError("types takes at most one type number", kTypesUsage);
  if (args.empty()) {
    // The name column is as wide as the longest name.
    int width = 4;
    for (int type = 0; type < kTypeCount; ++type)
      if (IsTypeAvailable(type)) width = std::max(width, static_cast<int>(std::strlen(TypeName(type))));
    std::printf("%4s  %-*s %6s %7s\n", "type", width, "name", "inputs", "outputs");
    for (int type = 0; type < kTypeCount; ++type) {
      if (!IsTypeAvailable(type)) continue;
      std::printf("%4d  %-*s %6d %7d\n", type, width, TypeName(type), Count(type, kGetInputCount),
                  Count(type, kGetOutputCount));
    }
    return kExitOk;
  }
  std::size_t used = 0;
  int type = -1;
  try {
    type = std::stoi(args[0], &used);
  } catch (...) {
    used = 0;
  }
  if (used != args[0].size()) return UsageError("'" + args[0] + "' is not a type number", kTypesUsage);
  if (!IsTypeAvailable(type)) return Fail(kExitFailure, "no component type " + args[0]);
  std::string info(kInfoBufferSize, '\0');
  kComponentTypeTable.dispatch[type](kGetInfo, info.data(), nullptr);
  // Info texts use CR LF; print them as this system's lines.
  std::string lines;
  for (const char* p = info.c_str(); *p != '\0'; ++p)
    if (*p != '\r') lines += *p;
  std::printf("%s\n", lines.c_str());
  const std::string entry = ReferenceEntry(type);
  if (!entry.empty()) std::printf("\n%s", entry.c_str());
  return kExitOk;
}

}  // namespace korvel::cli

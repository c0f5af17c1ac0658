// korvel info MODULE [--json], korvel new OUT
#include <cstdio>
#include <string>

#include "components/routing.h"
#include "components/value_sources.h"
#include "engine/module_file.h"
#include "engine/module_image.h"
#include "engine/type_table.h"
#include "tools/korvel/cli.h"
#include "tools/korvel/host_control.h"
#include "tools/korvel/module_io.h"

namespace korvel::cli {

namespace {

constexpr char kInfoUsage[] =
    "usage: korvel info MODULE.korvel [--json]\n"
    "Shows the module's name, author, description, components, connections and\n"
    "the host parameters its Sliders follow.\n"
    "--json prints the module as the plug-in saves it.\n";

constexpr char kNewUsage[] =
    "usage: korvel new OUT.korvel\n"
    "Writes a new module whose IN is wired to its OUT, to start from.\n";

const char* TypeName(int type) {
  return IsTypeAvailable(type)
             ? reinterpret_cast<const char*>(kComponentTypeTable.dispatch[type](kGetName, nullptr, nullptr))
             : "?";
}

void PrintModule(const PatchEngine& e) {
  std::printf("name:         %s\n", e.name);
  std::printf("author:       %s\n", e.author);
  std::printf("description:  %s\n", e.description);
  std::printf("\ncomponents:\n");
  std::printf("  %4s  %4s  %-14s %-24s %11s  %s\n", "slot", "type", "name", "label", "position", "value");
  int components = 0;
  for (int s = 0; s < e.slot_count; ++s) {
    const ComponentDescriptor* d = e.descriptor[s];
    if (d == nullptr) continue;
    ++components;
    char position[32];
    std::snprintf(position, sizeof position, "(%d, %d)", d->x, d->y);
    std::string value;
    if (d->type == kConstantType) {
      char text[64];
      std::snprintf(text, sizeof text, "%.17g", static_cast<const ConstantRecord*>(e.record[s])->value);
      value = text;
    }
    std::string role;
    if (s == e.in_slot) role = "  (module IN)";
    if (s == e.out_slot) role = "  (module OUT)";
    std::printf("  %4d  %4d  %-14s %-24s %11s  %s%s\n", s, d->type, TypeName(d->type), d->label, position,
                value.c_str(), role.c_str());
  }
  if (components == 0) std::printf("  (none)\n");
  std::printf("\nconnections:\n");
  int connections = 0;
  for (int t = 0; t < e.slot_count; ++t) {
    const ComponentDescriptor* d = e.descriptor[t];
    if (d == nullptr) continue;
    for (int k = 0; k < d->input_count; ++k) {
      const int s = d->input_source_slot[k];
      if (s == kNoSlot) continue;
      ++connections;
      std::printf("  %3d %-14s out%-3d -> %3d %-14s in%d\n", s, e.descriptor[s]->label,
                  d->input_source_output[k] + 1, t, d->label, k + 1);
    }
  }
  if (connections == 0) std::printf("  (none)\n");
  PrintParameterBindings(e);
}

}  // namespace

int InfoCommand(const Args& args) {
  if (WantsHelp(args)) {
    std::fputs(kInfoUsage, stdout);
    return kExitOk;
  }
  std::string path;
  bool json = false;
  for (const std::string& a : args) {
    if (a == "--json") {
      json = true;
    } else if (!a.empty() && a[0] == '-') {
      return UsageError("unknown option '" + a + "'", kInfoUsage);
    } else if (path.empty()) {
      path = a;
    } else {
      return UsageError("one module only ('" + a + "' is extra)", kInfoUsage);
    }
  }
  if (path.empty()) return UsageError("no module given", kInfoUsage);
  std::string error;
  const auto module = LoadModule(path, error);
  if (!module) return Fail(kExitFailure, error);
  if (json) {
    std::fputs(WriteModuleImage(*module->engine).c_str(), stdout);
  } else {
    PrintModule(*module->engine);
  }
  return kExitOk;
}

int NewCommand(const Args& args) {
  if (WantsHelp(args)) {
    std::fputs(kNewUsage, stdout);
    return kExitOk;
  }
  if (args.size() != 1 || args[0].empty() || args[0][0] == '-') return UsageError("new takes one file name", kNewUsage);
  auto engine = NewEngine();
  engine->new_component_x = 20;
  engine->new_component_y = 40;
  const int in = engine->CreateComponent(kInType);
  engine->new_component_x = 220;
  const int out = engine->CreateComponent(kOutType);
  engine->Connect(in, 0, out, 0);
  std::string error;
  if (!SaveModuleFile(*engine, args[0], error)) return Fail(kExitFailure, "cannot write '" + args[0] + "': " + error);
  return kExitOk;
}

}  // namespace korvel::cli

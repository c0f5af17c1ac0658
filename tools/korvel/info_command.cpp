// korvel info MODULE [--json], korvel check MODULE, korvel new OUT [--force]
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "components/routing.h"
#include "engine/module_file.h"
#include "engine/type_table.h"
#include "tools/korvel/cli.h"
#include "tools/korvel/host_control.h"
#include "tools/korvel/module_check.h"
#include "tools/korvel/module_io.h"
#include "tools/korvel/text_format.h"

namespace korvel::cli {

namespace {

using Json = nlohmann::json;

constexpr char kInfoUsage[] =
    "usage: korvel info MODULE.korvel [--json]\n"
    "Shows the module's name, author, description, oversampling and latency,\n"
    "components, connections and the host parameters its Sliders follow, as\n"
    "the plug-in holds them after loading the file.\n"
    "--json prints the module exactly as the plug-in saves it.\n";

constexpr char kCheckUsage[] =
    "usage: korvel check MODULE.korvel [--rate HZ]\n"
    "Lists what in the module will make silence or nonsense: inputs a component\n"
    "needs left unconnected, OUT not reached from IN, a \"value\" on a type that\n"
    "has none, outputs that are never set, a second In or Out, components whose\n"
    "output leads nowhere (so they never run), and, at the sample rate the module\n"
    "will run at (--rate, default 44100, times the module's oversampling), a\n"
    "constant filter cutoff at or above half that rate and a constant delay\n"
    "longer than the delay line.\n"
    "Exit status 0 when there is nothing to report, 1 when there is (or when\n"
    "the file is not a module).\n";

constexpr char kNewUsage[] =
    "usage: korvel new OUT.korvel [--force]\n"
    "Writes a new module whose IN is wired to its OUT, to start from. An existing\n"
    "file is replaced only with --force, and never one that is not a regular file.\n";

const char* TypeName(int type) {
  return IsTypeAvailable(type)
             ? reinterpret_cast<const char*>(kComponentTypeTable.dispatch[type](kGetName, nullptr, nullptr))
             : "?";
}

std::string Number(const Json& value) {
  if (value.is_number()) return ShortestNumber(value.get<double>());
  return value.is_string() ? value.get<std::string>() : std::string();
}

void PrintModule(const Json& m, std::uint32_t latency) {
  std::printf("name:         %s\n", Escaped(m.value("name", "")).c_str());
  std::printf("author:       %s\n", Escaped(m.value("author", "")).c_str());
  std::printf("description:  %s\n", Escaped(m.value("description", "")).c_str());
  const int factor = m.value("oversampling", 1);
  if (factor > 1) {
    std::printf("oversampling: %dx, latency %u frames at the host's rate\n", factor, latency);
  } else {
    std::printf("oversampling: none (runs at the host's rate, no latency)\n");
  }
  std::printf("\ncomponents:\n");
  std::printf("  %4s  %4s  %-17s %-24s %11s  %s\n", "slot", "type", "name", "label", "position", "value");
  const int in = m.value("in", -1), out = m.value("out", -1);
  std::vector<std::string> labels(256);
  for (const Json& c : m["components"]) {
    const int slot = c["slot"], type = c["type"];
    labels[slot] = Escaped(c.value("label", ""));
    const std::string position = "(" + std::to_string(c.value("x", 0)) + ", " + std::to_string(c.value("y", 0)) + ")";
    const std::string value = c.contains("value") ? Number(c["value"]) : "";
    const char* role = slot == in ? "  (module IN)" : slot == out ? "  (module OUT)" : "";
    std::printf("  %4d  %4d  %-17s %-24s %11s  %s%s\n", slot, type, TypeName(type), labels[slot].c_str(),
                position.c_str(), value.c_str(), role);
  }
  if (m["components"].empty()) std::printf("  (none)\n");
  std::printf("\nconnections:\n");
  for (const Json& w : m["connections"]) {
    const int s = w["from"][0], t = w["to"][0];
    std::printf("  %3d %-14s out%-3d -> %3d %-14s in%d\n", s, labels[s].c_str(), w["from"][1].get<int>() + 1, t,
                labels[t].c_str(), w["to"][1].get<int>() + 1);
  }
  if (m["connections"].empty()) std::printf("  (none)\n");
  PrintParameterBindings(m);
}

// The one module argument of info and check.
std::optional<std::string> ModuleArgument(const Args& args, bool& json, const char* usage, int& code,
                                          double* rate = nullptr) {
  std::string path;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--json" && usage == kInfoUsage) {
      json = true;
    } else if (a == "--rate" && rate != nullptr) {
      if (i + 1 >= args.size() || !ParseNumber(args[i + 1], *rate) || *rate < 1000 || *rate > 768000) {
        code = UsageError("--rate needs a sample rate in Hz from 1000 to 768000", usage);
        return std::nullopt;
      }
      ++i;
    } else if (a.size() > 1 && a[0] == '-') {
      code = UsageError("unknown option '" + a + "'", usage);
      return std::nullopt;
    } else if (path.empty()) {
      path = a;
    } else {
      code = UsageError("one module only ('" + a + "' is extra)", usage);
      return std::nullopt;
    }
  }
  if (path.empty()) {
    code = UsageError("no module given", usage);
    return std::nullopt;
  }
  return path;
}

}  // namespace

int InfoCommand(const Args& args) {
  if (WantsHelp(args)) {
    std::fputs(kInfoUsage, stdout);
    return kExitOk;
  }
  bool json = false;
  int code = kExitOk;
  const auto path = ModuleArgument(args, json, kInfoUsage, code);
  if (!path) return code;
  std::string error;
  const auto image = ReadModuleFile(*path, error);
  if (!image) return Fail(kExitFailure, error);
  // What the plug-in holds after loading the file, through its own save.
  auto plugin = OpenPlugin(error);
  if (!plugin) return Fail(kExitFailure, error);
  if (!LoadIntoPlugin(*plugin->module, *image, *path, error)) return Fail(kExitFailure, error);
  const std::string saved = plugin->module->SaveImage();
  if (json) {
    std::fwrite(saved.data(), 1, saved.size(), stdout);
    return kExitOk;
  }
  try {
    PrintModule(Json::parse(saved), plugin->module->LatencyFrames());
  } catch (const Json::exception& e) {
    return Fail(kExitFailure, std::string("the plug-in saved something unreadable: ") + e.what());
  }
  return kExitOk;
}

int CheckCommand(const Args& args) {
  if (WantsHelp(args)) {
    std::fputs(kCheckUsage, stdout);
    return kExitOk;
  }
  bool json = false;
  int code = kExitOk;
  double rate = 44100.0;
  const auto path = ModuleArgument(args, json, kCheckUsage, code, &rate);
  if (!path) return code;
  std::string error;
  const auto image = ReadModuleFile(*path, error);
  if (!image) return Fail(kExitFailure, error);
  const auto findings = CheckModule(*image, rate);
  for (const Finding& f : findings) std::printf("%s: %s\n", path->c_str(), f.text.c_str());
  if (findings.empty()) std::printf("%s: nothing to report\n", path->c_str());
  return findings.empty() ? kExitOk : kExitFailure;
}

int NewCommand(const Args& args) {
  if (WantsHelp(args)) {
    std::fputs(kNewUsage, stdout);
    return kExitOk;
  }
  std::string path;
  bool force = false;
  for (const std::string& a : args) {
    if (a == "--force") {
      force = true;
    } else if (a.size() > 1 && a[0] == '-') {
      return UsageError("unknown option '" + a + "'", kNewUsage);
    } else if (path.empty()) {
      path = a;
    } else {
      return UsageError("new takes one file name", kNewUsage);
    }
  }
  if (path.empty()) return UsageError("new takes one file name", kNewUsage);
  std::error_code ignored;
  if (!force && std::filesystem::exists(std::filesystem::symlink_status(path, ignored)))
    return Fail(kExitFailure, "'" + path + "' already exists; --force replaces it");
  auto engine = NewEngine();
  engine->Editor().new_component_x = 20;
  engine->Editor().new_component_y = 40;
  const int in = engine->CreateComponent(kInType);
  engine->Editor().new_component_x = 220;
  const int out = engine->CreateComponent(kOutType);
  engine->Connect(in, 0, out, 0);
  // Without --force a file that appears meanwhile is still not replaced.
  std::string error;
  if (!SaveModuleFile(*engine, path, error, force ? Existing::kReplace : Existing::kKeep))
    return Fail(kExitFailure, "cannot write '" + path + "': " + error);
  return kExitOk;
}

}  // namespace korvel::cli

// korvel: a small real host for the plug-in. Renders audio files through a
// module, inspects and checks modules and component types, runs scripts.
#include <ebur128.h>
#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/korvel/cli.h"

namespace korvel::cli {

namespace {

// One row per command, in the order `korvel --help` lists them.
struct Command {
  const char* name;
  int (*run)(const Args&);
  const char* synopsis;
};

constexpr Command kCommands[] = {
    {"render", RenderCommand,
     "render MODULE.korvel -o OUT [-i IN] [options]   render audio through a module\n"},
    {"info", InfoCommand, "info MODULE.korvel [--json]     show a module's contents\n"},
    {"check", CheckCommand, "check MODULE.korvel             list what will make silence or nonsense\n"},
    {"types", TypesCommand, "types [N]                       list component types, or describe one\n"},
    {"script", ScriptCommand, "script FILE [FUNCTION]          compile a script and run a function\n"},
    {"new", NewCommand, "new OUT.korvel [--force]        write a new module (IN wired to OUT)\n"},
    {"draw", DrawCommand, "draw MODULE.korvel -o PATCH.png|svg [--scale S]\n"
                          "                                  draw the patch as the editor shows it\n"},
    {"plot", PlotCommand, "plot MODULE.korvel -o RESPONSE.png|svg [--what magnitude,phase,impulse] [--csv]\n"
                          "                                  plot the module's response, measured\n"},
};

void PrintUsage(FILE* to) {
  std::fputs("usage: korvel COMMAND [ARGS]\n       korvel --version\n\ncommands:\n", to);
  for (const Command& c : kCommands) std::fprintf(to, "  %s", c.synopsis);
  std::fputs("\nEach command has --help.\n", to);
}

void PrintVersion() {
  int major = 0, minor = 0, patch = 0;
  ebur128_get_version(&major, &minor, &patch);
  std::printf("korvel %s (%s, libebur128 %d.%d.%d)\n", KORVEL_VERSION, sf_version_string(), major, minor, patch);
}

}  // namespace

int Fail(int code, const std::string& message) {
  std::fprintf(stderr, "korvel: %s\n", message.c_str());
  return code;
}

int UsageError(const std::string& message, const char* usage) {
  // The usage's first line only; --help has the rest.
  const char* end = std::strchr(usage, '\n');
  const int length = end != nullptr ? static_cast<int>(end - usage) : static_cast<int>(std::strlen(usage));
  std::fprintf(stderr, "korvel: %s\n%.*s\n(--help for more)\n", message.c_str(), length, usage);
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

int main(int argc, char** argv) {
  using namespace korvel::cli;
  if (argc < 2) {
    PrintUsage(stderr);
    return kExitUsage;
  }
  const std::string command = argv[1];
  const Args args(argv + 2, argv + argc);
  if (command == "--help" || command == "-h" || command == "help") {
    PrintUsage(stdout);
    return kExitOk;
  }
  if (command == "--version" || command == "-V") {
    PrintVersion();
    return kExitOk;
  }
  for (const Command& c : kCommands)
    if (command == c.name) return c.run(args);
  std::fprintf(stderr, "korvel: unknown command '%s'\n", command.c_str());
  PrintUsage(stderr);
  return kExitUsage;
}

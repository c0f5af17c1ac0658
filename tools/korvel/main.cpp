// korvel: a small real host for the plug-in. Renders audio files through a
// module, inspects modules and component types, runs scripts.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/korvel/cli.h"

namespace korvel::cli {

namespace {

constexpr char kUsage[] =
    "usage: korvel COMMAND [ARGS]\n"
    "\n"
    "commands:\n"
    "  render MODULE.korvel -o OUT.wav [-i IN.wav] [--block FRAMES] [--seconds S]\n"
    "         [--format f32|f64|pcm16|pcm24] [--set P=V] [--automation F.csv]\n"
    "         [--midi F.mid]                   render audio through a module\n"
    "  info MODULE.korvel [--json]            show a module's contents\n"
    "  types [N]                              list component types, or show one's info\n"
    "  script FILE [FUNCTION]                 compile a script and run a function\n"
    "  new OUT.korvel                         write a new module (IN wired to OUT)\n"
    "  draw MODULE.korvel -o PATCH.png|svg    draw the patch as the editor shows it\n"
    "  plot MODULE.korvel -o RESPONSE.png|svg [--what magnitude,phase,impulse] [--csv]\n"
    "                                         plot the module's frequency response\n"
    "\n"
    "Each command has --help.\n";

}  // namespace

int Fail(int code, const std::string& message) {
  std::fprintf(stderr, "korvel: %s\n", message.c_str());
  return code;
}

int UsageError(const std::string& message, const char* usage) {
  std::fprintf(stderr, "korvel: %s\n%s", message.c_str(), usage);
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
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  const std::string command = argv[1];
  const Args args(argv + 2, argv + argc);
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (command == "render") return RenderCommand(args);
  if (command == "info") return InfoCommand(args);
  if (command == "types") return TypesCommand(args);
  if (command == "script") return ScriptCommand(args);
  if (command == "new") return NewCommand(args);
  if (command == "draw") return DrawCommand(args);
  if (command == "plot") return PlotCommand(args);
  std::fprintf(stderr, "korvel: unknown command '%s'\n%s", command.c_str(), kUsage);
  return kExitUsage;
}

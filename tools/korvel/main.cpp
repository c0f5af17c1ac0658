// korvel: a small real host for the plug-in. Renders audio files through a
// module, inspects and checks modules and component types, runs scripts.
#include <ebur128.h>
#include <sndfile.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/file_io.h"
#include "tools/korvel/cli.h"
#include "tools/pluginhost/plugin_host.h"

namespace korvel::cli {

namespace {

// The picture commands live in a program of their own beside this one, so
// that cairo, fontconfig, FFTW and the rest of their libraries are loaded
// only by the commands that draw: every other command starts without them.
constexpr char kPicturesProgram[] = "korvel-pictures";

int RunPictures(const char* command, const Args& args) {
  const std::string program = pluginhost::ProgramDirectory() + kPicturesProgram;
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  argv.push_back(const_cast<char*>(command));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::fflush(stdout);
  execv(program.c_str(), argv.data());
  return Fail(kExitFailure, "cannot run '" + program + "': " + std::strerror(errno));
}
int Draw(const Args& args) { return RunPictures("draw", args); }
int Plot(const Args& args) { return RunPictures("plot", args); }
int Edit(const Args& args) { return RunPictures("edit", args); }

// One row per command, in the order `korvel --help` lists them.
struct Command {
  const char* name;
  int (*run)(const Args&);
  const char* synopsis;
};

constexpr Command kCommands[] = {
    {"render", RenderCommand,
     "render MODULE.korvel -o OUT [-i IN ...] [options]   render audio through a module\n"},
    {"info", InfoCommand, "info MODULE.korvel [--json]     show a module's contents\n"},
    {"check", CheckCommand, "check MODULE.korvel             list what will make silence or nonsense\n"},
    {"types", TypesCommand, "types [N]                       list component types, or describe one\n"},
    {"script", ScriptCommand, "script FILE [FUNCTION]          compile a script and run a function\n"},
    {"new", NewCommand, "new OUT.korvel [--force]        write a new module (IN wired to OUT)\n"},
    {"draw", Draw, "draw MODULE.korvel -o PATCH.png|svg [--scale S]\n"
                   "                                  draw the patch as the editor shows it\n"},
    {"edit", Edit, "edit MODULE.korvel               edit a module in the editor window (X11)\n"},
    {"plot", Plot, "plot MODULE.korvel -o RESPONSE.png|svg [--what magnitude,phase,impulse] [--csv]\n"
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
}  // namespace korvel::cli

int main(int argc, char** argv) {
  using namespace korvel::cli;
  // An interrupted command leaves no temporary file behind.
  korvel::RemoveTemporaryFilesOnSignals();
  if (argc < 2) {
    PrintUsage(stderr);
    return kExitUsage;
  }
  const std::string command = argv[1];
  // "--name=value" is "--name value", for every option of every command.
  Args args;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    const auto equals = a.find('=');
    if (a.rfind("--", 0) == 0 && equals != std::string::npos && equals > 2) {
      args.push_back(a.substr(0, equals));
      args.push_back(a.substr(equals + 1));
    } else {
      args.push_back(a);
    }
  }
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

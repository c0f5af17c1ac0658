// korvel-pictures: the commands that draw, `korvel draw`, `korvel plot`
// and the editor window of `korvel edit`.
// korvel runs this program for them, so only they load the drawing and
// FFT libraries.
#include <cstdio>
#include <string>

#include "engine/file_io.h"
#include "tools/korvel/cli.h"

int main(int argc, char** argv) {
  using namespace korvel::cli;
  korvel::RemoveTemporaryFilesOnSignals();
  const std::string command = argc >= 2 ? argv[1] : "";
  const Args args(argv + (argc >= 2 ? 2 : argc), argv + argc);
  if (command == "draw") return DrawCommand(args);
  if (command == "plot") return PlotCommand(args);
  if (command == "edit") return EditCommand(args);
  std::fprintf(stderr, "korvel-pictures: run through korvel: 'korvel draw' or 'korvel plot'\n");
  return kExitUsage;
}

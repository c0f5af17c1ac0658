// korvel script FILE [FUNCTION]
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>

#include "engine/file_io.h"
#include "script/script_engine.h"
#include "tools/korvel/cli.h"
#include "tools/korvel/module_io.h"
#include "tools/korvel/text_format.h"

namespace korvel::cli {

namespace {
constexpr char kScriptUsage[] =
    "usage: korvel script FILE [FUNCTION]\n"
    "Compiles FILE and runs FUNCTION (default: main). Trace lines go to standard\n"
    "output, the script's messages to standard error. Exit status 0 when the run\n"
    "reaches the end of its function, 1 on a compile fault or a failed run.\n";

// Some of the language's messages carry no line feed of their own; each
// still gets a line.
void PrintMessages(const ScriptEngine& script) {
  for (const std::string& m : script.Messages()) {
    std::fputs(m.c_str(), stderr);
    if (m.empty() || m.back() != '\n') std::fputc('\n', stderr);
  }
}

bool HasFunction(const ScriptEngine& script, const std::string& name) {
  for (const FunctionRecord& f : script.Functions())
    if (name == f.name) return true;
  return false;
}
}  // namespace

int ScriptCommand(const Args& args) {
  if (WantsHelp(args)) {
    std::fputs(kScriptUsage, stdout);
    return kExitOk;
  }
  if (args.empty() || args.size() > 2) return UsageError("script takes FILE and an optional FUNCTION", kScriptUsage);
  std::string text, reason;
  if (!ReadInputFile(args[0], {kMaxScriptFileSize, /*pipes=*/true}, text, reason))
    return Fail(kExitFailure, "cannot read " + InputName(args[0]) + ": " + reason);
  // The compiler reads text up to a NUL; a script holding one would be
  // cut there without a word.
  if (const auto nul = text.find('\0'); nul != std::string::npos)
    return Fail(kExitFailure, InputName(args[0]) + ": line " +
                                  std::to_string(1 + std::count(text.begin(), text.begin() + nul, '\n')) +
                                  ": a NUL byte; a script is text");

  auto script = std::make_unique<ScriptEngine>();
  script->SetTraceSink([](const char* line) { std::fputs(line, stdout); });
  const bool compiled = script->CompileScript(text.c_str());
  PrintMessages(*script);
  if (!compiled) return kExitFailure;
  script->ClearMessages();
  // Function names are compiled lower-case, as every token is.
  std::string function = args.size() == 2 ? args[1] : "main";
  for (char& c : function) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (!HasFunction(*script, function))
    return Fail(kExitFailure, "no function '" + Excerpt(function) + "' in " + InputName(args[0]));
  const bool completed = script->RunFunction(function.c_str());
  std::fflush(stdout);
  PrintMessages(*script);
  if (completed) return kExitOk;
  return Fail(kExitFailure, "run stopped: " + script->StopReason());
}

}  // namespace korvel::cli

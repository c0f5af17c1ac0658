// The command-line host's commands and their shared plumbing.
#pragma once

#include <string>
#include <vector>

namespace korvel::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

using Args = std::vector<std::string>;

// "korvel: <message>" on standard error; answers `code`.
int Fail(int code, const std::string& message);
// A usage error: the message, then the command's usage line.
int UsageError(const std::string& message, const char* usage);
bool WantsHelp(const Args& args);
// A finite number and nothing else but blanks around it; false otherwise.
bool ParseNumber(const std::string& text, double& value);

int RenderCommand(const Args& args);
int InfoCommand(const Args& args);
int CheckCommand(const Args& args);
int TypesCommand(const Args& args);
int ScriptCommand(const Args& args);
int NewCommand(const Args& args);
int DrawCommand(const Args& args);
int PlotCommand(const Args& args);

}  // namespace korvel::cli

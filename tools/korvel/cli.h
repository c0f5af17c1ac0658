// The command-line host's commands and their shared plumbing.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace korvel::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

using Args = std::vector<std::string>;

// The most each kind of input file may hold (modules: kMaxModuleImageSize);
// a larger one is refused before it is parsed. docs/robustness.md lists
// them all.
inline constexpr std::size_t kMaxAutomationFileSize = std::size_t{16} << 20;
inline constexpr std::size_t kMaxMidiFileSize = std::size_t{4} << 20;
inline constexpr std::size_t kMaxScriptFileSize = std::size_t{4} << 20;

// "korvel: <message>" on standard error, control characters escaped (a
// file name or a file's text in it cannot drive the terminal); answers
// `code`.
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
int EditCommand(const Args& args);
int PlotCommand(const Args& args);

}  // namespace korvel::cli

// Every text the script language shows to people: compile and run messages,
// trace lines and literal markers. Kept in one place so the exact bytes can
// be checked by reading this file alone.
#pragma once

namespace korvel::script_text {

// Compiler.
inline constexpr char kLineTooLong[] = "Error Line too long\n";
// A line whose literals, replaced by their markers, no longer fit the line.
inline constexpr char kRewrittenLineTooLong[] = "Error: line too long\n";
inline constexpr char kCloseWithoutBody[] =
    "Error: Closing function ':' when no function body is open.\n";
inline constexpr char kNestedFunction[] =
    "Error: Function definition started when already in a function body.\n";
inline constexpr char kExtraOpenBrackets[] =
    "Error: Brackets don't match (%i extra '(' brackets)\n";
inline constexpr char kExtraCloseBrackets[] =
    "Error: Brackets don't match (%i extra ')' brackets)\n";
inline constexpr char kExtraIfs[] = "Error: if blocks don't match (%i extra if words)\n";
inline constexpr char kExtraEndifs[] =
    "Error: if blocks don't match (%i extra endif words)\n";
inline constexpr char kExtraDos[] = "Error: do blocks don't match (%i extra do words)\n";
inline constexpr char kExtraLoops[] =
    "Error: do blocks don't match (%i extra loop words)\n";

// Variables. This one has no line feed at its end.
inline constexpr char kVariableNotFound[] = "Error: variable '%s' could not be found.";

// Expressions.
inline constexpr char kTwoStrings[] =
    "Error: unsupported operation between two strings \"%s\" and \"%s\", "
    "converting both to integers.";
inline constexpr char kDivisionByZero[] = "Error: division by zero\n";

// Executor.
inline constexpr char kParseNumber[] = "Error parsing number\n";
inline constexpr char kNoElseOrEndif[] = "Error: Cannot find else or endif\n";
inline constexpr char kThenMissing[] = "Error: 'then' missing\n";
inline constexpr char kNoEndif[] = "Error: Cannot find 'endif'\n";
inline constexpr char kNoLoop[] = "Error: Cannot find 'loop'\n";
inline constexpr char kUnknown[] = "Error: unknown '%s'\n";
inline constexpr char kNoOpenBlock[] = "Error: '%s' without an open block\n";
inline constexpr char kCloseWithoutOpen[] = "Error: ')' without '('\n";
inline constexpr char kStepLimit[] = "Error: step limit reached\n";
inline constexpr char kCallDepthLimit[] = "Error: call depth limit reached\n";
inline constexpr char kTooManyMessages[] = "Error: too many messages; the rest are dropped\n";

// Trace lines.
inline constexpr char kTraceToken[] = "chip '%s'...\n";
inline constexpr char kTraceMessage[] = "Message '%s' sent\n";

// Markers that stand for literals in the token stream.
inline constexpr char kStringMarker[] = " @S%i ";
inline constexpr char kMessageMarker[] = " @M%i ";

}  // namespace korvel::script_text

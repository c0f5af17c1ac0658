// What the POSIX and Win32 halves of the file reader and writer share: the
// reasons they give, written once.
#pragma once

#include <string>

#include "engine/file_io.h"

namespace korvel::file_io_text {

// Reading.
inline constexpr char kIsDirectory[] = "it is a directory";
inline constexpr char kIsDevice[] = "it is a device, not a file";
inline constexpr char kIsPipe[] = "it is a pipe or FIFO; only a regular file is read here";
inline constexpr char kNotRegular[] = "it is not a regular file";
inline constexpr char kStdinTerminal[] = "standard input is a terminal; redirect a file or a pipe into it";
inline constexpr char kEmpty[] = "it is empty";
inline constexpr char kFileWhat[] = "the file";
// A pipe, or a file that grew while it was read: "... (more than N bytes)".
inline constexpr char kInputTooLarge[] = "the input is too large (more than %llu bytes)";

// Writing.
inline constexpr char kNotReplaced[] = "it is not a regular file; only regular files are replaced";
inline constexpr char kSameAsInput[] = "it is the same file as ";  // then the role and the input's name
inline constexpr char kStandardInput[] = "(standard input)";
inline constexpr char kLinkToNothing[] = "it is a symbolic link to nothing";
inline constexpr char kNoFolder[] = "there is no folder ";  // then the folder's name, quoted
inline constexpr char kExists[] = "it already exists";
inline constexpr char kUnknownError[] = "unknown error";

}  // namespace korvel::file_io_text

namespace korvel::file_io_detail {

// 'path', or "(standard input)" for "-".
std::string ShownInput(const std::string& path);
// "it is the same file as the module 'm.korvel'".
std::string SameAsInputReason(const ProtectedInput& input);
// "the input is too large (more than N bytes)".
std::string InputTooLargeReason(unsigned long long limit);

}  // namespace korvel::file_io_detail

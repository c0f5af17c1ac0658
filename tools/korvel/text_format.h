// How the command-line host prints numbers and texts that came from a file.
#pragma once

#include <cstdint>
#include <string>

namespace korvel::cli {

// The shortest text that reads back as the same double ("1.414", not
// "1.4139999999999999"); "inf", "-inf" and "nan" for the rest.
std::string ShortestNumber(double value);

// A whole number with thousands separators: "2,331,772".
std::string Grouped(std::int64_t value);

// A level in dB with two decimals, or "-inf".
std::string Decibels(double db);

// What a failed system call means, in this program's words: "there is no
// such file", "the disk is full", "permission denied", ...
std::string SystemErrorText(int error_number);
// A libsndfile message for the user: its "System error" texts become
// SystemErrorText(error_number); the others lose their closing full stop.
std::string SndfileErrorText(const char* message, int error_number);

// Control characters (C0, DEL and C1) as escapes, so a label cannot move
// the cursor or change the terminal: "\n", "\t", "\x1b", "\u009b".
std::string Escaped(const std::string& text);

}  // namespace korvel::cli

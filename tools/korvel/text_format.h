// How the command-line host prints numbers and texts that came from a file.
#pragma once

#include <cstddef>
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

// What a failed system call means, in the system's words, as the one
// reader and writer give it: "No such file or directory", "No space left
// on device", ...
std::string SystemErrorText(int error_number);
// A libsndfile message for the user: its "System error" texts become
// SystemErrorText(error_number); the others lose their closing full stop.
std::string SndfileErrorText(const char* message, int error_number);

// Control characters (C0, DEL and C1) as escapes, so a label cannot move
// the cursor or change the terminal: "\n", "\t", "\x1b", "\u009b".
std::string Escaped(const std::string& text);

// A piece of a file's text as a message quotes it: at most kExcerptBytes
// bytes (cut at a character boundary, then "..."), so a 10 MB field makes a
// short message. Messages escape control characters as they are printed.
inline constexpr std::size_t kExcerptBytes = 40;
std::string Excerpt(const std::string& text);

}  // namespace korvel::cli

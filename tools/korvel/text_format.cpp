#include "tools/korvel/text_format.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <cmath>
#include <cstdio>

namespace korvel::cli {

std::string ShortestNumber(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

std::string Grouped(std::int64_t value) {
  const std::string digits = std::to_string(value < 0 ? -static_cast<std::uint64_t>(value) : value);
  std::string out = value < 0 ? "-" : "";
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string Decibels(double db) {
  if (std::isinf(db) && db < 0) return "-inf";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", db);
  return text;
}

std::string SystemErrorText(int error_number) {
  // The words the one reader and writer use (engine/file_io.h), so that a
  // failure reads the same whichever part of the program met it.
  const char* text = error_number != 0 ? std::strerror(error_number) : nullptr;
  return text != nullptr ? text : "unknown error";
}

std::string SndfileErrorText(const char* message, int error_number) {
  std::string text = message != nullptr ? message : "";
  if (text.rfind("System error", 0) == 0) return SystemErrorText(error_number);
  while (!text.empty() && (text.back() == '.' || text.back() == ' ' || text.back() == '\n')) text.pop_back();
  return text;
}

std::string Escaped(const std::string& text) {
  std::string out;
  char escape[8];
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7F) {
      std::snprintf(escape, sizeof escape, "\\x%02x", c);
      out += escape;
    } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      // U+0080..U+009F: the C1 controls, CSI among them.
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned char>(text[++i]));
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string Excerpt(const std::string& text) {
  if (text.size() <= kExcerptBytes) return text;
  std::size_t length = kExcerptBytes;
  while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
  return text.substr(0, length) + "...";
}

}  // namespace korvel::cli

// The parts of the file reader and writer that do not depend on the
// platform (file_io_posix.cpp and file_io_win32.cpp hold the rest).
#include <algorithm>
#include <cstdio>
#include <string>

#include "engine/file_io.h"
#include "engine/file_io_internal.h"

namespace korvel {

namespace file_io_detail {

std::string ShownInput(const std::string& path) {
  return path == "-" ? std::string(file_io_text::kStandardInput) : "'" + path + "'";
}

std::string SameAsInputReason(const ProtectedInput& input) {
  return file_io_text::kSameAsInput + input.role + " " + ShownInput(input.path);
}

std::string InputTooLargeReason(unsigned long long limit) {
  char text[96];
  std::snprintf(text, sizeof text, file_io_text::kInputTooLarge, limit);
  return text;
}

}  // namespace file_io_detail

std::string TooLargeReason(const char* what, unsigned long long size, unsigned long long limit) {
  return std::string(what) + " is too large (" + std::to_string(size) + " bytes; at most " + std::to_string(limit) +
         ")";
}

bool ReadInputFile(const std::string& path, const ReadLimits& limits, std::string& bytes, std::string& reason) {
  bytes.clear();
  const auto input = InputFile::Open(path, limits.pipes, reason);
  if (!input) return false;
  const long long claimed = input->size_hint();
  if (claimed > 0 && static_cast<unsigned long long>(claimed) > limits.max_bytes) {
    reason = TooLargeReason(file_io_text::kFileWhat, static_cast<unsigned long long>(claimed), limits.max_bytes);
    return false;
  }
  // One byte past the bound tells an input that is too large, whatever its
  // size claimed (a pipe claims none, a /proc file 0, a file may grow).
  const std::size_t room = limits.max_bytes + 1;
  if (claimed > 0) bytes.reserve(static_cast<std::size_t>(claimed) + 1);
  char buffer[65536];
  while (bytes.size() < room) {
    const std::size_t want = std::min(sizeof buffer, room - bytes.size());
    const long long got = input->Read(buffer, want, reason);
    if (got < 0) return false;
    if (got == 0) break;
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
  if (bytes.size() > limits.max_bytes) {
    bytes.clear();
    reason = file_io_detail::InputTooLargeReason(limits.max_bytes);
    return false;
  }
  if (bytes.empty() && !limits.empty) {
    reason = file_io_text::kEmpty;
    return false;
  }
  return true;
}

bool WriteWholeFile(const std::string& target, std::string_view bytes, const std::vector<ProtectedInput>& inputs,
                    Existing existing, std::string& reason) {
  const auto out = OutputFile::Create(target, inputs, existing, reason);
  if (!out) return false;
  out->Write(bytes.data(), bytes.size());  // a failure is reported by Commit
  return out->Commit(reason);
}

}  // namespace korvel

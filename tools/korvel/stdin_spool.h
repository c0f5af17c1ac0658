// Standard input as audio: a descriptor libsndfile can read whatever the
// type, also when standard input is a pipe.
#pragma once

#include <cstdint>
#include <string>

namespace korvel::cli {

// The most a pipe is spooled to: beyond it, the input must be given as a file.
inline constexpr std::uint64_t kMaxSpoolBytes = std::uint64_t{8} << 30;

// A descriptor for reading standard input (the caller closes it), or -1
// with `error` set. A seekable standard input (a file) is read where it is.
// A pipe is looked at first: WAV, AIFF, Ogg and CAF streams, whose readers
// never seek, are passed on as they come, in constant memory; anything else
// (FLAC, whose reader seeks back to its header) is spooled into an unnamed
// temporary file that disappears with the descriptor, however the program
// ends, up to kMaxSpoolBytes.
int OpenStandardInput(std::string& error);

}  // namespace korvel::cli

// Reading sound files. Every sound file the system plays is opened here,
// in ReadSoundFile and nowhere else: the path is checked to be a regular
// file before anything is read (a folder, a device or a FIFO is refused,
// and opening never waits on a FIFO), the length is bounded before memory
// is taken, and the file is only read, never written.
//
// WAV files (PCM of 8, 16, 24 or 32 bits, 32- or 64-bit float, plain or
// WAVE_FORMAT_EXTENSIBLE) are read by our own reader on every build, which
// also refuses a file cut short. Builds with libsndfile (the native Linux
// ones) read every other format it knows through it; the Windows builds
// and the 32-bit Linux build read WAV only.
#pragma once

#include <string>

#include "engine/sound.h"

namespace korvel {

// Fills `sound` (all but its path) from the file at `path`. False with
// `reason` one short phrase ("No such file or directory", "not a sound
// file", "the file is cut short: ...") when it cannot.
bool ReadSoundFile(const std::string& path, Sound& sound, std::string& reason);

// Whether this build reads formats other than WAV.
bool ReadsEveryLibsndfileFormat();

}  // namespace korvel

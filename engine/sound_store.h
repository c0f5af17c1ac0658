// The sounds in memory, shared process-wide: every component of every
// module that names the same file holds the same decoded copy, and the copy
// goes when the last of them does.
//
// [any thread but the audio thread] Loading reads the file (ReadSoundFile)
// on the calling thread, without holding the store's lock while it reads.
#pragma once

#include <cstddef>
#include <string>

#include "engine/sound.h"

namespace korvel {

// The sound at `path` (absolute): the copy already in memory when the file
// has not changed since (same size and modification time), otherwise read
// afresh. Null with `reason` set when the file cannot be read.
SoundRef LoadSound(const std::string& path, std::string& reason);

// Sounds in memory now, and their bytes (tests, benchmarks).
std::size_t LoadedSoundCount();
std::size_t LoadedSoundBytes();

}  // namespace korvel

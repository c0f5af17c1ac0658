// A Standard MIDI File reader for the command-line host: types 0 and 1, the
// tempo map, note on and note off of every channel. Everything else in the
// file (controllers, sysex, other meta events) is read past and dropped.
// Written for untrusted files: every length is checked against the bytes
// that are really there, and a bad file is named by the byte where reading
// stopped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace korvel::cli {

struct MidiNote {
  double seconds;        // from the start of the file, through the tempo map
  std::uint8_t status;   // 0x90 note on or 0x80 note off (a note on of velocity 0 becomes 0x80)
  std::uint8_t note;     // 0..127
  std::uint8_t velocity; // 0..127
};

// Notes in time order (events at one time keep the order of the file, track
// by track). False with `error` = "byte N: reason" when the file is not a
// Standard MIDI File this reader can play.
bool ReadMidiFile(const std::uint8_t* data, std::size_t size, std::vector<MidiNote>& notes, std::string& error);

}  // namespace korvel::cli

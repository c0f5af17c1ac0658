// A Standard MIDI File reader for the command-line host: types 0 and 1, the
// tempo map (tempo and time signature events), note on and note off and
// Control Change of every channel. Everything else in the file (other
// channel messages, sysex, other meta events) is read past and dropped.
// Written for untrusted files: every length is checked against the bytes
// that are really there, and a bad file is named by the byte where reading
// stopped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace korvel::cli {

// A channel message as the module's notes port takes it.
struct MidiNote {
  double seconds;        // from the start of the file, through the tempo map
  std::uint8_t status;   // 0x90 note on, 0x80 note off (a note on of velocity 0 becomes 0x80), 0xB0 Control Change
  std::uint8_t note;     // 0..127; the controller of a Control Change
  std::uint8_t velocity; // 0..127; the controller's value
};

// The song's tempo from a point on, beats being quarter notes.
struct MidiTempo {
  double seconds;
  double beats_per_minute;  // 120 until the first tempo event
  double beats_per_bar;     // numerator × 4 / denominator; 4 until the first time signature
};

struct MidiTempoMap {
  std::vector<MidiTempo> points;  // the first at 0 s, then one per change, in time order
  double ticks_per_beat = 0.0;    // the file's division; 0 for SMPTE time
};

// Events in time order (events at one time keep the order of the file, track
// by track). False with `error` = "byte N: reason" when the file is not a
// Standard MIDI File this reader can play. `tempo_map`, when given, gets the
// file's tempo map.
bool ReadMidiFile(const std::uint8_t* data, std::size_t size, std::vector<MidiNote>& notes, std::string& error,
                  MidiTempoMap* tempo_map = nullptr);

}  // namespace korvel::cli

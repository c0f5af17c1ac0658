// libFuzzer entry: the command-line host's MIDI file reader must answer
// every byte string with notes and a tempo map, or one error line, and
// never read outside the bytes it is given.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/korvel/midi_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<korvel::cli::MidiNote> notes;
  std::string error;
  korvel::cli::MidiTempoMap tempo;
  if (!korvel::cli::ReadMidiFile(data, size, notes, error, &tempo)) {
    if (error.empty()) __builtin_trap();
    return 0;
  }
  for (std::size_t i = 1; i < notes.size(); ++i)
    if (notes[i].seconds < notes[i - 1].seconds) __builtin_trap();  // time order
  // The tempo map starts at 0 and moves forward, with tempos above 0.
  if (tempo.points.empty() || tempo.points[0].seconds != 0.0) __builtin_trap();
  for (std::size_t i = 0; i < tempo.points.size(); ++i) {
    if (!(tempo.points[i].beats_per_minute > 0.0) || !(tempo.points[i].beats_per_bar > 0.0)) __builtin_trap();
    if (i > 0 && !(tempo.points[i].seconds > tempo.points[i - 1].seconds)) __builtin_trap();
  }
  return 0;
}

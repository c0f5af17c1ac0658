// libFuzzer entry: the command-line host's MIDI file reader must answer
// every byte string with notes or one error line, and never read outside
// the bytes it is given.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/korvel/midi_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<korvel::cli::MidiNote> notes;
  std::string error;
  if (!korvel::cli::ReadMidiFile(data, size, notes, error) && error.empty()) __builtin_trap();
  for (std::size_t i = 1; i < notes.size(); ++i)
    if (notes[i].seconds < notes[i - 1].seconds) __builtin_trap();  // time order
  return 0;
}

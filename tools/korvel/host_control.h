// What the command-line host does besides streaming audio, as a host would:
// sets parameters (--set), plays automation through SetParameterValue
// (--automation) and plays a MIDI file into the "notes" port (--midi).
//
//   HostControl control;
//   control.Parse(args, i, error);                // in the option loop
//   control.Prepare(module, rate, error);         // after the module is loaded
//   control.BeforeBlock(module, first, frames);   // before each audio call
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/host_api.h"
#include "tools/korvel/cli.h"

namespace korvel {
class PatchEngine;
namespace pluginhost {
class Module;
}
}  // namespace korvel

// The options' lines of the render usage text, a literal so the render
// command's usage can take it in.
#define KORVEL_HOST_CONTROL_USAGE                                                 \
  "  --set P=V         set parameter P (1..25, or its name) to V (0..1) before\n" \
  "                    the first block; repeatable\n"                             \
  "  --automation F    play a CSV of seconds,parameter,value rows: each value\n"  \
  "                    reaches the parameter at the block that holds its time,\n" \
  "                    values between a parameter's points are interpolated.\n"  \
  "                    A first row whose first field is 'seconds' (in any case)\n" \
  "                    is a header; lines starting with '#' are comments\n"      \
  "  --midi F          play a Standard MIDI File (type 0 or 1, every channel)\n"  \
  "                    into the notes port, each note at its exact frame\n"

namespace korvel::cli {

class HostControl {
 public:

  // Consumes args[i] and its value when it is one of this class's options
  // (i then points at the value) and answers true. Answers false when it is
  // not one of them, or with `error` set when it is but is malformed.
  bool Parse(const Args& args, std::size_t& i, std::string& error);

  // Reads the files, resolves parameter names against the module and makes
  // the --set settings. Runs before any output file exists; false with one
  // line in `error` naming the file and its line or byte.
  bool Prepare(pluginhost::Module& module, double sample_rate, std::string& error);

  // Sends the automation values and the notes of frames first_frame ..
  // first_frame + frames - 1, before that block's audio call.
  void BeforeBlock(pluginhost::Module& module, std::int64_t first_frame, std::uint32_t frames);

 private:
  struct Lane {  // one automated parameter
    int parameter;                                // 0..24
    std::vector<std::pair<double, double>> points;  // (seconds, value), in time order
    std::size_t cursor = 0;
    double sent = -1.0;  // the last value set; -1 before any
  };
  struct TimedNote {
    std::int64_t frame;
    NoteEvent event;
  };

  std::vector<std::pair<std::string, std::string>> settings_;  // (parameter, value) as given
  std::string automation_path_, midi_path_;
  double sample_rate_ = 44100.0;
  std::vector<Lane> lanes_;
  std::vector<TimedNote> notes_;
  std::size_t next_note_ = 0;
  std::vector<NoteEvent> block_notes_;
};

// `korvel info`: the parameters the module's Sliders follow, with the
// parameter names and the Sliders' ranges.
// `module` is the module image as JSON (what the plug-in saves).
void PrintParameterBindings(const nlohmann::json& module);

}  // namespace korvel::cli

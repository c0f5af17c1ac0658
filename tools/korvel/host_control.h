// What the command-line host does besides streaming audio, as a host would:
// sets parameters (--set), plays automation through SetParameterValue
// (--automation), plays a MIDI file's notes and controllers into the
// "notes" port (--midi), gives the song's tempo (--bpm, or the MIDI file's
// tempo map) and feeds the sidechain (--sidechain).
//
//   HostControl control;
//   control.Parse(args, i, error);                       // in the option loop
//   control.Prepare(module, rate, error);                // after the module is loaded
//   control.BeforeBlock(module, first, frames, error);   // before each audio call
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/file_io.h"
#include "host/host_api.h"
#include "tools/korvel/audio.h"
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
  "                    into the notes port: notes and controllers, each at its\n" \
  "                    exact frame; its tempo map sets BPM, TPB, BPB and\n"       \
  "                    SampsPerTick (TPB is the file's ticks per quarter note)\n" \
  "  --bpm N[,B]       the song's tempo: N quarter notes per minute, B per bar\n" \
  "                    (default 4); TPB 960. Wins over a MIDI file's tempo map\n" \
  "  --sidechain F     a second input, mono or stereo at the input's rate, as\n"  \
  "                    the In component's out3 (left) and out4 (right); cut or\n" \
  "                    padded with silence to the input's length\n"

namespace korvel::cli {

class HostControl {
 public:

  // Consumes args[i] and its value when it is one of this class's options
  // (i then points at the value) and answers true. Answers false when it is
  // not one of them, or with `error` set when it is but is malformed.
  bool Parse(const Args& args, std::size_t& i, std::string& error);

  // The files this control reads, for the output's same-file check.
  void AddInputs(std::vector<ProtectedInput>& inputs) const;

  // Reads the files, resolves parameter names against the module and makes
  // the --set settings. Runs before any output file exists; false with one
  // line in `error` naming the file and its line or byte. `sample_rate` is
  // the module's; `input_rate`, when not 0, the input file's, which the
  // sidechain must match (it is then converted with the input).
  bool Prepare(pluginhost::Module& module, double sample_rate, std::string& error, int input_rate = 0);

  // Makes this copy (taken before Prepare) drive a further instance of the
  // module beside `first`'s: the sidechain is read once, by whichever asks
  // first for a block, and the same frames go to both.
  void ShareSidechainWith(const HostControl& first) { sidechain_ = first.sidechain_; }

  // Sends the automation values, the notes, controllers and tempo changes
  // and the sidechain of frames first_frame .. first_frame + frames - 1,
  // before that block's audio call. False with `error` set when the
  // sidechain cannot be read.
  bool BeforeBlock(pluginhost::Module& module, std::int64_t first_frame, std::uint32_t frames, std::string& error);

  // The sidechain file, or empty.
  const std::string& sidechain_path() const { return sidechain_path_; }

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

  struct TimedTransport {
    std::int64_t frame;
    TransportRecord record;
  };

  std::vector<std::pair<std::string, std::string>> settings_;  // (parameter, value) as given
  std::string automation_path_, midi_path_, sidechain_path_;
  std::optional<std::pair<double, double>> bpm_;  // --bpm: per minute, per bar
  double sample_rate_ = 44100.0;
  std::vector<Lane> lanes_;
  std::vector<TimedNote> notes_;
  std::size_t next_note_ = 0;
  std::vector<NoteEvent> block_notes_;
  std::vector<TimedTransport> transport_;
  std::size_t next_transport_ = 0;
  // The sidechain and its last block, shared by the copies that drive the
  // instances of one render.
  struct SidechainFeed {
    std::unique_ptr<AudioSource> source;
    std::int64_t first_frame = -1;  // of `block`
    std::int64_t frames = 0;        // asked for
    std::int64_t got = 0;           // read (silence after the end)
    std::vector<float> block;       // stereo, on the engine's scale
    std::vector<float> read;        // as the file holds it
  };
  std::shared_ptr<SidechainFeed> sidechain_;
};

// `korvel info`: the parameters the module's Sliders follow, with the
// parameter names and the Sliders' ranges.
// `module` is the module image as JSON (what the plug-in saves).
void PrintParameterBindings(const nlohmann::json& module);

}  // namespace korvel::cli

// The Sampler: plays a sound file inside the patch. Its settings name the
// file, the sound's root frequency, one-shot or gate playback and a loop;
// the engine loads the file off the audio thread and hands the record a
// shared, immutable copy (engine/type_settings.h). The record's process
// only reads that copy.
//
// Pitch and rate are one step: the sound is read at a position that moves
// by (file rate / running rate) x (in2 / root) frames per output frame,
// through one windowed-sinc interpolator, widened by the step when the
// sound plays faster than its own rate so that nothing above the output's
// band folds back. A sound at the running rate, played at its root
// frequency, comes out with its own values, bit for bit.
#pragma once

#include <cstdint>
#include <string>

#include "engine/component.h"
#include "engine/sound.h"

namespace korvel {

inline constexpr int kSamplerType = 50;

inline constexpr double kSamplerDefaultRoot = 261.63;     // Hz, middle C
inline constexpr double kSamplerDefaultRelease = 10.0;    // ms
inline constexpr double kSamplerMaxRelease = 60000.0;     // ms
// A file at full scale 1.0 plays at 32768.0, the host's full scale.
inline constexpr double kSamplerFileScale = 32768.0;
// The fastest the read position moves: four octaves above the sound's own
// pitch at its own rate. Faster steps play at this one.
inline constexpr double kSamplerMaxStep = 16.0;
// The interpolator's reach on each side, in frames of the sound, at a step
// of 1 or less; it grows with faster steps.
inline constexpr int kSamplerHalfTaps = 24;
// Phases of the kernel table per frame of the sound.
inline constexpr int kSamplerPhases = 512;
inline constexpr int kSamplerMaxReach = kSamplerHalfTaps * static_cast<int>(kSamplerMaxStep);
// A retriggered sound fades out over this long under the new one.
inline constexpr double kSamplerDeclickSeconds = 0.002;

enum SamplerMode : std::uint8_t { kSamplerOneShot = 0, kSamplerGate = 1 };
enum SamplerLoop : std::uint8_t { kSamplerLoopOff = 0, kSamplerLoopForward = 1, kSamplerLoopPingPong = 2 };

// The file the settings name and the sound loaded from it. Owned by the
// record: made by the settings reader, dropped by the release hook.
struct SamplerFile {
  std::string path;  // absolute; empty: none
  SoundRef sound;    // null when the file could not be loaded
};

// One sounding copy of the sound.
struct SamplerVoice {
  std::int32_t index;   // whole frames of the read position (see SoundReader)
  double fraction;      // the rest, 0 <= fraction < 1
  double level;         // 1 while it plays, falling while it fades
  double fade_step;     // taken from level each frame of a fade
  std::int32_t fade_left;  // frames of the fade to go; 0: not fading
  std::uint8_t active;
  std::uint8_t released;  // gate mode: the gate has fallen
};

struct SamplerRecord : ComponentRecord {
  // Settings: written before the record is published, then read-only.
  SamplerFile* file;   // null: no file named
  const Sound* sound;  // file->sound, for the audio thread; null: silent
  double root;         // Hz at which the sound plays at its own pitch
  double release;      // ms, gate mode
  std::int32_t loop_start;  // frames of the file
  std::int32_t loop_end;    // frame the loop ends before; 0: the file's end
  std::uint8_t mode;        // SamplerMode
  std::uint8_t loop;        // SamplerLoop
  // [audio thread]
  double last_trigger;  // in1 at the previous frame
  SamplerVoice voice;
  SamplerVoice tail;  // a retriggered voice fading out
  double out[kMaxBlockValues];
};

void InitialiseSampler(ComponentRecord* self);
void ProcessSampler(ComponentRecord*, ComponentRecord* const*, const std::int16_t*);

// The names the module file and the dialog use for the modes and loops.
const char* SamplerModeName(int mode);  // "one-shot", "gate"
const char* SamplerLoopName(int loop);  // "off", "forward", "ping-pong"

// "file", "root", "mode", "loop", "loop_start", "loop_end", "release".
extern const TypeSettings kSamplerSettings;

inline constexpr TypeDescription kSamplerTypes[] = {
    {kSamplerType, "Sampler", 4, 1, kValueSourceColour,
     "SAMPLER\r\n"
     "This component plays a sound file (WAV; on Linux also FLAC, AIFF, Ogg and the rest libsndfile reads), mono or stereo, chosen in the component's "
     "settings together with its root frequency, one-shot or gate playback and a loop. A rising edge of in1 "
     "through 0.5 starts the sound at its start point. One-shot: it plays to its end (or loops until the next "
     "start). Gate: it plays while in1 stays at 0.5 or above, then fades out over the release time. A file "
     "that cannot be loaded leaves the component silent.\r\n\r\n"
     "in1: Trigger / gate\r\n"
     "in2: Playback frequency in Hz (the root frequency plays the sound at its own pitch)\r\n"
     "in3: Start point, in frames of the file\r\n"
     "in4: Amplitude (unconnected: 1, the file's own level)\r\n"
     "out1: The sound",
     sizeof(SamplerRecord), ProcessSampler, InitialiseSampler, nullptr, &kSamplerSettings},
};

}  // namespace korvel

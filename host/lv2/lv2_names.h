// The LV2 plug-in's names: its URI, the URIs of its state and parameter,
// and its port numbers and symbols. Shared by the plug-in, the preset
// generator and the tests, so the Turtle, the code and the tests agree.
#pragma once

#include <cstdint>

namespace korvel::lv2 {

// Stable for as long as the plug-in exists: hosts store it in projects.
inline constexpr char kPluginUri[] = "urn:korvel:lv2:modular";
// State key: the module image (the JSON of a ".korvel" file), atom:String.
inline constexpr char kModuleImageUri[] = "urn:korvel:lv2:module-image";
// The writable patch parameter "Module file", atom:Path.
inline constexpr char kModuleFileUri[] = "urn:korvel:lv2:module-file";
// The module as a patch property, for a UI: atom:String, the module image
// text (UTF-8), readable and writable; sent in pieces (docs/lv2.md).
inline constexpr char kModuleUri[] = "urn:korvel:lv2:modular#module";
// Why the last module a UI sent was refused: atom:String, readable.
inline constexpr char kStatusUri[] = "urn:korvel:lv2:modular#status";
// A piece's place in the module text: its first byte (atom:Long) and the
// whole text's bytes (atom:Long), keys of the patch:Set that carries it.
inline constexpr char kPieceOffsetUri[] = "urn:korvel:lv2:modular#offset";
inline constexpr char kPieceTotalUri[] = "urn:korvel:lv2:modular#total";
// The plug-in's X11 UI, a separate library in the same bundle.
inline constexpr char kUiUri[] = "urn:korvel:lv2:modular#ui";
// Bytes of module text the plug-in puts in one piece; a UI sends pieces of
// at most kMaxPieceIn bytes (hosts pass them through rings of a few KiB).
inline constexpr std::uint32_t kPieceBytes = 4096;
inline constexpr std::uint32_t kMaxPieceIn = 65536;
// The worker message that loads a module file: this byte, then the path.
inline constexpr char kWorkLoadFile = 'F';
// Presets: this prefix and the example's file name without ".korvel".
inline constexpr char kPresetUriPrefix[] = "urn:korvel:lv2:preset:";
// The licence the plug-in is published under: the project's own terms, all
// rights reserved, until it adopts a public licence (whose URI then goes
// here).
inline constexpr char kLicenseUri[] = "urn:korvel:license:all-rights-reserved";
inline constexpr char kMaintainerName[] = "The Korvel Modular project";
// The project the plug-in belongs to, which names its maintainer.
inline constexpr char kProjectUri[] = "urn:korvel:project";

inline constexpr int kParameterPortCount = 25;

// Ports are only ever added at the end: hosts keep projects by index too.
enum Port : std::uint32_t {
  kInputLeft = 0,
  kInputRight = 1,
  kOutputLeft = 2,
  kOutputRight = 3,
  kFirstParameter = 4,  // param1 .. param25
  kMidiIn = kFirstParameter + kParameterPortCount,  // 29: MIDI, time:Position and patch messages in
  kNotify = kMidiIn + 1,                            // 30: patch messages out
  kSidechainLeft = kNotify + 1,                     // 31: the IN component's out3
  kSidechainRight = kSidechainLeft + 1,             // 32: its out4
  kLatency = kSidechainRight + 1,                   // 33: frames the output lags the input
  kPortCount = kLatency + 1,
};

// The host's resolution the tempo values are given in: ticks per beat (a
// quarter note), since LV2 hosts report no ticks of their own.
inline constexpr double kTicksPerBeat = 960.0;

// Host floats are full scale at 1.0; the engine is full scale at 32768.0.
inline constexpr float kEngineScale = 32768.0f;

}  // namespace korvel::lv2

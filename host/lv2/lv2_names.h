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
// Presets: this prefix and the example's file name without ".korvel".
inline constexpr char kPresetUriPrefix[] = "urn:korvel:lv2:preset:";

inline constexpr int kParameterPortCount = 25;

enum Port : std::uint32_t {
  kInputLeft = 0,
  kInputRight = 1,
  kOutputLeft = 2,
  kOutputRight = 3,
  kFirstParameter = 4,  // param1 .. param25
  kControl = kFirstParameter + kParameterPortCount,  // 29: MIDI and patch messages in
  kNotify = kControl + 1,                            // 30: patch messages out
  kPortCount = kNotify + 1,
};

// Host floats are full scale at 1.0; the engine is full scale at 32768.0.
inline constexpr float kEngineScale = 32768.0f;

}  // namespace korvel::lv2
